"""The binding under hostile input: sequences that lie about their length, running out of memory inside the
codec, and peak memory that stays proportional to the input (peak resident size of a fresh interpreter, reset
before decoding)."""

import os
import subprocess
import sys
import textwrap

import pytest

from veltrac import HcPrim, HcyMessage, InfoTable

from arrow_structs import Producer


class Hinted:
    """One row that claims to be 2^62."""

    def __iter__(self):
        return iter([{}])

    def __length_hint__(self):
        return 2**62


def lying_length(claimed):
    return type("Lying", (), {"__len__": lambda self: claimed, "__getitem__": lambda self, i: [1, 2, 3][i]})()


def over_2_gib_of_text():
    # 64-bit offsets from the row whose text passes 2^31 - 1 bytes on: every later row's offset was written
    # past the end of the widened offsets.
    pa = pytest.importorskip("pyarrow")
    pc = pytest.importorskip("pyarrow.compute")
    big = "x" * (1100 << 20)
    t = InfoTable()
    t.add_field_definition("s", "STRING", "")
    t.add_rows([{"s": big}, {"s": big}, {"s": "end"}])
    del big
    a = pa.table(t)
    assert a.schema.types == [pa.large_string()]
    assert pc.binary_length(a.column(0)).to_pylist() == [1100 << 20, 1100 << 20, 3]
    return a.column(0)[2].as_py()


# Counts from outside (lengths, length hints, Arrow lengths) size nothing they do not hold.
@pytest.mark.parametrize("run, expected", [
    # A sequence's length was used to reserve storage: 2^40 or 2^62 aborted with an uncaught bad_alloc.
    *[(lambda n=n: HcPrim.blob(lying_length(n)).get_value(), b"\x01\x02\x03") for n in (2**62, 2**40, 0)],
    # A length hint of 2^62 raised SystemError (vector::reserve).
    (lambda: (t := InfoTable(), t.add_rows(Hinted()), t.get_row_count())[2], 1),
    # A batch without columns claiming 2^62 rows.
    (lambda: InfoTable.from_arrow(Producer(length=2**62)), ValueError("^Arrow import error: ")),
    pytest.param(over_2_gib_of_text, "end", marks=pytest.mark.skipif(
        not os.environ.get("VELTRAC_BIG_MEMORY_TESTS"), reason="needs about 5 GiB")),
])
def test_outside_counts_size_only_what_the_input_holds(run, expected):
    if isinstance(expected, Exception):
        with pytest.raises(type(expected), match=str(expected)):
            run()
    else:
        assert run() == expected


MEMORY_PROBE = textwrap.dedent(
    """
    import gc, resource, struct, sys
    from veltrac import HcPrim, HcyMessage, HcyService, InfoTable

    def lp(b):
        return (bytes([len(b)]) if len(b) < 128 else struct.pack(">I", len(b) | 0x80000000)) + b

    def nested_tables(n):
        inner = InfoTable()
        inner.add_field_definition("s", "STRING", "")
        inner.add_row({"s": "abc"})
        outer = InfoTable()
        outer.add_field_definition("t", "INFOTABLE", "")
        for _ in range(n):
            outer.append_row([HcPrim.infotable(inner)])
        return outer.to_bytes()

    # Inputs that claim or imply far more than they hold; the last but one has the most values per input
    # byte, the last the most tables.
    CASES = [
        (HcPrim.from_bytes, b"\\x00\\xff\\xff\\xff\\xff" + b"x" * 1000),  # text length overclaim
        (HcPrim.from_bytes, b"\\x15\\xff\\xff\\xff\\xff" + b"x" * 1000),  # blob length overclaim
        (HcyMessage.from_bytes, bytes([1, 10]) + bytes(13) + b"\\x00\\xff\\xff"),  # 65535 bind names
        (InfoTable.from_bytes, b"".join(b"\\x01" + lp(b"%x" % i) + bytes(4) for i in range(100000)) + bytes(2)),
        (InfoTable.from_bytes, b"\\x00" + (b"\\x01\\xff\\xff" + b"\\xff" * 65535) * 16 + b"\\x00"),
        (HcyService.from_bytes, ('{"name":"s","description":"","aspects":{},"Inputs":{"fieldDefinitions":{'
                                 + ",".join('"%x":["a","","STRING",{}]' % i for i in range(50000))
                                 + '}},"Outputs":{"name":"r","baseType":"NOTHING","fieldDefinitions":{}}}').encode()),
        (InfoTable.from_bytes, b"\\x00\\x01\\xff\\xff" + b"\\x05\\x00\\x00" * 65535 + b"\\x00"),
        (InfoTable.from_bytes, nested_tables(50000)),
    ]
    decode, data = CASES[int(sys.argv[1])]
    gc.collect()
    # Reset the peak to the current resident size, so that building the input does not mask the decoding.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    with open("/proc/self/statm") as f:
        before = int(f.read().split()[1]) * resource.getpagesize()
    try:
        keep = decode(data)
    except ValueError:
        pass
    with open("/proc/self/status") as f:
        after = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
    print(len(data), max(0, after - before))
    """
)

OUT_OF_MEMORY_PROBE = textwrap.dedent(
    """
    import resource
    from veltrac import HcPrim, InfoTable

    text = "x" * (64 << 20)
    t, small = InfoTable(), InfoTable()
    for table in (t, small):
        table.add_field_definition("s", "STRING", "")
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


@pytest.mark.parametrize("case", range(8))
def test_peak_memory_is_proportional_to_input(case):
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(case)], capture_output=True, text=True, check=True)
    size, grown = map(int, out.stdout.split())
    # At most 64 bytes of decoded value per input byte, plus a fixed 4 MiB (65535 empty names of a bind body
    # come from three bytes).
    assert grown <= 64 * size + 4 * 1024 * 1024, (case, size, grown)


def test_running_out_of_memory_raises_memory_error():
    # A failed allocation in the codec raises MemoryError and leaves the table unchanged.
    out = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY_PROBE], capture_output=True, text=True)
    assert (out.returncode, out.stdout.split("\n")) == (0, ["MemoryError", "MemoryError", "0 1", ""]), out.stderr


@pytest.mark.skipif(not os.environ.get("VELTRAC_BIG_MEMORY_TESTS"), reason="needs about 5 GiB")
def test_text_beyond_31_bits_is_refused_not_truncated():
    # A length prefix holds 31 bits: a 2^31-byte key was written with the prefix 80 00 00 00 (length 0).
    with pytest.raises(ValueError, match="^Message serialization error: "):
        HcyMessage.build_auth(1, "k" * 2**31).to_bytes()
    with pytest.raises(ValueError, match="^Binary serialization error: .*exceeds the 31-bit length limit"):
        HcPrim.string("k" * 2**31).to_bytes()
