"""HcPrim: factories, binary form, JSON forms, accessors, text forms and argument errors."""

import datetime
import math

import pytest

from veltrac import HcPrim

H = bytes.fromhex

METHODS = [
    "boolean", "integer", "long", "number", "string", "datetime", "blob", "infotable_empty",
    "to_bytes", "from_bytes", "to_json", "to_simple_json", "get_type", "get_value", "is_variant",
    "unwrap_variant", "get_inner_type", "get_full_type",
]

EMPTY_TABLE_DEBUG = 'InfoTable { datashape: DataShape { name: Some("EmptyDataShape"), entries: {} }, rows: [] }'

# factory, argument, str, encoding, typed JSON, simple JSON, get_type, get_value
FACTORIES = [
    ("boolean", True, "BOOLEAN(BOOLEAN, true)", "0201", "true", "true", "BOOLEAN", True),
    ("boolean", False, "BOOLEAN(BOOLEAN, false)", "0200", "false", "false", "BOOLEAN", False),
    ("integer", -1, "INTEGER(INTEGER, -1)", "16ffffffff", "-1", "-1", "INTEGER", -1),
    ("integer", 2147483647, "INTEGER(INTEGER, 2147483647)", "167fffffff", "2147483647", "2147483647", "INTEGER",
     2147483647),
    ("integer", -2147483648, "INTEGER(INTEGER, -2147483648)", "1680000000", "-2147483648", "-2147483648",
     "INTEGER", -2147483648),
    ("long", 1, "LONG(LONG, 1)", "170000000000000001", "1", "1", "LONG", 1),
    ("long", -(2**63), "LONG(LONG, -9223372036854775808)", "178000000000000000", "-9223372036854775808",
     "-9223372036854775808", "LONG", -(2**63)),
    ("long", 2**63 - 1, "LONG(LONG, 9223372036854775807)", "177fffffffffffffff", "9223372036854775807",
     "9223372036854775807", "LONG", 2**63 - 1),
    ("number", 1.0, "NUMBER(NUMBER, 1.0)", "013ff0000000000000", "1.0", "1.0", "NUMBER", 1.0),
    ("number", 1.5, "NUMBER(NUMBER, 1.5)", "013ff8000000000000", "1.5", "1.5", "NUMBER", 1.5),
    ("number", 3, "NUMBER(NUMBER, 3.0)", "014008000000000000", "3.0", "3.0", "NUMBER", 3.0),
    ("number", 1e16, "NUMBER(NUMBER, 1e16)", "014341c37937e08000", "1e16", "1e16", "NUMBER", 1e16),
    ("number", math.inf, "NUMBER(NUMBER, inf)", "017ff0000000000000", "0.0", "0.0", "NUMBER", math.inf),
    ("string", "abc", 'STRING(STRING, "abc")', "0003616263", '"abc"', '"abc"', "STRING", "abc"),
    ("string", "", 'STRING(STRING, "")', "0000", '""', '""', "STRING", ""),
    ("string", 'a"b\\\t', 'STRING(STRING, "a\\"b\\\\\\t")', "0005612262" "5c09", '"a\\"b\\\\\\t"',
     '"a\\"b\\\\\\t"', "STRING", 'a"b\\\t'),
    ("string", "é\u200b", 'STRING(STRING, "é\\u{200b}")', "0005c3a9e2808b", '"é\u200b"', '"é\u200b"', "STRING",
     "é\u200b"),
    ("datetime", 5, "DATETIME(DATETIME, 5)", "030000000000000005", "5", "5", "DATETIME", 5),
    ("datetime", -1, "DATETIME(DATETIME, -1)", "03ffffffffffffffff", "-1", "-1", "DATETIME", -1),
    ("blob", b"\x01\x02\x03", 'BLOB(BLOB, b"\\x01\\x02\\x03")', "158000000301" "0203", '"[1,2,3]"', '"[1,2,3]"',
     "BLOB", b"\x01\x02\x03"),
    ("blob", bytearray(b"A\"\\\x00\n\xff"), 'BLOB(BLOB, b"A\\"\\\\\\0\\n\\xff")', "1580000006" "41225c000aff",
     '"[65,34,92,0,10,255]"', '"[65,34,92,0,10,255]"', "BLOB", b"A\"\\\x00\n\xff"),
    ("blob", [1, 255], 'BLOB(BLOB, b"\\x01\\xff")', "158000000201ff", '"[1,255]"', '"[1,255]"', "BLOB",
     b"\x01\xff"),
    ("blob", (7,), 'BLOB(BLOB, b"\\x07")', "158000000107", '"[7]"', '"[7]"', "BLOB", b"\x07"),
]


