"""Record streams to and from Parquet and CSV: the conversions of ``orx.convert`` and of the
command line, batch by batch, and the stream of records an orx Parquet or CSV file holds, for
``orx.open``.

Outputs appear only when complete (a temporary file beside them is renamed at the end), so an
error or Ctrl-C never leaves a partial file.
"""

from __future__ import annotations

import json
import os
import stat

from ._deps import require
from ._kinds import (CSV_METADATA_LINE, CSV_SIDECAR, DAY_FILE_MAGIC, LOOK_SIZE, METADATA_KEY,
                     PARQUET_MAGIC, is_zstd, looks_like)
from ._lib import Metadata
from ._progress import Progress
from ._reader import Batch
from ._reader import open as open_stream
from ._writer import RecordBytes, ReplacingFile, Writer, records_of

FORMATS = ("stream", "zstd", "parquet", "csv")


class ConversionError(ValueError):
    """A conversion that cannot be made (the command line reports it as one line)."""


def format_of(path: str, given: str | None) -> str:
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


def sidecar_of(path: str) -> str:
    """Where the metadata of the CSV file `path` lives."""
    return path + CSV_SIDECAR


def sniff(path: str) -> str:
    """The format of an existing file from its first bytes: Parquet, CSV (text, named .csv or
    with its metadata beside it) or a stream (raw or zstd, whatever the name says). Pipes are
    read once, as streams."""
    if not stat.S_ISREG(os.stat(path).st_mode):
        return "stream"
    with open(path, "rb") as f:
        head = f.read(LOOK_SIZE)
    if head[:4] == PARQUET_MAGIC:
        return "parquet"
    if is_zstd(head):
        return "zstd"
    if looks_like(head) in ("CSV text", "text") and (
            path.lower().endswith(".csv") or os.path.exists(sidecar_of(path))
            or head.startswith(CSV_METADATA_LINE.encode())):
        return "csv"
    return "stream"


def _is_day_file(path: str) -> bool:
    """Whether `path` is a regular file that starts as a catalog's day file of format 2."""
    if not stat.S_ISREG(os.stat(path).st_mode):
        return False
    with open(path, "rb") as f:
        return f.read(len(DAY_FILE_MAGIC)) == DAY_FILE_MAGIC


def _need(module: str, extra: str, what: str = "this"):
    return require(module, extra, what)


def _csv_metadata(path: str) -> tuple[Metadata, bool]:
    """The metadata of an orx CSV file, and whether it is on the file's first line (the older
    form) rather than beside it."""
    side = sidecar_of(path)
    try:
        with open(side, "rb") as f:
            text = f.read(1 << 20)
    except FileNotFoundError:
        with open(path, encoding="utf-8", errors="replace") as f:
            first = f.readline()
        if first.startswith(CSV_METADATA_LINE):
            return _metadata_from_hex(first[len(CSV_METADATA_LINE):].strip(), path), True
        raise ConversionError(f"{path}: a CSV file without orx metadata (no {side} beside it)")
    try:
        doc = json.loads(text)
        meta, size = doc["metadata"], doc["csv_bytes"]
        if not isinstance(meta, str) or type(size) is not int:
            raise TypeError
    except (ValueError, KeyError, TypeError):
        raise ConversionError(f"{side}: not the metadata of an orx CSV file") from None
    actual = os.path.getsize(path)
    if actual != size:
        raise ConversionError(f"{side} was written with a CSV file of {size:,} bytes, but {path} "
                              f"has {actual:,}: they are not from the same conversion")
    return _metadata_from_hex(meta, side), False


def _metadata_from_hex(text: str, where: str) -> Metadata:
    try:
        return Metadata.decode(bytes.fromhex(text))
    except (ValueError, OSError) as exc:
        raise ConversionError(f"{where}: its orx metadata does not decode: {exc}") from None


