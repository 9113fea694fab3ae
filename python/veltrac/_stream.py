"""Reading back-to-back messages from a stream or a buffer."""

from __future__ import annotations

import sys
from collections.abc import Iterator
from operator import length_hint
from typing import Union

from veltrac._native import HcyMessage, MessageHeader

Message = Union[HcyMessage, MessageHeader]

# Messages decoded per call into the codec while iterating.
_BATCH = 4096


class BufferFullError(ValueError):
    """More bytes were fed than the reader's max_buffer_size allows."""


class MessageReader:
    """Reads messages from a byte stream fed in pieces of any size.

    Use it where messages arrive back to back with nothing to mark where one ends: a TCP-like stream or a
    capture file read in chunks. Where the transport delivers one message per frame (a WebSocket message,
    a datagram), decode each frame with ``HcyMessage.from_bytes`` instead.

    ``feed(data)`` takes any bytes-like object. Iterating yields every complete message in order: an
    ``HcyMessage``, or a ``MessageHeader`` for the header-only codes 0, 21 and 31. It stops when the
    buffered bytes hold no complete message; feed more and iterate again. A message counts as complete
    only when every field it declares is present: a string due exactly at the end of the buffered bytes
    waits for more bytes. A corrupt message raises ``DecodeError`` with its stream offset and header; the
    reader stays at that message. ``close()`` ends the stream and returns the messages the remaining bytes
    make by the ordinary decoding rules; bytes that cannot make a message raise ``IncompleteError``.
    """

    def __init__(self, max_buffer_size: int = 100 * 1024 * 1024) -> None:
        """A reader at stream offset 0.

        Args:
            max_buffer_size: the most bytes held while waiting for the end of a message; `feed` raises
                `BufferFullError` rather than hold more. Set it above the largest message expected.
        """
        if max_buffer_size <= 0:
            raise ValueError("max_buffer_size must be positive")
        self.max_buffer_size = max_buffer_size
        self._buf = bytearray()
        self._pos = 0  # next message within _buf, once the batch being yielded is settled
        self._base = 0  # stream offset of _buf[0]
        self._closed = False
        # The batch being yielded: its iterator, the end of each message within _buf, where it started.
        self._batch: tuple[Iterator[Message], memoryview, int] | None = None

    def _consumed(self) -> int:
        if self._batch is None:
            return self._pos
        it, ends, start = self._batch
        done = len(ends) - length_hint(it)
        return ends[done - 1] if done else start

    def _settle(self) -> None:
        self._pos = self._consumed()
        self._batch = None

    @property
    def offset(self) -> int:
        """Stream offset of the next message."""
        return self._base + self._consumed()

    def feed(self, data: bytes | bytearray | memoryview) -> None:
        """Appends bytes to the stream."""
        if self._closed:
            raise ValueError("the reader is closed")
        self._settle()
        with memoryview(data) as view:
            size = view.nbytes
            pending = len(self._buf) - self._pos
            if pending + size > self.max_buffer_size:
                raise BufferFullError(
                    f"buffering {pending + size} bytes would pass max_buffer_size ({self.max_buffer_size})"
                )
            if self._pos:
                del self._buf[: self._pos]
                self._base += self._pos
                self._pos = 0
            self._buf += view

    def __iter__(self) -> Iterator[Message]:
        """Yields the complete messages buffered so far, in order; raises DecodeError at a corrupt one."""
        return self._read(final=False)

    def _read(self, final: bool) -> Iterator[Message]:
        scan = HcyMessage._scan
        self._settle()
        while True:
            start = self._pos
            messages, ends, error = scan(self._buf, start, self._base, final, _BATCH)
            if messages:
                it = iter(messages)
                self._batch = (it, memoryview(ends).cast("Q"), start)
                yield from it
                self._batch = None
                self._pos = int.from_bytes(ends[-8:], sys.byteorder)
            if error is not None:
                raise error
            if len(messages) < _BATCH:
                return

    def close(self) -> list[Message]:
        """Ends the stream; returns the messages the remaining bytes make (IncompleteError if they cannot)."""
        self._closed = True
        out = list(self._read(final=True))
        self._settle()
        self._buf = bytearray()
        self._base += self._pos
        self._pos = 0
        return out


def iter_messages(buffer: bytes | bytearray | memoryview) -> Iterator[tuple[int, Message]]:
    """Yields (offset, message) for the back-to-back messages of a whole buffer (bytes, memoryview, mmap),
    without copying it. A corrupt or cut-off message raises DecodeError or IncompleteError with its offset."""
    scan = HcyMessage._scan
    pos = 0
    while True:
        messages, ends, error = scan(buffer, pos, 0, True, _BATCH)
        for message, end in zip(messages, memoryview(ends).cast("Q")):
            yield pos, message
            pos = end
        if error is not None:
            raise error
        if len(messages) < _BATCH:
            return
