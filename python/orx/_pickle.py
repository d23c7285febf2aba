"""Pickling and copying of orx's classes.

Importing ``orx`` registers a reducer for each class with :mod:`copyreg`, so ``pickle``,
``copy.copy``, ``copy.deepcopy`` and process pools take these values as they are; the classes
of ``orx._lib`` themselves gain no members.

A pickle names one of the rebuilding functions below and gives it plain values, so its form is
independent of the objects' internals and these functions' names and parameters are a stable
format:

- a record, ``RecordHeader`` or ``BidAskPair``: its class and its whole memory (the encoded
  layout, padding and header included, even a header that was rewritten through ``hd``);
- an enumeration member: its class and stored value; it unpickles as the class attribute;
- ``SymbolMap``: its dict; ``Metadata``: schema and dataset codes, start, end and the dict;
- ``RetrieveParams``: its JSON text, which holds every field exactly;
- the back-test and live classes: their constructor arguments (nested values pickle the same
  way);
- ``BufferStore``: the stream it was opened on. The read position is not kept: the unpickled
  store starts again at the first record, whatever ``replay`` had consumed.

Extra attributes set on an instance travel with it, as the pickle's state.
"""

import copyreg

from . import _ext, _lib

_LAYOUTS = (_lib.RecordHeader, _lib.BidAskPair, _lib.Mbp1Msg, _lib.TradeMsg, _lib.BboMsg,
            _lib.OhlcvMsg)
_ENUMS = (_lib.Side, _lib.Vendors, _lib.Stype, _lib.Dataset, _lib.Action, _lib.Schema,
          _lib.RType)
_RESULTS = (_lib.BacktestData, _lib.BacktestMetaData, _lib.StaticStats, _lib.Parameters,
            _lib.TimeseriesStats, _lib.Trades, _lib.Signals, _lib.SignalInstructions,
            _lib.LiveData, _lib.AccountSummary)


def _parameters(cls):
    return tuple(p.strip().split("=")[0] for p in cls.__text_signature__.strip("()").split(","))


# Constructor parameters of the result classes: each is also the attribute of that name.
_FIELDS = {cls: _parameters(cls) for cls in _RESULTS}
# Members of each enumeration by stored value.
_MEMBERS = {
    cls: {int(m): m for m in vars(cls).values() if type(m) is cls} for cls in _ENUMS
}


def _reduction(rebuild, obj, *args):
    # Extra attributes go in the (dict, slot state) form of the state, which pickle and copy
    # apply with setattr (the records' `__dict__` is a method, so the plain dict form would
    # not do), after the object exists: an attribute may refer back to the object itself.
    attrs = _ext.extra_attributes(obj)
    return (rebuild, args) if attrs is None else (rebuild, args, (None, attrs))


def _checked(cls, allowed, what):
    if cls not in allowed:
        raise TypeError(f"{cls!r} is not {what}")
    return cls


# --- rebuilding functions (named by pickles: keep their names and parameters) ----------------


def layout(cls, data):
    """A record, RecordHeader or BidAskPair of class `cls` whose memory is `data`."""
    return _ext.from_layout_bytes(cls, data)


def member(cls, value):
    """The member of the enumeration `cls` whose stored value is `value`."""
    members = _MEMBERS[_checked(cls, _MEMBERS, "an orx enumeration")]
    try:
        return members[value]
    except (KeyError, TypeError):
        raise ValueError(f"{cls.__name__} has no member with value {value!r}") from None


def symbol_map(mapping):
    return _lib.SymbolMap(mapping)


def metadata(schema, dataset, start, end, mapping):
    return _lib.Metadata(member(_lib.Schema, schema), member(_lib.Dataset, dataset), start, end,
                         _lib.SymbolMap(mapping))


def retrieve_params(json_text):
    return _lib.RetrieveParams.from_json(json_text)


def result(cls, args):
    """A back-test or live value of class `cls` built from its constructor arguments."""
    fields = _FIELDS[_checked(cls, _FIELDS, "an orx back-test or live class")]
    if type(args) is not tuple or len(args) != len(fields):
        raise TypeError(f"{cls.__name__} takes a tuple of {len(fields)} arguments")
    return cls(*args)


def buffer_store(data):
    """A BufferStore over the stream `data`, positioned at its first record."""
    return _lib.BufferStore(data)


# --- reducers ----------------------------------------------------------------------------------


def _reduce_layout(obj):
    return _reduction(layout, obj, type(obj), _ext.layout_bytes(obj))


def _reduce_member(obj):
    return member, (type(obj), int(obj))


def _reduce_symbol_map(obj):
    return _reduction(symbol_map, obj, obj.map)


def _reduce_metadata(obj):
    return _reduction(metadata, obj, int(obj.schema), int(obj.dataset), obj.start, obj.end,
                      obj.mappings.map)


def _reduce_retrieve_params(obj):
    return _reduction(retrieve_params, obj, obj.to_json())


def _reduce_result(obj):
    cls = type(obj)
    return _reduction(result, obj, cls, tuple(getattr(obj, f) for f in _FIELDS[cls]))


def _reduce_buffer_store(obj):
    return buffer_store, (_ext.store_bytes(obj),)


def register():
    for cls in _LAYOUTS:
        copyreg.pickle(cls, _reduce_layout)
    for cls in _ENUMS:
        copyreg.pickle(cls, _reduce_member)
    for cls in _RESULTS:
        copyreg.pickle(cls, _reduce_result)
    copyreg.pickle(_lib.SymbolMap, _reduce_symbol_map)
    copyreg.pickle(_lib.Metadata, _reduce_metadata)
    copyreg.pickle(_lib.RetrieveParams, _reduce_retrieve_params)
    copyreg.pickle(_lib.BufferStore, _reduce_buffer_store)
