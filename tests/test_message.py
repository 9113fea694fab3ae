"""HcyMessage: decoding, encoding, accessors, descriptions and argument errors."""

import pytest

from veltrac import HcyMessage, InfoTable

AUTH_7_EMPTY = bytes.fromhex("01 14 00000007 00000000 FFFFFFFF 00" "01 06 617070 4B6579 00")


def header(code, request_id=7, endpoint=0, session_id=0, multipart=0, version=1):
    return (
        bytes([version, code])
        + request_id.to_bytes(4, "big")
        + endpoint.to_bytes(4, "big")
        + session_id.to_bytes(4, "big")
        + bytes([multipart])
    )


REQUEST_BODY = bytes.fromhex("14 07 50756D702D3037 02 08 5365745370656564 01 05 7472616365 02 6131 FF")
REQUEST = header(3, request_id=0x1234, endpoint=2, session_id=0xFFFFFFFF) + REQUEST_BODY
BIND = header(11) + bytes.fromhex("00 0002 0161 026263")
RESPONSE = header(64) + bytes.fromhex("00 FF")

# (bytes, type, is_request, is_response, is_auth, is_bind, short description)
KINDS = [
    (REQUEST, "Request", True, False, False, False,
     "V:1,C:HCY_POST,R:4660,E:2,S:4294967295,M:false,name:Pump-07,c_name:SetSpeed"),
    (BIND, "Bind", False, False, False, True, "V:1,C:HCY_UNBIND,R:7,E:0,S:0,M:false,Bind!"),
    (AUTH_7_EMPTY, "Auth", False, False, True, False, "V:1,C:HCY_AUTH,R:7,E:0,S:4294967295,M:false,Auth!"),
    (RESPONSE, "Response", False, True, False, False, "V:1,C:HCY_SUCCESS,R:7,E:0,S:0,M:false,Params:false"),
]


@pytest.mark.parametrize("data,kind,req,res,auth,bind,desc", KINDS, ids=[k[1] for k in KINDS])
def test_decoded_kinds(data, kind, req, res, auth, bind, desc):
    m = HcyMessage.from_bytes(data)
    assert m.get_message_type() == kind
    assert (m.is_request(), m.is_response(), m.is_auth(), m.is_bind()) == (req, res, auth, bind)
    assert m.short_description() == desc
    assert str(m) == desc
    assert repr(m) == f"HcyMessage({kind})"
    assert m.to_bytes() == data
    # Bytes after the message are ignored.
    assert HcyMessage.from_bytes(data + b"\x00\xff junk").to_bytes() == data


def sample_table():
    t = InfoTable("Readings")
    t.add_field_definition("id", "INTEGER", "row id")
    t.add_field_definition("label", "STRING", "")
    t.add_field_definition("value", "NUMBER", "reading")
    for i in range(3):
        t.add_row({"id": i, "label": f"r{i}", "value": i / 4})
    return t.to_bytes()


@pytest.mark.parametrize(
    "prefix,desc_end",
    [
        (header(3) + bytes.fromhex("14 01 61 01 01 62 00 05"), ",name:a,c_name:b"),
        (header(0x84) + b"\x01\x04gone\x05", ",Params:true"),
    ],
    ids=["request", "response"],
)
def test_messages_with_tables(prefix, desc_end):
    data = prefix + sample_table()
    m = HcyMessage.from_bytes(data + b"\x00")
    assert m.to_bytes() == data
    assert m.short_description().endswith(desc_end)
    # A table cut short fails with the table decoder's error.
    with pytest.raises(ValueError, match="^Message deserialization error: "):
        HcyMessage.from_bytes(data[:-1])


def test_header_accessors():
    m = HcyMessage.from_bytes(header(0x40, request_id=0xFFFFFFFF, endpoint=0x80000000, session_id=5) + b"\x00\xff")
    assert (m.get_request_id(), m.get_endpoint(), m.get_session_id()) == (4294967295, 2147483648, 5)


def test_non_ascii_names_in_description():
    body = bytes([0, 2]) + "é".encode() + bytes([1, 3]) + "€".encode() + bytes([0, 0xFF])
    m = HcyMessage.from_bytes(header(1) + body)
    assert m.short_description().endswith(",name:é,c_name:€")


def test_build_auth():
    m = HcyMessage.build_auth(7, "")
    assert m.to_bytes() == AUTH_7_EMPTY
    assert m.get_message_type() == "Auth"
    assert (m.is_auth(), m.is_request(), m.is_bind(), m.is_response()) == (True, False, False, False)
    assert (m.get_request_id(), m.get_endpoint(), m.get_session_id()) == (7, 0, 4294967295)
    assert str(m) == m.short_description() == "V:1,C:HCY_AUTH,R:7,E:0,S:4294967295,M:false,Auth!"
    assert repr(m) == "HcyMessage(Auth)"

    key = "k€y" * 50  # longer than 127 bytes: four-byte length prefix
    m = HcyMessage.build_auth(app_key=key, request_id=4294967295)
    data = m.to_bytes()
    assert data[15:23] == b"\x01\x06appKey"
    assert data[23:27] == (0x80000000 | len(key.encode())).to_bytes(4, "big")
    assert data[27:].decode() == key
    assert HcyMessage.from_bytes(data).get_request_id() == 4294967295


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("request_id,expect", [(0, 0), (True, 1), (Index(9), 9), (4294967295, 4294967295)])
def test_build_auth_request_id_accepted(request_id, expect):
    assert HcyMessage.build_auth(request_id, "k").get_request_id() == expect


