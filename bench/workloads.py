"""Deterministic inputs of the benchmark workloads, shared by run.py and the memory probe.

Every workload is built from a fixed seed, so two runs (and two machines) measure the same bytes.
"""

from __future__ import annotations

import json
import random
import struct

from veltrac import HcyMessage, InfoTable

SEED = 20240611
ROWS = 10_000
# Column name, base type. The order is the table's column order.
COLUMNS = [
    ("name", "STRING"),
    ("reading", "NUMBER"),
    ("count", "INTEGER"),
    ("total", "LONG"),
    ("active", "BOOLEAN"),
    ("updated", "DATETIME"),
]
_WORDS = (
    "pump valve motor sensor line north south east west station inlet outlet pressure flow "
    "level tank boiler fan belt gear shaft cooler heater filter relay panel zone unit bay"
).split()


def header(code: int, request_id: int, endpoint: int = 3, session_id: int = 0x1234_5678) -> bytes:
    """The 15-byte message header: version 1, code, request id, endpoint, session id, no multipart."""
    return struct.pack(">BBIIIB", 1, code, request_id, endpoint, session_id, 0)


def wire_string(s: str) -> bytes:
    """Length-prefixed UTF-8: one length byte below 128, else four bytes with the top bit set."""
    raw = s.encode()
    n = len(raw)
    return (n.to_bytes(1, "big") if n < 128 else (n | 0x8000_0000).to_bytes(4, "big")) + raw


# ---- W1: small messages ----

GET_FIELDS = {
    "version": 1,
    "code": 1,
    "request_id": 4711,
    "endpoint": 3,
    "session_id": 0x1234_5678,
    "entity_type": 20,
    "entity_name": "PumpStation_NorthBay_07",
    "characteristic_type": 1,
    "characteristic_name": "OutletPressureAvg",
}


def get_request() -> bytes:
    """A GET request without headers or parameters (~60 bytes)."""
    f = GET_FIELDS
    return (
        header(f["code"], f["request_id"], f["endpoint"], f["session_id"])
        + bytes([f["entity_type"]])
        + wire_string(f["entity_name"])
        + bytes([f["characteristic_type"]])
        + wire_string(f["characteristic_name"])
        + b"\x00"  # no header entries
        + b"\xff"  # no parameters
    )


AUTH_KEY = "d8c7f1e2-5a4b-4c3d-9e8f-7a6b5c4d3e2f"
AUTH_FIELDS = {
    "version": 1,
    "code": 20,
    "request_id": 7,
    "endpoint": 0,
    "session_id": 0xFFFF_FFFF,
    "claim_name": "appKey",
    "claim_value": AUTH_KEY,
}


def auth_message() -> bytes:
    return HcyMessage.build_auth(AUTH_FIELDS["request_id"], AUTH_KEY).to_bytes()


# ---- W13: table metadata ----


def metadata_request() -> bytes:
    """A POST request whose parameters are an empty table of seven described fields (the six columns and a
    note), as a gateway receives them."""
    t = InfoTable.from_fields([(n, t, f"the {n} of the reading") for n, t in COLUMNS + [("note", "STRING")]])
    return HcyMessage.build_request("HCY_POST", 4712, 20, "PumpStation_NorthBay_07", 2, "LogReading",
                                    params=t).to_bytes()


# ---- W2 to W4: the 10,000-row table ----


def rows_as_lists(n: int = ROWS) -> list[list]:
    """Rows in column order; texts of 40 to 80 ASCII characters, so the table is about 1 MB on the wire."""
    rnd = random.Random(SEED)
    rows = []
    for i in range(n):
        words = []
        length = rnd.randint(40, 80)
        while sum(map(len, words)) + len(words) < length:
            words.append(rnd.choice(_WORDS))
        text = " ".join(words)[:length]
        rows.append(
            [
                text,
                round(rnd.uniform(-1000.0, 1000.0), rnd.randint(0, 6)),
                rnd.randint(-(2**31), 2**31 - 1),
                rnd.randint(-(2**62), 2**62),
                rnd.random() < 0.5,
                1_700_000_000_000 + i * 1000 + rnd.randint(0, 999),
            ]
        )
    return rows


