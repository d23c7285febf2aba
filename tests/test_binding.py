"""The binding toolkit, exercised through the _bindtest module's Probe and Inner classes."""

import gc

import numpy as np
import pytest

from helpers import assert_no_leak, raises

bt = pytest.importorskip("_bindtest")
Probe, Inner, Side = bt.Probe, bt.Inner, bt.Side

LIMITS = [
    ("i64", -(2**63), 2**63 - 1),
    ("u64", 0, 2**64 - 1),
    ("i8", -128, 127),
    ("u8", 0, 255),
    ("i16", -(2**15), 2**15 - 1),
    ("u16", 0, 2**16 - 1),
    ("i32", -(2**31), 2**31 - 1),
    ("u32", 0, 2**32 - 1),
]


@pytest.mark.parametrize("field,lo,hi", LIMITS, ids=[x[0] for x in LIMITS])
def test_integer_widths(field, lo, hi):
    p = Probe()
    for v in (lo, hi, 0):
        setattr(p, field, v)
        assert getattr(p, field) == v and type(getattr(p, field)) is int
    for bad in (lo - 1, hi + 1):
        with pytest.raises(OverflowError):
            setattr(p, field, bad)
        assert getattr(p, field) == 0  # unchanged
    raises(TypeError, f"argument '{field}': 'str' object cannot be interpreted as an integer",
           setattr, p, field, "1")
    raises(TypeError, f"argument '{field}': 'float' object cannot be interpreted as an integer",
           setattr, p, field, 1.0)


@pytest.mark.parametrize("field", ["i8", "u8", "i16", "u16", "i32", "u32"])
def test_narrow_integer_messages(field):
    p = Probe()
    raises(OverflowError, "out of range integral type conversion attempted", setattr, p, field,
           2**40)


def test_unsigned_64_messages():
    p = Probe()
    raises(OverflowError, "can't convert negative int to unsigned", setattr, p, "u64", -1)
    raises(OverflowError, "int too big to convert", setattr, p, "u64", 2**64)


def test_integers_accept_index_objects_and_bools():
    class Idx:
        def __index__(self):
            return 42

    p = Probe()
    for field in ("i64", "u64", "u8", "i32"):
        setattr(p, field, Idx())
        assert getattr(p, field) == 42
        setattr(p, field, True)
        assert getattr(p, field) == 1
    p.u32 = np.uint32(7)
    assert p.u32 == 7


def test_type_error_cause_is_kept_and_other_errors_pass_unchanged():
    class Bad:
        def __init__(self, exc):
            self.exc = exc

        def __index__(self):
            raise self.exc

    p = Probe()
    cause = KeyError("k")
    err = TypeError("no index")
    err.__cause__ = cause
    e = raises(TypeError, "argument 'i64': no index", setattr, p, "i64", Bad(err))
    assert e.__cause__ is cause
    raises(ValueError, "nope", setattr, p, "i64", Bad(ValueError("nope")))

    class MyTypeError(TypeError):
        pass

    raises(MyTypeError, "mine", setattr, p, "i64", Bad(MyTypeError("mine")))


def test_bool_conversion():
    p = Probe()
    p.flag = True
    assert p.flag is True
    p.flag = np.bool_(False)
    assert p.flag is False
    p.flag = np.True_
    assert p.flag is True
    raises(TypeError, "argument 'flag': 'int' object cannot be converted to 'PyBool'",
           setattr, p, "flag", 1)
    raises(TypeError, "argument 'flag': 'NoneType' object cannot be converted to 'PyBool'",
           setattr, p, "flag", None)


def test_text_conversion():
    p = Probe()
    p.text = "héllo \U0001F600"
    assert p.text == "héllo \U0001F600"

    class S(str):
        pass

    p.text = S("sub")
    assert type(p.text) is str and p.text == "sub"
    raises(TypeError, "argument 'text': 'bytes' object cannot be converted to 'PyString'",
           setattr, p, "text", b"x")
    with pytest.raises(UnicodeEncodeError):
        p.text = "\ud800"
    assert p.text == "sub"


def test_list_conversion():
    p = Probe()
    p.texts = ["a", "b"]
    assert p.texts == ["a", "b"]
    p.texts = ("c",)
    assert p.texts == ["c"]
    p.texts = []
    assert p.texts == []

    class Seq:
        def __len__(self):
            return 10**12  # a hostile length must not size any allocation

        def __getitem__(self, i):
            if i < 2:
                return str(i)
            raise IndexError

    p.texts = Seq()
    assert p.texts == ["0", "1"]
    raises(TypeError, "argument 'texts': Can't extract `str` to `Vec`", setattr, p, "texts", "ab")
    raises(TypeError, "argument 'texts': 'set' object cannot be converted to 'Sequence'",
           setattr, p, "texts", {"a"})
    raises(TypeError, "argument 'texts': 'generator' object cannot be converted to 'Sequence'",
           setattr, p, "texts", (x for x in "a"))
    raises(TypeError, "argument 'texts': 'int' object cannot be converted to 'Sequence'",
           setattr, p, "texts", 3)
    raises(TypeError, "argument 'texts': 'int' object cannot be converted to 'PyString'",
           setattr, p, "texts", ["a", 1])
    raises(TypeError, "argument 'texts': 'int' object cannot be converted to 'PyString'",
           setattr, p, "texts", b"ab")
    assert p.texts == ["0", "1"]


