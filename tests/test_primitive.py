"""HcPrim and the value conversions of the binding: Python values into the factories and into table rows (one
set of converters, with and without the argument prefix; tables and random values), codec values back out
through get_value and to_python, the accessors, the error prefixes, and arbitrary bytes into every decoder
raising ValueError only (value texts are pinned in the C++ suites, the codec's round trips fuzzed in fuzz/)."""

import datetime
import math
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from veltrac import HcPrim, HcyEvent, HcyMessage, HcyProperty, HcyService, InfoTable

settings.register_profile("veltrac", max_examples=150, deadline=None, derandomize=os.environ.get("CI") == "true",
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.load_profile("veltrac")
H = bytes.fromhex


class Idx:
    def __init__(self, v, hook=None):
        self.v, self.hook = v, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.v


class Flt(Idx):
    def __float__(self):
        return float(self.__index__())


# kind (factory and field type), Python value, the value read back
CONVERSIONS = [
    ("STRING", "é\u2028", "é\u2028"),
    ("NUMBER", 3, 3.0),
    ("NUMBER", Flt(2), 2.0),
    ("NUMBER", Idx(4), 4.0),
    ("BOOLEAN", False, False),
    ("DATETIME", True, 1),
    ("DATETIME", Idx(9), 9),
    ("INTEGER", -(2**31), -(2**31)),
    ("INTEGER", Idx(7), 7),
    ("LONG", Idx(-2), -2),
]


def table(*fields, name=None):
    """A table of fields (name, base type[, description])."""
    t = InfoTable(name)
    for field_name, base_type, *description in fields:
        t.add_field_definition(field_name, base_type, "".join(description))
    return t


def no_argument_methods(cls):
    """The public methods of a class that take no arguments."""
    return [name for name, m in vars(cls).items()
            if getattr(m, "__text_signature__", None) == "($self)" and not name.startswith("_")]


@pytest.mark.parametrize("kind,value,back", CONVERSIONS)
def test_factories_and_rows_convert_alike(kind, value, back):
    p = getattr(HcPrim, kind.lower())(value=value)
    t = table(("f", kind))
    t.add_row({"f": value})
    assert (p.get_type(), p.get_inner_type(), p.get_full_type(), p.is_variant()) == (kind, kind, kind, False)
    assert t.get_cell(0, "f").to_bytes() == p.to_bytes() and repr(p) == f"HcPrim({p})"
    for got in (p.get_value(), p.to_python(), HcPrim.from_bytes(p.to_bytes()).get_value(), t.get_row(0)["f"]):
        assert type(got) is type(back) and got == back


# kind, Python value, exception, text (None: the interpreter's own); factories prefix their TypeErrors with the
# argument
CONVERSION_ERRORS = [
    ("STRING", b"kg", TypeError, "'bytes' object cannot be converted to 'PyString'"),
    ("STRING", "a\ud800", UnicodeEncodeError, None),
    ("BOOLEAN", 1, TypeError, "'int' object cannot be converted to 'PyBool'"),
    ("INTEGER", 2**31, OverflowError, "out of range integral type conversion attempted"),
    ("INTEGER", 2**64, OverflowError, None),
    ("INTEGER", 1.5, TypeError, "'float' object cannot be interpreted as an integer"),
    ("INTEGER", Idx(0, lambda: {}["from __index__"]), KeyError, None),  # exceptions from __index__ pass unchanged
    ("LONG", 2**63, OverflowError, None),
    ("DATETIME", datetime.datetime(2024, 1, 1), TypeError,
     "'datetime.datetime' object cannot be interpreted as an integer"),
    ("NUMBER", "x", TypeError, "must be real number, not str"),
    ("NUMBER", 10**400, OverflowError, "int too large to convert to float"),
]


@pytest.mark.parametrize("kind,value,exc,text", CONVERSION_ERRORS)
def test_conversion_errors_leave_the_table_unchanged(kind, value, exc, text):
    t = table(("g", "STRING"), ("f", kind))
    for call, prefix in ((lambda: getattr(HcPrim, kind.lower())(value), "argument 'value': "),
                         (lambda: t.add_row({"g": "y", "f": value}), "")):
        with pytest.raises(exc) as e:
            call()
        prefix = prefix if exc is TypeError else ""
        assert type(e.value) is exc and (text is None or str(e.value) == prefix + text)
    assert (t.get_row_count(), t.to_bytes()) == (0, table(("g", "STRING"), ("f", kind)).to_bytes())


@pytest.mark.parametrize("value", [b"\x01\xff", bytearray(b"\x01\xff"), [1, 255], (1, 255)])
def test_blob_takes_bytes_and_sequences_of_ints(value):
    p = HcPrim.blob(value)
    assert p.get_value() == p.to_python() == b"\x01\xff" and p.to_bytes() == H("158000000201ff")


i32, i64 = st.integers(-(2**31), 2**31 - 1), st.integers(-(2**63), 2**63 - 1)
VALUES = {"boolean": st.booleans(), "integer": i32, "long": i64, "datetime": i64, "number": st.floats(),
          "string": st.text(), "blob": st.binary()}


@pytest.mark.parametrize("factory", sorted(VALUES))
@given(data=st.data())
def test_factory_values_round_trip(factory, data):
    v = data.draw(VALUES[factory])
    back = HcPrim.from_bytes(getattr(HcPrim, factory)(v).to_bytes()).get_value()
    assert (type(back) is type(v) and back == v) or (math.isnan(v) and math.isnan(back))


@given(st.lists(st.tuples(st.text(max_size=8), st.sampled_from(sorted(set(VALUES) - {"blob"}))), max_size=5,
                unique_by=lambda f: f[0]), st.data())
def test_rows_hold_what_the_factories_make(fields, data):
    t, expected = table(*fields), table(*[(name, kind.upper()) for name, kind in fields])
    for _ in range(data.draw(st.integers(0, 3))):
        row = {name: data.draw(VALUES[kind]) for name, kind in fields}
        t.add_row(dict(row, _unrelated_key=object()))
        expected.append_row([getattr(HcPrim, kind)(row[name]) for name, kind in fields])
    assert t.to_bytes() == expected.to_bytes()


@pytest.mark.parametrize("decode", [HcPrim.from_bytes, InfoTable.from_bytes, HcyMessage.from_bytes,
                                    HcyProperty.from_bytes, HcyService.from_bytes, HcyEvent.from_bytes],
                         ids=lambda f: f.__qualname__)
@given(st.binary(max_size=200))
def test_random_bytes_raise_value_error_only(decode, data):
    try:
        decode(data)
    except ValueError:
        pass


# encoding, get_type, get_full_type, get_value, to_python
DECODED = [
    ("ff", "NOTHING", "NOTHING", None, None),
    ("6403616263", "STRING", "STRING", "abc", "abc"),
    ("121600000005", "INTEGER", "VARIANT::INTEGER", 5, 5),
    ("12121700000000000000" "07", "LONG", "VARIANT::VARIANT::LONG", 7, 7),
    ("05 01 0161 00 16 0000 00" "01 0001 1600000007 00", "INFOTABLE", "INFOTABLE", "InfoTable(rows=1, fields=1)",
     [{"a": 7}]),
    ("12 06 3ff8000000000000 4004000000000000 0000000000000000", "LOCATION", "VARIANT::LOCATION", TypeError,
     {"latitude": 2.5, "longitude": 1.5, "elevation": 0.0}),
]


@pytest.mark.parametrize("enc,kind,full,value,python", DECODED)
def test_decoded_accessors(enc, kind, full, value, python):
    p = HcPrim.from_bytes(H(enc) + b"\x00\x01")  # bytes after the value are ignored
    assert (p.get_type(), p.get_inner_type(), p.get_full_type()) == (kind, kind, full)
    assert p.is_variant() is full.startswith("VARIANT::")
    if value is TypeError:
        with pytest.raises(TypeError, match="^Unsupported type for get_value$"):
            p.get_value()
    else:
        assert p.get_value() == value
    got = p.to_python()
    assert (got.get_rows() if isinstance(got, InfoTable) else got) == python  # a table as an InfoTable of its own


def test_made_values():
    assert HcPrim.location(longitude=-3.0, latitude=4.0, elevation=5).to_python() == {
        "latitude": 4.0, "longitude": -3.0, "elevation": 5.0}
    assert HcPrim.variant(HcPrim.variant(HcPrim.integer(7))).to_python() == 7
    assert HcPrim.from_json('{"INTEGER":["INTEGER",5]}').to_bytes() == HcPrim.integer(5).to_bytes()
    p = HcPrim.infotable_empty()
    assert p.get_value() == "InfoTable(rows=0, fields=0)" and p.to_bytes() == H("050000")


def test_unwrap_variant_one_level_into_an_independent_copy():
    p = HcPrim.from_bytes(H("12121600000005"))
    once = p.unwrap_variant()
    del p
    assert (once.get_full_type(), once.unwrap_variant().get_full_type()) == ("VARIANT::INTEGER", "INTEGER")
    for p in (HcPrim.string("x"), HcPrim.from_bytes(b""), HcPrim.infotable_empty()):
        with pytest.raises(TypeError, match="^HcPrim is not a VARIANT type$"):
            p.unwrap_variant()


def test_error_prefixes():
    with pytest.raises(ValueError, match="^Binary deserialization error: "):
        HcPrim.from_bytes(H("13"))
    with pytest.raises(ValueError, match="^HcPrim JSON deserialization error: "):
        HcPrim.from_json('{"INTEGER":["LONG",5]}')
    # A table whose field carries the BOOLEAN aspect isPrimaryKey with a STRING value.
    p = HcPrim.from_bytes(H("05 01 0161 00 00 0001 0c") + b"isPrimaryKey" + H("000178" "00" "00"))
    with pytest.raises(ValueError, match="^JSON conversion error: "):
        p.to_json()


def test_large_values_round_trip():
    # Beyond the kept scratch buffer, and then a small value after the large ones.
    for value in ("ü" * 100_000, "a" * 3_000_000, bytes(range(256)) * 1000):
        p = HcPrim.string(value) if isinstance(value, str) else HcPrim.blob(value)
        assert HcPrim.from_bytes(p.to_bytes()).get_value() == value
    assert HcPrim.integer(5).to_bytes() == H("1600000005")
