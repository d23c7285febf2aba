"""The orx command line: ``orx info``, ``orx head``, ``orx convert`` and ``orx merge``.

Outputs appear only when complete (a temporary file beside them is renamed at the end), so an
error or Ctrl-C never leaves a partial file. Work over a second reports progress on stderr: a
bar on a terminal, a line every few seconds otherwise.
"""

from __future__ import annotations

import argparse
import os
import sys

from ._convert import FORMATS, Input, Output, convert, format_of, run, stream_batches
from ._deps import require
from ._kinds import kind_name
from ._lib import Metadata, SymbolMap
from ._progress import Progress


class CliError(ValueError):
    """A failure the command line reports as one line, without a traceback."""


def _need(module: str, extra: str):
    try:
        return require(module, extra, "this")
    except ImportError as exc:
        raise CliError(str(exc)) from None


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
    source = Input(args.file)
    counts: dict[int, int] = {}
    lo, hi = None, None
    progress = Progress(f"info {args.file}", source.total)
    for piece in source.pieces():
        for batch in stream_batches(piece, source.metadata):
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
        out.append(f"  {kind_name(rtype):10}{n:,}")
    if lo is not None:
        out.append(f"ts_event    {_ts_text(lo)}")
        out.append(f"       to   {_ts_text(hi)}")
    print("\n".join(out))


def _cmd_head(args) -> None:
    pd = _need("pandas", "dataframe")
    if args.n < 0:
        raise CliError("-n must not be negative")
    source = Input(args.file, batch_size=max(1, args.n))
    frames, have = [], 0
    for piece in source.pieces():
        if have >= args.n:
            break
        for batch in stream_batches(piece, source.metadata):
            if have < args.n:
                frames.append(batch.to_pandas(pretty_ts=True, pretty_px=True).head(args.n - have))
                have += len(frames[-1])
    df = pd.concat(frames, ignore_index=True) if frames else pd.DataFrame()
    with pd.option_context("display.max_columns", None, "display.width", 200):
        print(df.to_string() if len(df) else "(no records)")


def _cmd_convert(args) -> None:
    n = convert(args.input, args.output, args.to, args.level, progress=True)
    if not args.quiet:
        fmt = format_of(args.output, args.to)
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
    sources = [Input(p) for p in args.inputs]
    for s in sources:
        if s.reader is None:
            raise CliError(f"{s.path}: merge reads record streams (raw or zstd), not {s.format}")
    metadata = _united([s.metadata for s in sources], args.inputs)
    fmt = format_of(args.output, args.to)
    if fmt not in ("stream", "zstd"):
        raise CliError("merge writes a record stream (raw or zstd)")
    if any(os.path.abspath(p) == os.path.abspath(args.output) for p in args.inputs):
        raise CliError("the output would replace an input while it is read")
    output = Output(args.output, fmt, metadata, args.level)
    total = sum(s.size for s in sources)
    progress = Progress(f"merge -> {args.output}", total)

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
    run(output, work)
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
    except (ImportError, OSError, ValueError, TypeError) as exc:
        print(f"orx: error: {exc}", file=sys.stderr)
        return 1
    return 0
