"""Command line for inspecting Veltrac traffic: decode messages, tables and values, build
authentication messages and check entity definitions."""

from __future__ import annotations

import argparse
import base64
import binascii
import json
import os
import re
import sys
from typing import IO, Any, Callable, Sequence

from veltrac import _native


# Built-in capture for `veltrac decode` without a file: an HCY_POST (request 4242, session 17) that
# calls the service SetAlarmLimits of the thing pump-7, with the header entry source=edge-gw-3 and a
# parameter table of four fields (sensor STRING, high NUMBER, low NUMBER, enabled BOOLEAN) and one row
# (temp-1, 85.5, -10.0, true).
SAMPLE_MESSAGE = bytes.fromhex(
    # header: version 1, code 3, request id, endpoint, session id, multipart 0
    "01 03 00001092 00000000 00000011 00"
    # entity type 0, entity name, characteristic type 2, characteristic name
    "00 06 70756d702d37 02 0e 536574416c61726d4c696d697473"
    # one header entry: source = edge-gw-3
    "01 06 736f75726365 09 656467652d67772d33"
    # parameter marker: a table follows
    "05"
    # fields: sensor "sensor id" STRING, high "upper limit" NUMBER, low "lower limit" NUMBER,
    # enabled BOOLEAN; each with no aspects; then the end of the field list
    "01 06 73656e736f72 09 73656e736f72206964 00 0000"
    "01 04 68696768 0b 7570706572206c696d6974 01 0000"
    "01 03 6c6f77 0b 6c6f776572206c696d6974 01 0000"
    "01 07 656e61626c6564 00 02 0000"
    "00"
    # one row of four values, then the end of the rows
    "01 0004 00 06 74656d702d31 01 4055600000000000 01 c024000000000000 02 01"
    "00"
)


class CliError(Exception):
    """A failure reported on stderr with a non-zero exit status."""


# ---------------------------------------------------------------------------------------------------
# Input


def read_source(path: str | None, default: bytes | None = None) -> bytes:
    """The bytes of `path` ("-" for standard input), or `default` when no path is given."""
    if path is None:
        if default is None:
            raise CliError("no input file given")
        return default
    if path == "-":
        return sys.stdin.buffer.read()
    try:
        with open(path, "rb") as fh:
            return fh.read()
    except OSError as exc:
        raise CliError(f"cannot read {path}: {exc.strerror or exc}") from None


_HEX_DIGITS = b"0123456789abcdefABCDEF"
_BASE64_CHARS = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/-_="


def _only(data: bytes, chars: bytes) -> bool:
    """Whether every byte of `data` is one of `chars`: passes in C, not a Python loop per byte; the first
    256 bytes alone first, which settle it for binary input."""
    return not data[:256].translate(None, chars) and not data.translate(None, chars)
_WHITESPACE = b" \t\r\n\v\f"


def _strip_ws(data: bytes) -> bytes:
    return data.translate(None, _WHITESPACE)


def _from_hex(data: bytes) -> bytes:
    text = _strip_ws(data)
    if text[:2] in (b"0x", b"0X"):
        text = text[2:]
    try:
        return bytes.fromhex(text.decode("ascii"))
    except (UnicodeDecodeError, ValueError):
        raise CliError("input is not valid hex text") from None


def _from_base64(data: bytes) -> bytes:
    text = _strip_ws(data)
    text += b"=" * (-len(text) % 4)
    altchars = b"-_" if (b"-" in text or b"_" in text) else None
    try:
        return base64.b64decode(text, altchars=altchars, validate=True)
    except (binascii.Error, ValueError):
        raise CliError("input is not valid base64 text") from None


# One line of an xxd dump: offset, colon, the hex groups, two spaces, the printable column.
_XXD_LINE = re.compile(rb"[0-9a-fA-F]{4,16}: ((?:[0-9a-fA-F]{2})+(?: (?:[0-9a-fA-F]{2})+)*)(?: {2}.*)?")


