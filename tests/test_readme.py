"""The Python blocks of the README, docs/ and the stubs' docstrings, the README's command line session, and
the scripts in examples/, run as documented.

A line `print(...)  # text` documents the line that the print writes; a `print(...)` line followed by
lines `# text` documents one printed line each (a print in a loop); the documented lines must appear in the output, in order. A block that starts with
`# not run: <reason>` is skipped with that reason (tests/doc_blocks.py).
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
from doc_blocks import not_run_reason, python_blocks

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()
BLOCKS = re.findall(r"^```(python|console)\n(.*?)^```", README, re.S | re.M)
DOC_BLOCKS = python_blocks()
PRINT_LINE = re.compile(r"^\s*print\(.*\)\s*(?:#\s?(.*))?$")


def documented_output(source):
    lines = source.splitlines()
    expected = []
    for i, line in enumerate(lines):
        if m := PRINT_LINE.match(line):
            if m.group(1) is not None:
                expected.append(m.group(1))
            else:  # the comment lines right below, one printed line each
                for following in lines[i + 1:]:
                    if not following.startswith("# "):
                        break
                    expected.append(following[2:])
    return expected


def assert_documented(source, output):
    remaining = iter(output.splitlines())
    for line in documented_output(source):
        assert any(out == line for out in remaining), f"documented output not printed (in order): {line!r}"


def test_readme_has_blocks():
    kinds = [kind for kind, _ in BLOCKS]
    assert kinds.count("python") >= 5 and kinds.count("console") == 1


def test_every_document_has_checked_blocks():
    names = {name.split(":")[0] for name, _ in DOC_BLOCKS}
    assert {"README.md", "docs/json-forms.md", "python/veltrac/_native.pyi"} <= names


@pytest.mark.parametrize("name, source", DOC_BLOCKS, ids=[name for name, _ in DOC_BLOCKS])
def test_python_block(name, source):
    if reason := not_run_reason(source):
        pytest.skip(f"{name}: {reason}")
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(source, name, "exec"), {"__name__": "docs"})
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
