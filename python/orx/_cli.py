"""The orx command line: ``orx info``, ``orx head``, ``orx convert`` and ``orx merge``; the
historical-data service's ``orx serve``, ``orx keys`` and ``orx get``; ``orx catalog upgrade``.

Outputs appear only when complete (a temporary file beside them is renamed at the end), so an
error or Ctrl-C never leaves a partial file; an existing output is replaced only with
``--force``. Work over a second reports progress on stderr: a bar on a terminal, a line every
few seconds otherwise. Every failure is one line on stderr and a non-zero exit status.
"""

from __future__ import annotations

import argparse
import datetime
import os
import sys

from ._convert import FORMATS, Input, Output, convert, format_of, run, stream_batches
from ._deps import require
from ._kinds import KINDS, kind_name
from ._lib import Metadata, SymbolMap
from ._progress import Progress
from ._reader import open as open_stream


class CliError(ValueError):
    """A failure the command line reports as one line, without a traceback."""


def _need(module: str, extra: str):
    try:
        return require(module, extra, "this")
    except ImportError as exc:
        raise CliError(str(exc)) from None


def refuse_existing(path: str, force: bool, inputs: list[str] | tuple[str, ...] = ()) -> None:
    """Refuses an output `path` that is one of `inputs`, or an existing file unless `force`
    (``--force``), as the zstd tool does; devices and pipes (``/dev/null``, a FIFO) are
    written to as they are."""
    if any(os.path.abspath(p) == os.path.abspath(path) for p in inputs):
        raise CliError("the output would replace " + ("the input" if len(inputs) == 1 else
                                                      "an input") + " while it is read")
    if not force and (os.path.isfile(path) or os.path.islink(path)):
        raise CliError(f"{path} already exists; pass --force to replace it")


# --- text -------------------------------------------------------------------------------

def _ts_text(ns: int) -> str:
    """A nanosecond timestamp as UTC text with every digit: 2026-12-07 14:30:00.000000001."""
    t = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=ns // 10**9)
    return f"{t:%Y-%m-%d %H:%M:%S}.{ns % 10**9:09d}"


def _px_text(n: int) -> str:
    """A fixed-point price (nine decimal places) as exact decimal text."""
    sign, n = ("-", -n) if n < 0 else ("", n)
    frac = f"{n % 10**9:09d}".rstrip("0") or "0"
    return f"{sign}{n // 10**9}.{frac}"


def _table(columns: dict[str, list[str]], rows: int, first: int = 0) -> str:
    """Columns of text right-aligned under their names, rows numbered from `first`."""
    index = [str(first + i) for i in range(rows)]
    cols = [("", index)] + list(columns.items())
    widths = [max([len(name)] + [len(v) for v in values]) for name, values in cols]
    lines = ["  ".join(name.rjust(w) for (name, _), w in zip(cols, widths))]
    for i in range(rows):
        lines.append("  ".join(values[i].rjust(w) for (_, values), w in zip(cols, widths)))
    return "\n".join(lines)


def _records_text(arr, symbols: dict[int, str]) -> dict[str, list[str]]:
    """Records (a structured array of one kind) as columns of text: times with nanoseconds,
    prices as exact decimals, action and side as their characters (a byte that is none as
    its hexadecimal value), the ticker last."""
    kind = KINDS[int(arr["rtype"][0])]
    out: dict[str, list[str]] = {}
    for name, _offset, _width, _signed, role in kind.columns:
        values = arr[name].tolist()
        if role in ("event_time", "time"):
            out[name] = [_ts_text(v) for v in values]
        elif role == "price":
            out[name] = [_px_text(v) for v in values]
        elif role == "letter":
            out[name] = [chr(v[0]) if v and 0x20 <= v[0] < 0x7F else f"0x{(v or b'\0')[0]:02x}"
                         for v in values]
        else:
            out[name] = [str(v) for v in values]
    out["symbol"] = [symbols.get(i, "") for i in arr["instrument_id"].tolist()]
    return out


