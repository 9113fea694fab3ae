"""Scaling suite: every public operation on a table, message, definition, capture or buffer, timed at n and 8n.

Usage: python bench/scaling.py [--only KEY,GROUP] [--rounds N] [--guard S] [--clock cpu|wall] [--list] [--json FILE]
       (make bench runs it after the workloads; BENCH_ARGS="--only scaling --scaling msg" runs chosen cases)

Each case builds its input at size n and at 8n (rows, text bytes, batches, header entries, bound names,
fields, aspects), untimed, and times the operation on both in alternating rounds. A linear operation takes
8 times as long at 8n; the target allows up to 10 (noise and caches). The ratio is taken between the
fastest samples of each size, in this process's CPU time by default, which on a shared machine leaves out
the time other processes take (and still counts the page faults of fresh memory).

A call of 50 us or more is timed one by one, each after 64 MB of other data went through the CPU's caches,
as a server's call between messages finds them: otherwise the n side would run from the caches and the 8n
side from memory, and the fastest linear operations would show up to twice 8 (ref.bytes, a plain copy timed
warm, shows how much on this machine). n is chosen so that fixed costs (the call, argument parsing) are a
small part of the n case, which mostly takes 0.2 to 1.5 ms, and so that the 8n case's memory stays moderate
(tables of at most about 25 MB, texts of a few MB): glibc serves blocks above 32 MiB as fresh pages from the
system on every call, whose faults cost several times more per byte than decoding them on a virtual machine
(keep_freed_heap sets its thresholds as a long-running process has them). That
cost is linear in the bytes too, but a case whose 8n side crossed into it would measure the allocator.

An operation that grows faster would make the 8n case take minutes: before it, the case is timed at 2n
(its second call) and the time at 8n is extrapolated from the growth between n and 2n. When that exceeds
--guard seconds per call, the case stops at the largest size that fits (2n or 4n), reports the ratio it
measured there and misses its target. Nothing here passes or fails: the target column only says whether
the ratio meets it. The ref.* cases are references for the machine, not targets.
"""

from __future__ import annotations

import argparse
import copy
import ctypes
import gc
import io
import json
import math
import os
import pickle
import random
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import pyarrow  # noqa: E402

import veltrac  # noqa: E402

from veltrac import HcPrim, HcyEvent, HcyMessage, HcyProperty, HcyService, InfoTable  # noqa: E402
from veltrac import cli  # noqa: E402

import workloads as wl  # noqa: E402

TARGET = 10.0
FACTOR = 8

Timed = Callable[[], object]


@dataclass
class Case:
    key: str
    title: str
    unit: str  # what grows
    n: int
    make: Callable[[int], Timed]  # builds the input of size n (untimed) and returns the call to time


@dataclass
class Result:
    case: Case
    t_n: float
    t_big: float | None = None  # time per call at the largest size measured
    big: int = FACTOR  # that size, in multiples of n
    ratio: float | None = None
    predicted: float | None = None  # extrapolated time per call at 8n when the guard stopped the case
    samples: dict = field(default_factory=dict)

    @property
    def met(self) -> bool:
        return self.big == FACTOR and self.ratio is not None and self.ratio <= TARGET


# ---- inputs ----

_WORDS = wl._WORDS
# Short texts, most of 8 to 24 bytes: names of units and readings as devices send them.
COLUMNS = [
    ("unit", "STRING"),
    ("value", "NUMBER"),
    ("count", "INTEGER"),
    ("total", "LONG"),
    ("ok", "BOOLEAN"),
    ("at", "DATETIME"),
]


def dict_rows(n: int, seed: int = 1) -> list[dict]:
    rnd = random.Random(wl.SEED + seed)
    return [
        {
            "unit": f"{rnd.choice(_WORDS)}-{rnd.choice(_WORDS)}-{i}",
            "value": round(rnd.uniform(-1000.0, 1000.0), rnd.randint(0, 4)),
            "count": rnd.randint(-(2**31), 2**31 - 1),
            "total": rnd.randint(-(2**62), 2**62),
            "ok": rnd.random() < 0.5,
            "at": 1_700_000_000_000 + i * 1000,
        }
        for i in range(n)
    ]


def empty_table(name: str = "Readings") -> InfoTable:
    t = InfoTable(name)
    for column, base_type in COLUMNS:
        t.add_field_definition(column, base_type, f"the {column} column")
    return t


_cache: dict[tuple, Any] = {}


def cached(key: tuple, build: Callable[[], Any]) -> Any:
    if key not in _cache:
        _cache[key] = build()
    return _cache[key]


def table_bytes(n: int) -> bytes:
    def build() -> bytes:
        t = empty_table()
        t.add_rows(dict_rows(n))
        return t.to_bytes()

    return cached(("table", n), build)


def decoded(n: int) -> InfoTable:
    """A table as a program receives it: decoded from the wire."""
    return InfoTable.from_bytes(table_bytes(n))


def response_bytes(n: int) -> bytes:
    return wl.response_message(table_bytes(n))


def request_message(n_headers: int = 1, params: InfoTable | None = None) -> HcyMessage:
    headers = [(f"h{i}-{_WORDS[i % len(_WORDS)]}", f"value {i}") for i in range(n_headers)]
    return HcyMessage.build_request("HCY_POST", 41, 20, "Pump-07", 2, "GetReadings", headers, params,
                                    endpoint=5, session_id=6)