def test_list_that_changes_while_converting():
    victim = []

    class Clears:
        def __index__(self):
            victim.clear()  # runs while the list is being read
            return 7

    victim.extend([1, Clears(), 3, 4])
    p = Probe()
    p.nums = victim
    assert p.nums == [1, 7]
    got = p.nums
    got.append(9)
    assert p.nums == [1, 7]  # a copy went out


def test_map_conversion():
    p = Probe()
    p.map = {1: "a", 2**32 - 1: "b"}
    assert p.map == {1: "a", 2**32 - 1: "b"}
    raises(TypeError, "argument 'map': 'list' object cannot be converted to 'PyDict'",
           setattr, p, "map", [(1, "a")])
    raises(OverflowError, "out of range integral type conversion attempted",
           setattr, p, "map", {2**32: "x"})
    raises(TypeError, "argument 'map': 'int' object cannot be converted to 'PyString'",
           setattr, p, "map", {1: 2})
    assert p.map == {1: "a", 2**32 - 1: "b"}


def test_optional_conversion():
    p = Probe()
    assert p.maybe is None
    p.maybe = 65535
    assert p.maybe == 65535
    p.maybe = None
    assert p.maybe is None
    raises(OverflowError, "out of range integral type conversion attempted", setattr, p, "maybe",
           65536)


def test_class_and_member_conversion():
    p = Probe()
    p.side = Side.BID
    assert p.side == Side.BID and p.side is not Side.BID
    raises(TypeError, "argument 'side': 'int' object cannot be converted to 'Side'",
           setattr, p, "side", 66)
    inner = Inner(3, "x")
    p.inner = inner
    inner.a = 99  # the probe holds a copy
    assert p.inner.a == 3
    got = p.inner
    got.a = 5
    assert p.inner.a == 3 and p.inner_a == 3
    raises(TypeError, "argument 'inner': 'Probe' object cannot be converted to 'Inner'",
           setattr, p, "inner", Probe())
    p.inners = [Inner(1, "a"), Inner(2, "b")]
    assert [i.a for i in p.inners] == [1, 2]
    raises(TypeError, "argument 'inners': 'int' object cannot be converted to 'Inner'",
           setattr, p, "inners", [Inner(1, "a"), 2])


def test_byte_view_and_vector_of_members():
    p = Probe()
    assert p.length(b"abc") == 3
    assert p.length(data=b"") == 0
    raises(TypeError, "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'",
           p.length, bytearray(b"x"))
    raises(TypeError, "argument 'data': 'str' object cannot be converted to 'PyBytes'",
           p.length, "x")
    assert p.sides([Side.ASK, Side.BID]) == [Side.ASK, Side.BID]


def test_access_modes():
    p = Probe(4)
    assert p.doubled == 8.0
    raises(AttributeError, "attribute 'doubled' of 'orx.Probe' objects is not writable",
           setattr, p, "doubled", 1)
    raises(AttributeError, "can't delete attribute", delattr, p, "doubled")
    raises(AttributeError, "can't delete attribute", delattr, p, "i64")
    p.secret = 7
    assert p.peek == 7
    raises(AttributeError, "attribute 'secret' of 'orx.Probe' objects is not readable",
           getattr, p, "secret")
    assert p.i64 == 4
    assert Probe.i64.__doc__ == "signed 64" and Probe.u64.__doc__ is None


