"""The compiled codec: messages, typed values, tables and entity definitions.

Every class here is final and has no instance dictionary. Classes without a constructor are made by their
static factories (`from_bytes`, `from_json`, `build_auth`, `HcPrim.integer`, ...); every method that returns
an object returns a new, independent one (field definitions, read-only `FrozenDict`s, are shared by the
tables of one shape). Failures of the codec raise `ValueError` (`DecodeError`,
`IncompleteError` or `EncodeError`) whose text starts with the step that failed; an argument of the wrong
type raises `TypeError` naming the parameter (`argument 'data': ...`), an integer out of its range
`OverflowError`.
"""

from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, ClassVar, Protocol, SupportsFloat, SupportsIndex, final

from typing_extensions import Buffer, CapsuleType, ReadOnly, TypedDict

from veltrac import MessageCode

class _FieldDefinition(TypedDict):
    """One field of a data shape, as `get_field_definitions()` and the definition getters give it.

    At run time a `FrozenDict`, its aspects too: read-only, and shared by every call for tables of one shape.
    """

    name: ReadOnly[str]
    base_type: ReadOnly[str]
    description: ReadOnly[str]
    ordinal: ReadOnly[int]
    aspects: ReadOnly[Mapping[str, Any]]

class _OutputDefinition(TypedDict):
    """The output of a service: its name, base type, aspects and fields."""

    name: str
    base_type: str
    aspects: dict[str, Any]
    field_definitions: list[_FieldDefinition]

