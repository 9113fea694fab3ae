"""Property-based tests: canonical encodings of random values, tables and messages (built here by a small
reference encoder) decode and encode back byte for byte; values built from Python through the factories
and add_row encode as the reference encoder says; arbitrary or damaged input to every decoder raises
ValueError and nothing else."""

import json
import math
import os
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from veltrac import HcPrim, HcyEvent, HcyMessage, HcyProperty, HcyService, InfoTable

settings.register_profile(
    "veltrac",
    max_examples=150,
    deadline=None,
    derandomize=os.environ.get("CI") == "true",
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.load_profile("veltrac")

# ---- reference encoder -------------------------------------------------------------------------------

STRING_CODES = [0, 7, 8, 9, 11, 12, 13, 14, 15, 16, 20, 50, 51, 52, 100, 101, 102, 104, 105, 106, 107, 108,
                109, 110, 111, 112, 113, 114, 115, 116, 117, 118, 119, 120]
NULL_CODES = [4, 17, 121]
ALL_CODES = STRING_CODES + NULL_CODES + [255, 1, 2, 3, 5, 6, 10, 18, 21, 22, 23]
ENTITY_TYPES = [0, 10, 11, 12, 13, 14, 15, 20, 21, 30, 31, 32, 33, 34, 35, 36, 39, 40, 50, 51, 52, 53, 54, 60,
                61, 70, 80]
RESPONSE_CODES = [64, 65, 66, 68, 70, 96, 97, 98, 99, 100, 101, 103, 128, 129, 130, 131, 132, 133, 134, 136,
                  137, 140, 141, 143, 160, 161, 162, 163, 164, 165, 224, 225, 226, 227, 228, 240, 241]


def lp(text: str) -> bytes:
    """Length-prefixed UTF-8 string: one length byte below 128, else four with the top bit set."""
    b = text.encode()
    n = len(b)
    return (bytes([n]) if n < 128 else struct.pack(">I", n | 0x80000000)) + b


def u16(n):
    return struct.pack(">H", n)


texts = st.text(max_size=20) | st.text(min_size=126, max_size=140)
f64_bits = st.binary(min_size=8, max_size=8)  # any bit pattern, NaN payloads included


@st.composite
def prims(draw, depth=0):
    """Canonical binary form of a random primitive, type code first."""
    kinds = ["nothing", "string", "number", "integer", "long", "boolean", "location", "blob", "datetime"]
    if depth < 3:
        kinds += ["variant", "infotable"]
    kind = draw(st.sampled_from(kinds))
    if kind == "nothing":
        return b"\xff"
    if kind == "string":
        return bytes([draw(st.sampled_from(STRING_CODES))]) + lp(draw(texts))
    if kind == "number":
        return b"\x01" + draw(f64_bits)
    if kind == "integer":
        return b"\x16" + struct.pack(">i", draw(st.integers(-(2**31), 2**31 - 1)))
    if kind == "long":
        return b"\x17" + struct.pack(">q", draw(st.integers(-(2**63), 2**63 - 1)))
    if kind == "datetime":
        return b"\x03" + struct.pack(">q", draw(st.integers(-(2**63), 2**63 - 1)))
    if kind == "boolean":
        return b"\x02" + bytes([draw(st.booleans())])
    if kind == "location":
        return b"\x06" + draw(f64_bits) + draw(f64_bits) + draw(f64_bits)
    if kind == "blob":
        data = draw(st.binary(max_size=40))
        return bytes([draw(st.sampled_from([21, 10]))]) + struct.pack(">I", len(data) | 0x80000000) + data
    if kind == "variant":
        return b"\x12" + draw(prims(depth + 1))
    return b"\x05" + draw(tables(depth + 1))


@st.composite
def aspects(draw, depth):
    names = draw(st.lists(texts, max_size=3, unique=True))
    return u16(len(names)) + b"".join(lp(n) + draw(prims(depth)) for n in names)


@st.composite
def tables(draw, depth=0):
    """Canonical binary form of a random table: entries with unique names, rows of any values."""
    out = b""
    for name in draw(st.lists(texts, max_size=4, unique=True)):
        out += b"\x01" + lp(name) + lp(draw(texts)) + bytes([draw(st.sampled_from(ALL_CODES))])
        out += draw(aspects(depth))
    out += b"\x00"
    for row in draw(st.lists(st.lists(prims(depth), max_size=4), max_size=3)):
        out += b"\x01" + u16(len(row)) + b"".join(row)
    return out + b"\x00"


def header(code, request_id, endpoint, session, version):
    return bytes([version, code]) + struct.pack(">III", request_id, endpoint, session) + b"\x00"


u32 = st.integers(0, 2**32 - 1)


@st.composite
def messages(draw):
    """Canonical message: (bytes, kind, request id, endpoint, session id)."""
    kind = draw(st.sampled_from(["Request", "Response", "Auth", "Bind"]))
    rid, ep, sess, ver = draw(u32), draw(u32), draw(u32), draw(st.integers(0, 255))
    params = lambda: b"\x05" + draw(tables()) if draw(st.booleans()) else b"\xff"  # noqa: E731
    if kind == "Request":
        code = draw(st.integers(1, 4))
        heads = draw(st.lists(st.tuples(texts, texts), max_size=3))
        body = (bytes([draw(st.sampled_from(ENTITY_TYPES))]) + lp(draw(texts)) + bytes([draw(st.integers(1, 3))])
                + lp(draw(texts)) + bytes([len(heads)]) + b"".join(lp(a) + lp(b) for a, b in heads) + params())
    elif kind == "Response":
        code = draw(st.sampled_from(RESPONSE_CODES))
        reason = draw(st.none() | texts)
        body = (b"\x00" if reason is None else b"\x01" + lp(reason)) + params()
    elif kind == "Auth":
        code = 20
        body = b"\x01" + lp(draw(texts)) + lp(draw(texts))
    else:
        code = draw(st.sampled_from([10, 11]))
        pair = draw(st.none() | st.tuples(texts, texts))
        names = draw(st.lists(texts, max_size=4))
        body = (b"\x00" if pair is None else b"\x01" + lp(pair[0]) + lp(pair[1])) + u16(len(names))
        body += b"".join(lp(n) for n in names)
    return header(code, rid, ep, sess, ver) + body, kind, rid, ep, sess


# ---- canonical encodings round-trip byte for byte ----------------------------------------------------


@given(prims())
def test_primitive_round_trip(data):
    v = HcPrim.from_bytes(data)
    assert v.to_bytes() == data
    assert HcPrim.from_bytes(data + b"\x00\x01").to_bytes() == data


@given(tables())
def test_table_round_trip(data):
    t = InfoTable.from_bytes(data)
    assert t.to_bytes() == data
    assert t.get_datashape_name() is None
    # Both JSON forms are either refused with ValueError or valid JSON text.
    for write in (t.to_json, t.to_simple_json):
        try:
            text = write()
        except ValueError:
            continue
        json.loads(text)


@given(messages(), st.binary(max_size=8))
def test_message_round_trip(msg, trailing):
    data, kind, rid, ep, sess = msg
    m = HcyMessage.from_bytes(data + trailing)
    assert m.to_bytes() == data
    assert m.get_message_type() == kind
    assert (m.get_request_id(), m.get_endpoint(), m.get_session_id()) == (rid, ep, sess)
    assert [m.is_request(), m.is_response(), m.is_auth(), m.is_bind()] == [
        kind == k for k in ("Request", "Response", "Auth", "Bind")]
    assert str(m) == m.short_description()


# ---- Python values through the factories and add_row -------------------------------------------------

i32 = st.integers(-(2**31), 2**31 - 1)
i64 = st.integers(-(2**63), 2**63 - 1)

FACTORIES = {
    "boolean": (st.booleans(), lambda v: b"\x02" + bytes([v])),
    "integer": (i32, lambda v: b"\x16" + struct.pack(">i", v)),
    "long": (i64, lambda v: b"\x17" + struct.pack(">q", v)),
    "datetime": (i64, lambda v: b"\x03" + struct.pack(">q", v)),
    "number": (st.floats(), lambda v: b"\x01" + struct.pack(">d", v)),
    "string": (st.text(), lambda v: b"\x00" + lp(v)),
    "blob": (st.binary(), lambda v: b"\x15" + struct.pack(">I", len(v) | 0x80000000) + v),
}


@pytest.mark.parametrize("factory", sorted(FACTORIES))
@given(data=st.data())
def test_factory_values(factory, data):
    values, encode = FACTORIES[factory]
    v = data.draw(values)
    p = getattr(HcPrim, factory)(v)
    assert p.to_bytes() == encode(v)
    back = HcPrim.from_bytes(p.to_bytes()).get_value()
    if isinstance(v, float) and math.isnan(v):
        assert math.isnan(back)
    else:
        assert back == v and type(back) is type(v)
    assert str(HcPrim.from_bytes(p.to_bytes())) == str(p)


ROW_TYPES = {
    "STRING": (st.text(), 0, lambda v: lp(v)),
    "NUMBER": (st.floats(allow_nan=False) | st.integers(-(2**53), 2**53), 1, lambda v: struct.pack(">d", v)),
    "BOOLEAN": (st.booleans(), 2, lambda v: bytes([v])),
    "DATETIME": (i64, 3, lambda v: struct.pack(">q", v)),
    "INTEGER": (i32, 22, lambda v: struct.pack(">i", v)),
    "LONG": (i64, 23, lambda v: struct.pack(">q", v)),
}


@st.composite
def built_tables(draw):
    """(field list [(name, type, description)], rows as dicts)."""
    fields = draw(st.lists(st.tuples(st.text(max_size=8), st.sampled_from(sorted(ROW_TYPES)), st.text(max_size=8)),
                           max_size=5, unique_by=lambda f: f[0]))
    rows = [{name: draw(ROW_TYPES[t][0]) for name, t, _ in fields} for _ in range(draw(st.integers(0, 4)))]
    return fields, rows


def simple_value(v):
    if isinstance(v, float) and not math.isfinite(v):
        return 0.0
    return v


@given(built_tables(), st.none() | st.text(max_size=8))
def test_add_row_encodes_like_reference(table_shape, name):
    fields, rows = table_shape
    t = InfoTable(name)
    for fname, ftype, desc in fields:
        t.add_field_definition(fname, ftype.lower(), desc)
    for row in rows:
        t.add_row(dict(row, _unrelated_key=object()))
    expected = b"".join(b"\x01" + lp(f) + lp(d) + bytes([ROW_TYPES[ty][1]]) + b"\x00\x00" for f, ty, d in fields)
    expected += b"\x00"
    for row in rows:
        expected += b"\x01" + u16(len(fields))
        for f, ty, _ in fields:
            expected += bytes([ROW_TYPES[ty][1]]) + ROW_TYPES[ty][2](row[f])
    expected += b"\x00"
    assert t.to_bytes() == expected
    assert (t.get_row_count(), t.get_field_count(), t.get_datashape_name()) == (len(rows), len(fields), name)
    assert InfoTable.from_bytes(expected).to_bytes() == expected

    simple = json.loads(t.to_simple_json())
    assert [{k: simple_value(v) for k, v in r.items()} for r in rows] == simple["rows"]
    assert simple["dataShape"].get("name") == name
    record = json.loads(t.to_json())
    assert list(record["datashape"]["entries"]) == [f for f, _, _ in fields]


# ---- arbitrary and damaged input raises ValueError only ----------------------------------------------

DECODERS = [HcPrim.from_bytes, InfoTable.from_bytes, HcyMessage.from_bytes]
JSON_READERS = [HcyProperty, HcyService, HcyEvent]


def decode_or_value_error(fn, data):
    try:
        fn(data)
    except ValueError:
        pass


@pytest.mark.parametrize("decode", DECODERS, ids=lambda f: f.__qualname__)
@given(st.binary(max_size=200))
def test_random_bytes_raise_value_error_only(decode, data):
    decode_or_value_error(decode, data)


@given(st.one_of(prims(), tables().map(lambda t: b"\x05" + t)), st.data())
def test_damaged_primitives(data, draw):
    cut = draw.draw(st.integers(0, len(data)))
    decode_or_value_error(HcPrim.from_bytes, data[:cut])
    if data:
        i = draw.draw(st.integers(0, len(data) - 1))
        damaged = data[:i] + bytes([draw.draw(st.integers(0, 255))]) + data[i + 1:]
        decode_or_value_error(HcPrim.from_bytes, damaged)
        decode_or_value_error(InfoTable.from_bytes, damaged[1:])


@given(messages(), st.data())
def test_damaged_messages(msg, draw):
    data = msg[0]
    cut = draw.draw(st.integers(0, len(data)))
    decode_or_value_error(HcyMessage.from_bytes, data[:cut])
    i = draw.draw(st.integers(0, len(data) - 1))
    damaged = data[:i] + bytes([draw.draw(st.integers(0, 255))]) + data[i + 1:]
    decode_or_value_error(HcyMessage.from_bytes, damaged)


json_values = st.recursive(
    st.none() | st.booleans() | st.floats(allow_nan=False, allow_infinity=False) | st.integers() | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(
        st.sampled_from(["name", "description", "aspects", "baseType", "pushThreshold", "pushType", "startType",
                         "Inputs", "Outputs", "fieldDefinitions", "EventData", "isPrimaryKey", "x"]),
        inner, max_size=6),
    max_leaves=20,
)


@pytest.mark.parametrize("cls", JSON_READERS, ids=lambda c: c.__name__)
@given(st.one_of(json_values.map(json.dumps), st.text(max_size=60)))
def test_random_json_raises_value_error_only(cls, text):
    try:
        obj = cls.from_json(text)
    except ValueError:
        return
    # Whatever reads writes a text that reads back to the same text.
    assert cls.from_json(obj.to_json()).to_json() == obj.to_json()
    assert cls.from_bytes(obj.to_bytes()).to_bytes() == obj.to_bytes()


@pytest.mark.parametrize("cls", JSON_READERS, ids=lambda c: c.__name__)
@given(st.binary(max_size=60))
def test_random_bytes_to_definitions_raise_value_error_only(cls, data):
    decode_or_value_error(cls.from_bytes, data)


PUSH = ["NEVER", "ALWAYS", "VALUE"]
START = ["useDefaultValue", "readEdgeValue"]
ASPECT_VALUES = {"isPrimaryKey": st.booleans(), "scanRate": i32, "maximumValue": st.floats(allow_nan=False,
                 allow_infinity=False), "units": st.text(max_size=5), "dataShape": st.text(max_size=5)}


@given(st.text(max_size=10), st.floats(allow_nan=False, allow_infinity=False) | st.integers(-(2**53), 2**53),
       st.sampled_from(PUSH), st.sampled_from(START),
       st.fixed_dictionaries({}, optional={k: v for k, v in ASPECT_VALUES.items()}),
       st.sampled_from(["STRING", "NUMBER", "INTEGER", "LOCATION", "INFOTABLE", "THINGNAME", "NOTHING"]))
def test_property_definitions_round_trip(name, threshold, push, start, asp, base):
    doc = {"name": name, "pushThreshold": threshold, "pushType": push, "startType": start, "aspects": asp,
           "baseType": base}
    p = HcyProperty.from_json(json.dumps(doc))
    assert p.get_name() == name
    assert p.get_push_threshold() == float(threshold)
    assert p.should_read_edge_value() == (start == "readEdgeValue")
    assert p.get_base_type() == base
    written = json.loads(p.to_json())
    assert list(written) == ["name", "pushThreshold", "pushType", "startType", "aspects", "baseType"]
    assert written["aspects"] == asp
    assert HcyProperty.from_json(p.to_json()).to_json() == p.to_json()


@given(st.text(), st.text(), st.booleans(), st.dictionaries(st.text(max_size=6), st.text(max_size=6), max_size=4))
def test_texts_survive_json_both_ways(name, description, ascii_only, aspects):
    # Escaped (\uXXXX, surrogate pairs) or raw UTF-8 input; the written text must decode to the same strings.
    doc = {"name": name, "description": description, "aspects": aspects, "Inputs": {},
           "Outputs": {"name": description, "baseType": "STRING", "fieldDefinitions": {}}}
    s = HcyService.from_json(json.dumps(doc, ensure_ascii=ascii_only))
    assert (s.get_name(), s.get_description()) == (name, description)
    written = json.loads(s.to_json())
    assert written["name"] == name and written["Outputs"]["name"] == description
    assert written["aspects"] == aspects
    assert HcyService.from_bytes(s.to_bytes()).to_json() == s.to_json()