@pytest.mark.parametrize("factory,arg,text,enc,typed,simple,kind,value", FACTORIES)
def test_factories(factory, arg, text, enc, typed, simple, kind, value):
    p = getattr(HcPrim, factory)(arg)
    assert str(p) == text
    assert repr(p) == f"HcPrim({text})"
    assert p.to_bytes() == H(enc)
    assert p.to_json() == typed
    assert p.to_simple_json() == simple
    assert p.get_type() == p.get_inner_type() == p.get_full_type() == kind
    assert p.is_variant() is False
    got = p.get_value()
    assert type(got) is type(value) and got == value
    # Round trip through the binary form.
    back = HcPrim.from_bytes(p.to_bytes())
    assert str(back) == text
    assert back.to_bytes() == H(enc)


def test_number_nan_and_keyword_call():
    p = HcPrim.number(value=math.nan)
    assert str(p) == "NUMBER(NUMBER, NaN)"
    assert math.isnan(p.get_value())
    assert p.to_json() == "0.0"
    assert p.to_simple_json() == "0.0"
    assert str(HcPrim.number(-0.0)) == "NUMBER(NUMBER, -0.0)"


def test_infotable_empty():
    p = HcPrim.infotable_empty()
    assert p.get_type() == "INFOTABLE"
    assert p.get_value() == "InfoTable(rows=0, fields=0)"
    assert str(p) == f"INFOTABLE(INFOTABLE, {EMPTY_TABLE_DEBUG})"
    assert p.to_bytes() == H("050000")
    assert p.to_json() == '"{\\"datashape\\":{\\"name\\":\\"EmptyDataShape\\",\\"entries\\":{}},\\"rows\\":[]}"'
    assert p.to_simple_json() == '{"dataShape":{"fieldDefinitions":{},"name":"EmptyDataShape"},"rows":[]}'
    # The binary form carries no shape name.
    back = HcPrim.from_bytes(p.to_bytes())
    assert str(back) == "INFOTABLE(INFOTABLE, InfoTable { datashape: DataShape { name: None, entries: {} }, rows: [] })"
    assert back.get_value() == "InfoTable(rows=0, fields=0)"