class _ArrowStreamExportable(Protocol):
    """A producer of the Arrow PyCapsule stream interface (a pyarrow table, a polars frame, ...)."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """A PyCapsule holding an Arrow C stream."""

class _ArrowArrayExportable(Protocol):
    """A producer of the Arrow PyCapsule array interface (a pyarrow record batch, ...)."""

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        """PyCapsules holding an Arrow C schema and array."""

__version__: str
__all__ = [
    "BaseType",
    "HcPrim",
    "HcyMessage",
    "HcyEvent",
    "HcyService",
    "HcyProperty",
    "InfoTable",
    "VeltracError",
]

@final
class BaseType:
    """One of the ten base types a table field can declare, named case-insensitively.

    `str()` gives the upper-case name, `repr()` `BaseType.LONG`. Two objects of the same name are not equal
    (equality is identity); compare their `str()`.

    Example:
        ```python
        from veltrac import BaseType

        print(BaseType("long"), repr(BaseType("Long")))  # LONG BaseType.LONG
        ```
    """

    BOOLEAN: ClassVar[str]
    """The plain str "BOOLEAN" (not a `BaseType`); likewise for the nine others."""
    INTEGER: ClassVar[str]
    """The str "INTEGER": a 32-bit signed integer."""
    LONG: ClassVar[str]
    """The str "LONG": a 64-bit signed integer."""
    NUMBER: ClassVar[str]
    """The str "NUMBER": a 64-bit float."""
    STRING: ClassVar[str]
    """The str "STRING": UTF-8 text."""
    DATETIME: ClassVar[str]
    """The str "DATETIME": milliseconds since the epoch, a 64-bit integer."""
    BLOB: ClassVar[str]
    """The str "BLOB": bytes."""
    LOCATION: ClassVar[str]
    """The str "LOCATION": latitude, longitude and elevation, three floats."""
    INFOTABLE: ClassVar[str]
    """The str "INFOTABLE": a nested table."""
    VARIANT: ClassVar[str]
    """The str "VARIANT": a value carrying its own type."""
    def __new__(cls, type_name: str) -> BaseType:
        """Looks a base type up by name.

        Args:
            type_name: one of STRING, NUMBER, BOOLEAN, DATETIME, INFOTABLE, LOCATION, VARIANT, BLOB, INTEGER,
                LONG, in any letter case.

        Raises:
            ValueError: "Invalid base type: " and the name as given, for any other name (the other base types
                of the wire format, such as XML, included).
        """

@final
class HcPrim:
    """One typed value: a kind, a base type and a payload.

    The cells of tables and the values of aspects. Built with the static factories or decoded with
    `from_bytes`; never changed after it is made. On the wire a value is its one-byte base-type code followed
    by its payload: `HcPrim.integer(-5).to_bytes()` is `16 ff ff ff fb`. `str()` gives the debug text
    (`INTEGER(INTEGER, -5)`), `repr()` the same inside `HcPrim(...)`.
    """

    @staticmethod
    def boolean(value: bool) -> HcPrim:
        """A BOOLEAN value. `value` must be a bool (an int is refused with TypeError)."""
    @staticmethod
    def integer(value: SupportsIndex) -> HcPrim:
        """An INTEGER value: a 32-bit signed integer (OverflowError outside -2**31 to 2**31 - 1)."""
    @staticmethod
    def long(value: SupportsIndex) -> HcPrim:
        """A LONG value: a 64-bit signed integer (OverflowError outside that range)."""
    @staticmethod
    def number(value: SupportsFloat | SupportsIndex) -> HcPrim:
        """A NUMBER value: a 64-bit float. Ints are converted (`number(2)` holds 2.0); NaN and inf are kept."""
    @staticmethod
    def string(value: str) -> HcPrim:
        """A STRING value holding the text (a str; bytes are refused)."""
    @staticmethod
    def datetime(value: SupportsIndex) -> HcPrim:
        """A DATETIME value: milliseconds since the epoch as an int (a `datetime.datetime` is refused)."""
    @staticmethod
    def blob(value: Sequence[SupportsIndex]) -> HcPrim:
        """A BLOB value from bytes, a bytearray or a sequence of ints 0 to 255 (a str is refused)."""
    @staticmethod
    def infotable_empty() -> HcPrim:
        """An INFOTABLE value holding an empty table whose shape is named "EmptyDataShape"."""
    def to_bytes(self) -> bytes:
        """The value's wire bytes: its base-type code, then its payload.

        Raises:
            EncodeError: "Binary serialization error: " and the reason.
        """
    @staticmethod
    def from_bytes(data: bytes) -> HcPrim:
        """Decodes one value from the start of `data`; bytes after it are ignored.

        Empty `data` gives a NOTHING value.

        Raises:
            DecodeError: "Binary deserialization error: " and the reason (IncompleteError when `data` ends
                inside the value).
        """
    def to_json(self) -> str:
        """The typed JSON form under the value's own base type: `2.0` for `number(2)`, `"a"` for `string("a")`.

        Raises:
            EncodeError: "JSON conversion error: " or "JSON serialization error: " and the reason.
        """
    def to_simple_json(self) -> str:
        """The simple JSON form, as the simple form of a table writes cells: `"[1,255]"` for a two-byte blob.

        Raises:
            EncodeError: "Simple JSON conversion error: " or "JSON serialization error: " and the reason.
        """
    def get_type(self) -> str:
        """The name of the value's kind, such as "INTEGER"; for a VARIANT the kind of the value it wraps.

        Names the kind, not the base type: a STRING value of base type XML gives "STRING".
        """
    def get_value(self) -> bool | int | float | str | bytes | None:
        """The payload as a Python value.

        None for NOTHING, str, float, int (INTEGER, LONG, DATETIME), bool, bytes; for an INFOTABLE the text
        `InfoTable(rows=R, fields=F)`; for a VARIANT the wrapped value's. See `to_python` for tables and
        locations.

        Raises:
            TypeError: "Unsupported type for get_value" for a LOCATION value.
        """
    def is_variant(self) -> bool:
        """Whether the value is a VARIANT (a value wrapping another value)."""
    def unwrap_variant(self) -> HcPrim:
        """The value a VARIANT wraps, one level down.

        Raises:
            TypeError: "HcPrim is not a VARIANT type" for any other value.
        """
    def get_inner_type(self) -> str:
        """The same text as `get_type()`."""
    def get_full_type(self) -> str:
        """`get_type()`, with one "VARIANT::" per level of wrapping: "VARIANT::VARIANT::INTEGER"."""
    def __copy__(self) -> HcPrim:
        """A copy of the value (`copy.copy`)."""
    def __deepcopy__(self, memo: object) -> HcPrim:
        """A copy of the value (`copy.deepcopy`)."""
    def __reduce__(self) -> tuple[Callable[[bytes], HcPrim], tuple[bytes]]:
        """Pickles the value as its wire bytes (shape names of nested tables kept)."""
    def to_python(self) -> Any:
        """The payload as a Python value, every kind included.

        As `get_value`, but a LOCATION gives a dict `{"latitude": ..., "longitude": ..., "elevation": ...}`
        and an INFOTABLE the nested `InfoTable`.
        """
    @staticmethod
    def location(
        latitude: SupportsFloat | SupportsIndex,
        longitude: SupportsFloat | SupportsIndex,
        elevation: SupportsFloat | SupportsIndex = 0.0,
    ) -> HcPrim:
        """A LOCATION value: three 64-bit floats, written in this order on the wire."""
    @staticmethod
    def variant(value: HcPrim) -> HcPrim:
        """A VARIANT value wrapping a copy of `value`; on the wire, the VARIANT code, then `value`'s bytes."""
    @staticmethod
    def infotable(table: InfoTable) -> HcPrim:
        """An INFOTABLE value holding `table` (its rows shared until one side changes)."""
    @staticmethod
    def from_json(json_str: str) -> HcPrim:
        """Reads a value from its tagged JSON form, the one a table's record form writes for each cell.

        The form is the kind, then the base type and the payload: `{"INTEGER":["INTEGER",5]}`,
        `{"LOCATION":["LOCATION",1.0,2.0,3.0]}`, `{"NOTHING":"NOTHING"}`.

        Raises:
            DecodeError: "HcPrim JSON deserialization error: " and the JSON error with its position.
        """
    @staticmethod
    def from_buffer(data: Buffer, offset: SupportsIndex = 0) -> tuple[HcPrim, int]:
        """Decodes one value at `offset` of any bytes-like object, without copying it.

        Returns:
            The value and the number of bytes it took.

        Raises:
            DecodeError: as `from_bytes`, with `offset` counted from the start of `data`.
        """

