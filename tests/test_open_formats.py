"""orx.open on what is not a stream: errors that name the file and say what it looks like;
the Parquet and CSV files orx writes read through their metadata; CSV that pandas, polars and
duckdb read with no options, its metadata in a file beside it; reprs that say what a reader
or writer holds."""

import json
import os
import struct

import numpy as np
import pytest

import orx
from orx import _ext

from helpers import raises
from stream_util import metadata_body
from test_writer import metadata, random_records, stream_of

pa = pytest.importorskip("pyarrow")


def zstd(data: bytes) -> bytes:
    w = _ext.ZstdWriter(1)
    return w.compress(data) + w.finish()


NOT_STREAMS = [
    ("empty.orx", b"", "empty: no metadata"),
    ("a.png", b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR", "not a record stream: it looks like a PNG image"),
    ("a.jpg", b"\xff\xd8\xff\xdb" + bytes(30), "not a record stream: it looks like a JPEG image"),
    ("a.gif", b"GIF87a" + bytes(30), "not a record stream: it looks like a GIF image"),
    ("a.webp", b"RIFF\x10\x00\x00\x00WEBPVP8 ", "not a record stream: it looks like a WebP image"),
    ("a.pdf", b"%PDF-1.7\n", "not a record stream: it looks like a PDF document"),
    ("a.zip", b"PK\x03\x04" + bytes(30), "not a record stream: it looks like a ZIP archive"),
    ("a.gz", b"\x1f\x8b\x08\x00" + bytes(30), "not a record stream: it looks like gzip-compressed "
                                              "data"),
    ("notes.txt", "ünïcode notes, commas too\nline two".encode(),
     "not a record stream: it looks like CSV text"),
    ("notes.md", b"# notes\n\nsome text", "not a record stream: it looks like text"),
    ("short.orx", b"\x30\x00" + bytes(10), "not a record stream: failed to fill whole buffer"),
    ("bad.orx", struct.pack("<H", 22) + metadata_body(schema=0),
     "not a record stream: Invalid schema value"),
    ("noise.bin", bytes([0xDE, 0xAD, 0xBE, 0xEF] * 8),
     "not a record stream: failed to fill whole buffer"),
    ("packed.bin", zstd(b"not a stream at all" * 50),
     "zstd-compressed data, but no record stream inside: failed to fill whole buffer"),
    ("foreign.parquet", None, "a Parquet file without orx metadata"),
]


@pytest.mark.parametrize("name, content, message", NOT_STREAMS)
def test_what_is_not_a_stream_is_named_and_described(tmp_path, name, content, message):
    path = tmp_path / name
    if content is None:
        import pyarrow.parquet as pq

        pq.write_table(pa.table({"x": [1, 2]}), path)
    else:
        path.write_bytes(content)
    with pytest.raises((OSError, ValueError)) as info:
        orx.open(path)
    assert str(info.value) == f"{path}: {message}"
    # The same refusal from the command line, as one line.
    from test_cli import cli

    r = cli("info", path, check=False)
    assert (r.returncode, r.stderr) == (1, f"orx: error: {path}: {message}\n")


def test_the_same_bytes_in_memory_fail_as_buffer_store_does():
    raises(OSError, "failed to fill whole buffer", orx.open, b"")
    raises(OSError, "Invalid schema value", orx.open,
           struct.pack("<H", 22) + metadata_body(schema=0))


def test_read_errors_name_the_path(tmp_path):
    data = stream_of(3, 4)
    (tmp_path / "cut.orx").write_bytes(data[:-10])
    reader = orx.open(tmp_path / "cut.orx")
    assert [r.ts_event for r in (next(reader), next(reader), next(reader))] == \
        orx.open(data).to_numpy()["ts_event"][:3].tolist()
    raises(OSError, f"{tmp_path / 'cut.orx'}: the stream ends inside a record: 46 of its 56 bytes "
           f"at byte offset {len(data) - 56}, after 3 whole records", next, reader)


@pytest.mark.parametrize("rtype", [1, 3, 5, 2])
@pytest.mark.parametrize("suffix", [".parquet", ".csv"])
def test_open_reads_the_parquet_and_csv_files_orx_writes(tmp_path, rtype, suffix):
    data = stream_of(rtype, 700, seed=rtype)
    (tmp_path / "s.orx").write_bytes(data)
    assert orx.convert(tmp_path / "s.orx", tmp_path / ("x" + suffix)) == 700
    with orx.open(tmp_path / ("x" + suffix), batch_size=300) as reader:
        assert reader.metadata.encode() == orx.open(data).metadata.encode()
        got = b"".join(bytes(b) for b in reader.batches())
    assert got == data[len(bytes(metadata(rtype))):]
    # ...in every form a reader gives.
    want = orx.open(data).to_numpy()
    assert (orx.open(tmp_path / ("x" + suffix)).to_numpy() == want).all()
    assert pa.table(orx.open(tmp_path / ("x" + suffix))).equals(pa.table(orx.open(data)))


def test_csv_opens_in_pandas_polars_and_duckdb_unchanged(tmp_path):
    import pandas as pd
    import polars as pl

    data = stream_of(1, 500, seed=4)
    (tmp_path / "s.orx").write_bytes(data)
    orx.convert(tmp_path / "s.orx", tmp_path / "out.csv")
    want = orx.open(data).to_numpy()
    names = list(want.dtype.names) + ["symbol"]
    frame = pd.read_csv(tmp_path / "out.csv")
    assert list(frame.columns) == names and len(frame) == 500
    lazy = pl.read_csv(tmp_path / "out.csv")
    assert lazy.columns == names and lazy.height == 500
    for name in ("price", "size", "ts_recv", "bid_px", "ts_in_delta"):
        assert frame[name].tolist() == want[name].tolist() == lazy[name].to_list()
    assert frame["action"].tolist() == [b.decode() for b in want["action"].tolist()]
    symbols = metadata(1).mappings.map
    assert frame["symbol"].fillna("").tolist() == [symbols.get(i, "")
                                                   for i in want["instrument_id"].tolist()]
    duckdb = pytest.importorskip("duckdb")
    rows = duckdb.sql(f"select price, ts_recv from '{tmp_path / 'out.csv'}'").fetchall()
    assert rows == list(zip(want["price"].tolist(), want["ts_recv"].tolist()))


def test_csv_metadata_lives_beside_it(tmp_path):
    data = stream_of(3, 50)
    (tmp_path / "s.orx").write_bytes(data)
    orx.convert(tmp_path / "s.orx", tmp_path / "out.csv")
    csv = (tmp_path / "out.csv").read_bytes()
    assert csv.startswith(b"length,rtype,instrument_id,ts_event,")
    doc = json.loads((tmp_path / "out.csv.orx-meta").read_bytes())
    assert doc == {"metadata": bytes(metadata(3)).hex(), "csv_bytes": len(csv)}
    # A CSV replaced behind the metadata's back is refused, naming both files.
    (tmp_path / "out.csv").write_bytes(csv + b"14,3,7,1,0,1,1,A,B,0,0,2,-5,9,ESZ6\n")
    raises(orx._convert.ConversionError,
           f"{tmp_path / 'out.csv.orx-meta'} was written with a CSV file of {len(csv):,} bytes, "
           f"but {tmp_path / 'out.csv'} has {len(csv) + 35:,}: they are not from the same "
           "conversion", orx.open, tmp_path / "out.csv")
    # A conversion that fails leaves both as they were.
    (tmp_path / "out.csv").write_bytes(csv)
    bad = bytearray(data)
    bad[-55] = 4  # the last record's rtype: not a trade
    (tmp_path / "bad.orx").write_bytes(bytes(bad))
    with pytest.raises(OSError):
        orx.convert(tmp_path / "bad.orx", tmp_path / "out.csv")
    assert (tmp_path / "out.csv").read_bytes() == csv
    assert json.loads((tmp_path / "out.csv.orx-meta").read_bytes())["csv_bytes"] == len(csv)
    assert sorted(os.listdir(tmp_path)) == ["bad.orx", "out.csv", "out.csv.orx-meta", "s.orx"]


def test_csv_files_with_the_metadata_on_their_first_line_still_read(tmp_path):
    data = stream_of(3, 20)
    (tmp_path / "s.orx").write_bytes(data)
    orx.convert(tmp_path / "s.orx", tmp_path / "new.csv")
    old = f"#orx.metadata={bytes(metadata(3)).hex()}\n".encode() + (tmp_path / "new.csv").read_bytes()
    (tmp_path / "old.csv").write_bytes(old)
    assert orx.convert(tmp_path / "old.csv", tmp_path / "back.orx") == 20
    assert (tmp_path / "back.orx").read_bytes() == data
    assert (orx.open(tmp_path / "old.csv").to_numpy() == orx.open(data).to_numpy()).all()


def test_an_empty_stream_converts_to_a_header_row(tmp_path):
    (tmp_path / "e.orx").write_bytes(bytes(metadata(2)))
    assert orx.convert(tmp_path / "e.orx", tmp_path / "e.csv") == 0
    assert (tmp_path / "e.csv").read_text() == \
        "length,rtype,instrument_id,ts_event,rollover_flag,open,high,low,close,volume,symbol\n"
    assert orx.convert(tmp_path / "e.csv", tmp_path / "back.orx") == 0
    assert (tmp_path / "back.orx").read_bytes() == bytes(metadata(2))


def test_reprs_say_what_they_hold(tmp_path):
    data = stream_of(3, 5)
    (tmp_path / "s.orx").write_bytes(data)
    reader = orx.open(tmp_path / "s.orx")
    where = repr(str(tmp_path / "s.orx"))
    assert repr(reader) == f"<orx.Reader of {where}: trades, FUTURES, 0 records read, open>"
    next(reader), next(reader)
    assert repr(reader) == f"<orx.Reader of {where}: trades, FUTURES, 2 records read, open>"
    list(reader.batches())
    reader.close()
    assert repr(reader) == f"<orx.Reader of {where}: trades, FUTURES, 5 records read, closed>"
    assert repr(orx.open(data)) == "<orx.Reader of bytes: trades, FUTURES, 0 records read, open>"
    orx.convert(tmp_path / "s.orx", tmp_path / "s.parquet")
    assert repr(orx.open(tmp_path / "s.parquet")) == (
        f"<orx.Reader of {str(tmp_path / 's.parquet')!r} (read as Parquet): trades, FUTURES, "
        "0 records read, open>")
    w = orx.Writer(tmp_path / "w.orx.zst", compression="zstd")
    path = repr(str(tmp_path / "w.orx.zst"))
    assert repr(w) == f"<orx.Writer to {path} (zstd): no metadata yet, 0 records written, open>"
    w.write(orx.open(data))
    assert repr(w) == f"<orx.Writer to {path} (zstd): trades, 5 records written, open>"
    w.close()
    assert repr(w) == f"<orx.Writer to {path} (zstd): trades, 5 records written, closed>"
    assert orx.open(tmp_path / "w.orx.zst").to_numpy().tobytes() == \
        np.frombuffer(data[len(bytes(metadata(3))):], np.uint8).tobytes()


def test_zstd_data_under_any_name_reads_as_a_stream(tmp_path):
    data = stream_of(2, 30)
    (tmp_path / "day.csv").write_bytes(zstd(data))
    assert orx.convert(tmp_path / "day.csv", tmp_path / "back.orx") == 30
    assert (tmp_path / "back.orx").read_bytes() == data
    assert len(orx.open(tmp_path / "day.csv").to_numpy()) == 30


def test_random_records_of_every_byte_value_round_trip_through_parquet(tmp_path):
    # Hand-built records whose action and side cover every byte, through orx.write's Arrow path.
    recs = bytearray(random_records(3, 256, seed=9))
    for i in range(256):
        recs[i * 56 + 36], recs[i * 56 + 37] = i, 255 - i  # action, side
    data = bytes(metadata(3)) + bytes(recs)
    table = pa.table(orx.open(data))
    orx.write(tmp_path / "back.orx", table, metadata(3))
    assert (tmp_path / "back.orx").read_bytes() == data
    orx.write(tmp_path / "back2.orx", orx.open(data).to_numpy(), metadata(3))
    assert (tmp_path / "back2.orx").read_bytes() == data


def test_frame_errors_of_a_path_are_those_of_buffer_store_with_the_path(tmp_path):
    from orx import BufferStore

    bad = bytearray(stream_of(3, 4))
    bad[len(bytes(metadata(3))) + 2 * 56 + 1] = 4  # the third record: a kind without a layout
    (tmp_path / "bad.orx").write_bytes(bytes(bad))
    with pytest.raises(OSError) as want:
        BufferStore(bytes(bad)).decode_to_df(False, False)
    raises(OSError, f"{tmp_path / 'bad.orx'}: {want.value}", orx.open(tmp_path / "bad.orx").to_pandas)
    raises(OSError, str(want.value), orx.open(bytes(bad)).to_pandas)
