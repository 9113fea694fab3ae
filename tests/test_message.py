"""HcyMessage: decoding into the four kinds, the header's values as Python ints, build_auth's conversions
and the error prefix (descriptions and decoding errors are pinned in the C++ suites)."""

import pytest

from veltrac import HcyMessage

AUTH_7_EMPTY = bytes.fromhex("01 14 00000007 00000000 FFFFFFFF 00" "01 06 617070 4B6579 00")


def header(code, request_id=7, endpoint=0, session_id=0, multipart=0, version=1):
    return (bytes([version, code]) + request_id.to_bytes(4, "big") + endpoint.to_bytes(4, "big")
            + session_id.to_bytes(4, "big") + bytes([multipart]))


REQUEST_BODY = bytes.fromhex("14 07 50756D702D3037 02 08 5365745370656564 01 05 7472616365 02 6131 FF")
REQUEST = header(3, request_id=0x1234, endpoint=2, session_id=0xFFFFFFFF) + REQUEST_BODY
BIND = header(11) + bytes.fromhex("00 0002 0161 026263")
RESPONSE = header(64) + bytes.fromhex("00 FF")


@pytest.mark.parametrize("data,kind", [(REQUEST, "Request"), (BIND, "Bind"), (AUTH_7_EMPTY, "Auth"),
                                       (RESPONSE, "Response")])
def test_decoded_kinds(data, kind):
    m = HcyMessage.from_bytes(data + b"\x00\xff junk")  # bytes after the message are ignored
    assert m.get_message_type() == kind
    assert [m.is_request(), m.is_response(), m.is_auth(), m.is_bind()] == [
        kind == k for k in ("Request", "Response", "Auth", "Bind")]
    assert str(m) == m.short_description() and m.short_description().startswith("V:1,C:HCY_")
    assert repr(m) == f"HcyMessage({kind})"
    assert m.to_bytes() == data


def test_header_values_and_non_ascii_description():
    m = HcyMessage.from_bytes(header(0x40, request_id=0xFFFFFFFF, endpoint=0x80000000, session_id=5) + b"\x00\xff")
    assert (m.get_request_id(), m.get_endpoint(), m.get_session_id()) == (4294967295, 2147483648, 5)
    body = bytes([0, 2]) + "é".encode() + bytes([1, 3]) + "€".encode() + bytes([0, 0xFF])
    assert HcyMessage.from_bytes(header(1) + body).short_description().endswith(",name:é,c_name:€")


class Index:
    def __index__(self):
        return 9


def test_build_auth():
    m = HcyMessage.build_auth(7, "")
    assert m.to_bytes() == AUTH_7_EMPTY
    assert (m.get_message_type(), m.get_request_id(), m.get_session_id()) == ("Auth", 7, 4294967295)
    key = "k€y" * 50  # longer than 127 bytes: four-byte length prefix
    data = HcyMessage.build_auth(app_key=key, request_id=4294967295).to_bytes()
    assert data[15:27] == b"\x01\x06appKey" + (0x80000000 | len(key.encode())).to_bytes(4, "big")
    assert data[27:].decode() == key
    for request_id, expected in [(True, 1), (Index(), 9), (0, 0)]:
        assert HcyMessage.build_auth(request_id, "k").get_request_id() == expected


@pytest.mark.parametrize("data", [b"\x01\x14", header(67) + b"\x00\xff", header(20), REQUEST[:-3]])
def test_error_prefix(data):
    with pytest.raises(ValueError, match="^Message deserialization error: "):
        HcyMessage.from_bytes(data)
