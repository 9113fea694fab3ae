#!/usr/bin/env python3
"""Writes the binary seed corpora of the fuzz targets (fuzz/corpus/<target>/) from known-good encodings; the
JSON text seeds are kept as they are."""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def s(text: bytes) -> bytes:
    """Length-prefixed string."""
    n = len(text)
    return (bytes([n]) if n < 128 else struct.pack(">I", n | 0x80000000)) + text


def prim_int(v):
    return b"\x16" + struct.pack(">i", v)


def entry(name: bytes, code: int, aspects: bytes = b"\x00\x00", desc: bytes = b"") -> bytes:
    return b"\x01" + s(name) + s(desc) + bytes([code]) + aspects


def table(entries=b"", rows=()):
    return entries + b"\x00" + b"".join(b"\x01" + struct.pack(">H", len(row)) + b"".join(row) for row in rows) + b"\x00"


def header(code, rid=7, multipart=0):
    return bytes([1, code]) + struct.pack(">III", rid, 0, 0xFFFFFFFF) + bytes([multipart])


ASPECTS = b"\x00\x02" + s(b"isPrimaryKey") + b"\x02\x01" + s(b"units") + b"\x00" + s(b"kg")
T_FULL = table(entry(b"id", 0x16, ASPECTS) + entry(b"name", 0x00, desc=b"d" * 130) + entry(b"when", 0x07),
               [[prim_int(-1), b"\x00" + s(b"abc"), b"\x07" + struct.pack(">q", 1700000000000)],
                [prim_int(5), b"\x64" + s(b"thing"), b"\x12" + prim_int(9), b"\x02\x01"]])
T_NESTED = table(b"", [[b"\x05" + table(entry(b"x", 0x01), [[b"\x01" + struct.pack(">d", 1.5)]])]])

PRIMS = {
    "nothing": b"\xff",
    "string": b"\x00" + s(b"abc"),
    "string_empty": b"\x00\x00",
    "string_long_prefix": b"\x00\x80\x00\x00\x03abc",
    "string_300": b"\x00" + s(b"x" * 300),
    "thingname": b"\x64" + s(b"abc"),
    "utf8": b"\x00" + s("h\u00e9\u20ac\U0001f600".encode()),
    "integer": prim_int(-1),
    "long": b"\x17" + struct.pack(">q", 1),
    "number": b"\x01" + struct.pack(">d", 1.0),
    "number_nan": b"\x01\x7f\xf8\x00\x00\x00\x00\x00\x00",
    "boolean": b"\x02\x07",
    "location": b"\x06" + struct.pack(">ddd", 1.0, 2.0, 3.0),
    "blob": b"\x15\x80\x00\x00\x03\x01\x02\x03",
    "blob_no_top_bit": b"\x15\x00\x00\x00\x03\x01\x02\x03",
    "blob_empty": b"\x15\x80\x00\x00\x00",
    "image": b"\x0a\x80\x00\x00\x02\xff\x00",
    "datetime": b"\x07" + struct.pack(">q", -5),
    "variant": b"\x12" + prim_int(5),
    "variant_alone": b"\x12",
    "variant_nothing": b"\x12\xff",
    "variant_deep": b"\x12" * 40 + prim_int(1),
    "table_empty": b"\x05\x00\x00",
    "table_full": b"\x05" + T_FULL,
    "table_nested": b"\x05" + T_NESTED,
    "bad_code": b"\x13",
    "timespan": b"\x04\x00",
}

TABLES = {
    "empty": b"\x00\x00",
    "one_row": table(b"", [[prim_int(-1)]]),
    "entry": table(entry(b"id", 0)),
    "full": T_FULL,
    "nested": T_NESTED,
    "marker5": b"\x00\x05\x00\x00\x00",
    "more_values": table(entry(b"a", 0x16) + entry(b"b", 0x16), [[prim_int(1), prim_int(2), prim_int(3)]]),
}

REQ = bytes([0]) + s(b"thing") + b"\x01" + s(b"prop") + b"\x01" + s(b"h") + s(b"v")
MESSAGES = {
    "get": header(1) + REQ + b"\xff",
    "put_params": header(2) + REQ + b"\x05" + T_FULL,
    "post_empty": header(3) + b"\x00\x00\x01\x00\x00\xff",
    "del_marker0": header(4) + b"\x00\x00\x03\x00\x00\x00",
    "response": header(0x40) + b"\x00\xff",
    "response_reason_table": header(0x84) + b"\x01" + s(b"not found") + b"\x05" + T_NESTED,
    "auth": header(20) + b"\x01" + s(b"appKey") + s(b"secret"),
    "bind": header(10) + b"\x00\x00\x02" + s(b"a") + s(b"bc"),
    "unbind_pair": header(11) + b"\x07" + s(b"gw") + s(b"type") + b"\x00\x01" + s(b"x"),
    "multipart": header(0x40, multipart=1) + b"\x00\xff",
    "keepalive": header(31),
    "short": bytes([1, 20]),
    "trailing": header(0x40) + b"\x00\xff" + b"junk",
}

if __name__ == "__main__":
    for target, items in (("primitive", PRIMS), ("table", TABLES), ("message", MESSAGES)):
        (HERE / "corpus" / target).mkdir(parents=True, exist_ok=True)
        for name, data in items.items():
            (HERE / "corpus" / target / name).write_bytes(data)
