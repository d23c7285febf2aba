"""The command line, run as a user runs it (python -m orx in a subprocess): info, head, every
conversion and back byte for byte, merge, refusals, and no partial output on errors or Ctrl-C."""

import os
import signal
import subprocess
import sys
import time

import pytest

import orx
from orx import BufferStore, Dataset, Metadata, Schema, SymbolMap

from helpers import assert_stubs_match, temporaries
from test_writer import metadata, random_records, read, stream_of

pytest.importorskip("pyarrow")


def cli(*args, check=True, **kw):
    r = subprocess.run([sys.executable, "-m", "orx", *map(str, args)], capture_output=True,
                       text=True, timeout=120, **kw)
    if check:
        assert r.returncode == 0, r.stderr
    return r


def files(directory):
    return sorted(os.listdir(directory))


@pytest.fixture
def day(tmp_path):
    path = tmp_path / "day.orx"
    path.write_bytes(stream_of(1, 500))
    return path


def test_info(day):
    out = cli("info", day).stdout
    data = read(day)
    ts = BufferStore(data).decode_to_df(False, False)["ts_event"]
    assert out.splitlines()[:10] == [
        f"file        {day}",
        f"size        {len(data):,} bytes",
        "format      record stream, uncompressed",
        "schema      MBP1",
        "dataset     FUTURES",
        "start       1970-01-01 00:00:00.000000001 (1)",
        "end         1970-01-01 00:00:00.000000002 (2)",
        "symbols     {7: ESZ6, 8: NQZ6}",
        "records     500",
        "  Mbp1Msg   500",
    ]
    assert f"({ts.min()})" in out.splitlines()[10] and f"({ts.max()})" in out.splitlines()[11]


def test_info_counts_kinds_of_a_mixed_stream(tmp_path):
    data = bytes(metadata(3)) + random_records(3, 4) + random_records(2, 2) + random_records(3, 1)
    (tmp_path / "m.orx").write_bytes(data)
    out = cli("info", tmp_path / "m.orx").stdout.splitlines()
    assert out[8:11] == ["records     7", "  OhlcvMsg  2", "  TradeMsg  5"]


def test_head(day):
    out = cli("head", day, "-n", "3").stdout.splitlines()
    assert len(out) == 4 and out[0].split()[:4] == ["length", "rtype", "instrument_id", "ts_event"]
    import numpy as np

    want = BufferStore(read(day)).decode_to_df(False, False).head(3)
    for line, (_, row) in zip(out[1:], want.iterrows()):
        # index, length, rtype, id, then the time with every nanosecond
        text = np.datetime_as_string(np.datetime64(int(row["ts_event"]), "ns")).replace("T", " ")
        assert " ".join(line.split()[4:6]) == text
    assert cli("head", day, "-n", "0").stdout == "(no records)\n"


@pytest.mark.parametrize("chain", [
    ["x.orx.zst", "x.orx"],
    ["x.parquet", "x.orx"],
    ["x.csv", "x.orx"],
    ["x.orx.zst", "x.parquet", "x.csv", "x.orx"],
])
@pytest.mark.parametrize("rtype", [1, 3, 5, 2])
def test_conversions_and_back_give_the_same_bytes(tmp_path, chain, rtype):
    source = tmp_path / "in.orx"
    source.write_bytes(stream_of(rtype, 300, seed=rtype))
    previous = source
    for name in chain:
        cli("convert", previous, tmp_path / name, "-q")
        previous = tmp_path / name
    assert read(previous) == read(source)
    assert not temporaries(tmp_path)


def test_parquet_keeps_types_and_metadata(tmp_path, day):
    import pyarrow as pa
    import pyarrow.parquet as pq

    cli("convert", day, tmp_path / "d.parquet")
    table = pq.read_table(tmp_path / "d.parquet")
    assert table.schema.field("ts_event").type == pa.timestamp("ns", tz="UTC")
    assert table.schema.field("price").type == pa.int64()
    assert Metadata.decode(bytes.fromhex(table.schema.metadata[b"orx.metadata"].decode())
                           ).encode() == bytes(metadata(1))
    # The table reads back through orx.write as well as through the CLI.
    orx.write(tmp_path / "back.orx", table)
    assert read(tmp_path / "back.orx") == read(day)


