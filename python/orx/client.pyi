import os
from typing import Any, Literal, TypedDict

from ._lib import Dataset, RetrieveParams, Schema
from ._reader import Reader

__all__ = ["Client", "ClientError", "ServerError", "ServiceError"]

_Params = RetrieveParams | str | None
_Time = Any  # ISO 8601 text, date, datetime, pandas.Timestamp, numpy.datetime64 or int ns

class ServiceError(Exception):
    status: int
    detail: str
    def __init__(self, status: int, detail: str, url: str = "") -> None: ...

class ClientError(ServiceError): ...
class ServerError(ServiceError): ...

class Field(TypedDict):
    name: str
    type: str

class DatasetRange(TypedDict):
    start: str
    end: str
    start_ns: int
    end_ns: int

class Mapping(TypedDict):
    date: str
    instrument_id: int
    raw_symbol: str

class Resolution(TypedDict):
    mappings: dict[str, list[Mapping]]
    not_found: list[str]

class Metadata:
    def __init__(self, client: Client) -> None: ...
    def list_datasets(self) -> list[Dataset]: ...
    def list_schemas(self, dataset: Dataset | str) -> list[Schema]: ...
    def list_fields(self, schema: Schema | str) -> list[Field]: ...
    def get_dataset_range(
        self, dataset: Dataset | str, schema: Schema | str | None = None
    ) -> DatasetRange: ...
    def list_symbols(self, dataset: Dataset | str, schema: Schema | str) -> dict[str, list[str]]: ...
    def get_record_count(
        self,
        params: _Params = None,
        /,
        *,
        dataset: Dataset | str = ...,
        schema: Schema | str = ...,
        symbols: list[str] | str = ...,
        start: _Time = ...,
        end: _Time = ...,
        stype_in: str = ...,
    ) -> int: ...
    def get_billable_size(
        self,
        params: _Params = None,
        /,
        *,
        dataset: Dataset | str = ...,
        schema: Schema | str = ...,
        symbols: list[str] | str = ...,
        start: _Time = ...,
        end: _Time = ...,
        stype_in: str = ...,
    ) -> int: ...

class Symbology:
    def __init__(self, client: Client) -> None: ...
    def resolve(
        self,
        params: _Params = None,
        /,
        *,
        dataset: Dataset | str = ...,
        schema: Schema | str = ...,
        symbols: list[str] | str = ...,
        start: _Time = ...,
        end: _Time = ...,
        stype_in: str = ...,
    ) -> Resolution: ...

class Timeseries:
    def __init__(self, client: Client) -> None: ...
    def get_range(
        self,
        params: _Params = None,
        /,
        *,
        compression: Literal["zstd", "none"] | None = "zstd",
        limit: int | None = None,
        path: os.PathLike[str] | str | None = None,
        progress: bool | None = None,
        dataset: Dataset | str = ...,
        schema: Schema | str = ...,
        symbols: list[str] | str = ...,
        start: _Time = ...,
        end: _Time = ...,
        stype_in: str = ...,
    ) -> Reader: ...

class Client:
    url: str
    retries: int
    metadata: Metadata
    symbology: Symbology
    timeseries: Timeseries
    def __init__(
        self, url: str | None = None, key: str | None = None, *, timeout: float = 60.0,
        retries: int = 4
    ) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Client: ...
    def __exit__(self, *exc: object) -> None: ...
