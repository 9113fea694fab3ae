"""InfoTable: construction, rows from Python values, the binding's texts, borrow errors on re-entry, and
failed calls leaving the table unchanged."""

import collections
import json
import math
import sys

import pytest

from veltrac import InfoTable

H = bytes.fromhex


def snapshot(t):
    return (t.get_row_count(), t.get_field_count(), t.get_datashape_name(), t.to_bytes(), t.to_json(), repr(t))


def table(*fields):
    t = InfoTable()
    for name, base_type in fields:
        t.add_field_definition(name, base_type, "")
    return t


@pytest.mark.parametrize("args,kwargs,name,shown", [
    ((), {}, None, "None"),
    (("Sensors",), {}, "Sensors", 'Some("Sensors")'),
    ((), {"name": 'a"b\n'}, 'a"b\n', 'Some("a\\"b\\n")'),
])
def test_constructor_and_text_forms(args, kwargs, name, shown):
    t = InfoTable(*args, **kwargs)
    assert t.get_datashape_name() == name
    assert (str(t), repr(t)) == ("InfoTable(rows=0, fields=0)", f"InfoTable(rows=0, fields=0, name={shown})")


def test_rows_encode_and_keywords_place_by_name():
    t = InfoTable(name="K")
    t.add_field_definition("units", "STRING", "")
    t.add_field_definition(description="", base_type="integer", name="id")
    t.add_row({"units": "kg", "id": 7, "extra": object()})
    t.add_row(row_dict={"id": 8, "units": ""})
    assert t.to_bytes() == H("01 05 756e697473 00 00 0000" "01 02 6964 00 16 0000" "00"
                             "01 0002 00 02 6b67 16 00000007" "01 0002 00 00 16 00000008" "00")
    assert (str(t), t.get_field_count()) == ("InfoTable(rows=2, fields=2)", 2)
    back = InfoTable.from_bytes(data=t.to_bytes())
    assert (back.get_datashape_name(), back.to_bytes()) == (None, t.to_bytes())  # the name is not in the bytes


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


# field base type, Python value, tagged JSON of the stored value
CONVERSIONS = [
    ("STRING", "é\u2028", '{"STRING":["STRING","é\u2028"]}'),
    ("NUMBER", 2, '{"NUMBER":["NUMBER",2.0]}'),
    ("NUMBER", math.nan, '{"NUMBER":["NUMBER",null]}'),
    ("NUMBER", Flt(3), '{"NUMBER":["NUMBER",3.0]}'),
    ("BOOLEAN", False, '{"BOOLEAN":["BOOLEAN",false]}'),
    ("DATETIME", -1, '{"DATETIME":["DATETIME",-1]}'),
    ("DATETIME", Idx(9), '{"DATETIME":["DATETIME",9]}'),
    ("INTEGER", -(2**31), '{"INTEGER":["INTEGER",-2147483648]}'),
    ("INTEGER", True, '{"INTEGER":["INTEGER",1]}'),
    ("INTEGER", Idx(7), '{"INTEGER":["INTEGER",7]}'),
    ("LONG", -(2**63), '{"LONG":["LONG",-9223372036854775808]}'),
    ("LONG", 2**40, '{"LONG":["LONG",1099511627776]}'),
]


def rows_json(t):
    return t.to_json().split('"rows":', 1)[1]


@pytest.mark.parametrize("base_type,value,tagged", CONVERSIONS)
def test_add_row_conversions(base_type, value, tagged):
    t = table(("f", base_type))
    t.add_row({"f": value})
    assert rows_json(t) == '[{"fields":[' + tagged + "]}]}"


