"""Streams: MessageReader and iter_messages over every cut of every message kind, MessageHeader, reply for
every kind, and the exception classes with their attributes for each decoder (texts are pinned in the C++
suites)."""

import pickle

import pytest

from veltrac import (BufferFullError, DecodeError, EncodeError, HcPrim, HcyMessage, HcyProperty, IncompleteError,
                     InfoTable, MessageCode, MessageHeader, MessageReader, iter_messages)

from test_infotable import readings


def messages():
    """One message of every kind, header-only codes and every optional part included."""
    return [
        HcyMessage.build_request("HCY_PUT", 1, 20, "Pump-07", 2, "speed", [("h", "v")], readings(), endpoint=3),
        HcyMessage.build_response(64, 2, "ok", readings(), session_id=9),
        HcyMessage.build_response("HCY_NOT_FOUND", 3),
        HcyMessage.build_auth(4, "key"),
        HcyMessage.build_bind(5, ["a", "bc"], "n", "t"),
        HcyMessage.build_bind(6, [], unbind=True),
        MessageHeader(MessageCode.HCY_KEEP_ALIVE, 7),
        MessageHeader("HCY_CLEAR_AUTH", 8, 1, 2),
        MessageHeader(0, 9),
    ]


MESSAGES = messages()
PARTS = [m.to_bytes() for m in MESSAGES]
STREAM = b"".join(PARTS)
STARTS = [sum(map(len, PARTS[:i])) for i in range(len(PARTS))]


def as_bytes(items):
    return [m.to_bytes() for m in items]


def test_every_split_in_two_chunks_yields_the_whole_stream():
    for cut in range(len(STREAM) + 1):
        reader = MessageReader()
        got = []
        for chunk in (STREAM[:cut], STREAM[cut:]):
            reader.feed(memoryview(chunk))
            got += list(reader)
        assert as_bytes(got) == PARTS, cut
        assert reader.offset == len(STREAM) and reader.close() == []


def test_close_after_a_cut_raises_incomplete_at_the_message_or_decodes_by_the_ordinary_rules():
    for i, (start, part) in enumerate(zip(STARTS, PARTS)):
        for cut in range(start + 1, start + len(part)):
            reader = MessageReader()
            reader.feed(STREAM[:cut])
            assert as_bytes(reader) == PARTS[:i], cut
            assert reader.offset == start
            try:
                expected = [HcyMessage.from_bytes(STREAM[start:cut]).to_bytes()]
            except ValueError:
                expected = None
            if expected is None:
                with pytest.raises(IncompleteError) as e:
                    reader.close()
                assert e.value.offset == start, cut
                assert (e.value.header is not None) == (cut - start >= 15)
            else:  # a string due at the end reads as the empty text: auth 01, bind cut after its count
                assert as_bytes(reader.close()) == expected, cut


def test_iter_messages_gives_offsets_without_copying():
    got = list(iter_messages(memoryview(STREAM)))
    assert [o for o, _ in got] == STARTS and as_bytes(m for _, m in got) == PARTS
    with pytest.raises(IncompleteError) as e:
        list(iter_messages(STREAM + PARTS[0][:20]))
    assert e.value.offset == len(STREAM)


@pytest.mark.parametrize("bad,kind", [
    (bytes.fromhex("01 05") + bytes(13), "InvalidCode"),
    (MessageHeader(1, 4, multipart=True).to_bytes() + b"\x00" * 4, "MultipartFromBytes"),
    (MessageHeader(20, 4).to_bytes() + b"\x02", "UnexpectedAuthBody"),
])
def test_reader_stops_at_a_corrupt_message_with_its_offset_and_header(bad, kind):
    reader = MessageReader()
    reader.feed(PARTS[3] + bad + PARTS[3])
    it = iter(reader)
    assert next(it).to_bytes() == PARTS[3]
    with pytest.raises(DecodeError) as e:
        next(it)
    assert (type(e.value), e.value.kind, e.value.offset) == (DecodeError, kind, len(PARTS[3]))
    assert e.value.header == (MessageHeader.from_buffer(bad) if kind != "InvalidCode" else None)
    assert reader.offset == len(PARTS[3])


