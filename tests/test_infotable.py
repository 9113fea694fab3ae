"""InfoTable: construction, rows from and to Python data, the binding's texts, borrow errors on re-entry, and
failed calls leaving the table unchanged (value conversions are in test_primitive)."""

import collections
import copy
import json
import pickle
import sys
from operator import methodcaller

import pytest

from veltrac import BaseType, FrozenDict, HcPrim, InfoTable

from test_primitive import Flt, Idx, no_argument_methods, table

H = bytes.fromhex


def snapshot(t):
    return (t.get_row_count(), t.get_field_count(), t.get_datashape_name(), t.to_bytes(), t.to_json(), repr(t))


def readings():
    t = table(("sensor", "STRING", "sensor id"), ("value", "NUMBER"), ("at", "DATETIME"), name="Readings")
    t.add_rows([{"sensor": "temp-1", "value": 21.5, "at": 1}, {"sensor": "temp-2", "value": 19, "at": 2}])
    return t


@pytest.mark.parametrize("args,kwargs,name,shown", [
    ((), {}, None, "None"),
    ((), {"name": 'a"b\n'}, 'a"b\n', 'Some("a\\"b\\n")'),
])
def test_constructor_and_text_forms(args, kwargs, name, shown):
    t = InfoTable(*args, **kwargs)
    assert t.get_datashape_name() == name
    assert (str(t), repr(t)) == ("InfoTable(rows=0, fields=0)", f"InfoTable(rows=0, fields=0, name={shown})")


def test_fields_are_checked_in_shape_order():
    t = table(("a", "STRING"), ("b", "INTEGER"), ("c", "BLOB"))
    before = snapshot(t)
    for row, exc, text in [
        ({}, ValueError, "Missing field: a"),
        ({"a": "x"}, ValueError, "Missing field: b"),
        ({"a": 1}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"a": "x", "b": 1, "c": b""}, ValueError, "Unsupported field type for field c: BLOB"),
        ([("a", 1)], TypeError, "'list' object cannot be converted to 'PyDict'"),
    ]:
        with pytest.raises(exc) as e:
            t.add_row(row)
        assert str(e.value) == text
    assert snapshot(t) == before


class Int(int):
    pass


# After a first row, add_row takes rows of exact values in column order in one step; every other row (a value
# to convert, another order, a failure after exact values) must give what add_rows gives, or fail alike and
# leave the table unchanged.
@pytest.mark.parametrize("row", [
    {"s": "b", "n": 2.5, "i": 2, "l": -(2**62), "ok": False, "at": 7},
    {"s": "", "n": 0.0, "i": -(2**31), "l": 2**63 - 1, "ok": True, "at": -1},
    {"s": "é" * 20, "n": 1.0, "i": 1, "l": 1, "ok": True, "at": 1},
    {"s": "x" * 300, "n": 3, "i": Int(5), "l": Idx(6), "ok": True, "at": 1},
    {"at": 1, "s": "c", "n": 1.0, "i": 1, "l": 1, "ok": True},
    {"s": "c", "n": 1.0, "i": 1, "l": 1, "ok": True},
    {"s": "c", "n": 1.0, "i": 2**31, "l": 1, "ok": True, "at": 1},
    {"s": "c", "n": 1.0, "i": 1, "l": 2**63, "ok": True, "at": 1},
    {"s": "c", "n": 1.0, "i": 1, "l": 1, "ok": 1, "at": 1},
])
def test_add_row_matches_add_rows(row):
    def build():
        t = table(("s", "STRING"), ("n", "NUMBER"), ("i", "INTEGER"), ("l", "LONG"), ("ok", "BOOLEAN"),
                  ("at", "DATETIME"))
        t.add_row({"s": "first", "n": 1.0, "i": 1, "l": 1, "ok": True, "at": 1})
        return t
    one, many = build(), build()
    before = snapshot(one)
    try:
        many.add_rows([row])
    except Exception as e:
        with pytest.raises(type(e)) as raised:
            one.add_row(row)
        assert str(raised.value) == str(e) and snapshot(one) == before
    else:
        one.add_row(row)
        assert one.to_bytes() == many.to_bytes() and one.get_row_count() == 2


