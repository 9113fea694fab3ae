"""The type stubs match the compiled module and the package, and the examples, the documentation's Python
blocks and the package type-check strictly."""

import subprocess
import sys
from pathlib import Path

import pytest
from doc_blocks import python_blocks

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parent.parent


def test_stubs_match_module_and_examples_type_check(tmp_path):
    # The documentation's blocks, one module each, checked with the examples.
    blocks = tmp_path / "blocks"
    blocks.mkdir()
    for i, (name, source) in enumerate(python_blocks()):
        (blocks / f"block_{i}.py").write_text(f"# {name}\n{source}")
    # `python -m veltrac` runs the command line: stubtest cannot import it.
    (tmp_path / "allowlist.txt").write_text("veltrac.__main__\n")
    # Both tools take a few seconds each: run them side by side, each with a cache of its own (a shared
    # cache written by both at once can crash mypy).
    (tmp_path / "stubtest.ini").write_text(f"[mypy]\ncache_dir = {tmp_path / 'stubtest'}\n")
    procs = [subprocess.Popen(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True) for cmd in (
        [sys.executable, "-m", "mypy.stubtest", "--concise", "--mypy-config-file", str(tmp_path / "stubtest.ini"),
         "--allowlist", str(tmp_path / "allowlist.txt"), "veltrac"],
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "mypy"),
         str(ROOT / "examples"), str(ROOT / "python" / "veltrac" / "cli.py"), str(blocks)])]
    failures = []
    for proc in procs:
        out = proc.communicate(timeout=300)[0]
        if proc.returncode:
            failures.append(f"{proc.args[2]}:\n{out}")
    assert not failures, "\n".join(failures)
