"""The orx command line: ``orx info``, ``orx head``, ``orx convert`` and ``orx merge``.

Outputs appear only when complete (a temporary file beside them is renamed at the end), so an
error or Ctrl-C never leaves a partial file. Work over a second reports progress on stderr: a
bar on a terminal, a line every few seconds otherwise.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

from ._lib import Metadata, SymbolMap
from ._reader import Batch
from ._reader import open as open_stream
from ._writer import _META_KEY, Writer, _ReplacingFile, _records_of

FORMATS = ("stream", "zstd", "parquet", "csv")
_KIND_NAMES = {1: "Mbp1Msg", 2: "OhlcvMsg", 3: "TradeMsg", 5: "BboMsg"}
_SCHEMA_KINDS = {1: 1, 2: 2, 3: 2, 4: 2, 5: 2, 6: 3, 8: 5, 9: 5}
_CSV_HEAD = "#orx.metadata="
_ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
_PARQUET_MAGIC = b"PAR1"


class CliError(ValueError):
    """A failure the command line reports as one line, without a traceback."""


def _format_of(path: str, given: str | None) -> str:
    if given:
        return given
    lower = path.lower()
    if lower.endswith((".zst", ".zstd")):
        return "zstd"
    if lower.endswith((".parquet", ".pq")):
        return "parquet"
    if lower.endswith(".csv"):
        return "csv"
    return "stream"


def _sniff(path: str) -> str:
    """The format of an existing file, from its first bytes (stream and zstd alike read as a
    stream) or, for CSV, its suffix. Pipes are read once, as streams."""
    import stat

    if not stat.S_ISREG(os.stat(path).st_mode):
        return "stream"
    with open(path, "rb") as f:
        head = f.read(len(_CSV_HEAD))
    if head[:4] == _PARQUET_MAGIC:
        return "parquet"
    if head.decode("latin-1") == _CSV_HEAD or path.lower().endswith(".csv"):
        return "csv"
    return "zstd" if head[:4] == _ZSTD_MAGIC else "stream"


class _Progress:
    """_Progress of one piece of work on stderr, shown once it has run for a second."""

    def __init__(self, label: str, total: int | None, stream=None) -> None:
        self.label, self.total = label, total
        self.stream = stream or sys.stderr
        self.tty = self.stream.isatty()
        self.start = time.monotonic()
        self.last = 0.0
        self.shown = False

    def update(self, done: int) -> None:
        now = time.monotonic()
        if now - self.start < 1.0 or now - self.last < (0.1 if self.tty else 5.0):
            return
        self.last = now
        self.shown = True
        mb = done / 1e6
        if self.total:
            share = min(1.0, done / self.total)
            if self.tty:
                bar = "#" * int(share * 30)
                self.stream.write(f"\r{self.label} [{bar:30}] {share:4.0%} {mb:,.0f} MB")
            else:
                self.stream.write(f"{self.label}: {share:.0%} ({mb:,.0f} MB)\n")
        elif self.tty:
            self.stream.write(f"\r{self.label}: {mb:,.0f} MB")
        else:
            self.stream.write(f"{self.label}: {mb:,.0f} MB\n")
        self.stream.flush()

    def done(self) -> None:
        if self.shown and self.tty:
            self.stream.write("\n")
            self.stream.flush()


# --- reading any format in batches --------------------------------------------------------

def _need(module: str, extra: str):
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        raise CliError(f"this needs {module}: pip install 'orx[{extra}]'") from None


class _Input:
    """An input file of any format: its metadata and its records as pieces the writer takes
    (batches, Arrow record batches or DataFrames), with the bytes read so far."""

    def __init__(self, path: str, batch_size: int = 65_536) -> None:
        self.path, self.batch_size = path, batch_size
        self.format = _sniff(path)
        self.size = os.path.getsize(path)
        self.reader = None
        if self.format == "parquet":
            pq = _need("pyarrow.parquet", "parquet")
            self.parquet = pq.ParquetFile(path)
            kv = self.parquet.schema_arrow.metadata or {}
            if _META_KEY not in kv:
                raise CliError(f"{path}: a Parquet file without orx metadata")
            self.metadata = Metadata.decode(bytes.fromhex(kv[_META_KEY].decode()))
        elif self.format == "csv":
            with open(path, encoding="utf-8") as f:
                first = f.readline()
            if not first.startswith(_CSV_HEAD):
                raise CliError(f"{path}: a CSV file without orx metadata on its first line")
            self.metadata = Metadata.decode(bytes.fromhex(first[len(_CSV_HEAD):].strip()))
        else:
            self.reader = open_stream(path, batch_size=batch_size)
            self.metadata = self.reader.metadata
        self.done = 0

    @property
    def total(self) -> int | None:
        # A compressed stream's size (or a CSV file's) says nothing of how far its records go.
        return None if self.format in ("zstd", "csv") else self.size

    def pieces(self):
        if self.reader is not None:
            with self.reader:
                for batch in self.reader.batches():
                    self.done = self.reader.offset
                    yield batch
        elif self.format == "parquet":
            for i, rb in enumerate(self.parquet.iter_batches(batch_size=self.batch_size)):
                self.done = self.size * (i + 1) // max(1, self.parquet.metadata.num_row_groups)
                yield rb
        else:
            pd = _need("pandas", "dataframe")
            with open(self.path, encoding="utf-8") as f:
                f.readline()
                for df in pd.read_csv(f, chunksize=self.batch_size, keep_default_na=False,
                                      dtype={"action": str, "side": str, "symbol": str}):
                    self.done += len(df) * 100  # a rough size of a CSV row
                    yield df


def _stream_batches(piece, metadata: Metadata):
    """Stream batches of any piece: the writer's packing makes its records, which then take
    the one path to Arrow and pandas that stream batches have."""
    if isinstance(piece, Batch):
        yield piece
        return
    head = bytes(metadata)
    for chunk, count in _records_of(piece, metadata, "fixed"):
        if count:
            yield next(open_stream(head + chunk, batch_size=count).batches())


def _arrow_schema_of(metadata: Metadata):
    """The Arrow schema of a stream's records, with the metadata in its key-value metadata."""
    pa = _need("pyarrow", "parquet")
    table = pa.table(open_stream(bytes(metadata)))
    return table.schema.with_metadata({_META_KEY: bytes(metadata).hex().encode()})


