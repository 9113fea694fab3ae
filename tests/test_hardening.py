"""Adversarial input: lengths and counts that claim more than the input holds, deep nesting in binary and
JSON, huge values, invalid UTF-8 at every kind of position, and peak memory that stays proportional to the
input (peak resident size of a fresh interpreter, reset before decoding)."""

import json
import struct
import subprocess
import sys
import textwrap

import pytest

from veltrac import HcPrim, HcyEvent, HcyMessage, HcyProperty, HcyService, InfoTable

H = bytes.fromhex


def lp(b: bytes) -> bytes:
    return (bytes([len(b)]) if len(b) < 128 else struct.pack(">I", len(b) | 0x80000000)) + b


def header(code: int, multipart: int = 0) -> bytes:
    return bytes([1, code]) + struct.pack(">III", 7, 0, 0xFFFFFFFF) + bytes([multipart])


SHORT = "Io Error: Stream to String failed: content too short"
TRUNCATED = "Io Error: failed to fill whole buffer"
TOO_DEEP = "Io Error: nesting depth exceeds 200"
PRIM = "Binary deserialization error: "
TABLE = "InfoTable deserialization error: "
MSG = "Message deserialization error: "


def raises(fn, data, message):
    with pytest.raises(ValueError) as e:
        fn(data)
    assert str(e.value) == message


# ---- lengths and counts beyond the input ------------------------------------------------------------

OVERCLAIMS = [
    # text length 2^31-1 with ten bytes of content
    (HcPrim.from_bytes, b"\x00\xff\xff\xff\xff" + b"x" * 10, PRIM + SHORT),
    (HcPrim.from_bytes, b"\x00\x80\x00\x00\x80" + b"x" * 127, PRIM + SHORT),
    (HcPrim.from_bytes, b"\x00\x7f" + b"x" * 126, PRIM + SHORT),
    (HcPrim.from_bytes, b"\x00\x81\x00", PRIM + "Io Error: Stream to String failed: content too short, expecting 4 bytes but got less"),
    # blob length 2^31-1 (top bit ignored) and 2^32-1
    (HcPrim.from_bytes, b"\x15\x7f\xff\xff\xff" + b"x" * 10, PRIM + TRUNCATED),
    (HcPrim.from_bytes, b"\x15\xff\xff\xff\xff" + b"x" * 10, PRIM + TRUNCATED),
    (HcPrim.from_bytes, b"\x0a\x80\x00\x00\x02\x01", PRIM + TRUNCATED),
    (HcPrim.from_bytes, b"\x15\x80\x00", PRIM + TRUNCATED),
    # fixed-width payloads cut short
    (HcPrim.from_bytes, b"\x16\x00\x01", PRIM + TRUNCATED),
    (HcPrim.from_bytes, b"\x06" + b"\x00" * 23, PRIM + TRUNCATED),
    (HcPrim.from_bytes, b"\x01" + b"\x00" * 7, PRIM + TRUNCATED),
    # 65535 row values, aspects or table rows announced, one or none present
    (InfoTable.from_bytes, b"\x00\x01\xff\xff\x16", TABLE + TRUNCATED),
    (InfoTable.from_bytes, b"\x00\x01\xff\xff\xff", TABLE + TRUNCATED),
    (InfoTable.from_bytes, b"\x01\x01a\x00\x00\xff\xff\x01b", TABLE + TRUNCATED),
    (InfoTable.from_bytes, b"\x01\x01a\x00\x00\xff\xff", TABLE + TRUNCATED),
    (InfoTable.from_bytes, b"\x00" + b"\x01\x00\x00" * 1000, TABLE + TRUNCATED),
    (InfoTable.from_bytes, b"\x01" * 1000, TABLE + TRUNCATED),
    (InfoTable.from_bytes, b"", TABLE + TRUNCATED),
    # nested table cut inside its rows
    (HcPrim.from_bytes, b"\x05\x00\x01\x00\x01\x05\x00", PRIM + TRUNCATED),
    # message bodies: counts without content, markers missing
    (HcyMessage.from_bytes, header(10) + b"\x00\xff", MSG + TRUNCATED),
    (HcyMessage.from_bytes, header(10) + b"\x01\x01a", MSG + TRUNCATED),
    (HcyMessage.from_bytes, header(1) + b"\x00\x00\x01\x00\xff", MSG + TRUNCATED),
    (HcyMessage.from_bytes, header(1) + b"\x00\x00\x01\x00\x00\x05\x00\x01\xff\xff", MSG + TRUNCATED),
    (HcyMessage.from_bytes, header(0x40) + b"\x01\xff\xff\xff\xff", MSG + SHORT),
    (HcyMessage.from_bytes, header(0x40) + b"\x00", MSG + TRUNCATED),
    (HcyMessage.from_bytes, header(0x40) + b"\x00\x05", MSG + TRUNCATED),
    (HcyMessage.from_bytes, header(20), MSG + "Unexpected Auth Body"),
    (HcyMessage.from_bytes, header(20) + b"\x01\x80\x00\x10\x00abc", MSG + SHORT),
]