# --- commands -----------------------------------------------------------------------------

def _describe(metadata: Metadata) -> list[str]:
    symbols = metadata.mappings.map
    shown = ", ".join(f"{i}: {t}" for i, t in sorted(symbols.items())[:12])
    more = f", ... ({len(symbols)} in all)" if len(symbols) > 12 else ""
    return [
        f"schema      {metadata.schema.name}",
        f"dataset     {metadata.dataset.name}",
        f"start       {_ts_text(metadata.start)} ({metadata.start})",
        f"end         {_ts_text(metadata.end)} ({metadata.end})",
        f"symbols     {{{shown}{more}}}",
    ]


def _arrays(batch, metadata: Metadata, ordered: bool = True):
    """The records of a batch as structured arrays of one kind each: in stream order (runs of
    one kind), or one array a kind when the order does not matter."""
    try:
        yield batch.to_numpy()
        return
    except ValueError:  # records of several kinds
        pass
    data, head = bytes(batch), bytes(metadata)
    runs: dict[int, list[bytes]] = {}
    start = at = 0
    while at < len(data):
        nxt = at + data[at] * 4
        if nxt >= len(data) or data[nxt + 1] != data[at + 1]:
            if ordered:
                yield open_stream(head + data[start:nxt]).to_numpy()
            else:
                runs.setdefault(data[at + 1], []).append(data[start:nxt])
            start = nxt
        at = nxt
    for pieces in runs.values():
        yield open_stream(head + b"".join(pieces)).to_numpy()


def _cmd_info(args) -> None:
    if os.path.isdir(args.file):
        return _catalog_info(args.file)
    import numpy as np

    source = Input(args.file, allow_truncated=args.allow_truncated)
    counts: dict[int, int] = {}
    lo, hi = None, None
    failure = None
    progress = Progress(f"info {args.file}", source.total)
    try:
        for piece in source.pieces():
            for batch in stream_batches(piece, source.metadata):
                for arr in _arrays(batch, source.metadata, ordered=False):
                    values, n = np.unique(arr["rtype"], return_counts=True)
                    for v, k in zip(values.tolist(), n.tolist()):
                        counts[v] = counts.get(v, 0) + k
                    ts = arr["ts_event"]
                    if len(ts):
                        lo = int(ts.min()) if lo is None else min(lo, int(ts.min()))
                        hi = int(ts.max()) if hi is None else max(hi, int(ts.max()))
            progress.update(source.done)
    except OSError as exc:  # damage after the metadata: what came before it is reported
        failure = exc
    progress.done()
    out = [f"file        {args.file}",
           f"size        {source.size:,} bytes",
           "format      " + {"stream": "record stream, uncompressed",
                             "zstd": "record stream, zstd-compressed",
                             "parquet": "Parquet", "csv": "CSV"}[source.format]]
    out += _describe(source.metadata)
    total = sum(counts.values())
    out.append(f"records     {total:,}" + (" before the damage" if failure else ""))
    for rtype, n in sorted(counts.items()):
        out.append(f"  {kind_name(rtype):10}{n:,}")
    if lo is not None:
        out.append(f"ts_event    {_ts_text(lo)} ({lo})")
        out.append(f"       to   {_ts_text(hi)} ({hi})")
    print("\n".join(out), flush=True)
    if failure is not None:
        hint = "" if args.allow_truncated else " (--allow-truncated reads the records before it)"
        raise CliError(f"{failure}{hint}")


