"""Entity definition classes: HcyProperty, HcyService, HcyEvent."""

import pytest

from veltrac import HcyEvent, HcyProperty, HcyService

PROPERTY = (
    '{"name":"temp","pushThreshold":0.0,"pushType":"VALUE","startType":"readEdgeValue",'
    '"aspects":{"units":"°C","isLogged":true},"baseType":"NUMBER"}'
)
SERVICE = (
    '{"name":"SetSpeed","description":"Sets the speed","aspects":{"isAsync":false},'
    '"Inputs":{"fieldDefinitions":{"rpm":{"name":"rpm","description":"","baseType":"INTEGER",'
    '"aspects":{"isRequired":true}}}},'
    '"Outputs":{"name":"result","baseType":"BOOLEAN","fieldDefinitions":{}}}'
)
EVENT = (
    '{"name":"Overheat","aspects":{},"description":"Too hot","EventData":{"name":"HeatData",'
    '"aspects":{"dataShape":"HeatData"},"fieldDefinitions":{"t":{"name":"t","description":"",'
    '"baseType":"NUMBER","aspects":{}}}}}'
)

CLASSES = [
    (HcyProperty, PROPERTY, "Property"),
    (HcyService, SERVICE, "Service"),
    (HcyEvent, EVENT, "Event"),
]


def prop(threshold="0", name='"p"', push="NEVER", start="useDefaultValue", base="STRING"):
    return HcyProperty.from_json(
        f'{{"name":{name},"pushThreshold":{threshold},"pushType":"{push}","startType":"{start}",'
        f'"aspects":{{}},"baseType":"{base}"}}'
    )


@pytest.mark.parametrize("cls, text, _", CLASSES)
def test_json_and_bytes_round_trip(cls, text, _):
    obj = cls.from_json(text)
    assert type(obj) is cls
    assert obj.to_json() == text
    assert obj.to_bytes() == text.encode()
    assert cls.from_bytes(text.encode()).to_json() == text
    assert cls.from_json(json_str=text).to_json() == text
    assert cls.from_bytes(data=text.encode()).to_json() == text
    # Also reachable through an instance.
    assert obj.from_json(text).to_json() == text


def test_member_order_is_normalised():
    svc = HcyService.from_json(
        '{"Outputs":{"fieldDefinitions":{},"baseType":"BOOLEAN","name":"result"},"extra":1,'
        '"Inputs":{"fieldDefinitions":{"rpm":{"aspects":{"isRequired":true},"baseType":"INTEGER",'
        '"description":"","name":"rpm"}}},"aspects":{"isAsync":false},'
        '"description":"Sets the speed","name":"SetSpeed"}'
    )
    assert svc.to_json() == SERVICE
    evt = HcyEvent.from_json(
        '{"EventData":{"fieldDefinitions":{"t":{"name":"t","description":"","baseType":"NUMBER","aspects":{}}},'
        '"aspects":{"isSystemShape":true},"name":"HeatData"},"description":"Too hot","aspects":{},"name":"Overheat"}'
    )
    assert evt.to_json() == EVENT


def test_accessors():
    p = HcyProperty.from_json(PROPERTY)
    assert p.get_name() == "temp"
    assert p.get_base_type() == "NUMBER"
    assert p.get_push_threshold() == 0.0 and isinstance(p.get_push_threshold(), float)
    assert p.should_read_edge_value() is True
    assert prop().should_read_edge_value() is False
    assert prop("7").get_push_threshold() == 7.0
    s = HcyService.from_json(SERVICE)
    assert (s.get_name(), s.get_description()) == ("SetSpeed", "Sets the speed")
    e = HcyEvent.from_json(EVENT)
    assert (e.get_name(), e.get_description()) == ("Overheat", "Too hot")
    assert not hasattr(p, "get_description")
    assert not hasattr(s, "get_base_type")
    assert not hasattr(e, "get_push_threshold")


@pytest.mark.parametrize(
    "threshold, shown",
    [
        ("0", "0"),
        ("0.0", "0"),
        ("-0.0", "-0"),
        ("-0", "-0"),
        ("2.5", "2.5"),
        ("100", "100"),
        ("1e2", "100"),
        ("0.001", "0.001"),
        ("1e-7", "0.0000001"),
        ("-1.25e-5", "-0.0000125"),
        ("123456.789", "123456.789"),
        ("1e21", "1000000000000000000000"),
        ("18446744073709551616", "18446744073709552000"),
        ("0.1", "0.1"),
    ],
)
def test_property_text_form(threshold, shown):
    p = prop(threshold, name='"te\'mp"', base="NUMBER")
    text = f"HcyProperty(name='te'mp', base_type='NUMBER', threshold={shown})"
    assert str(p) == text
    assert repr(p) == text


def test_service_and_event_text_form():
    s = HcyService.from_json(SERVICE.replace('"Sets the speed"', '"it\'s \\"fast\\"\\n"'))
    assert str(s) == "HcyService(name='SetSpeed', description='it's \"fast\"\n')"
    assert repr(s) == str(s)
    e = HcyEvent.from_json(EVENT)
    assert repr(e) == str(e) == "HcyEvent(name='Overheat', description='Too hot')"


