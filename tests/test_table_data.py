"""Tables, typed values and definitions as Python data: to_python, factories, rows, columns, cells, add_rows,
append_row, from_json and the definition getters."""

import json

import pytest

from veltrac import HcPrim, HcyEvent, HcyProperty, HcyService, InfoTable


def table():
    t = InfoTable("Readings")
    t.add_field_definition("sensor", "STRING", "sensor id")
    t.add_field_definition("value", "NUMBER", "")
    t.add_field_definition("at", "DATETIME", "")
    t.add_rows([{"sensor": "temp-1", "value": 21.5, "at": 1}, {"sensor": "temp-2", "value": 19, "at": 2}])
    return t


VALUES = [  # (value, to_python)
    (HcPrim.string("é"), "é"),
    (HcPrim.number(2), 2.0),
    (HcPrim.integer(-5), -5),
    (HcPrim.long(2**40), 2**40),
    (HcPrim.boolean(True), True),
    (HcPrim.datetime(1_700_000_000_000), 1_700_000_000_000),
    (HcPrim.blob(b"\x00\xff"), b"\x00\xff"),
    (HcPrim.location(1.5, 2.5), {"latitude": 1.5, "longitude": 2.5, "elevation": 0.0}),
    (HcPrim.location(longitude=-3.0, latitude=4.0, elevation=5), {"latitude": 4.0, "longitude": -3.0, "elevation": 5.0}),
    (HcPrim.variant(HcPrim.variant(HcPrim.integer(7))), 7),
    (HcPrim.from_bytes(b"\xff"), None),
]


def tagged_json(value):
    """The tagged JSON form of a value, as a table's record form writes it."""
    holder = InfoTable()
    holder.add_field_definition("v", value.get_full_type(), "")
    holder.append_row([value])
    return json.dumps(json.loads(holder.to_json())["rows"][0]["fields"][0], separators=(",", ":"))


@pytest.mark.parametrize("value,expected", VALUES)
def test_every_kind_to_python_and_back(value, expected):
    assert value.to_python() == expected
    # Tagged JSON reads every kind but VARIANT (and NOTHING, which has no field type).
    if not value.is_variant() and value.get_type() != "NOTHING":
        assert HcPrim.from_json(tagged_json(value)).to_bytes() == value.to_bytes()


def test_infotable_values_convert_to_new_tables():
    t = table()
    wrapped = HcPrim.infotable(t)
    inner = wrapped.to_python()
    assert isinstance(inner, InfoTable) and inner.to_json() == t.to_json()
    assert HcPrim.variant(wrapped).to_python().get_rows() == t.get_rows()


def test_rows_columns_cells_and_field_definitions():
    t = table()
    assert t.get_rows() == [{"sensor": "temp-1", "value": 21.5, "at": 1}, {"sensor": "temp-2", "value": 19.0, "at": 2}]
    assert t.get_row(-1) == t.get_rows()[1]
    assert t.get_column("value") == [21.5, 19.0]
    assert str(t.get_cell(1, "sensor")) == 'STRING(STRING, "temp-2")'
    assert t.get_field_definitions()[0] == {"name": "sensor", "base_type": "STRING", "description": "sensor id",
                                            "ordinal": 0, "aspects": {}}
    decoded = InfoTable.from_bytes(t.to_bytes())
    assert decoded.get_rows() == t.get_rows() and decoded.get_field_definitions() == t.get_field_definitions()
    back = InfoTable.from_json(t.to_json())
    assert (back.to_json(), back.get_datashape_name()) == (t.to_json(), "Readings")


def test_rows_pair_values_with_fields_by_position():
    # Two fields, a row of three values: the simple JSON form leaves the third out, and so do rows.
    t = InfoTable.from_bytes(bytes.fromhex("01 0161 00 00 0000  01 0162 00 00 0000 00"
                                           "01 0003 0001 78 0001 79 0001 7a  01 0001 0001 77 00"))
    assert t.get_rows() == [{"a": "x", "b": "y"}, {"a": "w"}]
    assert t.get_column("b") == ["y", None]


def test_append_row_fills_every_kind():
    t = InfoTable()
    kinds = [("blob", "BLOB", HcPrim.blob([1])), ("where", "LOCATION", HcPrim.location(1, 2, 3)),
             ("nested", "INFOTABLE", HcPrim.infotable(table())), ("any", "VARIANT", HcPrim.variant(HcPrim.integer(1)))]
    for name, base_type, _ in kinds:
        t.add_field_definition(name, base_type, "")
    t.append_row([v for _, _, v in kinds])
    decoded = InfoTable.from_bytes(t.to_bytes()).get_row(0)
    assert decoded["blob"] == b"\x01" and decoded["where"]["elevation"] == 3.0 and decoded["any"] == 1
    assert decoded["nested"].get_rows() == table().get_rows()