# --- outputs ------------------------------------------------------------------------------

class _Output:
    """Where records go, in one of the formats; complete at close(), absent after abort()."""

    def __init__(self, path: str, fmt: str, metadata: Metadata, level: int | None) -> None:
        self.fmt, self.metadata = fmt, metadata
        self.records = 0
        if fmt in ("stream", "zstd"):
            self.writer = Writer(path, metadata, "zstd" if fmt == "zstd" else None, level,
                                 price_type="fixed")
            return
        if level is not None:
            raise CliError("--level applies to zstd output only")
        self.file = _ReplacingFile(path)
        if fmt == "parquet":
            pq = _need("pyarrow.parquet", "parquet")
            self.schema = _arrow_schema_of(metadata)
            self.parquet = pq.ParquetWriter(self.file.temp, self.schema)
        else:
            self.file.write((_CSV_HEAD + bytes(metadata).hex() + "\n").encode())
            self.header = True

    def write(self, piece) -> None:
        if self.fmt in ("stream", "zstd"):
            before = self.writer.records
            self.writer.write(piece)
            self.records += self.writer.records - before
            return
        for batch in self._batches(piece):
            if self.fmt == "parquet":
                pa = _need("pyarrow", "parquet")
                self.parquet.write_batch(pa.record_batch(batch))
            else:
                df = batch.to_pandas()
                self.file.write(df.to_csv(index=False, header=self.header).encode())
                self.header = False
            self.records += len(batch)

    def _batches(self, piece):
        return _stream_batches(piece, self.metadata)

    def close(self) -> None:
        if self.fmt in ("stream", "zstd"):
            self.writer.close()
            return
        if self.fmt == "parquet":
            self.parquet.close()
        self.file.commit()

    def abort(self) -> None:
        if self.fmt in ("stream", "zstd"):
            self.writer.abort()
            return
        if self.fmt == "parquet":
            try:
                self.parquet.close()
            except Exception:
                pass
        self.file.discard()


def _run(output: _Output, work) -> None:
    try:
        work()
        output.close()
    except BaseException:
        output.abort()
        raise


# --- commands -----------------------------------------------------------------------------

def _describe(metadata: Metadata) -> list[str]:
    symbols = metadata.mappings.map
    shown = ", ".join(f"{i}: {t}" for i, t in sorted(symbols.items())[:12])
    more = f", ... ({len(symbols)} in all)" if len(symbols) > 12 else ""
    return [
        f"schema      {metadata.schema.name}",
        f"dataset     {metadata.dataset.name}",
        f"start       {_ts_text(metadata.start)}",
        f"end         {_ts_text(metadata.end)}",
        f"symbols     {{{shown}{more}}}",
    ]