@final
class HcyMessage:
    """One whole protocol message: a 15-byte header and a body whose kind the message code gives.

    The kinds are "Request" (codes 1 to 4), "Response" (64 and up), "Auth" (20) and "Bind" (10 bind, 11
    unbind). Decoded with `from_bytes` or `from_buffer`, built with `build_request`, `build_response`,
    `build_bind`, `build_auth` or `reply`; never changed after it is made. `str()` gives
    `short_description()`, `repr()` `HcyMessage(Response)`.

    Example:
        ```python
        from veltrac import HcyMessage

        message = HcyMessage.from_bytes(bytes.fromhex("01 40 00000007 00000000 00000000 00 00 ff"))
        print(message)  # V:1,C:HCY_SUCCESS,R:7,E:0,S:0,M:false,Params:false
        ```
    """

    @staticmethod
    def from_bytes(data: bytes) -> HcyMessage:
        """Decodes one message from the start of `data`; bytes after it are ignored.

        Raises:
            DecodeError: "Message deserialization error: " and the reason: input shorter than the header, an
                unknown code, a multipart piece, a header-only code (0, 21, 31: read those with
                `MessageHeader.from_buffer`), a body that does not read. `IncompleteError` when the input
                ended inside the message.
        """
    def to_bytes(self) -> bytes:
        """The message's wire bytes: header, then body.

        Raises:
            EncodeError: "Message serialization error: " and the reason.
        """
    def get_message_type(self) -> str:
        """The kind of the message: "Request", "Response", "Auth" or "Bind" (unbind included)."""
    def get_request_id(self) -> int:
        """The header's request id (0 to 4294967295)."""
    def get_session_id(self) -> int:
        """The header's session id (0 to 4294967295)."""
    def get_endpoint(self) -> int:
        """The header's endpoint (0 to 4294967295)."""
    def is_request(self) -> bool:
        """Whether the message is a request with one of the codes HCY_GET, HCY_PUT, HCY_POST and HCY_DEL."""
    def is_response(self) -> bool:
        """Whether the message is a response."""
    def is_auth(self) -> bool:
        """Whether the message is an authentication."""
    def is_bind(self) -> bool:
        """Whether the message is a bind or an unbind."""
    def short_description(self) -> str:
        """One line: the header, then the body's summary: `V:1,C:HCY_AUTH,R:1,E:0,S:4294967295,M:false,Auth!`."""
    @staticmethod
    def build_auth(request_id: SupportsIndex, app_key: str) -> HcyMessage:
        """The authentication message a device sends first: code HCY_AUTH, endpoint 0, session 4294967295.

        Its body is one claim named "appKey" holding `app_key`.

        Raises:
            OverflowError: `request_id` outside 0 to 4294967295.
        """
    def get_version(self) -> int:
        """The header's protocol version (0 to 255)."""
    def get_code(self) -> str:
        """The message code's display name, such as "HCY_SUCCESS"."""
    def get_code_value(self) -> int:
        """The message code's wire value, such as 64."""
    def get_entity_type(self) -> int:
        """A request's entity type code (one byte).

        Raises:
            ValueError: on a message that is not a request (likewise for the other request getters).
        """
    def get_entity_name(self) -> str:
        """A request's entity name: the thing it is addressed to."""
    def get_characteristic_type(self) -> int:
        """A request's characteristic type code (one byte): property, service, event, ..."""
    def get_characteristic_name(self) -> str:
        """A request's characteristic name: the property, service or event it is about."""
    def get_headers(self) -> list[tuple[str, str]]:
        """A request's header entries, as (name, value) pairs in wire order."""
    def get_params(self) -> InfoTable | None:
        """The table a request or response carries, or None.

        The table shares its rows with the message until one side changes, so this costs nothing in the
        table's size.

        Raises:
            ValueError: on an authentication or bind message.
        """
    def get_reason(self) -> str | None:
        """A response's reason text, or None when it has none.

        Raises:
            ValueError: on a message that is not a response.
        """
    def get_claim_name(self) -> str:
        """An authentication's claim name ("appKey" for `build_auth`).

        Raises:
            ValueError: on a message that is not an authentication.
        """
    def get_claim_value(self) -> str:
        """An authentication's claim value (the application key for `build_auth`)."""
    def get_binder_name(self) -> str | None:
        """A bind's binder name, or None.

        Raises:
            ValueError: on a message that is not a bind or unbind (likewise for the other bind getters).
        """
    def get_binder_type(self) -> str | None:
        """A bind's binder type, or None (present exactly when the binder name is)."""
    def get_names(self) -> list[str]:
        """The names of the things a bind or unbind message announces, in wire order."""
    @staticmethod
    def build_request(
        code: str | SupportsIndex,
        request_id: SupportsIndex,
        entity_type: SupportsIndex,
        entity_name: str,
        characteristic_type: SupportsIndex,
        characteristic_name: str,
        headers: Iterable[tuple[str, str]] = (),
        params: InfoTable | None = None,
        *,
        endpoint: SupportsIndex = 0,
        session_id: SupportsIndex = 0,
    ) -> HcyMessage:
        """Builds a request.

        Args:
            code: HCY_GET, HCY_PUT, HCY_POST or HCY_DEL, as a `MessageCode`, a display name or a wire value.
            request_id: the id the response will carry (0 to 4294967295).
            entity_type: the entity type code of the thing addressed (one byte).
            entity_name: the thing addressed.
            characteristic_type: the characteristic type code (one byte).
            characteristic_name: the property, service or event.
            headers: (name, value) pairs of str.
            params: a table to carry (shared, not copied), or None.
            endpoint: the header's endpoint.
            session_id: the header's session id.

        Raises:
            ValueError: an unknown code or one that is not a request code ("HCY_SUCCESS (64) is not a
                request code ..."); EncodeError "Message build error: " for an entity type the wire form
                cannot carry.
            OverflowError: an id or type code out of its range.
        """
    @staticmethod
    def build_response(
        code: str | SupportsIndex,
        request_id: SupportsIndex,
        reason: str | None = None,
        params: InfoTable | None = None,
        *,
        endpoint: SupportsIndex = 0,
        session_id: SupportsIndex = 0,
    ) -> HcyMessage:
        """Builds a response without a request at hand (see `reply` for the usual case).

        Args:
            code: a response code (64 and up), as a `MessageCode`, a display name or a wire value.
            request_id: the id of the request answered.
            reason: a text such as "no such thing", or None.
            params: the result table (shared, not copied), or None.
            endpoint: the header's endpoint.
            session_id: the header's session id.

        Raises:
            ValueError: an unknown code or one that is not a response code.
        """
    @staticmethod
    def build_bind(
        request_id: SupportsIndex,
        names: Iterable[str],
        binder_name: str | None = None,
        binder_type: str | None = None,
        *,
        unbind: bool = False,
        endpoint: SupportsIndex = 0,
        session_id: SupportsIndex = 0,
    ) -> HcyMessage:
        """Builds a bind (HCY_BIND) or, with `unbind=True`, an unbind (HCY_UNBIND) message.

        Args:
            request_id: the message's request id.
            names: the things a gateway starts or stops speaking for.
            binder_name: the binder's name, given together with `binder_type` or not at all.
            binder_type: the binder's type.
            unbind: build HCY_UNBIND instead of HCY_BIND.
            endpoint: the header's endpoint.
            session_id: the header's session id.

        Raises:
            ValueError: only one of `binder_name` and `binder_type` given.
        """
    def reply(
        self, code: str | SupportsIndex = "HCY_SUCCESS", reason: str | None = None, params: InfoTable | None = None
    ) -> HcyMessage:
        """The response to this message, of any kind: its request id, endpoint and session id, and `code`.

        Args:
            code: a response code (64 and up), as a `MessageCode`, a display name or a wire value.
            reason: a reason text, or None.
            params: the result table (shared, not copied), or None.

        Raises:
            ValueError: an unknown code or one that is not a response code.
        """
    @staticmethod
    def from_buffer(data: Buffer, offset: SupportsIndex = 0) -> tuple[HcyMessage, int]:
        """Decodes one message at `offset` of any bytes-like object, without copying it.

        Returns:
            The message and the number of bytes it took: the next message starts there.

        Raises:
            DecodeError: as `from_bytes`, with `offset` counted from the start of `data`.
        """
    @staticmethod
    def message_codes() -> list[tuple[str, int]]:
        """Every message code as (display name, wire value), in wire order: what `MessageCode` is built from."""
    def __copy__(self) -> HcyMessage:
        """A copy of the message (`copy.copy`); a table it carries is shared until one side changes."""
    def __deepcopy__(self, memo: object) -> HcyMessage:
        """A copy of the message (`copy.deepcopy`); a table it carries is shared until one side changes."""
    def __reduce__(self) -> tuple[Callable[[bytes], HcyMessage], tuple[bytes]]:
        """Pickles the message as its wire bytes (the shape names of its tables kept)."""
    def get_header(self) -> MessageHeader:
        """The message's header as a MessageHeader."""
    @staticmethod
    def _scan(
        data: Buffer, start: int, base: int, final: bool, limit: int
    ) -> tuple[list[HcyMessage | MessageHeader], bytes, DecodeError | None]:
        """Internal: the stream readers' batch decoder."""

