"""The README's Python blocks and command line session, and the scripts in examples/, run as documented.

A line `print(...)  # text` (or a `print(...)` line followed by a line `# text`) documents the line that
the print writes; the documented lines must appear in the output, in order.
"""

import contextlib
import io
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()
BLOCKS = re.findall(r"^```(python|console)\n(.*?)^```", README, re.S | re.M)
PRINT_LINE = re.compile(r"^\s*print\(.*\)\s*(?:#\s?(.*))?$")


def documented_output(source):
    lines = source.splitlines()
    expected = []
    for line, following in zip(lines, lines[1:] + [""]):
        if m := PRINT_LINE.match(line):
            if m.group(1) is not None:
                expected.append(m.group(1))
            elif following.startswith("# "):
                expected.append(following[2:])
    return expected


def assert_documented(source, output):
    remaining = iter(output.splitlines())
    for line in documented_output(source):
        assert any(out == line for out in remaining), f"documented output not printed (in order): {line!r}"


def test_readme_has_blocks():
    kinds = [kind for kind, _ in BLOCKS]
    assert kinds.count("python") >= 5 and kinds.count("console") == 1


@pytest.mark.parametrize("source", [src for kind, src in BLOCKS if kind == "python"],
                         ids=lambda src: src.splitlines()[0][:40])
def test_readme_python_block(source):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(source, "README.md", "exec"), {"__name__": "readme"})
    assert_documented(source, out.getvalue())


def console_session():
    (session,) = [src for kind, src in BLOCKS if kind == "console"]
    steps = []
    for line in session.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        else:
            steps[-1][1].append(line)
    return steps


@pytest.mark.parametrize("command, expected", console_session(), ids=lambda v: v if isinstance(v, str) else "")
def test_readme_console_session(tmp_path, command, expected):
    # `veltrac` stands for this interpreter's module, so the test runs without the console script on PATH.
    script = f"veltrac() {{ {shlex.quote(sys.executable)} -m veltrac \"$@\"; }}\n{command} 2>&1"
    proc = subprocess.run(["bash", "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=60,
                          env={**os.environ, "PYTHONIOENCODING": "utf-8"})
    assert proc.stdout.splitlines() == expected


@pytest.mark.parametrize("path", sorted((ROOT / "examples").glob("*.py")), ids=lambda p: p.name)
def test_example_script(path):
    proc = subprocess.run([sys.executable, str(path)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert_documented(path.read_text(), proc.stdout)
