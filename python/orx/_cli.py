"""The orx command line: ``orx info``, ``orx head``, ``orx convert`` and ``orx merge``; the
historical-data service's ``orx serve``, ``orx keys`` and ``orx get``.

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


# --- the service: serve, keys, get -----------------------------------------------------------

def _cmd_serve(args) -> int | None:
    _need("starlette", "serve")
    _need("uvicorn", "serve")
    from . import serve

    if args.keys is None and not serve.is_loopback(args.host):
        print(f"orx serve: refusing to serve on {args.host}, not a loopback address, without "
              "--keys: anyone who reaches it could read the catalog", file=sys.stderr)
        return 2
    if args.max_streams < 1:
        raise CliError(f"--max-streams must be at least 1, not {args.max_streams}")
    if not args.grace >= 0:
        raise CliError(f"--grace must be a number of seconds, not {args.grace}")
    serve.run(args.catalog, host=args.host, port=args.port, keys=args.keys,
              max_streams=args.max_streams, grace=args.grace,
              ready=lambda url: print(f"orx serve: {args.catalog} at {url}", flush=True))
    return None


def _cmd_keys(args) -> None:
    from . import _keys

    if args.action == "add":
        key, entry = _keys.add(args.keyfile, args.name, args.dataset)
        which = ", ".join(d.to_json() for d in entry.datasets) if entry.datasets else "every"
        print(f"key {entry.name!r} (id {entry.id}) may read {which} dataset"
              f"{'s' if not entry.datasets or len(entry.datasets) > 1 else ''}; it is shown "
              "this once and stored nowhere:")
        print(key)
    elif args.action == "remove":
        _keys.remove(args.keyfile, args.name)
        print(f"key {args.name!r} removed from {args.keyfile}", file=sys.stderr)
    else:
        rows = _keys.keys(args.keyfile)
        for k in rows:
            which = ",".join(d.to_json() for d in k.datasets) if k.datasets is not None else "*"
            print(f"{k.name:20} {k.id}  {k.created}  {which}")
        if not rows:
            print(f"{args.keyfile}: no keys", file=sys.stderr)


def _cmd_get(args) -> None:
    _need("httpx", "client")
    from .client import Client, ServiceError

    if os.path.exists(args.output) and not args.force:
        raise CliError(f"{args.output} exists; pass --force to replace it")
    compression = "zstd" if args.output.endswith(".zst") else None
    try:
        with Client(args.url, args.key) as client:
            reader = client.timeseries.get_range(
                dataset=args.dataset, schema=args.schema, symbols=args.symbols or [],
                start=args.start, end=args.end, stype_in=args.stype, compression=compression,
                limit=args.limit, path=args.output, progress=True)
            reader.close()
    except ServiceError as exc:
        raise CliError(str(exc)) from None
    if not args.quiet:
        print(f"{os.path.getsize(args.output):,} bytes written to {args.output} "
              f"({compression or 'raw'})", file=sys.stderr)


def _service_parsers(sub) -> None:
    serve = sub.add_parser("serve", help="serve a catalog over HTTP (historical-data service)")
    serve.add_argument("catalog", help="the catalog directory")
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on (default "
                       "127.0.0.1; any other than loopback needs --keys)")
    serve.add_argument("--port", type=int, default=8080, help="port (default 8080; 0: any "
                       "free port)")
    serve.add_argument("--keys", help="key file (orx keys add): every request needs a key")
    serve.add_argument("--max-streams", type=int, default=4, help="get_range streams in "
                       "flight per key, or per server without keys (default 4)")
    serve.add_argument("--grace", type=float, default=5.0, help="seconds streams in flight "
                       "get to finish after SIGTERM or Ctrl-C (default 5)")
    keys = sub.add_parser("keys", help="API keys of orx serve: add, list, remove")
    actions = keys.add_subparsers(dest="action", required=True)
    add = actions.add_parser("add", help="create a key, printed once on the last line")
    add.add_argument("keyfile")
    add.add_argument("name")
    add.add_argument("--dataset", action="append", help="a dataset the key may read (repeat "
                     "for several; default: all)")
    lst = actions.add_parser("list", help="name, id, creation time and datasets of each key")
    lst.add_argument("keyfile")
    rm = actions.add_parser("remove", help="remove a key")
    rm.add_argument("keyfile")
    rm.add_argument("name")
    get = sub.add_parser("get", help="download records from orx serve")
    get.add_argument("--url", help="the server (default: $ORX_URL)")
    get.add_argument("--key", help="API key (default: $ORX_API_KEY)")
    get.add_argument("--dataset", required=True)
    get.add_argument("--schema", required=True)
    get.add_argument("--symbols", help="comma-separated (default: every instrument)")
    get.add_argument("--stype", default="raw", help="raw (default) or continuous")
    get.add_argument("--start", required=True, help="ISO 8601 date or time (UTC unless an "
                     "offset is given) or nanoseconds")
    get.add_argument("--end", required=True, help="as --start; exclusive")
    get.add_argument("--limit", type=int, help="at most this many records")
    get.add_argument("-o", "--output", required=True, help="the file to write (.zst: zstd)")
    get.add_argument("--force", action="store_true", help="replace an existing output")
    get.add_argument("-q", "--quiet", action="store_true")


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
    _service_parsers(sub)
    return p


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    if args.command == "merge" and len(args.inputs) < 1:
        raise SystemExit("orx merge: give at least one input and an output")
    commands = {"info": _cmd_info, "head": _cmd_head, "convert": _cmd_convert, "merge": _cmd_merge,
                "serve": _cmd_serve, "keys": _cmd_keys, "get": _cmd_get}
    try:
        status = commands[args.command](args)
    except KeyboardInterrupt:
        print("orx: interrupted; no output written", file=sys.stderr)
        return 130
    except BrokenPipeError:
        return 141
    except (ImportError, OSError, ValueError, TypeError) as exc:
        print(f"orx: error: {exc}", file=sys.stderr)
        return 1
    return status or 0
