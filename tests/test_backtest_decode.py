"""orx.decode_backtest: the encoded back-test read back, and what it refuses."""

import mmap

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orx
from orx import (BacktestData, BacktestMetaData, Parameters, PyBacktestEncoder, SignalInstructions,
                 Signals, StaticStats, TimeseriesStats, Trades, decode_backtest)

from helpers import UNDER_SANITIZER, assert_no_leak, raises
from test_backtest import EMPTY, backtest, instruction, meta, params, stats, trade

I32, I64 = (-(2**31), 2**31 - 1), (-(2**63), 2**63 - 1)


def encode(bt):
    return PyBacktestEncoder().encode_backtest(bt)


def rich():
    return backtest(
        metadata=meta(backtest_id=65535, backtest_name="bt é🙂",
                      parameters=params(strategy_name="sma", capital=I64[0], tickers=["A", "", "日"]),
                      static_stats=stats(total_trades=I32[0], sortino_ratio=I64[1])),
        period_timeseries_stats=[TimeseriesStats(1, 2, 3, 4, 5), TimeseriesStats(*[I64[0]] * 5)],
        daily_timeseries_stats=[TimeseriesStats(*[I64[1]] * 5)],
        trades=[trade(trade_id=I32[1], ticker="ESZ6", action="BUY", fees=-1), trade()],
        signals=[Signals(7, []), Signals(I64[0], [instruction(ticker="NQ", quantity=I32[0],
                                                              aux_price="x" * 65535)])])


# --- round trips ---------------------------------------------------------------------------------

@pytest.mark.parametrize("value", [backtest(), rich()], ids=["empty", "rich"])
def test_round_trip_both_ways(value):
    data = encode(value)
    back = decode_backtest(data)
    assert type(back) is BacktestData
    assert back.to_dict() == value.to_dict()
    assert encode(back) == data


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, lambda b: memoryview(b"..." + b)[3:]],
                         ids=["bytes", "bytearray", "memoryview", "memoryview-slice"])
def test_any_contiguous_bytes_like_input(wrap):
    data = encode(rich())
    assert encode(decode_backtest(wrap(data))) == data


def test_mmap_input(tmp_path):
    path = tmp_path / "run.bin"
    path.write_bytes(encode(rich()))
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        assert decode_backtest(m).to_dict() == rich().to_dict()


def test_decoded_value_is_independent_of_the_input():
    data = bytearray(encode(rich()))
    bt = decode_backtest(data)
    data[0:2] = b"\x00\x00"
    assert bt.metadata.backtest_id == 65535
    bt.trades = []
    assert len(decode_backtest(encode(rich())).trades) == 2


def test_padding_of_the_statistics_block_is_ignored():
    data = bytearray(EMPTY)
    data[50:54] = b"\xde\xad\xbe\xef"
    assert encode(decode_backtest(data)) == EMPTY


# --- what it refuses -----------------------------------------------------------------------------

def with_bytes(at, new, base=EMPTY):
    return base[:at] + new + base[at + len(new):]


MALFORMED = [
    (b"", "metadata.backtest_id: 2-byte integer runs past the end at offset 0"),
    (EMPTY[:3], "metadata.backtest_name: 2-byte length runs past the end at offset 2"),
    (EMPTY[:2] + b"\x05\x00abc", "metadata.backtest_name: string of 5 bytes runs past the end at "
                                 "offset 4"),
    (EMPTY[:25], "metadata.parameters.start: 8-byte integer runs past the end at offset 18"),
    (EMPTY[:100], "metadata.static_stats: 184-byte block runs past the end at offset 38"),
    (EMPTY[:229], "daily_timeseries_stats: 4-byte integer runs past the end at offset 226"),
    (with_bytes(34, b"\xff\xff\xff\xff"),
     "metadata.parameters.tickers: 4,294,967,295 entries of at least 2 bytes run past the end at "
     "offset 38 (200 bytes remain)"),
    (with_bytes(226, b"\x01\x00\x00\x00"),
     "daily_timeseries_stats: 1 entry of at least 40 bytes run past the end at offset 230 (8 "
     "bytes remain)"),
    (with_bytes(234, b"\x00\x00\x00\x80"),
     "signals: 2,147,483,648 entries of at least 12 bytes run past the end at offset 238 (0 bytes "
     "remain)"),
    (with_bytes(2, b"\x02\x00\xc3\x28", EMPTY + b"\x00\x00"),
     "metadata.backtest_name: invalid UTF-8 at offset 4"),
    (EMPTY + b"\x00", "1 trailing byte after the backtest at offset 238"),
    (EMPTY + EMPTY, "238 trailing bytes after the backtest at offset 238"),
]


@pytest.mark.parametrize("data, message", MALFORMED)
def test_malformed_input_raises_value_error_naming_field_and_offset(data, message):
    raises(ValueError, message, decode_backtest, data)