def test_binding_messages():
    p = Probe()
    raises(TypeError, "Probe.many() missing 1 required positional argument: 'c'", p.many, 1, True)
    raises(TypeError, "Probe.many() missing 2 required positional arguments: 'a' and 'c'",
           p.many, b=True)
    raises(TypeError, "Probe.many() missing 3 required positional arguments: 'a', 'b' and 'c'",
           p.many)
    raises(TypeError, "Probe.many() takes from 3 to 4 positional arguments but 5 were given",
           p.many, 1, 2, 3, 4, 5)
    raises(TypeError, "Probe.twice() takes 1 positional arguments but 2 were given",
           Probe.twice, 1, 2)
    raises(TypeError, "Probe.length() takes 1 positional arguments but 2 were given",
           p.length, b"", b"")
    raises(TypeError, "Probe.__new__() takes from 0 to 2 positional arguments but 3 were given",
           Probe, 1, 2, 3)
    raises(TypeError, "Inner.__new__() takes 2 positional arguments but 3 were given",
           Inner, 1, "a", 3)
    raises(TypeError, "Inner.__new__() missing 1 required positional argument: 's'", Inner, 1)
    raises(TypeError, "Inner.__new__() got multiple values for argument 'a'", Inner, 1, a=2)
    raises(TypeError, "Inner.__new__() got an unexpected keyword argument 'b'", Inner, b=2)
    raises(TypeError, "Probe.many() got an unexpected keyword argument 'e'", p.many, 1, e=2)
    raises(TypeError, "argument 'b': 'int' object cannot be converted to 'PyBool'",
           p.many, 1, 1, "x")
    assert p.many(1, True, "x") == (1, True, "x", None)
    assert p.many(c="z", b=False, a=2, d=9) == (2, False, "z", 9)
    # tuple/dict path of the constructor
    assert Inner.__new__(Inner, 1, s="x").s == "x"
    raises(TypeError, "Inner.__new__() got an unexpected keyword argument 'q'",
           Inner.__new__, Inner, 1, "x", q=1)
    assert Probe.twice(x=21) == 42
    assert type(Probe.make()) is Probe


def test_signatures_and_docs():
    assert Probe.__text_signature__ == "(i64=None, text=None)"
    assert Probe.__doc__ == "A probe of the binding toolkit."
    assert Inner.__text_signature__ == "(a, s)"
    assert Inner.__doc__ == ""
    assert Probe.many.__text_signature__ == "($self, a, b, c, d=None)"
    assert Probe.call_shared.__doc__ == "Calls fn under a shared hold"
    assert Probe.twice.__text_signature__ == "(x)"
    assert Probe.make.__text_signature__ == "($cls)"


def test_dict_method_and_extras():
    p = Probe(1, "t")
    p.inners = [Inner(2, "b")]
    p.extra = [1]
    d = p.to_dict()
    assert list(d) == ["i64", "text", "inner", "inners", "maybe", "side"]
    assert d["inner"] == {"a": 0, "s": ""} and d["inners"] == [{"a": 2, "s": "b"}]
    assert "extra" not in d
    assert p.__dict__ == {"extra": [1]}


def test_borrow_rules():
    p = Probe(1)
    raises(RuntimeError, "Already borrowed", p.call_shared, lambda: setattr(p, "i64", 2))
    raises(RuntimeError, "Already mutably borrowed", p.call_exclusive, lambda: p.i64)
    raises(RuntimeError, "Already borrowed", p.call_exclusive, lambda: setattr(p, "i64", 2))
    assert p.call_shared(lambda: p.i64) == 1  # shared holds nest
    assert p.i64 == 1
    # the holds are released after a failure
    p.i64 = 3
    assert p.i64 == 3


def test_borrowed_argument_is_held_not_copied():
    p = Probe()
    inner = Inner(5, "s")
    assert p.with_inner(inner, lambda: None) == 5
    assert p.with_inner(fn=lambda: inner.a, inner=inner) == 5  # reading while lent is fine
    raises(RuntimeError, "Already borrowed", p.with_inner, inner, lambda: setattr(inner, "a", 6))
    raises(TypeError, "argument 'inner': 'Probe' object cannot be converted to 'Inner'",
           p.with_inner, p, lambda: None)
    inner.a = 7  # the hold ended with the call, failed or not
    assert inner.a == 7


def test_internal_failures():
    p = Probe()
    e = raises(bt.InternalError, "boom", p.boom)
    assert bt.InternalError.__mro__[1] is BaseException
    assert not isinstance(e, Exception)
    raises(SystemError, "attempted to fetch exception but none was set", p.silent_failure)


def test_gc_tracking_follows_the_instance_dict():
    p = Probe()
    assert not gc.is_tracked(p)
    p.i64 = 5
    p.texts = ["x"]
    assert not gc.is_tracked(p)  # fields hold no Python references
    p.me = p  # a cycle through the instance dict
    assert gc.is_tracked(p)
    q = Probe()
    q.__dict__  # handing out the dict may let references in
    assert gc.is_tracked(q)
    import weakref

    class Marker:
        pass

    m = Marker()
    r = weakref.ref(m)
    p.m = m
    del p, m
    gc.collect()
    assert r() is None  # the cycle was collected


def test_no_leaks():
    inner = Inner(1, "x")

    def work():
        p = Probe(1, "t")
        p.texts = ["a", "b"]
        p.map = {1: "a"}
        p.inner = inner
        p.inners = [inner, inner]
        p.to_dict()
        p.many(1, True, "c", 4)
        p.with_inner(inner, int)
        try:
            p.u8 = 300
        except OverflowError:
            pass
        try:
            p.texts = ["a", 1]
        except TypeError:
            pass
        p.extra = p  # a cycle, collected by gc

    assert_no_leak(work)