def test_max_buffer_size_bounds_what_is_buffered():
    reader = MessageReader(max_buffer_size=20)
    reader.feed(PARTS[6])
    with pytest.raises(BufferFullError):
        reader.feed(bytes(6))
    assert issubclass(BufferFullError, ValueError)
    assert len(list(reader)) == 1
    reader.feed(bytes(20))  # the yielded message no longer counts


def test_message_header_is_a_value():
    keep_alive = MessageHeader(MessageCode.HCY_KEEP_ALIVE, 1)
    assert keep_alive.to_bytes() == bytes.fromhex("01 1F 00 00 00 01 00 00 00 00 00 00 00 00 00")
    assert MessageHeader.from_buffer(b"xx" + keep_alive.to_bytes(), 2) == keep_alive
    assert len({keep_alive, MessageHeader(31, 1), MessageHeader(31, 2)}) == 2
    assert keep_alive.code is MessageCode.HCY_KEEP_ALIVE
    fields = (keep_alive.version, keep_alive.request_id, keep_alive.endpoint, keep_alive.session_id)
    assert fields + (keep_alive.multipart,) == (1, 1, 0, 0, False)
    with pytest.raises(AttributeError):
        keep_alive.request_id = 2  # type: ignore[misc]
    assert pickle.loads(pickle.dumps(keep_alive)) == keep_alive
    piece = MessageHeader(3, 5, 6, 7, version=2, multipart=True)
    assert MessageHeader.from_buffer(piece.to_bytes() + b"rest") == piece
    m = HcyMessage.build_auth(7, "k")
    assert m.get_header() == MessageHeader.from_buffer(m.to_bytes()) == MessageHeader(20, 7, 0, 4294967295)


@pytest.mark.parametrize("message", [m for m in MESSAGES if isinstance(m, HcyMessage)])
def test_reply_answers_every_kind(message):
    answer = message.reply("HCY_BAD_REQUEST", "no")
    h, a = message.get_header(), answer.get_header()
    assert (a.request_id, a.endpoint, a.session_id, a.code) == (h.request_id, h.endpoint, h.session_id, 128)


@pytest.mark.parametrize("call,cls,kind,offset", [
    (lambda: HcyMessage.from_bytes(b"\x01\x14"), IncompleteError, "WrongMessageHeader", 0),
    (lambda: HcyMessage.from_bytes(bytes.fromhex("01 05") + bytes(13)), DecodeError, "InvalidCode", 1),
    (lambda: HcyMessage.from_buffer(b"xx" + PARTS[0][:40], 2), IncompleteError, "Io", None),
    (lambda: MessageHeader.from_buffer(b"\x01\x1f\x00"), IncompleteError, "WrongMessageHeader", 0),
    (lambda: MessageHeader.from_buffer(b"x" + bytes.fromhex("01 05") + bytes(13), 1), DecodeError, "InvalidCode", 2),
    (lambda: HcPrim.from_bytes(bytes([19])), DecodeError, "InvalidBaseType", 0),
    (lambda: HcPrim.from_buffer(b"\x00\x01\x00\x00", 1), IncompleteError, "Io", 2),
    (lambda: InfoTable.from_bytes(readings().to_bytes()[:-3]), IncompleteError, "Io", None),
    # deep inside: a cell of a table nested in a table, read from the second byte on
    (lambda: HcPrim.from_buffer(bytes.fromhex("00 05 00 01 0001 05 00 01 0001 13"), 1), DecodeError,
     "InvalidBaseType", 11),
    (lambda: InfoTable.from_buffer(b"\x00" + readings().to_bytes()[:9], 1), IncompleteError, "Io", None),
    (lambda: InfoTable.from_json('{"dataShape":'), IncompleteError, "Json", None),
    (lambda: HcyProperty.from_json("[1"), DecodeError, "Json", None),
    (lambda: HcyMessage.build_request(1, 1, 1, "e", 1, "c"), EncodeError, "InvalidEntityType", None),
])
def test_exception_classes_and_attributes(call, cls, kind, offset):
    with pytest.raises(ValueError) as e:
        call()
    assert (type(e.value), e.value.kind) == (cls, kind)
    if offset is not None:
        assert e.value.offset == offset
    else:
        assert e.value.offset is None or isinstance(e.value.offset, int)
    assert issubclass(IncompleteError, DecodeError) and issubclass(DecodeError, ValueError)
