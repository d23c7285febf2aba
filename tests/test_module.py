import importlib
import sys

import pytest

import orx
from orx import _lib

from helpers import raises

# The module's classes in registration order.
REGISTRY = [
    "Side", "Vendors", "Stype", "Dataset", "Action", "Schema", "RType", "SymbolMap", "Metadata",
    "RecordHeader", "OhlcvMsg", "Mbp1Msg", "TradeMsg", "BboMsg", "BidAskPair", "RetrieveParams",
    "BufferStore", "RecordMsg", "BacktestData", "BacktestMetaData", "StaticStats", "Parameters",
    "TimeseriesStats", "Trades", "Signals", "SignalInstructions", "LiveData", "AccountSummary",
    "PyRecordEncoder", "PyMetadataEncoder", "PyBacktestEncoder",
]
NO_CONSTRUCTOR = ["Side", "Vendors", "Stype", "Dataset", "Action", "Schema", "RType",
                  "RecordHeader", "RecordMsg"]


def registered():
    return list(_lib.__all__)


def test_all_lists_classes_in_registry_order():
    assert registered() == REGISTRY


def test_module_surface():
    assert _lib.__doc__ == ""
    public = [n for n in dir(_lib) if not n.startswith("__")]
    assert sorted(public) == sorted(registered())  # classes only, no functions
    assert all(isinstance(getattr(_lib, n), type) for n in registered())


def test_import_twice_gives_same_module():
    again = importlib.import_module("orx._lib")
    assert again is _lib
    assert sys.modules["orx._lib"] is _lib


# What the package adds after the classes.
PACKAGE_NAMES = ["decode_backtest"]


def test_package_reexports_every_class():
    assert orx.__all__ == registered() + PACKAGE_NAMES
    for name in registered():
        assert getattr(orx, name) is getattr(_lib, name)


@pytest.mark.parametrize("name", REGISTRY)
def test_class_shape(name):
    cls = getattr(_lib, name)
    assert cls.__module__ == "orx"
    assert cls.__name__ == cls.__qualname__ == name
    assert repr(cls) == f"<class 'orx.{name}'>"
    assert cls.__bases__ == (object,)
    assert not hasattr(cls, "__weakrefoffset__") or cls.__weakrefoffset__ == 0
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
def test_no_constructor(name):
    raises(TypeError, f"No constructor defined for {name}", getattr(_lib, name))
    raises(TypeError, f"No constructor defined for {name}", getattr(_lib, name), 1, x=2)


def test_the_module_docstring_is_short_and_for_users():
    import re

    doc = orx.__doc__
    assert len(doc.splitlines()) <= 15
    # Maintainers' notes live in design.md, not in help(orx).
    for word in ("tests/", "_pickle", "_ext", "_lib", "type checkers", "star-import"):
        assert word not in doc, word
    # What it names exists.
    for name in re.findall(r"\borx\.(\w+)", doc):
        assert hasattr(orx, name), name
    for name in ("Mbp1Msg", "TradeMsg", "BboMsg", "OhlcvMsg", "Metadata", "BufferStore",
                 "decode_backtest", "RetrieveParams"):
        assert name in doc and hasattr(orx, name), name
