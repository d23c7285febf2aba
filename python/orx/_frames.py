"""Assembling DataFrames from the columns the batch builder fills (used by the compiled code).

The builder hands over finished buffers: one (k, n) block of int64 values for the integer
columns, one of float64 values for the prices shown as floats, and each text column as codes
into a short list of texts (a lookup table). They become the frame's blocks as they are, so
pandas does not copy them again. The dtypes are the ones pandas infers from rows of Python
values, for the pandas configuration in force: int64, or uint64 for a column holding a value
past the int64 range, float64, and for text the string dtype pandas infers (or object).

With ``datetimes``, the time columns (ts_event, ts_recv) come as one more (k, n) int64 block of
nanoseconds since the epoch, NaT already in place of the undefined time, and become one block of
``datetime64[ns, UTC]`` over the same memory. ``utc_times`` is the same step for values held
anywhere else (Dask's empty frames and divisions).
"""

import numpy as np
import pandas as pd

try:  # builds a frame from finished blocks without consolidating (copying) them
    from pandas.api.internals import create_dataframe_from_blocks as _from_blocks
except ImportError:  # pragma: no cover - older pandas: the public constructor below
    _from_blocks = None

# The dtype of time columns with datetimes=True.
UTC = pd.DatetimeTZDtype("ns", "UTC")
# The time columns of the record kinds: ts_event, and ts_recv where the kind has it.
TIME_COLUMNS = ("ts_event", "ts_recv")
# A time of all bits set: no time (NaT).
_UNDEF_TIME = (1 << 64) - 1
_INT64_MAX = (1 << 63) - 1
_NAT = np.iinfo(np.int64).min


def _past_datetimes(name, value, row):
    return ValueError(f"{name} {value} at row {row} is past the range of datetime64[ns] "
                      "(2262-04-11)")


def _as_utc(ns):
    """The int64 nanoseconds `ns` (1-D or 2-D, NaT as the int64 minimum) as datetime64[ns, UTC],
    over the same memory."""
    values = ns.view("M8[ns]")
    try:
        from pandas.arrays import DatetimeArray
        return DatetimeArray._simple_new(values, dtype=UTC)
    except (ImportError, AttributeError, TypeError):  # pragma: no cover - other pandas
        if values.ndim != 1:
            raise
        return pd.array(values).tz_localize("UTC")


def utc_times(values, name="ts_event"):
    """Nanoseconds since the epoch (integers: a sequence, an array of int64 or uint64) as a
    1-D ``datetime64[ns, UTC]`` array; the undefined time (2**64 - 1) is NaT, any other value
    past the int64 range a ValueError naming `name` and its row."""
    raw = np.asarray(values)
    if raw.dtype.kind not in "iu":  # Python ints past the int64 range, or no values
        ints = [int(v) for v in raw.ravel()]
        wide = any(v > _INT64_MAX for v in ints)
        raw = np.array(ints, dtype=np.uint64 if wide else np.int64)
    raw = raw.ravel()
    ns = raw.astype(np.int64)  # a copy: the caller's values stay as they are
    if raw.dtype.kind == "u":
        big = raw > _INT64_MAX
        if big.any():
            past = big & (raw != _UNDEF_TIME)
            if past.any():
                row = int(np.argmax(past))
                raise _past_datetimes(name, int(raw[row]), row)
            ns[big] = _NAT
    return _as_utc(ns)


def utc_timestamp(ns, name, row):
    """One time value of a row as its UTC time stamp (NaT for the undefined time)."""
    if ns == _UNDEF_TIME:
        return pd.NaT
    if ns > _INT64_MAX:
        raise _past_datetimes(name, ns, row)
    return pd.Timestamp(ns, tz="UTC")


def utc_columns(frame):
    """`frame` (made from rows of UTC time stamps) with its time columns of dtype ``UTC`` also
    where no row held a stamp (no rows, or NaT in every row)."""
    for name in TIME_COLUMNS:
        if name in frame.columns and frame[name].dtype != UTC:
            column = frame[name]
            if column.dtype.kind == "M":
                frame[name] = column.astype("M8[ns]").dt.tz_localize("UTC")
            else:  # rows without the column: NaN; no rows at all: object
                frame[name] = pd.Series(pd.NaT, index=frame.index, dtype=UTC)
    return frame


# Code point i as a one-character str: the texts of action and side codes.
_LETTERS = [chr(i) for i in range(256)]