def _from_xxd(data: bytes) -> bytes | None:
    """The bytes of an xxd dump, or None when `data` is not one."""
    lines = data.splitlines()
    if not lines or not data.lstrip()[:1].isalnum():
        return None
    chunks = []
    for line in lines:
        if not line.strip():
            continue
        m = _XXD_LINE.fullmatch(line.rstrip(b"\r"))
        if m is None:
            return None
        chunks.append(bytes.fromhex(m.group(1).decode("ascii")))
    return b"".join(chunks) if chunks else None


def decode_input(data: bytes, encoding: str = "auto") -> bytes:
    """Raw bytes from `data` given as raw bytes, hex text or base64 text.

    With "auto", an xxd dump is read as its bytes; input made only of hex digits, whitespace and colons
    is hex (an odd number of digits is an error); other input that is valid base64 text is base64, and
    anything else is taken as raw bytes.
    """
    if encoding == "raw":
        return data
    if encoding == "hex":
        return _from_hex(data)
    if encoding == "base64":
        return _from_base64(data)
    text = _strip_ws(data)
    if not text:
        return data
    if b": " in data[:64]:
        dump = _from_xxd(data)
        if dump is not None:
            return dump
    body = text[2:] if text[:2] in (b"0x", b"0X") else text
    if b":" in body and _only(body, _HEX_DIGITS + b":"):
        body = body.translate(None, b":")
        data = body
    if body and _only(body, _HEX_DIGITS):
        if len(body) % 2:
            raise CliError(f"input looks like hex text but has an odd number of digits ({len(body)})")
        return _from_hex(data)
    if _only(text, _BASE64_CHARS):
        try:
            return _from_base64(data)
        except CliError:
            pass
    return data


# ---------------------------------------------------------------------------------------------------
# Message fields


def header_json(message: Any) -> dict[str, Any]:
    if isinstance(message, _native.MessageHeader):
        return {"version": message.version, "code": message.code.name, "codeValue": int(message.code),
                "requestId": message.request_id, "endpoint": message.endpoint, "sessionId": message.session_id,
                "multipart": message.multipart}
    # Decoded messages are never multipart pieces: the codec refuses those.
    return {
        "version": message.get_version(),
        "code": message.get_code(),
        "codeValue": message.get_code_value(),
        "requestId": message.get_request_id(),
        "endpoint": message.get_endpoint(),
        "sessionId": message.get_session_id(),
        "multipart": False,
    }


def body_fields(message: Any) -> list[tuple[str, str, Any]]:
    """The body fields of a message in display order, as (label, JSON key, value)."""
    kind = message.get_message_type()
    if kind == "Request":
        return [
            ("entity type", "entityType", message.get_entity_type()),
            ("entity name", "entityName", message.get_entity_name()),
            ("characteristic type", "characteristicType", message.get_characteristic_type()),
            ("characteristic name", "characteristicName", message.get_characteristic_name()),
            ("headers", "headers", [{"name": n, "value": v} for n, v in message.get_headers()]),
        ]
    if kind == "Response":
        return [("reason", "reason", message.get_reason())]
    if kind == "Auth":
        return [("claim name", "claimName", message.get_claim_name()),
                ("claim value", "claimValue", message.get_claim_value())]
    return [("binder name", "binderName", message.get_binder_name()),
            ("binder type", "binderType", message.get_binder_type()),
            ("names", "names", message.get_names())]


# ---------------------------------------------------------------------------------------------------
# Output