@final
class HcyEvent:
    """An event definition: name, description, aspects and the data shape of the data the event carries.

    Read from and written to JSON; its byte form is its compact JSON text in UTF-8. `str()` and `repr()` give
    `HcyEvent(name='overheat', description='too hot')`.
    """

    @staticmethod
    def from_json(json_str: str) -> HcyEvent:
        """Reads an event from its JSON object: "name", "aspects", "description" and "EventData".

        Raises:
            DecodeError: "Event JSON deserialization error: " and the JSON error with its position (unknown
                members are refused).
        """
    @staticmethod
    def from_bytes(data: bytes) -> HcyEvent:
        """Reads an event from UTF-8 JSON bytes.

        Raises:
            DecodeError: "Event data is not valid UTF-8 JSON", or as `from_json`.
        """
    def to_bytes(self) -> bytes:
        """The UTF-8 bytes of `to_json()`."""
    def get_name(self) -> str:
        """The event's name."""
    def get_description(self) -> str:
        """The event's description."""
    def to_json(self) -> str:
        """The canonical compact JSON text: members name, aspects, description, EventData in that order."""
    def __copy__(self) -> HcyEvent:
        """A copy of the definition (`copy.copy`)."""
    def __deepcopy__(self, memo: object) -> HcyEvent:
        """A copy of the definition (`copy.deepcopy`)."""
    def __reduce__(self) -> tuple[Callable[[bytes], HcyEvent], tuple[bytes]]:
        """Pickles the definition as its JSON bytes."""
    def get_aspects(self) -> dict[str, Any]:
        """The aspects as a dict of Python values."""
    def get_data_shape_name(self) -> str | None:
        """The name of the event's data shape ("EventData" name in JSON)."""
    def get_fields(self) -> list[_FieldDefinition]:
        """The fields of the event's data, in order."""

