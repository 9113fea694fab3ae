"""HcyMessage: decoding into the four kinds, the header's values and the fields as Python values, builders,
reply, from_buffer, copy and pickle, and the binding's texts (descriptions and decoding errors are pinned in the
C++ suites)."""

import copy
import pickle

import pytest

from veltrac import HcPrim, HcyMessage, InfoTable, MessageCode

from test_entities import ENTITIES
from test_infotable import readings
from test_primitive import Idx


def header(code, request_id=7, endpoint=0, session_id=0, version=1):
    return (bytes([version, code]) + request_id.to_bytes(4, "big") + endpoint.to_bytes(4, "big")
            + session_id.to_bytes(4, "big") + b"\x00")


AUTH = bytes.fromhex("01 14 00000007 00000000 FFFFFFFF 00" "01 06 617070 4B6579 00")
REQUEST = header(3, request_id=0x1234, endpoint=2, session_id=0xFFFFFFFF) + bytes.fromhex(
    "14 07 50756D702D3037 02 08 5365745370656564 01 05 7472616365 02 6131 FF")
BIND = header(11) + bytes.fromhex("00 0002 0161 026263")
RESPONSE = header(64) + bytes.fromhex("00 FF")
KINDS = {"Request": REQUEST, "Response": RESPONSE, "Auth": AUTH, "Bind": BIND}


@pytest.mark.parametrize("data,fields", [
    (REQUEST, {"get_message_type": "Request", "get_version": 1, "get_code": "HCY_POST", "get_code_value": 3,
               "get_request_id": 0x1234, "get_endpoint": 2, "get_session_id": 0xFFFFFFFF, "get_entity_type": 20,
               "get_entity_name": "Pump-07", "get_characteristic_type": 2, "get_characteristic_name": "SetSpeed",
               "get_headers": [("trace", "a1")], "get_params": None}),
    (RESPONSE, {"get_message_type": "Response", "get_code": "HCY_SUCCESS", "get_reason": None, "get_params": None}),
    (header(0x84, request_id=0xFFFFFFFF, endpoint=0x80000000) + b"\x01\x00\xff",
     {"get_code": "HCY_NOT_FOUND", "get_code_value": 132, "get_reason": "", "get_request_id": 4294967295,
      "get_endpoint": 2147483648}),
    (AUTH, {"get_message_type": "Auth", "get_claim_name": "appKey", "get_claim_value": "",
            "get_session_id": 4294967295}),
    (BIND, {"get_message_type": "Bind", "get_code": "HCY_UNBIND", "get_names": ["a", "bc"], "get_binder_name": None,
            "get_binder_type": None}),
    (header(10, version=7) + bytes.fromhex("01 01 6e 00 0000"),
     {"get_version": 7, "get_binder_name": "n", "get_binder_type": "", "get_names": []}),
    (header(1) + bytes([0, 2]) + "é".encode() + bytes([1, 3]) + "€".encode() + bytes([0, 0xFF]),
     {"get_entity_name": "é", "get_characteristic_name": "€"}),
])
def test_decoded_fields(data, fields):
    m = HcyMessage.from_bytes(data + b"\x00\xff junk")  # bytes after the message are ignored
    kind = m.get_message_type()
    assert [m.is_request(), m.is_response(), m.is_auth(), m.is_bind()] == [k == kind for k in KINDS]
    assert (str(m), repr(m), m.to_bytes()) == (m.short_description(), f"HcyMessage({kind})", data)
    assert {name: getattr(m, name)() for name in fields} == fields


ACCESSORS = {**dict.fromkeys(["get_entity_type", "get_entity_name", "get_characteristic_type",
                              "get_characteristic_name", "get_headers"], "Request"),
             "get_reason": "Response", "get_claim_name": "Auth", "get_claim_value": "Auth",
             **dict.fromkeys(["get_binder_name", "get_binder_type", "get_names"], "Bind"),
             "get_params": "Request or Response"}


@pytest.mark.parametrize("kind", KINDS)
def test_accessors_of_other_kinds_name_method_and_kind(kind):
    m = HcyMessage.from_bytes(KINDS[kind])
    for method, wanted in ACCESSORS.items():
        if kind in wanted:
            getattr(m, method)()
            continue
        with pytest.raises(ValueError) as e:
            getattr(m, method)()
        a = "an" if wanted.startswith("A") else "a"
        assert str(e.value) == f"HcyMessage.{method}() needs {a} {wanted} message, not {'an' if kind == 'Auth' else 'a'} {kind}"