def printable(text: str) -> str:
    """`text` with control and other non-printable characters escaped, safe to show on a terminal."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else f"\\u{{{ord(c):x}}}" for c in text)


def reindent(text: str, indent: int | None) -> str:
    """Compact JSON text laid out with `indent` spaces per level; numbers and strings kept verbatim."""
    if indent is None:
        return text
    out: list[str] = []
    depth = 0
    in_string = escaped = False
    pad = " " * indent
    i = 0
    while i < len(text):
        c = text[i]
        if in_string:
            out.append(c)
            if escaped:
                escaped = False
            elif c == "\\":
                escaped = True
            elif c == '"':
                in_string = False
        elif c == '"':
            in_string = True
            out.append(c)
        elif c in "{[":
            closer = "}" if c == "{" else "]"
            if i + 1 < len(text) and text[i + 1] == closer:
                out.append(c + closer)
                i += 1
            else:
                depth += 1
                out.append(c + "\n" + pad * depth)
        elif c in "}]":
            depth -= 1
            out.append("\n" + pad * depth + c)
        elif c == ",":
            out.append(",\n" + pad * depth)
        elif c == ":":
            out.append(": ")
        elif not c.isspace():
            out.append(c)
        i += 1
    return "".join(out)


def _dump(doc: Any, indent: int | None) -> str:
    return json.dumps(doc, ensure_ascii=False, indent=indent, separators=None if indent else (",", ":"))


def _show_value(value: Any) -> str:
    if value is None:
        return "(none)"
    if value == "":
        return "(empty)"
    if isinstance(value, str):
        return printable(value)
    return str(value)


def _redact(value: str) -> str:
    return f"<{len(value.encode())} bytes hidden, use --show-secrets>"


def _table_json(table: Any, form: str) -> str:
    text: str = table.to_simple_json() if form == "simple" else table.to_json()
    return text


def _load_json(text: str) -> Any:
    """The JSON text of a codec value as Python data, for embedding in a JSON document."""
    try:
        return json.loads(text)
    except RecursionError:
        raise CliError("value nested too deeply for --format json; use --format text") from None


def _guard(fn: Callable[[], Any]) -> Any:
    """The result of `fn`, with a codec failure turned into a CliError carrying the codec's message."""
    try:
        return fn()
    except (ValueError, TypeError, OverflowError) as exc:
        raise CliError(str(exc)) from None


# ---------------------------------------------------------------------------------------------------
# Commands


def _message_parts(message: Any, args: argparse.Namespace) -> tuple[list[tuple[str, str, Any]], Any, str | None]:
    """The body fields (secrets hidden unless asked), the table and its JSON text of a decoded message."""
    kind: str = message.get_message_type()
    fields = _guard(lambda: body_fields(message))
    if kind == "Auth" and not args.show_secrets:
        fields = [(label, key, _redact(v) if key == "claimValue" else v) for label, key, v in fields]
    table = _guard(message.get_params) if kind in ("Request", "Response") else None
    table_text = _guard(lambda: _table_json(table, args.json)) if table is not None else None
    return fields, table, table_text


def message_doc(message: Any, args: argparse.Namespace) -> dict[str, Any]:
    """The JSON document of `decode --format json` for a message, or for the header of a header-only code
    (type "Header", body null)."""
    if isinstance(message, _native.MessageHeader):
        return {"type": "Header", "description": str(message), "header": header_json(message), "body": None}
    kind: str = message.get_message_type()
    fields, _, table_text = _message_parts(message, args)
    doc: dict[str, Any] = {
        "type": kind,
        "description": message.short_description(),
        "header": header_json(message),
        "body": {key: value for _, key, value in fields},
    }
    if kind in ("Request", "Response"):
        doc["body"]["params"] = _load_json(table_text) if table_text is not None else None
    return doc


def cmd_decode(args: argparse.Namespace, out: IO[str]) -> int:
    raw = read_source(args.file, SAMPLE_MESSAGE)
    data = decode_input(raw, args.encoding) if args.file is not None else raw
    message, size = _guard(lambda: _native.HcyMessage.from_buffer(data))
    following = len(data) - size
    kind: str = message.get_message_type()
    header = header_json(message)
    fields, table, table_text = _message_parts(message, args)

    if args.format == "json":
        doc = message_doc(message, args)
        doc["size"] = size
        doc["followingBytes"] = following
        out.write(_dump(doc, args.indent) + "\n")
        return 0

    rows: list[tuple[str, str]] = [
        ("message", f"{kind}, {size} bytes"),
        ("version", str(header["version"])),
        ("code", f"{header['code']} ({header['codeValue']})"),
        ("request id", str(header["requestId"])),
        ("endpoint", str(header["endpoint"])),
        ("session id", str(header["sessionId"])),
        ("multipart", "false"),
    ]
    for label, _, value in fields:
        if label == "headers":
            rows.extend(("header", f"{printable(h['name'])} = {printable(h['value'])}") for h in value)
        elif label == "names":
            rows.append(("names", ", ".join(printable(n) for n in value) if value else "(none)"))
        else:
            rows.append((label, _show_value(value)))
    if kind in ("Request", "Response"):
        rows.append(("params", str(table) if table is not None else "(none)"))
    if following:
        rows.append(("following", f"{following} more bytes after this message (read them all with `veltrac capture`)"))
    out.write(printable(message.short_description()) + "\n")
    width = max(len(label) for label, _ in rows)
    for label, text in rows:
        out.write(f"  {label.ljust(width)}  {text}\n")
    if table_text is not None:
        out.write(reindent(table_text, args.indent) + "\n")
    return 0


