"""examples/gateway: the gateway and the platform simulator against each other over localhost WebSockets."""

import asyncio
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples" / "gateway"))

from gateway import PROPERTY, SERVICE, AuthError, Gateway, demo_things  # noqa: E402
from platform_sim import SESSION_ID, Platform  # noqa: E402

from veltrac import HcyMessage, InfoTable, MessageHeader  # noqa: E402

TIMEOUT = 30  # seconds for a whole scenario: a hung exchange fails instead of blocking the suite


def run(scenario):
    asyncio.run(asyncio.wait_for(scenario(), TIMEOUT))


def table(fields, row):
    t = InfoTable.from_fields(fields)
    t.add_row(row)
    return t


def test_wrong_application_key_is_refused():
    async def scenario():
        platform = Platform("right-key")
        async with platform.serve() as port:
            gateway = Gateway(f"ws://127.0.0.1:{port}", "wrong-key", demo_things())
            with pytest.raises(AuthError, match="HCY_UNAUTHORIZED unknown application key"):
                await gateway.run()
        assert platform.bound == []

    run(scenario)


# (code, thing, characteristic type, name, params, expected code, expected rows or reason)
EXCHANGES = [
    ("HCY_GET", "Pump-07", PROPERTY, "Speed", None, "HCY_SUCCESS", [{"Speed": 1450}]),
    ("HCY_GET", "Pump-07", PROPERTY, "Label", None, "HCY_SUCCESS", [{"Label": "north bay"}]),
    ("HCY_PUT", "Pump-07", PROPERTY, "Speed", table([("Speed", "INTEGER", "")], {"Speed": 1600}), "HCY_SUCCESS", None),
    ("HCY_GET", "Pump-07", PROPERTY, "Speed", None, "HCY_SUCCESS", [{"Speed": 1600}]),
    ("HCY_PUT", "Pump-07", PROPERTY, "Speed", table([("Speed", "STRING", "")], {"Speed": "fast"}),
     "HCY_BAD_REQUEST", "Speed is INTEGER"),
    ("HCY_PUT", "Pump-07", PROPERTY, "Speed", None, "HCY_BAD_REQUEST", "PUT Speed takes one row of the field Speed"),
    ("HCY_POST", "Pump-07", SERVICE, "Reset", table([("mode", "STRING", "")], {"mode": "hard"}), "HCY_SUCCESS",
     [{"done": True, "mode": "hard"}]),
    ("HCY_POST", "Pump-07", SERVICE, "Reset", None, "HCY_SUCCESS", [{"done": True, "mode": "soft"}]),
    ("HCY_POST", "Pump-07", SERVICE, "Reset", table([("mode", "STRING", "")], {"mode": "odd"}), "HCY_BAD_REQUEST",
     "Reset: unknown mode 'odd'"),
    ("HCY_GET", "Pump-99", PROPERTY, "Speed", None, "HCY_NOT_FOUND", "no thing named Pump-99"),
    ("HCY_GET", "Pump-07", PROPERTY, "Torque", None, "HCY_NOT_FOUND", "Pump-07 has no property Torque"),
    ("HCY_POST", "Pump-08", SERVICE, "Reset", None, "HCY_NOT_FOUND", "Pump-08 has no service Reset"),
    ("HCY_DEL", "Pump-07", PROPERTY, "Speed", None, "HCY_METHOD_NOT_ALLOWED", "HCY_DEL of characteristic type 1"),
]


def test_gateway_answers_the_platform():
    async def scenario():
        platform = Platform("key-1")
        async with platform.serve() as port:
            gateway = Gateway(f"ws://127.0.0.1:{port}", "key-1", demo_things())
            running = asyncio.create_task(gateway.run())
            await platform.attach()
            assert platform.bound == ["Pump-07", "Pump-08"] and gateway.session_id == SESSION_ID

            for code, thing, kind, name, params, want_code, want in EXCHANGES:
                answer = await platform.request(code, thing, kind, name, params)
                assert (answer.get_code(), answer.get_session_id()) == (want_code, SESSION_ID), (code, thing, name)
                if isinstance(want, list):
                    assert answer.get_reason() is None and answer.get_params().get_rows() == want, (code, name)
                else:
                    assert answer.get_params() is None and answer.get_reason() == want, (code, name)

            history = (await platform.request("HCY_GET", "Pump-07", PROPERTY, "History")).get_params()
            assert history.get_row_count() == 10_000
            assert history.get_row(9_999) == {"at": 1_700_009_999_000, "rpm": 1499}

            # Keep-alive: echoed as it was sent.
            echo = await platform.keep_alive()
            assert echo == MessageHeader(31, echo.request_id, session_id=SESSION_ID)

            # Broken frames: a readable header is answered with HCY_BAD_REQUEST, anything else dropped.
            get = HcyMessage.build_request("HCY_GET", 77, 20, "Pump-07", PROPERTY, "Speed", session_id=SESSION_ID)
            cut = await platform.send(get.to_bytes()[:-3], 77)
            assert cut.get_code() == "HCY_BAD_REQUEST" and cut.get_request_id() == 77
            assert cut.get_reason().startswith("Message deserialization error: ")
            longer = await platform.send(get.to_bytes() + b"\x00", 77)
            assert (longer.get_code(), longer.get_reason()) == ("HCY_BAD_REQUEST", "1 bytes after the message")
            unknown_code = bytearray(get.to_bytes())
            unknown_code[1] = 5
            await platform.send_unanswered(bytes(unknown_code))
            await platform.send_unanswered(b"\x01\x01\x00")
            # The connection lives on: the next request is answered, after both frames were dropped.
            again = await platform.request("HCY_GET", "Pump-08", PROPERTY, "Speed")
            assert again.get_params().get_rows() == [{"Speed": 0}] and gateway.dropped == 2

            gateway.stop()
            await running
            await asyncio.wait_for(platform.closed.wait(), 5)
        assert platform.unbound == ["Pump-07", "Pump-08"] and platform.bound == [] and platform.errors == []

    run(scenario)