def test_built_messages_have_the_wire_bytes_and_decode_to_their_fields():
    request = HcyMessage.build_request(MessageCode.HCY_POST, 0x1234, 20, "Pump-07", 2, "SetSpeed",
                                       iter([["trace", "a1"]]), endpoint=2, session_id=0xFFFFFFFF)
    assert request.to_bytes() == REQUEST
    assert HcyMessage.build_bind(7, ("a", "bc"), unbind=True).to_bytes() == BIND
    assert HcyMessage.build_response("HCY_SUCCESS", 7).to_bytes() == RESPONSE
    assert HcyMessage.build_auth(7, "").to_bytes() == AUTH
    key = "k€y" * 50
    assert HcyMessage.from_bytes(HcyMessage.build_auth(app_key=key, request_id=1).to_bytes()).get_claim_value() == key
    for request_id, expected in [(True, 1), (Idx(9), 9), (4294967295, 4294967295)]:
        assert HcyMessage.build_auth(request_id, "k").get_request_id() == expected

    table = readings()
    with_table = HcyMessage.build_request(3, 1, 0, "e", 1, "c", [("h", "v"), ("h", "w")], table)
    decoded = HcyMessage.from_bytes(with_table.to_bytes())
    assert decoded.get_headers() == [("h", "v"), ("h", "w")]
    assert decoded.get_params().to_bytes() == table.to_bytes()
    table.add_row({"sensor": "temp-3", "value": 1.0, "at": 3})  # the message holds its own copy
    assert decoded.get_params().get_row_count() == with_table.get_params().get_row_count() == 2

    bind = HcyMessage.from_bytes(HcyMessage.build_bind(9, [], "gw", "Gateway", session_id=3).to_bytes())
    assert (bind.get_code(), bind.get_binder_name(), bind.get_binder_type(), bind.get_session_id()) == (
        "HCY_BIND", "gw", "Gateway", 3)


def test_reply_answers_the_request():
    request = HcyMessage.build_request("HCY_GET", 41, 20, "Pump-07", 1, "speed", endpoint=5, session_id=6)
    r = request.reply()
    assert (r.get_code(), r.get_request_id(), r.get_endpoint(), r.get_session_id(), r.get_params()) == (
        "HCY_SUCCESS", 41, 5, 6, None)
    decoded = HcyMessage.from_bytes(request.reply(MessageCode.HCY_NOT_FOUND, "no such property", readings()).to_bytes())
    assert (decoded.get_code(), decoded.get_reason(), decoded.get_params().get_row_count()) == (
        "HCY_NOT_FOUND", "no such property", 2)


@pytest.mark.parametrize("build,text", [
    (lambda: HcyMessage.build_request("HCY_SUCCESS", 1, 0, "e", 1, "c"),
     "HCY_SUCCESS (64) is not a request code (HCY_GET, HCY_PUT, HCY_POST or HCY_DEL)"),
    (lambda: HcyMessage.build_request("HCY_GOT", 1, 0, "e", 1, "c"), 'Unknown message code: "HCY_GOT"'),
    (lambda: HcyMessage.build_request(64, 1, 0, "e", 1, "c"),
     "HCY_SUCCESS (64) is not a request code (HCY_GET, HCY_PUT, HCY_POST or HCY_DEL)"),
    (lambda: HcyMessage.build_request(300, 1, 0, "e", 1, "c"), "Unknown message code: 300"),
    (lambda: HcyMessage.build_response(5, 1), "Unknown message code: 5"),
    (lambda: HcyMessage.build_response(MessageCode.HCY_BIND, 1), "HCY_BIND (10) is not a response code (64 and above)"),
    (lambda: HcyMessage.build_request(1, 1, 1, "e", 1, "c"), "Message build error: "),
    (lambda: HcyMessage.build_bind(1, [""] * 65536), "Message build error: "),
    (lambda: HcyMessage.build_bind(1, [], "gw"), "binder_name and binder_type are given together or not at all"),
])
def test_build_errors(build, text):
    with pytest.raises(ValueError) as e:
        build()
    assert str(e.value).startswith(text) and (text.endswith(": ") or str(e.value) == text)


# The same request with its arguments placed in different ways: by position, by keyword in any order, with the
# same keyword names after different counts of positional arguments.
GET_ARGS = ("HCY_GET", 41, 20, "Pump-07", 1, "speed")
GET_BUILDS = [
    lambda: HcyMessage.build_request(*GET_ARGS, endpoint=5, session_id=6),
    lambda: HcyMessage.build_request(*GET_ARGS, session_id=6, endpoint=5),
    lambda: HcyMessage.build_request(*GET_ARGS, (), endpoint=5, session_id=6),
    lambda: HcyMessage.build_request(*GET_ARGS, (), None, session_id=6, endpoint=5),
    lambda: HcyMessage.build_request(*GET_ARGS[:4], characteristic_name="speed", characteristic_type=1,
                                     session_id=6, endpoint=5),
    lambda: HcyMessage.build_request(**dict(zip(["code", "request_id", "entity_type", "entity_name",
                                                 "characteristic_type", "characteristic_name"], GET_ARGS)),
                                     endpoint=5, session_id=6),
]


def test_build_request_places_arguments_however_given():
    # Each call site twice in turn, so that a remembered placement of keywords is used and replaced.
    expected = GET_BUILDS[0]().to_bytes()
    for _ in range(2):
        for build in GET_BUILDS:
            assert build().to_bytes() == expected
    with pytest.raises(TypeError, match="got multiple values for argument 'headers'"):
        HcyMessage.build_request(*GET_ARGS, (), headers=(), endpoint=5)


