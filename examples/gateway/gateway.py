"""An edge gateway speaking for a few pumps to the platform, one message per binary WebSocket frame.

The gateway connects, authenticates with its application key, binds the things it speaks for, then answers
the platform's requests: GET reads a property, PUT writes one, POST runs a service. Keep-alives are echoed;
a frame that cannot be decoded is answered with HCY_BAD_REQUEST when its header is readable and dropped
otherwise, and the connection lives on. On stop() it unbinds its things and closes.

    python examples/gateway/gateway.py ws://127.0.0.1:8765 my-application-key
"""

from __future__ import annotations

import asyncio
import logging
import sys
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from websockets.asyncio.client import ClientConnection, connect

from veltrac import DecodeError, HcyMessage, IncompleteError, InfoTable, MessageHeader

log = logging.getLogger("gateway")

# Characteristic types of requests in this example: a property or a service.
PROPERTY = 1
SERVICE = 2
# Codes of the header-only control messages: they have no body, so HcyMessage cannot hold them.
KEEP_ALIVE = 31
CONTROL_CODES = {0, 21, KEEP_ALIVE}
# The largest frame the gateway accepts. It must exceed the largest message the platform sends (a PUT of a
# whole table, say); websockets closes the connection on a larger frame (close code 1009).
MAX_FRAME = 16 << 20

Service = Callable[[InfoTable | None], InfoTable]


class AuthError(RuntimeError):
    """The platform refused the gateway's application key or its bind."""


@dataclass
class Thing:
    """A device the gateway speaks for: typed properties and services."""

    name: str
    # Property name -> (base type, value). The base type is one that add_row fills.
    properties: dict[str, tuple[str, Any]] = field(default_factory=dict)
    services: dict[str, Service] = field(default_factory=dict)
    # Tables answered as they are (large, prepared once): a GET of these names replies with the table itself.
    tables: dict[str, InfoTable] = field(default_factory=dict)


