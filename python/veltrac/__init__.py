"""Codec for the Veltrac protocol: messages, typed values, tables and entity definitions."""

from enum import IntEnum

from veltrac import _native
from veltrac._native import *  # noqa: F401,F403

__version__: str = _native.__version__

# The message codes by display name, with their wire values, from the codec's own catalogue. Every message
# builder takes a member, a display name or a wire value.
MessageCode = IntEnum("MessageCode", _native.HcyMessage.message_codes(), module=__name__)  # type: ignore[misc]

__all__ = list(_native.__all__) + ["MessageCode", "__version__"]