@pytest.mark.parametrize("decode,data,message", OVERCLAIMS)
def test_claims_beyond_the_input_fail_cleanly(decode, data, message):
    raises(decode, data, message)


def test_counts_that_read_empty_texts_stay_bounded():
    # An empty remainder reads as the empty text: 65535 announced names with nothing after them decode to
    # 65535 empty names, and the message re-encodes with one length byte per name.
    m = HcyMessage.from_bytes(header(10) + b"\x00\xff\xff")
    assert m.to_bytes() == header(10) + b"\x00\xff\xff" + b"\x00" * 65535
    # 255 request header entries from nothing, then no parameter marker.
    raises(HcyMessage.from_bytes, header(1) + b"\x00\x00\x01\x00\xff", MSG + TRUNCATED)


# ---- nesting --------------------------------------------------------------------------------------------

ROW_WITH_TABLE = b"\x00\x01\x00\x01\x05"  # shape end, row marker, one value, INFOTABLE code


@pytest.mark.parametrize(
    "data",
    [
        b"\x12" * 1_000_000,
        b"\x12" * 1_000_000 + b"\xff",
        b"\x05" + ROW_WITH_TABLE * 200_000,
        (b"\x12\x05" + ROW_WITH_TABLE) * 100_000,
        b"\x05\x01\x01a\x00\x00\x00\x01\x00\x01" + b"\x12" * 500_000,  # deep value inside an aspect
    ],
    ids=["variants", "variants-nothing", "tables", "mixed", "aspect"],
)
def test_deep_binary_nesting_fails_cleanly(data):
    raises(HcPrim.from_bytes, data, PRIM + TOO_DEEP)
    raises(InfoTable.from_bytes, b"\x00\x01\x00\x01" + data + b"\x00", TABLE + TOO_DEEP)
    raises(HcyMessage.from_bytes, header(0x40) + b"\x00\x05" + b"\x00\x01\x00\x01" + data, MSG + TOO_DEEP)


def test_nesting_within_the_bound_round_trips_in_every_form():
    deep_variant = b"\x12" * 199 + b"\x16\x00\x00\x00\x07"
    p = HcPrim.from_bytes(deep_variant)
    assert p.to_bytes() == deep_variant
    assert p.get_full_type() == "VARIANT::" * 199 + "INTEGER"
    assert p.get_value() == 7 and p.to_json() == "7" and p.to_simple_json() == "7"
    assert str(p).count("VARIANT(VARIANT, ") == 199

    deep_table = b"\x05" + ROW_WITH_TABLE * 150 + b"\x00\x00" + b"\x00" * 150
    t = HcPrim.from_bytes(deep_table)
    assert t.to_bytes() == deep_table
    assert json.loads(t.to_simple_json())["rows"] == [{}]  # no entries: values are not paired
    record = json.loads(json.loads(t.to_json()))  # typed form: the record text as a string
    for _ in range(150):
        record = record["rows"][0]["fields"][0]["INFOTABLE"][1]
    assert record == {"datashape": {"name": None, "entries": {}}, "rows": []}
    inner = InfoTable.from_bytes(deep_table[1:])
    record = json.loads(inner.to_json())
    assert "INFOTABLE" in record["rows"][0]["fields"][0]
    assert str(inner) == "InfoTable(rows=1, fields=0)"


