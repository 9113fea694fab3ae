"""The type stubs match the compiled module, and the examples and the package type-check strictly."""

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parent.parent


def test_stubs_match_module_and_examples_type_check(tmp_path):
    # Both tools take a few seconds each: run them side by side, each with a cache of its own (a shared
    # cache written by both at once can crash mypy).
    (tmp_path / "stubtest.ini").write_text(f"[mypy]\ncache_dir = {tmp_path / 'stubtest'}\n")
    procs = [subprocess.Popen(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True) for cmd in (
        [sys.executable, "-m", "mypy.stubtest", "--concise", "--mypy-config-file", str(tmp_path / "stubtest.ini"),
         "veltrac._native"],
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "mypy"),
         str(ROOT / "examples"), str(ROOT / "python" / "veltrac" / "cli.py")])]
    failures = []
    for proc in procs:
        out = proc.communicate(timeout=300)[0]
        if proc.returncode:
            failures.append(f"{proc.args[2]}:\n{out}")
    assert not failures, "\n".join(failures)
