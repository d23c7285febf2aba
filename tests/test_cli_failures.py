"""The command line as a new user meets it: every failure one line on stderr with a non-zero
status and nothing written, outputs that are not replaced without --force, truncated streams
salvaged on request, records with any byte value and times past 2^63 shown and converted, a
catalog summarised, --version and help for every argument."""

import os
import struct
import subprocess
import sys

import pytest

import orx
from orx import _ext
from orx._cli import _parser

from stream_util import TRADE, mbp1_bytes, metadata_body, stream
from test_cli import cli, files

DAY = 1_796_601_600_000_000_000  # 2026-12-07 00:00:00 UTC


def trade(ts, action, side, price=6_850_250_000_000, iid=7, ts_recv=DAY + 1):
    """A trade record with `action` and `side` as bytes 0..255 (the field is a signed byte)."""
    signed = lambda b: b - 256 if b >= 128 else b  # noqa: E731
    return TRADE.pack(14, 3, iid, ts, 0, price, 10, signed(action), signed(side), 0, 0, ts_recv,
                      -5, 9)


TRADES = stream(trade(DAY + 1, 65, 66), trade(DAY + 2, 65, 65), trade(DAY + 3, 84, 78),
                symbols=((7, "ESZ6"),), schema=int(orx.Schema.TRADES))


def zstd(data: bytes) -> bytes:
    w = _ext.ZstdWriter(3)
    return w.compress(data) + w.finish()


@pytest.fixture
def inputs(tmp_path):
    (tmp_path / "t.orx").write_bytes(TRADES)
    (tmp_path / "exists.orx").write_bytes(b"keep me")
    (tmp_path / "adir").mkdir()
    (tmp_path / "picture.png").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(range(64)))
    (tmp_path / "photo.jpg").write_bytes(b"\xff\xd8\xff\xe0" + bytes(64))
    (tmp_path / "anim.gif").write_bytes(b"GIF89a" + bytes(64))
    (tmp_path / "empty.orx").write_bytes(b"")
    (tmp_path / "noise.bin").write_bytes(struct.pack("<H", 22) + metadata_body(schema=0))
    (tmp_path / "junk.orx.zst").write_bytes(zstd(b"hello world" * 100))
    (tmp_path / "plain.csv").write_text("a,b\n1,2\n")
    (tmp_path / "cut.orx").write_bytes(TRADES[:-16])
    return tmp_path


@pytest.mark.parametrize("args, status, message", [
    (["info", "missing.orx"], 1, "orx: error: [Errno 2] No such file or directory: 'missing.orx'"),
    (["head", "adir"], 1, "orx: error: [Errno 21] Is a directory: 'adir'"),
    (["info", "adir"], 1, "orx: error: adir is a directory, not a stream file or a catalog of "
                          "day files"),
    (["info", "picture.png"], 1,
     "orx: error: picture.png: not a record stream: it looks like a PNG image"),
    (["convert", "photo.jpg", "o.orx"], 1,
     "orx: error: photo.jpg: not a record stream: it looks like a JPEG image"),
    (["head", "anim.gif"], 1, "orx: error: anim.gif: not a record stream: it looks like a GIF "
                              "image"),
    (["head", "empty.orx"], 1, "orx: error: empty.orx: empty: no metadata"),
    (["info", "noise.bin"], 1, "orx: error: noise.bin: not a record stream: Invalid schema value"),
    (["info", "junk.orx.zst"], 1, "orx: error: junk.orx.zst: zstd-compressed data, but no record "
                                  "stream inside: failed to fill whole buffer"),
    (["convert", "plain.csv", "o.orx"], 1, "orx: error: plain.csv: a CSV file without orx "
                                           "metadata (no plain.csv.orx-meta beside it)"),
    (["convert", "cut.orx", "o.orx"], 1,
     "orx: error: cut.orx: the stream ends inside a record: 40 of its 56 bytes at byte offset "
     "148, after 2 whole records"),
    (["convert", "t.orx", "exists.orx"], 1,
     "orx: error: exists.orx already exists; pass --force to replace it"),
    (["merge", "t.orx", "t.orx", "exists.orx"], 1,
     "orx: error: exists.orx already exists; pass --force to replace it"),
    (["convert", "t.orx", "t.orx", "--force"], 1,
     "orx: error: the output would replace the input while it is read"),
    (["convert", "t.orx", "o.orx", "--level", "3"], 1,
     "orx: error: --level applies to zstd output only"),
    (["convert", "t.orx", "o.orx.zst", "--level", "99"], 1,
     "orx: error: zstd level 99 is outside -131072..22"),
    (["convert", "t.orx", "o.json", "--to", "json"], 2,
     "orx convert: error: argument --to: invalid choice: 'json' (choose from 'stream', 'zstd', "
     "'parquet', 'csv') (see orx convert --help)"),
    (["head", "t.orx", "-n", "x"], 2, "orx head: error: argument -n: a number of records, 0 or "
                                      "more, not 'x' (see orx head --help)"),
    (["head", "t.orx", "-n", "-3"], 2, "orx head: error: argument -n: a number of records, 0 or "
                                       "more, not '-3' (see orx head --help)"),
    (["convert", "t.orx", "o.zst", "--level", "high"], 2,
     "orx convert: error: argument --level: a whole number, not 'high' (see orx convert --help)"),
    (["frobnicate"], 2, "orx: error: argument COMMAND: invalid choice: 'frobnicate' (choose from "
                        "'info', 'head', 'convert', 'merge', 'serve', 'keys', 'get', 'catalog') "
                        "(see orx --help)"),
    ([], 2, "orx: error: the following arguments are required: COMMAND (see orx --help)"),
])
def test_every_failure_is_one_line_and_writes_nothing(inputs, args, status, message):
    before = {n: (inputs / n).read_bytes() for n in files(inputs) if (inputs / n).is_file()}
    r = cli(*args, check=False, cwd=inputs)
    assert (r.returncode, r.stderr) == (status, message + "\n")
    after = {n: (inputs / n).read_bytes() for n in files(inputs) if (inputs / n).is_file()}
    assert after == before


