#include "zstd_frames.h"

#include "zstd_stream.h"

#include <zstd.h>

#include <memory>
#include <string>

namespace orx {

namespace {

// As the streaming reader: frames asking for a larger window are refused.
constexpr int kMaxWindowLog = 27;

struct DCtxFree {
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};
using DCtx = std::unique_ptr<ZSTD_DCtx, DCtxFree>;

Result<DCtx> make_dctx() {
  DCtx d(ZSTD_createDCtx());
  if (!d) return Error::decode("cannot allocate a zstd decompression context");
  ZSTD_DCtx_setParameter(d.get(), ZSTD_d_windowLogMax, kMaxWindowLog);
  return d;
}

Error bad_frame(uint64_t offset, const std::string& what) {
  return Error::decode("zstd frame at byte " + std::to_string(offset) + ": " + what);
}

// The content size of the data frame `frame` (whole, nothing after it), by decompressing it.
Result<uint64_t> measure(ZSTD_DCtx* dctx, std::span<const uint8_t> frame, uint64_t offset) {
  ZSTD_DCtx_reset(dctx, ZSTD_reset_session_only);
  std::vector<uint8_t> scratch(ZSTD_DStreamOutSize());
  ZSTD_inBuffer in{frame.data(), frame.size(), 0};
  uint64_t total = 0;
  for (;;) {
    ZSTD_outBuffer out{scratch.data(), scratch.size(), 0};
    const size_t before = in.pos;
    const size_t ret = ZSTD_decompressStream(dctx, &out, &in);
    if (ZSTD_isError(ret)) return bad_frame(offset, ZSTD_getErrorName(ret));
    total += out.pos;
    if (ret == 0) {
      if (in.pos != in.size) return bad_frame(offset, "data after the end of the frame");
      return total;
    }
    if (out.pos == 0 && in.pos == before)
      return bad_frame(offset, in.pos == in.size ? "cut short" : "no progress");
  }
}

}  // namespace

Result<std::vector<ZstdFrame>> zstd_frames(std::span<const uint8_t> data) {
  ORX_TRY(DCtx dctx, make_dctx());
  std::vector<ZstdFrame> out;
  uint64_t pos = 0;
  while (pos < data.size()) {
    const auto rest = data.subspan(pos);
    const size_t n = ZSTD_findFrameCompressedSize(rest.data(), rest.size());
    if (ZSTD_isError(n)) return bad_frame(pos, ZSTD_getErrorName(n));
    ZstdFrame f;
    f.offset = pos;
    f.length = n;
    f.skippable = starts_skippable_frame(rest);
    if (!f.skippable) {
      ORX_TRY(f.content, measure(dctx.get(), rest.first(n), pos));
    }
    out.push_back(f);
    pos += n;
  }
  return out;
}

Status zstd_decompress_exact(std::span<const uint8_t> frame, std::span<uint8_t> out) {
  if (starts_skippable_frame(frame)) return bad_frame(0, "a skippable frame holds no data");
  const size_t n = ZSTD_findFrameCompressedSize(frame.data(), frame.size());
  if (ZSTD_isError(n)) return bad_frame(0, ZSTD_getErrorName(n));
  if (n != frame.size())
    return bad_frame(0, "the frame is " + std::to_string(n) + " bytes long, not " +
                            std::to_string(frame.size()));
  ORX_TRY(DCtx dctx, make_dctx());
  ZSTD_inBuffer in{frame.data(), frame.size(), 0};
  ZSTD_outBuffer ob{out.data(), out.size(), 0};
  // Once `out` is full, a one-byte buffer tells whether the frame holds more.
  uint8_t extra = 0;
  ZSTD_outBuffer spill{&extra, 1, 0};
  for (;;) {
    ZSTD_outBuffer& target = ob.pos < ob.size ? ob : spill;
    const size_t before_in = in.pos, before_out = target.pos;
    const size_t ret = ZSTD_decompressStream(dctx.get(), &target, &in);
    if (ZSTD_isError(ret)) return bad_frame(0, ZSTD_getErrorName(ret));
    if (spill.pos)
      return bad_frame(0, "holds more than " + std::to_string(out.size()) + " bytes");
    if (ret == 0) {
      if (ob.pos != out.size())
        return bad_frame(0, "holds " + std::to_string(ob.pos) + " bytes, not " +
                                std::to_string(out.size()));
      return {};
    }
    if (in.pos == before_in && target.pos == before_out)
      return bad_frame(0, in.pos == in.size ? "cut short" : "no progress");
  }
}

}  // namespace orx