try:  # whether pandas infers its string dtype for text (else object)
    from pandas._config import using_string_dtype as _infers_strings
except ImportError:  # pragma: no cover
    _infers_strings = None


def _text_dtype():
    """What pandas makes of a column of str values built from rows."""
    if _infers_strings is None:  # pragma: no cover - ask pandas the long way
        return pd.DataFrame([{"a": "a"}]).dtypes.iloc[0]
    return pd.StringDtype(na_value=np.nan) if _infers_strings() else np.dtype(object)


def _text_column(dtype, codes, texts, offsets=None):
    """The column whose row i is texts[codes[i]], as pandas stores text of `dtype`. Letters
    (`texts` is _LETTERS, codes 0..127) in Arrow take their bytes as they are, after `offsets`
    (a one-item list holding 0, 1, 2, ... as an Arrow buffer, shared by the letter columns)."""
    storage = getattr(dtype, "storage", None)
    if storage == "pyarrow":
        import pyarrow as pa
        if texts is _LETTERS and offsets is not None:
            n = len(codes)
            if not offsets:
                offsets.append(pa.py_buffer(np.arange(n + 1, dtype=np.int64)))
            values = pa.Array.from_buffers(pa.large_string(), n,
                                           [None, offsets[0], pa.py_buffer(codes)])
        else:
            import pyarrow.compute as pc
            values = pc.take(pa.array(texts, pa.large_string()), codes)
        return dtype.construct_array_type()(values, dtype=dtype)
    table = np.empty(len(texts), dtype=object)
    table[:] = texts
    values = table.take(codes)
    if dtype == np.dtype(object):
        return values
    if storage == "python":
        return dtype.construct_array_type()(values, dtype=dtype)
    return dtype.construct_array_type()._from_sequence(values, dtype=dtype)


def frame_data(n, names, ints, int_at, wide, floats, float_at, texts, blocks=True, stamps=None,
               stamp_at=()):
    """What decode_to_df hands to pandas.DataFrame for columns filled by the builder.

    `names` are the columns in order. `ints` is a (len(int_at), n) int64 array (row r is column
    int_at[r]); wide[r] tells that row r holds unsigned values past the int64 range.
    `floats`/`float_at` the same for float64 columns. `texts` lists (position, codes, texts):
    codes a (1, n) array, texts None for letters (the codes are code points). `stamps`/`stamp_at`
    the same for time columns as datetimes (int64 nanoseconds, NaT in place). With `blocks`, a
    DataFrame made of these blocks; otherwise (or on pandas without that constructor) a dict
    of columns for the public constructor.
    """
    int_block, float_block = ints, floats
    text_dtype = _text_dtype() if texts else None
    offsets = []  # the letters' one offsets buffer, made by the first of them
    text_columns = [(at, _text_column(text_dtype, codes[0], _LETTERS if table is None else table,
                                      offsets))
                    for at, codes, table in texts]
    if not blocks or _from_blocks is None:
        columns = {}
        for r, at in enumerate(int_at):
            columns[at] = int_block[r].view(np.uint64) if wide[r] else int_block[r]
        for r, at in enumerate(float_at):
            columns[at] = float_block[r]
        for r, at in enumerate(stamp_at):
            columns[at] = _as_utc(stamps[r])
        columns.update(text_columns)
        return {names[at]: columns[at] for at in range(len(names))}
    parts = []
    # Integer rows as few blocks as possible: runs of int64 rows, each wide row on its own.
    start = 0
    for r in range(len(int_at) + 1):
        if r == len(int_at) or wide[r]:
            if r > start:
                parts.append((int_block[start:r], np.array(int_at[start:r], dtype=np.intp)))
            if r < len(int_at):
                parts.append((int_block[r:r + 1].view(np.uint64), np.array([int_at[r]], np.intp)))
            start = r + 1
    if float_at:
        parts.append((float_block, np.array(float_at, dtype=np.intp)))
    if stamp_at:
        parts.append((_as_utc(stamps), np.array(stamp_at, dtype=np.intp)))
    for at, column in text_columns:
        if isinstance(column, np.ndarray):
            column = column.reshape(1, n)
        parts.append((column, np.array([at], dtype=np.intp)))
    return _from_blocks(parts, pd.RangeIndex(n), pd.Index(names))


def text_column(codes, texts):
    """The text column whose row i is texts[codes[i]] (None: missing), as frames hold text."""
    return _text_column(_text_dtype(), codes, texts)