# encoding, str, get_type, get_full_type, typed JSON, simple JSON
DECODED = [
    ("", "NOTHING(NOTHING)", "NOTHING", "NOTHING", "null", "null"),
    ("ff", "NOTHING(NOTHING)", "NOTHING", "NOTHING", "null", "null"),
    ("00", 'STRING(STRING, "")', "STRING", "STRING", '""', '""'),
    ("6403616263", 'STRING(THINGNAME, "abc")', "STRING", "STRING", '"abc"', '"abc"'),
    ("0a800000020102", 'BLOB(IMAGE, b"\\x01\\x02")', "BLOB", "BLOB", '"[1,2]"', '"[1,2]"'),
    ("0207", "BOOLEAN(BOOLEAN, true)", "BOOLEAN", "BOOLEAN", "true", "true"),
    ("06" "3ff0000000000000" "4000000000000000" "4008000000000000", "LOCATION(LOCATION, 1.0, 2.0, 3.0)",
     "LOCATION", "LOCATION", '{"elevation":3.0,"latitude":2.0,"longitude":1.0}',
     '{"elevation":3.0,"latitude":2.0,"longitude":1.0}'),
    ("121600000005", "VARIANT(VARIANT, INTEGER(INTEGER, 5))", "INTEGER", "VARIANT::INTEGER", "5", "5"),
    ("12121700000000000000" "07", "VARIANT(VARIANT, VARIANT(VARIANT, LONG(LONG, 7)))", "LONG",
     "VARIANT::VARIANT::LONG", "7", "7"),
    ("12", "VARIANT(VARIANT, NOTHING(NOTHING))", "NOTHING", "VARIANT::NOTHING", "null", "null"),
    ("05000100011600000007" "00", "INFOTABLE(INFOTABLE, InfoTable { datashape: DataShape { name: None, entries: {} }, "
     "rows: [InfoTableRow { fields: [INTEGER(INTEGER, 7)] }] })", "INFOTABLE", "INFOTABLE",
     '"{\\"datashape\\":{\\"name\\":null,\\"entries\\":{}},\\"rows\\":[{\\"fields\\":[{\\"INTEGER\\":[\\"INTEGER\\",7]}]}]}"',
     '{"dataShape":{"fieldDefinitions":{}},"rows":[{}]}'),
]


@pytest.mark.parametrize("enc,text,kind,full,typed,simple", DECODED)
def test_decoded_values(enc, text, kind, full, typed, simple):
    p = HcPrim.from_bytes(H(enc))
    assert str(p) == text
    assert p.get_type() == p.get_inner_type() == kind
    assert p.get_full_type() == full
    assert p.is_variant() is full.startswith("VARIANT::")
    assert p.to_json() == typed
    assert p.to_simple_json() == simple


def test_trailing_bytes_are_ignored():
    assert str(HcPrim.from_bytes(H("0201ffff"))) == "BOOLEAN(BOOLEAN, true)"


def test_variant_accessors():
    v = HcPrim.from_bytes(H("121600000005"))
    u = v.unwrap_variant()
    assert str(u) == "INTEGER(INTEGER, 5)"
    assert u.is_variant() is False
    assert v.get_value() == 5
    # The unwrapped value is an independent copy.
    del v
    assert u.get_value() == 5


def test_nested_variant_unwraps_one_level():
    p = HcPrim.from_bytes(H("12121600000005"))
    once = p.unwrap_variant()
    assert str(once) == "VARIANT(VARIANT, INTEGER(INTEGER, 5))"
    assert str(once.unwrap_variant()) == "INTEGER(INTEGER, 5)"
    assert p.get_value() == 5


@pytest.mark.parametrize("make", [lambda: HcPrim.string("x"), lambda: HcPrim.from_bytes(b""),
                                  HcPrim.infotable_empty])
def test_unwrap_non_variant(make):
    with pytest.raises(TypeError, match="^HcPrim is not a VARIANT type$"):
        make().unwrap_variant()


@pytest.mark.parametrize("enc", ["06" + "00" * 24, "12" "06" + "00" * 24])
def test_get_value_location(enc):
    with pytest.raises(TypeError, match="^Unsupported type for get_value$"):
        HcPrim.from_bytes(H(enc)).get_value()


def test_empty_blob_round_trips():
    p = HcPrim.blob(b"")
    assert str(p) == 'BLOB(BLOB, b"")'
    assert p.to_json() == '"[]"'
    back = HcPrim.from_bytes(p.to_bytes())
    assert back.get_value() == b""
    assert back.to_bytes() == p.to_bytes()


def test_get_value_of_blob_and_nothing():
    p = HcPrim.blob(b"ab")
    assert p.get_value() == b"ab"
    assert HcPrim.from_bytes(b"").get_value() is None