def test_errors_inside_nested_entries_carry_their_path():
    good = encode(rich())
    aux_text = len(good) - 65535
    raises(ValueError, "signals[1].trade_instructions[0].aux_price: string of 65,535 bytes runs "
           f"past the end at offset {aux_text:,}", decode_backtest, good[:-1])
    bad = good.replace(b"ESZ6", b"ES\xffZ", 1)
    at = good.index(b"ESZ6") + 2
    raises(ValueError, f"trades[0].ticker: invalid UTF-8 at offset {at}", decode_backtest, bad)


@pytest.mark.parametrize("arg, message", [
    (None, "argument 'data': 'NoneType' object cannot be converted to 'bytes-like object'"),
    ("text", "argument 'data': 'str' object cannot be converted to 'bytes-like object'"),
    ([0, 0], "argument 'data': 'list' object cannot be converted to 'bytes-like object'"),
])
def test_non_bytes_input_is_a_type_error(arg, message):
    raises(TypeError, message, decode_backtest, arg)


def test_non_contiguous_buffer_is_refused():
    with pytest.raises(BufferError):
        decode_backtest(memoryview(EMPTY * 2)[::2])


def test_bytearray_cannot_be_resized_while_held_and_is_released_after():
    data = bytearray(EMPTY + b"\x00")
    with pytest.raises(ValueError):
        decode_backtest(data)
    data.pop()  # the failed call released its hold
    assert decode_backtest(data).metadata.backtest_id == 0


@pytest.mark.skipif(UNDER_SANITIZER, reason="slow under the sanitizer")
def test_no_leak_on_success_or_failure():
    good, bad = encode(rich()), encode(rich())[:-1]

    def both():
        decode_backtest(good)
        try:
            decode_backtest(bad)
        except ValueError:
            pass

    assert_no_leak(both, iterations=3000)


# --- the property: round trips over generated results -------------------------------------------

def text(max_size=12):
    return st.text(max_size=max_size)


def ints(bounds):
    return st.integers(*bounds)


def long_text():
    """Mostly short, sometimes exactly at the 65,535-byte limit (in 1-, 2-, 3- and 4-byte
    characters)."""
    at_limit = st.sampled_from(["a" * 65535, "é" * 32767 + "a", "日" * 21845, "🙂" * 16383 + "abc"])
    return st.one_of(text(), at_limit)


points = st.builds(TimeseriesStats, *[ints(I64)] * 5)
trades = st.builds(Trades, ints(I32), ints(I32), ints(I64), long_text(), ints(I64), ints(I64),
                   ints(I64), ints(I64), text(), ints(I64))
instructions = st.builds(SignalInstructions, text(), text(), text(), ints(I32), ints(I32),
                         ints(I64), ints(I32), long_text(), text())
signals = st.builds(Signals, ints(I64), st.lists(instructions, max_size=3))
backtests = st.builds(
    BacktestData,
    st.builds(BacktestMetaData, st.integers(0, 65535), long_text(),
              st.builds(Parameters, text(), ints(I64), text(), text(), ints(I64), ints(I64),
                        st.lists(long_text(), max_size=4)),
              st.builds(StaticStats, *[ints(I32)] * 3, *[ints(I64)] * 21)),
    st.lists(points, max_size=5), st.lists(points, max_size=5), st.lists(trades, max_size=4),
    st.lists(signals, max_size=4))

PROPERTY = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@PROPERTY
@given(backtests)
def test_property_value_bytes_value(value):
    data = encode(value)
    back = decode_backtest(data)
    assert back.to_dict() == value.to_dict()
    assert encode(back) == data


@PROPERTY
@given(backtests, st.data())
def test_property_damaged_bytes_decode_or_raise_value_error(value, data):
    """Cut, extended or overwritten encodings decode to a value that encodes back to the same
    bytes (padding aside), or raise ValueError: nothing else."""
    good = bytearray(encode(value))
    kind = data.draw(st.sampled_from(["cut", "extend", "overwrite"]))
    if kind == "cut":
        damaged = good[:data.draw(st.integers(0, len(good) - 1))]
    elif kind == "extend":
        damaged = good + data.draw(st.binary(min_size=1, max_size=8))
    else:
        at = data.draw(st.integers(0, len(good) - 1))
        damaged = good[:at] + data.draw(st.binary(min_size=1, max_size=4)) + good[at + 4:]
    try:
        back = decode_backtest(damaged)
    except ValueError as e:
        assert " at offset " in str(e)
        return
    again = encode(back)
    assert len(again) == len(damaged)
    assert decode_backtest(again).to_dict() == back.to_dict()


def test_package_exports():
    assert orx.decode_backtest is orx._ext.decode_backtest
    assert "decode_backtest" in orx.__all__
    assert decode_backtest.__text_signature__ == "(data)"
