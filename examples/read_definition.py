"""Read a property definition from JSON, inspect it and write it back in canonical form."""

from veltrac import HcyProperty

text = """{
  "name": "temperature",
  "baseType": "NUMBER",
  "pushType": "VALUE",
  "pushThreshold": 0.5,
  "startType": "readEdgeValue",
  "aspects": {"units": "C", "isPersistent": true}
}"""

prop = HcyProperty.from_json(text)
print(prop)  # HcyProperty(name='temperature', base_type='NUMBER', threshold=0.5)
threshold: float = prop.get_push_threshold()
print(prop.get_base_type(), threshold, prop.should_read_edge_value())  # NUMBER 0.5 True
# Members in canonical order, compact.
print(prop.to_json())
assert HcyProperty.from_bytes(prop.to_bytes()).to_json() == prop.to_json()

try:
    HcyProperty.from_json('{"name": "temperature"}')
except ValueError as exc:
    print(exc)  # Property JSON deserialization error: missing field `pushThreshold` at line 1 column 23
