// Encoded backtests read back into `_lib`'s BacktestData.
#include "backtest_decode.h"
#include "classes.h"
#include "ext.h"

namespace orx::py::ext {
namespace {

// The decoded value moves into the new instance: no copy of its lists.
PyObject* decode_backtest(const BufferView& data) {
  Result<BacktestData> backtest = orx::decode_backtest(data.bytes());
  if (!backtest) {
    raise(PyExc_ValueError, backtest.error().payload());
    return nullptr;
  }
  return new_instance<BacktestData>(type_object<BacktestData>(), std::move(*backtest));
}

const MethodRow kFunctions[] = {
    function<&decode_backtest>(
        "decode_backtest(data)\n--\n\n"
        "Decodes the bytes PyBacktestEncoder.encode_backtest wrote (any bytes-like object) into "
        "a BacktestData.\n\n"
        "Raises ValueError when the bytes are not exactly one encoded back-test: a length or "
        "count running past the end, a string that is not UTF-8, or bytes after the last signal. "
        "The message names the field and the byte offset, for example\n"
        "'trades[12].ticker: string of 300 bytes runs past the end at offset 5,012'."),
};

}  // namespace

std::span<const MethodRow> backtest_functions() { return kFunctions; }

}  // namespace orx::py::ext
