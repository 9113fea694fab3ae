"""InfoTable through the Arrow PyCapsule interface: pyarrow and polars read tables and give them back.
The mapping and its error texts are the codec's (tested there); here: the capsules, the layouts real producers
hand over, and the prefixes and exception types of the binding."""

import datetime
import random
import struct

import pytest

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")

from veltrac import DecodeError, EncodeError, InfoTable  # noqa: E402

from arrow_structs import Producer  # noqa: E402
from test_primitive import table  # noqa: E402

FIELDS = [("name", "STRING"), ("reading", "NUMBER"), ("count", "INTEGER"), ("total", "LONG"),
          ("active", "BOOLEAN"), ("updated", "DATETIME")]
ROWS = [
    {"name": "pump é", "reading": 1.5, "count": -(2**31), "total": 2**62, "active": True, "updated": 1_700_000_000_123},
    {"name": "", "reading": -0.0, "count": 7, "total": -1, "active": False, "updated": -1},
    {"name": "valve " * 30, "reading": 1e300, "count": 0, "total": 0, "active": True, "updated": 0},
]


def readings(described=True):
    t = table(*[(name, base_type, f"the {name}" if described else "") for name, base_type in FIELDS], name="Readings")
    t.add_rows(ROWS)
    return t


def test_pyarrow_reads_the_table_and_gives_the_same_bytes_back():
    t = readings()
    a = pa.table(t)
    assert a.schema.types == [pa.string(), pa.float64(), pa.int32(), pa.int64(), pa.bool_(),
                              pa.timestamp("ms", tz="UTC")]
    assert a.schema.metadata == {b"name": b"Readings"}
    assert a.schema.field("count").metadata == {b"description": b"the count"}
    assert a.to_pylist()[0] | {"updated": 0} == ROWS[0] | {"updated": 0}
    assert pa.schema(t) == a.schema
    # A requested schema is accepted and not applied.
    assert pa.RecordBatchReader.from_stream(t, schema=a.schema).read_all().num_rows == 3
    back = InfoTable.from_arrow(a)
    assert back.to_bytes() == t.to_bytes()
    assert back.get_datashape_name() == "Readings"
    assert InfoTable.from_arrow(a, name="Other").get_datashape_name() == "Other"
    # A record batch offers only __arrow_c_array__.
    assert InfoTable.from_arrow(a.to_batches()[0], "R").to_bytes() == t.to_bytes()
    # Several chunks, sliced: offsets of the batches and their children.
    two = pa.concat_tables([a, a]).slice(2, 3)
    assert InfoTable.from_arrow(two).to_bytes() == InfoTable.from_arrow(pa.Table.from_pylist(
        [ROWS[2], ROWS[0], ROWS[1]], schema=a.schema)).to_bytes()


def test_polars_reads_the_table_and_gives_the_same_bytes_back():
    # polars keeps neither descriptions nor the shape name, and hands texts over as string views.
    t = readings(described=False)
    df = pl.DataFrame(t)
    assert df.row(1) == ("", -0.0, 7, -1, False, datetime.datetime(1969, 12, 31, 23, 59, 59, 999000,
                                                                  tzinfo=datetime.timezone.utc))
    assert InfoTable.from_arrow(df).to_bytes() == t.to_bytes()


def lp(b):
    return (bytes([len(b)]) if len(b) < 128 else struct.pack(">I", len(b) | 0x80000000)) + b


TEXT_CODES = [0, 7, 8, 9, 11, 12, 13, 14, 15, 16, 20, 50, 51, 52, 100, 101, 102, *range(104, 121)]
NESTED = b"\x01" + lp(b"k") + lp(b"") + b"\x16\x00\x00" + b"\x00" + b"\x01\x00\x01\x16\x00\x00\x00\x07" + b"\x00"


def payload(code, rnd):
    """The wire payload of a random value of base type `code`; None for the types without values."""
    if code in TEXT_CODES:
        return lp("".join(rnd.choice("aé€😀 ") for _ in range(rnd.randrange(0, 140))).encode())
    blob = bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 9)))
    return {
        1: struct.pack(">d", rnd.choice([-0.0, 1e300, rnd.uniform(-1e6, 1e6)])),
        2: bytes([rnd.randrange(2)]),
        3: struct.pack(">q", rnd.randrange(-10**13, 10**13)),
        5: NESTED,
        6: struct.pack(">ddd", *(rnd.uniform(-180, 180) for _ in range(3))),
        10: struct.pack(">I", 0x80000000 | len(blob)) + blob,
        18: rnd.choice([b"\x16\x00\x00\x00\x05", b"\x64" + lp(b"pump"), b"\xff", b"\x05" + NESTED]),
        21: struct.pack(">I", 0x80000000 | len(blob)) + blob,
        22: struct.pack(">i", rnd.randrange(-2**31, 2**31)),
        23: struct.pack(">q", rnd.randrange(-2**63, 2**63)),
    }.get(code)


ALL_CODES = [255, *range(0, 19), *range(20, 24), 50, 51, 52, 100, 101, 102, *range(104, 122)]


