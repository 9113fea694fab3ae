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
    config = tmp_path / "stubtest.ini"
    config.write_text(f"[mypy]\ncache_dir = {tmp_path / 'stubtest'}\n")
    commands = {
        "stubtest": [sys.executable, "-m", "mypy.stubtest", "--concise", "--mypy-config-file", str(config),
                     "veltrac._native"],
        "mypy": [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "mypy"),
                 str(ROOT / "examples"), str(ROOT / "python" / "veltrac" / "cli.py")],
    }
    procs = {name: subprocess.Popen(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
             for name, cmd in commands.items()}
    failures = {}
    for name, proc in procs.items():
        out, _ = proc.communicate(timeout=300)
        if proc.returncode != 0:
            failures[name] = out
    assert not failures, "\n".join(f"{name}:\n{out}" for name, out in failures.items())
