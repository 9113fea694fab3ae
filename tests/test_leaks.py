"""Every method, on its success path and on each error path, called many times in a loop leaves nothing
behind: no Python blocks or objects (sys.getallocatedblocks, gc.get_objects), no references on its
arguments, and no resident memory (cases with large payloads, where a leaked codec value would show).
VELTRAC_LEAK_CALLS sets the number of measured calls per case (default 300, a few seconds in all)."""

import contextlib
import gc
import os
import struct
import sys

import pytest

from veltrac import BaseType, HcPrim, HcyEvent, HcyMessage, HcyProperty, HcyService, InfoTable, VeltracError

import test_entities as entities
from test_primitive import no_argument_methods, table

CALLS = int(os.environ.get("VELTRAC_LEAK_CALLS", "300"))
WARMUP = 30


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def lp(b: bytes) -> bytes:
    return (bytes([len(b)]) if len(b) < 128 else struct.pack(">I", len(b) | 0x80000000)) + b


def failing(*calls):
    """Calls (exception, function, arguments...) that must each raise their exception."""

    def call():
        for exc, fn, *args in calls:
            with pytest.raises(exc):
                fn(*args)

    return call


# Values with large payloads: a leaked copy of any of them grows the resident size visibly.
BIG_TEXT = "t\u00e9" * 40_000
BIG_BLOB = bytes(range(256)) * 400
ENTRY = b"\x01" + lp(b"id") + lp(b"d" * 2000) + b"\x16" + b"\x00\x01" + lp(b"isPrimaryKey") + b"\x02\x01"
ROW = b"\x01\x00\x03" + b"\x16\x00\x00\x00\x05" + b"\x00" + lp(b"x" * 3000) + b"\x12\x15" + struct.pack(">I", 3000) + b"b" * 3000
BIG_TABLE = ENTRY + b"\x00" + ROW * 10 + b"\x00"
BIG_TABLE_CUT = BIG_TABLE[:-40]
NESTED = b"\x05" + (b"\x00\x01\x00\x01\x05") * 150 + b"\x00\x00" + b"\x00" * 150
BAD_ASPECT_TABLE = b"\x01" + lp(b"a") + b"\x00\x00\x00\x01" + lp(b"isPrimaryKey") + b"\x00" + lp(b"x" * 5000) + b"\x00\x00"

PROPERTY = entities.PROPERTY.replace("temp", "p" * 20000).replace("°C", "u" * 20000)
SERVICE = entities.SERVICE.replace("it's", "d" * 20000)
EVENT = entities.EVENT.replace("Too hot", "d" * 20000)


def build_table():
    return table(("s", "STRING"), ("n", "NUMBER"), ("b", "BOOLEAN"), ("d", "DATETIME"), ("i", "INTEGER"), ("l", "LONG"))


ROW_DICT = {"s": BIG_TEXT, "n": 1.5, "b": True, "d": 5, "i": 7, "l": 2**40, "extra": [1, 2]}


def add_rows():
    t = build_table()
    t.add_rows([ROW_DICT] * 3)
    t.add_row(ROW_DICT)
    t.append_row([t.get_cell(0, name) for name in "snbdil"])
    t.add_field_definition("blob", "BLOB", "")
    return t.get_row(-1), t.get_column("s"), InfoTable.from_json(t.to_json())


def add_row_to_new_table(row):
    t = build_table()
    t.add_field_definition("blob", "BLOB", "")
    t.add_row(row)


PRIM_INT = HcPrim.integer(5)
PRIM_BIG = HcPrim.from_bytes(b"\x12\x12" + b"\x05" + BIG_TABLE)
PRIM_BAD_JSON = HcPrim.from_bytes(b"\x05" + BAD_ASPECT_TABLE)
TABLE_BIG = InfoTable.from_bytes(BIG_TABLE)
TABLE_BAD_JSON = InfoTable.from_bytes(BAD_ASPECT_TABLE)
TABLE_ARROW = InfoTable("a" * 1000)
TABLE_ARROW.add_field_definition("s", "STRING", "d" * 1000)
TABLE_ARROW.add_rows([{"s": BIG_TEXT}] * 5)
MESSAGES = [HcyMessage.build_request(2, 7, 0, "thing", 1, "prop", [("h", "v")], TABLE_BIG),
            HcyMessage.build_response(64, 7, "r" * 5000, TABLE_BIG), HcyMessage.build_auth(7, "k" * 20000),
            HcyMessage.build_bind(7, ["n" * 9000, "m" * 9000], "a", "b")]
REQUEST = MESSAGES[0].to_bytes()
PROP = HcyProperty.from_json(PROPERTY)
SERV = HcyService.from_json(SERVICE)
EVT = HcyEvent.from_json(EVENT)
BIG_TEXT_B = BIG_TEXT.encode()


def read_all(*objects):
    """str, repr and every method without arguments of each object, on its success or its error path."""

    def call():
        for o in objects:
            str(o), repr(o)
            for name in no_argument_methods(type(o)):
                with contextlib.suppress(ValueError, TypeError):
                    getattr(o, name)()

    return call


class Key(str):
    """A dict key whose hash and comparison run Python code."""

    def __hash__(self):
        return str.__hash__(self)


