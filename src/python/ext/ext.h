// orx._ext: the package's second extension module, for the fast paths of the `orx` package
// (columns, readers, writers, decoders). It is built from the same core and toolkit as `_lib`
// and adopts `_lib`'s type objects at import, so the records, metadata and results it makes and
// accepts are `_lib`'s own classes.
//
// Adding to it: a family file defines its functions (PyObject* f(args...), bound by
// `function<&f>("name(a, b=None)\n--\n\ndoc")` rows) and its classes (declared with
// ORX_DECLARE_CLASS in this header and defined with ORX_DEFINE_CLASS, as in `_lib`), then lists
// them in the tables of module.cpp.
#pragma once

#include <span>

#include "bind/bind.h"
#include "registry.h"

namespace orx::py::ext {

// A zstd compressor (writer.cpp).
struct ZstdWriter;
// A file's new content written piece by piece, put in place at once (files.cpp).
struct ReplacingFile;
// A k-way merge of record streams sorted by ts_event (merge.cpp).
struct RecordMerger;

// Column layouts of the record kinds.
std::span<const MethodRow> layout_functions();
// The streaming reader and its batches.
std::span<const MethodRow> reader_functions();
// Arrow PyCapsules of batches and streams.
std::span<const MethodRow> arrow_functions();
// The writers: columns and record objects to stream bytes, zstd.
std::span<const MethodRow> writer_functions();
// Back-test results from their encoded bytes; results as columns.
std::span<const MethodRow> backtest_functions();

// zstd data frame by frame: frame boundaries, one frame decompressed to a known size.
std::span<const MethodRow> frames_functions();
// Day files: blocks stored column by column, the query executor.
std::span<const MethodRow> dayfile_functions();
// Aggregates of records: trade bars, last records at sample times.
std::span<const MethodRow> reduce_functions();
// Temporary file names (files.cpp; the replacement itself is ReplacingFile).
std::span<const MethodRow> files_functions();
// Sorting records by ts_event (merge.cpp; the merge itself is RecordMerger).
std::span<const MethodRow> merge_functions();

// The raw values behind pickling: layout memory, extra attributes, a store's stream.
std::span<const MethodRow> pickle_functions();

}  // namespace orx::py::ext

namespace orx::py {
ORX_DECLARE_CLASS(ext::ZstdWriter, "ZstdWriter")
ORX_DECLARE_CLASS(ext::ReplacingFile, "ReplacingFile")
ORX_DECLARE_CLASS(ext::RecordMerger, "RecordMerger")
}  // namespace orx::py