@pytest.mark.parametrize("cls", [HcyProperty, HcyService, HcyEvent], ids=lambda c: c.__name__)
@pytest.mark.parametrize(
    "text,fragment",
    [
        ("[" * 200_000, None),
        ("{" * 200_000, None),
        ('{"aspects":' + "[" * 200_000, None),
        ('{"aspects":{"x":' + '{"a":' * 200_000, None),
        # a skipped member may nest without limit (read without recursion)
        ('{"zz":' + "[" * 500_000 + "]" * 500_000 + "}", "missing field `name`"),
        ('{"zz":' + "[" * 500_000 + "}", None),
    ],
    ids=["arrays", "objects", "aspects-array", "aspects-objects", "skipped-balanced", "skipped-unbalanced"],
)
def test_deep_json_fails_cleanly(cls, text, fragment):
    with pytest.raises(ValueError) as e:
        cls.from_json(text)
    if fragment and cls is not HcyEvent:  # events refuse the unknown member instead
        assert fragment in str(e.value)


def test_json_nesting_limit_in_aspect_values():
    # An aspect value is read as a whole JSON value first: 128 levels in all parse, 129 do not.
    prefix = ('{"name":"p","pushThreshold":0,"pushType":"NEVER","startType":"useDefaultValue",'
              '"baseType":"STRING","aspects":{"x":')

    def doc(depth):
        return prefix + "[" * (depth - 2) + "]" * (depth - 2) + "}}"  # document and aspects: two levels

    with pytest.raises(ValueError) as e:
        HcyProperty.from_json(doc(128))
    assert "not a string" in str(e.value)
    with pytest.raises(ValueError, match=f"recursion limit exceeded at line 1 column {len(prefix) + 127}$"):
        HcyProperty.from_json(doc(129))


# ---- huge values ----------------------------------------------------------------------------------------

BIG = 20 * 1024 * 1024


