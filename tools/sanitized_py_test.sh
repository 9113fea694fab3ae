#!/usr/bin/env bash
# The extension built with a sanitizer (address or thread) into its own environment, then the named tests
# run under it (the interpreter loads the sanitizer's runtime first).
# Usage: tools/sanitized_py_test.sh address|thread [pytest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
SAN="$1"
shift
VENV=".venv-$SAN"
case "$SAN" in
  address) FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"; LIB=libasan.so ;;
  thread) FLAGS="-fsanitize=thread -fno-omit-frame-pointer"; LIB=libtsan.so ;;
  *) echo "usage: $0 address|thread [pytest args]" >&2; exit 2 ;;
esac
# The sanitized build gets an environment of its own, made from the development one's interpreter.
tools/bootstrap.sh none >/dev/null
[ -x "$VENV/bin/python" ] || .venv/bin/python -m venv "$VENV"
"$VENV/bin/python" -m pip install -q --disable-pip-version-check pytest hypothesis
"$VENV/bin/python" -m pip install -q --disable-pip-version-check \
  --config-settings=build-dir="build/wheel-$SAN" --config-settings=cmake.build-type=RelWithDebInfo \
  --config-settings=cmake.define.CMAKE_CXX_FLAGS="$FLAGS" --config-settings=cmake.define.CMAKE_SHARED_LINKER_FLAGS="$FLAGS" .
# The sanitizer's runtime first, then libstdc++: the interpreter does not link libstdc++, so without it the
# runtime finds no __cxa_throw to intercept when it starts, and the first C++ exception (MemoryError and
# SystemError paths) aborts on a CHECK failure.
RUNTIME="$(g++ -print-file-name=$LIB) $(g++ -print-file-name=libstdc++.so)"
# The interpreter itself is not instrumented and keeps memory until exit: leak reports would be its own. A
# failed malloc returns NULL (the interpreter raises MemoryError) instead of aborting; a failed operator new
# still aborts under AddressSanitizer, which never throws std::bad_alloc for it.
ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tools/tsan.supp" \
  LD_PRELOAD="$RUNTIME" "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
