"""Streams spread over several UTC days, for the catalog and Dask tests."""

import orx
from stream_util import mbp1_bytes, stream

NS_DAY = 86_400 * 1_000_000_000
DAY0 = 20_423 * NS_DAY  # 2025-12-01 00:00:00 UTC
TICKERS = {7: "ESZ5", 8: "NQZ5", 9: "ESH6"}


def day_text(ts):
    return orx.catalog._records.day_of(ts).isoformat()


def records(times_ids, **kw):
    """A stream of MBP-1 records (ts_event, instrument_id), the price telling them apart."""
    recs = [mbp1_bytes(iid=iid, ts=ts, price=n, **kw) for n, (ts, iid) in enumerate(times_ids)]
    return stream(*recs, symbols=tuple(TICKERS.items()))


def spread(days=3, per_day=6, ids=(7, 8, 9)):
    """`per_day` records a day for `days` days, cycling through `ids`, evenly in each day."""
    out = []
    for d in range(days):
        for k in range(per_day):
            out.append((DAY0 + d * NS_DAY + k * (NS_DAY // per_day), ids[k % len(ids)]))
    return out


def params(symbols, start, end, stype=orx.Stype.RAW, schema=orx.Schema.MBP1):
    p = orx.RetrieveParams([], "2025-01-01", "2025-01-02", schema, orx.Dataset.FUTURES, stype)
    p.symbols, p.start_ts, p.end_ts = symbols, start, end
    return p


def day_name(cat, day):
    """The name of the day file `cat` writes for `day` (ISO text)."""
    return day + orx.catalog._format.FORMATS[cat.day_format].file_name("", cat.compression)


# Catalogs of each way of writing days: (compression, day-file format), with their test ids.
WRITE_WAYS = [("zstd", 1), (None, 1), ("zstd", 2)]
WRITE_IDS = ["zstd", "raw", "dayfile"]