@final
class HcyService:
    """A service definition: name, description, aspects, input fields and output.

    Read from and written to JSON; its byte form is its compact JSON text in UTF-8. `str()` and `repr()` give
    `HcyService(name='SetSpeed', description='...')`.
    """

    @staticmethod
    def from_json(json_str: str) -> HcyService:
        """Reads a service from its JSON text.

        An object with "name", "description", "aspects", "Inputs" and "Outputs", or an array of those five
        values in that order; other members are skipped.

        Raises:
            DecodeError: "Service JSON deserialization error: " and the JSON error with its position.
        """
    @staticmethod
    def from_bytes(data: bytes) -> HcyService:
        """Reads a service from UTF-8 JSON bytes.

        Raises:
            DecodeError: "Service data is not valid UTF-8 JSON", or as `from_json`.
        """
    def to_bytes(self) -> bytes:
        """The UTF-8 bytes of `to_json()`."""
    def get_name(self) -> str:
        """The service's name."""
    def get_description(self) -> str:
        """The service's description."""
    def to_json(self) -> str:
        """The canonical compact JSON text: members name, description, aspects, Inputs, Outputs in that order."""
    def __copy__(self) -> HcyService:
        """A copy of the definition (`copy.copy`)."""
    def __deepcopy__(self, memo: object) -> HcyService:
        """A copy of the definition (`copy.deepcopy`)."""
    def __reduce__(self) -> tuple[Callable[[bytes], HcyService], tuple[bytes]]:
        """Pickles the definition as its JSON bytes."""
    def get_aspects(self) -> dict[str, Any]:
        """The aspects as a dict of Python values."""
    def get_inputs(self) -> list[_FieldDefinition] | None:
        """The input fields in order, or None for a service without inputs (`"Inputs":{}`)."""
    def get_output(self) -> _OutputDefinition:
        """The output: its name, base type, aspects and fields."""

