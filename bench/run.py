"""Benchmarks of veltrac against msgspec, msgpack, cbor2, json and orjson, printed as one table.

Usage: python bench/run.py [--rounds N] [--min-time S] [--cpp PATH] [--only W1,W3,scaling] [--json FILE]

Every contender of a workload is timed in the same rounds, in rotating order, so a change of machine
load hits all of them alike. A sample is a loop of calls lasting at least --min-time seconds; the table
shows the median and the minimum time per call over the rounds, the spread (interquartile range relative
to the median), and the ratio veltrac / contender, taken round by round and reported as its median.
Nothing here passes or fails: the target column only says whether the measured ratio meets it.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import cbor2  # noqa: E402
import msgpack  # noqa: E402
import msgspec  # noqa: E402
import orjson  # noqa: E402
import pyarrow  # noqa: E402

import veltrac  # noqa: E402
from veltrac import HcyMessage, HcyService, InfoTable  # noqa: E402

import scaling  # noqa: E402
from scaling import fmt_time  # noqa: E402
import typed  # noqa: E402
import workloads as wl  # noqa: E402


@dataclass
class Workload:
    key: str
    title: str
    ours: Callable[[], object]
    baselines: dict[str, Callable[[], object]]
    # Baseline name and the largest ratio ours/baseline that meets the target (a list for several).
    target: tuple[str, float] | list[tuple[str, float]] | None = None
    note: str = ""


@dataclass
class Row:
    workload: str
    contender: str
    median: float | None = None  # seconds per call (or the value itself for non-time rows)
    best: float | None = None
    spread: float | None = None  # relative
    ratio: float | None = None
    ratio_lo: float | None = None
    ratio_hi: float | None = None
    target: str = ""
    unit: str = "s"
    extra: dict = field(default_factory=dict)


def quartiles(xs: list[float]) -> tuple[float, float, float]:
    if len(xs) < 4:
        m = statistics.median(xs)
        return min(xs), m, max(xs)
    q = statistics.quantiles(xs, n=4, method="inclusive")
    return q[0], q[1], q[2]


def calibrate(fn: Callable[[], object], min_time: float) -> int:
    """Loop count whose run lasts at least min_time."""
    number = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        dt = time.perf_counter() - t0
        if dt >= min_time:
            return number
        if dt <= 0:
            number *= 10
        else:
            number = max(number * 2, int(number * min_time * 1.2 / dt) + 1)


CLOCK = time.perf_counter_ns


def sample(fn: Callable[[], object], number: int) -> float:
    gc.collect()
    clock = CLOCK
    t0 = clock()
    for _ in range(number):
        fn()
    return (clock() - t0) / 1e9 / number


def time_workload(w: Workload, rounds: int, min_time: float) -> list[Row]:
    contenders = [("veltrac", w.ours)] + list(w.baselines.items())
    # Warm up every contender once (first-call caches, lazy imports).
    for _, fn in contenders:
        fn()
    numbers = {name: calibrate(fn, min_time) for name, fn in contenders}
    times: dict[str, list[float]] = {name: [] for name, _ in contenders}
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(rounds):
            order = contenders[r % len(contenders):] + contenders[: r % len(contenders)]
            for name, fn in order:
                times[name].append(sample(fn, numbers[name]))
    finally:
        if gc_was_enabled:
            gc.enable()
    rows = []
    ours = times["veltrac"]
    targets = dict(w.target if isinstance(w.target, list) else [w.target]) if w.target else {}
    for name, _ in contenders:
        ts = times[name]
        q1, med, q3 = quartiles(ts)
        row = Row(w.key + " " + w.title if name == "veltrac" else "", name, med, min(ts), (q3 - q1) / med)
        if name != "veltrac":
            ratios = [a / b for a, b in zip(ours, ts)]
            lo, mid, hi = quartiles(ratios)
            row.ratio, row.ratio_lo, row.ratio_hi = mid, lo, hi
            if name in targets:
                row.target = target_text(mid, targets[name])
        rows.append(row)
    if w.note:
        rows[0].target = w.note
    return rows


def target_text(ratio: float, limit: float) -> str:
    return f"<= {limit:g}: {'met' if ratio <= limit else 'MISSED'}"


# ---- workloads ----


def build_workloads() -> tuple[list[Workload], dict]:
    get = wl.get_request()
    auth = wl.auth_message()
    get_packed = msgpack.packb(wl.GET_FIELDS)
    get_cbor = cbor2.dumps(wl.GET_FIELDS)
    auth_packed = msgpack.packb(wl.AUTH_FIELDS)
    auth_cbor = cbor2.dumps(wl.AUTH_FIELDS)

    rows = wl.rows_as_lists()
    dict_rows = wl.rows_as_dicts(rows)
    table_bytes = wl.build_table(dict_rows).to_bytes()
    response = wl.response_message(table_bytes)
    rows_packed = msgpack.packb(rows)
    dicts_packed = msgpack.packb(dict_rows)
    rows_cbor = cbor2.dumps(rows)
    service = wl.service_json()
    wide_rows = wl.rows_as_dicts(wl.rows_with_wide_numbers(rows))
    wide_table_bytes = wl.build_table(wide_rows).to_bytes()

    from_bytes = HcyMessage.from_bytes
    unpackb, packb = msgpack.unpackb, msgpack.packb
    cloads, cdumps = cbor2.loads, cbor2.dumps

    def small(data: bytes) -> Callable[[], object]:
        def run() -> object:
            m = from_bytes(data)
            m.short_description()
            return m.to_bytes()

        return run

    g = wl.GET_FIELDS
    build_request = HcyMessage.build_request

    # The fields as locals, so that the loop measures the call and not dict lookups.
    code, request_id, entity_type, entity_name, characteristic_type, characteristic_name, endpoint, session_id = (
        g["code"], g["request_id"], g["entity_type"], g["entity_name"], g["characteristic_type"],
        g["characteristic_name"], g["endpoint"], g["session_id"])

    def build_get() -> HcyMessage:
        return build_request(code, request_id, entity_type, entity_name, characteristic_type, characteristic_name,
                             endpoint=endpoint, session_id=session_id)

    # msgspec as its users write it: typed Structs (bench/typed.py), and plain dicts.
    ms_encode, ms_json_encode = typed.encoder.encode, typed.json_encoder.encode
    get_ms, auth_ms = ms_encode(wl.GET_FIELDS), ms_encode(wl.AUTH_FIELDS)
    rows_ms = ms_encode(dict_rows)
    decode_get, decode_auth = typed.get_decoder.decode, typed.auth_decoder.decode
    decode_rows, decode_any = typed.rows_decoder.decode, typed.dicts_decoder.decode
    decode_service = typed.service_decoder.decode
    GetRequest = typed.GetRequest
    version = g["version"]

    def ms_build_get() -> bytes:
        return ms_encode(GetRequest(version, code, request_id, endpoint, session_id, entity_type, entity_name,
                                    characteristic_type, characteristic_name))

    def build_with_add_rows() -> bytes:
        t = wl.new_table()
        t.add_rows(dict_rows)
        return t.to_bytes()

    def build_and_encode() -> bytes:
        t = wl.new_table()
        add = t.add_row
        for d in dict_rows:
            add(d)
        return t.to_bytes()

    # Arrow: the decoded table read by pyarrow, and a pyarrow table made into a table's bytes.
    arrow_table = pyarrow.table(InfoTable.from_bytes(table_bytes))
    arrow_schema = arrow_table.schema
    dict_rows_packed = packb(dict_rows)
    from_pylist = pyarrow.Table.from_pylist

    meta_request = from_bytes(wl.metadata_request())
    meta_table = meta_request.get_params()

    def to_arrow() -> object:
        return pyarrow.table(InfoTable.from_bytes(table_bytes))

    ws = [
        Workload(
            "W1a",
            f"GET request ({len(get)} B): decode, describe, encode",
            small(get),
            {
                "msgspec Struct decode+encode": lambda: ms_encode(decode_get(get_ms)),
                "msgspec decode+encode (dict)": lambda: ms_encode(decode_any(get_ms)),
                "msgpack unpack+pack": lambda: packb(unpackb(get_packed)),
                "cbor2 loads+dumps": lambda: cdumps(cloads(get_cbor)),
            },
            ("msgpack unpack+pack", 1.0),
        ),
        Workload(
            "W1b",
            f"auth message ({len(auth)} B): decode, describe, encode",
            small(auth),
            {
                "msgspec Struct decode+encode": lambda: ms_encode(decode_auth(auth_ms)),
                "msgspec decode+encode (dict)": lambda: ms_encode(decode_any(auth_ms)),
                "msgpack unpack+pack": lambda: packb(unpackb(auth_packed)),
                "cbor2 loads+dumps": lambda: cdumps(cloads(auth_cbor)),
            },
            ("msgpack unpack+pack", 1.0),
        ),
        Workload(
            "W1c",
            f"GET request ({len(get)} B): build_request",
            build_get,
            {"HcyMessage.from_bytes (decode)": lambda: from_bytes(get)},
            ("HcyMessage.from_bytes (decode)", 1.0),
        ),
        Workload(
            "W1d",
            f"GET request ({len(get)} B): build_request + to_bytes",
            lambda: build_get().to_bytes(),
            {
                "msgspec Struct build + encode": ms_build_get,
                "msgspec encode (fields as dict)": lambda: ms_encode(g),
                "msgpack.packb (fields as dict)": lambda: packb(g),
            },
            [("msgspec Struct build + encode", 1.0), ("msgpack.packb (fields as dict)", 1.0)],
        ),
        Workload(
            "W13",
            "table metadata of a 7-field table: get_field_definitions()",
            meta_table.get_field_definitions,
            {"HcyMessage.from_bytes (W1 GET request)": lambda: from_bytes(get)},
            ("HcyMessage.from_bytes (W1 GET request)", 1.0),
        ),
        Workload(
            "W13b",
            "table metadata of a 7-field table: get_params() of a decoded request + get_field_definitions()",
            lambda: meta_request.get_params().get_field_definitions(),
            {"HcyMessage.from_bytes (W1 GET request)": lambda: from_bytes(get)},
        ),
        Workload(
            "W13c",
            "table metadata of a 7-field table: get_field_names()",
            meta_table.get_field_names,
            {"HcyMessage.from_bytes (W1 GET request)": lambda: from_bytes(get)},
            ("HcyMessage.from_bytes (W1 GET request)", 1.0),
        ),
        Workload(
            "W13d",
            "table metadata of a 7-field table: get_field_types()",
            meta_table.get_field_types,
            {"HcyMessage.from_bytes (W1 GET request)": lambda: from_bytes(get)},
            ("HcyMessage.from_bytes (W1 GET request)", 1.0),
        ),
        Workload(
            "W2",
            f"response with {len(rows):,}-row table ({len(response) / 1e6:.2f} MB): decode + encode",
            lambda: from_bytes(response).to_bytes(),
            {
                "msgspec Struct rows decode+encode": lambda: ms_encode(decode_rows(rows_ms)),
                "msgspec decode+encode (dicts)": lambda: ms_encode(decode_any(rows_ms)),
                "msgpack unpack+pack": lambda: packb(unpackb(rows_packed)),
                "cbor2 loads+dumps": lambda: cdumps(cloads(rows_cbor)),
            },
            ("msgpack unpack+pack", 1.0),
        ),
        Workload(
            "W3",
            "table export, short decimals: InfoTable.from_bytes + to_simple_json",
            lambda: InfoTable.from_bytes(table_bytes).to_simple_json(),
            {
                "orjson.dumps (rows in memory)": lambda: orjson.dumps(dict_rows),
                "msgspec.json.encode (rows in memory)": lambda: ms_json_encode(dict_rows),
                "json.dumps (rows in memory)": lambda: json.dumps(dict_rows),
            },
            ("orjson.dumps (rows in memory)", 0.5),
        ),
        Workload(
            "W3r",
            "table export, random doubles: InfoTable.from_bytes + to_simple_json",
            lambda: InfoTable.from_bytes(wide_table_bytes).to_simple_json(),
            {
                "orjson.dumps (rows in memory)": lambda: orjson.dumps(wide_rows),
                "msgspec.json.encode (rows in memory)": lambda: ms_json_encode(wide_rows),
            },
            ("orjson.dumps (rows in memory)", 0.5),
        ),
        Workload(
            "W4",
            f"table building: {len(rows):,} add_row from dicts + to_bytes",
            build_and_encode,
            {
                "msgspec.msgpack.encode (list of dicts)": lambda: ms_encode(dict_rows),
                "msgpack.packb (list of dicts)": lambda: packb(dict_rows),
                "cbor2.dumps (list of dicts)": lambda: cdumps(dict_rows),
            },
            [("msgspec.msgpack.encode (list of dicts)", 1.3), ("msgpack.packb (list of dicts)", 1.5)],
        ),
        Workload(
            "W4b",
            f"table building: add_rows of {len(rows):,} dicts + to_bytes",
            build_with_add_rows,
            {
                "msgspec.msgpack.encode (list of dicts)": lambda: ms_encode(dict_rows),
                "add_row loop + to_bytes": build_and_encode,
            },
            [("msgspec.msgpack.encode (list of dicts)", 1.0), ("add_row loop + to_bytes", 1.0)],
        ),
        Workload(
            "W9",
            f"rows to Python: InfoTable.from_bytes + get_rows ({len(rows):,} rows as dicts)",
            lambda: InfoTable.from_bytes(table_bytes).get_rows(),
            {
                "msgspec decode (rows as Structs)": lambda: decode_rows(rows_ms),
                "msgspec decode (rows as dicts)": lambda: decode_any(rows_ms),
                "msgpack.unpackb (rows as dicts)": lambda: unpackb(dicts_packed),
            },
            # Against msgspec's Structs the target is W9t's: rows as tuples.
            ("msgpack.unpackb (rows as dicts)", 1.0),
        ),
        Workload(
            "W9t",
            f"rows to Python: InfoTable.from_bytes + get_row_tuples ({len(rows):,} rows as tuples)",
            lambda: InfoTable.from_bytes(table_bytes).get_row_tuples(),
            {
                "msgspec decode (rows as Structs)": lambda: decode_rows(rows_ms),
                "from_bytes + get_rows (dicts)": lambda: InfoTable.from_bytes(table_bytes).get_rows(),
            },
            ("msgspec decode (rows as Structs)", 1.0),
        ),
        Workload(
            "W5",
            f"service definition, 20 inputs ({len(service):,} B JSON): from_json + to_json",
            lambda: HcyService.from_json(service).to_json(),
            {
                "orjson loads+dumps": lambda: orjson.dumps(orjson.loads(service)),
                "msgspec.json Struct decode+encode": lambda: ms_json_encode(decode_service(service)),
                "json loads+dumps": lambda: json.dumps(json.loads(service), separators=(",", ":")),
            },
            ("orjson loads+dumps", 0.5),
        ),
        Workload(
            "W8a",
            f"to Arrow: InfoTable.from_bytes + pyarrow.table ({len(rows):,} rows)",
            to_arrow,
            {"msgpack.unpackb + Table.from_pylist": lambda: from_pylist(unpackb(dict_rows_packed), schema=arrow_schema)},
            ("msgpack.unpackb + Table.from_pylist", 0.1),
        ),
        Workload(
            "W8b",
            f"to Arrow: InfoTable.from_bytes + pyarrow.table ({len(rows):,} rows)",
            to_arrow,
            {"InfoTable.from_bytes alone": lambda: InfoTable.from_bytes(table_bytes)},
            ("InfoTable.from_bytes alone", 2.0),
        ),
        Workload(
            "W8c",
            f"from Arrow: InfoTable.from_arrow(pyarrow table) + to_bytes ({len(rows):,} rows)",
            lambda: InfoTable.from_arrow(arrow_table).to_bytes(),
            {"add_rows + to_bytes": build_with_add_rows},
            ("add_rows + to_bytes", 1.0),
        ),
    ]
    check_outputs(get, auth, response, service)
    check_msgspec(ms_build_get, decode_rows(rows_ms), decode_service(service), dict_rows, service)
    assert from_pylist(unpackb(dict_rows_packed), schema=arrow_schema).equals(arrow_table), "W8a: other tables"
    assert InfoTable.from_arrow(arrow_table).to_bytes() == build_and_encode() == table_bytes, "W8c: other bytes"
    data = {
        "get": get,
        "auth": auth,
        "response": response,
        "table": table_bytes,
        "rows_packed": rows_packed,
        "rows_cbor": rows_cbor,
        "rows_ms": rows_ms,
        "service": service.encode(),
    }
    return ws, data


# ---- Arrow import in many batches; memory of exporting one long text among short ones ----


def arrow_batch_workloads() -> list[Workload]:
    one = wl.arrow_rows()
    many = pyarrow.Table.from_batches(one.to_batches(max_chunksize=1))
    assert len(many.to_batches()) == wl.BATCH_ROWS, "W8e: not one row per batch"
    assert InfoTable.from_arrow(many).to_bytes() == InfoTable.from_arrow(one).to_bytes(), "W8e: other tables"
    return [
        Workload(
            "W8e",
            f"from Arrow: InfoTable.from_arrow of {wl.BATCH_ROWS:,} one-row batches (pyarrow table, 3 columns)",
            lambda: InfoTable.from_arrow(many),
            {
                "from_arrow of one batch of the same rows": lambda: InfoTable.from_arrow(one),
                # The producer's own cost per batch, for scale: pyarrow reading the stream it exports.
                "pyarrow RecordBatchReader.from_stream + read_all": (
                    lambda: pyarrow.RecordBatchReader.from_stream(many).read_all()),
            },
            ("from_arrow of one batch of the same rows", 3.0),
        )
    ]


# ---- W8d: LOCATION, BLOB, INFOTABLE and VARIANT columns beside texts and numbers, to Arrow ----


def mixed_arrow_workloads() -> list[Workload]:
    data = wl.mixed_table_bytes()
    a = pyarrow.table(InfoTable.from_bytes(data))
    assert a.column("where").null_count == wl.MIXED_ROWS // 10, "W8d: empty cells not null"
    assert InfoTable.from_arrow(a).to_bytes() == data, "W8d: other bytes"
    return [
        Workload(
            "W8d",
            f"to Arrow: InfoTable.from_bytes + pyarrow.table ({wl.MIXED_ROWS:,} rows of text, NUMBER, LOCATION, BLOB, "
            "INFOTABLE, VARIANT)",
            lambda: pyarrow.table(InfoTable.from_bytes(data)),
            {"InfoTable.from_bytes alone": lambda: InfoTable.from_bytes(data)},
            ("InfoTable.from_bytes alone", 3.0),
        )
    ]


def arrow_import_ratio(rows: list[Row]) -> None:
    """The C++ ArrowImport rows: the importer alone (a producer that costs nothing per batch), one-row batches
    against one batch; target 3x."""
    named = {r.contender: r for r in rows if r.contender in ("OneBatch", "OneRowBatches")}
    if len(named) == 2 and named["OneBatch"].median:
        r = named["OneRowBatches"]
        r.ratio = r.median / named["OneBatch"].median
        r.extra["vs"] = "OneBatch"
        r.target = target_text(r.ratio, 3.0) + " (x one batch)"


def export_memory_rows(reps: int) -> list[Row]:
    code = f"import sys; sys.path.insert(0, {str(HERE)!r}); import workloads; workloads.export_probe()"
    runs = [json.loads(subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                                      text=True).stdout) for _ in range(reps)]
    ratios = [r["peak"] / r["text"] for r in runs]
    q1, med, q3 = quartiles(ratios)
    row = Row("W6b peak memory of exporting one 100 MB text + 1,000,000 short ones / text bytes (fresh process)",
              "InfoTable.__arrow_c_stream__", med, min(ratios), (q3 - q1) / med if med else 0.0, unit="x",
              extra={"text MB": runs[0]["text"] / 1e6})
    row.target = target_text(med, 2.0)
    return [row]


def check_outputs(get: bytes, auth: bytes, response: bytes, service: str) -> None:
    """The timed operations must give back what they were given, or the numbers mean nothing."""
    g = wl.GET_FIELDS
    built = HcyMessage.build_request(g["code"], g["request_id"], g["entity_type"], g["entity_name"],
                                     g["characteristic_type"], g["characteristic_name"], endpoint=g["endpoint"],
                                     session_id=g["session_id"])
    assert built.to_bytes() == get, "build_request gives other bytes than the W1 request"
    assert HcyMessage.from_bytes(get).to_bytes() == get
    assert HcyMessage.from_bytes(auth).to_bytes() == auth
    assert HcyMessage.from_bytes(response).to_bytes() == response
    assert HcyService.from_json(service).to_json() == service


def check_msgspec(build: Callable[[], bytes], rows: list, service: object, dict_rows: list[dict],
                  service_json: str) -> None:
    """The msgspec baselines must carry the same data as ours."""
    assert {k: v for k, v in msgspec.msgpack.decode(build()).items() if k in wl.GET_FIELDS} == wl.GET_FIELDS
    assert [msgspec.structs.asdict(r) for r in rows] == dict_rows, "msgspec rows differ"
    assert msgspec.json.decode(msgspec.json.encode(service)) == json.loads(service_json), "msgspec service differs"
    assert [list(r.values()) for r in dict_rows] == [list(t) for t in InfoTable.from_bytes(
        wl.build_table(dict_rows).to_bytes()).get_row_tuples()], "get_row_tuples gives other values"


# ---- threads (W7) ----


def thread_scaling(work: Callable[[int], None], rounds: int, min_time: float) -> tuple[list[float], list[float], list[float]]:
    """Time per call of `work` on 1 and on 2 threads (same total work), and the throughput ratio, per round."""
    from concurrent.futures import ThreadPoolExecutor

    per_call = sample(lambda: work(1), 3)
    n = max(4, int(min_time * 4 / per_call) // 2 * 2)
    pool = ThreadPoolExecutor(2)
    list(pool.map(work, [1, 1]))
    ratios, singles, pairs = [], [], []
    for _ in range(rounds):
        t0 = CLOCK()
        work(n)
        t1 = CLOCK()
        list(pool.map(work, [n // 2, n // 2]))
        t2 = CLOCK()
        singles.append((t1 - t0) / 1e9 / n)
        pairs.append((t2 - t1) / 1e9 / n)
        ratios.append((t1 - t0) / (t2 - t1))
    pool.shutdown()
    return ratios, singles, pairs


def thread_rows(response: bytes, rows_ms: bytes, rounds: int, min_time: float) -> list[Row]:
    """Throughput of decoding and re-encoding the W2 response on 1 and on 2 threads (same total work), and of
    msgspec doing the same with the rows as Structs."""
    from_bytes = HcyMessage.from_bytes
    ms_encode, decode_rows = typed.encoder.encode, typed.rows_decoder.decode

    def work(n: int) -> None:
        for _ in range(n):
            from_bytes(response).to_bytes()

    def ms_work(n: int) -> None:
        for _ in range(n):
            ms_encode(decode_rows(rows_ms))

    out = []
    for label, fn, title in (("", work, "W7 decode + encode W2 on threads (time per message)"),
                             ("msgspec Struct rows ", ms_work, "")):
        ratios, singles, pairs = thread_scaling(fn, rounds, min_time)
        lo, mid, hi = quartiles(ratios)
        q1, med1, q3 = quartiles(singles)
        p1, med2, p3 = quartiles(pairs)
        one = Row(title, label + "1 thread", med1, min(singles), (q3 - q1) / med1)
        two = Row("", label + "2 threads", med2, min(pairs), (p3 - p1) / med2)
        scaled = f"{mid:.2f}x [{lo:.2f}-{hi:.2f}]"
        two.target = f">= 1.7x: {'met' if mid >= 1.7 else 'MISSED'} ({scaled})" if not label else f"({scaled})"
        out += [one, two]
    return out


# ---- memory (W6) ----


def memory_rows(data: dict, reps: int) -> list[Row]:
    with tempfile.TemporaryDirectory() as tmp:
        files = {
            "veltrac": Path(tmp, "response.bin"),
            "msgpack": Path(tmp, "rows.msgpack"),
            "cbor2": Path(tmp, "rows.cbor"),
        }
        files["veltrac"].write_bytes(data["response"])
        files["msgpack"].write_bytes(data["rows_packed"])
        files["cbor2"].write_bytes(data["rows_cbor"])
        results: dict[str, list[dict]] = {k: [] for k in files}
        for _ in range(reps):
            for kind, path in files.items():
                out = subprocess.run(
                    [sys.executable, str(HERE / "memprobe.py"), kind, str(path)],
                    check=True,
                    capture_output=True,
                    text=True,
                )
                results[kind].append(json.loads(out.stdout))
    rows = []
    for kind, rs in results.items():
        peaks = [r["peak"] / r["wire"] for r in rs]
        kept = statistics.median(r["retained"] / r["wire"] for r in rs)
        label = "HcyMessage.from_bytes" if kind == "veltrac" else f"{kind} decode (rows as lists)"
        q1, med, q3 = quartiles(peaks)
        row = Row(
            "W6 peak memory of decoding W2 / wire size (fresh process, VmHWM)" if kind == "veltrac" else "",
            label,
            med,
            min(peaks),
            (q3 - q1) / med if med else 0.0,
            unit="x",
            extra={"retained": kept},
        )
        if kind == "veltrac":
            row.target = target_text(med, 4.0)
        rows.append(row)
    return rows


# ---- passing a decoded table on (W11) ----


def pass_on_workloads(request: bytes) -> list[Workload]:
    """A gateway's answer: the request's table handed to the reply as it was decoded."""
    from_bytes = HcyMessage.from_bytes
    decoded = from_bytes(request)

    def answer() -> bytes:
        m = from_bytes(request)
        return m.reply("HCY_SUCCESS", params=m.get_params()).to_bytes()

    assert from_bytes(answer()).get_params().to_bytes() == decoded.get_params().to_bytes(), "W11: other table"
    title = f"pass a decoded table on ({wl.PASS_ON_ROWS:,} rows of one short text, {len(request) / 1e6:.2f} MB)"
    return [
        Workload("W11", f"{title}: from_bytes + get_params + reply(params=) + to_bytes", answer,
                 {"from_bytes + to_bytes of the request": lambda: from_bytes(request).to_bytes()},
                 ("from_bytes + to_bytes of the request", 1.5)),
        Workload("W11b", f"{title}: get_params() of the decoded request", decoded.get_params,
                 {"from_bytes of the request": lambda: from_bytes(request)}, ("from_bytes of the request", 0.05)),
    ]


def pass_on_memory_rows(request: bytes, reps: int) -> list[Row]:
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp, "request.bin")
        path.write_bytes(request)
        rs = [json.loads(subprocess.run([sys.executable, str(HERE / "memprobe.py"), "reply", str(path)], check=True,
                                        capture_output=True, text=True).stdout) for _ in range(reps)]
    peaks = [r["peak"] / r["decoded"] for r in rs]
    q1, med, q3 = quartiles(peaks)
    row = Row("W11 peak memory of decoding + get_params + reply / decoded size (fresh process, VmHWM)",
              "HcyMessage.reply(params=get_params())", med, min(peaks), (q3 - q1) / med if med else 0.0, unit="x")
    row.target = target_text(med, 1.2)
    return [row]


# ---- reading a capture (W12) ----


def stream_workloads() -> list[Workload]:
    """MessageReader over a capture fed in 64 KiB chunks, against msgpack.Unpacker over the same content as
    msgpack maps; and MessageHeader.from_buffer against struct.unpack_from of the same 15 bytes."""
    import struct

    from veltrac import MessageHeader, MessageReader

    ours_data, packed_data = wl.capture()
    step = wl.CAPTURE_CHUNK
    ours_chunks = [ours_data[i:i + step] for i in range(0, len(ours_data), step)]
    packed_chunks = [packed_data[i:i + step] for i in range(0, len(packed_data), step)]

    def read_ours() -> int:
        reader, n = MessageReader(), 0
        for chunk in ours_chunks:
            reader.feed(chunk)
            for _ in reader:
                n += 1
        return n

    def read_packed() -> int:
        unpacker, n = msgpack.Unpacker(), 0
        for chunk in packed_chunks:
            unpacker.feed(chunk)
            for _ in unpacker:
                n += 1
        return n

    assert read_ours() == read_packed() == wl.CAPTURE_MESSAGES, "W12: messages lost"
    head = ours_data[:15]
    from_buffer, unpack_from = MessageHeader.from_buffer, struct.unpack_from
    title = f"read a capture ({wl.CAPTURE_MESSAGES:,} mixed messages, {len(ours_data) / 1e6:.1f} MB, 64 KiB chunks)"
    return [
        Workload("W12", f"{title}: MessageReader", read_ours,
                 {f"msgpack.Unpacker ({len(packed_data) / 1e6:.1f} MB of maps)": read_packed},
                 (f"msgpack.Unpacker ({len(packed_data) / 1e6:.1f} MB of maps)", 0.5)),
        Workload("W12b", "the 15-byte header of a message: MessageHeader.from_buffer", lambda: from_buffer(head),
                 {'struct.unpack_from(">BBIIIB")': lambda: unpack_from(">BBIIIB", head)},
                 ('struct.unpack_from(">BBIIIB")', 1.0)),
    ]


# ---- C++ micro-benchmarks ----


def cpp_rows(binary: Path, data: dict, reps: int, min_time: float, time_key: str) -> tuple[list[Row], list[dict]]:
    with tempfile.TemporaryDirectory() as tmp:
        for name in ("get", "auth", "response", "table", "service"):
            Path(tmp, name + ".bin").write_bytes(data[name])
        env = dict(os.environ, VELTRAC_BENCH_DATA=tmp)
        out = subprocess.run(
            [
                str(binary),
                "--benchmark_format=json",
                f"--benchmark_repetitions={reps}",
                f"--benchmark_min_time={min_time}",
                "--benchmark_report_aggregates_only=false",
                # Repetitions of all benchmarks in random order, so that a change of clock or load during
                # the run hits the codec and its memcpy floor alike.
                "--benchmark_enable_random_interleaving=true",
            ],
            check=True,
            capture_output=True,
            text=True,
            env=env,
        )
    report = json.loads(out.stdout)
    runs: dict[str, list[dict]] = {}
    for b in report["benchmarks"]:
        if b.get("run_type") == "iteration":
            runs.setdefault(b["run_name"], []).append(b)
    med = {name: statistics.median(r[time_key] for r in rs) * 1e-9 for name, rs in runs.items()}
    best = {name: min(r[time_key] for r in rs) * 1e-9 for name, rs in runs.items()}
    spread = {}
    for name, rs in runs.items():
        q1, m, q3 = quartiles([r[time_key] for r in rs])
        spread[name] = (q3 - q1) / m
    # Each benchmark name is "<Group>/<What>"; the group's Memcpy run is its floor.
    rows = []
    groups: dict[str, list[str]] = {}
    for name in runs:
        groups.setdefault(name.split("/")[0], []).append(name)
    for group, names in groups.items():
        floor = f"{group}/Memcpy"
        first = True
        for name in names:
            if name == floor:
                continue
            r = runs[name][0]
            row = Row(f"C++ {group}" if first else "", name.split("/", 1)[1], med[name], best[name], spread[name])
            first = False
            if "bytes_per_second" in r:
                row.extra["MB/s"] = statistics.median(x["bytes_per_second"] for x in runs[name]) / 1e6
            if floor in med:
                row.ratio = med[name] / med[floor]
                row.extra["vs"] = "memcpy"
                if name.endswith("/Decode") and group == "Response":
                    row.target = target_text(row.ratio, 6.0) + " (x memcpy)"
            for counter in ("peak_per_wire", "kept_per_wire", "allocs"):
                if counter in r:
                    row.extra[counter] = r[counter]
            rows.append(row)
        if floor in med:
            mc = runs[floor][0]
            rows.append(
                Row("", "memcpy (floor)", med[floor], best[floor], spread[floor],
                    extra={"MB/s": mc.get("bytes_per_second", 0) / 1e6})
            )
    return rows, report["benchmarks"]


# ---- output ----


def fmt_value(r: Row, v: float | None) -> str:
    if v is None:
        return ""
    return f"{v:.2f}x" if r.unit == "x" else fmt_time(v)


def print_table(rows: list[Row], rounds: int) -> None:
    header = ["workload", "contender", "median", "min", "IQR", "veltrac / this", "target", "notes"]
    lines = []
    for r in rows:
        ratio = ""
        if r.ratio is not None:
            ratio = f"{r.ratio:.2f}"
            if r.ratio_lo is not None:
                ratio += f" [{r.ratio_lo:.2f}-{r.ratio_hi:.2f}]"
        notes = []
        if "MB/s" in r.extra:
            notes.append(f"{r.extra['MB/s']:.0f} MB/s")
        if "peak_per_wire" in r.extra:
            notes.append(f"peak {r.extra['peak_per_wire']:.2f}x wire (counted allocations)")
        if "retained" in r.extra:
            notes.append(f"kept {r.extra['retained']:.2f}x wire")
        if r.extra.get("vs"):
            ratio = f"{r.ratio:.2f} (x {r.extra['vs']})"
        lines.append(
            [r.workload, r.contender, fmt_value(r, r.median), fmt_value(r, r.best),
             f"±{100 * r.spread / 2:.1f}%" if r.spread is not None else "", ratio, r.target, "; ".join(notes)]
        )
    widths = [max(len(h), *(len(line[i]) for line in lines)) for i, h in enumerate(header)]
    widths[0] = min(widths[0], 44)

    def emit(cells: list[str]) -> None:
        first = cells[0]
        if len(first) > widths[0]:
            print(first)
            first = ""
        out = [first.ljust(widths[0])] + [c.rjust(w) if i in (2, 3, 4) else c.ljust(w)
                                           for i, (c, w) in enumerate(zip(cells[1:], widths[1:]), 1)]
        print("  ".join(out).rstrip())

    emit(header)
    print("  ".join("-" * w for w in widths))
    for line in lines:
        if line[0] and line is not lines[0]:
            print()
        emit(line)


def markdown(rows: list[Row]) -> str:
    """The ratio rows as a Markdown table (the README's Performance section)."""
    out = []
    workload, ours = "", None
    for r in rows:
        if r.workload:
            workload, ours = r.workload.split(" (")[0], r
        if r.ratio is None or r.unit == "x":
            continue
        if workload.startswith("C++"):
            if not r.target:
                continue
            cells = [f"{workload} {r.contender}", fmt_time(r.median), "memcpy", f"{r.ratio:.1f}x memcpy"]
        else:
            cells = [workload, fmt_time(ours.median), f"{r.contender} {fmt_time(r.median)}",
                     f"{r.ratio:.2f} [{r.ratio_lo:.2f}-{r.ratio_hi:.2f}]"]
        out.append("| " + " | ".join(cells + [r.target]) + " |")
    for r in rows:
        if r.unit == "x" and r.target and r.workload.startswith("W11"):
            out.append(f"| W11 peak memory of passing the table on | {r.median:.2f}x decoded size | | | {r.target} |")
        elif r.unit == "x" and r.target and r.workload.startswith("W6b"):
            out.append(f"| W6b peak memory of exporting one 100 MB text among 1,000,000 short ones | {r.median:.2f}x "
                       f"text bytes | | | {r.target} |")
        elif r.unit == "x" and r.target:
            out.append(f"| W6 peak memory of decoding W2 | {r.median:.2f}x wire size | msgpack "
                       f"{next(x.median for x in rows if x.contender.startswith('msgpack decode')):.2f}x | | {r.target} |")
    return "\n".join(out)


def load_text() -> str:
    one, five, _ = os.getloadavg()
    return f"{one:.2f} (1 min), {five:.2f} (5 min) on {os.cpu_count()} CPUs"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=int(os.environ.get("BENCH_ROUNDS", 15)))
    ap.add_argument("--min-time", type=float, default=float(os.environ.get("BENCH_MIN_TIME", 0.05)),
                    help="seconds per sample (default 0.05)")
    ap.add_argument("--clock", choices=("wall", "cpu"), default=os.environ.get("BENCH_CLOCK", "wall"),
                    help="wall clock (default) or this process's CPU time (steadier on a busy machine)")
    ap.add_argument("--cpp", type=Path, help="the Google Benchmark binary (bench/cpp), run in the same session")
    ap.add_argument("--only", help="comma-separated workload keys, e.g. W2,W3; 'scaling' for the scaling suite")
    ap.add_argument("--scaling", metavar="KEYS", help="the scaling suite's cases or groups to run, e.g. table,msg.reply")
    scaling.add_arguments(ap, "scaling-")
    ap.add_argument("--json", type=Path, help="also write the rows as JSON here")
    ap.add_argument("--markdown", type=Path, help="also write the ratios as a Markdown table here")
    args = ap.parse_args()

    only = set(args.only.split(",")) if args.only else None
    global CLOCK
    if args.clock == "cpu":
        CLOCK = time.process_time_ns
    start_load = load_text()
    t_start = time.time()
    workloads, data = build_workloads()
    pass_on_request = wl.pass_on_request()
    workloads += pass_on_workloads(pass_on_request)
    workloads += arrow_batch_workloads()
    workloads += mixed_arrow_workloads()
    if not only or only & {"W12", "W12b"}:
        workloads += stream_workloads()
    rows: list[Row] = []
    for w in workloads:
        if only and w.key not in only:
            continue
        print(f"timing {w.key} ...", file=sys.stderr, flush=True)
        rows += time_workload(w, args.rounds, args.min_time)
    if (not only or "W7" in only) and os.cpu_count() and os.cpu_count() >= 2:
        print("timing W7 ...", file=sys.stderr, flush=True)
        rows += thread_rows(data["response"], data["rows_ms"], max(5, args.rounds // 3), args.min_time)
    if not only or "W6" in only:
        print("measuring W6 ...", file=sys.stderr, flush=True)
        rows += memory_rows(data, reps=5)
    if not only or "W11" in only:
        print("measuring W11 memory ...", file=sys.stderr, flush=True)
        rows += pass_on_memory_rows(pass_on_request, reps=5)
    if not only or "W6b" in only:
        print("measuring W6b ...", file=sys.stderr, flush=True)
        rows += export_memory_rows(reps=3)
    cpp_raw: list[dict] = []
    if args.cpp and (not only or "C++" in only):
        print("running the C++ benchmarks ...", file=sys.stderr, flush=True)
        cpp, cpp_raw = cpp_rows(args.cpp, data, reps=max(5, args.rounds // 3), min_time=max(args.min_time, 0.1),
                                time_key="cpu_time" if args.clock == "cpu" else "real_time")
        arrow_import_ratio(cpp)
        rows += cpp
    scaled: list[scaling.Result] = []
    if not only or "scaling" in only:
        scaled = scaling.run(set(args.scaling.split(",")) if args.scaling else None, args.scaling_rounds,
                             args.scaling_min_time, args.scaling_guard, args.scaling_clock)

    print()
    print(f"veltrac {veltrac.__version__} on CPython {platform.python_version()}, {platform.machine()}, "
          f"msgspec {msgspec.__version__}, msgpack {msgpack.version[0]}.{msgpack.version[1]}.{msgpack.version[2]}, cbor2 {cbor2_version()}, "
          f"orjson {orjson.__version__}")
    print(f"load average: {start_load} at start, {load_text()} at end; "
          f"{args.clock} clock, {args.rounds} rounds, samples of >= {args.min_time:g} s, {time.time() - t_start:.0f} s in all")
    print("times are per call; IQR is the interquartile range / 2 relative to the median; "
          "'veltrac / this' is the per-round ratio's median [quartiles], below 1 = veltrac faster")
    print()
    if rows:
        print_table(rows, args.rounds)
    if scaled:
        print()
        scaling.print_report(scaled)
    if args.markdown:
        args.markdown.write_text(markdown(rows) + "\n" + (scaling.markdown(scaled) + "\n" if scaled else ""))
    if args.json:
        args.json.write_text(json.dumps({"load_start": start_load, "load_end": load_text(),
                                         "rows": [r.__dict__ for r in rows], "cpp": cpp_raw,
                                         "scaling": [scaling.result_json(r) for r in scaled]}, indent=1))


def cbor2_version() -> str:
    try:
        from importlib.metadata import version

        return version("cbor2")
    except Exception:  # pragma: no cover
        return "?"


if __name__ == "__main__":
    main()
