"""Codec for the Veltrac protocol: messages, typed values, tables and entity definitions."""

from enum import IntEnum

from veltrac import _native
from veltrac._native import *  # noqa: F401,F403
# Re-exported by name (`X as X`), so that type checkers see them as the package's own.
from veltrac._native import DecodeError as DecodeError
from veltrac._native import EncodeError as EncodeError
from veltrac._native import IncompleteError as IncompleteError
from veltrac._native import MessageHeader as MessageHeader
from veltrac._stream import BufferFullError as BufferFullError
from veltrac._stream import MessageReader as MessageReader
from veltrac._stream import iter_messages as iter_messages

__version__: str = _native.__version__

# The message codes by display name, with their wire values, from the codec's own catalogue. Every message
# builder takes a member, a display name or a wire value.
MessageCode = IntEnum("MessageCode", _native.HcyMessage.message_codes(), module=__name__)  # type: ignore[misc]

__all__ = list(_native.__all__) + [
    "MessageCode",
    "__version__",
    "DecodeError",
    "IncompleteError",
    "EncodeError",
    "MessageHeader",
    "MessageReader",
    "BufferFullError",
    "iter_messages",
]
