// The value a BufferStore object holds, shared by `_lib` and `_ext`.
#pragma once

#include <cstdint>
#include <vector>

#include "decode.h"
#include "metadata.h"

namespace orx::py {

// One private copy of the stream: written back by write_to_file and read by the decoder, whose
// record refs point straight into it (the vector's heap block never moves, and nothing
// changes it). A store only opens when its metadata deserialized, so the decoder holds it.
struct BufferStore {
  std::vector<uint8_t> data;
  RecordDecoder decoder;

  const Metadata& metadata() const { return *decoder.metadata(); }
};

}  // namespace orx::py