@pytest.mark.parametrize("request_id", [-1, 4294967296, Index(-5), -(2**63)])
def test_build_auth_request_id_out_of_range(request_id):
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        HcyMessage.build_auth(request_id, "k")


def test_build_auth_request_id_beyond_64_bits():
    with pytest.raises(OverflowError) as e:
        HcyMessage.build_auth(2**64, "k")
    assert str(e.value) != "out of range integral type conversion attempted"


PREFIX = "Message deserialization error: "
# The codec's error texts pass through behind the prefix; one case per decoding stage.
DECODE_ERRORS = [
    (b"\x01\x14", "Wrong Mssage Header:[1, 20]"),
    (header(67) + b"\x00\xff", "Invalid code:67"),
    (header(21, multipart=2), "Multipart message can't be recovered from bytes directly"),
    (bytes.fromhex("01 1F 00000001 00000000 00000000 00"), "Unimplemented code:31"),
    (header(20), "Unexpected Auth Body"),
    (header(10) + b"\x00\x00", "Io Error: failed to fill whole buffer"),
    (header(1) + bytes.fromhex("00 00 04 00 00 FF"), "Invalid characteristic type: 4"),
    (header(64) + bytes.fromhex("01 02 C3 28 FF"), "Io Error: Stream to String failed:invalid utf-8 sequence of 1 bytes from index 0"),
]


@pytest.mark.parametrize("data,text", DECODE_ERRORS)
def test_from_bytes_errors(data, text):
    with pytest.raises(ValueError) as e:
        HcyMessage.from_bytes(data)
    assert str(e.value) == PREFIX + text


ARG_ERRORS = [
    (lambda: HcyMessage.from_bytes(bytearray(RESPONSE)), TypeError,
     "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda: HcyMessage.from_bytes("x"), TypeError, "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
    (lambda: HcyMessage.from_bytes(), TypeError, "HcyMessage.from_bytes() missing 1 required positional argument: 'data'"),
    (lambda: HcyMessage.from_bytes(RESPONSE, RESPONSE), TypeError,
     "HcyMessage.from_bytes() takes 1 positional arguments but 2 were given"),
    (lambda: HcyMessage.from_bytes(bytes=RESPONSE), TypeError,
     "HcyMessage.from_bytes() got an unexpected keyword argument 'bytes'"),
    (lambda: HcyMessage.build_auth("7", "k"), TypeError,
     "argument 'request_id': 'str' object cannot be interpreted as an integer"),
    (lambda: HcyMessage.build_auth(7.0, "k"), TypeError,
     "argument 'request_id': 'float' object cannot be interpreted as an integer"),
    (lambda: HcyMessage.build_auth(7, b"k"), TypeError, "argument 'app_key': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: HcyMessage.build_auth(7), TypeError, "HcyMessage.build_auth() missing 1 required positional argument: 'app_key'"),
    (lambda: HcyMessage.build_auth(), TypeError,
     "HcyMessage.build_auth() missing 2 required positional arguments: 'request_id' and 'app_key'"),
    (lambda: HcyMessage.build_auth(7, "k", request_id=7), TypeError,
     "HcyMessage.build_auth() got multiple values for argument 'request_id'"),
    (lambda: HcyMessage.build_auth(-1, b"k"), OverflowError, "out of range integral type conversion attempted"),
    (lambda: HcyMessage.from_bytes(RESPONSE).to_bytes(1), TypeError, "HcyMessage.to_bytes() takes no arguments (1 given)"),
    (lambda: HcyMessage(), TypeError, "No constructor defined for HcyMessage"),
]


@pytest.mark.parametrize("call,exc,text", ARG_ERRORS)
def test_argument_errors(call, exc, text):
    with pytest.raises(exc) as e:
        call()
    assert type(e.value) is exc
    assert str(e.value) == text


def test_class_surface():
    # The specified methods come first, in their order; the additions follow them.
    methods = [n for n in vars(HcyMessage) if not n.startswith("__")]
    assert methods[:12] == [
        "from_bytes", "to_bytes", "get_message_type", "get_request_id", "get_session_id", "get_endpoint",
        "is_request", "is_response", "is_auth", "is_bind", "short_description", "build_auth",
    ]
    assert HcyMessage.from_bytes.__text_signature__ == "(data)"
    assert HcyMessage.build_auth.__text_signature__ == "(request_id, app_key)"
    assert HcyMessage.to_bytes.__text_signature__ == "($self)"
    assert HcyMessage.__doc__ is None and HcyMessage.to_bytes.__doc__ is None
    assert HcyMessage.__module__ == "veltrac._native" and HcyMessage.__qualname__ == "HcyMessage"
    # Static methods work through an instance too; instances are independent objects.
    m = HcyMessage.build_auth(1, "a")
    assert m.from_bytes(RESPONSE).is_response()
    assert m.build_auth(2, "b") is not m
    with pytest.raises(TypeError):
        type("Sub", (HcyMessage,), {})
    with pytest.raises(AttributeError):
        m.extra = 1
