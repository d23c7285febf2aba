#include "zstd_stream.h"

#include <zstd.h>

#include <cstring>
#include <string>

namespace orx {

namespace {

// Frames asking for a larger window than this are refused, which bounds the memory a
// hostile frame header can make the reader take.
constexpr int kMaxWindowLog = 27;

Error corrupt(size_t code, uint64_t offset) {
  return Error::decode("corrupt zstd data near compressed byte " + std::to_string(offset) + ": " +
                       ZSTD_getErrorName(code));
}

}  // namespace

bool starts_skippable_frame(std::span<const uint8_t> head) {
  if (head.size() < 4) return false;
  const uint32_t magic = uint32_t{head[0]} | uint32_t{head[1]} << 8 | uint32_t{head[2]} << 16 |
                         uint32_t{head[3]} << 24;
  return (magic & 0xFFFFFFF0u) == kSkippableMagicLow;
}

bool starts_zstd_frame(std::span<const uint8_t> head) {
  return (head.size() >= sizeof kZstdMagic &&
          std::memcmp(head.data(), kZstdMagic, sizeof kZstdMagic) == 0) ||
         starts_skippable_frame(head);
}

// --- ZstdSource ------------------------------------------------------------------------------

ZstdSource::ZstdSource(std::unique_ptr<ByteSource> inner, std::span<const uint8_t> head,
                       bool allow_truncated)
    : inner_(std::move(inner)), dctx_(ZSTD_createDCtx()), allow_truncated_(allow_truncated) {
  const size_t chunk = ZSTD_DStreamInSize();
  in_.resize(head.size() > chunk ? head.size() : chunk);
  if (!head.empty()) std::memcpy(in_.data(), head.data(), head.size());
  in_end_ = head.size();
  if (dctx_) ZSTD_DCtx_setParameter(dctx_, ZSTD_d_windowLogMax, kMaxWindowLog);
}

ZstdSource::~ZstdSource() { ZSTD_freeDCtx(dctx_); }

Status ZstdSource::refill() {
  in_pos_ = in_end_ = 0;
  while (in_end_ == 0) {
    ORX_TRY(const size_t got, inner_->read(in_.data(), in_.size()));
    if (got == 0) {
      inner_done_ = true;
      break;
    }
    in_end_ = got;
  }
  return {};
}

Result<size_t> ZstdSource::read(uint8_t* dst, size_t n) {
  if (failed_) return Error::decode("zstd stream already failed");
  if (!dctx_) {
    failed_ = true;
    return Error::decode("cannot allocate a zstd decompression context");
  }
  if (n == 0) return size_t{0};
  ZSTD_outBuffer out{dst, n, 0};
  while (out.pos == 0) {
    if (in_pos_ == in_end_ && !inner_done_) {
      auto refilled = refill();
      if (!refilled) {
        failed_ = true;
        return std::move(refilled).error();
      }
    }
    const bool no_input = in_pos_ == in_end_;
    if (no_input && !frame_open_) return size_t{0};  // the input ended between frames
    // With no input left, a call still flushes what the library holds of the open frame.
    ZSTD_inBuffer in{in_.data(), in_end_, in_pos_};
    const size_t ret = ZSTD_decompressStream(dctx_, &out, &in);
    if (ZSTD_isError(ret)) {
      failed_ = true;
      return corrupt(ret, consumed_ + (in.pos - in_pos_));
    }
    const size_t used = in.pos - in_pos_;
    consumed_ += used;
    in_pos_ = in.pos;
    // 0 means a frame just ended (and was checked); anything else, that more input is due.
    frame_open_ = ret != 0;
    if (out.pos == 0 && used == 0) {
      if (no_input && frame_open_) {
        if (allow_truncated_) {
          frame_open_ = false;  // what the frame held up to the cut has been handed out
          return size_t{0};
        }
        failed_ = true;
        return Error::decode("zstd stream truncated: its input ends inside a frame, after " +
                             std::to_string(consumed_) + " compressed bytes");
      }
      if (!no_input) {
        // The library takes input or gives output whenever it has room for both; no
        // progress with both would loop forever, so it is reported instead.
        failed_ = true;
        return Error::decode("zstd decompression made no progress near compressed byte " +
                             std::to_string(consumed_));
      }
    }
  }
  return out.pos;
}

// --- ZstdCompressor --------------------------------------------------------------------------

int ZstdCompressor::min_level() { return ZSTD_minCLevel(); }
int ZstdCompressor::max_level() { return ZSTD_maxCLevel(); }

Result<std::unique_ptr<ZstdCompressor>> ZstdCompressor::create(int level) {
  if (level < min_level() || level > max_level())
    return Error::encode("zstd level " + std::to_string(level) + " is outside " +
                         std::to_string(min_level()) + ".." + std::to_string(max_level()));
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  if (!cctx) return Error::encode("cannot allocate a zstd compression context");
  std::unique_ptr<ZstdCompressor> c(new ZstdCompressor(cctx));
  const size_t r = ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level);
  if (ZSTD_isError(r)) return Error::encode(std::string("zstd: ") + ZSTD_getErrorName(r));
  // A checksum per frame, so that corruption shows on reading.
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
  return c;
}

ZstdCompressor::~ZstdCompressor() { ZSTD_freeCCtx(cctx_); }

Status ZstdCompressor::run(std::span<const uint8_t> data, std::vector<uint8_t>& out, bool end) {
  ZSTD_inBuffer in{data.data(), data.size(), 0};
  const size_t chunk = ZSTD_CStreamOutSize();
  for (;;) {
    const size_t start = out.size();
    out.resize(start + chunk);
    ZSTD_outBuffer ob{out.data() + start, chunk, 0};
    const size_t left = ZSTD_compressStream2(cctx_, &ob, &in, end ? ZSTD_e_end : ZSTD_e_continue);
    out.resize(start + ob.pos);
    if (ZSTD_isError(left)) return Error::encode(std::string("zstd: ") + ZSTD_getErrorName(left));
    // Done when the input is taken and, at the end, the frame is flushed whole.
    if (end ? left == 0 : in.pos == in.size) return {};
  }
}

Status ZstdCompressor::write(std::span<const uint8_t> in, std::vector<uint8_t>& out) {
  if (in.empty()) return {};
  return run(in, out, false);
}

Status ZstdCompressor::finish(std::vector<uint8_t>& out) { return run({}, out, true); }

}  // namespace orx