class Input:
    """An input file of any format: its metadata and its records as pieces the writer takes
    (batches, Arrow record batches or DataFrames), with the bytes read so far."""

    def __init__(self, path: str, batch_size: int = 65_536, allow_truncated: bool = False) -> None:
        self.path, self.batch_size = path, batch_size
        self.format = sniff(path)
        self.size = os.path.getsize(path)
        self.reader = None
        if self.format == "parquet":
            pq = _need("pyarrow.parquet", "parquet", f"reading {path}")
            self.parquet = pq.ParquetFile(path)
            kv = self.parquet.schema_arrow.metadata or {}
            if METADATA_KEY not in kv:
                raise ConversionError(f"{path}: a Parquet file without orx metadata")
            self.metadata = _metadata_from_hex(kv[METADATA_KEY].decode(), path)
        elif self.format == "csv":
            self.pd = _need("pandas", "dataframe", f"reading {path}")
            self.metadata, self.marked = _csv_metadata(path)
        else:
            source: object = path
            # The stream a catalog's day file holds: how far its reader is goes by its bytes.
            self.stream_size: int | None = None
            if self.format == "stream" and _is_day_file(path):
                from .catalog._day_format import day_file_stream

                source = day_file_stream(path)
                self.stream_size = len(source.getbuffer())
            self.reader = open_stream(source, batch_size=batch_size,
                                      allow_truncated=allow_truncated)
            self.metadata = self.reader.metadata
        self.done = 0

    @property
    def total(self) -> int | None:
        # A compressed stream's size (or a CSV file's) says nothing of how far its records go;
        # a day file's records are counted in the stream they make.
        if self.reader is not None and self.stream_size is not None:
            return self.stream_size
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
            with open(self.path, encoding="utf-8", newline="") as f:
                if self.marked:
                    f.readline()
                for df in self.pd.read_csv(f, chunksize=self.batch_size, keep_default_na=False,
                                      dtype={"action": str, "side": str, "symbol": str}):
                    self.done += len(df) * 100  # a rough size of a CSV row
                    yield df


def stream_batches(piece, metadata: Metadata):
    """Stream batches of any piece: the writer's packing makes its records, which then take
    the one path to Arrow and pandas that stream batches have."""
    if isinstance(piece, Batch):
        yield piece
        return
    head = bytes(metadata)
    for chunk, count in records_of(piece, metadata, "fixed"):
        if count:
            yield next(open_stream(head + chunk, batch_size=count).batches())


class _ConvertedStream:
    """A binary file object whose bytes are the record stream an orx Parquet or CSV file
    holds: its metadata, then its records, packed batch by batch as they are read."""

    def __init__(self, path: str, batch_size: int) -> None:
        self._input = Input(path, batch_size)
        self.form = {"parquet": "Parquet", "csv": "CSV"}.get(self._input.format, "a stream")
        self._pieces = self._input.pieces()
        self._data = bytes(self._input.metadata)
        self._at = 0

    def read(self, n: int = -1) -> bytes:
        while self._at >= len(self._data):
            piece = next(self._pieces, None)
            if piece is None:
                return b""
            self._data = b"".join(c for c, _ in records_of(piece, self._input.metadata, "fixed"))
            self._at = 0
        end = len(self._data) if n < 0 else self._at + n
        out = self._data[self._at:end]
        self._at += len(out)
        return out


def converted_stream(path: str, batch_size: int = 65_536) -> _ConvertedStream:
    """The record stream of the orx Parquet or CSV file `path`, as a binary file object."""
    return _ConvertedStream(path, batch_size)


def _arrow_schema_of(metadata: Metadata):
    """The Arrow schema of a stream's records, with the metadata in its key-value metadata."""
    pa = _need("pyarrow", "parquet")
    table = pa.table(open_stream(bytes(metadata)))
    return table.schema.with_metadata({METADATA_KEY: bytes(metadata).hex().encode()})


# --- CSV text -----------------------------------------------------------------------------

_LETTERS: list[str] = [chr(b) for b in range(256)]


def _csv_frame(pd, arr, symbols: dict[int, str]):
    """The frame records (a structured array of one kind) are written to CSV as: the columns
    of ``to_pandas()`` (every field in layout order, then the ticker, empty for an unmapped
    id), with every byte value of action and side as the character of that code point, and
    timestamps as unsigned nanoseconds."""
    import numpy as np

    columns = {}
    for name in arr.dtype.names:
        values = arr[name]
        if values.dtype.kind == "S":  # action, side
            columns[name] = np.asarray(_LETTERS, dtype=object)[values.view(np.uint8)]
        else:
            columns[name] = values
    ids = arr["instrument_id"].tolist()
    columns["symbol"] = np.asarray([symbols.get(i, "") for i in ids], dtype=object)
    return pd.DataFrame(columns, copy=False)


