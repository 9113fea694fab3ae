"""Decode a received message, inspect it and encode it again."""

from veltrac import HcyMessage

# A success response to request 7 without reason and without table, as read from the transport.
data = bytes.fromhex("01 40 00000007 00000000 00000000 00  00 ff")

message = HcyMessage.from_bytes(data)
assert message.is_response()
print(message.get_message_type(), message.get_request_id())  # Response 7
print(message.short_description())  # V:1,C:HCY_SUCCESS,R:7,E:0,S:0,M:false,Params:false
assert message.to_bytes() == data

try:
    HcyMessage.from_bytes(data[:10])
except ValueError as exc:
    print(exc)  # Message deserialization error: Wrong Mssage Header:[1, 64, 0, 0, 0, 7, 0, 0, 0, 0]

# The authentication message a device sends first.
auth = HcyMessage.build_auth(1, "my-application-key")
wire: bytes = auth.to_bytes()
print(auth, len(wire))  # V:1,C:HCY_AUTH,R:1,E:0,S:4294967295,M:false,Auth! 42
