// Columns of records in the Arrow C data interface: the ABI structs, and the schema and the
// array of a run of records of one kind. Every buffer handed out is owned by the array and
// freed by its release callback.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "columns.h"
#include "symbols.h"

extern "C" {
// The structs of the Arrow C data and C stream interfaces, as that ABI defines them.
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE
#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};
#endif

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};
#endif
}

namespace orx {

// How prices travel: the fixed-point integers (int64, nine decimal places) or as float64.
enum class PriceForm : uint8_t { Fixed, Float };

// The values of the symbol column: every ticker of a symbol map once, in ascending order, and
// the index of each mapped instrument id. The same for every batch of a stream.
struct SymbolDictionary {
  std::vector<std::string> tickers;
  std::unordered_map<uint32_t, int32_t> index;

  static SymbolDictionary of(const SymbolMap& symbols);
};

// The schema of a batch of records of `kind` (one with columns): a struct whose fields are the
// kind's columns, in order, then "symbol". Integers keep their width and signedness; ts_event
// and ts_recv are timestamp[ns, UTC]; prices int64 or float64 as `prices` says; action and
// side one-character utf8 strings (the byte as a code point); symbol dictionary<int32, utf8>,
// null for unmapped ids.
void export_schema(RType kind, PriceForm prices, ArrowSchema* out);

// The struct array of `run` (records of one kind with columns), for export_schema's schema;
// many records of one length (run.stride) are filled on up to `threads` threads.
void export_array(const RecordRun& run, PriceForm prices, const SymbolDictionary& symbols,
                  ArrowArray* out, unsigned threads = 1);

}  // namespace orx