CASES = {
    "module-classes": lambda: (str(BaseType("long")), repr(BaseType("Long")), str(VeltracError(BIG_TEXT)),
                               repr(VeltracError("m"))),
    "module-classes-errors": failing((ValueError, BaseType, "x" * 5000), (TypeError, VeltracError, BIG_TEXT_B),
                                     (TypeError, HcPrim)),
    "factories": lambda: (HcPrim.boolean(True), HcPrim.integer(-5), HcPrim.long(2**62), HcPrim.number(1.5),
                          HcPrim.datetime(7), HcPrim.infotable_empty(), HcPrim.string(BIG_TEXT).to_bytes(),
                          HcPrim.blob(BIG_BLOB).to_bytes(), HcPrim.blob(list(BIG_BLOB[:2000])),
                          HcPrim.location(1, 2, 3), HcPrim.variant(PRIM_INT), HcPrim.infotable(TABLE_BIG),
                          HcPrim.from_json('{"STRING":["STRING","' + BIG_TEXT + '"]}')),
    "factories-errors": failing((OverflowError, HcPrim.blob, [1, 2, 300]), (TypeError, HcPrim.blob, BIG_TEXT),
                                (OverflowError, HcPrim.integer, 2**100), (TypeError, HcPrim.string, BIG_TEXT_B),
                                (UnicodeEncodeError, HcPrim.string, "\ud800" + BIG_TEXT),
                                (TypeError, lambda: HcPrim.integer(value=1, other=2)),
                                (ValueError, HcPrim.from_json, '{"STRING":["LONG","' + BIG_TEXT + '"]}')),
    "prim-read": read_all(PRIM_BIG, PRIM_INT, PRIM_BAD_JSON, HcPrim.from_bytes(b"\x06" + bytes(24)),
                          HcPrim.from_bytes(NESTED), PRIM_BIG.unwrap_variant()),
    "prim-decode": lambda: (HcPrim.from_bytes(b"\x12\x12\x05" + BIG_TABLE), HcPrim.from_bytes(NESTED)),
    "prim-errors": failing((ValueError, HcPrim.from_bytes, b"\x05" + BIG_TABLE_CUT),
                           (TypeError, HcPrim.from_bytes, bytearray(b"\x00")), (TypeError, PRIM_INT.to_bytes, 1)),
    "table-read": read_all(InfoTable(), InfoTable("n" * 5000), TABLE_BIG, TABLE_BAD_JSON),
    "table-decode": lambda: InfoTable.from_bytes(BIG_TABLE),
    "table-errors": failing((TypeError, InfoTable, 5), (ValueError, InfoTable.from_bytes, BIG_TABLE_CUT),
                            (ValueError, InfoTable().add_field_definition, "a", "xml" * 1000, ""),
                            (TypeError, InfoTable().add_field_definition, "a"), (IndexError, TABLE_BIG.get_row, 99),
                            (KeyError, TABLE_BIG.get_column, "x" * 1000), (ValueError, InfoTable.from_json, BIG_TEXT),
                            (ValueError, build_table().append_row, [PRIM_INT] * 6)),
    "table-arrow": lambda: (InfoTable.from_arrow(TABLE_ARROW), TABLE_ARROW.__arrow_c_schema__(),
                            TABLE_ARROW.__arrow_c_stream__()),
    "table-arrow-errors": failing((ValueError, InfoTable.from_arrow, TABLE_BIG), (TypeError, InfoTable.from_arrow, BIG_TEXT)),
    "table-add": add_rows,
    "table-add-keys": lambda: InfoTable().add_row({Key("a" * 100): BIG_TEXT}),
    "table-add-errors": failing(*[(exc, add_row_to_new_table, row) for row, exc in [
        ({"s": BIG_TEXT}, ValueError), (dict(ROW_DICT, i="7"), TypeError), (dict(ROW_DICT, i=2**31), OverflowError),
        (dict(ROW_DICT, blob=b"x"), ValueError), ([("s", "x")], TypeError)]]),
    "msg-read": read_all(*MESSAGES),
    "msg-decode": lambda: [HcyMessage.from_bytes(m.to_bytes()) for m in MESSAGES],
    "msg-build": lambda: (HcyMessage.build_auth(2**32 - 1, BIG_TEXT).to_bytes(), MESSAGES[0].reply(),
                          HcyMessage.build_request(1, 1, 0, "e", 1, "c", [("h", BIG_TEXT)], TABLE_BIG),
                          HcyMessage.build_response(64, 1, BIG_TEXT, TABLE_BIG),
                          HcyMessage.build_bind(1, [BIG_TEXT], "a", "b"), HcyMessage.from_buffer(REQUEST, 0)),
    "msg-errors": failing((ValueError, HcyMessage.from_bytes, REQUEST[:-40]), (TypeError, HcyMessage.from_bytes, "x"),
                          (OverflowError, HcyMessage.build_auth, -1, "k"),
                          (TypeError, HcyMessage.build_auth, 1, BIG_TEXT_B),
                          (TypeError, HcyMessage.build_request, 1, 1, 0, "e", 1, "c", [("n", BIG_TEXT_B)])),
    "definitions-read": read_all(PROP, SERV, EVT),
    "definitions-decode": lambda: [(c.from_json(text), c.from_bytes(text.encode()))
                                   for c, text in ((HcyProperty, PROPERTY), (HcyService, SERVICE), (HcyEvent, EVENT))],
    "definitions-errors": failing((ValueError, HcyProperty.from_json, PROPERTY[:-2]),
                                  (ValueError, HcyService.from_json, SERVICE + "x"),
                                  (ValueError, HcyEvent.from_json, EVENT.replace('"aspects"', '"o"', 1)),
                                  *[(ValueError, c.from_bytes, b"\xff" + PROPERTY.encode())
                                    for c in (HcyProperty, HcyService, HcyEvent)]),
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
