"""Checks what a built wheel holds: the package, the compiled module for the running interpreter, the
type stubs and the py.typed marker, the console script, and no tests or sources.

Usage: python tools/check_wheel.py WHEEL
"""

from __future__ import annotations

import fnmatch
import sys
import sysconfig
import zipfile

REQUIRED = [
    "veltrac/__init__.py",
    "veltrac/__main__.py",
    "veltrac/cli.py",
    "veltrac/_native.pyi",
    "veltrac/py.typed",
    "veltrac/_native" + sysconfig.get_config_var("EXT_SUFFIX"),
]
FORBIDDEN = ["tests/*", "*/tests/*", "*test_*.py", "*conftest.py", "*_test.cpp", "*.cpp", "*.hpp", "*.inc",
             "*/__pycache__/*", "*.pyc"]


def problems(path: str) -> list[str]:
    with zipfile.ZipFile(path) as wheel:
        names = wheel.namelist()
        entry_points = next((wheel.read(n).decode() for n in names if n.endswith(".dist-info/entry_points.txt")), "")
    found = [f"missing {name}" for name in REQUIRED if name not in names]
    found += [f"unexpected {name}" for name in names if any(fnmatch.fnmatch(name, p) for p in FORBIDDEN)]
    found += [f"unexpected top-level entry {name}" for name in names
              if not name.startswith(("veltrac/", "veltrac-"))]
    if "veltrac = veltrac.cli:main" not in entry_points:
        found.append("console script veltrac = veltrac.cli:main not declared")
    return found


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    found = problems(argv[1])
    for problem in found:
        print(f"check_wheel: {argv[1]}: {problem}", file=sys.stderr)
    if not found:
        print(f"check_wheel: {argv[1]}: ok")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
