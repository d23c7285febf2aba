"""Record streams to and from Parquet and CSV: the conversions of ``orx.convert`` and of the
command line, batch by batch.

Outputs appear only when complete (a temporary file beside them is renamed at the end), so an
error or Ctrl-C never leaves a partial file.
"""

from __future__ import annotations

import os

from ._deps import require
from ._kinds import METADATA_KEY, PARQUET_MAGIC, ZSTD_MAGIC
from ._lib import Metadata
from ._progress import Progress
from ._reader import Batch
from ._reader import open as open_stream
from ._writer import ReplacingFile, Writer, records_of

FORMATS = ("stream", "zstd", "parquet", "csv")
CSV_HEAD = "#orx.metadata="


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


def _sniff(path: str) -> str:
    """The format of an existing file, from its first bytes (stream and zstd alike read as a
    stream) or, for CSV, its suffix. Pipes are read once, as streams."""
    import stat

    if not stat.S_ISREG(os.stat(path).st_mode):
        return "stream"
    with open(path, "rb") as f:
        head = f.read(len(CSV_HEAD))
    if head[:4] == PARQUET_MAGIC:
        return "parquet"
    if head.decode("latin-1") == CSV_HEAD or path.lower().endswith(".csv"):
        return "csv"
    return "zstd" if head[:4] == ZSTD_MAGIC else "stream"


def _need(module: str, extra: str):
    return require(module, extra, "this")


class Input:
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
            if METADATA_KEY not in kv:
                raise ConversionError(f"{path}: a Parquet file without orx metadata")
            self.metadata = Metadata.decode(bytes.fromhex(kv[METADATA_KEY].decode()))
        elif self.format == "csv":
            with open(path, encoding="utf-8") as f:
                first = f.readline()
            if not first.startswith(CSV_HEAD):
                raise ConversionError(f"{path}: a CSV file without orx metadata on its first line")
            self.metadata = Metadata.decode(bytes.fromhex(first[len(CSV_HEAD):].strip()))
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


def _arrow_schema_of(metadata: Metadata):
    """The Arrow schema of a stream's records, with the metadata in its key-value metadata."""
    pa = _need("pyarrow", "parquet")
    table = pa.table(open_stream(bytes(metadata)))
    return table.schema.with_metadata({METADATA_KEY: bytes(metadata).hex().encode()})


# --- outputs ------------------------------------------------------------------------------

class Output:
    """Where records go, in one of the formats; complete at close(), absent after abort()."""

    def __init__(self, path: str, fmt: str, metadata: Metadata, level: int | None) -> None:
        self.fmt, self.metadata = fmt, metadata
        self.records = 0
        if fmt in ("stream", "zstd"):
            self.writer = Writer(path, metadata, "zstd" if fmt == "zstd" else None, level,
                                 price_type="fixed")
            return
        if level is not None:
            raise ConversionError("--level applies to zstd output only")
        self.file = ReplacingFile(path)
        if fmt == "parquet":
            pq = _need("pyarrow.parquet", "parquet")
            self.schema = _arrow_schema_of(metadata)
            self.parquet = pq.ParquetWriter(self.file.temp, self.schema)
        else:
            self.file.write((CSV_HEAD + bytes(metadata).hex() + "\n").encode())
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
        return stream_batches(piece, self.metadata)

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


def run(output: Output, work) -> None:
    try:
        work()
        output.close()
    except BaseException:
        output.abort()
        raise


def convert(input, output, to: str | None = None, level: int | None = None, *,
            progress: bool = False) -> int:
    """Converts the file ``input`` (a record stream, raw or zstd, Parquet or CSV written by orx)
    into ``output`` in the format ``to`` ("stream", "zstd", "parquet" or "csv"; by default
    chosen by the suffix of ``output``), batch by batch; returns the number of records. The
    output appears only when complete."""
    input, output = os.fspath(input), os.fspath(output)
    if to is not None and to not in FORMATS:
        raise ConversionError(f"to must be one of {', '.join(FORMATS)}, not {to!r}")
    source = Input(input)
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
