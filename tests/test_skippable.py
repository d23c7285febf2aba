"""zstd data that starts with (or holds) skippable frames, as pzstd writes it: read as zstd by
orx.open from bytes, paths and file objects, by the command line and by the catalog; the
skippable frames' content is no part of the stream."""

import io
import struct
import subprocess
import sys

import pytest

import orx
from orx import _ext

from test_writer import stream_of

DATA = stream_of(3, 400)


def skippable(nibble, payload):
    """A skippable frame built by hand: magic 0x184D2A5n little-endian, 4-byte size, payload."""
    return struct.pack("<II", 0x184D2A50 | nibble, len(payload)) + payload


def frame(data):
    z = _ext.ZstdWriter(3)
    return z.compress(data) + z.finish()


def layouts():
    half = len(DATA) // 2
    a, b = frame(DATA[:half]), frame(DATA[half:])
    return {
        "leading": skippable(0, struct.pack("<I", 12345)) + a + b,  # pzstd's form
        "leading, empty, nibble F": skippable(0xF, b"") + a + b,
        "interior": a + skippable(7, b"not records" * 50) + b,
        "everywhere": skippable(1, b"x") + a + skippable(2, b"") + skippable(3, b"y" * 3) + b
        + skippable(4, b"z"),
    }


LAYOUTS = layouts()


@pytest.mark.parametrize("name", LAYOUTS)
@pytest.mark.parametrize("source", ["bytes", "path", "file"])
def test_open_reads_past_skippable_frames(tmp_path, name, source):
    data = LAYOUTS[name]
    path = tmp_path / "p.orx"  # no .zst: the content decides
    path.write_bytes(data)
    src = {"bytes": data, "path": path, "file": io.BytesIO(data)}[source]
    with orx.open(src, batch_size=64) as r:
        got = b"".join(bytes(b) for b in r.batches())
        meta = r.metadata
    assert bytes(meta) + got == DATA


def cli(*args):
    return subprocess.run([sys.executable, "-m", "orx", *map(str, args)], capture_output=True,
                          text=True, timeout=120)


@pytest.mark.parametrize("name", ["leading", "everywhere"])
def test_the_command_line_reads_past_skippable_frames(tmp_path, name):
    path = tmp_path / "p.orx.zst"
    path.write_bytes(LAYOUTS[name])
    info = cli("info", path)
    assert info.returncode == 0, info.stderr
    assert "records     400" in info.stdout.splitlines()
    head = cli("head", "-n", "3", path)
    assert head.returncode == 0 and len(head.stdout.splitlines()) == 4, head.stderr
    conv = cli("convert", path, tmp_path / "out.orx", "-q")
    assert conv.returncode == 0, conv.stderr
    assert (tmp_path / "out.orx").read_bytes() == DATA


@pytest.mark.parametrize("given", ["bytes", "path"])
def test_the_catalog_takes_data_with_skippable_frames(tmp_path, given):
    from catalog_util import DAY0, NS_DAY, params, records, spread

    data = records(spread())
    path = tmp_path / "p.orx.zst"
    path.write_bytes(skippable(0, b"\0\0\0\0") + frame(data))
    cat = orx.Catalog(tmp_path / "cat", compression="zstd")
    cat.write(path.read_bytes() if given == "bytes" else orx.open(path))
    got = cat.query(params([], DAY0, DAY0 + 3 * NS_DAY)).to_numpy()
    assert got.tobytes() == orx.open(data).to_numpy().tobytes()