@pytest.mark.parametrize("blocked, args, message", [
    ("pandas", ["convert", "t.orx", "o.csv"],
     "orx: error: writing o.csv needs pandas: pip install 'orx-marketdata[dataframe]'"),
    ("pyarrow", ["convert", "t.orx", "o.parquet"],
     "orx: error: writing o.parquet needs pyarrow: pip install 'orx-marketdata[parquet]'"),
])
def test_a_missing_optional_dependency_names_its_extra(inputs, blocked, args, message):
    code = (f"import sys; sys.modules[{blocked!r}] = None; from orx._cli import main; "
            f"sys.exit(main({args!r}))")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=inputs,
                       timeout=120)
    assert (r.returncode, r.stderr) == (1, message + "\n")
    assert not (inputs / args[-1]).exists()


def test_force_replaces_an_existing_output(inputs):
    cli("convert", "t.orx", "exists.orx", "--force", "-q", cwd=inputs)
    assert (inputs / "exists.orx").read_bytes() == TRADES
    (inputs / "exists.orx").write_bytes(b"keep me")
    cli("merge", "t.orx", "exists.orx.zst", "-q", cwd=inputs)
    cli("merge", "t.orx", "t.orx", "exists.orx", "-f", "-q", cwd=inputs)
    assert len(orx.open(inputs / "exists.orx").to_numpy()) == 6
    # A device is written to as it is, not replaced.
    cli("convert", "t.orx", os.devnull, "-q", cwd=inputs)


def test_truncated_streams_are_salvaged_on_request(inputs):
    # info shows what it can, then the damage, and fails.
    r = cli("info", "cut.orx", check=False, cwd=inputs)
    assert r.returncode == 1
    lines = r.stdout.splitlines()
    assert lines[3:5] == ["schema      TRADES", "dataset     FUTURES"]
    assert "records     2 before the damage" in lines
    assert r.stderr == ("orx: error: cut.orx: the stream ends inside a record: 40 of its 56 "
                        "bytes at byte offset 148, after 2 whole records (--allow-truncated "
                        "reads the records before it)\n")
    r = cli("info", "cut.orx", "--allow-truncated", cwd=inputs)
    assert "records     2" in r.stdout.splitlines() and r.stderr == ""
    cli("convert", "cut.orx", "o.orx", "--allow-truncated", "-q", cwd=inputs)
    assert (inputs / "o.orx").read_bytes() == TRADES[:-56]


