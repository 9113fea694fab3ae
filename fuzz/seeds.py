#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/) from known-good encodings."""
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
    out = entries + b"\x00"
    for row in rows:
        out += b"\x01" + struct.pack(">H", len(row)) + b"".join(row)
    return out + b"\x00"


def header(code, rid=7, multipart=0):
    return bytes([1, code]) + struct.pack(">III", rid, 0, 0xFFFFFFFF) + bytes([multipart])


ASPECTS = b"\x00\x02" + s(b"isPrimaryKey") + b"\x02\x01" + s(b"units") + b"\x00" + s(b"kg")
T_FULL = table(
    entry(b"id", 0x16, ASPECTS) + entry(b"name", 0x00, desc=b"d" * 130) + entry(b"when", 0x07),
    [
        [prim_int(-1), b"\x00" + s(b"abc"), b"\x07" + struct.pack(">q", 1700000000000)],
        [prim_int(5), b"\x64" + s(b"thing"), b"\x12" + prim_int(9), b"\x02\x01"],
    ],
)
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
    "json_empty": b'{"datashape":{"name":null,"entries":{}},"rows":[]}',
    "json_full": (
        b'{"datashape":{"name":"S","entries":{"id":{"name":"id","description":"","baseType":"INTEGER",'
        b'"aspects":{"isPrimaryKey":true}},"loc":{"name":"loc","description":"d","baseType":"LOCATION",'
        b'"aspects":{}}}},"rows":[{"fields":[{"INTEGER":["INTEGER",5]},{"LOCATION":["LOCATION",1.0,2.0,3.0]},'
        b'{"VARIANT":["VARIANT",{"LONG":["LONG",7]}]},{"BLOB":["IMAGE",[1,2]]},{"NOTHING":"NOTHING"},'
        b'{"STRING":["THINGNAME","t"]},{"BOOLEAN":["BOOLEAN",true]},{"DATETIME":["DATETIME",-1]},'
        b'{"NUMBER":["NUMBER",1e16]},{"INFOTABLE":["INFOTABLE",{"datashape":["n",{}],"rows":[[[]]]}]}]}]}'
    ),
    "json_arrays": b'[[null,{}],[[[{"INTEGER":["INTEGER",1]}]]]]',
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

PROPERTIES = {
    "basic": b'{"name":"p","pushThreshold":0.0,"pushType":"VALUE","startType":"readEdgeValue","aspects":{},"baseType":"NUMBER"}',
    "aspects": b'{"baseType":"STRING","aspects":{"isPrimaryKey":true,"myNote":"x","scanRate":5,"maximumValue":1.5,"dataShape":"ds"},"startType":{"useDefaultValue":null},"pushType":{"ALWAYS":null},"pushThreshold":5,"name":"t","description":1}',
    "array": b'["p",1.5,"NEVER","useDefaultValue",{},"LOCATION"]',
    "object_base_type": b'{"name":"p","pushThreshold":-0,"pushType":"NEVER","startType":"readEdgeValue","aspects":{"defaultValue":"7"},"baseType":{"INTEGER":null}}',
}

ENTRY = b'{"name":"n","description":"","baseType":"STRING","aspects":{"isNullable":false}}'
SERVICES = {
    "basic": b'{"name":"s","description":"d","aspects":{},"Inputs":{},"Outputs":{"name":"result","baseType":"NUMBER","fieldDefinitions":{}}}',
    "fields": b'{"Outputs":{"name":"r","baseType":"INFOTABLE","aspects":{"dataShape":"DS"},"fieldDefinitions":{"k":' + ENTRY + b'},"extra":1},"Inputs":{"fieldDefinitions":{"a":' + ENTRY + b',"a":["a","x","INTEGER",{}]}},"aspects":{"isAsync":true},"description":"","name":"s2","other":[1,2]}',
    "array": b'["s","d",{},{"fieldDefinitions":null},{"name":"r","baseType":"NOTHING","fieldDefinitions":{}}]',
}

EVENTS = {
    "basic": b'{"name":"e","aspects":{},"description":"d","EventData":{"name":"N","aspects":{"dataShape":"N","x":"y"},"fieldDefinitions":{"k":' + ENTRY + b'}}}',
    "reordered": b'{"EventData":{"fieldDefinitions":{},"aspects":{},"name":"DataShape"},"description":"","aspects":{"isLogged":true},"name":"e2"}',
}

JSON = {
    "empty_object": b"  {}  ",
    "numbers": b"[1,-1,1.5,-0,18446744073709551615,18446744073709551616,1e16,0.000001]",
    "object": b'{"b":1,"a":[true,false,null],"B":{"x":"\\t/\\u00e9\\ud83d\\ude00"}}',
    "string": b'"esc \\" \\\\ \\/ \\b \\f \\n \\r \\t \\u0001"',
    "deep128": b"[" * 128 + b"]" * 128,
    "property": PROPERTIES["basic"],
}


def write(target, items):
    d = HERE / "corpus" / target
    d.mkdir(parents=True, exist_ok=True)
    for name, data in items.items():
        (d / name).write_bytes(data)


if __name__ == "__main__":
    write("primitive", PRIMS)
    write("table", TABLES)
    write("message", MESSAGES)
    write("property", PROPERTIES)
    write("service", SERVICES)
    write("event", EVENTS)
    write("json", JSON)