@final
class HcyProperty:
    """A property definition: name, base type, aspects, push type and threshold, start type.

    Read from and written to JSON; its byte form is its compact JSON text in UTF-8. `str()` and `repr()` give
    `HcyProperty(name='temp', base_type='NUMBER', threshold=0.5)`.
    """

    @staticmethod
    def from_json(json_str: str) -> HcyProperty:
        """Reads a property from its JSON text.

        An object with "name", "pushThreshold", "pushType", "startType", "aspects" and "baseType", or an array
        of those six values in that order; other members are skipped.

        Raises:
            DecodeError: "Property JSON deserialization error: " and the JSON error with its position.
        """
    @staticmethod
    def from_bytes(data: bytes) -> HcyProperty:
        """Reads a property from UTF-8 JSON bytes.

        Raises:
            DecodeError: "Property data is not valid UTF-8 JSON", or as `from_json`.
        """
    def to_bytes(self) -> bytes:
        """The UTF-8 bytes of `to_json()`."""
    def get_name(self) -> str:
        """The property's name."""
    def get_base_type(self) -> str:
        """The name of the property's base type, such as "NUMBER"."""
    def get_push_threshold(self) -> float:
        """The change that makes a new value worth pushing ("pushThreshold")."""
    def should_read_edge_value(self) -> bool:
        """Whether the start type is "readEdgeValue" (the value is read from the device at start)."""
    def to_json(self) -> str:
        """The canonical compact JSON text: members name, pushThreshold, pushType, startType, aspects, baseType."""
    def __copy__(self) -> HcyProperty:
        """A copy of the definition (`copy.copy`)."""
    def __deepcopy__(self, memo: object) -> HcyProperty:
        """A copy of the definition (`copy.deepcopy`)."""
    def __reduce__(self) -> tuple[Callable[[bytes], HcyProperty], tuple[bytes]]:
        """Pickles the definition as its JSON bytes."""
    def get_push_type(self) -> str:
        """When a changed value is pushed: "NEVER", "ALWAYS" or "VALUE" (by the threshold)."""
    def get_start_type(self) -> str:
        """Where the value comes from at start: "useDefaultValue" or "readEdgeValue"."""
    def get_aspects(self) -> dict[str, Any]:
        """The aspects as a dict of Python values."""

