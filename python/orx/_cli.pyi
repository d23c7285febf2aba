import os
from typing import Literal

_Path = str | os.PathLike[str]

FORMATS: tuple[str, ...]

class CliError(ValueError):
    """A failure the command line reports as one line, without a traceback."""

def convert(
    input: _Path,
    output: _Path,
    to: Literal["stream", "zstd", "parquet", "csv"] | None = None,
    level: int | None = None,
    *,
    progress: bool = False,
    allow_truncated: bool = False,
) -> int: ...
def refuse_existing(
    path: str, force: bool, inputs: list[str] | tuple[str, ...] = ()
) -> None: ...
def main(argv: list[str] | None = None) -> int: ...
