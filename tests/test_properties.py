"""Property-based tests of the binding: Python values through the factories and add_row encode as a small
reference encoder says and read back as equal Python values; arbitrary input to every decoder raises ValueError and nothing else (the codec's own round trips
are fuzzed in fuzz/)."""

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

def lp(text: str) -> bytes:
    """Length-prefixed UTF-8 string: one length byte below 128, else four with the top bit set."""
    b = text.encode()
    n = len(b)
    return (bytes([n]) if n < 128 else struct.pack(">I", n | 0x80000000)) + b


def u16(n):
    return struct.pack(">H", n)


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


# ---- arbitrary and damaged input raises ValueError only ----------------------------------------------

@pytest.mark.parametrize("decode", [HcPrim.from_bytes, InfoTable.from_bytes, HcyMessage.from_bytes,
                                    HcyProperty.from_bytes, HcyService.from_bytes, HcyEvent.from_bytes],
                         ids=lambda f: f.__qualname__)
@given(st.binary(max_size=200))
def test_random_bytes_raise_value_error_only(decode, data):
    try:
        decode(data)
    except ValueError:
        pass
