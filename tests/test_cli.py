"""The `veltrac` command line, end to end through subprocesses, and its input and layout helpers."""

import base64
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from veltrac import HcyMessage, HcyProperty, InfoTable
from veltrac.cli import SAMPLE_MESSAGE, decode_input, reindent

AUTH_HEX = "01140000000700000000ffffffff0001066170704b657906736563726574"  # build_auth(7, "secret")
ESCAPES = bytes.fromhex("010100000001000000000000000000 00 08") + b"pump\x1b[2J" + b"\x01\x00\x00\xff"


def run(*args, stdin=b"", command=(sys.executable, "-m", "veltrac")):
    proc = subprocess.run([*command, *args], input=stdin, capture_output=True, timeout=60,
                          env={**os.environ, "PYTHONIOENCODING": "utf-8"})
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


@pytest.mark.parametrize("args, stdin, expected", [
    ([], b"", {0: "V:1,C:HCY_POST,R:4242,E:0,S:17,M:false,name:pump-7,c_name:SetAlarmLimits", "code": "HCY_POST (3)",
               "session id": "17", "header": "source = edge-gw-3", "params": "InfoTable(rows=1, fields=4)",
               -1: '{"dataShape":{"fieldDefinitions":{"enabled":'}),
    (["-"], b"0140 00000007 00000000 00000000 00  01 02 6f6b 05 00 01 0001 16ffffffff 00",
     {"reason": "ok", "params": "InfoTable(rows=1, fields=0)"}),
    (["-"], b"010a 00000001 00000000 00000000 00  00 0002 01 78 02 7979", {"binder name": "(none)", "names": "x, yy"}),
    (["-"], AUTH_HEX.encode(), {"claim name": "appKey", "claim value": "<6 bytes hidden, use --show-secrets>"}),
    (["-", "--show-secrets"], AUTH_HEX.encode(), {"claim value": "secret"}),
    (["--raw", "-"], ESCAPES, {"entity name": "pump\\u{1b}[2J", "characteristic name": "(empty)"}),
])
def test_decode_describes_the_message(args, stdin, expected):
    code, out, err = run("decode", *args, stdin=stdin)
    lines = out.splitlines()
    fields = dict(line.strip().split("  ", 1) for line in lines[1:] if line.startswith("  "))
    got = {k: lines[k][:len(expected[k])] if isinstance(k, int) else fields[k].strip() for k in expected}
    assert (code, err, "\x1b" in out, got) == (0, "", False, expected)


@pytest.mark.parametrize("encode, flag", [
    (lambda b: b, "--raw"),
    (lambda b: b.hex(" ", 4).encode() + b"\n", "--hex"),
    (lambda b: base64.b64encode(b) + b"\n", "--base64"),
    (lambda b: base64.urlsafe_b64encode(b).rstrip(b"="), None),
])
def test_decode_input_forms_agree(tmp_path, encode, flag):
    (tmp_path / "msg").write_bytes(encode(SAMPLE_MESSAGE))
    assert run("decode", str(tmp_path / "msg"), *([flag] if flag else [])) == run("decode")


@pytest.mark.parametrize("data, encoding, expected", [
    (b"0a0B 0c\n", "auto", b"\x0a\x0b\x0c"),
    (b"AAECAw==", "auto", b"\x00\x01\x02\x03"),
    (b"0x0A0b", "auto", b"\x0a\x0b"),
    (b"0102", "base64", b"\xd3]6"),          # hex digits read as base64 when asked
    (b"\x01\x02 ab", "auto", b"\x01\x02 ab"),  # binary stays raw
    (b"ab c\x00", "auto", b"ab c\x00"),
    (b"", "auto", b""),
])
def test_decode_input_detection(data, encoding, expected):
    assert decode_input(data, encoding) == expected


def test_decode_json_document():
    code, out, _ = run("decode", "--format", "json", "--json", "record", "-", stdin=SAMPLE_MESSAGE)
    doc = json.loads(out)
    assert code == 0
    assert doc["header"] == {"version": 1, "code": "HCY_POST", "codeValue": 3, "requestId": 4242,
                             "endpoint": 0, "sessionId": 17, "multipart": False}
    assert doc["body"]["headers"] == [{"name": "source", "value": "edge-gw-3"}]
    assert doc["body"]["params"] == json.loads(HcyMessage.from_bytes(SAMPLE_MESSAGE).get_params().to_json())


@pytest.mark.parametrize("args, stdin, message", [
    (["decode", "-"], b"0102", "veltrac decode: "),  # the binding's texts follow the command's name
    (["decode", "--hex", "-"], b"01x2", "veltrac decode: input is not valid hex text\n"),
    (["decode", "missing.bin"], b"", "veltrac decode: cannot read missing.bin: No such file or directory\n"),
    (["table", "-"], bytes.fromhex("00 01 0001 13"), "veltrac table: "),
    (["prim", "-"], b"\x04\x00", "veltrac prim: "),
    (["definition", "event", "-"], b"\xff", "veltrac definition: "),
    (["auth", "--request-id", "4294967296", "--app-key", "k", "--hex"], b"",
     "veltrac auth: request id must be 0 to 4294967295, got 4294967296\n"),
    (["auth", "--request-id", "1", "--app-key", b"\xff", "--hex"], b"", "veltrac auth: the application key is not UTF-8 text\n"),
])
def test_errors_go_to_stderr(args, stdin, message):
    code, out, err = run(*args, stdin=stdin)
    assert (code, out) == (1, "")
    assert err.startswith(message) and err.count("\n") == 1  # one line, no traceback


def test_usage_errors():
    assert run("decode", "--hex", "--base64")[0] == run("auth", "--request-id", "1")[0] == 2