def _catalog_info(path: str) -> None:
    from .catalog import Catalog

    catalog = Catalog(path)
    out = [f"catalog     {path}"]
    for dataset in catalog.datasets():
        for schema in catalog.schemas(dataset):
            files = catalog.files(dataset, schema)
            tickers = list(catalog.symbols(dataset, schema))
            days = sorted(f.day for f in files)
            span = f" ({days[0]} to {days[-1]})" if days else ""
            shown = ", ".join(tickers[:8]) + (", ..." if len(tickers) > 8 else "")
            out.append(f"{dataset.name} {schema.value}: {len(days)} days{span}, "
                       f"{sum(f.count for f in files):,} records, {len(tickers)} symbols"
                       + (f": {shown}" if tickers else ""))
            bounds = catalog.range(dataset, schema)
            if bounds is not None:
                out.append(f"  ts_event  {_ts_text(bounds[0])} to {_ts_text(bounds[1] - 1)}")
    if len(out) == 1:
        raise CliError(f"{path} is a directory, not a stream file or a catalog of day files")
    print("\n".join(out))


def _cmd_head(args) -> None:
    source = Input(args.file, batch_size=max(1, min(args.n, 65_536)),
                   allow_truncated=args.allow_truncated)
    symbols = source.metadata.mappings.map
    # One table per run of records of one kind (their columns differ), rows numbered on.
    columns: dict[str, list[str]] = {}
    have = first = 0

    def show() -> None:
        if columns:
            print(_table(columns, have - first, first))
            columns.clear()

    for piece in source.pieces():
        for batch in stream_batches(piece, source.metadata):
            for arr in _arrays(batch, source.metadata):
                arr = arr[:args.n - have]
                if not len(arr):
                    continue
                part = _records_text(arr, symbols)
                if columns and list(part) != list(columns):
                    show()
                    print()
                    first = have
                for name, values in part.items():
                    columns.setdefault(name, []).extend(values)
                have += len(arr)
            if have >= args.n:
                break
        if have >= args.n:
            break
    show()
    if not have:
        print("(no records)")


def _cmd_convert(args) -> None:
    refuse_existing(args.output, args.force, [args.input])
    n = convert(args.input, args.output, args.to, args.level, progress=True,
                allow_truncated=args.allow_truncated)
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
    from ._merge import UnsortedInput, merge, sort_merge, spill_directory

    refuse_existing(args.output, args.force, args.inputs)
    sources = [Input(p, allow_truncated=args.allow_truncated) for p in args.inputs]
    for s in sources:
        if s.reader is None:
            raise CliError(f"{s.path}: merge reads record streams (raw or zstd), not {s.format}")
    metadata = _united([s.metadata for s in sources], args.inputs)
    fmt = format_of(args.output, args.to)
    if fmt not in ("stream", "zstd"):
        raise CliError("merge writes a record stream (raw or zstd)")
    output = Output(args.output, fmt, metadata, args.level)
    total = sum(s.size for s in sources)
    # Sorting reads every record twice: from the inputs, then from the sorted runs.
    progress = Progress(f"merge -> {args.output}", 2 * total if args.sort else total)
    spilled = 0

    def read_back(n: int) -> None:
        nonlocal spilled
        spilled += n
        progress.update(total + min(spilled, total))

    def pieces(source):
        for batch in source.pieces():
            yield bytes(batch)
            progress.update(sum(s.done for s in sources))

    def emit(data: bytes, count: int) -> None:
        output.write_records(data, count)

    def work():
        feeds = [pieces(s) for s in sources]
        if args.sort:
            sort_merge(feeds, args.inputs, spill_directory(args.output), emit, read=read_back)
        else:
            try:
                merge(feeds, args.inputs, emit)
            except UnsortedInput as exc:
                raise CliError(f"{exc} (--sort sorts the inputs)") from None
        progress.done()

    run(output, work)
    if not args.quiet:
        print(f"{output.records:,} records merged into {args.output}", file=sys.stderr)