def test_a_truncated_zstd_stream_is_salvaged_up_to_its_last_whole_block(tmp_path):
    records = b"".join(mbp1_bytes(iid=7, ts=DAY + i, sequence=i) for i in range(20_000))
    data = stream(records)
    packed = zstd(data)
    (tmp_path / "cut.orx.zst").write_bytes(packed[:len(packed) * 3 // 4])
    r = cli("convert", "cut.orx.zst", "o.orx", check=False, cwd=tmp_path)
    assert r.returncode == 1 and r.stderr.startswith(
        "orx: error: cut.orx.zst: Decoding error: zstd stream truncated: its input ends inside a "
        "frame, after ")
    assert not (tmp_path / "o.orx").exists()
    cli("convert", "cut.orx.zst", "o.orx", "--allow-truncated", "-q", cwd=tmp_path)
    got = (tmp_path / "o.orx").read_bytes()
    n = (len(got) - (len(data) - len(records))) // 96
    assert 0 < n < 20_000 and got == data[:len(data) - len(records) + 96 * n]
    # orx.open salvages the same records.
    with pytest.raises(OSError):
        orx.open(tmp_path / "cut.orx.zst").to_numpy()
    arr = orx.open(tmp_path / "cut.orx.zst", allow_truncated=True).to_numpy()
    assert len(arr) == n and arr["sequence"].tolist() == list(range(n))


BYTES = stream(trade(2**63 + 5, 0x80, 66, iid=7, ts_recv=DAY + 1),
               trade(2**64 - 1, 0xFF, 0, price=-1, iid=9, ts_recv=2**63),
               trade(DAY + 14 * 3600 * 10**9, 0x2C, 0x22, price=68_500_000_000, iid=7),
               symbols=((7, "ESZ6"),), schema=int(orx.Schema.TRADES))


def test_head_shows_every_nanosecond_and_every_byte(tmp_path):
    (tmp_path / "b.orx").write_bytes(BYTES)
    out = cli("head", "b.orx", "-n", "99999999999999999999", cwd=tmp_path).stdout.splitlines()
    assert out[0].split() == ["length", "rtype", "instrument_id", "ts_event", "rollover_flag",
                              "price", "size", "action", "side", "flags", "depth", "ts_recv",
                              "ts_in_delta", "sequence", "symbol"]
    assert [line.split() for line in out[1:]] == [
        ["0", "14", "3", "7", "2262-04-11", "23:47:16.854775813", "0", "6850.25", "10", "0x80",
         "B", "0", "0", "2026-12-07", "00:00:00.000000001", "-5", "9", "ESZ6"],
        ["1", "14", "3", "9", "2554-07-21", "23:34:33.709551615", "0", "-0.000000001", "10",
         "0xff", "0x00", "0", "0", "2262-04-11", "23:47:16.854775808", "-5", "9"],
        ["2", "14", "3", "7", "2026-12-07", "14:00:00.000000000", "0", "68.5", "10", ",", '"',
         "0", "0", "2026-12-07", "00:00:00.000000001", "-5", "9", "ESZ6"],
    ]
    assert cli("head", "b.orx", "-n", "1", cwd=tmp_path).stdout.count("\n") == 2


def test_head_shows_a_table_per_run_of_one_kind(tmp_path):
    mixed = stream(trade(DAY + 1, 65, 66), mbp1_bytes(ts=DAY + 2), trade(DAY + 3, 65, 66),
                   schema=int(orx.Schema.TRADES))
    (tmp_path / "m.orx").write_bytes(mixed)
    out = cli("head", "m.orx", cwd=tmp_path).stdout.split("\n\n")
    assert [block.splitlines()[1].split()[:3] for block in out] == [
        ["0", "14", "3"], ["1", "24", "1"], ["2", "14", "3"]]
    assert "bid_px" in out[1].splitlines()[0] and "bid_px" not in out[0].splitlines()[0]


@pytest.mark.parametrize("chain", [["b.csv"], ["b.parquet"], ["b.parquet", "b2.csv"],
                                   ["b.csv", "b2.orx.zst", "b3.parquet"]])
def test_every_byte_value_and_time_round_trips(tmp_path, chain):
    pytest.importorskip("pyarrow")
    every = [trade(DAY + i, i, 255 - i, price=i - 128, iid=7 + i % 3) for i in range(256)]
    data = stream(*every, trade(2**63, 200, 128), trade(2**64 - 1, 128, 200),
                  symbols=((7, "ESZ6"), (8, "NQZ6")), schema=int(orx.Schema.TRADES))
    (tmp_path / "b.orx").write_bytes(data)
    previous = "b.orx"
    for name in chain:
        cli("convert", previous, name, "-q", cwd=tmp_path)
        previous = name
    cli("convert", previous, "back.orx", "-q", cwd=tmp_path)
    assert (tmp_path / "back.orx").read_bytes() == data
    # orx.open reads the files orx writes, through their metadata.
    got = b"".join(bytes(b) for b in orx.open(tmp_path / previous, batch_size=100).batches())
    assert got == data[len(data) - 258 * 56:]


def test_info_summarises_a_catalog(tmp_path):
    day2 = DAY + 86_400 * 10**9
    data = stream(*[mbp1_bytes(iid=7 + i % 2, ts=(DAY if i < 100 else day2) + i)
                    for i in range(300)], symbols=((7, "ESZ6"), (8, "NQZ6")))
    catalog = orx.Catalog(tmp_path / "market")
    catalog.write(data)
    out = cli("info", tmp_path / "market").stdout.splitlines()
    assert out == [f"catalog     {tmp_path / 'market'}",
                   "FUTURES mbp-1: 2 days (2026-12-07 to 2026-12-08), 300 records, 2 symbols: "
                   "ESZ6, NQZ6",
                   "  ts_event  2026-12-07 00:00:00.000000000 to 2026-12-08 00:00:00.000000299"]


def test_version_and_help_for_every_argument():
    assert cli("--version").stdout == f"orx {orx.__version__}\n"
    import argparse

    def every_parser(parser, name=()):
        yield name, parser
        for action in parser._actions:
            if isinstance(action, argparse._SubParsersAction):
                for sub, p in action.choices.items():
                    yield from every_parser(p, name + (sub,))

    seen = []
    for name, parser in every_parser(_parser()):
        for action in parser._actions:
            assert action.help, (name, action.dest)
        seen.append(" ".join(name))
    assert {"info", "head", "convert", "merge", "keys add"} <= set(seen)
    for name in ("info", "head", "convert", "merge"):
        assert cli(name, "--help").stdout.startswith(f"usage: orx {name}")