def test_dropped_messages_leave_new_ones_intact():
    # Messages are made and dropped in bursts larger than any memory kept for reuse, failed builds among them.
    kept = []
    for i in range(100):
        kept.append(HcyMessage.build_request(1, i, 20, f"entity-{i}", 1, "c" * i))
        with pytest.raises(ValueError):
            HcyMessage.build_request(1, i, 1, "e", 1, "c")
        if i % 3:
            kept.pop(0)
    for m in kept:
        i = m.get_request_id()
        assert (m.get_entity_name(), m.get_characteristic_name()) == (f"entity-{i}", "c" * i)
    del kept
    assert HcyMessage.from_bytes(REQUEST).to_bytes() == REQUEST


def test_from_buffer_walks_messages_without_copying_first():
    stream = bytearray(REQUEST + RESPONSE + BIND)
    offset, kinds = 0, []
    while offset < len(stream):
        message, taken = HcyMessage.from_buffer(memoryview(stream), offset)
        kinds.append(message.get_message_type())
        offset += taken
    assert (kinds, offset) == (["Request", "Response", "Bind"], len(stream))
    assert HcyMessage.from_buffer(REQUEST + b"tail")[1] == len(REQUEST)
    for bad, error, text in [
        ((REQUEST, len(REQUEST) + 1), ValueError, f"offset {len(REQUEST) + 1} is outside the data ({len(REQUEST)} bytes)"),
        ((REQUEST, -1), ValueError, f"offset -1 is outside the data ({len(REQUEST)} bytes)"),
        ((REQUEST, len(REQUEST)), ValueError, "Message deserialization error: "),
        (("text",), TypeError, "argument 'data': a bytes-like object is required, not 'str'"),
    ]:
        with pytest.raises(error) as e:
            HcyMessage.from_buffer(*bad)
        assert str(e.value).startswith(text) and (text.endswith(": ") or str(e.value) == text)


def table_with_aspects():
    """A named table whose field carries an aspect (units = "C"); the binary form has no shape name."""
    t = InfoTable("Readings")
    t.__setstate__(bytes.fromhex("01 0161 00 00 0001 05") + b"units" + bytes.fromhex("00 0143 00 01 0001 00 0178 00"))
    return t


def holding(value, name=None):
    """A table named `name` whose one row holds `value` (an HcPrim) in a field of its base type."""
    t = InfoTable(name)
    t.add_field_definition("v", "VARIANT" if value.is_variant() else value.get_type(), "")
    t.append_row([value])
    return t


def nested_names(value):
    """What shows the shape names of the tables inside a value (the JSON record form carries them)."""
    if isinstance(value, HcyMessage):
        params = value.get_params()
        return params.to_json() if isinstance(params, InfoTable) else None
    return value.to_json() if isinstance(value, (InfoTable, HcPrim)) else None


@pytest.mark.parametrize("make", [
    lambda: HcPrim.from_bytes(bytes.fromhex("12 16 00000005")),
    lambda: HcyMessage.from_bytes(REQUEST),
    lambda: HcyMessage.build_response(64, 1, "r", readings()),
    lambda: HcyMessage.build_request(2, 7, 0, "e", 1, "c", params=readings()),
    lambda: HcPrim.infotable(readings()),
    lambda: HcPrim.variant(HcPrim.infotable(holding(HcPrim.infotable(readings()), "Middle"))),
    lambda: holding(HcPrim.variant(HcPrim.infotable(readings())), "Outer"),
    table_with_aspects,
    *[lambda text=text, cls=cls: cls.from_json(text) for cls, text, *_ in ENTITIES],
])
def test_copy_and_pickle_keep_everything(make):
    original = make()
    for clone in (copy.copy(original), copy.deepcopy(original), pickle.loads(pickle.dumps(original))):
        assert type(clone) is type(original) and clone is not original
        assert clone.to_bytes() == original.to_bytes() and repr(clone) == repr(original)
        # The shape names of tables inside (parameter tables, tables in values): the binary form has none.
        assert nested_names(clone) == nested_names(original)
        if isinstance(original, InfoTable):
            assert clone.to_json() == original.to_json()  # shape name, descriptions and aspects


def variants(depth):
    value = HcPrim.integer(7)
    for _ in range(depth):
        value = HcPrim.variant(value)
    return value


# The deepest value from_bytes reads pickles; one level more fails at dumps, not at loads.
@pytest.mark.parametrize("make, deepest", [
    (variants, 200),
    (lambda depth: holding(variants(depth)), 199),
    (lambda depth: HcyMessage.build_response(64, 1, "r", holding(variants(depth))), 199),
])
def test_pickle_refuses_at_dumps_what_cannot_be_loaded(make, deepest):
    value = make(deepest)
    assert pickle.loads(pickle.dumps(value)).to_bytes() == value.to_bytes()
    with pytest.raises(ValueError, match="^cannot pickle .*: values nested more than 200 levels deep"):
        pickle.dumps(make(deepest + 1))
