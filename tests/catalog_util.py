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
def index_doc(data):
    """A directory's index as the JSON document of its earlier form, decoded from its bytes
    with struct alone (the layout design.md gives), as a reference for the numpy reader."""
    import json
    import struct
    import zlib

    head = struct.Struct("<8sIIQQQQQQQ")
    magic, version, crc, nf, ni, nb, ns, nstr, heap, napp = head.unpack_from(data)
    assert (magic, version) == (b"ORXINDEX", 3) and zlib.crc32(data[head.size:]) == crc
    at = head.size
    rows = {}
    for name, fmt, n in (("files", "<IIIIIIQqQQQQQQ", nf), ("instruments", "<IIQQQ", ni),
                         ("blocks", "<IQQQQQ", nb), ("splits", "<Q", ns), ("lengths", "<I", nstr)):
        s = struct.Struct(fmt)
        rows[name] = [s.unpack_from(data, at + k * s.size) for k in range(n)]
        at += n * s.size
    strings = []
    for (n,) in rows["lengths"]:
        strings.append(data[at:at + n].decode())
        at += n
    assert at + napp == len(data)
    appends = json.loads(data[at:]) if napp else []
    files, i, b, s = [], 0, 0, 0
    for (name, fmt, flags, n_i, n_b, n_s, size, mtime, inode, count, start, end, h_off,
         h_len) in rows["files"]:
        inst = [[iid, strings[t] if t != 0xFFFFFFFF else None, n, a, z]
                for iid, t, n, a, z in rows["instruments"][i:i + n_i]]
        blocks = [list(x) for x in rows["blocks"][b:b + n_b]]
        files.append({"file": strings[name], "format": fmt, "stat": [size, mtime, inode],
                      "count": count, "start": start if flags & 1 else None,
                      "end": end if flags & 1 else None, "instruments": inst,
                      "head": [h_off, h_len] if flags & 2 else None,
                      "blocks": blocks if flags & 4 else None,
                      "splits": [x for (x,) in rows["splits"][s:s + n_s]]})
        i, b, s = i + n_i, b + n_b, s + n_s
    return {"format": 2, "files": files, "appends": appends}