def cmd_table(args: argparse.Namespace, out: IO[str]) -> int:
    data = decode_input(read_source(args.file), args.encoding)
    table = _guard(lambda: _native.InfoTable.from_bytes(data))
    text: str = _guard(lambda: _table_json(table, args.json))
    if args.format == "text":
        out.write(f"{table}\n")
    out.write(reindent(text, args.indent) + "\n")
    return 0


def cmd_prim(args: argparse.Namespace, out: IO[str]) -> int:
    data = decode_input(read_source(args.file), args.encoding)
    prim = _guard(lambda: _native.HcPrim.from_bytes(data))
    typed: str = _guard(prim.to_json)
    simple: str = _guard(prim.to_simple_json)
    if args.format == "json":
        doc = {
            "type": prim.get_type(),
            "fullType": prim.get_full_type(),
            "text": str(prim),
            "json": _load_json(typed),
            "simpleJson": _load_json(simple),
        }
        out.write(_dump(doc, args.indent) + "\n")
        return 0
    rows = [
        ("type", prim.get_full_type()),
        ("json", reindent(typed, None)),
        ("simple json", reindent(simple, None)),
    ]
    out.write(printable(str(prim)) + "\n")
    width = max(len(label) for label, _ in rows)
    for label, text in rows:
        out.write(f"  {label.ljust(width)}  {printable(text)}\n")
    return 0


def cmd_auth(args: argparse.Namespace, out: IO[str]) -> int:
    if args.app_key_file is not None:
        key_bytes = read_source(args.app_key_file).rstrip(b"\r\n")
        try:
            app_key = key_bytes.decode("utf-8")
        except UnicodeDecodeError:
            raise CliError(f"the application key in {args.app_key_file} is not UTF-8 text") from None
    else:
        app_key = args.app_key
        try:
            app_key.encode("utf-8")
        except UnicodeEncodeError:  # argument bytes that are not UTF-8 arrive as lone surrogates
            raise CliError("the application key is not UTF-8 text") from None
    if not 0 <= args.request_id <= 0xFFFFFFFF:
        raise CliError(f"request id must be 0 to 4294967295, got {args.request_id}")
    message = _guard(lambda: _native.HcyMessage.build_auth(args.request_id, app_key))
    data: bytes = _guard(message.to_bytes)
    if args.out is not None:
        try:
            with open(args.out, "wb") as fh:
                fh.write(data)
        except OSError as exc:
            raise CliError(f"cannot write {args.out}: {exc.strerror or exc}") from None
    elif args.output_format == "hex":
        out.write(data.hex() + "\n")
    elif args.output_format == "base64":
        out.write(base64.b64encode(data).decode("ascii") + "\n")
    elif out.isatty():
        raise CliError("refusing to write binary to a terminal; use --hex, --base64 or --out FILE")
    else:
        out.flush()
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    return 0


def _scan_capture(data: bytes) -> tuple[list[tuple[int, int, Any]], _native.DecodeError | None]:
    """(offset, size, message) of every message of a capture, and the error that ended it early, if any."""
    found: list[tuple[int, int, Any]] = []
    pos = 0
    while True:
        messages, ends, error = _native.HcyMessage._scan(data, pos, 0, True, 4096)
        for message, end in zip(messages, memoryview(ends).cast("Q")):
            found.append((pos, end - pos, message))
            pos = end
        if error is not None or len(messages) < 4096:
            return found, error


