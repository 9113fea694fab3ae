#!/usr/bin/env bash
# Sets up everything `make` needs on a fresh machine: Debian packages (only when missing), the virtual
# environment with CPython 3.12 (or python3 >= 3.10), the build tools, and the package with its extras.
# Usage: tools/bootstrap.sh [extras]   e.g. tools/bootstrap.sh test   or   tools/bootstrap.sh test,bench
#        tools/bootstrap.sh none     the Debian packages, the environment and the build tools only
set -euo pipefail
cd "$(dirname "$0")/.."

EXTRAS="${1:-test}"
VENV="${VENV:-.venv}"

need_debs=()
for pkg in ${DEB_PACKAGES:-libgtest-dev}; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_debs+=("$pkg")
done
if ((${#need_debs[@]})); then
  echo "bootstrap: installing Debian packages: ${need_debs[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_debs[@]}" >/dev/null
fi

find_python() {
  local cand
  for cand in "${PYTHON:-}" "$HOME"/.pyenv/versions/3.12*/bin/python3 /root/.pyenv/versions/3.12*/bin/python3; do
    if [ -n "$cand" ] && [ -x "$cand" ]; then echo "$cand"; return; fi
  done
  if command -v pyenv >/dev/null 2>&1; then
    cand="$(pyenv root)/versions/$(pyenv versions --bare | grep -E '^3\.12' | tail -1)/bin/python3"
    if [ -x "$cand" ]; then echo "$cand"; return; fi
  fi
  if command -v python3.12 >/dev/null 2>&1; then command -v python3.12; return; fi
  if command -v python3 >/dev/null 2>&1 && python3 -c 'import sys; sys.exit(sys.version_info < (3, 10))'; then
    echo "bootstrap: CPython 3.12 not found; falling back to $(python3 --version) (supported: 3.10 to 3.13)" >&2
    command -v python3
    return
  fi
  echo "bootstrap: no CPython >= 3.10 found; install CPython 3.12 (for example with pyenv)" >&2
  exit 1
}

if [ ! -x "$VENV/bin/python" ]; then
  PY="$(find_python)"
  echo "bootstrap: creating $VENV with $("$PY" --version)"
  "$PY" -m venv "$VENV"
fi

"$VENV/bin/python" -m pip install -q --disable-pip-version-check cmake ninja
[ "$EXTRAS" = none ] && exit 0
echo "bootstrap: building and installing veltrac[$EXTRAS]"
# Development builds treat the extension's warnings as errors (a plain `pip install .` does not).
"$VENV/bin/python" -m pip install -q --disable-pip-version-check \
  --config-settings=cmake.define.VELTRAC_WERROR=ON ".[$EXTRAS]"
