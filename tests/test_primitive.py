"""HcPrim: Python values into the factories and back out of get_value, the accessors' kind names, the
binding's own texts and error prefixes (value texts and decoding errors are pinned in the C++ suites)."""

import math

import pytest

from veltrac import HcPrim

H = bytes.fromhex


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Flt:
    def __float__(self):
        return 2.5


# factory, argument, encoding, get_value
FACTORIES = [
    ("boolean", True, "0201", True),
    ("boolean", False, "0200", False),
    ("integer", -(2**31), "1680000000", -(2**31)),
    ("integer", Idx(7), "1600000007", 7),
    ("long", 2**63 - 1, "177fffffffffffffff", 2**63 - 1),
    ("long", Idx(-2), "17fffffffffffffffe", -2),
    ("datetime", True, "030000000000000001", 1),
    ("number", 3, "014008000000000000", 3.0),
    ("number", Flt(), "014004000000000000", 2.5),
    ("number", Idx(4), "014010000000000000", 4.0),
    ("number", math.inf, "017ff0000000000000", math.inf),
    ("string", "", "0000", ""),
    ("string", "é\u200b", "0005c3a9e2808b", "é\u200b"),
    ("blob", b"\x01\x02\x03", "1580000003010203", b"\x01\x02\x03"),
    ("blob", bytearray(b"A\x00"), "15800000024100", b"A\x00"),
    ("blob", [1, 255], "158000000201ff", b"\x01\xff"),
    ("blob", (7,), "158000000107", b"\x07"),
    ("blob", b"", "1580000000", b""),
]


@pytest.mark.parametrize("factory,arg,enc,value", FACTORIES)
def test_factories(factory, arg, enc, value):
    p = getattr(HcPrim, factory)(arg)
    assert p.to_bytes() == H(enc)
    for got in (p.get_value(), HcPrim.from_bytes(p.to_bytes()).get_value()):
        assert type(got) is type(value) and got == value
    kind = factory.upper()
    assert (p.get_type(), p.get_inner_type(), p.get_full_type(), p.is_variant()) == (kind, kind, kind, False)
    assert repr(p) == f"HcPrim({p})"
    assert getattr(HcPrim, factory)(value=arg).to_bytes() == H(enc)


def test_nan_and_blob_json():
    p = HcPrim.number(math.nan)
    assert math.isnan(p.get_value()) and str(p) == "NUMBER(NUMBER, NaN)"
    assert HcPrim.blob([1, 2, 3]).to_json() == '"[1,2,3]"'


# encoding, get_type, get_full_type, get_value
DECODED = [
    ("ff", "NOTHING", "NOTHING", None),
    ("6403616263", "STRING", "STRING", "abc"),
    ("121600000005", "INTEGER", "VARIANT::INTEGER", 5),
    ("12121700000000000000" "07", "LONG", "VARIANT::VARIANT::LONG", 7),
    ("050000", "INFOTABLE", "INFOTABLE", "InfoTable(rows=0, fields=0)"),
    ("05000100011600000007" "00", "INFOTABLE", "INFOTABLE", "InfoTable(rows=1, fields=0)"),
]


@pytest.mark.parametrize("enc,kind,full,value", DECODED)
def test_decoded_accessors(enc, kind, full, value):
    p = HcPrim.from_bytes(H(enc) + b"\x00\x01")  # bytes after the value are ignored
    assert (p.get_type(), p.get_inner_type(), p.get_full_type(), p.get_value()) == (kind, kind, full, value)
    assert p.is_variant() is full.startswith("VARIANT::")


def test_unwrap_variant_one_level_into_an_independent_copy():
    p = HcPrim.from_bytes(H("12121600000005"))
    once = p.unwrap_variant()
    del p
    assert (once.get_full_type(), str(once.unwrap_variant())) == ("VARIANT::INTEGER", "INTEGER(INTEGER, 5)")
    for make in (lambda: HcPrim.string("x"), lambda: HcPrim.from_bytes(b""), HcPrim.infotable_empty):
        with pytest.raises(TypeError) as e:
            make().unwrap_variant()
        assert str(e.value) == "HcPrim is not a VARIANT type"


@pytest.mark.parametrize("enc", ["06" + "00" * 24, "12" "06" + "00" * 24])
def test_get_value_of_location(enc):
    with pytest.raises(TypeError) as e:
        HcPrim.from_bytes(H(enc)).get_value()
    assert str(e.value) == "Unsupported type for get_value"


def test_infotable_empty_is_named():
    p = HcPrim.infotable_empty()
    assert p.get_value() == "InfoTable(rows=0, fields=0)" and p.to_bytes() == H("050000")
    assert p.to_simple_json() == '{"dataShape":{"fieldDefinitions":{},"name":"EmptyDataShape"},"rows":[]}'


def test_error_prefixes():
    for data in (H("13"), H("0081"), b"\x12" * 5000):
        with pytest.raises(ValueError) as e:
            HcPrim.from_bytes(data)
        assert str(e.value).startswith("Binary deserialization error: ")
    # A table whose field carries the BOOLEAN aspect isPrimaryKey with a STRING value.
    p = HcPrim.from_bytes(H("05 01 0161 00 00 0001 0c") + b"isPrimaryKey" + H("000178" "00" "00"))
    with pytest.raises(ValueError) as e:
        p.to_json()
    assert str(e.value).startswith("JSON conversion error: ")
    assert p.to_simple_json().startswith('{"dataShape":')


def test_large_values_round_trip():
    text = "ü" * 100_000
    p = HcPrim.string(text)
    assert p.to_bytes()[:5] == b"\x00\x80\x03\x0d\x40"
    assert HcPrim.from_bytes(p.to_bytes()).get_value() == text
    ascii_text = "a" * 3_000_000  # longer than the kept scratch buffer
    assert HcPrim.from_bytes(HcPrim.string(ascii_text).to_bytes()).get_value() == ascii_text
    blob = bytes(range(256)) * 1000
    assert HcPrim.from_bytes(HcPrim.blob(blob).to_bytes()).get_value() == blob
    # Small values after a large one encode exactly.
    assert HcPrim.integer(5).to_bytes() == H("1600000005")
