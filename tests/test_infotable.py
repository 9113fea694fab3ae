"""InfoTable: construction, field definitions, rows from Python values, binary and JSON forms, borrow
errors on re-entry, and failed calls leaving the table unchanged."""

import collections
import datetime
import json
import math
import sys

import pytest

from veltrac import InfoTable

H = bytes.fromhex

METHODS = [
    "from_bytes", "to_bytes", "get_row_count", "get_field_count", "get_datashape_name", "to_json",
    "to_simple_json", "add_field_definition", "add_row",
]


def snapshot(t):
    return (t.get_row_count(), t.get_field_count(), t.get_datashape_name(), t.to_bytes(), t.to_json(), repr(t))


def units_table():
    t = InfoTable()
    t.add_field_definition("units", "STRING", "")
    t.add_field_definition("id", "integer", "")
    t.add_row({"units": "kg", "id": 7, "extra": object()})
    return t


UNITS_BYTES = H("01 05 756e697473 00 00 0000" "01 02 6964 00 16 0000" "00" "01 0002 00 02 6b67 16 00000007" "00")


def test_new_table_text_forms():
    t = InfoTable()
    assert str(t) == "InfoTable(rows=0, fields=0)"
    assert repr(t) == "InfoTable(rows=0, fields=0, name=None)"
    assert t.get_datashape_name() is None
    assert t.to_bytes() == H("0000")
    assert t.to_json() == '{"datashape":{"name":null,"entries":{}},"rows":[]}'
    assert t.to_simple_json() == '{"dataShape":{"fieldDefinitions":{}},"rows":[]}'


@pytest.mark.parametrize(
    "args,kwargs,name,rep",
    [
        ((), {}, None, "None"),
        ((None,), {}, None, "None"),
        (("Sensors",), {}, "Sensors", 'Some("Sensors")'),
        ((), {"name": 'a"b\n'}, 'a"b\n', 'Some("a\\"b\\n")'),
        ((), {"name": ""}, "", 'Some("")'),
    ],
)
def test_constructor_names(args, kwargs, name, rep):
    t = InfoTable(*args, **kwargs)
    assert t.get_datashape_name() == name
    assert repr(t) == f"InfoTable(rows=0, fields=0, name={rep})"


def test_named_table_json_forms():
    t = InfoTable("S")
    assert t.to_json() == '{"datashape":{"name":"S","entries":{}},"rows":[]}'
    assert t.to_simple_json() == '{"dataShape":{"fieldDefinitions":{},"name":"S"},"rows":[]}'


def test_build_encode_and_json():
    t = units_table()
    assert str(t) == "InfoTable(rows=1, fields=2)"
    assert t.to_bytes() == UNITS_BYTES
    assert t.to_json() == (
        '{"datashape":{"name":null,"entries":{'
        '"units":{"name":"units","description":"","baseType":"STRING","aspects":{}},'
        '"id":{"name":"id","description":"","baseType":"INTEGER","aspects":{}}}},'
        '"rows":[{"fields":[{"STRING":["STRING","kg"]},{"INTEGER":["INTEGER",7]}]}]}'
    )
    assert t.to_simple_json() == (
        '{"dataShape":{"fieldDefinitions":{'
        '"id":{"aspects":{},"baseType":"INTEGER","description":"","name":"id","ordinal":1},'
        '"units":{"aspects":{},"baseType":"STRING","description":"","name":"units","ordinal":0}}},'
        '"rows":[{"id":7,"units":"kg"}]}'
    )


def test_round_trip_drops_shape_name():
    t = InfoTable("Named")
    t.add_field_definition("units", "STRING", "")
    t.add_field_definition("id", "INTEGER", "")
    for i in range(300):
        t.add_row({"units": f"u{i}", "id": i})
    back = InfoTable.from_bytes(t.to_bytes())
    assert (back.get_row_count(), back.get_field_count()) == (300, 2)
    assert back.get_datashape_name() is None
    assert back.to_bytes() == t.to_bytes()
    assert InfoTable.from_bytes(data=UNITS_BYTES).to_json() == units_table().to_json()