@final
class InfoTable:
    """A table: a data shape of named, typed fields and rows of typed values.

    The one class whose objects change: fields are added with `add_field_definition`, rows with `add_row`,
    `add_rows` or `append_row`. Copies share their rows until one of them changes. Speaks the Arrow
    PyCapsule interface (`pyarrow.table(t)`, `polars.DataFrame(t)`). `str()` gives
    `InfoTable(rows=2, fields=3)`, `repr()` adds the shape name: `..., name=Some("Readings"))` or `name=None`.

    Example:
        ```python
        from veltrac import InfoTable

        table = InfoTable("Readings")
        table.add_field_definition("value", "NUMBER", "measured value")
        table.add_row({"value": 21.5})
        print(table.to_simple_json())
        # {"dataShape":{"fieldDefinitions":{"value":{"aspects":{},"baseType":"NUMBER","description":"measured value","name":"value","ordinal":0}},"name":"Readings"},"rows":[{"value":21.5}]}
        ```
    """

    def __new__(cls, name: str | None = None) -> InfoTable:
        """An empty table whose data shape has the name `name` (None: no name)."""
    @staticmethod
    def from_bytes(data: bytes) -> InfoTable:
        """Decodes a table from its wire bytes: the data shape block, then the rows.

        The wire form carries no shape name: `get_datashape_name()` of the result is None.

        Raises:
            DecodeError: "InfoTable deserialization error: " and the reason (IncompleteError when `data`
                ends inside the table).
        """
    def to_bytes(self) -> bytes:
        """The table's wire bytes.

        Raises:
            EncodeError: "InfoTable serialization error: " and the reason.
        """
    def get_row_count(self) -> int:
        """The number of rows."""
    def get_field_count(self) -> int:
        """The number of fields of the data shape."""
    def get_datashape_name(self) -> str | None:
        """The data shape's name, or None."""
    def to_json(self) -> str:
        """The record form of the table, which `InfoTable.from_json` reads back.

        `{"datashape":{"name":...,"entries":{...}},"rows":[{"fields":[...]}]}`, each cell in the tagged form
        of `HcPrim.from_json`.

        Raises:
            EncodeError: "JSON serialization error: " and the reason.
        """
    def to_simple_json(self) -> str:
        """The simple form: `{"dataShape":{"fieldDefinitions":{...},"name":...},"rows":[{field: value}]}`.

        Keys are sorted; cells are plain JSON values (null for an empty cell).

        Raises:
            EncodeError: "Simple JSON conversion error: " or "JSON serialization error: " and the reason.
        """
    def add_field_definition(self, name: str, base_type: str, description: str) -> None:
        """Adds a field with empty aspects, or replaces the field of that name in place.

        Existing rows are not touched.

        Args:
            name: the field's name, the key `add_row` looks up.
            base_type: one of the ten names `BaseType` accepts, in any letter case.
            description: the field's description.

        Raises:
            ValueError: "Invalid base type: " and `base_type` as given.
        """
    def add_row(self, row_dict: dict[str, Any]) -> None:
        """Appends one row: each field's value is looked up by the field's name; other keys are ignored.

        STRING takes a str, NUMBER a float (or int), BOOLEAN a bool, DATETIME, INTEGER and LONG an int in
        range. Fields of other base types are filled with `append_row`.

        Raises:
            ValueError: "Missing field: " and the name; "Unsupported field type for field " for a field that
                `add_row` cannot fill.
            TypeError: `row_dict` is not a dict, or a value has the wrong type.
            OverflowError: an int out of its field's range.
        """
    def __copy__(self) -> InfoTable:
        """A copy (`copy.copy`): the rows are shared until one side changes."""
    def __deepcopy__(self, memo: object) -> InfoTable:
        """A copy (`copy.deepcopy`): the rows are shared until one side changes."""
    def __reduce__(self) -> tuple[type[InfoTable], tuple[str | None], bytes]:
        """Pickles the table as its shape name and wire bytes."""
    def __setstate__(self, state: bytes) -> None:
        """Restores a pickled table from its wire bytes."""
    def get_field_definitions(self) -> list[_FieldDefinition]:
        """The fields in order: name, base type, description, ordinal and aspects of each.

        Each field is a `FrozenDict` (its aspects too), the same objects for every table of one shape, so
        after the first call for a shape a call makes only the new list:

        ```python
        from veltrac import InfoTable

        t = InfoTable.from_fields([("sensor", "STRING", "sensor id"), ("reading", "NUMBER", "")])
        print(t.get_field_definitions()[1])
        # {'name': 'reading', 'base_type': 'NUMBER', 'description': '', 'ordinal': 1, 'aspects': {}}
        print(t.get_field_definitions()[1] is t.get_field_definitions()[1])  # True
        editable = [dict(f, aspects=dict(f["aspects"])) for f in t.get_field_definitions()]
        ```
        """
    def get_rows(self) -> list[dict[str, Any]]:
        """Every row as a dict from field name to value (`HcPrim.to_python` of each cell)."""
    def get_row_tuples(self) -> list[tuple[Any, ...]]:
        """Every row as a tuple of its values in field order: the values of `get_rows()` without the keys."""
    def get_row(self, index: SupportsIndex) -> dict[str, Any]:
        """One row as a dict; a negative index counts from the end.

        Raises:
            IndexError: `index` is out of range.
        """
    def get_column(self, name: str) -> list[Any]:
        """The values of one field, row by row.

        Raises:
            KeyError: no field has that name.
        """
    def get_cell(self, index: SupportsIndex, name: str) -> HcPrim:
        """One cell as a typed value.

        Raises:
            IndexError: `index` is out of range.
            KeyError: no field has that name.
        """
    def add_rows(self, rows: Iterable[dict[str, Any]]) -> None:
        """Appends many rows given as for `add_row`: all of them, or none when one fails."""
    def append_row(self, values: Sequence[HcPrim]) -> None:
        """Appends one row of typed values, one per field in field order.

        The way to fill BLOB, LOCATION, INFOTABLE and VARIANT fields.

        Raises:
            ValueError: the number of values differs from the number of fields.
        """
    @staticmethod
    def from_json(json_str: str) -> InfoTable:
        """Reads a table from the record form `to_json` writes (shape name included).

        Raises:
            DecodeError: "InfoTable JSON deserialization error: " and the JSON error with its position.
        """
    def __arrow_c_schema__(self) -> CapsuleType:
        """The Arrow schema of the table, as a PyCapsule (the Arrow PyCapsule interface)."""
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> CapsuleType:
        """The table as an Arrow stream of one batch, as a PyCapsule.

        Raises:
            ValueError: a cell whose type differs from its field's, naming the field and the row.
        """
    @staticmethod
    def from_arrow(data: _ArrowStreamExportable | _ArrowArrayExportable, name: str | None = None) -> InfoTable:
        """Reads a table from any Arrow producer (`__arrow_c_stream__` or `__arrow_c_array__`).

        Columns carrying a `base_type` field metadata get that base type back; others are mapped by their
        Arrow type (integers INTEGER or LONG by width, floats NUMBER, strings STRING, timestamps and dates
        DATETIME in milliseconds, binaries BLOB). Nulls become empty cells.

        Args:
            data: a pyarrow table or batch, a polars frame, ...
            name: the shape name; None takes the schema metadata `name`, if any.

        Raises:
            DecodeError: a column type with no base type, naming the column, or a producer that breaks the
                interface (kind "Io", "Utf8" or "Json"; offset None).
        """
    @staticmethod
    def from_buffer(data: Buffer, offset: SupportsIndex = 0) -> tuple[InfoTable, int]:
        """Decodes a table at `offset` of any bytes-like object, without copying it.

        Returns:
            The table and the number of bytes it took.

        Raises:
            DecodeError: as `from_bytes`, with `offset` counted from the start of `data`.
        """
    def get_field_names(self) -> list[str]:
        """The field names in field order: the keys of the dicts `get_rows()` gives.

        Cheaper than `get_field_definitions()` when only the names are wanted.
        """
    def get_field_types(self) -> list[BaseType]:
        """The base type of each field, as `BaseType` objects, in field order.

        `str(t)` is the type's name (`"INTEGER"`); a decoded table may hold any of the protocol's base types,
        not only the ten that `add_field_definition` accepts.
        """
    @classmethod
    def from_fields(cls, fields: Iterable[tuple[str, BaseType | str, str]], name: str | None = None) -> InfoTable:
        """A new table without rows whose fields are the `(name, base_type, description)` items of `fields`.

        `base_type` is a `BaseType` or one of the ten names `BaseType` accepts, in any letter case
        (`"integer"`, `BaseType.INTEGER`). `name` is the shape name, as for `InfoTable(name)`.

        Raises TypeError for an item that is not a tuple or list, or whose name or description is not a str
        or whose base type is neither; ValueError for an item of another length than 3, an unknown base type
        name or a name given twice. The message names the item: `fields[2]: Invalid base type: TEXT`.

            >>> InfoTable.from_fields([("rpm", "INTEGER", "shaft speed"), ("on", "BOOLEAN", "")]).get_field_names()
            ['rpm', 'on']
        """

