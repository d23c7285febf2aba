import os
from typing import Any, Literal

from ._lib import Metadata

_Path = str | os.PathLike[str]
_Compression = Literal["zstd"] | None
_PriceType = Literal["fixed", "float"]

class Writer:
    def __init__(
        self,
        path: _Path,
        metadata: Metadata | None = None,
        compression: _Compression = None,
        level: int | None = None,
        *,
        price_type: _PriceType = "float",
    ) -> None: ...
    @property
    def metadata(self) -> Metadata | None: ...
    @property
    def records(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def write(self, data: Any) -> None: ...
    def close(self) -> None: ...
    def abort(self) -> None: ...
    def __enter__(self) -> Writer: ...
    def __exit__(self, exc_type: object, exc: object, tb: object) -> None: ...
    def __del__(self) -> None: ...

def write(
    path: _Path,
    data: Any,
    metadata: Metadata | None = None,
    compression: _Compression = None,
    level: int | None = None,
    *,
    price_type: _PriceType = "float",
) -> int: ...
