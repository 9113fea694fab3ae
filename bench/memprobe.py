"""Peak and retained memory of one decoding, measured in a fresh process.

Usage: memprobe.py {veltrac|msgpack|cbor2} FILE
Prints one JSON object: wire size, peak RSS growth during the decoding, RSS growth kept by the result.
The peak is the kernel's high-water mark (VmHWM), reset just before the decoding through
/proc/self/clear_refs, so imports and reading the input do not count.
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


def main() -> None:
    kind, path = sys.argv[1], sys.argv[2]
    with open(path, "rb") as f:
        data = f.read()
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
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # reset the high-water mark to the current RSS
    before = status_kib("VmRSS")
    result = decode(data)
    peak = status_kib("VmHWM")
    after = status_kib("VmRSS")
    del result
    print(json.dumps({"wire": len(data), "peak": (peak - before) * 1024, "retained": (after - before) * 1024}))


if __name__ == "__main__":
    main()
