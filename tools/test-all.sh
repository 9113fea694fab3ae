#!/usr/bin/env bash
# Builds the wheel with each supported CPython, checks what the wheel holds, installs it into that
# version's own .venv-3.x (with the test and dev extras) and runs the Python suite there.
# Usage: tools/test-all.sh [VERSION...]   default: 3.10 3.11 3.12 3.13
# Interpreters are taken from pyenv (~/.pyenv/versions/3.x.*) or PATH (python3.x).
set -uo pipefail
cd "$(dirname "$0")/.."

VERSIONS=("$@")
((${#VERSIONS[@]})) || VERSIONS=(3.10 3.11 3.12 3.13)
PIP_FLAGS=(-q --disable-pip-version-check)

find_python() {
  local v="$1" cand
  for cand in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*/bin/python3; do
    [ -x "$cand" ] && { echo "$cand"; return 0; }
  done
  command -v "python$v" 2>/dev/null
}

test_version() {
  local v="$1" py venv dist wheel
  py="$(find_python "$v")" || { echo "test-all: CPython $v not found (install it with pyenv)" >&2; return 1; }
  venv=".venv-$v"
  dist="build/test-all/dist-$v"
  echo "== CPython $v ($py)"
  # A venv left half-made (no pip) is made again.
  "$venv/bin/python" -m pip --version >/dev/null 2>&1 || "$py" -m venv --clear "$venv" || return 1
  "$venv/bin/python" -m pip install "${PIP_FLAGS[@]}" cmake ninja scikit-build-core || return 1
  rm -rf "$dist"
  # The build runs in this venv (cmake and ninja from it) and in a build directory of its own.
  PATH="$PWD/$venv/bin:$PATH" "$venv/bin/python" -m pip wheel "${PIP_FLAGS[@]}" --no-deps --no-build-isolation \
    -w "$dist" --config-settings=build-dir="build/test-all/{wheel_tag}" . || return 1
  wheel="$(ls "$dist"/veltrac-*.whl)"
  "$venv/bin/python" tools/check_wheel.py "$wheel" || return 1
  "$venv/bin/python" -m pip install "${PIP_FLAGS[@]}" --force-reinstall --no-deps "$wheel" || return 1
  "$venv/bin/python" -m pip install "${PIP_FLAGS[@]}" "$wheel[test,dev]" || return 1
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests
}

failed=()
for v in "${VERSIONS[@]}"; do
  test_version "$v" || failed+=("$v")
done
if ((${#failed[@]})); then
  echo "test-all: failed on CPython ${failed[*]}" >&2
  exit 1
fi
echo "test-all: passed on CPython ${VERSIONS[*]}"