def rows_with_wide_numbers(rows: list[list]) -> list[list]:
    """The same rows with random full-precision doubles over 24 orders of magnitude in the NUMBER column, the
    values sensors and computations produce (the short decimals of rows_as_lists have a fast path)."""
    rnd = random.Random(SEED + 3)
    return [[r[0], rnd.uniform(-1.0, 1.0) * 10.0 ** rnd.uniform(-12, 12), *r[2:]] for r in rows]


def rows_as_dicts(rows: list[list]) -> list[dict]:
    names = [name for name, _ in COLUMNS]
    return [dict(zip(names, row)) for row in rows]


def new_table() -> InfoTable:
    t = InfoTable("Readings")
    for name, base_type in COLUMNS:
        t.add_field_definition(name, base_type, f"the {name} column")
    return t


def build_table(dict_rows: list[dict]) -> InfoTable:
    t = new_table()
    for row in dict_rows:
        t.add_row(row)
    return t


def response_message(table_bytes: bytes) -> bytes:
    """An HCY_SUCCESS response without reason carrying the table."""
    return header(64, 4712) + b"\x00\x05" + table_bytes


# ---- W5: a service definition with 20 input fields ----

_INPUT_TYPES = ["STRING", "NUMBER", "INTEGER", "LONG", "BOOLEAN", "DATETIME", "STRING", "NUMBER"]


def service_json() -> str:
    rnd = random.Random(SEED + 5)
    fields = {}
    for i in range(20):
        name = f"{rnd.choice(_WORDS)}{rnd.choice(_WORDS).title()}{i:02d}"
        base_type = _INPUT_TYPES[i % len(_INPUT_TYPES)]
        aspects: dict = {"isRequired": i % 3 == 0}
        if base_type == "NUMBER":
            aspects.update(units="kPa", minimumValue=0.0, maximumValue=round(rnd.uniform(10, 1000), 2))
        elif base_type == "STRING":
            aspects.update(defaultValue=rnd.choice(_WORDS), friendlyName=f"{rnd.choice(_WORDS).title()} name")
        fields[name] = {
            "name": name,
            "description": f"Input {i}: the {' '.join(rnd.choice(_WORDS) for _ in range(4))} setting",
            "baseType": base_type,
            "aspects": aspects,
        }
    service = {
        "name": "ConfigureStation",
        "description": "Applies a new configuration to every unit of the station",
        "aspects": {"isAsync": False},
        "Inputs": {"fieldDefinitions": fields},
        "Outputs": {
            "name": "result",
            "baseType": "INFOTABLE",
            "aspects": {"dataShape": "ConfigResult"},
            "fieldDefinitions": {
                "applied": {"name": "applied", "description": "units updated", "baseType": "INTEGER", "aspects": {}},
                "message": {"name": "message", "description": "summary", "baseType": "STRING", "aspects": {}},
            },
        },
    }
    return json.dumps(service, separators=(",", ":"))


# ---- W11: a decoded table passed on in the reply ----

PASS_ON_ROWS = 50_000


def pass_on_request(rows: int = PASS_ON_ROWS) -> bytes:
    """An HCY_POST request whose parameters are a table of one short text column ("tag0" ... )."""
    t = InfoTable()
    t.add_field_definition("tag", "STRING", "")
    t.add_rows({"tag": f"tag{i}"} for i in range(rows))
    return HcyMessage.build_request("HCY_POST", 4713, 20, "gateway", 2, "answer", params=t).to_bytes()


# ---- Arrow import in many batches; memory of exporting one long text among short ones ----

BATCH_ROWS = 100_000


def arrow_rows(n: int = BATCH_ROWS):
    """A pyarrow table of n rows (text, float64, int32), in one batch."""
    import pyarrow

    rnd = random.Random(SEED)
    return pyarrow.table({
        "name": [rnd.choice(_WORDS) for _ in range(n)],
        "reading": [rnd.uniform(-50, 150) for _ in range(n)],
        "count": pyarrow.array([rnd.randrange(1 << 20) for _ in range(n)], pyarrow.int32()),
    })


# ---- W8d: a table of every storage kind to Arrow ----

MIXED_ROWS = 10_000