# field base type, Python value, exception, text (None: the interpreter's own); no argument prefix
ROW_ERRORS = [
    ("STRING", b"kg", TypeError, "'bytes' object cannot be converted to 'PyString'"),
    ("STRING", "\ud800", UnicodeEncodeError, None),
    ("BOOLEAN", 1, TypeError, "'int' object cannot be converted to 'PyBool'"),
    ("INTEGER", 2**31, OverflowError, "out of range integral type conversion attempted"),
    ("INTEGER", 2**64, OverflowError, None),
    ("INTEGER", 1.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("LONG", 2**63, OverflowError, None),
    ("DATETIME", "1", TypeError, "'str' object cannot be interpreted as an integer"),
    ("NUMBER", "x", TypeError, "must be real number, not str"),
    ("NUMBER", 10**400, OverflowError, "int too large to convert to float"),
    ("BLOB", b"x", ValueError, "Unsupported field type for field f: BLOB"),
    ("VARIANT", 1, ValueError, "Unsupported field type for field f: VARIANT"),
]


@pytest.mark.parametrize("base_type,value,exc,text", ROW_ERRORS)
def test_add_row_errors_leave_table_unchanged(base_type, value, exc, text):
    t = table(("g", "STRING"), ("f", base_type))
    if base_type in ("STRING", "INTEGER"):
        t.add_row({"f": "a" if base_type == "STRING" else 1, "g": "x"})
    before = snapshot(t)
    with pytest.raises(exc) as e:
        t.add_row({"f": value, "g": "y"})
    assert type(e.value) is exc
    if text is not None:
        assert str(e.value) == text
    assert snapshot(t) == before


def test_fields_are_checked_in_shape_order():
    t = table(("a", "STRING"), ("b", "INTEGER"), ("c", "BLOB"))
    before = snapshot(t)
    for row, exc, text in [
        ({}, ValueError, "Missing field: a"),
        ({"a": "x"}, ValueError, "Missing field: b"),
        ({"a": "x", "b": 1}, ValueError, "Missing field: c"),
        ({"a": 1}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"a": "x", "b": 1, "c": b""}, ValueError, "Unsupported field type for field c: BLOB"),
        ([("a", 1)], TypeError, "'list' object cannot be converted to 'PyDict'"),
    ]:
        with pytest.raises(exc) as e:
            t.add_row(row)
        assert str(e.value) == text
    assert snapshot(t) == before
    # A decoded table may hold a type rows cannot take (one field of type THINGNAME).
    with pytest.raises(ValueError, match="^Unsupported field type for field f: THINGNAME$"):
        InfoTable.from_bytes(H("01 01 66 00 64 0000 00 00")).add_row({"f": "x"})


def test_redefinition_keeps_position_and_rows():
    t = table(("a", "STRING"), ("b", "STRING"))
    t.add_row({"a": "x", "b": "y"})
    t.add_field_definition("a", "INTEGER", "second")  # new rows follow the new shape
    with pytest.raises(TypeError, match="^'str' object cannot be interpreted as an integer$"):
        t.add_row({"a": "x", "b": "y"})
    t.add_row({"a": 5, "b": "z"})
    t.add_field_definition("c", "BOOLEAN", "")
    t.add_row({"a": 6, "b": "w", "c": True})
    assert t.get_field_count() == 3
    assert rows_json(t) == (
        '[{"fields":[{"STRING":["STRING","x"]},{"STRING":["STRING","y"]}]},'
        '{"fields":[{"INTEGER":["INTEGER",5]},{"STRING":["STRING","z"]}]},'
        '{"fields":[{"INTEGER":["INTEGER",6]},{"STRING":["STRING","w"]},{"BOOLEAN":["BOOLEAN",true]}]}]}'
    )
    empty = InfoTable()
    empty.add_row({"ignored": 1})  # a table without fields takes empty rows
    assert empty.to_bytes() == H("00 01 0000 00")