# field base type, Python value, tagged JSON of the stored value
CONVERSIONS = [
    ("STRING", "kg", '{"STRING":["STRING","kg"]}'),
    ("STRING", "é\u2028", '{"STRING":["STRING","é\u2028"]}'),
    ("STRING", "", '{"STRING":["STRING",""]}'),
    ("NUMBER", 2, '{"NUMBER":["NUMBER",2.0]}'),
    ("NUMBER", 0.5, '{"NUMBER":["NUMBER",0.5]}'),
    ("NUMBER", True, '{"NUMBER":["NUMBER",1.0]}'),
    ("NUMBER", math.nan, '{"NUMBER":["NUMBER",null]}'),
    ("BOOLEAN", True, '{"BOOLEAN":["BOOLEAN",true]}'),
    ("BOOLEAN", False, '{"BOOLEAN":["BOOLEAN",false]}'),
    ("DATETIME", 1700000000000, '{"DATETIME":["DATETIME",1700000000000]}'),
    ("DATETIME", -1, '{"DATETIME":["DATETIME",-1]}'),
    ("INTEGER", -(2**31), '{"INTEGER":["INTEGER",-2147483648]}'),
    ("INTEGER", 2**31 - 1, '{"INTEGER":["INTEGER",2147483647]}'),
    ("INTEGER", True, '{"INTEGER":["INTEGER",1]}'),
    ("LONG", 2**63 - 1, '{"LONG":["LONG",9223372036854775807]}'),
    ("LONG", -(2**63), '{"LONG":["LONG",-9223372036854775808]}'),
]


def rows_json(t):
    return t.to_json().split('"rows":', 1)[1]


@pytest.mark.parametrize("base_type,value,tagged", CONVERSIONS)
def test_add_row_conversions(base_type, value, tagged):
    t = InfoTable()
    t.add_field_definition("f", base_type, "")
    t.add_row({"f": value})
    assert rows_json(t) == '[{"fields":[' + tagged + "]}]}"


class Idx:
    def __init__(self, v, hook=None):
        self.v, self.hook = v, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.v


class Flt:
    def __init__(self, v, hook=None):
        self.v, self.hook = v, hook

    def __float__(self):
        if self.hook:
            self.hook()
        return self.v


@pytest.mark.parametrize(
    "base_type,value,tagged",
    [
        ("INTEGER", Idx(7), '{"INTEGER":["INTEGER",7]}'),
        ("LONG", Idx(-3), '{"LONG":["LONG",-3]}'),
        ("DATETIME", Idx(9), '{"DATETIME":["DATETIME",9]}'),
        ("NUMBER", Flt(2.5), '{"NUMBER":["NUMBER",2.5]}'),
        ("NUMBER", Idx(3), '{"NUMBER":["NUMBER",3.0]}'),
    ],
)
def test_add_row_protocol_conversions(base_type, value, tagged):
    test_add_row_conversions(base_type, value, tagged)