def mixed_table_bytes(n: int = MIXED_ROWS) -> bytes:
    """A table of n rows: a text, a NUMBER, a LOCATION, a BLOB of 16 to 64 bytes, a nested table of two rows
    and a VARIANT (an INTEGER or a text), every tenth LOCATION and VARIANT empty."""
    def lp(b: bytes) -> bytes:
        return (bytes([len(b)]) if len(b) < 128 else struct.pack(">I", len(b) | 0x80000000)) + b

    def field(name: str, code: int) -> bytes:
        return b"\x01" + lp(name.encode()) + lp(b"") + bytes([code]) + b"\x00\x00"

    rnd = random.Random(SEED)
    nested = (field("k", 22) + b"\x00" + b"\x01\x00\x01\x16\x00\x00\x00\x01" * 2 + b"\x00")
    out = [field("name", 0), field("reading", 1), field("where", 6), field("raw", 21), field("parts", 5),
           field("extra", 18), b"\x00"]
    for i in range(n):
        raw = rnd.randbytes(rnd.randrange(16, 65))
        empty = i % 10 == 9
        out.append(b"\x01\x00\x06" + b"\x00" + lp(rnd.choice(_WORDS).encode()) +
                   b"\x01" + struct.pack(">d", rnd.uniform(-50, 150)) +
                   (b"\xff" if empty else b"\x06" + struct.pack(">ddd", rnd.uniform(-180, 180), rnd.uniform(-90, 90), 0.0)) +
                   b"\x15" + struct.pack(">I", 0x80000000 | len(raw)) + raw +
                   b"\x05" + nested +
                   (b"\xff" if empty else b"\x12" + (b"\x16" + struct.pack(">i", i) if i % 2 else b"\x00" + lp(b"on"))))
    out.append(b"\x00")
    return b"".join(out)


def export_probe(long_text: int = 100_000_000, short: int = 1_000_000) -> None:
    """Prints the text bytes of a table of one long text and `short` short ones, and the peak memory growth of
    exporting it as an Arrow stream (VmHWM, reset just before)."""

    def status_kib(field: str) -> int:
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))

    t = InfoTable()
    t.add_field_definition("s", "STRING", "")
    t.add_rows([{"s": "x" * long_text}] + [{"s": _WORDS[i % len(_WORDS)]} for i in range(short)])
    size = long_text + sum(len(_WORDS[i % len(_WORDS)]) for i in range(short))
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status_kib("VmRSS")
    capsule = t.__arrow_c_stream__()
    peak = status_kib("VmHWM")
    del capsule
    print(json.dumps({"text": size, "peak": (peak - before) * 1024}))


# ---- W12: a capture of back-to-back messages ----

CAPTURE_MESSAGES = 200_000
CAPTURE_CHUNK = 64 * 1024


def capture(n: int = CAPTURE_MESSAGES) -> tuple[bytes, bytes]:
    """n mixed messages back to back (requests with a small table, responses, authentication, bind), and
    the same content as msgpack maps, one after another."""
    import msgpack

    rng = random.Random(SEED + 12)
    table = InfoTable("Reading")
    table.add_field_definition("sensor", "STRING", "")
    table.add_field_definition("value", "NUMBER", "")
    table.add_rows([{"sensor": "temp-1", "value": 21.5}, {"sensor": "temp-2", "value": 19.25}])
    rows = [["temp-1", 21.5], ["temp-2", 19.25]]
    ids = {"endpoint": 3, "session_id": 0x1234_5678}
    kinds = [
        (HcyMessage.build_request(2, 0, 20, "Pump-07", 1, "readings", params=table, **ids),
         {"code": 2, "entity_type": 20, "entity_name": "Pump-07", "characteristic_type": 1,
          "characteristic_name": "readings", "fields": [["sensor", "STRING"], ["value", "NUMBER"]], "rows": rows}),
        (HcyMessage.build_response(64, 0, "ok", **ids), {"code": 64, "reason": "ok"}),
        (HcyMessage.build_auth(0, AUTH_KEY), {"code": 20, "claim_name": "appKey", "claim_value": AUTH_KEY}),
        (HcyMessage.build_bind(0, ["Pump-07", "Valve-12"], **ids), {"code": 10, "names": ["Pump-07", "Valve-12"]}),
    ]
    templates = [(m.to_bytes(), fields) for m, fields in kinds]
    ours, packed = bytearray(), bytearray()
    for request_id in range(1, n + 1):
        data, fields = templates[rng.randrange(len(templates))]
        ours += data[:2] + request_id.to_bytes(4, "big") + data[6:]
        packed += msgpack.packb({"version": 1, "request_id": request_id, **ids, **fields})
    return bytes(ours), bytes(packed)