class Gateway:
    def __init__(self, uri: str, app_key: str, things: list[Thing], *, max_frame: int = MAX_FRAME) -> None:
        self.uri = uri
        self.app_key = app_key
        self.things = {t.name: t for t in things}
        self.max_frame = max_frame
        self.session_id = 0
        self.dropped = 0  # frames neither answered nor understood
        self._next_id = 0
        self._pending: dict[int, asyncio.Future[HcyMessage]] = {}
        self._stop = asyncio.Event()
        self._ws: ClientConnection | None = None

    def _request_id(self) -> int:
        self._next_id += 1
        return self._next_id

    async def run(self) -> None:
        """Connects, authenticates and binds, then serves until stop() or until the platform closes."""
        # compression=None: the codec's frames are dense binary; deflating each costs CPU for little gain.
        async with connect(self.uri, max_size=self.max_frame, compression=None) as ws:
            self._ws = ws
            reader = asyncio.create_task(self._read(ws))
            try:
                auth = await self._call(HcyMessage.build_auth(self._request_id(), self.app_key))
                if auth.get_code() != "HCY_SUCCESS":
                    raise AuthError(f"authentication refused: {auth.get_code()} {auth.get_reason()}")
                self.session_id = auth.get_session_id()  # the platform's session for this connection
                bind = await self._call(HcyMessage.build_bind(self._request_id(), list(self.things),
                                                              session_id=self.session_id))
                if bind.get_code() != "HCY_SUCCESS":
                    raise AuthError(f"bind refused: {bind.get_code()} {bind.get_reason()}")
                log.info("bound %s in session %d", ", ".join(self.things), self.session_id)
                stop = asyncio.create_task(self._stop.wait())
                await asyncio.wait([reader, stop], return_when=asyncio.FIRST_COMPLETED)
                stop.cancel()
                if reader.done():
                    reader.result()  # the platform closed the connection: raises if it broke off
                else:
                    unbind = HcyMessage.build_bind(self._request_id(), list(self.things), unbind=True,
                                                   session_id=self.session_id)
                    await self._call(unbind)
            finally:
                reader.cancel()
                self._ws = None

    def stop(self) -> None:
        """Unbinds the things and closes the connection (run() then returns)."""
        self._stop.set()

    async def _call(self, message: HcyMessage, timeout: float = 10.0) -> HcyMessage:
        """Sends a message of the gateway's own and waits for the response with its request id."""
        assert self._ws is not None
        done = asyncio.get_running_loop().create_future()
        self._pending[message.get_request_id()] = done
        await self._ws.send(message.to_bytes())
        try:
            return await asyncio.wait_for(done, timeout)
        finally:
            self._pending.pop(message.get_request_id(), None)

    async def _read(self, ws: ClientConnection) -> None:
        try:
            async for frame in ws:
                if isinstance(frame, str):  # the protocol is binary; a text frame is no message
                    self.dropped += 1
                    continue
                answer = self.handle_frame(frame)
                if answer is not None:
                    await ws.send(answer)
        finally:
            for pending in self._pending.values():
                if not pending.done():
                    pending.set_exception(ConnectionError("the connection closed before the response came"))

    def handle_frame(self, frame: bytes) -> bytes | None:
        """The answer to one frame (None when there is none), or the response to one of our requests."""
        try:
            header = MessageHeader.from_buffer(frame)
            if header.code in CONTROL_CODES:
                # A keep-alive is answered with itself; the other control codes need no answer here.
                return header.to_bytes() if header.code == KEEP_ALIVE else None
            message, taken = HcyMessage.from_buffer(frame)
        except IncompleteError as exc:  # cut short: the frame is all there is, so it stays incomplete
            return self._bad_request(exc)
        except DecodeError as exc:  # corrupt, an unknown code, or a multipart piece
            return self._bad_request(exc)
        if taken != len(frame):
            return HcyMessage.build_response("HCY_BAD_REQUEST", header.request_id,
                                             f"{len(frame) - taken} bytes after the message",
                                             endpoint=header.endpoint, session_id=header.session_id).to_bytes()
        if message.is_response():
            pending = self._pending.get(message.get_request_id())
            if pending is not None and not pending.done():
                pending.set_result(message)
            return None
        if message.is_request():
            return self.answer(message).to_bytes()
        return message.reply("HCY_METHOD_NOT_ALLOWED", f"a gateway does not take {message.get_code()}").to_bytes()

    def _bad_request(self, exc: DecodeError) -> bytes | None:
        if exc.header is None:  # not even the header is known: there is nobody to answer
            log.warning("dropped a frame: %s", exc)
            self.dropped += 1
            return None
        h = exc.header
        return HcyMessage.build_response("HCY_BAD_REQUEST", h.request_id, str(exc), endpoint=h.endpoint,
                                         session_id=h.session_id).to_bytes()

    def answer(self, request: HcyMessage) -> HcyMessage:
        """The response to one request: a result table, or an error code with a reason."""
        thing = self.things.get(request.get_entity_name())
        if thing is None:
            return request.reply("HCY_NOT_FOUND", f"no thing named {request.get_entity_name()}")
        code, kind, name = request.get_code(), request.get_characteristic_type(), request.get_characteristic_name()
        params = request.get_params()
        if kind == PROPERTY and code == "HCY_GET":
            if name in thing.tables:
                return request.reply("HCY_SUCCESS", params=thing.tables[name])  # shared, not copied
            if name not in thing.properties:
                return request.reply("HCY_NOT_FOUND", f"{thing.name} has no property {name}")
            base_type, value = thing.properties[name]
            result = InfoTable.from_fields([(name, base_type, "")], name=name)
            result.add_row({name: value})
            return request.reply("HCY_SUCCESS", params=result)
        if kind == PROPERTY and code == "HCY_PUT":
            if name not in thing.properties:
                return request.reply("HCY_NOT_FOUND", f"{thing.name} has no property {name}")
            base_type, _ = thing.properties[name]
            if params is None or params.get_row_count() != 1 or params.get_field_names() != [name]:
                return request.reply("HCY_BAD_REQUEST", f"PUT {name} takes one row of the field {name}")
            if str(params.get_field_types()[0]) != base_type:
                return request.reply("HCY_BAD_REQUEST", f"{name} is {base_type}")
            thing.properties[name] = (base_type, params.get_row(0)[name])
            return request.reply("HCY_SUCCESS")
        if kind == SERVICE and code == "HCY_POST":
            service = thing.services.get(name)
            if service is None:
                return request.reply("HCY_NOT_FOUND", f"{thing.name} has no service {name}")
            try:
                return request.reply("HCY_SUCCESS", params=service(params))
            except (KeyError, ValueError, TypeError) as exc:
                return request.reply("HCY_BAD_REQUEST", f"{name}: {exc}")
        return request.reply("HCY_METHOD_NOT_ALLOWED", f"{code} of characteristic type {kind}")


def demo_things() -> list[Thing]:
    """Two pumps: a speed to read and write, a reset service, and a history table of 10,000 rows."""

    def reset(params: InfoTable | None) -> InfoTable:
        mode = params.get_row(0)["mode"] if params is not None and params.get_row_count() else "soft"
        if mode not in ("soft", "hard"):
            raise ValueError(f"unknown mode {mode!r}")
        result = InfoTable.from_fields([("done", "BOOLEAN", "reset carried out"), ("mode", "STRING", "")])
        result.add_row({"done": True, "mode": mode})
        return result

    history = InfoTable.from_fields([("at", "DATETIME", "ms since the epoch"), ("rpm", "INTEGER", "shaft speed")],
                                    name="SpeedHistory")
    history.add_rows({"at": 1_700_000_000_000 + i * 1000, "rpm": 1400 + i % 100} for i in range(10_000))
    return [
        Thing("Pump-07", {"Speed": ("INTEGER", 1450), "Label": ("STRING", "north bay")}, {"Reset": reset},
              {"History": history}),
        Thing("Pump-08", {"Speed": ("INTEGER", 0)}),
    ]


async def main(uri: str, app_key: str) -> None:
    gateway = Gateway(uri, app_key, demo_things())
    await gateway.run()


if __name__ == "__main__":
    logging.basicConfig(level=logging.INFO)
    asyncio.run(main(sys.argv[1], sys.argv[2]))