@pytest.mark.parametrize("cls, text, kind", CLASSES)
@pytest.mark.parametrize(
    "data",
    [b"\xff", b'{"name":"\xc3"}', b"\xed\xa0\x80", b'{"name":"a\xe2\x82"'],
)
def test_from_bytes_refuses_invalid_utf8(cls, text, kind, data):
    with pytest.raises(ValueError) as e:
        cls.from_bytes(data)
    assert str(e.value) == f"{kind} data is not valid UTF-8 JSON"


@pytest.mark.parametrize("cls, text, kind", CLASSES)
@pytest.mark.parametrize(
    "bad, error",
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        ("{}", "missing field `name` at line 1 column 2"),
        ("{} {}", "missing field `name` at line 1 column 2"),
        ('"x"', 'invalid type: string "x", expected struct Hcy{cls} at line 1 column 3'),
        ('{"name":1}', "invalid type: integer `1`, expected a string at line 1 column 9"),
        ("{,}", "key must be a string at line 1 column 2"),
    ],
)
def test_from_json_errors(cls, text, kind, bad, error):
    prefix = f"{kind} JSON deserialization error: "
    for call, arg in ((cls.from_json, bad), (cls.from_bytes, bad.encode())):
        with pytest.raises(ValueError) as e:
            call(arg)
        assert str(e.value) == prefix + error.replace("{cls}", kind)


@pytest.mark.parametrize("cls, text, kind", CLASSES)
def test_trailing_value(cls, text, kind):
    with pytest.raises(ValueError) as e:
        cls.from_json(text + "\n {}")
    assert str(e.value) == f"{kind} JSON deserialization error: trailing characters at line 2 column 2"


def test_class_specific_errors():
    cases = [
        (HcyProperty, '["p",1,"NEVER","useDefaultValue",{}]',
         "invalid length 5, expected struct HcyProperty with 6 elements at line 1 column 36"),
        (HcyProperty, '{"pushType":"always"}',
         "unknown variant `always`, expected one of `NEVER`, `ALWAYS`, `VALUE` at line 1 column 20"),
        (HcyService, '["s","d",{},{}]', "invalid length 4, expected struct HcyService with 5 elements at line 1 column 15"),
        (HcyEvent, '{"name":"e","x":1}',
         "unknown field `x`, expected one of `name`, `aspects`, `description`, `EventData` at line 1 column 15"),
        (HcyEvent, "[]", "invalid type: sequence, expected struct HcyEvent at line 1 column 0"),
    ]
    for cls, bad, error in cases:
        kind = cls.__name__[3:]
        with pytest.raises(ValueError) as e:
            cls.from_json(bad)
        assert str(e.value) == f"{kind} JSON deserialization error: {error}"


@pytest.mark.parametrize("cls", [HcyProperty, HcyService, HcyEvent])
def test_argument_errors(cls):
    name = cls.__name__
    cases = [
        (lambda: cls.from_json(b"{}"), TypeError, "argument 'json_str': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: cls.from_json(None), TypeError, "argument 'json_str': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: cls.from_bytes("{}"), TypeError, "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
        (lambda: cls.from_bytes(bytearray(b"{}")), TypeError,
         "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
        (lambda: cls.from_json(), TypeError, f"{name}.from_json() missing 1 required positional argument: 'json_str'"),
        (lambda: cls.from_bytes("a", "b"), TypeError,
         f"{name}.from_bytes() takes 1 positional arguments but 2 were given"),
        (lambda: cls.from_json(text="{}"), TypeError, f"{name}.from_json() got an unexpected keyword argument 'text'"),
        (lambda: cls.from_json("{}", json_str="{}"), TypeError,
         f"{name}.from_json() got multiple values for argument 'json_str'"),
    ]
    for call, exc, text in cases:
        with pytest.raises(exc) as e:
            call()
        assert str(e.value) == text
    obj = {HcyProperty: prop(), HcyService: HcyService.from_json(SERVICE), HcyEvent: HcyEvent.from_json(EVENT)}[cls]
    with pytest.raises(TypeError) as e:
        obj.to_json(1)
    assert str(e.value) == f"{name}.to_json() takes no arguments (1 given)"


def test_class_frame():
    methods = {
        HcyProperty: ["from_json", "from_bytes", "to_bytes", "get_name", "get_base_type", "get_push_threshold",
                      "should_read_edge_value", "to_json"],
        HcyService: ["from_json", "from_bytes", "to_bytes", "get_name", "get_description", "to_json"],
        HcyEvent: ["from_json", "from_bytes", "to_bytes", "get_name", "get_description", "to_json"],
    }
    for cls, names in methods.items():
        # The specified methods come first, in their order; the additions follow them.
        assert [n for n in vars(cls) if not n.startswith("__")][:len(names)] == names
        assert cls.__module__ == "veltrac._native" and cls.__qualname__ == cls.__name__
        assert cls.__doc__ is None
        for n in names:
            assert getattr(cls, n).__doc__ is None
        assert cls.from_json.__text_signature__ == "(json_str)"
        assert cls.from_bytes.__text_signature__ == "(data)"
        assert cls.to_json.__text_signature__ == "($self)"
        with pytest.raises(TypeError) as e:
            cls()
        assert str(e.value) == f"No constructor defined for {cls.__name__}"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})