def test_dict_subclasses_and_keys():
    t = table(("größe", "LONG"))

    class D(dict):
        def __getitem__(self, key):
            raise AssertionError("the dict's own storage is searched")

    t.add_row(D({"größe": 1}))
    t.add_row(collections.OrderedDict([("größe", 2)]))
    dd = collections.defaultdict(int)  # searched without creating the missing key
    with pytest.raises(ValueError, match="^Missing field: größe$"):
        t.add_row(dd)
    assert dict(dd) == {}
    t.add_row({"".join(["grö", "ße"]): 3})  # an equal str that is not the interned one
    assert t.get_row_count() == 3


def test_field_names_are_released_with_the_table():
    name, key = "".join(["dynamic", "_field"]), "".join(["dynamic", "_field"])
    base = sys.getrefcount(name), sys.getrefcount(key)
    t = table((name, "LONG"))
    for i in range(3):
        t.add_row({key: i})
    del t
    assert (sys.getrefcount(name), sys.getrefcount(key)) == base


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

    with pytest.raises(RuntimeError) as e:
        t.add_row({"v": (Flt if base_type == "NUMBER" else Idx)(1, hook)})
    assert (str(e.value), seen) == (message, [message])
    assert snapshot(t) == before
    t.add_row({"v": 2})  # the borrow is released after the failure
    assert t.get_row_count() == 1


@pytest.mark.parametrize("action,exc,text", [("reenter", RuntimeError, "^Already borrowed$"),
                                             ("raise", KeyError, "boom")])
def test_python_code_in_key_comparison(action, exc, text):
    t = table(("a", "STRING"))
    calls = None

    class Key:
        def __hash__(self):
            return hash("a")

        def __eq__(self, other):
            if calls is not None:
                calls.append(other)
                if action == "raise":
                    raise KeyError("boom")
                t.add_field_definition("b", "STRING", "")
            return False

    row = {Key(): 1, "a": "x"}  # building the dict compares the keys once
    calls = []
    with pytest.raises(exc, match=text):
        t.add_row(row)
    assert calls == ["a"]
    assert t.get_field_count() == 1 and t.get_row_count() == 0


def test_value_dropped_by_reentrant_code_stays_alive():
    t = table(("n", "INTEGER"))
    row = {}
    row["n"] = Idx(4, row.clear)
    t.add_row(row)
    assert rows_json(t) == '[{"fields":[{"INTEGER":["INTEGER",4]}]}]}'


def test_error_prefixes():
    for data in ("00 01 0001 13 00", "", "00 01 0001 00 05 61"):
        with pytest.raises(ValueError, match="^InfoTable deserialization error: "):
            InfoTable.from_bytes(H(data))
    bad_aspect = InfoTable.from_bytes(H("01 0161 00 00 0001 0c") + b"isPrimaryKey" + H("00 01 78 00 00"))
    with pytest.raises(ValueError, match="^JSON serialization error: "):
        bad_aspect.to_json()
    wide = table(*[(f"f{i}", "BOOLEAN") for i in range(65536)])
    wide.add_row({f"f{i}": True for i in range(65536)})
    with pytest.raises(ValueError, match="^InfoTable serialization error: "):
        wide.to_bytes()


def test_decoded_tables_of_changing_sizes_then_grown():
    # Decoded tables of varying sizes, each grown by add_row afterwards, stay independent of each other.
    previous = None
    for seed, rows in enumerate([5000, 40, 12000, 0, 700, 3]):
        def row(k):
            return {"s": f"row {seed}-{k} " + "x" * (k % 150), "n": k / 8, "i": k - seed, "b": k % 3 == 0}

        expect = table(("s", "STRING"), ("n", "NUMBER"), ("i", "INTEGER"), ("b", "BOOLEAN"))
        for k in range(rows):
            expect.add_row(row(k))
        t = InfoTable.from_bytes(expect.to_bytes())
        for k in range(rows, rows + rows // 2 + 100):
            t.add_row(row(k))
            expect.add_row(row(k))
        assert t.to_bytes() == expect.to_bytes()
        if previous is not None:
            assert previous[0].to_bytes() == previous[1]  # the table before is untouched by this one
        previous = (t, t.to_bytes())