def test_add_rows_is_all_or_nothing():
    t = table()
    with pytest.raises(ValueError, match="^Missing field: at$"):
        t.add_rows([{"sensor": "a", "value": 1, "at": 3}, {"sensor": "b", "value": 2}])
    with pytest.raises(TypeError, match="^'list' object cannot be converted to 'PyDict'$"):
        t.add_rows(iter([{"sensor": "a", "value": 1, "at": 3}, []]))
    assert t.get_row_count() == 2


ERRORS = [
    (lambda t: t.get_row(2), IndexError, "row index 2 is out of range (2 rows)"),
    (lambda t: t.get_row(-3), IndexError, "row index -3 is out of range (2 rows)"),
    (lambda t: t.get_column("nope"), KeyError, "'nope'"),
    (lambda t: t.get_cell(0, "nope"), KeyError, "'nope'"),
    (lambda t: t.append_row([HcPrim.string("a")]), ValueError,
     "append_row takes one value per field: 3 fields, 1 values"),
    (lambda t: t.append_row([HcPrim.string("a"), HcPrim.integer(1), HcPrim.datetime(1)]), ValueError,
     "value 1 is INTEGER, field value is NUMBER"),
    (lambda t: t.append_row([HcPrim.string("a"), 1.0, HcPrim.datetime(1)]), TypeError,
     "argument 'values': 'float' object cannot be converted to 'HcPrim'"),
    (lambda t: t.append_row("abc"), TypeError, "argument 'values': 'str' object cannot be converted to 'Sequence'"),
    (lambda t: InfoTable.from_json("{"), ValueError,
     "InfoTable JSON deserialization error: EOF while parsing an object at line 1 column 1"),
    (lambda t: HcPrim.from_json('{"INTEGER":["LONG",5]}'), ValueError, "HcPrim JSON deserialization error: "),
    (lambda t: HcPrim.variant(5), TypeError, "argument 'value': 'int' object cannot be converted to 'HcPrim'"),
    (lambda t: HcPrim.infotable(None), TypeError,
     "argument 'table': 'NoneType' object cannot be converted to 'InfoTable'"),
]


@pytest.mark.parametrize("call,error,text", ERRORS)
def test_errors(call, error, text):
    t = table()
    with pytest.raises(error) as e:
        call(t)
    assert str(e.value).startswith(text)
    assert t.get_row_count() == 2


def test_definitions_as_data():
    prop = HcyProperty.from_json('{"name":"t","baseType":"NUMBER","aspects":{"units":"C","isLogged":true},'
                                 '"pushType":"VALUE","pushThreshold":0.5,"startType":"readEdgeValue"}')
    assert (prop.get_push_type(), prop.get_start_type(), prop.get_aspects()) == (
        "VALUE", "readEdgeValue", {"units": "C", "isLogged": True})
    field = '{"name":"i","description":"","baseType":"STRING","aspects":{}}'
    service = HcyService.from_json('{"name":"s","description":"d","aspects":{"isAsync":false},"Inputs":'
                                   '{"fieldDefinitions":{"i":' + field + '}},"Outputs":{"name":"o","aspects":{},'
                                   '"baseType":"STRING","fieldDefinitions":{}}}')
    assert service.get_aspects() == {"isAsync": False}
    assert service.get_inputs() == [{"name": "i", "base_type": "STRING", "description": "", "ordinal": 0,
                                     "aspects": {}}]
    assert service.get_output() == {"name": "o", "base_type": "STRING", "aspects": {}, "field_definitions": []}
    no_inputs = HcyService.from_json('{"name":"s","description":"","aspects":{},"Inputs":{},"Outputs":'
                                     '{"name":"o","aspects":{},"baseType":"NOTHING","fieldDefinitions":{}}}')
    assert no_inputs.get_inputs() is None
    event = HcyEvent.from_json('{"name":"e","description":"d","aspects":{},"EventData":{"name":"Alarm",'
                               '"aspects":{},"fieldDefinitions":{"i":' + field + '}}}')
    assert (event.get_data_shape_name(), event.get_fields(), event.get_aspects()) == (
        "Alarm", service.get_inputs(), {})