@final
class VeltracError:
    """A message text held as a value: an ordinary class, not an exception (raising it is a TypeError).

    `str()` gives the message, `repr()` `VeltracError('link down')` (the message unescaped).
    """

    def __new__(cls, message: str) -> VeltracError:
        """A value holding `message`."""

@final
class FrozenDict(dict[str, Any]):
    """A read-only dict: the field definitions of tables and definitions, and their aspects.

    Reading, comparing, iterating, `json.dumps` and `|` work as on a dict; `dict(d)`, `d.copy()`, `copy` and
    `pickle` give plain dicts. Every method that would change it raises `TypeError` ("FrozenDict is
    read-only: dict(d) makes a mutable copy"). Made only by the codec.
    """

@final
class MessageHeader:
    """The 15-byte header of any message: an immutable value, equal and hashed by its fields.

    On the wire: version (1 byte), code (1), request id (4), endpoint (4), session id (4), multipart flag
    (1), numbers big-endian. The header-only messages (keep-alive, clear-auth and code 0) are a header and
    nothing more: `MessageReader` yields them as a `MessageHeader`.

    Example:
        ```python
        from veltrac import MessageCode, MessageHeader

        keep_alive = MessageHeader(MessageCode.HCY_KEEP_ALIVE, 51, session_id=9)
        print(keep_alive.to_bytes().hex(" "))  # 01 1f 00 00 00 33 00 00 00 00 00 00 00 09 00
        ```
    """

    def __new__(
        cls,
        code: str | SupportsIndex,
        request_id: SupportsIndex = 0,
        endpoint: SupportsIndex = 0,
        session_id: SupportsIndex = 0,
        version: SupportsIndex = 1,
        multipart: bool = False,
    ) -> MessageHeader:
        """A header of any code, as a `MessageCode`, a display name or a wire value.

        Raises:
            ValueError: an unknown code, or a version above 255.
            OverflowError: an id out of 0 to 4294967295.
        """
    @property
    def version(self) -> int:
        """Protocol version (0 to 255)."""
    @property
    def code(self) -> MessageCode:
        """The message code, a MessageCode."""
    @property
    def request_id(self) -> int:
        """Request id."""
    @property
    def endpoint(self) -> int:
        """Endpoint id."""
    @property
    def session_id(self) -> int:
        """Session id."""
    @property
    def multipart(self) -> bool:
        """Whether the message is one piece of a multipart message."""
    def to_bytes(self) -> bytes:
        """The 15 bytes of the header; a whole keep-alive or clear-auth message."""
    @staticmethod
    def from_buffer(data: Buffer, offset: SupportsIndex = 0) -> MessageHeader:
        """Reads the 15 header bytes of any message with a valid code at `offset` of a bytes-like object.

        Header-only codes and multipart pieces included.

        Raises:
            DecodeError: an unknown code; `IncompleteError` when fewer than 15 bytes are there.
        """
    def __eq__(self, other: object, /) -> bool:
        """Equal when every field is equal."""
    def __hash__(self) -> int:
        """A hash of the fields."""
    def __reduce__(self) -> tuple[type[MessageHeader], tuple[int, int, int, int, int, bool]]:
        """Pickles the header as its fields."""

class DecodeError(ValueError):
    """Bytes or text could not be decoded.

    The text is the failed step's prefix ("Message deserialization error: ", ...) and the reason.
    """

    kind: str
    """The codec error's name, such as "InvalidCode", "InvalidBaseType", "Utf8", "Io" or "Json"."""
    offset: int | None
    """Where in the input the error was found, or None where no position applies."""
    header: MessageHeader | None
    """The header of a message whose first 15 bytes were readable, else None."""

class IncompleteError(DecodeError):
    """The input ended before the value did: more bytes may complete it."""

class EncodeError(ValueError):
    """A value could not be encoded.

    Or a message could not be built: for example a JSON text that cannot be written, or an entity type the wire form cannot carry.
    """

    kind: str
    """The codec error's name."""
    offset: int | None
    """Always None."""
    header: MessageHeader | None
    """Always None."""
