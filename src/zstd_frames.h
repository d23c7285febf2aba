// zstd data held in memory, frame by frame: where each frame lies and how many bytes it holds,
// and the decompression of one frame into a size known in advance. Files made of many frames
// (one per block of records) are read a block at a time through these.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "result.h"

namespace orx {

struct ZstdFrame {
  uint64_t offset = 0;     // where the frame starts in the data
  uint64_t length = 0;     // its compressed length, header to checksum
  bool skippable = false;  // a skippable frame: its content is not part of the data
  uint64_t content = 0;    // the bytes it decompresses to (0 for a skippable frame)
};

// Every frame of `data`, in order. A data frame's content is measured by decompressing it
// (in pieces, so memory stays bounded whatever the frame claims), never taken from its header.
// Decode error naming the offset when `data` is not a sequence of whole, valid frames.
Result<std::vector<ZstdFrame>> zstd_frames(std::span<const uint8_t> data);

// Decompresses `frame`, which must be exactly one zstd data frame, into `out`, which it must
// fill exactly. Memory beyond `out` stays bounded: a frame holding more than out.size() bytes
// is refused as soon as it overflows, one holding fewer once it ends (Decode errors).
Status zstd_decompress_exact(std::span<const uint8_t> frame, std::span<uint8_t> out);

}  // namespace orx
