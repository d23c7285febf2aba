// Reading an encoded backtest back into its value: the exact inverse of BacktestRecordEncoder.
#pragma once

#include <string_view>

#include "backtest.h"
#include "result.h"

namespace orx {

// Decodes the bytes of exactly one encoded backtest. Every length and count is checked
// against the bytes that remain before anything is read or allocated for it, every string
// must be well-formed UTF-8, and bytes left over after the last signal are refused. The
// padding of the statistics block is ignored.
//
// Failures are Decode errors whose text names the field and the byte offset, for example
//   "trades[12].ticker: string of 300 bytes runs past the end at offset 5,012"
//   "signals[0].trade_instructions: 9 entries of at least 30 bytes run past the end at
//    offset 250 (44 bytes remain)"
//   "metadata.backtest_name: invalid UTF-8 at offset 7"
//   "3 trailing bytes after the backtest at offset 238"
// Offsets count from the first byte of `bytes`; an offset past the end is the end itself.
Result<BacktestData> decode_backtest(std::string_view bytes);

}  // namespace orx