DECODE_ERRORS = [
    ("13", "Invalid Base Type: 19"),
    ("0400", "Unimplemented HC_VARIANT Family:Not implemented yet family type:HC_NULL"),
    ("1100", "Unimplemented HC_VARIANT Family:Not implemented yet family type:HC_NULL"),
    ("0561", None),  # table with a truncated entry
    ("0081", "Io Error: Stream to String failed: content too short, expecting 4 bytes but got less"),
    ("000561", "Io Error: Stream to String failed: content too short"),
    ("0002c328", "Io Error: Stream to String failed:invalid utf-8 sequence of 1 bytes from index 0"),
    ("160001", None),
    ("12" "13", "Invalid Base Type: 19"),
]


@pytest.mark.parametrize("enc,message", DECODE_ERRORS)
def test_decode_errors(enc, message):
    with pytest.raises(ValueError) as e:
        HcPrim.from_bytes(H(enc))
    text = str(e.value)
    assert text.startswith("Binary deserialization error: ")
    if message is not None:
        assert text == "Binary deserialization error: " + message


def test_deep_variant_chain_does_not_crash():
    data = b"\x12" * 200_000 + b"\x16\x00\x00\x00\x01"
    try:
        p = HcPrim.from_bytes(data)
    except ValueError as e:
        assert str(e).startswith("Binary deserialization error: ")
    else:
        assert p.get_value() == 1


def test_json_conversion_error_of_nested_table():
    # A table whose field carries the BOOLEAN aspect isPrimaryKey with a STRING value.
    table = H("01" "0161" "00" "00" "0001" "0c") + b"isPrimaryKey" + H("000178" "00" "00")
    p = HcPrim.from_bytes(b"\x05" + table)
    with pytest.raises(ValueError) as e:
        p.to_json()
    assert str(e.value) == (
        "JSON conversion error: Serde Json Error: Failed to convert from HcPrim to JsonValue:"
        'not a boolean, value: STRING(STRING, "x"),base_type:BOOLEAN'
    )
    # The simple form uses the values' own types and succeeds.
    assert p.to_simple_json() == (
        '{"dataShape":{"fieldDefinitions":{"a":{"aspects":{"isPrimaryKey":"x"},"baseType":"STRING",'
        '"description":"","name":"a","ordinal":0}}},"rows":[]}'
    )


