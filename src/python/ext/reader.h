// Record batches as they travel through Python: `bytes` of whole records plus their count,
// checked again each time they come back, so that no forged batch reaches the column code.
#pragma once

#include <optional>
#include <string_view>

#include "bind/bind.h"
#include "metadata.h"
#include "stream_reader.h"

namespace orx::py::ext {

struct CheckedRun {
  std::string_view bytes;
  RunInfo info;
  // The kind of every record; Tbbo (a kind without columns) when they are not all of one.
  RType single_kind() const;
};

// The records of `data` (a bytes object), which must be exactly `count` whole records that
// convert; ValueError otherwise.
std::optional<CheckedRun> checked_run(PyObject* data, uint64_t count);

// The core value of a Metadata object; TypeError for anything else.
const Metadata* metadata_of(PyObject* o);

}  // namespace orx::py::ext