def test_auth_outputs(tmp_path):
    expected, key = bytes.fromhex(AUTH_HEX), ("--request-id", "7", "--app-key", "secret")
    assert run("auth", *key, "--hex")[1] == AUTH_HEX + "\n"
    assert run("auth", *key, "--base64")[1] == base64.b64encode(expected).decode() + "\n"
    assert run("auth", *key, "--out", str(tmp_path / "auth.bin"))[0] == 0
    assert (tmp_path / "auth.bin").read_bytes() == expected
    raw = subprocess.run([sys.executable, "-m", "veltrac", "auth", "--request-id", "7", "--app-key-file", "-"],
                         input=b"secret\n", capture_output=True, timeout=60)
    assert raw.stdout == expected


def test_definition_canonical_and_pretty(tmp_path):
    path = tmp_path / "prop.json"
    path.write_text(' { "baseType": "NUMBER", "name": "temp", "aspects": {"units": "C"},\n'
                    '"pushType": "VALUE", "startType": "readEdgeValue", "pushThreshold": 5, "x": [1] }')
    canonical = HcyProperty.from_bytes(path.read_bytes()).to_json()
    assert run("definition", "property", str(path)) == (0, canonical + "\n", "")
    assert run("definition", "property", str(path), "--indent", "2")[1] == reindent(canonical, 2) + "\n"


@pytest.mark.parametrize("text, indent, expected", [
    ('{"a":[1,{}],"b":[]}', 1, '{\n "a": [\n  1,\n  {}\n ],\n "b": []\n}'),
    ('["{,:}\\"x",1e16]', 2, '[\n  "{,:}\\"x",\n  1e16\n]'),
    ('{"a":1}', None, '{"a":1}'),
])
def test_reindent(text, indent, expected):
    assert reindent(text, indent) == expected


def test_console_script_table_and_prim_commands(tmp_path):
    script = Path(sys.executable).with_name("veltrac")
    if not script.exists():
        pytest.skip("console script not installed next to the interpreter")
    (tmp_path / "table.hex").write_text("01 02 6964 00 16 0000 00 01 0001 16 00000007 00")  # id INTEGER: 7
    code, out, _ = run("table", str(tmp_path / "table.hex"), command=(script,))
    decoded = InfoTable.from_bytes(bytes.fromhex((tmp_path / "table.hex").read_text()))
    assert (code, out.splitlines()) == (0, ["InfoTable(rows=1, fields=1)", decoded.to_simple_json()])
    assert run("prim", "-", stdin=b"\x16\x00\x00\x00\x07")[1].split()[:3] == ["INTEGER(INTEGER,", "7)", "type"]


def test_capture_summary_and_jsonl_with_a_cut_off_tail(tmp_path):
    from test_stream import PARTS, STARTS, STREAM
    path = tmp_path / "capture.bin"
    path.write_bytes(STREAM + PARTS[0][:30])
    code, out, err = run("capture", str(path))
    lines = out.splitlines()
    assert (code, err, lines[0]) == (1, "", f"{len(PARTS)} messages, {len(STREAM)} of {len(STREAM) + 30} bytes")
    assert "  HCY_KEEP_ALIVE (31)          1            15" in lines
    assert lines[-2:] == ["  first request id 1, last request id 9",
                          f"cut-off tail: 30 bytes at offset {len(STREAM)} do not make a whole message "
                          "(Message deserialization error: Io Error: Stream to String failed: content too short)"]
    code, out, _ = run("capture", "--format", "jsonl", str(path))
    docs = [json.loads(line) for line in out.splitlines()]
    assert [d.get("offset") for d in docs] == STARTS + [len(STREAM)]
    assert docs[-1] == {"error": "Message deserialization error: Io Error: Stream to String failed: content too short",
                        "kind": "Io", "offset": len(STREAM), "incomplete": True}
    first = json.loads(run("decode", "--format", "json", "-", stdin=PARTS[0])[1])
    assert docs[0] == {**{k: v for k, v in first.items() if k not in ("size", "followingBytes")}, "offset": 0}
    assert docs[6]["type"] == "Header" and docs[6]["header"]["code"] == "HCY_KEEP_ALIVE"
    assert run("capture", "-", stdin=STREAM)[0] == 0


def test_decode_of_several_messages_gives_the_first_size_and_what_follows():
    data = SAMPLE_MESSAGE + bytes.fromhex(AUTH_HEX)
    out = run("decode", "-", stdin=data)[1]
    assert f"Request, {len(SAMPLE_MESSAGE)} bytes\n" in out
    assert f"{len(AUTH_HEX) // 2} more bytes after this message" in out
    doc = json.loads(run("decode", "--format", "json", "-", stdin=data)[1])
    assert (doc["size"], doc["followingBytes"]) == (len(SAMPLE_MESSAGE), len(AUTH_HEX) // 2)


@pytest.mark.parametrize("data", [
    SAMPLE_MESSAGE.hex(":").encode(),
    SAMPLE_MESSAGE.hex(" ").encode() + b"\n",
    "\n".join(SAMPLE_MESSAGE[i:i + 16].hex() for i in range(0, len(SAMPLE_MESSAGE), 16)).encode(),
    b"".join(b"%08x: %s  %s\n" % (i, b" ".join(SAMPLE_MESSAGE[j:j + 2].hex().encode()
                                              for j in range(i, min(i + 16, len(SAMPLE_MESSAGE)), 2)), b"..")
             for i in range(0, len(SAMPLE_MESSAGE), 16)),  # an xxd dump
])
def test_input_sniffing_reads_hex_as_meant(data):
    assert decode_input(data) == SAMPLE_MESSAGE


def test_odd_length_hex_is_a_clear_error():
    assert run("decode", "-", stdin=b"01 14 0")[2] == (
        "veltrac decode: input looks like hex text but has an odd number of digits (5)\n")