def cmd_capture(args: argparse.Namespace, out: IO[str]) -> int:
    data = decode_input(read_source(args.file), args.encoding)
    found, error = _scan_capture(data)
    if args.format == "jsonl":
        for offset, size, message in found:
            doc = message_doc(message, args)
            doc["offset"] = offset
            out.write(_dump(doc, None) + "\n")
    else:
        by_code: dict[tuple[str, int], list[int]] = {}
        request_ids: list[int] = []
        for _, size, message in found:
            h = message if isinstance(message, _native.MessageHeader) else message.get_header()
            entry = by_code.setdefault((h.code.name, int(h.code)), [0, 0])
            entry[0] += 1
            entry[1] += size
            request_ids.append(h.request_id)
        read = sum(size for _, size, _ in found)
        out.write(f"{len(found)} messages, {read} of {len(data)} bytes\n")
        if by_code:
            width = max(len(f"{name} ({value})") for name, value in by_code)
            out.write(f"  {'code'.ljust(width)}  {'count':>9}  {'bytes':>12}\n")
            for (name, value), (count, size) in sorted(by_code.items(), key=lambda kv: kv[0][1]):
                out.write(f"  {f'{name} ({value})'.ljust(width)}  {count:>9}  {size:>12}\n")
            out.write(f"  first request id {request_ids[0]}, last request id {request_ids[-1]}\n")
    if error is None:
        return 0
    stop: int = error.offset if error.offset is not None else len(data)
    if isinstance(error, _native.IncompleteError):
        text = f"cut-off tail: {len(data) - stop} bytes at offset {stop} do not make a whole message ({error})"
    else:
        text = f"error at offset {stop}: {error}; {len(data) - stop} bytes not read"
    if args.format == "jsonl":
        doc = {"error": str(error), "kind": error.kind, "offset": stop,
               "incomplete": isinstance(error, _native.IncompleteError)}
        out.write(_dump(doc, None) + "\n")
    else:
        out.write(printable(text) + "\n")
    return 1


_DEFINITION_CLASSES = {"property": "HcyProperty", "service": "HcyService", "event": "HcyEvent"}


def cmd_definition(args: argparse.Namespace, out: IO[str]) -> int:
    cls = getattr(_native, _DEFINITION_CLASSES[args.kind])
    data = read_source(args.file)
    definition = _guard(lambda: cls.from_bytes(data))
    text: str = _guard(definition.to_json)
    out.write(reindent(text, args.indent) + "\n")
    return 0


# ---------------------------------------------------------------------------------------------------
# Argument parsing


def _add_encoding_options(p: argparse.ArgumentParser) -> None:
    group = p.add_mutually_exclusive_group()
    group.set_defaults(encoding="auto")
    group.add_argument("--hex", dest="encoding", action="store_const", const="hex",
                       help="the input is hex text (whitespace ignored)")
    group.add_argument("--base64", dest="encoding", action="store_const", const="base64",
                       help="the input is base64 text")
    group.add_argument("--raw", dest="encoding", action="store_const", const="raw",
                       help="the input is raw bytes")


def _indent(value: str) -> int:
    n = int(value)
    if not 0 <= n <= 16:
        raise argparse.ArgumentTypeError("indent must be 0 to 16")
    return n


