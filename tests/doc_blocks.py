"""The Python examples of the documentation: every ```python block of README.md and docs/*.md, and the
examples in the stubs' docstrings. tests/test_readme.py runs them, tests/test_typing.py type-checks them.

A block whose first line is `# not run: <reason>` needs what the suite does not have (a server, a device);
it is type-checked but not run, and the test reports it as skipped with that reason.
"""

import re
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md")), ROOT / "python" / "veltrac" / "_native.pyi",
             ROOT / "python" / "veltrac" / "__init__.py", ROOT / "python" / "veltrac" / "_stream.py"]
NOT_RUN = re.compile(r"# not run: (.+)")
# A fenced block, indented as a whole inside a docstring or not at all.
FENCE = re.compile(r"^([ \t]*)```python\n(.*?)^\1```[ \t]*$", re.S | re.M)


def python_blocks():
    """(name, source) of every block, named by file and line."""
    blocks = []
    for path in DOCUMENTS:
        text = path.read_text()
        for m in FENCE.finditer(text):
            line = text.count("\n", 0, m.start()) + 1
            blocks.append((f"{path.relative_to(ROOT)}:{line}", textwrap.dedent(m.group(2))))
    return blocks


def not_run_reason(source):
    m = NOT_RUN.match(source)
    return m.group(1) if m else None
