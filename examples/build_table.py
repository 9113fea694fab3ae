"""Build a table of sensor readings, encode it, decode it and write it as JSON."""

import json

from veltrac import HcPrim, InfoTable

table = InfoTable("Readings")
table.add_field_definition("sensor", "STRING", "sensor id")
table.add_field_definition("value", "NUMBER", "measured value")
table.add_field_definition("at", "DATETIME", "time stamp, ms since the epoch")
table.add_row({"sensor": "temp-1", "value": 21.5, "at": 1_700_000_000_000})
table.add_row({"sensor": "temp-2", "value": 19, "at": 1_700_000_000_250})
print(repr(table))  # InfoTable(rows=2, fields=3, name=Some("Readings"))

rows = json.loads(table.to_simple_json())["rows"]
print(rows[1])  # {'at': 1700000000250, 'sensor': 'temp-2', 'value': 19.0}

copy = InfoTable.from_bytes(table.to_bytes())
assert (copy.get_row_count(), copy.get_field_count()) == (2, 3)
assert copy.get_datashape_name() is None  # the binary form carries no shape name

# Typed values on their own.
value = HcPrim.integer(-5)
print(value, value.to_bytes().hex())  # INTEGER(INTEGER, -5) 16fffffffb
assert HcPrim.from_bytes(value.to_bytes()).get_value() == -5