def test_huge_text_and_blob_round_trip():
    s = "\u00e9" * (BIG // 2)
    p = HcPrim.string(s)
    data = p.to_bytes()
    assert data[:5] == b"\x00" + struct.pack(">I", BIG | 0x80000000)
    assert HcPrim.from_bytes(data).get_value() == s
    blob = bytes(range(256)) * (BIG // 256)
    b = HcPrim.blob(blob).to_bytes()
    assert b[:5] == b"\x15" + struct.pack(">I", BIG | 0x80000000)
    assert HcPrim.from_bytes(b).get_value() == blob


def test_huge_names_in_tables_and_messages():
    name = "n" * 1_000_000
    t = InfoTable(name)
    t.add_field_definition(name, "STRING", name)
    t.add_row({name: name})
    back = InfoTable.from_bytes(t.to_bytes())
    assert back.to_bytes() == t.to_bytes() and back.get_field_count() == 1
    m = HcyMessage.build_auth(1, name)
    assert HcyMessage.from_bytes(m.to_bytes()).to_bytes() == m.to_bytes()
    assert len(m.short_description()) < 100


@pytest.mark.parametrize(
    "member",
    ['"pushThreshold":' + "1" * 100_000, '"pushThreshold":1e999999999999', '"pushThreshold":-' + "9" * 400,
     '"pushThreshold":0.' + "0" * 100_000 + "1"],
    ids=["long-integer", "huge-exponent", "negative-overflow", "long-fraction"],
)
def test_extreme_numbers(member):
    text = '{"name":"p",' + member + ',"pushType":"NEVER","startType":"useDefaultValue","aspects":{},"baseType":"STRING"}'
    try:
        p = HcyProperty.from_json(text)
    except ValueError as e:
        assert "number out of range" in str(e)
    else:
        assert p.get_push_threshold() == float(member.split(":")[1])


# ---- invalid UTF-8 --------------------------------------------------------------------------------------

BAD_UTF8 = [
    # (content, error text after "Stream to String failed:")
    (b"\xff", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"ab\x80", "invalid utf-8 sequence of 1 bytes from index 2"),
    (b"a\xc3", "incomplete utf-8 byte sequence from index 1"),
    (b"\xe2\x82\x28", "invalid utf-8 sequence of 2 bytes from index 0"),
    (b"x\xf0\x9f\x98\x41", "invalid utf-8 sequence of 3 bytes from index 1"),
    (b"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong NUL
    (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # surrogate
    (b"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # above U+10FFFF
    (b"ok\xf5", "invalid utf-8 sequence of 1 bytes from index 2"),
    (b"\xe2\x82", "incomplete utf-8 byte sequence from index 0"),
]


def at_every_text_position(bad):
    """(decoder, input, message prefix) with `bad` as each text the wire forms carry."""
    s = lp(bad)
    ok = lp(b"ok")
    entry = lambda name, desc, aspects=b"\x00\x00": b"\x01" + name + desc + b"\x00" + aspects  # noqa: E731
    req = lambda en, cn, hn, hv: header(1) + b"\x00" + en + b"\x01" + cn + b"\x01" + hn + hv + b"\xff"  # noqa: E731
    return [
        ("string value", HcPrim.from_bytes, b"\x00" + s, PRIM),
        ("thingname value", HcPrim.from_bytes, b"\x64" + s, PRIM),
        ("variant value", HcPrim.from_bytes, b"\x12\x12\x00" + s, PRIM),
        ("entry name", InfoTable.from_bytes, entry(s, ok) + b"\x00\x00", TABLE),
        ("entry description", InfoTable.from_bytes, entry(ok, s) + b"\x00\x00", TABLE),
        ("aspect name", InfoTable.from_bytes, entry(ok, ok, b"\x00\x01" + s + b"\xff") + b"\x00\x00", TABLE),
        ("aspect value", InfoTable.from_bytes, entry(ok, ok, b"\x00\x01" + ok + b"\x00" + s) + b"\x00\x00", TABLE),
        ("row value", InfoTable.from_bytes, b"\x00\x01\x00\x02\x00" + ok + b"\x00" + s + b"\x00", TABLE),
        ("nested table", HcPrim.from_bytes, b"\x05\x00\x01\x00\x01\x05" + entry(s, ok), PRIM),
        ("entity name", HcyMessage.from_bytes, req(s, ok, ok, ok), MSG),
        ("characteristic name", HcyMessage.from_bytes, req(ok, s, ok, ok), MSG),
        ("header name", HcyMessage.from_bytes, req(ok, ok, s, ok), MSG),
        ("header value", HcyMessage.from_bytes, req(ok, ok, ok, s), MSG),
        ("request params", HcyMessage.from_bytes, req(ok, ok, ok, ok)[:-1] + b"\x05\x00\x01\x00\x01\x00" + s, MSG),
        ("response reason", HcyMessage.from_bytes, header(0x40) + b"\x01" + s + b"\xff", MSG),
        ("claim name", HcyMessage.from_bytes, header(20) + b"\x01" + s + ok, MSG),
        ("claim value", HcyMessage.from_bytes, header(20) + b"\x01" + ok + s, MSG),
        ("binder name", HcyMessage.from_bytes, header(10) + b"\x01" + s + ok + b"\x00\x00", MSG),
        ("binder type", HcyMessage.from_bytes, header(10) + b"\x01" + ok + s + b"\x00\x00", MSG),
        ("bound name", HcyMessage.from_bytes, header(11) + b"\x00\x00\x02" + ok + s, MSG),
    ]


@pytest.mark.parametrize("bad,error", BAD_UTF8, ids=lambda x: x.hex() if isinstance(x, bytes) else "")
def test_invalid_utf8_in_every_text(bad, error):
    for where, decode, data, prefix in at_every_text_position(bad):
        with pytest.raises(ValueError) as e:
            decode(data)
        assert str(e.value) == prefix + "Io Error: Stream to String failed:" + error, where


@pytest.mark.parametrize("cls,name", [(HcyProperty, "Property"), (HcyService, "Service"), (HcyEvent, "Event")])
@pytest.mark.parametrize("bad", [b for b, _ in BAD_UTF8])
def test_invalid_utf8_definitions(cls, name, bad):
    for data in (bad, b'{"name":"' + bad + b'"}', b'{"name":"p"}' + bad):
        with pytest.raises(ValueError) as e:
            cls.from_bytes(data)
        assert str(e.value) == f"{name} data is not valid UTF-8 JSON"


SURROGATE = "a\ud800b"


@pytest.mark.parametrize(
    "call",
    [
        lambda: HcPrim.string(SURROGATE),
        lambda: InfoTable(SURROGATE),
        lambda: HcyMessage.build_auth(1, SURROGATE),
        lambda: HcyProperty.from_json(SURROGATE),
        lambda: HcyService.from_json('{"name":"' + SURROGATE + '"}'),
        lambda: HcyEvent.from_json(SURROGATE),
    ],
)
def test_unencodable_str_arguments_raise(call):
    with pytest.raises(UnicodeEncodeError):
        call()


def test_unencodable_str_leaves_the_table_unchanged():
    t = InfoTable()
    t.add_field_definition("a", "STRING", "")
    before = t.to_bytes()
    for call in (lambda: t.add_field_definition(SURROGATE, "STRING", ""),
                 lambda: t.add_field_definition("b", "STRING", SURROGATE),
                 lambda: t.add_field_definition("b", SURROGATE, ""),
                 lambda: t.add_row({"a": SURROGATE})):
        with pytest.raises(UnicodeEncodeError):
            call()
    assert t.to_bytes() == before


# ---- peak memory proportional to the input ---------------------------------------------------------------

MEMORY_PROBE = textwrap.dedent(
    """
    import gc, os, struct, sys
    from veltrac import HcPrim, HcyMessage, HcyService, InfoTable

    def lp(b):
        return (bytes([len(b)]) if len(b) < 128 else struct.pack(">I", len(b) | 0x80000000)) + b

    def build(case):
        if case == "text-overclaim":
            return HcPrim.from_bytes, b"\\x00\\xff\\xff\\xff\\xff" + b"x" * 1000
        if case == "blob-overclaim":
            return HcPrim.from_bytes, b"\\x15\\xff\\xff\\xff\\xff" + b"x" * 1000
        if case == "bind-names":
            return HcyMessage.from_bytes, bytes([1, 10]) + bytes(13) + b"\\x00\\xff\\xff"
        if case == "distinct-entries":
            return InfoTable.from_bytes, b"".join(b"\\x01" + lp(b"%x" % i) + bytes(4) for i in range(100000)) + bytes(2)
        if case == "nothing-values":
            row = b"\\x01\\xff\\xff" + b"\\xff" * 65535
            return InfoTable.from_bytes, b"\\x00" + row * 16 + b"\\x00"
        if case == "empty-tables":
            return InfoTable.from_bytes, b"\\x00\\x01\\xff\\xff" + b"\\x05\\x00\\x00" * 65535 + b"\\x00"
        if case == "json-entries":
            fields = ",".join('"%x":["a","","STRING",{}]' % i for i in range(50000))
            text = ('{"name":"s","description":"","aspects":{},"Inputs":{"fieldDefinitions":{' + fields
                    + '}},"Outputs":{"name":"r","baseType":"NOTHING","fieldDefinitions":{}}}')
            return HcyService.from_bytes, text.encode()
        raise SystemExit("unknown case")

    decode, data = build(sys.argv[1])
    gc.collect()
    # Reset the peak to the current resident size, so that building the input does not mask the decoding.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    with open("/proc/self/statm") as f:
        before = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    try:
        keep = decode(data)
    except ValueError:
        keep = None
    # The peak of this address space (getrusage's ru_maxrss also counts the pre-exec parent's peak).
    with open("/proc/self/status") as f:
        after = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
    print(len(data), max(0, after - before))
    """
)


@pytest.mark.parametrize(
    "case",
    ["text-overclaim", "blob-overclaim", "bind-names", "distinct-entries", "nothing-values", "empty-tables",
     "json-entries"],
)
def test_peak_memory_is_proportional_to_input(case):
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, case], capture_output=True, text=True, check=True)
    size, grown = map(int, out.stdout.split())
    # At most 64 bytes of decoded value per input byte, plus a fixed 4 MiB (65535 empty names of a bind
    # body come from three bytes).
    assert grown <= 64 * size + 4 * 1024 * 1024, (case, size, grown)


# ---- texts beyond the 31-bit length prefix (needs about 5 GiB: VELTRAC_BIG_MEMORY_TESTS=1) ------------------


@pytest.mark.skipif(not __import__("os").environ.get("VELTRAC_BIG_MEMORY_TESTS"), reason="needs about 5 GiB")
def test_text_beyond_31_bits_is_refused_not_truncated():
    # A length prefix holds 31 bits: a 2^31-byte key was written with the prefix 80 00 00 00 (length 0).
    m = HcyMessage.build_auth(1, "k" * 2**31)
    with pytest.raises(ValueError) as e:
        m.to_bytes()
    assert str(e.value) == ("Message serialization error: Failed to convert msg to binary:text of 2147483648 bytes"
                            "/at most 2147483647")
    with pytest.raises(ValueError, match="exceeds the 31-bit length limit"):
        HcPrim.string("k" * 2**31).to_bytes()


class LyingSequence:
    """A sequence whose length claims far more items than it yields."""

    def __init__(self, claimed):
        self.claimed = claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        if i < 3:
            return i + 1
        raise IndexError(i)


@pytest.mark.parametrize("claimed", [2**62, 2**40, 0])
def test_sequence_length_is_only_a_hint(claimed):
    # The length was used to reserve storage: 2^40 or 2^62 aborted the process with an uncaught bad_alloc.
    assert HcPrim.blob(LyingSequence(claimed)).get_value() == b"\x01\x02\x03"


# ---- running out of memory inside the codec --------------------------------------------------------------

OUT_OF_MEMORY_PROBE = textwrap.dedent(
    """
    import resource
    from veltrac import HcPrim, InfoTable

    text = "x" * (64 << 20)
    t = InfoTable()
    t.add_field_definition("s", "STRING", "")
    small = InfoTable()
    small.add_field_definition("s", "STRING", "")
    # Leave 32 MiB of address space: copying the text into the codec's own storage cannot succeed.
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + (32 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
    for call in (lambda: t.add_row({"s": text}), lambda: HcPrim.string(text)):
        try:
            call()
            print("no error")
        except MemoryError:
            print("MemoryError")
    small.add_row({"s": "still works"})
    print(t.get_row_count(), small.get_row_count())
    """
)


def test_running_out_of_memory_raises_memory_error():
    # A failed allocation in the codec raises MemoryError (it used to end the process) and leaves the table
    # unchanged.
    out = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY_PROBE], capture_output=True, text=True)
    assert (out.returncode, out.stdout.split("\n")) == (0, ["MemoryError", "MemoryError", "0 1", ""]), out.stderr