def test_redefinition_keeps_position_and_rows():
    t = table(("a", "STRING"), ("b", "STRING"))
    t.add_row({"a": "x", "b": "y"})
    t.add_field_definition("a", "INTEGER", "second")  # new rows follow the new shape
    with pytest.raises(TypeError, match="^'str' object cannot be interpreted as an integer$"):
        t.add_row({"a": "x", "b": "y"})
    t.add_row({"a": 5, "b": "z"})
    t.add_field_definition("c", "BOOLEAN", "")
    t.add_row({"c": True, "b": "w", "a": 6})
    assert t.get_rows() == [{"a": "x", "b": "y"}, {"a": 5, "b": "z"}, {"a": 6, "b": "w", "c": True}]
    assert list(t.get_row(2)) == ["a", "b", "c"]  # the shape's order, not the row's
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
    assert t.get_column("größe") == [1, 2, 3]


def test_field_names_are_released_with_the_table():
    name, key = "".join(["dynamic", "_field"]), "".join(["dynamic", "_field"])
    base = sys.getrefcount(name), sys.getrefcount(key)
    t = table((name, "LONG"))
    for i in range(3):
        t.add_row({key: i})
    del t
    assert (sys.getrefcount(name), sys.getrefcount(key)) == base


# While add_row converts a value, writers fail and readers (every method without arguments) fail differently.
REENTRY = [(lambda t: t.add_row({}), "Already borrowed"),
           (lambda t: t.add_field_definition("z", "STRING", ""), "Already borrowed"),
           *[(f, "Already mutably borrowed") for f in (str, repr, *map(methodcaller, no_argument_methods(InfoTable)))]]


@pytest.mark.parametrize("base_type", ["INTEGER", "NUMBER"])
@pytest.mark.parametrize("call,message", REENTRY)
def test_reentry_through_value_conversion(base_type, call, message):
    t = table(("v", base_type))
    before, seen = snapshot(t), []

    def hook():
        try:
            call(t)
        except RuntimeError as e:
            seen.append(str(e))
            raise

    with pytest.raises(RuntimeError) as e:
        t.add_row({"v": (Flt if base_type == "NUMBER" else Idx)(1, hook)})
    assert (str(e.value), seen, snapshot(t)) == (message, [message], before)
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
    assert t.get_rows() == [{"n": 4}]


def test_error_prefixes():
    with pytest.raises(ValueError, match="^InfoTable deserialization error: "):
        InfoTable.from_bytes(H("00 01 0001 13 00"))
    with pytest.raises(ValueError, match="^InfoTable JSON deserialization error: "):
        InfoTable.from_json("{")
    bad_aspect = InfoTable.from_bytes(H("01 0161 00 00 0001 0c") + b"isPrimaryKey" + H("00 01 78 00 00"))
    with pytest.raises(ValueError, match="^JSON serialization error: "):
        bad_aspect.to_json()
    wide = table(*[(f"f{i}", "BOOLEAN") for i in range(65536)])
    wide.add_row({f"f{i}": True for i in range(65536)})
    with pytest.raises(ValueError, match="^InfoTable serialization error: "):
        wide.to_bytes()


def test_rows_columns_cells_and_field_definitions():
    t = readings()
    assert t.get_rows() == [{"sensor": "temp-1", "value": 21.5, "at": 1}, {"sensor": "temp-2", "value": 19.0, "at": 2}]
    assert t.get_row(-1) == t.get_rows()[1] and t.get_column("value") == [21.5, 19.0]
    assert t.get_cell(1, "sensor").get_value() == "temp-2"
    assert t.get_field_definitions()[0] == {"name": "sensor", "base_type": "STRING", "description": "sensor id",
                                            "ordinal": 0, "aspects": {}}
    decoded = InfoTable.from_bytes(t.to_bytes())
    assert decoded.get_rows() == t.get_rows() and decoded.get_field_definitions() == t.get_field_definitions()
    assert InfoTable.from_json(t.to_json()).get_datashape_name() == "Readings"
    # Two fields, a row of three values: the simple JSON form leaves the third out, and so do rows.
    odd = InfoTable.from_bytes(H("01 0161 00 00 0000  01 0162 00 00 0000 00 01 0003 0001 78 0001 79 0001 7a"
                                 "01 0001 0001 77 00"))
    assert (odd.get_rows(), odd.get_column("b")) == ([{"a": "x", "b": "y"}, {"a": "w"}], ["y", None])


def test_add_rows_is_all_or_nothing():
    t = readings()
    with pytest.raises(ValueError, match="^Missing field: at$"):
        t.add_rows([{"sensor": "a", "value": 1, "at": 3}, {"sensor": "b", "value": 2}])
    with pytest.raises(TypeError):
        t.add_rows(iter([{"sensor": "a", "value": 1, "at": 3}, []]))
    assert t.get_row_count() == 2


