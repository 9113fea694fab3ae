"""The entity definition classes HcyProperty, HcyService and HcyEvent, one table for the three: JSON text
or UTF-8 bytes in, the same text out, accessors, text forms, the definitions as Python data and the binding's
error mapping."""

import pytest

from veltrac import DecodeError, HcyEvent, HcyProperty, HcyService, IncompleteError

PROPERTY = (
    '{"name":"temp","pushThreshold":0.0,"pushType":"VALUE","startType":"readEdgeValue",'
    '"aspects":{"units":"°C","isLogged":true},"baseType":"NUMBER"}'
)
SERVICE = (
    '{"name":"SetSpeed","description":"it\'s \\"fast\\"\\n","aspects":{"isAsync":false},'
    '"Inputs":{"fieldDefinitions":{"rpm":{"name":"rpm","description":"","baseType":"INTEGER",'
    '"aspects":{"isRequired":true}}}},'
    '"Outputs":{"name":"result","baseType":"BOOLEAN","fieldDefinitions":{}}}'
)
EVENT = (
    '{"name":"Overheat","aspects":{},"description":"Too hot","EventData":{"name":"HeatData",'
    '"aspects":{"dataShape":"HeatData"},"fieldDefinitions":{"t":{"name":"t","description":"",'
    '"baseType":"NUMBER","aspects":{}}}}}'
)

FIELD = {"name": "t", "base_type": "NUMBER", "description": "", "ordinal": 0, "aspects": {}}
# class, canonical text, kind named in the error texts, accessor results, text form
ENTITIES = [
    (HcyProperty, PROPERTY, "Property",
     {"get_name": "temp", "get_base_type": "NUMBER", "get_push_threshold": 0.0, "should_read_edge_value": True,
      "get_push_type": "VALUE", "get_start_type": "readEdgeValue", "get_aspects": {"units": "°C", "isLogged": True}},
     "HcyProperty(name='temp', base_type='NUMBER', threshold=0)"),
    (HcyService, SERVICE, "Service",
     {"get_name": "SetSpeed", "get_description": 'it\'s "fast"\n', "get_aspects": {"isAsync": False},
      "get_inputs": [dict(FIELD, name="rpm", base_type="INTEGER", aspects={"isRequired": True})],
      "get_output": {"name": "result", "base_type": "BOOLEAN", "aspects": {}, "field_definitions": []}},
     "HcyService(name='SetSpeed', description='it's \"fast\"\n')"),
    (HcyEvent, EVENT, "Event", {"get_name": "Overheat", "get_description": "Too hot", "get_aspects": {},
                                "get_data_shape_name": "HeatData", "get_fields": [FIELD]},
     "HcyEvent(name='Overheat', description='Too hot')"),
]


@pytest.mark.parametrize("cls,text,kind,fields,shown", ENTITIES, ids=lambda v: getattr(v, "__name__", ""))
def test_round_trip_accessors_text_form_and_errors(cls, text, kind, fields, shown):
    for obj in (cls.from_json(text), cls.from_bytes(text.encode()), cls.from_json(json_str=text),
                cls.from_bytes(data=text.encode()), cls.from_json(text).from_json(text)):
        assert type(obj) is cls
        assert (obj.to_json(), obj.to_bytes()) == (text, text.encode())
    assert {name: getattr(obj, name)() for name in fields} == fields
    assert str(obj) == repr(obj) == shown
    # The codec's text follows the class's prefix (the texts themselves are pinned in the C++ suites).
    for call, arg in ((cls.from_json, "{}"), (cls.from_bytes, b"{}"), (cls.from_json, text + " {}")):
        with pytest.raises(ValueError, match=f"^{kind} JSON deserialization error: "):
            call(arg)
    for data, error, offset in ((b'{"name":"p"}\xc0\x80', DecodeError, 12), (b'{"n\xc3', IncompleteError, 3)):
        with pytest.raises(DecodeError) as e:  # the validation itself is the codec's, tested there
            cls.from_bytes(data)
        assert str(e.value) == f"{kind} data is not valid UTF-8 JSON"
        assert (type(e.value), e.value.kind, e.value.offset) == (error, "Utf8", offset)


@pytest.mark.parametrize("threshold,shown", [
    ("0", "0"), ("-0.0", "-0"), ("2.5", "2.5"), ("1e2", "100"), ("0.001", "0.001"), ("1e-7", "0.0000001"),
    ("-1.25e-5", "-0.0000125"), ("123456.789", "123456.789"), ("1e21", "1000000000000000000000"),
    ("18446744073709551616", "18446744073709552000"), ("0.1", "0.1"),
])
def test_property_threshold_text(threshold, shown):
    p = HcyProperty.from_json(f'{{"name":"te\'mp","pushThreshold":{threshold},"pushType":"NEVER",'
                              '"startType":"useDefaultValue","aspects":{},"baseType":"STRING"}')
    assert str(p) == f"HcyProperty(name='te'mp', base_type='STRING', threshold={shown})"
    assert p.should_read_edge_value() is False and p.get_push_threshold() == float(threshold)


def test_service_without_inputs():
    no_inputs = HcyService.from_json('{"name":"s","description":"","aspects":{},"Inputs":{},"Outputs":'
                                     '{"name":"o","aspects":{},"baseType":"NOTHING","fieldDefinitions":{}}}')
    assert no_inputs.get_inputs() is None
