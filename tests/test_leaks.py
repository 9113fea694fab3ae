"""Every method, on its success path and on each error path, called many times in a loop leaves nothing
behind: no Python blocks or objects (sys.getallocatedblocks, gc.get_objects), no references on its
arguments, and no resident memory (cases with large payloads, where a leaked codec value would show).
VELTRAC_LEAK_CALLS sets the number of measured calls per case (default 300, a few seconds in all)."""

import gc
import os
import struct
import sys

import pytest

from veltrac import BaseType, HcPrim, HcyEvent, HcyMessage, HcyProperty, HcyService, InfoTable, VeltracError

CALLS = int(os.environ.get("VELTRAC_LEAK_CALLS", "300"))
WARMUP = 30
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def lp(b: bytes) -> bytes:
    return (bytes([len(b)]) if len(b) < 128 else struct.pack(">I", len(b) | 0x80000000)) + b


def expect(exc, fn, *args, **kwargs):
    """A call that must raise `exc`."""

    def call():
        try:
            fn(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{fn} did not raise {exc.__name__}")

    return call


def header(code):
    return bytes([1, code]) + struct.pack(">III", 7, 0, 0xFFFFFFFF) + b"\x00"


# Values with large payloads: a leaked copy of any of them grows the resident size visibly.
BIG_TEXT = "t\u00e9" * 40_000
BIG_BLOB = bytes(range(256)) * 400
ENTRY = b"\x01" + lp(b"id") + lp(b"d" * 2000) + b"\x16" + b"\x00\x01" + lp(b"isPrimaryKey") + b"\x02\x01"
ROW = b"\x01\x00\x03" + b"\x16\x00\x00\x00\x05" + b"\x00" + lp(b"x" * 3000) + b"\x12\x15" + struct.pack(">I", 3000) + b"b" * 3000
BIG_TABLE = ENTRY + b"\x00" + ROW * 10 + b"\x00"
BIG_TABLE_CUT = BIG_TABLE[:-40]
NESTED = b"\x05" + (b"\x00\x01\x00\x01\x05") * 150 + b"\x00\x00" + b"\x00" * 150
BAD_ASPECT_TABLE = b"\x01" + lp(b"a") + b"\x00\x00\x00\x01" + lp(b"isPrimaryKey") + b"\x00" + lp(b"x" * 5000) + b"\x00\x00"
REQUEST = header(2) + b"\x00" + lp(b"thing") + b"\x01" + lp(b"prop") + b"\x01" + lp(b"h") + lp(b"v") + b"\x05" + BIG_TABLE
RESPONSE = header(0x40) + b"\x01" + lp(b"r" * 5000) + b"\x05" + BIG_TABLE
AUTH = header(20) + b"\x01" + lp(b"appKey") + lp(b"k" * 20000)
BIND = header(10) + b"\x01" + lp(b"a") + lp(b"b") + b"\x00\x02" + lp(b"n" * 9000) + lp(b"m" * 9000)

PROPERTY = ('{"name":"' + "p" * 20000 + '","pushThreshold":1.5,"pushType":"VALUE","startType":"readEdgeValue",'
            '"aspects":{"isPrimaryKey":true,"units":"' + "u" * 20000 + '"},"baseType":"NUMBER"}')
FIELDS = '{"k":{"name":"n","description":"' + "d" * 20000 + '","baseType":"STRING","aspects":{}}}'
SERVICE = ('{"name":"s","description":"' + "d" * 20000 + '","aspects":{},"Inputs":{"fieldDefinitions":' + FIELDS
           + '},"Outputs":{"name":"r","baseType":"INFOTABLE","aspects":{"dataShape":"x"},"fieldDefinitions":{}}}')
EVENT = ('{"name":"e","aspects":{},"description":"' + "d" * 20000 + '","EventData":{"name":"N","aspects":{},'
         '"fieldDefinitions":' + FIELDS + "}}")


def build_table():
    t = InfoTable("Sensors")
    t.add_field_definition("s", "STRING", "")
    t.add_field_definition("n", "NUMBER", "")
    t.add_field_definition("b", "BOOLEAN", "")
    t.add_field_definition("d", "DATETIME", "")
    t.add_field_definition("i", "INTEGER", "")
    t.add_field_definition("l", "LONG", "")
    return t


ROW_DICT = {"s": BIG_TEXT, "n": 1.5, "b": True, "d": 5, "i": 7, "l": 2**40, "extra": [1, 2]}


def add_rows():
    t = build_table()
    for _ in range(5):
        t.add_row(ROW_DICT)


def add_row_fails(row, exc):
    def call():
        t = build_table()
        t.add_field_definition("blob", "BLOB", "")
        try:
            t.add_row(row)
        except exc:
            return
        raise AssertionError("add_row did not fail")

    return call


PRIM_INT = HcPrim.integer(5)
PRIM_BIG = HcPrim.from_bytes(b"\x12\x12" + b"\x05" + BIG_TABLE)
PRIM_LOCATION = HcPrim.from_bytes(b"\x06" + bytes(24))
PRIM_BAD_JSON = HcPrim.from_bytes(b"\x05" + BAD_ASPECT_TABLE)
PRIM_NESTED = HcPrim.from_bytes(NESTED)
TABLE_BIG = InfoTable.from_bytes(BIG_TABLE)
TABLE_BAD_JSON = InfoTable.from_bytes(BAD_ASPECT_TABLE)
TABLE_ARROW = InfoTable("a" * 1000)
TABLE_ARROW.add_field_definition("s", "STRING", "d" * 1000)
for _ in range(5):
    TABLE_ARROW.add_row({"s": BIG_TEXT})
MESSAGES = [HcyMessage.from_bytes(m) for m in (REQUEST, RESPONSE, AUTH, BIND)]
PROP = HcyProperty.from_json(PROPERTY)
SERV = HcyService.from_json(SERVICE)
EVT = HcyEvent.from_json(EVENT)
BIG_TEXT_B = BIG_TEXT.encode()


class Key(str):
    """A dict key whose hash and comparison run Python code."""

    def __hash__(self):
        return str.__hash__(self)


CASES = {
    # module classes
    "BaseType": lambda: str(BaseType("long")) + repr(BaseType("Long")),
    "BaseType-invalid": expect(ValueError, BaseType, "x" * 5000),
    "BaseType-type": expect(TypeError, BaseType, 5),
    "VeltracError": lambda: str(VeltracError(BIG_TEXT)) + repr(VeltracError("m")),
    "VeltracError-type": expect(TypeError, VeltracError, b"m"),
    "no-constructor": expect(TypeError, HcPrim),
    # HcPrim factories and their argument errors
    "factories": lambda: (HcPrim.boolean(True), HcPrim.integer(-5), HcPrim.long(2**62), HcPrim.number(1.5),
                          HcPrim.datetime(7), HcPrim.infotable_empty()),
    "string": lambda: HcPrim.string(BIG_TEXT).to_bytes(),
    "blob-bytes": lambda: HcPrim.blob(BIG_BLOB).to_bytes(),
    "blob-list": lambda: HcPrim.blob(list(BIG_BLOB[:2000])),
    "blob-item-range": expect(OverflowError, HcPrim.blob, [1, 2, 300]),
    "blob-item-type": expect(TypeError, HcPrim.blob, [1, "x"]),
    "blob-str": expect(TypeError, HcPrim.blob, BIG_TEXT),
    "integer-range": expect(OverflowError, HcPrim.integer, 2**40),
    "integer-huge": expect(OverflowError, HcPrim.integer, 2**100),
    "boolean-type": expect(TypeError, HcPrim.boolean, 1),
    "string-type": expect(TypeError, HcPrim.string, BIG_TEXT_B),
    "string-surrogate": expect(UnicodeEncodeError, HcPrim.string, "\ud800" + BIG_TEXT),
    "keyword-errors": expect(TypeError, HcPrim.integer, value=1, other=2),
    # HcPrim decoding and reading
    "prim-from_bytes": lambda: HcPrim.from_bytes(b"\x12\x12\x05" + BIG_TABLE),
    "prim-from_bytes-nested": lambda: HcPrim.from_bytes(NESTED),
    "prim-from_bytes-cut": expect(ValueError, HcPrim.from_bytes, b"\x05" + BIG_TABLE_CUT),
    "prim-from_bytes-deep": expect(ValueError, HcPrim.from_bytes, b"\x12" * 5000),
    "prim-from_bytes-utf8": expect(ValueError, HcPrim.from_bytes, b"\x00" + lp(b"x" * 5000 + b"\xff")),
    "prim-from_bytes-code": expect(ValueError, HcPrim.from_bytes, b"\x13"),
    "prim-from_bytes-type": expect(TypeError, HcPrim.from_bytes, bytearray(b"\x00")),
    "prim-to_bytes": lambda: PRIM_BIG.to_bytes(),
    "prim-to_json": lambda: (PRIM_BIG.to_json(), PRIM_NESTED.to_json(), PRIM_INT.to_json()),
    "prim-to_json-error": expect(ValueError, PRIM_BAD_JSON.to_json),
    "prim-to_simple_json": lambda: (PRIM_BIG.to_simple_json(), PRIM_BAD_JSON.to_simple_json()),
    "prim-accessors": lambda: (PRIM_BIG.get_type(), PRIM_BIG.get_value(), PRIM_BIG.is_variant(),
                               PRIM_BIG.get_inner_type(), PRIM_BIG.get_full_type(), PRIM_INT.get_value()),
    "prim-unwrap": lambda: PRIM_BIG.unwrap_variant().unwrap_variant(),
    "prim-unwrap-error": expect(TypeError, PRIM_INT.unwrap_variant),
    "prim-get_value-error": expect(TypeError, PRIM_LOCATION.get_value),
    "prim-text": lambda: (str(PRIM_BIG), repr(PRIM_NESTED)),
    "prim-noargs-error": expect(TypeError, PRIM_INT.to_bytes, 1),
    # InfoTable
    "table-new": lambda: (InfoTable(), InfoTable("n" * 5000), InfoTable(name=None)),
    "table-new-type": expect(TypeError, InfoTable, 5),
    "table-from_bytes": lambda: InfoTable.from_bytes(BIG_TABLE),
    "table-arrow": lambda: (InfoTable.from_arrow(TABLE_ARROW), TABLE_ARROW.__arrow_c_schema__(),
                            TABLE_ARROW.__arrow_c_stream__()),
    "table-arrow-refused": expect(ValueError, InfoTable.from_arrow, TABLE_BIG),
    "table-arrow-type": expect(TypeError, InfoTable.from_arrow, BIG_TEXT),
    "table-from_bytes-cut": expect(ValueError, InfoTable.from_bytes, BIG_TABLE_CUT),
    "table-to_bytes": lambda: TABLE_BIG.to_bytes(),
    "table-to_json": lambda: TABLE_BIG.to_json(),
    "table-to_json-error": expect(ValueError, TABLE_BAD_JSON.to_json),
    "table-to_simple_json": lambda: (TABLE_BIG.to_simple_json(), TABLE_BAD_JSON.to_simple_json()),
    "table-accessors": lambda: (TABLE_BIG.get_row_count(), TABLE_BIG.get_field_count(),
                                InfoTable("x" * 1000).get_datashape_name(), str(TABLE_BIG), repr(TABLE_BIG)),
    "table-add": add_rows,
    "table-add_field-invalid": expect(ValueError, InfoTable().add_field_definition, "a", "xml" * 1000, ""),
    "table-add_field-type": expect(TypeError, InfoTable().add_field_definition, "a", "STRING", 5),
    "table-add_field-missing": expect(TypeError, InfoTable().add_field_definition, "a"),
    "table-add_row-missing": add_row_fails({"s": BIG_TEXT}, ValueError),
    "table-add_row-type": add_row_fails(dict(ROW_DICT, i="7"), TypeError),
    "table-add_row-range": add_row_fails(dict(ROW_DICT, i=2**31), OverflowError),
    "table-add_row-unsupported": add_row_fails(dict(ROW_DICT, blob=b"x"), ValueError),
    "table-add_row-not-dict": add_row_fails([("s", "x")], TypeError),
    "table-add_row-keys": lambda: InfoTable().add_row({Key("a" * 100): BIG_TEXT}),
    # HcyMessage
    "msg-from_bytes": lambda: [HcyMessage.from_bytes(m) for m in (REQUEST, RESPONSE, AUTH, BIND)],
    "msg-from_bytes-short": expect(ValueError, HcyMessage.from_bytes, b"\x01" * 14),
    "msg-from_bytes-code": expect(ValueError, HcyMessage.from_bytes, b"\x01\x05" + bytes(13)),
    "msg-from_bytes-multipart": expect(ValueError, HcyMessage.from_bytes, header(20)[:-1] + b"\x01"),
    "msg-from_bytes-unimplemented": expect(ValueError, HcyMessage.from_bytes, header(31)),
    "msg-from_bytes-body": expect(ValueError, HcyMessage.from_bytes, REQUEST[:-40]),
    "msg-from_bytes-type": expect(TypeError, HcyMessage.from_bytes, "text"),
    "msg-to_bytes": lambda: [m.to_bytes() for m in MESSAGES],
    "msg-accessors": lambda: [(m.get_message_type(), m.get_request_id(), m.get_session_id(), m.get_endpoint(),
                               m.is_request(), m.is_response(), m.is_auth(), m.is_bind(), m.short_description(),
                               str(m), repr(m)) for m in MESSAGES],
    "msg-build_auth": lambda: HcyMessage.build_auth(2**32 - 1, BIG_TEXT).to_bytes(),
    "msg-build_auth-range": expect(OverflowError, HcyMessage.build_auth, -1, "k"),
    "msg-build_auth-type": expect(TypeError, HcyMessage.build_auth, 1, BIG_TEXT_B),
    # definitions
    "property-from_json": lambda: HcyProperty.from_json(PROPERTY),
    "service-from_json": lambda: HcyService.from_json(SERVICE),
    "event-from_json": lambda: HcyEvent.from_json(EVENT),
    "definitions-from_bytes": lambda: (HcyProperty.from_bytes(PROPERTY.encode()), HcyService.from_bytes(
        SERVICE.encode()), HcyEvent.from_bytes(EVENT.encode())),
    "property-from_json-error": expect(ValueError, HcyProperty.from_json, PROPERTY[:-2]),
    "service-from_json-error": expect(ValueError, HcyService.from_json, SERVICE + "x"),
    "event-from_json-error": expect(ValueError, HcyEvent.from_json, EVENT.replace('"aspects"', '"other"', 1)),
    "definitions-from_bytes-utf8": lambda: [expect(ValueError, c.from_bytes, b"\xff" + PROPERTY.encode())()
                                            for c in (HcyProperty, HcyService, HcyEvent)],
    "definitions-from_json-type": expect(TypeError, HcyProperty.from_json, PROPERTY.encode()),
    "definitions-read": lambda: (PROP.to_json(), PROP.to_bytes(), PROP.get_name(), PROP.get_base_type(),
                                 PROP.get_push_threshold(), PROP.should_read_edge_value(), str(PROP),
                                 SERV.to_json(), SERV.to_bytes(), SERV.get_name(), SERV.get_description(),
                                 repr(SERV), EVT.to_json(), EVT.to_bytes(), EVT.get_name(),
                                 EVT.get_description(), str(EVT)),
}


def measure(call, calls):
    for _ in range(WARMUP):
        call()
    gc.collect()
    blocks, objects, resident = sys.getallocatedblocks(), len(gc.get_objects()), rss()
    for _ in range(calls):
        call()
    gc.collect()
    return sys.getallocatedblocks() - blocks, len(gc.get_objects()) - objects, rss() - resident


# Arguments and shared objects whose reference counts must not move.
WATCHED = [BIG_TEXT, BIG_BLOB, BIG_TEXT_B, BIG_TABLE, NESTED, REQUEST, PROPERTY, SERVICE, EVENT, ROW_DICT,
           PRIM_BIG, PRIM_INT, TABLE_BIG, PROP, SERV, EVT] + MESSAGES


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_leak(name):
    refs = [sys.getrefcount(o) for o in WATCHED]
    blocks, objects, resident = measure(CASES[name], CALLS)
    assert [sys.getrefcount(o) for o in WATCHED] == refs, "reference counts moved"
    # A leak of one block or object per call would show as CALLS; caches settle during the warm-up.
    assert blocks < CALLS // 4, f"{blocks} Python blocks left after {CALLS} calls"
    assert objects < CALLS // 4, f"{objects} objects left after {CALLS} calls"
    # The payload cases handle 10 KB or more per call: a leaked codec value would add megabytes.
    assert resident < 2 * 1024 * 1024 + CALLS * 1024, f"resident size grew by {resident} bytes"
