"""Peak and retained memory of one decoding, measured in a fresh process.

Usage: memprobe.py {veltrac|msgpack|cbor2|reply} FILE
Prints one JSON object: wire size, peak RSS growth during the decoding, RSS growth kept by the result.
The peak is the kernel's high-water mark (VmHWM), reset just before the decoding through
/proc/self/clear_refs, so imports and reading the input do not count.
With `reply` (W11) FILE is a request carrying a table: it prints the RSS growth kept by decoding it
("decoded") and the peak RSS growth from before the decoding while the decoded table is passed on
(get_params, then reply with it).
"""

from __future__ import annotations

import gc
import json
import sys


def status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def reset_peak() -> None:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # reset the high-water mark to the current RSS


def pass_on(data: bytes) -> None:
    from veltrac import HcyMessage

    HcyMessage.from_bytes(data[:15] + b"\x14\x00\x02\x00\x00\xff")  # first-call set-up happens here
    gc.collect()
    gc.disable()
    before = status_kib("VmRSS")
    request = HcyMessage.from_bytes(data)
    decoded = status_kib("VmRSS") - before
    reset_peak()
    reply = request.reply("HCY_SUCCESS", params=request.get_params())
    peak = status_kib("VmHWM") - before
    del reply, request
    print(json.dumps({"wire": len(data), "decoded": decoded * 1024, "peak": peak * 1024}))


def main() -> None:
    kind, path = sys.argv[1], sys.argv[2]
    with open(path, "rb") as f:
        data = f.read()
    if kind == "reply":
        return pass_on(data)
    if kind == "veltrac":
        from veltrac import HcyMessage

        decode = HcyMessage.from_bytes
    elif kind == "msgpack":
        import msgpack

        decode = msgpack.unpackb
    elif kind == "cbor2":
        import cbor2

        decode = cbor2.loads
    else:
        raise SystemExit(f"unknown decoder {kind}")
    if kind != "veltrac":
        decode(b"\x80" if kind == "cbor2" else b"\x90")  # an empty list: first-call set-up happens here
    gc.collect()
    gc.disable()
    reset_peak()
    before = status_kib("VmRSS")
    result = decode(data)
    peak = status_kib("VmHWM")
    after = status_kib("VmRSS")
    del result
    print(json.dumps({"wire": len(data), "peak": (peak - before) * 1024, "retained": (after - before) * 1024}))


if __name__ == "__main__":
    main()
