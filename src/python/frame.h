// Decoded records as Python objects: record objects made straight from the stream bytes, lists
// of them, and pandas DataFrames of their rows.
#pragma once

#include <string_view>

#include "bind/ref.h"
#include "decode.h"
#include "symbols.h"

namespace orx::py {

// The record object (Mbp1Msg, OhlcvMsg, TradeMsg, BboMsg) for a record that converts to
// `kind` (as convertible_kind said): one allocation, one copy of the layout.
PyObject* record_object(const RecordRef& ref, RType kind);

// Every remaining record as a list of record objects, in stream order. A read failure raises
// OSError "IO error: {text}", a record that does not convert OSError with the conversion's
// display text; the records read by the failing call are dropped, the bytes stay consumed.
PyObject* decode_remaining(RecordDecoder& decoder);

// The remaining records as a pandas DataFrame: one row per record, the keys of its __dict__()
// as columns, "symbol" from `symbols`, action and side as one-character strings, ts_event as
// UTC text with `pretty_ts`, prices divided by 1e9 with `pretty_px`. `source` is the stream
// the decoder reads (its refs point into it). pandas is looked up before anything is read;
// when the DataFrame call itself fails, the position goes back to where the call began.
PyObject* decode_frame(RecordDecoder& decoder, std::string_view source, const SymbolMap& symbols,
                       bool pretty_ts, bool pretty_px);

// The same DataFrame for `count` records that were already read and checked (each converts, as
// convertible_kind says), back to back from the start of `records`: for batches of records
// held elsewhere than in a decoder. With `datetimes` (which excludes `pretty_ts`: ValueError),
// ts_event and ts_recv are datetime64[ns, UTC] columns: the undefined time (all bits set) is
// NaT, any other value past the signed 64-bit range a ValueError naming it.
PyObject* frame_of(std::string_view records, size_t count, const SymbolMap& symbols, bool pretty_ts,
                   bool pretty_px, bool datetimes = false);

// The same DataFrame for `records` (immutable while this runs) when they are nothing but whole
// records that convert: they are checked and surveyed in one pass. Otherwise `whole` is false
// and null is returned with no exception set (the caller reads them its own way). `count` says
// how many whole records came before anything else.
// The plain columns of many records of one length are filled on up to `threads` threads.
PyObject* frame_of_whole(std::string_view records, const SymbolMap& symbols, bool pretty_ts,
                         bool pretty_px, bool datetimes, bool& whole, size_t& count,
                         unsigned threads = 1);

}  // namespace orx::py
