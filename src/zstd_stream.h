// zstd-compressed streams: a ByteSource that decompresses another source on the fly, and a
// streaming compressor for writers. Both use the reference zstd library.
//
// Telling a compressed stream from a raw one: every zstd frame starts with the magic bytes
// 28 B5 2F FD. A raw record stream starts with the 2-byte length of its metadata body, then
// the body, whose first byte is the schema code. A raw stream starting 28 B5 would announce a
// body of 0xB528 bytes whose first byte, 0x2F = 47, is not a schema code (those are 1 to 9),
// so no stream that opens with metadata can start with the magic: the first four bytes decide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "result.h"
#include "source.h"

// The library's contexts (zstd.h), kept out of this header.
struct ZSTD_DCtx_s;
struct ZSTD_CCtx_s;

namespace orx {

// The first bytes of every zstd frame (the magic number 0xFD2FB528, little-endian).
inline constexpr uint8_t kZstdMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};

// Skippable frames (metadata that tools such as pzstd put before the data) start with a magic
// number from 0x184D2A50 to 0x184D2A5F, little-endian, then their 4-byte size and that many
// bytes. A raw stream cannot start so either: 50..5F 2A would announce a body of 0x2A50 to
// 0x2A5F bytes whose first byte, 0x4D = 77, is no schema code.
inline constexpr uint32_t kSkippableMagicLow = 0x184D2A50;

// True when `head` starts a skippable frame.
bool starts_skippable_frame(std::span<const uint8_t> head);

// True when `head` (the first bytes of a stream, at least 4 of them) starts a zstd frame,
// a data frame or a skippable one (which the decompression skips, wherever it comes).
bool starts_zstd_frame(std::span<const uint8_t> head);

// Decompresses the zstd frames of another source, one after the other, as one byte stream.
// Memory stays bounded: one input buffer, the decompression context and its window (frames
// asking for a window above 2^27 bytes are refused). Corrupt input fails with a Decode error
// naming the compressed offset; input that ends inside a frame fails with a Decode error too,
// never as a quiet end. Errors of the inner source pass through unchanged.
class ZstdSource : public ByteSource {
 public:
  // `head` holds bytes already taken from the front of `inner` (for example by the detection),
  // which are decompressed before anything else is read from it. With `allow_truncated`,
  // input that ends inside a frame ends the stream quietly after what it decoded to.
  explicit ZstdSource(std::unique_ptr<ByteSource> inner, std::span<const uint8_t> head = {},
                      bool allow_truncated = false);
  ~ZstdSource() override;
  ZstdSource(const ZstdSource&) = delete;
  ZstdSource& operator=(const ZstdSource&) = delete;

  Result<size_t> read(uint8_t* dst, size_t n) override;

  // Compressed bytes consumed so far.
  uint64_t compressed_offset() const { return consumed_; }

 private:
  Status refill();

  std::unique_ptr<ByteSource> inner_;
  ::ZSTD_DCtx_s* dctx_ = nullptr;
  std::vector<uint8_t> in_;
  size_t in_pos_ = 0;
  size_t in_end_ = 0;
  uint64_t consumed_ = 0;  // compressed bytes handed to the decompressor
  bool inner_done_ = false;
  bool frame_open_ = false;  // inside a frame that has not ended yet
  bool failed_ = false;      // a failure is final: later reads repeat it
  bool allow_truncated_ = false;
};

// Compresses a byte stream into one zstd frame, piece by piece.
class ZstdCompressor {
 public:
  // Level 1: about twice the speed of the library's own default (3) on record streams, for a
  // stream some 6% larger, so that writing keeps pace with reading.
  static constexpr int kDefaultLevel = 1;

  // Encode error when `level` is outside the library's range.
  static Result<std::unique_ptr<ZstdCompressor>> create(int level = kDefaultLevel);
  ~ZstdCompressor();
  ZstdCompressor(const ZstdCompressor&) = delete;
  ZstdCompressor& operator=(const ZstdCompressor&) = delete;

  // Appends to `out` the compressed form of `in` (some of it may stay buffered inside).
  Status write(std::span<const uint8_t> in, std::vector<uint8_t>& out);
  // Appends everything still buffered and ends the frame. The compressor may then start a
  // new frame with write().
  Status finish(std::vector<uint8_t>& out);

  // The range of levels the library accepts.
  static int min_level();
  static int max_level();

 private:
  explicit ZstdCompressor(::ZSTD_CCtx_s* cctx) : cctx_(cctx) {}
  Status run(std::span<const uint8_t> in, std::vector<uint8_t>& out, bool end);

  ::ZSTD_CCtx_s* cctx_;
};

}  // namespace orx