# --- outputs ------------------------------------------------------------------------------

class Output:
    """Where records go, in one of the formats; complete at close(), absent after abort()."""

    def __init__(self, path: str, fmt: str, metadata: Metadata, level: int | None) -> None:
        self.fmt, self.metadata = fmt, metadata
        self.records = 0
        self.path = path
        if level is not None and fmt != "zstd":
            raise ConversionError("--level applies to zstd output only")
        if fmt in ("stream", "zstd"):
            self.writer = Writer(path, metadata, "zstd" if fmt == "zstd" else None, level,
                                 price_type="fixed")
            return
        if fmt == "parquet":
            pq = _need("pyarrow.parquet", "parquet", f"writing {path}")
            self.schema = _arrow_schema_of(metadata)
            self.file = ReplacingFile(path)
            self.parquet = pq.ParquetWriter(self.file.temp, self.schema)
        else:
            self.pd = _need("pandas", "dataframe", f"writing {path}")
            self.symbols = metadata.mappings.map
            self.file = ReplacingFile(path)
            self.size = 0
            self.header = True

    def write(self, piece) -> None:
        if self.fmt in ("stream", "zstd"):
            before = self.writer.records
            self.writer.write(piece)
            self.records += self.writer.records - before
            return
        for batch in stream_batches(piece, self.metadata):
            if self.fmt == "parquet":
                pa = _need("pyarrow", "parquet")
                self.parquet.write_batch(pa.record_batch(batch))
            else:
                try:
                    df = _csv_frame(self.pd, batch.to_numpy(), self.symbols)
                except ValueError:  # records of several kinds: their columns united
                    df = batch.to_pandas()
                self._text(df)
            self.records += len(batch)

    def write_records(self, data: bytes, count: int) -> None:
        """Appends `count` records given as their stream bytes (stream outputs)."""
        self.writer.write(RecordBytes(data, count))
        self.records += count

    def _text(self, df) -> None:
        text = df.to_csv(index=False, header=self.header, lineterminator="\n").encode()
        self.file.write(text)
        self.size += len(text)
        self.header = False

    def close(self) -> None:
        if self.fmt in ("stream", "zstd"):
            self.writer.close()
            return
        if self.fmt == "parquet":
            self.parquet.close()
        else:
            if self.header:  # no records: the header row alone
                empty = open_stream(bytes(self.metadata)).to_numpy()
                self._text(_csv_frame(self.pd, empty, self.symbols))
            # The metadata lands first: a reader that finds the new CSV finds its metadata.
            side = ReplacingFile(sidecar_of(self.path))
            try:
                doc = {"metadata": bytes(self.metadata).hex(), "csv_bytes": self.size}
                side.write(json.dumps(doc).encode() + b"\n")
                side.commit()
            except BaseException:
                side.discard()
                raise
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


def run(output: Output, work) -> None:
    try:
        work()
        output.close()
    except BaseException:
        output.abort()
        raise


def convert(input, output, to: str | None = None, level: int | None = None, *,
            progress: bool = False, allow_truncated: bool = False) -> int:
    """Converts the file ``input`` (a record stream, raw or zstd, Parquet or CSV written by orx)
    into ``output`` in the format ``to`` ("stream", "zstd", "parquet" or "csv"; by default
    chosen by the suffix of ``output``), batch by batch; returns the number of records. The
    output appears only when complete. CSV output keeps the stream's metadata beside it, in
    ``output`` + ".orx-meta"."""
    input, output = os.fspath(input), os.fspath(output)
    if to is not None and to not in FORMATS:
        raise ConversionError(f"to must be one of {', '.join(FORMATS)}, not {to!r}")
    source = Input(input, allow_truncated=allow_truncated)
    fmt = format_of(output, to)
    if os.path.abspath(input) == os.path.abspath(output):
        raise ConversionError("the output would replace the input while it is read")
    out = Output(output, fmt, source.metadata, level)
    shown = Progress(f"convert {input} -> {output}", source.total) if progress else None

    def work():
        for piece in source.pieces():
            out.write(piece)
            if shown:
                shown.update(source.done)
        if shown:
            shown.done()

    run(out, work)
    return out.records