def wide_table(n: int, rows: int = 2) -> InfoTable:
    """n fields of mixed types, a few rows."""
    t = InfoTable("Wide")
    columns = [(f"{name}{i}", name, base_type) for i, (name, base_type) in enumerate(COLUMNS * (n // len(COLUMNS) + 1))]
    for i, (field_name, _, base_type) in enumerate(columns[:n]):
        t.add_field_definition(field_name, base_type, f"field {i}")
    t.add_rows([{field_name: r[name] for field_name, name, _ in columns[:n]} for r in dict_rows(rows)])
    return t


def long_text(n: int) -> str:
    """n characters of words with quotes, a backslash, a control character and non-ASCII now and then."""
    rnd = random.Random(wl.SEED + 7)
    parts, size = [], 0
    extras = ['"', "\\", "\n", "é", "µ", "→"]
    while size < n:
        w = rnd.choice(_WORDS) + (rnd.choice(extras) if rnd.random() < 0.1 else " ")
        parts.append(w)
        size += len(w)
    return "".join(parts)[:n]


def text_table(n: int) -> InfoTable:
    t = InfoTable("Notes")
    t.add_field_definition("id", "INTEGER", "")
    t.add_field_definition("note", "STRING", "")
    t.add_row({"id": 1, "note": long_text(n)})
    return t


def field_defs(n: int, aspects: int = 1) -> dict:
    fields = {}
    for i in range(n):
        name, base_type = COLUMNS[i % len(COLUMNS)]
        a: dict[str, Any] = {"isRequired": i % 3 == 0}
        for j in range(aspects - 1):
            a[f"note{j}"] = f"aspect {j} of {name}{i}"
        fields[f"{name}{i}"] = {"name": f"{name}{i}", "description": f"field {i}", "baseType": base_type,
                                "aspects": a}
    return fields


def custom_aspects(n: int) -> dict:
    a: dict[str, Any] = {"isAsync": False, "units": "kPa", "maximumValue": 10.5}
    for j in range(n):
        a[f"tag{j}"] = f"value {j}"
    return a


def service_json(n_fields: int, n_aspects: int = 0, field_aspects: int = 1) -> str:
    return json.dumps({
        "name": "ConfigureStation",
        "description": "Applies a configuration",
        "aspects": custom_aspects(n_aspects),
        "Inputs": {"fieldDefinitions": field_defs(n_fields, field_aspects)},
        "Outputs": {"name": "result", "baseType": "INFOTABLE", "aspects": {"dataShape": "Result"},
                    "fieldDefinitions": field_defs(2)},
    }, separators=(",", ":"))


def event_json(n_fields: int, n_aspects: int = 0) -> str:
    return json.dumps({
        "name": "overheat",
        "description": "too hot",
        "aspects": custom_aspects(n_aspects),
        "EventData": {"name": "Alarm", "aspects": {}, "fieldDefinitions": field_defs(n_fields)},
    }, separators=(",", ":"))


def property_json(n_aspects: int) -> str:
    return json.dumps({"name": "temperature", "baseType": "NUMBER", "aspects": custom_aspects(n_aspects),
                       "pushType": "VALUE", "pushThreshold": 0.5, "startType": "readEdgeValue"},
                      separators=(",", ":"))


def nested_one(n: int) -> InfoTable:
    """One row whose INFOTABLE cell holds an n-row table, decoded."""
    t = InfoTable("Outer")
    t.add_field_definition("inner", "INFOTABLE", "")
    t.add_field_definition("id", "INTEGER", "")
    t.append_row([HcPrim.infotable(decoded(n)), HcPrim.integer(1)])
    return InfoTable.from_bytes(t.to_bytes())


def nested_many(n: int) -> bytes:
    """n rows, each with a small nested table."""
    small = empty_table("Small")
    small.add_rows(dict_rows(2))
    cell = HcPrim.infotable(small)
    t = InfoTable("Outer")
    t.add_field_definition("inner", "INFOTABLE", "")
    t.add_field_definition("id", "INTEGER", "")
    for i in range(n):
        t.append_row([cell, HcPrim.integer(i)])
    return t.to_bytes()


_files: list[str] = []  # inputs of the command line cases, removed after the run


def cli_command(argv: list[str], data: bytes) -> Timed:
    """The command `argv` on a file holding `data`, in this process, its output written to a string."""
    tmp = tempfile.NamedTemporaryFile(prefix="veltrac-scaling-", suffix=".bin", delete=False)
    tmp.write(data)
    tmp.close()
    args = cli.build_parser().parse_args(argv + [tmp.name])
    _files.append(tmp.name)

    def run() -> int:
        return int(args.func(args, io.StringIO()))

    return run


# ---- cases ----


def cases() -> list[Case]:
    cs: list[Case] = []

    def case(key: str, title: str, unit: str, n: int) -> Callable[[Callable[[int], Timed]], Callable[[int], Timed]]:
        def add(make: Callable[[int], Timed]) -> Callable[[int], Timed]:
            cs.append(Case(key, title, unit, n, make))
            return make

        return add

    # Tables as received: decoded, with a short text column and numbers.
    @case("table.from_bytes", "InfoTable.from_bytes", "rows", 30_000)
    def _(n: int) -> Timed:
        data = table_bytes(n)
        return lambda: InfoTable.from_bytes(data)

    @case("table.to_bytes", "to_bytes of a decoded table", "rows", 20_000)
    def _(n: int) -> Timed:
        return decoded(n).to_bytes

    @case("table.to_json", "to_json of a decoded table", "rows", 5_000)
    def _(n: int) -> Timed:
        return decoded(n).to_json

    @case("table.to_simple_json", "to_simple_json of a decoded table", "rows", 5_000)
    def _(n: int) -> Timed:
        return decoded(n).to_simple_json

    @case("table.from_json", "InfoTable.from_json (full form)", "rows", 2_000)
    def _(n: int) -> Timed:
        text = decoded(n).to_json()
        return lambda: InfoTable.from_json(text)

    @case("table.get_rows", "get_rows of a decoded table", "rows", 2_000)
    def _(n: int) -> Timed:
        return decoded(n).get_rows

    @case("table.get_row_tuples", "get_row_tuples of a decoded table", "rows", 4_000)
    def _(n: int) -> Timed:
        return decoded(n).get_row_tuples

    @case("table.from_buffer", "InfoTable.from_buffer at an offset", "rows", 30_000)
    def _(n: int) -> Timed:
        data = bytearray(b"\x00" * 7 + table_bytes(n))
        return lambda: InfoTable.from_buffer(data, 7)

    @case("table.arrow_every_kind", "pyarrow.table + from_arrow: LOCATION, BLOB, INFOTABLE, VARIANT", "rows", 1_000)
    def _(n: int) -> Timed:
        t = InfoTable.from_bytes(wl.mixed_table_bytes(n))
        return lambda: InfoTable.from_arrow(pyarrow.table(t))

    @case("table.get_row", "get_row of every row", "rows", 2_000)
    def _(n: int) -> Timed:
        t = decoded(n)
        get = t.get_row
        return lambda: [get(i) for i in range(n)]

    @case("table.get_column", "get_column of the text column", "rows", 20_000)
    def _(n: int) -> Timed:
        t = decoded(n)
        return lambda: t.get_column("unit")

    @case("table.get_cell", "get_cell of every text cell", "rows", 10_000)
    def _(n: int) -> Timed:
        t = decoded(n)
        get = t.get_cell
        return lambda: [get(i, "unit") for i in range(n)]

    @case("table.add_rows", "add_rows of dicts", "rows", 6_000)
    def _(n: int) -> Timed:
        rows = dict_rows(n)

        def run() -> InfoTable:
            t = empty_table()
            t.add_rows(rows)
            return t

        return run

    @case("table.add_row", "add_row loop", "rows", 6_000)
    def _(n: int) -> Timed:
        rows = dict_rows(n)

        def run() -> InfoTable:
            t = empty_table()
            add = t.add_row
            for r in rows:
                add(r)
            return t

        return run

    @case("table.append_row", "append_row loop (HcPrim cells)", "rows", 8_000)
    def _(n: int) -> Timed:
        rows = [[HcPrim.string(r["unit"]), HcPrim.number(r["value"]), HcPrim.integer(r["count"]),
                 HcPrim.long(r["total"]), HcPrim.boolean(r["ok"]), HcPrim.datetime(r["at"])] for r in dict_rows(n)]

        def run() -> InfoTable:
            t = empty_table()
            add = t.append_row
            for r in rows:
                add(r)
            return t

        return run

    @case("table.add_row_decoded", "add_row loop onto a decoded table of as many rows", "rows", 5_000)
    def _(n: int) -> Timed:
        data = table_bytes(n)
        rows = dict_rows(n, seed=2)

        def run() -> InfoTable:
            t = InfoTable.from_bytes(data)
            add = t.add_row
            for r in rows:
                add(r)
            return t

        return run

    @case("table.copy", "copy.copy of a decoded table", "rows", 10_000)
    def _(n: int) -> Timed:
        t = decoded(n)
        return lambda: copy.copy(t)

    @case("table.deepcopy", "copy.deepcopy of a decoded table", "rows", 10_000)
    def _(n: int) -> Timed:
        t = decoded(n)
        return lambda: copy.deepcopy(t)

    @case("table.pickle", "pickle round trip of a decoded table", "rows", 20_000)
    def _(n: int) -> Timed:
        t = decoded(n)
        assert pickle.loads(pickle.dumps(t)).to_bytes() == t.to_bytes()
        return lambda: pickle.loads(pickle.dumps(t, protocol=pickle.HIGHEST_PROTOCOL))

    @case("table.to_arrow", "Arrow export: pyarrow.table(decoded table)", "rows", 15_000)
    def _(n: int) -> Timed:
        t = decoded(n)
        return lambda: pyarrow.table(t)

    @case("table.from_arrow", "InfoTable.from_arrow (one batch)", "rows", 20_000)
    def _(n: int) -> Timed:
        a = pyarrow.table(decoded(n))
        return lambda: InfoTable.from_arrow(a)

    @case("table.from_arrow_batches", "InfoTable.from_arrow of one-row batches", "batches", 1_000)
    def _(n: int) -> Timed:
        a = pyarrow.table(decoded(n))
        batches = pyarrow.Table.from_batches([b for i in range(n) for b in a.slice(i, 1).combine_chunks().to_batches()])
        assert batches.num_rows == n and len(batches.to_batches()) == n
        return lambda: InfoTable.from_arrow(batches)

    @case("prim.infotable", "HcPrim.infotable(decoded table)", "rows", 10_000)
    def _(n: int) -> Timed:
        t = decoded(n)
        return lambda: HcPrim.infotable(t)

    @case("nested.get_cell", "get_cell of a nested decoded table", "inner rows", 10_000)
    def _(n: int) -> Timed:
        t = nested_one(n)
        return lambda: t.get_cell(0, "inner")

    @case("nested.get_rows", "get_rows of a row holding a nested table", "inner rows", 10_000)
    def _(n: int) -> Timed:
        return nested_one(n).get_rows

    @case("nested.prim_to_python", "HcPrim.to_python of a nested table", "inner rows", 10_000)
    def _(n: int) -> Timed:
        p = nested_one(n).get_cell(0, "inner")
        return p.to_python

    @case("nested.from_bytes", "from_bytes + to_bytes, a small table in every row", "rows", 2_000)
    def _(n: int) -> Timed:
        data = nested_many(n)
        return lambda: InfoTable.from_bytes(data).to_bytes()

    @case("nested.to_simple_json", "to_simple_json, a small table in every row", "rows", 1_000)
    def _(n: int) -> Timed:
        return InfoTable.from_bytes(nested_many(n)).to_simple_json

    @case("nested.prim_json", "HcPrim to_json + from_json of a table value", "rows", 1_000)
    def _(n: int) -> Timed:
        t = decoded(n)
        p = HcPrim.infotable(t)
        tagged = '{"INFOTABLE":["INFOTABLE",' + t.to_json() + "]}"
        return lambda: (p.to_json(), HcPrim.from_json(tagged))

    @case("nested.debug_text", "str() of a table value (the text error messages embed)", "rows", 2_000)
    def _(n: int) -> Timed:
        t = empty_table()
        t.add_rows(dict_rows(n))
        p = HcPrim.infotable(t)
        return lambda: str(p)

    # Wide tables and long texts.
    @case("wide.add_field_definition", "add_field_definition loop", "fields", 4_000)
    def _(n: int) -> Timed:
        def run() -> InfoTable:
            t = InfoTable("Wide")
            add = t.add_field_definition
            for i in range(n):
                add(f"field{i}", "NUMBER", "")
            return t

        return run

    @case("wide.from_bytes", "from_bytes + to_bytes of a 2-row table", "fields", 2_000)
    def _(n: int) -> Timed:
        data = wide_table(n).to_bytes()
        return lambda: InfoTable.from_bytes(data).to_bytes()

    @case("wide.add_row", "add_row of one row", "fields", 2_000)
    def _(n: int) -> Timed:
        t = wide_table(n, rows=1)
        row = t.get_row(0)

        def run() -> InfoTable:
            c = InfoTable.from_bytes(data)
            c.add_row(row)
            return c

        data = wide_table(n, rows=0).to_bytes()
        return run

    @case("wide.to_json", "to_json + to_simple_json of a 2-row table", "fields", 1_000)
    def _(n: int) -> Timed:
        t = wide_table(n)
        return lambda: (t.to_json(), t.to_simple_json())

    @case("wide.from_json", "InfoTable.from_json of a 2-row table", "fields", 2_000)
    def _(n: int) -> Timed:
        text = wide_table(n).to_json()
        return lambda: InfoTable.from_json(text)

    @case("wide.get_rows", "get_rows + get_field_definitions", "fields", 1_000)
    def _(n: int) -> Timed:
        t = wide_table(n)
        return lambda: (t.get_rows(), t.get_field_definitions())

    @case("wide.field_names", "get_field_names + get_field_types", "fields", 20_000)
    def _(n: int) -> Timed:
        t = wide_table(n)
        return lambda: (t.get_field_names(), t.get_field_types())

    @case("wide.from_fields", "InfoTable.from_fields", "fields", 5_000)
    def _(n: int) -> Timed:
        fields = [(f"field_{i}", ("STRING", "NUMBER", "INTEGER")[i % 3], f"the field {i}") for i in range(n)]
        return lambda: InfoTable.from_fields(fields)

    # from_arrow of the table itself: its Arrow stream read back, with no other library's schema handling in
    # the way (pyarrow.table of a 4,000-field schema alone grows about 10.5 times from 500 fields).
    @case("wide.arrow", "Arrow export + from_arrow of a 2-row table", "fields", 500)
    def _(n: int) -> Timed:
        t = wide_table(n)
        return lambda: InfoTable.from_arrow(t)

    def many_aspects(n: int) -> bytes:
        svc = HcyService.from_json(service_json(1, 0, n))
        # The service's input shape as a table: the one place a table field carries aspects on the wire.
        fields = json.loads(svc.to_json())["Inputs"]["fieldDefinitions"]
        shape = {"name": "Shape", "entries": fields}
        return InfoTable.from_json(json.dumps({"datashape": shape, "rows": []})).to_bytes()

    @case("wide.aspects", "from_bytes + to_json of a field with many aspects", "aspects", 8_000)
    def _(n: int) -> Timed:
        data = many_aspects(n)
        return lambda: InfoTable.from_bytes(data).to_json()

    @case("wide.aspects_simple", "to_simple_json of a field with many aspects (written sorted)", "aspects", 8_000)
    def _(n: int) -> Timed:
        t = InfoTable.from_bytes(many_aspects(n))
        return t.to_simple_json

    @case("text.table", "from_bytes + to_bytes of a table with one long text", "text bytes", 1_000_000)
    def _(n: int) -> Timed:
        data = text_table(n).to_bytes()
        return lambda: InfoTable.from_bytes(data).to_bytes()

    @case("text.table_json", "to_json + to_simple_json of a table with one long text", "text bytes", 250_000)
    def _(n: int) -> Timed:
        t = text_table(n)
        return lambda: (t.to_json(), t.to_simple_json())

    @case("text.prim", "HcPrim.string + to_bytes + from_bytes", "text bytes", 250_000)
    def _(n: int) -> Timed:
        s = long_text(n)
        return lambda: HcPrim.from_bytes(HcPrim.string(s).to_bytes())

    @case("text.prim_json", "HcPrim to_json + from_json of a long text", "text bytes", 250_000)
    def _(n: int) -> Timed:
        tagged = '{"STRING":["STRING",' + HcPrim.string(long_text(n)).to_json() + "]}"
        return lambda: HcPrim.from_json(tagged).to_json()

    @case("text.blob", "HcPrim.blob + to_bytes + to_simple_json", "bytes", 100_000)
    def _(n: int) -> Timed:
        values = [i * 7 % 256 for i in range(n)]

        def run() -> str:
            p = HcPrim.blob(values)
            p.to_bytes()
            return p.to_simple_json()

        return run

    # Messages.
    @case("msg.from_bytes", "HcyMessage.from_bytes of a response", "rows", 30_000)
    def _(n: int) -> Timed:
        data = response_bytes(n)
        return lambda: HcyMessage.from_bytes(data)

    @case("msg.to_bytes", "to_bytes of a decoded response", "rows", 30_000)
    def _(n: int) -> Timed:
        return HcyMessage.from_bytes(response_bytes(n)).to_bytes

    @case("msg.get_params", "get_params of a decoded response", "rows", 5_000)
    def _(n: int) -> Timed:
        return HcyMessage.from_bytes(response_bytes(n)).get_params

    @case("msg.reply", "reply(params=decoded table)", "rows", 5_000)
    def _(n: int) -> Timed:
        request = HcyMessage.from_bytes(request_message().to_bytes())
        t = decoded(n)
        return lambda: request.reply("HCY_SUCCESS", params=t)

    @case("msg.build_response", "build_response(params=decoded table) + to_bytes", "rows", 5_000)
    def _(n: int) -> Timed:
        t = decoded(n)
        return lambda: HcyMessage.build_response("HCY_SUCCESS", 7, params=t).to_bytes()

    @case("msg.build_request_params", "build_request(params=decoded table)", "rows", 5_000)
    def _(n: int) -> Timed:
        t = decoded(n)
        return lambda: request_message(1, t)

    @case("msg.copy", "copy.copy + deepcopy of a decoded response", "rows", 5_000)
    def _(n: int) -> Timed:
        m = HcyMessage.from_bytes(response_bytes(n))
        return lambda: (copy.copy(m), copy.deepcopy(m))

    @case("msg.pickle", "pickle round trip of a decoded response", "rows", 5_000)
    def _(n: int) -> Timed:
        m = HcyMessage.from_bytes(response_bytes(n))
        return lambda: pickle.loads(pickle.dumps(m, protocol=pickle.HIGHEST_PROTOCOL))

    @case("msg.from_buffer", "from_buffer of a large response at an offset", "rows", 30_000)
    def _(n: int) -> Timed:
        data = bytearray(b"\x00" * 64 + response_bytes(n))
        return lambda: HcyMessage.from_buffer(data, 64)

    @case("msg.from_bytes_truncated", "from_bytes of a response missing its last byte (error)", "rows", 30_000)
    def _(n: int) -> Timed:
        data = response_bytes(n)[:-1]

        def run() -> str:
            try:
                HcyMessage.from_bytes(data)
            except ValueError as e:
                return str(e)
            raise AssertionError("a truncated message decoded")

        return run

    @case("capture.from_buffer", "from_buffer through a capture of GET requests", "messages", 5_000)
    def _(n: int) -> Timed:
        one = wl.get_request()
        data = bytearray(one * n)

        def run() -> int:
            offset, count, size = 0, 0, len(data)
            read = HcyMessage.from_buffer
            while offset < size:
                _, taken = read(data, offset)
                offset += taken
                count += 1
            return count

        assert run() == n
        return run

    @case("capture.from_bytes", "from_bytes of each message sliced from a memoryview", "messages", 5_000)
    def _(n: int) -> Timed:
        one = wl.get_request()
        view = memoryview(one * n)
        size = len(one)
        return lambda: [HcyMessage.from_bytes(bytes(view[i:i + size])) for i in range(0, len(view), size)]

    @case("capture.reader", "MessageReader fed 64 KiB chunks of a mixed capture", "messages", 2_000)
    def _(n: int) -> Timed:
        data = wl.capture(n)[0]

        def run() -> int:
            reader = veltrac.MessageReader()
            count = 0
            for i in range(0, len(data), 65536):
                reader.feed(data[i:i + 65536])
                count += sum(1 for _ in reader)
            return count + len(reader.close())

        assert run() == n
        return run

    @case("capture.iter_messages", "iter_messages over a mixed capture", "messages", 2_000)
    def _(n: int) -> Timed:
        data = wl.capture(n)[0]
        return lambda: sum(1 for _ in veltrac.iter_messages(data))

    @case("capture.headers", "MessageHeader.from_buffer of every message of a GET capture", "messages", 5_000)
    def _(n: int) -> Timed:
        one = wl.get_request()
        data, size = one * n, len(one)
        read = veltrac.MessageHeader.from_buffer
        return lambda: [read(data, i) for i in range(0, len(data), size)]

    @case("prim.from_buffer", "HcPrim.from_buffer of a long text at an offset", "text bytes", 1_000_000)
    def _(n: int) -> Timed:
        data = bytearray(b"\x00" * 3 + HcPrim.string(long_text(n)).to_bytes())
        return lambda: HcPrim.from_buffer(data, 3)

    @case("msg.build_request_headers", "build_request with many headers (at most 255)", "headers", 31)
    def _(n: int) -> Timed:
        headers = [(f"h{i}", f"value {i}") for i in range(n)]
        return lambda: HcyMessage.build_request("HCY_POST", 41, 20, "Pump-07", 2, "Get", headers)

    @case("msg.headers_round_trip", "from_bytes + get_headers + to_bytes, many headers", "headers", 31)
    def _(n: int) -> Timed:
        data = request_message(n).to_bytes()

        def run() -> bytes:
            m = HcyMessage.from_bytes(data)
            m.get_headers()
            m.short_description()
            return m.to_bytes()

        return run

    @case("msg.build_bind", "build_bind with many names", "names", 8_000)
    def _(n: int) -> Timed:
        names = [f"Pump-{i:05d}" for i in range(n)]
        return lambda: HcyMessage.build_bind(42, names, "gateway-1", "Gateway")

    @case("msg.bind_round_trip", "from_bytes + get_names + to_bytes of a bind", "names", 8_000)
    def _(n: int) -> Timed:
        data = HcyMessage.build_bind(42, [f"Pump-{i:05d}" for i in range(n)]).to_bytes()

        def run() -> bytes:
            m = HcyMessage.from_bytes(data)
            m.get_names()
            m.short_description()
            return m.to_bytes()

        return run

    # Definitions.
    @case("service.fields", "HcyService from_json + to_json", "fields", 2_000)
    def _(n: int) -> Timed:
        text = service_json(n)
        return lambda: HcyService.from_json(text).to_json()

    @case("service.field_aspects", "HcyService from_json + to_json, one field", "aspects", 2_000)
    def _(n: int) -> Timed:
        text = service_json(1, 0, n)
        return lambda: HcyService.from_json(text).to_json()

    @case("service.aspects", "HcyService from_bytes + to_bytes + get_aspects", "aspects", 5_000)
    def _(n: int) -> Timed:
        data = service_json(2, n).encode()

        def run() -> bytes:
            s = HcyService.from_bytes(data)
            s.get_aspects()
            return s.to_bytes()

        return run

    @case("service.getters", "HcyService get_inputs + get_output + copy + pickle", "fields", 1_000)
    def _(n: int) -> Timed:
        s = HcyService.from_json(service_json(n))
        return lambda: (s.get_inputs(), s.get_output(), copy.copy(s), pickle.loads(pickle.dumps(s)))

    @case("event.fields", "HcyEvent from_json + to_json + get_fields", "fields", 1_000)
    def _(n: int) -> Timed:
        text = event_json(n)

        def run() -> str:
            e = HcyEvent.from_json(text)
            e.get_fields()
            return e.to_json()

        return run

    @case("event.aspects", "HcyEvent from_bytes + to_bytes + get_aspects", "aspects", 5_000)
    def _(n: int) -> Timed:
        data = event_json(2, n).encode()

        def run() -> bytes:
            e = HcyEvent.from_bytes(data)
            e.get_aspects()
            return e.to_bytes()

        return run

    @case("property.aspects", "HcyProperty from_json + to_json + get_aspects + copy", "aspects", 5_000)
    def _(n: int) -> Timed:
        text = property_json(n)

        def run() -> str:
            p = HcyProperty.from_json(text)
            p.get_aspects()
            copy.deepcopy(p)
            return p.to_json()

        return run

    # The command line, in process (output to a string).
    @case("cli.decode", "veltrac decode FILE (response)", "rows", 2_000)
    def _(n: int) -> Timed:
        return cli_command(["decode"], response_bytes(n))

    @case("cli.decode_json", "veltrac decode --format json FILE (response)", "rows", 1_000)
    def _(n: int) -> Timed:
        return cli_command(["decode", "--format", "json"], response_bytes(n))

    @case("cli.decode_hex", "veltrac decode FILE (response as hex text)", "rows", 2_000)
    def _(n: int) -> Timed:
        return cli_command(["decode"], response_bytes(n).hex().encode())

    @case("cli.decode_headers", "veltrac decode FILE (request with many headers)", "headers", 31)
    def _(n: int) -> Timed:
        return cli_command(["decode"], request_message(n).to_bytes())

    @case("cli.capture", "veltrac capture FILE (mixed capture, summary)", "messages", 2_000)
    def _(n: int) -> Timed:
        return cli_command(["capture"], wl.capture(n)[0])

    @case("cli.table_indent", "veltrac table --indent 2 FILE", "rows", 200)
    def _(n: int) -> Timed:
        return cli_command(["table", "--indent", "2"], table_bytes(n))

    # References, not targets: how this machine scales when Python builds objects or copies bytes.
    @case("ref.dicts", "reference: a list of dicts copied in Python", "rows", 2_000)
    def _(n: int) -> Timed:
        rows = dict_rows(n)
        return lambda: [dict(r) for r in rows]

    @case("ref.bytes", "reference: bytes of a decoded table copied", "rows", 30_000)
    def _(n: int) -> Timed:
        data = bytearray(table_bytes(n))
        return lambda: bytes(data)

    return cs


# ---- timing ----


CLOCK: Callable[[], int] = time.perf_counter_ns


def calibrate(fn: Timed, min_time: float) -> int:
    number = 1
    while True:
        dt = sample(fn, number) * number
        if dt >= min_time:
            return number
        number = max(number * 2, int(number * min_time * 1.2 / dt) + 1) if dt > 0 else number * 10


# Written before each timed call of a cold sample: larger than the CPU's caches.
_EVICT = bytearray(64 << 20)
_LINES = bytes(len(range(0, len(_EVICT), 64)))
COLD = True
COLD_FROM = 50e-6  # seconds per call at n


def sample(fn: Timed, number: int, cold: bool = False) -> float:
    """Time per call of `number` calls in a row, or (cold) each after other data filled the caches."""
    gc.collect()
    clock, total = CLOCK, 0
    if not cold:
        t0 = clock()
        for _ in range(number):
            fn()
        return (clock() - t0) / 1e9 / number
    for _ in range(number):
        _EVICT[::64] = _LINES
        t0 = clock()
        fn()
        total += clock() - t0
    return total / 1e9 / number


def once(fn: Timed) -> float:
    return sample(fn, 1)


def run_case(c: Case, rounds: int, min_time: float, guard: float) -> Result:
    small = c.make(c.n)
    t_first = once(small)  # also warms up
    # A superlinear operation can already be slow at n: few rounds then.
    n_rounds = rounds if t_first < guard / 4 else 2
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        number = calibrate(small, min_time) if t_first < min_time else 1
        probe_fn = c.make(2 * c.n)
        once(probe_fn)  # a first call pays for fresh memory and caches
        t_probe = once(probe_fn)
        del probe_fn
        t_n = min(sample(small, number) for _ in range(2))
        growth = max(1.0, math.log2(max(t_probe, 1e-9) / t_n))
        predicted = t_probe * (FACTOR / 2) ** growth
        res = Result(c, t_n)
        if predicted > guard:
            # Stop at the largest power-of-two size whose call stays within the guard.
            size, t_big = 2, t_probe
            if t_probe * 2**growth <= guard:
                fn = c.make(4 * c.n)
                size, t_big = 4, min(once(fn) for _ in range(2))
            res.big, res.t_big, res.ratio, res.predicted = size, t_big, t_big / t_n, predicted
            return res
        big = c.make(FACTOR * c.n)
        t_big_first = once(big)
        number_big = calibrate(big, min_time) if t_big_first < min_time else 1
        big_rounds = n_rounds if t_big_first < guard / 4 else 2
        # Calls long enough to time one by one start with cold caches at both sizes.
        cold = COLD and t_n >= COLD_FROM
        if cold:
            number, number_big = max(1, min(number, 5)), 1
        ts_n: list[float] = [] if cold else [t_n]
        ts_big: list[float] = []
        for r in range(max(n_rounds, big_rounds)):
            # Alternate which size goes first, so a change of load hits both alike.
            order = ((small, number, ts_n), (big, number_big, ts_big))
            for fn, k, ts in (order if r % 2 else order[::-1]):
                if ts is ts_big and len(ts) >= big_rounds:
                    continue
                ts.append(sample(fn, k, cold))
        res.t_n, res.t_big = min(ts_n), min(ts_big)
        res.ratio = res.t_big / res.t_n
        res.samples = {"n": ts_n, "8n": ts_big}
        return res
    finally:
        if gc_was_enabled:
            gc.enable()


# ---- output ----


def fmt_time(s: float | None) -> str:
    if s is None:
        return ""
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if s >= scale:
            return f"{s / scale:.3g} {unit}"
    return f"{s / 1e-9:.3g} ns"


def target_text(r: Result) -> str:
    if is_reference(r.case):
        return "(reference)"
    if r.big != FACTOR:
        return f"<= {TARGET:g}: > target"
    return f"<= {TARGET:g}: {'met' if r.met else 'MISSED'}"


def ratio_text(r: Result) -> str:
    if r.ratio is None:
        return ""
    if r.big != FACTOR:
        return f"{r.ratio:.1f} at {r.big}n; 8n skipped (~{fmt_time(r.predicted)} a call)"
    return f"{r.ratio:.1f}"


def table_lines(results: list[Result]) -> list[list[str]]:
    return [[r.case.key, r.case.title, f"{r.case.n:,} {r.case.unit}", fmt_time(r.t_n),
             fmt_time(r.t_big) + (f" ({r.big}n)" if r.big != FACTOR else ""), ratio_text(r), target_text(r)]
            for r in results]


def print_table(results: list[Result]) -> None:
    header = ["case", "operation", "n", "t(n)", "t(8n)", "t(8n)/t(n)", "target"]
    lines = table_lines(results)
    widths = [max(len(h), *(len(line[i]) for line in lines)) for i, h in enumerate(header)]
    for cells in [header, ["-" * w for w in widths]] + lines:
        print("  ".join(c.rjust(w) if i in (3, 4) else c.ljust(w) for i, (c, w) in enumerate(zip(cells, widths))).rstrip())


def markdown(results: list[Result]) -> str:
    out = ["| Case | Operation | n | t(n) | t(8n) | t(8n)/t(n) | Target |", "|---|---|---|---|---|---|---|"]
    for line in table_lines(results):
        out.append("| " + " | ".join(line) + " |")
    return "\n".join(out)


def is_reference(c: Case) -> bool:
    return c.key.startswith("ref.")


def summary(results: list[Result]) -> str:
    results = [r for r in results if not is_reference(r.case)]
    missed = [r.case.key for r in results if not r.met]
    return (f"scaling: {len(results) - len(missed)} of {len(results)} cases within t(8n)/t(n) <= {TARGET:g}"
            + (f"; over: {', '.join(missed)}" if missed else ""))


def keep_freed_heap() -> None:
    """Puts glibc's allocator in the state a long-running server reaches, before the first case.

    glibc starts by returning any free top of its heap above 128 KiB to the system, and by serving blocks
    above 128 KiB as fresh pages; it raises both thresholds only as large blocks are freed. Until then a call
    that builds and frees a few MB of small blocks (a table with a nested table in every row) finds them as
    fresh pages on the next call and pays a page fault per 4 KiB: the n side stays below the threshold, the
    8n side crosses it, and the ratio measures the allocator's history rather than the operation. This sets
    the thresholds to the highest values glibc itself would reach (blocks up to 32 MiB from the heap, a free
    top kept up to twice that).
    """
    try:
        libc = ctypes.CDLL(None)
        libc.mallopt(-3, 32 << 20)  # M_MMAP_THRESHOLD
        libc.mallopt(-1, 64 << 20)  # M_TRIM_THRESHOLD
    except (OSError, AttributeError):
        pass  # not glibc


def run(only: set[str] | None, rounds: int, min_time: float, guard: float, clock: str = "cpu") -> list[Result]:
    """The selected cases (keys or groups such as "table"; all without `only`), timed by `clock`."""
    global CLOCK
    keep_freed_heap()
    CLOCK = time.process_time_ns if clock == "cpu" else time.perf_counter_ns
    selected = [c for c in cases() if not only or c.key in only or c.key.split(".")[0] in only]
    if only and not selected:
        raise SystemExit(f"no scaling case matches {sorted(only)}; --list shows them")
    results = []
    try:
        for c in selected:
            print(f"scaling {c.key} ...", file=sys.stderr, flush=True)
            results.append(run_case(c, rounds, min_time, guard))
            _cache.clear()
    finally:
        for name in _files:
            os.unlink(name)
        _files.clear()
    return results


def add_arguments(ap: argparse.ArgumentParser, prefix: str = "") -> None:
    ap.add_argument(f"--{prefix}clock", choices=("cpu", "wall"), default=os.environ.get("SCALING_CLOCK", "cpu"),
                    help="this process's CPU time (default: on a shared machine it leaves out the time other "
                         "processes take, and still counts page faults) or the wall clock")
    ap.add_argument(f"--{prefix}rounds", type=int, default=int(os.environ.get("SCALING_ROUNDS", 7)),
                    help="samples per size (default 7)")
    ap.add_argument(f"--{prefix}min-time", type=float, default=0.01, help="seconds per sample (default 0.01)")
    ap.add_argument(f"--{prefix}guard", type=float, default=float(os.environ.get("SCALING_GUARD", 2.0)),
                    help="the longest call at 8n the suite waits for, extrapolated (default 2 s)")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", help="comma-separated case keys or groups, e.g. table.copy,msg")
    ap.add_argument("--list", action="store_true", help="list the cases and exit")
    ap.add_argument("--json", type=Path, help="also write the results as JSON here")
    ap.add_argument("--markdown", type=Path, help="also write the table as Markdown here")
    add_arguments(ap)
    args = ap.parse_args()
    if args.list:
        for c in cases():
            print(f"{c.key:28} {c.title} (n = {c.n:,} {c.unit})")
        return
    t0 = time.time()
    load = os.getloadavg()
    results = run(set(args.only.split(",")) if args.only else None, args.rounds, args.min_time, args.guard,
                  args.clock)
    report(results, load, time.time() - t0)
    if args.markdown:
        args.markdown.write_text(markdown(results) + "\n")
    if args.json:
        args.json.write_text(json.dumps([result_json(r) for r in results], indent=1))


def print_report(results: list[Result]) -> None:
    clock = "CPU" if CLOCK is time.process_time_ns else "wall"
    print(f"Scaling: {clock} time per call at n and at {FACTOR}n (the fastest sample of each size) and their ratio, "
          f"linear when at most {TARGET:g}")
    print()
    print_table(results)
    print()
    print(summary(results))


def report(results: list[Result], load: tuple[float, float, float], seconds: float) -> None:
    print()
    print(f"load average {load[0]:.2f} (1 min) at start, {os.getloadavg()[0]:.2f} at end; {seconds:.0f} s in all")
    print_report(results)


def result_json(r: Result) -> dict:
    return {"key": r.case.key, "title": r.case.title, "n": r.case.n, "unit": r.case.unit, "t_n": r.t_n,
            "t_big": r.t_big, "size": r.big, "ratio": r.ratio, "predicted": r.predicted, "met": r.met,
            "samples": r.samples}


if __name__ == "__main__":
    main()