def every_type_table(rows, seed):
    """A decoded table with a field of every base type (one described, one with an aspect); each cell holds a
    random value of its field's type or, one time in four, is empty."""
    rnd = random.Random(seed)
    fields = [ALL_CODES[i] for i in range(len(ALL_CODES)) if ALL_CODES[i] != 19]
    wire = b""
    for code in fields:
        aspects = b"\x00\x01" + lp(b"isPrimaryKey") + b"\x02\x01" if code == 20 else b"\x00\x00"
        wire += b"\x01" + lp(b"f%d" % code) + lp(b"the id" if code == 20 else b"") + bytes([code]) + aspects
    wire += b"\x00"
    for _ in range(rows):
        cells = [payload(code, rnd) for code in fields]
        wire += b"\x01" + struct.pack(">H", len(fields)) + b"".join(
            b"\xff" if p is None or rnd.random() < 0.25 else bytes([code]) + p for code, p in zip(fields, cells))
    return InfoTable.from_bytes(wire + b"\x00")


@pytest.mark.parametrize("rows, seed", [(0, 0), (1, 1), (40, 2)])
def test_every_base_type_goes_through_pyarrow_and_polars_and_back_to_the_same_bytes(rows, seed):
    t = every_type_table(rows, seed)
    a = pa.table(t)
    assert a.schema.field("f6").type == pa.struct([("latitude", pa.float64()), ("longitude", pa.float64()),
                                                   ("elevation", pa.float64())])
    assert a.schema.field("f100").metadata == {b"base_type": b"THINGNAME"}
    assert a.schema.field("f5").type == pa.binary() and a.schema.field("f255").type == pa.null()
    assert InfoTable.from_arrow(a).to_bytes() == t.to_bytes()
    # Through the Arrow IPC stream format and back (field metadata travels).
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, a.schema) as w:
        w.write_table(a)
    assert InfoTable.from_arrow(pa.ipc.open_stream(sink.getvalue()).read_all()).to_bytes() == t.to_bytes()
    # polars keeps the values but not the field metadata: the schema gives the base types back.
    df = pl.DataFrame(t)
    assert df.null_count().row(0) == tuple(a.column(name).null_count for name in a.column_names)
    assert InfoTable.from_arrow(df.to_arrow().cast(a.schema)).to_bytes() == t.to_bytes()


def test_an_infotable_column_reads_as_nested_tables():
    t = every_type_table(20, 3)
    cells = pa.table(t).column("f5").to_pylist()
    assert [c and InfoTable.from_bytes(c).to_bytes() for c in cells] == [
        c and c.to_bytes() for c in t.get_column("f5")]


@pytest.mark.parametrize("data, where", [
    (pa.table({"c": pa.array(["a"]).dictionary_encode()}), "column 'c': dictionary"),  # not read as its indices
    (pa.table({"c": pa.array([{"latitude": 1.0}])}), "column 'c': a struct column must be"),
])
def test_unmapped_types_are_decode_errors_naming_the_column(data, where):
    with pytest.raises(DecodeError, match="^Arrow import error: " + where) as e:
        InfoTable.from_arrow(data)
    assert (type(e.value), e.value.kind, e.value.offset, e.value.header) == (DecodeError, "Io", None, None)


def test_nulls_are_empty_cells_and_mixed_columns_are_refused_on_export():
    t = InfoTable.from_arrow(pa.table({"a": [1, None], "b": pa.array([None, "x"])}))
    assert [t.get_cell(r, "b").get_type() for r in range(2)] == ["NOTHING", "STRING"]
    assert t.get_cell(1, "a").get_type() == "NOTHING"
    # The wire lets an INTEGER stand in a LONG field.
    mixed = InfoTable.from_bytes(b"\x01" + lp(b"v") + lp(b"") + b"\x17\x00\x00\x00" + b"\x01\x00\x01\x16\x00\x00\x00\x01\x00")
    for export in (pa.table, pl.DataFrame):
        with pytest.raises(EncodeError, match="^Arrow export error: field 'v' row 0: ") as e:
            export(mixed)
        assert (e.value.kind, e.value.offset) == ("Io", None)


def nul_names(_):
    return pa.table(table(("temp\0a", "STRING"), ("temp\0b", "STRING")))


# Producers that break the interface give a clear exception; what was handed over is released, by the
# producer's own callbacks (written in Python here), which must run with no exception pending.
@pytest.mark.parametrize("call, error, message, producer, released", [
    # A released schema (release null) with a misnamed array capsule: no call through null.
    (InfoTable.from_arrow, TypeError, "did not return a capsule named 'arrow_array'",
     Producer(names=(b"arrow_schema", b"wrong"), release=(False, True)), []),
    # The schema taken is released by its callback, and the TypeError stays the error.
    (InfoTable.from_arrow, TypeError, "did not return a capsule named 'arrow_array'",
     Producer(names=(b"arrow_schema", b"wrong")), ["schema"]),
    # A format string that is not UTF-8 ends up in a readable error, not in a UnicodeDecodeError.
    (InfoTable.from_arrow, ValueError, "^Arrow import error: column 'c': unsupported Arrow type",
     Producer(child_formats=[b"\xff"]), ["array", "schema"]),
    # Field names that Arrow cannot carry are refused on export.
    (nul_names, ValueError, "^Arrow export error: field 'temp", None, None),
])
def test_broken_producers_and_unexportable_tables_give_clear_errors(call, error, message, producer, released):
    with pytest.raises(error, match=message):
        call(producer)
    if producer is not None:
        assert sorted(producer.released) == released