@pytest.mark.parametrize("call,error,text", [
    (lambda t: t.get_row(2), IndexError, "row index 2 is out of range (2 rows)"),
    (lambda t: t.get_row(-3), IndexError, "row index -3 is out of range (2 rows)"),
    (lambda t: t.get_column("nope"), KeyError, "'nope'"),
    (lambda t: t.get_cell(0, "nope"), KeyError, "'nope'"),
    (lambda t: t.append_row([HcPrim.string("a")]), ValueError,
     "append_row takes one value per field: 3 fields, 1 values"),
    (lambda t: t.append_row([HcPrim.string("a"), HcPrim.integer(1), HcPrim.datetime(1)]), ValueError,
     "value 1 is INTEGER, field value is NUMBER"),
])
def test_access_errors(call, error, text):
    t = readings()
    with pytest.raises(error) as e:
        call(t)
    assert str(e.value) == text and t.get_row_count() == 2


def test_row_tuples():
    t = readings()
    assert t.get_row_tuples() == [tuple(r.values()) for r in t.get_rows()] == [("temp-1", 21.5, 1), ("temp-2", 19.0, 2)]
    odd = InfoTable.from_bytes(H("01 0161 00 00 0000  01 0162 00 00 0000 00 01 0003 0001 78 0001 79 0001 7a"
                                 "01 0001 0001 77 00"))
    assert (odd.get_row_tuples(), InfoTable().get_row_tuples()) == ([("x", "y"), ("w",)], [])


class SubDict(dict):
    def __getitem__(self, key):
        raise AssertionError("add_row reads the dict's own storage")


# The same row given in the forms add_row reads in order and those it looks up (other key order, extra keys,
# keys that are equal but other objects, a dict subclass), with texts in and beyond ASCII.
@pytest.mark.parametrize("make", [
    lambda r: r,
    lambda r: dict(reversed(list(r.items()))),
    lambda r: {"extra": 0, **r},
    lambda r: {"".join(k): v for k, v in r.items()},
    lambda r: SubDict(r),
])
@pytest.mark.parametrize("text", ["", "short", "x" * 300, "näher 東京 \U0001f600"])
def test_row_forms_give_the_same_table(make, text):
    rows = [{"s": text + str(i), "n": i / 3, "i": -i, "l": (-1) ** i * 2 ** (30 + i % 34) + i, "b": i % 2 == 0,
             "d": 2 ** 62 - i} for i in range(40)]
    fields = (("s", "STRING"), ("n", "NUMBER"), ("i", "INTEGER"), ("l", "LONG"), ("b", "BOOLEAN"), ("d", "DATETIME"))
    one_by_one, at_once, from_iter = table(*fields), table(*fields), table(*fields)
    for r in rows:
        one_by_one.add_row(make(r))
    at_once.add_rows([make(r) for r in rows])
    from_iter.add_rows(make(r) for r in rows)
    assert one_by_one.get_rows() == at_once.get_rows() == from_iter.get_rows() == rows
    assert one_by_one.to_bytes() == at_once.to_bytes() == from_iter.to_bytes()
    assert InfoTable.from_bytes(at_once.to_bytes()).get_rows() == rows


@pytest.mark.parametrize("value", [2 ** 63, -(2 ** 63) - 1, 2 ** 90])
def test_long_values_beyond_64_bits_fail(value):
    t = table(("s", "STRING"), ("l", "LONG"))
    t.add_row({"s": "kept", "l": -(2 ** 63)})
    before = snapshot(t)
    with pytest.raises(OverflowError):
        t.add_rows([{"s": "a", "l": 2 ** 63 - 1}, {"s": "b", "l": value}])
    assert snapshot(t) == before and t.get_row_tuples() == [("kept", -(2 ** 63))]


def test_field_names_and_types():
    t = readings()
    assert t.get_field_names() == ["sensor", "value", "at"]
    assert [repr(x) for x in t.get_field_types()] == ["BaseType.STRING", "BaseType.NUMBER", "BaseType.DATETIME"]
    assert InfoTable().get_field_names() == [] and InfoTable().get_field_types() == []
    # A decoded table may hold types that add_field_definition does not take (XML, code 7).
    assert [str(x) for x in InfoTable.from_bytes(H("01 0161 00 07 0000 00 00")).get_field_types()] == ["XML"]


