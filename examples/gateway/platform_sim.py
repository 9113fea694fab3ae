"""A platform simulator: the WebSocket server a gateway connects to, one message per binary frame.

It answers authentication (one application key is accepted) and bind and unbind messages, and lets a
caller send requests, keep-alives and raw frames to the connected gateway and await the answers.

    python examples/gateway/platform_sim.py 8765 my-application-key
"""

from __future__ import annotations

import asyncio
import sys
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager

from websockets.asyncio.server import ServerConnection, serve

from veltrac import DecodeError, HcyMessage, InfoTable, MessageHeader

SESSION_ID = 4242  # the session the platform gives an authenticated gateway
KEEP_ALIVE = 31
MAX_FRAME = 16 << 20


class Platform:
    def __init__(self, app_key: str) -> None:
        self.app_key = app_key
        self.bound: list[str] = []
        self.unbound: list[str] = []
        self.errors: list[DecodeError] = []  # frames from the gateway that could not be decoded
        self.connected = asyncio.Event()  # set once a gateway has authenticated and bound its things
        self.closed = asyncio.Event()  # set when that gateway's connection ends
        self._ws: ServerConnection | None = None
        self._answers: dict[int, asyncio.Future[HcyMessage | MessageHeader]] = {}
        self._next_id = 1000

    @asynccontextmanager
    async def serve(self, host: str = "127.0.0.1", port: int = 0) -> AsyncIterator[int]:
        """Serves on (host, port) while the block runs; yields the port (an ephemeral one for port 0)."""
        async with serve(self._connection, host, port, max_size=MAX_FRAME, compression=None) as server:
            yield server.sockets[0].getsockname()[1]

    async def _connection(self, ws: ServerConnection) -> None:
        self._ws = ws
        try:
            async for frame in ws:
                if isinstance(frame, str):
                    continue
                try:
                    answer = self._handle(frame)
                except DecodeError as exc:  # the gateway sent something broken: note it and go on
                    self.errors.append(exc)
                    continue
                if answer is not None:
                    await ws.send(answer.to_bytes())
        finally:
            self._ws = None
            self.closed.set()
            for pending in self._answers.values():
                if not pending.done():
                    pending.set_exception(ConnectionError("the gateway went away"))

    def _handle(self, frame: bytes) -> HcyMessage | None:
        header = MessageHeader.from_buffer(frame)
        if header.code == KEEP_ALIVE:
            self._resolve(header.request_id, header)
            return None
        message = HcyMessage.from_bytes(frame)
        if message.is_auth():
            if message.get_claim_value() != self.app_key:
                return message.reply("HCY_UNAUTHORIZED", "unknown application key")
            return HcyMessage.build_response("HCY_SUCCESS", message.get_request_id(), session_id=SESSION_ID)
        if message.get_session_id() != SESSION_ID:
            return message.reply("HCY_INVALID_SESSION", "authenticate first")
        if message.is_bind():
            names = message.get_names()
            if message.get_code() == "HCY_UNBIND":
                self.unbound += names
                self.bound = [n for n in self.bound if n not in names]
            else:
                self.bound += names
                self.connected.set()
            return message.reply("HCY_SUCCESS")
        if message.is_response():
            self._resolve(message.get_request_id(), message)
            return None
        return message.reply("HCY_NOT_IMPLEMENTED", "the platform takes no requests in this simulation")

    def _resolve(self, request_id: int, answer: HcyMessage | MessageHeader) -> None:
        pending = self._answers.get(request_id)
        if pending is not None and not pending.done():
            pending.set_result(answer)

    async def attach(self, timeout: float = 10.0) -> None:
        """Waits until a gateway has authenticated and bound its things."""
        await asyncio.wait_for(self.connected.wait(), timeout)

    def request_id(self) -> int:
        self._next_id += 1
        return self._next_id

    async def send(self, data: bytes, request_id: int, timeout: float = 5.0) -> HcyMessage | MessageHeader:
        """Sends one frame to the gateway and waits for the answer carrying `request_id`."""
        if self._ws is None:
            raise ConnectionError("no gateway is connected")
        done = asyncio.get_running_loop().create_future()
        self._answers[request_id] = done
        try:
            await self._ws.send(data)
            return await asyncio.wait_for(done, timeout)
        finally:
            self._answers.pop(request_id, None)

    async def send_unanswered(self, data: bytes) -> None:
        """Sends one frame that is expected to get no answer."""
        if self._ws is None:
            raise ConnectionError("no gateway is connected")
        await self._ws.send(data)

    async def request(self, code: str, thing: str, characteristic_type: int, name: str,
                      params: InfoTable | None = None) -> HcyMessage:
        """Sends a request to a thing and returns the gateway's response."""
        request_id = self.request_id()
        message = HcyMessage.build_request(code, request_id, 20, thing, characteristic_type, name, params=params,
                                           session_id=SESSION_ID)
        answer = await self.send(message.to_bytes(), request_id)
        assert isinstance(answer, HcyMessage)
        return answer

    async def keep_alive(self) -> MessageHeader:
        """Sends a keep-alive and returns its echo."""
        request_id = self.request_id()
        answer = await self.send(MessageHeader(KEEP_ALIVE, request_id, session_id=SESSION_ID).to_bytes(), request_id)
        assert isinstance(answer, MessageHeader)
        return answer


async def main(port: int, app_key: str) -> None:
    """Waits for a gateway, asks each bound thing for its speed, then serves until interrupted."""
    platform = Platform(app_key)
    async with platform.serve(port=port) as bound_port:
        print(f"platform listening on ws://127.0.0.1:{bound_port}")
        await platform.attach(timeout=3600)
        for thing in list(platform.bound):
            answer = await platform.request("HCY_GET", thing, 1, "Speed")
            params = answer.get_params()
            print(answer.short_description(), params.get_rows() if params is not None else answer.get_reason())
        await platform.closed.wait()


if __name__ == "__main__":
    try:
        asyncio.run(main(int(sys.argv[1]), sys.argv[2]))
    except KeyboardInterrupt:
        pass
