"""Codec for the Veltrac protocol: messages, typed values, tables and entity definitions.

Everything public lives here: the classes of the compiled module `veltrac._native` (`HcyMessage`,
`MessageHeader`, `InfoTable`, `HcPrim`, `HcyProperty`, `HcyService`, `HcyEvent`, `BaseType`,
`VeltracError`, `FrozenDict`), the exceptions (`DecodeError`, `IncompleteError`, `EncodeError`, `BufferFullError`),
`MessageCode`, and the stream readers `MessageReader` and `iter_messages`.
"""

from enum import IntEnum
from typing import TYPE_CHECKING

from veltrac import _native
from veltrac._native import *  # noqa: F401,F403
# Re-exported by name (`X as X`), so that type checkers see them as the package's own.
from veltrac._native import DecodeError as DecodeError
from veltrac._native import EncodeError as EncodeError
from veltrac._native import FrozenDict as FrozenDict
from veltrac._native import IncompleteError as IncompleteError
from veltrac._native import MessageHeader as MessageHeader
from veltrac._stream import BufferFullError as BufferFullError
from veltrac._stream import MessageReader as MessageReader
from veltrac._stream import iter_messages as iter_messages

__version__: str = _native.__version__
"""The package version, for example "0.6.0"."""

if TYPE_CHECKING:

    class MessageCode(IntEnum):
        """The message codes by display name, with their one-byte wire values.

        Built at import from the codec's own catalogue (`HcyMessage.message_codes()`). Every message builder
        takes a member, a display name or a wire value: `build_response(MessageCode.HCY_NOT_FOUND, 7)`,
        `build_response("HCY_NOT_FOUND", 7)` and `build_response(132, 7)` build the same message. Requests
        are codes 1 to 4, bind and unbind 10 and 11, authentication 20, the header-only messages 0, 21 and
        31, responses 64 and up.
        """

        HCY_UNKNOWN = 0
        HCY_GET = 1
        HCY_PUT = 2
        HCY_POST = 3
        HCY_DEL = 4
        HCY_BIND = 10
        HCY_UNBIND = 11
        HCY_AUTH = 20
        HCY_CLEAR_AUTH = 21
        HCY_KEEP_ALIVE = 31
        HCY_SUCCESS = 64
        HCY_CREATED = 65
        HCY_ACCEPTED = 66
        HCY_NO_CONTENT = 68
        HCY_PARTIAL_CONTENT = 70
        HCY_MULTIPLE_CHOICES = 96
        HCY_MOVED_PERMANENTLY = 97
        HCY_FOUND = 98
        HCY_SEE_OTHER = 99
        HCY_NOT_MODIFIED = 100
        HCY_USE_PROXY = 101
        HCY_TEMPORARY_REDIRECT = 103
        HCY_BAD_REQUEST = 128
        HCY_UNAUTHORIZED = 129
        HCY_BAD_OPTION = 130
        HCY_FORBIDDEN = 131
        HCY_NOT_FOUND = 132
        HCY_METHOD_NOT_ALLOWED = 133
        HCY_NOT_ACCEPTABLE = 134
        HCY_REQUEST_TIMEOUT = 136
        HCY_CONFLICT = 137
        HCY_PRECONDITION_FAILED = 140
        HCY_ENTITY_TOO_LARGE = 141
        HCY_UNSUPPORTED_CONTENT_FORMAT = 143
        HCY_INTERNAL_SERVER_ERROR = 160
        HCY_INVALID_SESSION = 161
        HCY_BAD_GATEWAY = 162
        HCY_SERVICE_UNAVAILABLE = 163
        HCY_GATEWAY_TIMEOUT = 164
        HCY_NOT_IMPLEMENTED = 165
        HCY_COMM_ERROR = 224
        HCY_SERVER_REFUSED = 225
        HCY_SERVER_UNAVAILABLE = 226
        HCY_COMM_TIMEOUT = 227
        HCY_INVALID_PROTOCOL_VERSION = 228
        HCY_WROTE_TO_OFFLINE_MSG_STORE = 240
        HCY_OFFLINE_MSG_STORE_FULL = 241

else:
    MessageCode = IntEnum("MessageCode", _native.HcyMessage.message_codes(), module=__name__)
    MessageCode.__doc__ = "The message codes by display name, with their one-byte wire values."

# The compiled module's eight classes first, in its order. A literal list, so that type checkers read it;
# stubtest (tests/test_typing.py) checks it against the names the package exports.
__all__ = [
    "BaseType",
    "HcPrim",
    "HcyMessage",
    "HcyEvent",
    "HcyService",
    "HcyProperty",
    "InfoTable",
    "VeltracError",
    "MessageCode",
    "__version__",
    "DecodeError",
    "IncompleteError",
    "EncodeError",
    "MessageHeader",
    "FrozenDict",
    "MessageReader",
    "BufferFullError",
    "iter_messages",
]
