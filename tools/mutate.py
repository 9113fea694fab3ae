#!/usr/bin/env python3
"""Mutation run over the codec's production sources.

Each mutant is one small edit to one line of veltrac-codec/src or veltrac-codec/include (a comparison
flipped, a bound moved by one, a constant changed, && and || swapped, a check or an assignment dropped).
For each sampled mutant the file is edited in place, the GoogleTest suites are rebuilt incrementally in a
non-sanitizer build directory and run through ctest; the file is always restored afterwards.

  killed    the build succeeds and some suite fails or times out
  survived  the build succeeds and every suite passes
  invalid   the mutant does not compile (left out of the score)

score = killed / (killed + survived). Only the C++ suites run per mutant; the Python suite does not (it
would need the extension rebuilt and takes far longer). Candidates are listed in a fixed order and a
seeded sample is spread across files, so the same seed and count on the same sources give the same
mutants. Surviving mutants are listed in <build>/report.txt.
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CODEC = ROOT / "veltrac-codec"
SOURCE_DIRS = ("src", "include")


@dataclasses.dataclass(frozen=True)
class Mutant:
    path: Path  # relative to ROOT
    line: int  # 1-based
    start: int  # column range in the line replaced by `new`
    end: int
    new: str
    kind: str

    def apply(self, text: str) -> str:
        lines = text.split("\n")
        s = lines[self.line - 1]
        lines[self.line - 1] = s[: self.start] + self.new + s[self.end :]
        return "\n".join(lines)

    def describe(self, text: str) -> str:
        s = text.split("\n")[self.line - 1]
        old = s.strip()
        new = (s[: self.start] + self.new + s[self.end :]).strip()
        return f"{self.path}:{self.line} [{self.kind}] {old}  ->  {new}"


# --- finding candidates -------------------------------------------------------------------------------

def source_files() -> list[Path]:
    files = []
    for d in SOURCE_DIRS:
        base = CODEC / d
        if not base.is_dir():
            continue
        for p in sorted(base.rglob("*")):
            name = p.name
            if p.suffix not in (".cpp", ".hpp", ".h") or not p.is_file():
                continue
            if name.endswith("_test.cpp") or "test_util" in name:
                continue
            files.append(p.relative_to(ROOT))
    return files


def masked_lines(text: str) -> list[str]:
    """The lines with comments, string and character literals blanked (same length, same columns)."""
    out = []
    in_block = False
    for line in text.split("\n"):
        chars = list(line)
        i, n = 0, len(line)
        while i < n:
            if in_block:
                end = line.find("*/", i)
                stop = n if end < 0 else end + 2
                chars[i:stop] = " " * (stop - i)
                in_block = end < 0
                i = stop
                continue
            c = line[i]
            if line.startswith("//", i):
                chars[i:] = " " * (n - i)
                break
            if line.startswith("/*", i):
                in_block = True
                continue
            if c in "\"'":
                # A digit separator (1'000) is not a literal.
                if c == "'" and i > 0 and line[i - 1].isalnum() and i + 1 < n and line[i + 1].isalnum():
                    i += 1
                    continue
                j = i + 1
                while j < n and line[j] != c:
                    j += 2 if line[j] == "\\" else 1
                stop = min(j + 1, n)
                chars[i:stop] = [c] + ["_"] * (stop - i - 2) + [c] if stop - i >= 2 else [c]
                i = stop
                continue
            i += 1
        out.append("".join(chars))
    return out


FLIP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
CMP = re.compile(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)")
# A simple right operand (name, member, call without arguments, number) that ends the comparison.
RHS = re.compile(r"\s*([A-Za-z_][\w.]*(?:\(\))?|\d+[uUlL]*)(?=\s*(?:\)|;|&&|\|\||,|\?|$))")
OFF_BY_ONE = re.compile(r" ([+-]) 1(?![\w.'])")
INT = re.compile(r"(?<![\w.'])(\d+)([uUlLzZ]*)(?![\w.'])")
LOGIC = re.compile(r"(?<=\s)(&&|\|\|)(?=\s)")
BOOL = re.compile(r"\b(true|false)\b")
GUARD = re.compile(r"^\s*if \(.*\) (return|break|continue)\b.*;\s*$")
RETURN_FAIL = re.compile(r"^\s*return fail\(.*;\s*$")
ASSIGN = re.compile(r"^\s*\*?[A-Za-z_][\w.\[\]>*-]*(?:\(\))?\s*(?:[-+*/%|&^]|<<|>>)?=\s*[^=].*;\s*$")
SKIP_LINE = re.compile(r"^\s*(#|static_assert\b|template\b|case\b.*:\s*$)")
# Capacity hints only change allocation sizes: their mutants cannot be told apart by a test.
HINT_LINE = re.compile(r"\b(reserve|shrink_to_fit)\(")
TABLE_LINE = re.compile(r"^\s*\{.*\},?\s*$")


def candidates(rel: Path) -> list[Mutant]:
    text = (ROOT / rel).read_text()
    result: list[Mutant] = []
    depth_table = 0  # > 0 inside a brace-initialised constant table
    for no, code in enumerate(masked_lines(text), start=1):
        stripped = code.strip()
        if re.search(r"\bconstexpr\b.*(\[\]|\[\w*\]|std::array<).*=\s*\{\s*$", code):
            depth_table = 1
            continue
        if depth_table:
            depth_table += code.count("{") - code.count("}")
            if depth_table <= 0:
                depth_table = 0
            continue
        if not stripped or SKIP_LINE.match(code) or TABLE_LINE.match(code):
            continue

        def add(start: int, end: int, new: str, kind: str) -> None:
            result.append(Mutant(rel, no, start, end, new, kind))

        for m in CMP.finditer(code):
            op = m.group(1)
            add(m.start(1), m.end(1), FLIP[op], "compare")
            if op in ("<", "<=", ">", ">="):
                r = RHS.match(code, m.end(1))
                if r and not OFF_BY_ONE.match(code, r.end(1)):
                    add(r.end(1), r.end(1), " + 1", "bound")
        for m in OFF_BY_ONE.finditer(code):
            add(m.start(), m.end(), "", "bound")
        if (not re.search(r"\[\s*\d+\s*\]\s*(=|;|\{)", code) and len(INT.findall(code)) < 4
                and not HINT_LINE.search(code)):
            for m in INT.finditer(code):
                if m.group(1) == "1" and OFF_BY_ONE.match(code, m.start() - 3):
                    continue
                k = int(m.group(1))
                new = {0: "1", 1: "0"}.get(k, str(k + 1))
                add(m.start(1), m.end(1), new, "constant")
        for m in LOGIC.finditer(code):
            add(m.start(1), m.end(1), "||" if m.group(1) == "&&" else "&&", "logic")
        for m in BOOL.finditer(code):
            add(m.start(1), m.end(1), "false" if m.group(1) == "true" else "true", "logic")
        if GUARD.match(code) or RETURN_FAIL.match(code) or (ASSIGN.match(code) and "{" not in code):
            first = len(code) - len(code.lstrip())
            add(first, len(code.rstrip()), ";", "drop")
    return result


def sample(all_mutants: list[Mutant], count: int, seed: int, cost: dict[Path, int]) -> list[Mutant]:
    """`count` mutants shared among files in proportion to candidates / sqrt(cost), where cost is the
    number of objects compiled from the file: a header included everywhere rebuilds most of the tree
    for each of its mutants, so it is drawn less often. Picked by a seeded generator, grouped by file."""
    by_file: dict[Path, list[Mutant]] = {}
    for m in all_mutants:
        by_file.setdefault(m.path, []).append(m)
    if count >= len(all_mutants):
        return list(all_mutants)
    files = sorted(by_file)
    weight = {f: len(by_file[f]) / math.sqrt(max(1, cost.get(f, 1))) for f in files}
    total = sum(weight.values())
    share = {f: count * weight[f] / total for f in files}
    quota = {f: min(len(by_file[f]), int(share[f])) for f in files}
    # Largest remainders first; ties by path, so the allocation does not depend on the seed.
    order = sorted(files, key=lambda f: (-(share[f] - int(share[f])), str(f)))
    while sum(quota.values()) < count:
        for f in order:
            if sum(quota.values()) < count and quota[f] < len(by_file[f]):
                quota[f] += 1
    rng = random.Random(seed)
    picked = []
    for f in files:
        picked += sorted(rng.sample(by_file[f], quota[f]), key=lambda m: (m.line, m.start, m.kind))
    return picked


# --- building and testing -----------------------------------------------------------------------------

def tool(name: str) -> str:
    venv = ROOT / os.environ.get("VENV", ".venv") / "bin" / name
    found = str(venv) if venv.exists() else shutil.which(name)
    if not found:
        sys.exit(f"mutate: {name} not found (run `make setup` or install it)")
    return found


def run(cmd: list[str], timeout: float | None = None) -> subprocess.CompletedProcess:
    return subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=timeout)


class Builder:
    def __init__(self, build: Path, test_timeout: float):
        self.build = build
        self.cmake, self.ctest = tool("cmake"), tool("ctest")
        self.test_timeout = test_timeout

    def configure(self) -> None:
        # Optimised enough for quick suites, no debug info for quick links; the library's own bounds
        # assertions turn out-of-range indexing into failures without the cost of a sanitizer build.
        r = run([self.cmake, "-S", str(CODEC), "-B", str(self.build), "-G", "Ninja",
                 "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -D_GLIBCXX_ASSERTIONS", "-DVELTRAC_SANITIZE=OFF",
                 "-DVELTRAC_TESTS=ON"])
        if r.returncode:
            sys.exit("mutate: configure failed\n" + r.stdout)

    def compile(self) -> tuple[bool, str]:
        r = run([self.cmake, "--build", str(self.build), "--target", "all_tests", "-j2"], timeout=1800)
        return r.returncode == 0, r.stdout

    def test(self) -> tuple[bool, str]:
        r = run([self.ctest, "--test-dir", str(self.build), "--timeout", str(self.test_timeout),
                 "--stop-on-failure", "--output-on-failure"])
        if r.returncode == 0:
            return True, ""
        return False, "timeout" if "Timeout" in r.stdout else "failed"

    def built_files(self) -> dict[Path, int]:
        """Every source and header of the build, with the number of objects compiled from it."""
        r = run([tool("ninja"), "-C", str(self.build), "-t", "deps"])
        out: dict[Path, int] = {}
        for line in r.stdout.splitlines():
            if line.startswith("    "):
                p = Path(line.strip())
                p = p if p.is_absolute() else self.build / p
                try:
                    rel = p.resolve().relative_to(ROOT)
                except ValueError:
                    continue
                out[rel] = out.get(rel, 0) + 1
        return out


def main() -> int:
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seed", type=int, default=1, help="sampling seed (default 1)")
    ap.add_argument("--count", type=int, default=100, help="mutants to run (default 100; 0 = all)")
    ap.add_argument("--build", default="build/mutate", help="build directory (default build/mutate)")
    ap.add_argument("--timeout", type=float, default=20, help="seconds per suite before a mutant counts as "
                    "killed by a hang (default 20)")
    ap.add_argument("--list", action="store_true", help="build, list the sampled mutants and exit")
    ap.add_argument("--files", nargs="*", help="only these source files (paths relative to the repository)")
    args = ap.parse_args()

    build = (ROOT / args.build).resolve()
    builder = Builder(build, args.timeout)
    files = source_files()
    if args.files:
        wanted = {Path(f) for f in args.files}
        files = [f for f in files if f in wanted]
    builder.configure()
    ok, log = builder.compile()
    if not ok:
        sys.exit("mutate: the unmutated sources do not build\n" + log)
    if not args.list and not builder.test()[0]:
        sys.exit("mutate: the suites fail on the unmutated sources")
    built = builder.built_files()
    unbuilt = [f for f in files if f not in built]
    if unbuilt:
        print("mutate: not compiled into any suite, skipped: " + ", ".join(map(str, unbuilt)))
    files = [f for f in files if f in built]

    all_mutants = [m for f in files for m in candidates(f)]
    picked = sample(all_mutants, args.count or len(all_mutants), args.seed, built)
    originals = {m.path: (ROOT / m.path).read_text() for m in picked}
    print(f"mutate: {len(all_mutants)} candidates in {len(files)} files; running {len(picked)} "
          f"(seed {args.seed})")
    if args.list:
        for m in picked:
            print(m.describe(originals[m.path]))
        return 0

    # SIGTERM unwinds like Ctrl-C so the finally below restores the file.
    def interrupt(*_: object) -> None:
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, interrupt)
    results: list[tuple[Mutant, str]] = []
    started = time.monotonic()
    current: Path | None = None
    try:
        for i, m in enumerate(picked, start=1):
            original = originals[m.path]
            current = m.path
            (ROOT / m.path).write_text(m.apply(original))
            try:
                ok, _ = builder.compile()
                if not ok:
                    outcome = "invalid"
                else:
                    passed, why = builder.test()
                    outcome = "survived" if passed else f"killed ({why})"
            finally:
                (ROOT / m.path).write_text(original)
                current = None
            results.append((m, outcome))
            print(f"[{i}/{len(picked)} {time.monotonic() - started:5.0f}s] {outcome:16} "
                  f"{m.describe(original)}", flush=True)
    except KeyboardInterrupt:
        print("mutate: interrupted; sources restored", file=sys.stderr)
        return 130
    finally:
        if current is not None:
            (ROOT / current).write_text(originals[current])
    builder.compile()  # leave the build directory matching the sources

    elapsed = time.monotonic() - started
    invalid = sum(1 for _, o in results if o == "invalid")
    survived = [m for m, o in results if o == "survived"]
    killed = len(results) - invalid - len(survived)
    score = killed / (killed + len(survived)) if killed + len(survived) else 0.0
    summary = (f"seed {args.seed}, count {args.count}: sampled {len(results)}, invalid {invalid}, "
               f"killed {killed}, survived {len(survived)}, score {score:.1%} ({elapsed:.0f}s)")
    lines = [summary, "", "Surviving mutants:"] + [m.describe(originals[m.path]) for m in survived]
    lines += ["", "All mutants:"] + [f"{o:16} {m.describe(originals[m.path])}" for m, o in results]
    (build / "report.txt").write_text("\n".join(lines) + "\n")
    print()
    print("\n".join(lines[: 3 + len(survived)]))
    print(f"\nreport: {build / 'report.txt'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