def test_merge_by_ts_event_with_symbol_maps_united(tmp_path):
    import numpy as np

    a = Metadata(Schema.TRADES, Dataset.FUTURES, 5, 50, SymbolMap({7: "ESZ6"}))
    b = Metadata(Schema.TRADES, Dataset.FUTURES, 1, 40, SymbolMap({8: "NQZ6", 7: "ESZ6"}))
    ra = orx.open(bytes(a) + random_records(3, 400, seed=1)).to_numpy().copy()
    rb = orx.open(bytes(b) + random_records(3, 300, seed=2)).to_numpy().copy()
    ra.sort(order="ts_event", kind="stable")
    rb.sort(order="ts_event", kind="stable")
    rb["ts_event"][:50] = ra["ts_event"][:50]  # ties: the first input's record comes first
    rb.sort(order="ts_event", kind="stable")
    orx.write(tmp_path / "a.orx", ra, a)
    orx.write(tmp_path / "b.orx.zst", rb, b, compression="zstd")
    cli("merge", tmp_path / "a.orx", tmp_path / "b.orx.zst", tmp_path / "m.orx", "-q")
    merged = orx.open(tmp_path / "m.orx")
    assert merged.metadata.mappings.map == {7: "ESZ6", 8: "NQZ6"}
    assert (merged.metadata.start, merged.metadata.end) == (1, 50)
    got = merged.to_numpy()
    both = np.concatenate([ra, rb])
    want = both[np.argsort(both["ts_event"], kind="stable")]
    assert len(got) == 700 and (got == want).all()


@pytest.mark.parametrize("args, message", [
    (["convert", "missing.orx", "o.orx"],
     "orx: error: [Errno 2] No such file or directory: 'missing.orx'"),
    (["convert", "t.orx", "t.orx"], "orx: error: the output would replace the input while it "
                                    "is read"),
    (["convert", "t.orx", "o.parquet", "--level", "3"],
     "orx: error: --level applies to zstd output only"),
    (["merge", "t.orx", "c.orx", "o.orx"],
     "orx: error: instrument id 7 is 'ESZ6' in t.orx but 'OTHER' in c.orx"),
    (["merge", "t.orx", "s.orx", "o.orx"],
     "orx: error: s.orx: schema OHLCV1M differs from TRADES of t.orx"),
    (["convert", "bad.orx", "o.orx.zst"],
     "orx: error: bad.orx: Invalid Record Type : Tbbo (record at byte offset 216)"),
])
def test_refusals_leave_no_output(tmp_path, args, message):
    (tmp_path / "t.orx").write_bytes(stream_of(3, 3))
    (tmp_path / "c.orx").write_bytes(
        bytes(Metadata(Schema.TRADES, Dataset.FUTURES, 0, 0, SymbolMap({7: "OTHER"}))))
    (tmp_path / "s.orx").write_bytes(stream_of(2, 3))
    # An error midway: a record of a kind that cannot be read after three good ones.
    bad = bytearray(random_records(3, 1))
    bad[1] = 4
    (tmp_path / "bad.orx").write_bytes(stream_of(3, 3) + bytes(bad) + random_records(3, 2))
    before = files(tmp_path)
    r = cli(*args, check=False, cwd=tmp_path)
    assert (r.returncode, r.stderr.strip().splitlines()[-1]) == (1, message)
    assert files(tmp_path) == before