# field base type, Python value, exception, message (None: the interpreter's own text)
ROW_ERRORS = [
    ("STRING", 1, TypeError, "'int' object cannot be converted to 'PyString'"),
    ("STRING", b"kg", TypeError, "'bytes' object cannot be converted to 'PyString'"),
    ("STRING", "\ud800", UnicodeEncodeError, None),
    ("BOOLEAN", 1, TypeError, "'int' object cannot be converted to 'PyBool'"),
    ("BOOLEAN", None, TypeError, "'NoneType' object cannot be converted to 'PyBool'"),
    ("INTEGER", 2**31, OverflowError, "out of range integral type conversion attempted"),
    ("INTEGER", -(2**31) - 1, OverflowError, "out of range integral type conversion attempted"),
    ("INTEGER", 2**64, OverflowError, None),
    ("INTEGER", "1", TypeError, "'str' object cannot be interpreted as an integer"),
    ("INTEGER", 1.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("LONG", 2**63, OverflowError, None),
    ("DATETIME", datetime.datetime(2024, 1, 1), TypeError,
     "'datetime.datetime' object cannot be interpreted as an integer"),
    ("NUMBER", "x", TypeError, "must be real number, not str"),
    ("NUMBER", 10**400, OverflowError, "int too large to convert to float"),
    ("BLOB", b"x", ValueError, "Unsupported field type for field f: BLOB"),
    ("LOCATION", 1, ValueError, "Unsupported field type for field f: LOCATION"),
    ("INFOTABLE", None, ValueError, "Unsupported field type for field f: INFOTABLE"),
    ("VARIANT", 1, ValueError, "Unsupported field type for field f: VARIANT"),
]


@pytest.mark.parametrize("base_type,value,exc,message", ROW_ERRORS)
def test_add_row_errors_leave_table_unchanged(base_type, value, exc, message):
    t = InfoTable()
    t.add_field_definition("f", base_type, "")
    t.add_field_definition("g", "STRING", "")
    if base_type in ("STRING", "INTEGER"):
        t.add_row({"f": "a" if base_type == "STRING" else 1, "g": "x"})
    before = snapshot(t)
    with pytest.raises(exc) as e:
        t.add_row({"f": value, "g": "y"})
    if message is not None:
        assert str(e.value) == message
    assert snapshot(t) == before


def test_missing_field_comes_before_type_checks():
    t = InfoTable()
    t.add_field_definition("a", "STRING", "")
    t.add_field_definition("b", "INTEGER", "")
    t.add_field_definition("c", "BLOB", "")
    before = snapshot(t)
    for row, message in [
        ({}, "Missing field: a"),
        ({"a": "x"}, "Missing field: b"),
        ({"a": "x", "b": 1}, "Missing field: c"),
    ]:
        with pytest.raises(ValueError) as e:
            t.add_row(row)
        assert str(e.value) == message
    # Fields are converted in shape order: a bad value for a is reported before the missing b.
    with pytest.raises(TypeError, match="PyString"):
        t.add_row({"a": 1})
    with pytest.raises(ValueError, match="^Unsupported field type for field c: BLOB$"):
        t.add_row({"a": "x", "b": 1, "c": b""})
    assert snapshot(t) == before


def test_table_without_fields_takes_empty_rows():
    t = InfoTable()
    t.add_row({})
    t.add_row({"ignored": 1})
    assert t.get_row_count() == 2
    assert t.to_bytes() == H("00 01 0000 01 0000 00")
    assert t.to_simple_json() == '{"dataShape":{"fieldDefinitions":{}},"rows":[{},{}]}'


@pytest.mark.parametrize("spelling", ["number", "Number", "NUMBER", "nUmBeR"])
def test_field_type_any_case(spelling):
    t = InfoTable()
    t.add_field_definition("n", spelling, "desc")
    assert '"n":{"name":"n","description":"desc","baseType":"NUMBER","aspects":{}}' in t.to_json()


@pytest.mark.parametrize(
    "spelling,expected",
    [("ſtring", "STRING"), ("ﬆring", "STRING"), ("strıng", "STRING"), ("bloB", "BLOB"),
     ("varıant", "VARIANT"), ("infotable", "INFOTABLE"), ("location", "LOCATION"), ("datetime", "DATETIME"),
     ("boolean", "BOOLEAN"), ("long", "LONG")],
)
def test_field_type_unicode_upper_case(spelling, expected):
    t = InfoTable()
    t.add_field_definition("x", spelling, "")
    assert f'"baseType":"{expected}"' in t.to_json()


@pytest.mark.parametrize("spelling", ["xml", "", "NOTHING", "TIMESPAN", "THINGNAME", "stringé", " STRING", "STRİNG"])
def test_field_type_invalid(spelling):
    t = InfoTable()
    t.add_field_definition("a", "STRING", "")
    before = snapshot(t)
    with pytest.raises(ValueError) as e:
        t.add_field_definition("b", spelling, "")
    assert str(e.value) == "Invalid base type: " + spelling
    assert snapshot(t) == before


def test_redefinition_keeps_position_and_rows():
    t = InfoTable()
    t.add_field_definition("a", "STRING", "first")
    t.add_field_definition("b", "STRING", "")
    t.add_row({"a": "x", "b": "y"})
    t.add_field_definition("a", "INTEGER", "second")
    assert t.get_field_count() == 2
    assert t.to_json().startswith(
        '{"datashape":{"name":null,"entries":{"a":{"name":"a","description":"second","baseType":"INTEGER",'
        '"aspects":{}},"b":'
    )
    # The existing row is untouched; new rows follow the new shape.
    with pytest.raises(TypeError, match="^'str' object cannot be interpreted as an integer$"):
        t.add_row({"a": "x", "b": "y"})
    t.add_row({"a": 5, "b": "z"})
    t.add_field_definition("c", "BOOLEAN", "")
    t.add_row({"a": 6, "b": "w", "c": True})
    assert rows_json(t) == (
        '[{"fields":[{"STRING":["STRING","x"]},{"STRING":["STRING","y"]}]},'
        '{"fields":[{"INTEGER":["INTEGER",5]},{"STRING":["STRING","z"]}]},'
        '{"fields":[{"INTEGER":["INTEGER",6]},{"STRING":["STRING","w"]},{"BOOLEAN":["BOOLEAN",true]}]}]}'
    )


def test_dict_subclasses_and_non_ascii_keys():
    t = InfoTable()
    t.add_field_definition("größe", "LONG", "")

    class D(dict):
        def __getitem__(self, key):
            raise AssertionError("the dict's own storage is searched")

    t.add_row(D({"größe": 1}))
    t.add_row(collections.OrderedDict([("größe", 2)]))
    # A defaultdict is searched without creating the missing key.
    dd = collections.defaultdict(int)
    with pytest.raises(ValueError, match="^Missing field: größe$"):
        t.add_row(dd)
    assert dict(dd) == {}
    key = "".join(["grö", "ße"])  # an equal str that is not the interned one
    t.add_row({key: 3})
    assert t.get_row_count() == 3


def test_field_names_are_released_with_the_table():
    name = "".join(["dynamic", "_field"])
    key = "".join(["dynamic", "_field"])
    base = sys.getrefcount(name), sys.getrefcount(key)
    t = InfoTable()
    t.add_field_definition(name, "LONG", "")
    for i in range(3):
        t.add_row({key: i})
    del t
    assert (sys.getrefcount(name), sys.getrefcount(key)) == base


def test_row_dict_must_be_a_dict():
    t = InfoTable()
    for value, name in [([], "list"), (None, "NoneType"), ((("a", 1),), "tuple")]:
        with pytest.raises(TypeError) as e:
            t.add_row(value)
        assert str(e.value) == f"'{name}' object cannot be converted to 'PyDict'"
    t.add_row(row_dict=collections.Counter())
    assert t.get_row_count() == 1  # a Counter is a dict subclass


def test_lookup_errors_propagate():
    armed = False

    class Key:
        def __hash__(self):
            return hash("a")

        def __eq__(self, other):
            if armed:
                raise KeyError("boom")
            return False

    t = InfoTable()
    t.add_field_definition("a", "STRING", "")
    row = {Key(): 1, "a": "x"}
    armed = True
    with pytest.raises(KeyError, match="boom"):
        t.add_row(row)
    assert t.get_row_count() == 0


def test_value_conversion_errors_propagate_unchanged():
    def hook():
        raise LookupError("from __index__")

    t = InfoTable()
    t.add_field_definition("n", "INTEGER", "")
    with pytest.raises(LookupError, match="from __index__"):
        t.add_row({"n": Idx(1, hook)})


def reentry_cases(t):
    return [
        ("INTEGER", lambda: t.add_row({}), "Already borrowed"),
        ("INTEGER", lambda: t.add_field_definition("z", "STRING", ""), "Already borrowed"),
        ("INTEGER", t.get_row_count, "Already mutably borrowed"),
        ("LONG", t.to_bytes, "Already mutably borrowed"),
        ("DATETIME", t.to_json, "Already mutably borrowed"),
        ("NUMBER", t.to_simple_json, "Already mutably borrowed"),
        ("NUMBER", lambda: str(t), "Already mutably borrowed"),
        ("NUMBER", lambda: repr(t), "Already mutably borrowed"),
        ("INTEGER", t.get_field_count, "Already mutably borrowed"),
        ("INTEGER", t.get_datashape_name, "Already mutably borrowed"),
    ]


@pytest.mark.parametrize("case", range(10))
def test_reentry_through_value_conversion(case):
    t = InfoTable()
    base_type, call, message = reentry_cases(t)[case]
    t.add_field_definition("v", base_type, "")
    before = snapshot(t)
    seen = []

    def hook():
        try:
            call()
        except RuntimeError as e:
            seen.append(str(e))
            raise

    value = Flt(1.0, hook) if base_type == "NUMBER" else Idx(1, hook)
    with pytest.raises(RuntimeError) as e:
        t.add_row({"v": value})
    assert str(e.value) == message
    assert seen == [message]
    assert snapshot(t) == before
    # The borrow is released after the failure.
    t.add_row({"v": 2})
    assert t.get_row_count() == 1


def test_reentry_through_key_eq():
    t = InfoTable()
    t.add_field_definition("a", "STRING", "")
    calls = []

    class Key:
        def __hash__(self):
            return hash("a")

        def __eq__(self, other):
            if calls is not None:
                calls.append(other)
                t.add_field_definition("b", "STRING", "")
            return False

    calls = None
    row = {Key(): 1, "a": "x"}  # building the dict compares the keys once
    calls = []
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        t.add_row(row)
    assert calls == ["a"]
    assert t.get_field_count() == 1 and t.get_row_count() == 0


def test_value_dropped_by_reentrant_code_stays_alive():
    t = InfoTable()
    t.add_field_definition("n", "INTEGER", "")
    row = {}

    def hook():
        row.clear()

    row["n"] = Idx(4, hook)
    t.add_row(row)
    assert rows_json(t) == '[{"fields":[{"INTEGER":["INTEGER",4]}]}]}'


def test_unsupported_base_type_of_decoded_table():
    # One field f of type THINGNAME, no rows.
    t = InfoTable.from_bytes(H("01 01 66 00 64 0000 00 00"))
    assert t.get_field_count() == 1
    with pytest.raises(ValueError) as e:
        t.add_row({"f": "x"})
    assert str(e.value) == "Unsupported field type for field f: THINGNAME"
    with pytest.raises(ValueError, match="^Missing field: f$"):
        t.add_row({})


TWO_FIELDS_THREE_VALUES = H("01 01 61 00 00 0000" "01 01 62 00 00 0000" "00" "01 0003 00 01 78 00 01 79 00 01 7a" "00")


def test_surplus_row_values():
    t = InfoTable.from_bytes(TWO_FIELDS_THREE_VALUES)
    assert t.to_bytes() == TWO_FIELDS_THREE_VALUES
    assert t.to_simple_json() == (
        '{"dataShape":{"fieldDefinitions":{'
        '"a":{"aspects":{},"baseType":"STRING","description":"","name":"a","ordinal":0},'
        '"b":{"aspects":{},"baseType":"STRING","description":"","name":"b","ordinal":1}}},'
        '"rows":[{"a":"x","b":"y"}]}'
    )
    assert rows_json(t) == '[{"fields":[{"STRING":["STRING","x"]},{"STRING":["STRING","y"]},{"STRING":["STRING","z"]}]}]}'


@pytest.mark.parametrize(
    "data,rows",
    [("0000", 0), ("00 01 0000 00", 1), ("00 05 0000 07 0000 00", 2), ("00 00 ffff", 0)],
)
def test_decode_markers(data, rows):
    t = InfoTable.from_bytes(H(data))
    assert t.get_row_count() == rows and t.get_field_count() == 0


@pytest.mark.parametrize(
    "data,message",
    [
        ("00 01 0001 13 00", "Invalid Base Type: 19"),
        ("01 01 61 00 13 0000 00 00", "Invalid entry type: 19"),
        ("00 01 0001 00 05 61", "Io Error: Stream to String failed: content too short"),
        ("01 02 c328 00 00 0000 00 00",
         "Io Error: Stream to String failed:invalid utf-8 sequence of 1 bytes from index 0"),
        ("", None),
        ("00", None),
        ("00 01 00", None),
        ("00 01 0001 16 0000", None),
    ],
)
def test_decode_errors(data, message):
    with pytest.raises(ValueError) as e:
        InfoTable.from_bytes(H(data))
    text = str(e.value)
    assert text.startswith("InfoTable deserialization error: ")
    if message is not None:
        assert text == "InfoTable deserialization error: " + message


ASPECT_MISMATCH = H("01 0161 00 00 0001 0c") + b"isPrimaryKey" + H("00 01 78 00 00")


def test_json_writing_failure():
    t = InfoTable.from_bytes(ASPECT_MISMATCH)
    with pytest.raises(ValueError) as e:
        t.to_json()
    assert str(e.value) == (
        "JSON serialization error: Failed to convert from HcPrim to JsonValue:"
        'not a boolean, value: STRING(STRING, "x"),base_type:BOOLEAN'
    )
    assert t.to_bytes() == ASPECT_MISMATCH


def test_row_too_wide_for_binary_form():
    t = InfoTable()
    n = 65536
    for i in range(n):
        t.add_field_definition(f"f{i}", "BOOLEAN", "")
    t.add_row({f"f{i}": True for i in range(n)})
    with pytest.raises(ValueError) as e:
        t.to_bytes()
    assert str(e.value).startswith("InfoTable serialization error: ")
    assert t.get_row_count() == 1


ARG_ERRORS = [
    (lambda t: InfoTable(5), TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda t: InfoTable(b"x"), TypeError, "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
    (lambda t: InfoTable("a", "b"), TypeError,
     "InfoTable.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda t: InfoTable(nam="x"), TypeError, "InfoTable.__new__() got an unexpected keyword argument 'nam'"),
    (lambda t: t.add_field_definition(), TypeError,
     "InfoTable.add_field_definition() missing 3 required positional arguments: 'name', 'base_type', and "
     "'description'"),
    (lambda t: t.add_field_definition("a"), TypeError,
     "InfoTable.add_field_definition() missing 2 required positional arguments: 'base_type' and 'description'"),
    (lambda t: t.add_field_definition("a", "STRING", "", 1), TypeError,
     "InfoTable.add_field_definition() takes 3 positional arguments but 4 were given"),
    (lambda t: t.add_field_definition("a", "STRING", name="b"), TypeError,
     "InfoTable.add_field_definition() got multiple values for argument 'name'"),
    (lambda t: t.add_field_definition(1, "STRING", ""), TypeError,
     "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda t: t.add_field_definition("a", None, ""), TypeError,
     "argument 'base_type': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda t: t.add_field_definition("a", "STRING", b""), TypeError,
     "argument 'description': 'bytes' object cannot be converted to 'PyString'"),
    (lambda t: t.add_row(), TypeError, "InfoTable.add_row() missing 1 required positional argument: 'row_dict'"),
    (lambda t: t.add_row({}, {}), TypeError, "InfoTable.add_row() takes 1 positional arguments but 2 were given"),
    (lambda t: t.add_row(row={}), TypeError, "InfoTable.add_row() got an unexpected keyword argument 'row'"),
    (lambda t: InfoTable.from_bytes(bytearray(b"\x00\x00")), TypeError,
     "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda t: InfoTable.from_bytes(memoryview(b"\x00\x00")), TypeError,
     "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
    (lambda t: t.get_row_count(1), TypeError, "InfoTable.get_row_count() takes no arguments (1 given)"),
    (lambda t: t.to_bytes(x=1), TypeError, "InfoTable.to_bytes() takes no keyword arguments"),
]


@pytest.mark.parametrize("call,exc,message", ARG_ERRORS)
def test_argument_errors(call, exc, message):
    t = units_table()
    before = snapshot(t)
    with pytest.raises(exc) as e:
        call(t)
    assert str(e.value) == message
    assert snapshot(t) == before


def test_keyword_calls():
    t = InfoTable(name="K")
    t.add_field_definition(name="a", base_type="boolean", description="flag")
    t.add_field_definition("b", description="d", base_type="LONG")
    t.add_row(row_dict={"a": False, "b": -1})
    assert t.get_field_count() == 2 and t.get_row_count() == 1
    assert InfoTable.from_bytes(data=t.to_bytes()).get_row_count() == 1


def test_class_surface():
    assert [k for k in vars(InfoTable) if not k.startswith("_")][: len(METHODS)] == METHODS
    assert InfoTable.__text_signature__ == "(name=None)"
    assert InfoTable.__doc__ is None
    assert InfoTable.__module__ == "veltrac._native"
    assert InfoTable.from_bytes.__text_signature__ == "(data)"
    assert InfoTable.to_bytes.__text_signature__ == "($self)"
    assert InfoTable.add_field_definition.__text_signature__ == "($self, name, base_type, description)"
    assert InfoTable.add_row.__text_signature__ == "($self, row_dict)"
    assert all(getattr(InfoTable, m).__doc__ is None for m in METHODS)
    t = InfoTable()
    assert t.from_bytes(b"\x00\x00").get_row_count() == 0
    with pytest.raises(AttributeError):
        t.x = 1
    with pytest.raises(TypeError):
        type("Sub", (InfoTable,), {})


@pytest.mark.parametrize("text", [
    "a" * 31, "a" * 32, "a" * 200, "é" * 40, "a" * 40 + "\u20ac", "\U0001f600" * 20, "a" * 39 + "\x7f",
])
def test_texts_of_every_width_round_trip_through_decoding_and_json(text):
    # Decoded texts are stored with their table; JSON results are built from ASCII or decoded UTF-8.
    t = InfoTable("T")
    t.add_field_definition("s", "STRING", "")
    t.add_row({"s": text})
    back = InfoTable.from_bytes(t.to_bytes())
    rows = json.loads(back.to_simple_json())["rows"]
    assert rows == [{"s": text}]
    assert back.to_json() == t.to_json().replace('"name":"T"', '"name":null')
    assert back.to_bytes() == t.to_bytes()


def built_table(rows, seed):
    t = InfoTable()  # the binary form carries no shape name
    for name, base_type in [("s", "STRING"), ("n", "NUMBER"), ("i", "INTEGER"), ("b", "BOOLEAN")]:
        t.add_field_definition(name, base_type, "")
    for k in range(rows):
        t.add_row({"s": f"row {seed}-{k} " + "x" * (k % 150), "n": k / 8 + seed, "i": k - seed, "b": k % 3 == 0})
    return t


def test_decoded_tables_of_changing_sizes_then_grown():
    # Storage of a decoded table is reused by the next one (sizes vary, so blocks are taken and given back in
    # every order); rows added after decoding move the decoded cells into a larger block.
    previous = None
    for seed, rows in enumerate([5000, 40, 12000, 0, 700, 12000, 3]):
        expect = built_table(rows, seed)
        t = InfoTable.from_bytes(expect.to_bytes())
        assert t.to_simple_json() == expect.to_simple_json()
        for k in range(rows // 2 + 100):
            row = {"s": f"late {k}", "n": 0.5, "i": k, "b": True}
            t.add_row(row)
            expect.add_row(row)
        assert t.to_bytes() == expect.to_bytes()
        if previous is not None:
            assert previous[0].to_bytes() == previous[1]  # the table before is untouched by this one
        previous = (t, t.to_bytes())
