"""InfoTable through the Arrow PyCapsule interface: pyarrow and polars read tables and give them back.
The mapping and its error texts are the codec's (tested there); here: the capsules, the layouts real producers
hand over, and the prefixes and exception types of the binding."""

import datetime

import pytest

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")

from veltrac import InfoTable  # noqa: E402

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


@pytest.mark.parametrize("data, where", [
    (pa.table({"a": [1, 2], "b": pa.array(["x", None])}), "column 'b' row 1: null value"),
    (pa.table({"c": pa.array(["a"]).dictionary_encode()}), "column 'c': dictionary"),  # not read as its indices
])
def test_nulls_and_unmapped_types_are_value_errors_naming_column_and_row(data, where):
    with pytest.raises(ValueError, match="^Arrow import error: " + where):
        InfoTable.from_arrow(data)


def test_tables_arrow_cannot_hold_are_refused_on_export():
    t = InfoTable()
    t.add_field_definition("loc", "LOCATION", "")
    for export in (pa.table, pa.schema, pl.DataFrame):
        with pytest.raises(ValueError, match="^Arrow export error: field 'loc' "):
            export(t)


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