def _ts_text(ns: int) -> str:
    import datetime

    if ns >= 2**63:
        return str(ns)
    t = datetime.datetime.fromtimestamp(ns // 10**9, datetime.UTC)
    return f"{t:%Y-%m-%d %H:%M:%S}.{ns % 10**9:09d} ({ns})"


def _cmd_info(args) -> None:
    np = _need("numpy", "dataframe")
    source = _Input(args.file)
    counts: dict[int, int] = {}
    lo, hi = None, None
    progress = _Progress(f"info {args.file}", source.total)
    for piece in source.pieces():
        for batch in _stream_batches(piece, source.metadata):
            try:
                arr = batch.to_numpy()
                rtypes, ts = arr["rtype"], arr["ts_event"]
            except ValueError:  # records of several kinds
                df = batch.to_pandas()
                rtypes, ts = df["rtype"].to_numpy(), df["ts_event"].to_numpy()
            values, n = np.unique(rtypes, return_counts=True)
            for v, k in zip(values.tolist(), n.tolist()):
                counts[v] = counts.get(v, 0) + k
            if len(ts):
                lo = int(ts.min()) if lo is None else min(lo, int(ts.min()))
                hi = int(ts.max()) if hi is None else max(hi, int(ts.max()))
        progress.update(source.done)
    progress.done()
    out = [f"file        {args.file}",
           f"size        {source.size:,} bytes",
           "format      " + {"stream": "record stream, uncompressed",
                             "zstd": "record stream, zstd-compressed",
                             "parquet": "Parquet", "csv": "CSV"}[source.format]]
    out += _describe(source.metadata)
    total = sum(counts.values())
    out.append(f"records     {total:,}")
    for rtype, n in sorted(counts.items()):
        out.append(f"  {_KIND_NAMES.get(rtype, f'rtype {rtype}'):10}{n:,}")
    if lo is not None:
        out.append(f"ts_event    {_ts_text(lo)}")
        out.append(f"       to   {_ts_text(hi)}")
    print("\n".join(out))


def _cmd_head(args) -> None:
    pd = _need("pandas", "dataframe")
    if args.n < 0:
        raise CliError("-n must not be negative")
    source = _Input(args.file, batch_size=max(1, args.n))
    frames, have = [], 0
    for piece in source.pieces():
        if have >= args.n:
            break
        for batch in _stream_batches(piece, source.metadata):
            if have < args.n:
                frames.append(batch.to_pandas(pretty_ts=True, pretty_px=True).head(args.n - have))
                have += len(frames[-1])
    df = pd.concat(frames, ignore_index=True) if frames else pd.DataFrame()
    with pd.option_context("display.max_columns", None, "display.width", 200):
        print(df.to_string() if len(df) else "(no records)")


def convert(input, output, to: str | None = None, level: int | None = None, *,
            progress: bool = False) -> int:
    """Converts the file ``input`` (a record stream, raw or zstd, Parquet or CSV written by orx)
    into ``output`` in the format ``to`` ("stream", "zstd", "parquet" or "csv"; by default
    chosen by the suffix of ``output``), batch by batch; returns the number of records. The
    output appears only when complete."""
    input, output = os.fspath(input), os.fspath(output)
    if to is not None and to not in FORMATS:
        raise CliError(f"to must be one of {', '.join(FORMATS)}, not {to!r}")
    source = _Input(input)
    fmt = _format_of(output, to)
    if os.path.abspath(input) == os.path.abspath(output):
        raise CliError("the output would replace the input while it is read")
    out = _Output(output, fmt, source.metadata, level)
    shown = _Progress(f"convert {input} -> {output}", source.total) if progress else None

    def work():
        for piece in source.pieces():
            out.write(piece)
            if shown:
                shown.update(source.done)
        if shown:
            shown.done()

    _run(out, work)
    return out.records


def _cmd_convert(args) -> None:
    n = convert(args.input, args.output, args.to, args.level, progress=True)
    if not args.quiet:
        fmt = _format_of(args.output, args.to)
        print(f"{n:,} records written to {args.output} ({fmt})", file=sys.stderr)


def _united(metadatas: list[Metadata], paths: list[str]) -> Metadata:
    first = metadatas[0]
    symbols: dict[int, str] = {}
    owner: dict[int, str] = {}
    for m, path in zip(metadatas, paths):
        if m.schema != first.schema:
            raise CliError(f"{path}: schema {m.schema.name} differs from {first.schema.name} "
                           f"of {paths[0]}")
        if m.dataset != first.dataset:
            raise CliError(f"{path}: dataset {m.dataset.name} differs from "
                           f"{first.dataset.name} of {paths[0]}")
        for iid, ticker in m.mappings.map.items():
            if iid in symbols and symbols[iid] != ticker:
                raise CliError(f"instrument id {iid} is {symbols[iid]!r} in {owner[iid]} but "
                               f"{ticker!r} in {path}")
            symbols[iid], owner[iid] = ticker, path
    return Metadata(first.schema, first.dataset, min(m.start for m in metadatas),
                    max(m.end for m in metadatas), SymbolMap(symbols))


def _cmd_merge(args) -> None:
    np = _need("numpy", "dataframe")
    sources = [_Input(p) for p in args.inputs]
    for s in sources:
        if s.reader is None:
            raise CliError(f"{s.path}: merge reads record streams (raw or zstd), not {s.format}")
    metadata = _united([s.metadata for s in sources], args.inputs)
    fmt = _format_of(args.output, args.to)
    if fmt not in ("stream", "zstd"):
        raise CliError("merge writes a record stream (raw or zstd)")
    if any(os.path.abspath(p) == os.path.abspath(args.output) for p in args.inputs):
        raise CliError("the output would replace an input while it is read")
    output = _Output(args.output, fmt, metadata, args.level)
    total = sum(s.size for s in sources)
    progress = _Progress(f"merge -> {args.output}", total)

    def arrays(source):
        for batch in source.pieces():
            yield batch.to_numpy()

    def work():
        iters = [arrays(s) for s in sources]
        pending = [next(it, None) for it in iters]
        while True:
            live = [i for i, a in enumerate(pending) if a is not None]
            if not live:
                break
            # Every record at or before the smallest last time of the pending pieces can go:
            # no record still unread comes before it.
            bound = min(int(pending[i]["ts_event"][-1]) for i in live)
            parts = []
            for i in live:
                a = pending[i]
                k = int(np.searchsorted(a["ts_event"], np.uint64(bound), side="right"))
                parts.append(a[:k])
                pending[i] = a[k:] if k < len(a) else next(iters[i], None)
            merged = np.concatenate(parts) if len(parts) > 1 else parts[0]
            order = np.argsort(merged["ts_event"], kind="stable")  # ties keep input order
            output.write(merged[order])
            progress.update(sum(s.done for s in sources))
        progress.done()

    for s in sources:
        if s.metadata.schema != metadata.schema:
            raise CliError("inputs of several schemas")
    _run(output, work)
    if not args.quiet:
        print(f"{output.records:,} records merged into {args.output}", file=sys.stderr)


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="orx", description="Record stream files: inspect, convert, "
                                "merge.")
    sub = p.add_subparsers(dest="command", required=True)
    info = sub.add_parser("info", help="metadata, record counts, time range, size, compression")
    info.add_argument("file")
    head = sub.add_parser("head", help="the first records as a table")
    head.add_argument("file")
    head.add_argument("-n", type=int, default=10, help="how many records (default 10)")
    conv = sub.add_parser("convert", help="stream <-> zstd stream <-> Parquet <-> CSV")
    conv.add_argument("input")
    conv.add_argument("output")
    conv.add_argument("--to", choices=FORMATS, help="output format (default: by suffix: .zst "
                      "zstd, .parquet Parquet, .csv CSV, else a raw stream)")
    conv.add_argument("--level", type=int, help="zstd level (default 1)")
    conv.add_argument("-q", "--quiet", action="store_true")
    merge = sub.add_parser("merge", help="streams of one schema merged by ts_event")
    merge.add_argument("inputs", nargs="+")
    merge.add_argument("output")
    merge.add_argument("--to", choices=("stream", "zstd"))
    merge.add_argument("--level", type=int)
    merge.add_argument("-q", "--quiet", action="store_true")
    return p


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    if args.command == "merge" and len(args.inputs) < 1:
        raise SystemExit("orx merge: give at least one input and an output")
    commands = {"info": _cmd_info, "head": _cmd_head, "convert": _cmd_convert, "merge": _cmd_merge}
    try:
        commands[args.command](args)
    except KeyboardInterrupt:
        print("orx: interrupted; no output written", file=sys.stderr)
        return 130
    except BrokenPipeError:
        return 141
    except (CliError, OSError, ValueError, TypeError) as exc:
        print(f"orx: error: {exc}", file=sys.stderr)
        return 1
    return 0