def test_ctrl_c_during_a_convert_leaves_no_output(tmp_path):
    # The input is a pipe that the test feeds: the conversion has started (its temporary file
    # exists) and waits for more records when Ctrl-C arrives.
    fifo = tmp_path / "in.orx"
    os.mkfifo(fifo)
    data = stream_of(1, 3000)
    proc = subprocess.Popen([sys.executable, "-m", "orx", "convert", str(fifo),
                             str(tmp_path / "out.parquet")], stderr=subprocess.PIPE, text=True)
    with open(fifo, "wb") as feed:
        feed.write(data[:len(data) // 2])
        feed.flush()
        deadline = time.monotonic() + 60
        while not temporaries(tmp_path):
            assert time.monotonic() < deadline and proc.poll() is None
            time.sleep(0.05)
        proc.send_signal(signal.SIGINT)
        time.sleep(0.2)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 130, err
    assert err.strip().splitlines()[-1] == "orx: interrupted; no output written"
    assert files(tmp_path) == ["in.orx"]


def test_progress_on_stderr_for_long_work(tmp_path):
    # A slow input (a pipe fed over two seconds) shows progress lines on a non-terminal.
    fifo = tmp_path / "in.orx"
    os.mkfifo(fifo)
    data = stream_of(3, 20000)
    proc = subprocess.Popen([sys.executable, "-m", "orx", "convert", str(fifo),
                             str(tmp_path / "o.orx")], stderr=subprocess.PIPE, text=True)
    with open(fifo, "wb") as feed:
        step = len(data) // 8
        for i in range(0, len(data), step):
            feed.write(data[i:i + step])
            feed.flush()
            time.sleep(0.8)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err
    assert read(tmp_path / "o.orx") == data
    assert err.splitlines()[-1] == f"20,000 records written to {tmp_path / 'o.orx'} (stream)"
    assert any(line.startswith(f"convert {fifo} -> ") for line in err.splitlines())


def test_progress_of_converting_a_day_file_counts_its_records_up_to_exactly_all(
        tmp_path, monkeypatch, capsys):
    # The reader of a day file goes through the stream of its records (uncompressed), so its
    # progress counts that stream's bytes, not the file's.
    from catalog_util import records as day_records, spread
    from orx._cli import main
    from orx._progress import Progress

    orx.Catalog(tmp_path / "cat").write(day_records(spread(days=1, per_day=3000)))
    (path,) = (tmp_path / "cat" / "FUTURES" / "mbp-1").glob("*.orxday")
    seen, update = [], Progress.update

    def spy(self, done):
        seen.append((done, self.total))
        update(self, done)

    monkeypatch.setattr(Progress, "update", spy)
    monkeypatch.setattr(Progress, "delay", 0.0)
    monkeypatch.setattr(Progress, "every", 0.0)
    out = tmp_path / "o.orx"
    assert main(["convert", str(path), str(out)]) == 0
    size = os.path.getsize(out)  # the raw stream: the metadata and every record
    assert seen and all(done <= total for done, total in seen) and seen[-1] == (size, size)
    lines = capsys.readouterr().err.splitlines()
    assert lines[-2:] == [f"convert {path} -> {out}: 100% ({size / 1e6:,.0f} MB)",
                          f"3,000 records written to {out} (stream)"]


def test_console_script_is_installed():
    script = os.path.join(os.path.dirname(sys.executable), "orx")
    assert os.access(script, os.X_OK)
    r = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0 and "convert" in r.stdout and "merge" in r.stdout


def test_convert_from_python(tmp_path, day):
    assert orx.convert(day, tmp_path / "d.parquet") == 500
    assert orx.convert(tmp_path / "d.parquet", tmp_path / "d.bin", to="zstd", level=5) == 500
    assert read(tmp_path / "d.bin")[:4] == b"\x28\xb5\x2f\xfd"
    assert orx.convert(tmp_path / "d.bin", tmp_path / "back") == 500
    assert read(tmp_path / "back") == read(day)
    with pytest.raises(ValueError) as info:
        orx.convert(day, tmp_path / "x", to="json")
    assert str(info.value) == "to must be one of stream, zstd, parquet, csv, not 'json'"


def test_stubs_match_the_runtime():
    import orx._cli as runtime

    assert_stubs_match(runtime, {"FORMATS", "CliError", "convert", "main", "refuse_existing"})
