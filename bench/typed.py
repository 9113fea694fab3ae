"""The workloads' data as a msgspec user would type it: Struct classes, with an encoder and typed decoders.

Structs are encoded as maps (msgspec's default), so they carry the same field names on the wire as the
dict baselines.
"""

from __future__ import annotations

from typing import Any

import msgspec


class GetRequest(msgspec.Struct):
    version: int
    code: int
    request_id: int
    endpoint: int
    session_id: int
    entity_type: int
    entity_name: str
    characteristic_type: int
    characteristic_name: str
    multipart: bool = False
    params: list[dict[str, Any]] | None = None


class AuthRequest(msgspec.Struct):
    version: int
    code: int
    request_id: int
    endpoint: int
    session_id: int
    claim_name: str
    claim_value: str


class Reading(msgspec.Struct):
    name: str
    reading: float
    count: int
    total: int
    active: bool
    updated: int


class FieldDefinition(msgspec.Struct):
    name: str
    baseType: str
    description: str = ""
    aspects: dict[str, Any] = {}


class Inputs(msgspec.Struct):
    fieldDefinitions: dict[str, FieldDefinition]


class Outputs(msgspec.Struct):
    name: str
    baseType: str
    aspects: dict[str, Any]
    fieldDefinitions: dict[str, FieldDefinition]


class Service(msgspec.Struct):
    name: str
    description: str
    aspects: dict[str, Any]
    Inputs: Inputs
    Outputs: Outputs


encoder = msgspec.msgpack.Encoder()
get_decoder = msgspec.msgpack.Decoder(GetRequest)
auth_decoder = msgspec.msgpack.Decoder(AuthRequest)
rows_decoder = msgspec.msgpack.Decoder(list[Reading])
dicts_decoder = msgspec.msgpack.Decoder()
json_encoder = msgspec.json.Encoder()
service_decoder = msgspec.json.Decoder(Service)