@pytest.mark.parametrize("fields,name", [
    ([("sensor", "STRING", "sensor id"), ("value", BaseType.NUMBER, ""), ("at", BaseType("datetime"), "")], None),
    ((f for f in [["sensor", "string", "sensor id"], ("value", "Number", ""), ("at", "DATETIME", "")]), "Readings"),
])
def test_from_fields(fields, name):
    t = InfoTable.from_fields(fields, name=name)
    ref = InfoTable(name)
    for n, bt, d in [("sensor", "STRING", "sensor id"), ("value", "NUMBER", ""), ("at", "DATETIME", "")]:
        ref.add_field_definition(n, bt, d)
    assert (t.to_json(), t.get_row_count()) == (ref.to_json(), 0)
    # Types read from a table build the same shape again.
    again = InfoTable.from_fields(zip(t.get_field_names(), t.get_field_types(), ["sensor id", "", ""]), name)
    assert again.to_json() == t.to_json()


@pytest.mark.parametrize("fields,error,text", [
    (5, TypeError, "argument 'fields': 'int' object is not iterable"),
    ("abc", TypeError, "argument 'fields': 'str' object cannot be converted to 'Iterable'"),
    ([("a", "STRING", ""), "b"], TypeError, "fields[1]: expected a (name, base_type, description) tuple, got str"),
    ([("a", "STRING")], ValueError, "fields[0]: expected 3 items (name, base_type, description), got 2"),
    ([(1, "STRING", "")], TypeError, "fields[0]: name must be str, not int"),
    ([("a", "STRING", None)], TypeError, "fields[0]: description must be str, not NoneType"),
    ([("a", 3, "")], TypeError, "fields[0]: base_type must be BaseType or str, not int"),
    ([("a", "TEXT", "")], ValueError, "fields[0]: Invalid base type: TEXT"),
    ([("a", "STRING", ""), ("a", "INTEGER", "")], ValueError, "fields[1]: repeated field name: a"),
])
def test_from_fields_refuses(fields, error, text):
    with pytest.raises(error) as info:
        InfoTable.from_fields(fields)
    assert str(info.value) == text


def test_field_definitions_are_read_only_and_shared_by_tables_of_one_shape():
    shape = ('{"datashape":{"name":null,"entries":{"a":{"name":"a","description":"d","baseType":"NUMBER",'
             '"aspects":{"minimumValue":%s}}}},"rows":[]}')
    first = InfoTable.from_json(shape % "0.0")
    got = first.get_field_definitions()
    assert got == [{"name": "a", "base_type": "NUMBER", "description": "d", "ordinal": 0,
                    "aspects": {"minimumValue": 0.0}}]
    read_only = "FrozenDict is read-only: dict(d) makes a mutable copy"
    for change in (lambda d: d.__setitem__("x", 1), lambda d: d.__delitem__("name"), lambda d: d.update(x=1),
                   lambda d: d.pop("name"), lambda d: d.popitem(), lambda d: d.setdefault("x", 1),
                   lambda d: d.clear(), lambda d: d.__ior__({"x": 1}), lambda d: d.__init__(x=1)):
        for d in (got[0], got[0]["aspects"]):
            with pytest.raises(TypeError) as info:
                change(d)
            assert str(info.value) == read_only
    for make in (lambda: FrozenDict(), lambda: FrozenDict({"x": 1}), lambda: FrozenDict.fromkeys("x")):
        with pytest.raises(TypeError, match="^cannot create 'veltrac._native.FrozenDict' instances$"):
            make()
    # Another table of the same shape, and the same table again: the same definitions in a new list.
    for t in (InfoTable.from_json(shape % "0.0"), first, copy.copy(first)):
        fresh = t.get_field_definitions()
        assert fresh is not got and fresh[0] is got[0]
    # Equal to 0.0 but another value: -0.0 is given as itself.
    assert str(InfoTable.from_json(shape % "-0.0").get_field_definitions()[0]["aspects"]["minimumValue"]) == "-0.0"
    # After a change of shape, the new shape's fields; what was given before is unchanged.
    first.add_field_definition("b", "LONG", "")
    assert [f["name"] for f in first.get_field_definitions()] == ["a", "b"] and len(got) == 1
    # Copies are plain dicts, all the way down for a deep copy or a pickle.
    for copied in (copy.copy(got[0]), got[0].copy(), dict(got[0]), got[0] | {}, copy.deepcopy(got)[0],
                   pickle.loads(pickle.dumps(got))[0]):
        assert type(copied) is dict and copied == got[0]
    assert type(copy.deepcopy(got)[0]["aspects"]) is dict
    assert json.loads(json.dumps(got)) == got