ARG_ERRORS = [
    (lambda: HcPrim.boolean(1), TypeError, "argument 'value': 'int' object cannot be converted to 'PyBool'"),
    (lambda: HcPrim.boolean(None), TypeError, "argument 'value': 'NoneType' object cannot be converted to 'PyBool'"),
    (lambda: HcPrim.integer(2**31), OverflowError, "out of range integral type conversion attempted"),
    (lambda: HcPrim.integer(-(2**31) - 1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: HcPrim.integer(1.5), TypeError, "argument 'value': 'float' object cannot be interpreted as an integer"),
    (lambda: HcPrim.integer("1"), TypeError, "argument 'value': 'str' object cannot be interpreted as an integer"),
    (lambda: HcPrim.long(2**63), OverflowError, None),
    (lambda: HcPrim.integer(2**64), OverflowError, None),
    (lambda: HcPrim.number("1"), TypeError, "argument 'value': must be real number, not str"),
    (lambda: HcPrim.number(10**400), OverflowError, "int too large to convert to float"),
    (lambda: HcPrim.string(b"x"), TypeError, "argument 'value': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: HcPrim.string(1), TypeError, "argument 'value': 'int' object cannot be converted to 'PyString'"),
    (lambda: HcPrim.string("\ud800"), UnicodeEncodeError, None),
    (lambda: HcPrim.datetime(datetime.datetime(2024, 1, 1)), TypeError,
     "argument 'value': 'datetime.datetime' object cannot be interpreted as an integer"),
    (lambda: HcPrim.blob("abc"), TypeError, "argument 'value': Can't extract `str` to `Vec`"),
    (lambda: HcPrim.blob([256]), OverflowError, "out of range integral type conversion attempted"),
    (lambda: HcPrim.blob([-1]), OverflowError, "out of range integral type conversion attempted"),
    (lambda: HcPrim.blob(["a"]), TypeError, "argument 'value': 'str' object cannot be interpreted as an integer"),
    (lambda: HcPrim.blob(5), TypeError, "argument 'value': 'int' object cannot be converted to 'Sequence'"),
    (lambda: HcPrim.from_bytes(bytearray(b"\x02\x01")), TypeError,
     "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda: HcPrim.from_bytes("0201"), TypeError, "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
    (lambda: HcPrim.integer(), TypeError, "HcPrim.integer() missing 1 required positional argument: 'value'"),
    (lambda: HcPrim.integer(1, 2), TypeError, "HcPrim.integer() takes 1 positional arguments but 2 were given"),
    (lambda: HcPrim.integer(x=1), TypeError, "HcPrim.integer() got an unexpected keyword argument 'x'"),
    (lambda: HcPrim.integer(1, value=1), TypeError, "HcPrim.integer() got multiple values for argument 'value'"),
    (lambda: HcPrim.from_bytes(), TypeError, "HcPrim.from_bytes() missing 1 required positional argument: 'data'"),
    (lambda: HcPrim.string("a").to_bytes(1), TypeError, "HcPrim.to_bytes() takes no arguments (1 given)"),
    (lambda: HcPrim.infotable_empty(1), TypeError, "HcPrim.infotable_empty() takes no arguments (1 given)"),
    (lambda: HcPrim(), TypeError, "No constructor defined for HcPrim"),
]


@pytest.mark.parametrize("call,exc,message", ARG_ERRORS)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as e:
        call()
    if message is not None:
        assert str(e.value) == message


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Flt:
    def __float__(self):
        return 2.5


def test_protocol_conversions():
    assert str(HcPrim.integer(Idx(7))) == "INTEGER(INTEGER, 7)"
    assert str(HcPrim.long(Idx(-2))) == "LONG(LONG, -2)"
    assert str(HcPrim.datetime(True)) == "DATETIME(DATETIME, 1)"
    assert str(HcPrim.number(Flt())) == "NUMBER(NUMBER, 2.5)"
    assert str(HcPrim.number(Idx(4))) == "NUMBER(NUMBER, 4.0)"
    assert str(HcPrim.from_bytes(data=b"\x02\x00")) == "BOOLEAN(BOOLEAN, false)"


def test_exceptions_from_index_propagate_unchanged():
    class Bad:
        def __index__(self):
            raise KeyError("nope")

    with pytest.raises(KeyError):
        HcPrim.integer(Bad())


def test_class_surface():
    assert [k for k in vars(HcPrim) if not k.startswith("_")][:len(METHODS)] == METHODS
    assert HcPrim.__doc__ is None
    assert HcPrim.__module__ == "veltrac._native"
    for name in METHODS:
        m = getattr(HcPrim, name)
        assert m.__doc__ is None
    assert HcPrim.boolean.__text_signature__ == "(value)"
    assert HcPrim.from_bytes.__text_signature__ == "(data)"
    assert HcPrim.infotable_empty.__text_signature__ == "()"
    assert HcPrim.to_bytes.__text_signature__ == "($self)"
    assert HcPrim.get_full_type.__text_signature__ == "($self)"
    # Static methods are reachable through instances too.
    p = HcPrim.integer(1)
    assert str(p.long(2)) == "LONG(LONG, 2)"
    with pytest.raises(AttributeError):
        p.x = 1
    with pytest.raises(TypeError):
        type("Sub", (HcPrim,), {})


def test_large_values_round_trip():
    text = "ü" * 100_000
    p = HcPrim.string(text)
    enc = p.to_bytes()
    assert enc[:5] == b"\x00\x80\x03\x0d\x40"
    assert HcPrim.from_bytes(enc).get_value() == text
    blob = bytes(range(256)) * 1000
    assert HcPrim.from_bytes(HcPrim.blob(blob).to_bytes()).get_value() == blob
    # Small values after a large one encode exactly.
    assert HcPrim.integer(5).to_bytes() == H("1600000005")