def _cmd_catalog(args) -> None:
    from .catalog import Catalog

    catalog = Catalog(args.root)
    pairs = [(d, s) for d in catalog.datasets() for s in catalog.schemas(d)]
    if not pairs:
        raise CliError(f"{args.root} holds no day files of a catalog")
    target = catalog.day_format if args.format is None else args.format
    lines = []
    for dataset, schema in pairs:
        where = f"{dataset.name}/{schema.value}"
        progress = Progress(f"upgrade {where}", None)

        def show(done: int, total: int, progress: Progress = progress) -> None:
            progress.total = total
            progress.update(done)

        try:
            n = catalog.upgrade(dataset, schema, day_format=target, progress=show)
        finally:
            progress.done()
        lines.append(f"{where}: {n} day{'' if n == 1 else 's'} upgraded to format {target}")
    print("\n".join(lines))


# --- arguments ----------------------------------------------------------------------------

class _Parser(argparse.ArgumentParser):
    """Argument errors as one line, pointing at the help."""

    def error(self, message: str):  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _count(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = -1
    if n < 0:
        raise argparse.ArgumentTypeError(f"a number of records, 0 or more, not {text!r}")
    return n


def _level(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"a whole number, not {text!r}") from None


def _add_common(p: argparse.ArgumentParser, *, writes: bool) -> None:
    p.add_argument("--allow-truncated", action="store_true",
                   help="read the whole records of a stream cut short (an interrupted write) "
                        "and stop quietly before the cut")
    if writes:
        p.add_argument("-f", "--force", action="store_true",
                       help="replace the output if it exists")
        p.add_argument("--level", type=_level, metavar="N",
                       help="zstd compression level (default 1; zstd output only)")
        p.add_argument("-q", "--quiet", action="store_true",
                       help="no summary line on stderr when done")


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

    refuse_existing(args.output, args.force)
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
    actions = keys.add_subparsers(dest="action", required=True, metavar="ACTION",
                                  help="add, list or remove")
    add = actions.add_parser("add", help="create a key, printed once on the last line")
    add.add_argument("keyfile", help="the key file orx serve --keys reads (made if missing)")
    add.add_argument("name", help="a name for the key, unique in the file")
    add.add_argument("--dataset", action="append", help="a dataset the key may read (repeat "
                     "for several; default: all)")
    lst = actions.add_parser("list", help="name, id, creation time and datasets of each key")
    lst.add_argument("keyfile", help="the key file")
    rm = actions.add_parser("remove", help="remove a key")
    rm.add_argument("keyfile", help="the key file")
    rm.add_argument("name", help="the key's name")
    get = sub.add_parser("get", help="download records from orx serve")
    get.add_argument("--url", help="the server (default: $ORX_URL)")
    get.add_argument("--key", help="API key (default: $ORX_API_KEY)")
    get.add_argument("--dataset", required=True, help="the dataset, by any of its names "
                     "(futures, FUTURES...)")
    get.add_argument("--schema", required=True, help="the schema, by any of its names (mbp-1, "
                     "trades, ohlcv-1m...)")
    get.add_argument("--symbols", help="comma-separated (default: every instrument)")
    get.add_argument("--stype", default="raw", help="raw (default) or continuous")
    get.add_argument("--start", required=True, help="ISO 8601 date or time (UTC unless an "
                     "offset is given) or nanoseconds")
    get.add_argument("--end", required=True, help="as --start; exclusive")
    get.add_argument("--limit", type=int, help="at most this many records")
    get.add_argument("-o", "--output", required=True, help="the file to write (.zst: zstd)")
    get.add_argument("--force", action="store_true", help="replace an existing output")
    get.add_argument("-q", "--quiet", action="store_true",
                     help="no summary line on stderr when done")


def _parser() -> argparse.ArgumentParser:
    from . import __version__

    p = _Parser(prog="orx", description="Record stream files: inspect, convert, merge; a "
                "catalog served over HTTP and fetched from. Formats are told by content: raw "
                "or zstd streams, and Parquet or CSV written by orx.")
    p.add_argument("--version", action="version", version=f"orx {__version__}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND",
                           parser_class=_Parser, help="what to do (orx COMMAND --help for "
                           "its arguments)")
    info = sub.add_parser("info", help="metadata, record counts, time range, size, format; "
                          "for a catalog directory its datasets, schemas, days and symbols",
                          description="Describes a stream file (raw, zstd, Parquet or CSV) or "
                          "a catalog directory.")
    info.add_argument("file", help="a stream file, or a catalog's root directory")
    _add_common(info, writes=False)
    head = sub.add_parser("head", help="the first records as a table",
                          description="Shows the first records with full-nanosecond times "
                          "and exact prices.")
    head.add_argument("file", help="a stream file (raw, zstd, Parquet or CSV)")
    head.add_argument("-n", type=_count, default=10, metavar="N",
                      help="how many records (default 10)")
    _add_common(head, writes=False)
    conv = sub.add_parser("convert", help="stream <-> zstd stream <-> Parquet <-> CSV",
                          description="Converts between formats, batch by batch; every way "
                          "round gives the same bytes back. CSV keeps the stream's metadata "
                          "in OUTPUT.orx-meta beside it.")
    conv.add_argument("input", help="a stream file (raw, zstd, Parquet or CSV)")
    conv.add_argument("output", help="the file to write")
    conv.add_argument("--to", choices=FORMATS, help="output format (default: by suffix: .zst "
                      "zstd, .parquet Parquet, .csv CSV, else a raw stream)")
    _add_common(conv, writes=True)
    merge = sub.add_parser("merge", help="streams of one schema merged by ts_event",
                           description="Merges streams of one schema and dataset, each sorted by "
                           "ts_event, by ts_event (ties keep input order), uniting their symbol "
                           "maps.")
    merge.add_argument("inputs", nargs="+", metavar="input", help="stream files (raw or zstd)")
    merge.add_argument("output", help="the stream file to write")
    merge.add_argument("--to", choices=("stream", "zstd"),
                       help="output format (default: zstd for .zst, else a raw stream)")
    merge.add_argument("--sort", action="store_true",
                       help="sort inputs that are not in ts_event order (in bounded memory: "
                       "sorted runs spilled to unnamed temporary files beside the output); "
                       "without it such an input is an error")
    _add_common(merge, writes=True)
    _service_parsers(sub)
    catalog = sub.add_parser("catalog", help="work on a catalog directory: upgrade",
                             description="Commands that change a catalog of day files.")
    actions = catalog.add_subparsers(dest="action", required=True, metavar="ACTION",
                                     help="upgrade")
    upgrade = actions.add_parser(
        "upgrade", help="rewrite every day file in the newest day-file format",
        description="Rewrites every day file that is not of the day-file format given (by "
        "default the newest, 2) into it, records and metadata as they are, a batch of days "
        "at a time, each all or nothing; an upgrade stopped and run again does the rest. "
        "Prints one line per dataset and schema.")
    upgrade.add_argument("root", help="the catalog's root directory (or an fsspec URL)")
    upgrade.add_argument("--format", type=int, metavar="N",
                         help="the day-file format to rewrite into: 2 (the default: columnar "
                              ".orxday) or 1 (plain streams, .orx.zst)")
    return p


def _one_line(exc: BaseException) -> str:
    text = " ".join(str(exc).split()) or type(exc).__name__
    if isinstance(exc, (OSError, ValueError, ImportError)):
        return text
    return f"{type(exc).__name__}: {text}"


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    commands = {"info": _cmd_info, "head": _cmd_head, "convert": _cmd_convert, "merge": _cmd_merge,
                "serve": _cmd_serve, "keys": _cmd_keys, "get": _cmd_get,
                "catalog": _cmd_catalog}
    try:
        status = commands[args.command](args)
    except KeyboardInterrupt:
        print("orx: interrupted; no output written", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of stdout went away (orx head | head -1): nothing more to say.
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return 141
    except Exception as exc:  # noqa: BLE001 - every failure is one line, never a traceback
        print(f"orx: error: {_one_line(exc)}", file=sys.stderr)
        return 1
    return status or 0
