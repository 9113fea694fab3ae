"""Command line for inspecting Veltrac traffic."""

from __future__ import annotations

import argparse
import sys

from veltrac import _native

# A GET request for the "temperature" property of the thing "pump-7", with one header entry.
SAMPLE_MESSAGE = bytes.fromhex(
    "0101000000070000000000000001000a01067075 6d702d37 010b74656d7065726174 757265 01 04 756e6974 01 43 ff"
    .replace(" ", "")
)


def _decode(args: argparse.Namespace) -> int:
    data = SAMPLE_MESSAGE
    if args.file:
        with open(args.file, "rb") as fh:
            data = fh.read()
    message_class = getattr(_native, "HcyMessage", None)
    if message_class is None:
        print(f"veltrac {_native.__version__}: {len(data)} bytes (message decoding not available)")
        return 0
    try:
        message = message_class.from_bytes(data)
    except ValueError as exc:
        print(f"veltrac: {exc}", file=sys.stderr)
        return 1
    print(message.short_description())
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="veltrac", description=__doc__)
    parser.add_argument("--version", action="version", version=f"veltrac {_native.__version__}")
    sub = parser.add_subparsers(dest="command", required=True)
    decode = sub.add_parser("decode", help="decode one message and describe it")
    decode.add_argument("file", nargs="?", help="file holding the raw message (default: a built-in sample)")
    decode.set_defaults(func=_decode)
    args = parser.parse_args(argv)
    return int(args.func(args))