def _add_output_options(p: argparse.ArgumentParser, *, table: bool = True, fmt: bool = True) -> None:
    if table:
        p.add_argument("--json", choices=("simple", "record"), default="simple",
                       help="table JSON form: simple (values by column name, default) or record "
                            "(shape and typed values)")
    if fmt:
        p.add_argument("--format", choices=("text", "json"), default="text",
                       help="text for people (default) or one JSON document for scripts")
    p.add_argument("--indent", type=_indent, metavar="N", help="pretty-print JSON with N spaces per level")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="veltrac",
        description="Inspect Veltrac protocol data: messages, tables, typed values and entity definitions. "
                    "Inputs are raw bytes, hex text or base64 text (detected when unambiguous).",
    )
    parser.add_argument("--version", action="version", version=f"veltrac {_native.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser("decode", help="decode one message and describe it",
                       description="Decode one message: its one-line description, header fields, body "
                                   "fields and, when the body carries one, its parameter table. Without a "
                                   "file, a built-in sample request is decoded.")
    p.add_argument("file", nargs="?", metavar="FILE", help="the message ('-' for stdin; default: built-in sample)")
    _add_encoding_options(p)
    _add_output_options(p)
    p.add_argument("--show-secrets", action="store_true", help="show the claim value of authentication messages")
    p.set_defaults(func=cmd_decode)

    p = sub.add_parser("capture", help="read a file of back-to-back messages",
                       description="Read a capture of back-to-back messages: a summary by default (count and "
                                   "bytes per code, first and last request id, where reading stopped), or one "
                                   "JSON object per message with --format jsonl (the `decode --format json` "
                                   "document plus its offset). Exits 1 when the capture ends in a corrupt or "
                                   "cut-off message.")
    p.add_argument("file", metavar="FILE", help="the capture ('-' for stdin)")
    _add_encoding_options(p)
    p.add_argument("--format", choices=("summary", "jsonl"), default="summary",
                   help="summary for people (default) or JSON lines for scripts")
    p.add_argument("--json", choices=("simple", "record"), default="simple", help="table JSON form in jsonl")
    p.add_argument("--show-secrets", action="store_true", help="show the claim value of authentication messages")
    p.set_defaults(func=cmd_capture)

    p = sub.add_parser("table", help="decode a bare table",
                       description="Decode a table in its binary form and print it as JSON.")
    p.add_argument("file", metavar="FILE", help="the table ('-' for stdin)")
    _add_encoding_options(p)
    _add_output_options(p)
    p.set_defaults(func=cmd_table)

    p = sub.add_parser("prim", help="decode a bare typed value",
                       description="Decode one typed value in its binary form (type code, then payload).")
    p.add_argument("file", metavar="FILE", help="the value ('-' for stdin)")
    _add_encoding_options(p)
    _add_output_options(p, table=False)
    p.set_defaults(func=cmd_prim)

    p = sub.add_parser("auth", help="build an authentication message",
                       description="Build an authentication message carrying an application key. Writes "
                                   "raw bytes to stdout unless --out, --hex or --base64 is given.")
    p.add_argument("--request-id", type=int, required=True, metavar="N", help="request id, 0 to 4294967295")
    key = p.add_mutually_exclusive_group(required=True)
    key.add_argument("--app-key", metavar="KEY", help="the application key")
    key.add_argument("--app-key-file", metavar="FILE",
                     help="read the application key from FILE ('-' for stdin), keeping it off the command line")
    dest = p.add_mutually_exclusive_group()
    dest.set_defaults(output_format="raw")
    dest.add_argument("--out", metavar="FILE", help="write the raw message to FILE")
    dest.add_argument("--hex", dest="output_format", action="store_const", const="hex", help="print as hex")
    dest.add_argument("--base64", dest="output_format", action="store_const", const="base64",
                      help="print as base64")
    p.set_defaults(func=cmd_auth)

    p = sub.add_parser("definition", help="validate an entity definition and print it canonically",
                       description="Read a property, service or event definition (UTF-8 JSON) and print it "
                                   "in canonical compact form, or pretty with --indent.")
    p.add_argument("kind", choices=tuple(_DEFINITION_CLASSES), help="kind of definition")
    p.add_argument("file", metavar="FILE", help="the JSON definition ('-' for stdin)")
    _add_output_options(p, table=False, fmt=False)
    p.set_defaults(func=cmd_definition)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    # Names from the wire may hold characters the terminal's encoding lacks: escape, never fail.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="backslashreplace")
    try:
        return int(args.func(args, sys.stdout))
    except CliError as exc:
        print(f"veltrac {args.command}: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`veltrac decode | head`): silence the final flush of stdout.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
