#!/usr/bin/env bash
# Tests the codec the way C++ users consume it: installs it into a staging prefix, checks the installed
# tree against tools/cpp_installed_files.txt, then builds examples/cpp against that prefix twice (with
# CMake's find_package and with a plain compiler command line from pkg-config) and checks the output of
# each build against examples/cpp/expected_output.txt.
#   tools/cpp_install_test.sh [build-dir]    (default build/install-test)
# Environment: CXX (default g++); SHARED=ON builds the shared library and checks the symbols it exports;
# TESTS=ON also builds the codec's test suites in the same build and runs them before installing;
# OPT overrides the optimisation flags of the Release build (for a cheaper check).
set -euo pipefail
cd "$(dirname "$0")/.."

CMAKE="${CMAKE:-cmake}"
CXX="${CXX:-g++}"
SHARED="${SHARED:-OFF}"
TESTS="${TESTS:-OFF}"
OUT="${1:-build/install-test}"
mkdir -p "$OUT"
OUT="$(cd "$OUT" && pwd)"
STAGE="$OUT/stage"

opt=()
[ -n "${OPT:-}" ] && opt=(-DCMAKE_CXX_FLAGS_RELEASE="$OPT")
"$CMAKE" -S veltrac-codec -B "$OUT/codec" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$CXX" "${opt[@]}" \
  -DVELTRAC_WERROR=ON -DVELTRAC_TESTS="$TESTS" -DBUILD_SHARED_LIBS="$SHARED" -DCMAKE_INSTALL_PREFIX="$STAGE" >/dev/null
"$CMAKE" --build "$OUT/codec" -j2
if [ "$TESTS" = ON ]; then
  "$CMAKE" --build "$OUT/codec" -j2 --target all_tests
  "${CTEST:-ctest}" --test-dir "$OUT/codec" --output-on-failure
fi
rm -rf "$STAGE"
"$CMAKE" --install "$OUT/codec" >/dev/null

# Only public headers, the library, the CMake package and the pkg-config file.
expected=$(cat tools/cpp_installed_files.txt)
if [ "$SHARED" = ON ]; then
  v=$(sed -n 's/^#define VELTRAC_VERSION_STRING "\(.*\)"$/\1/p' veltrac-codec/include/veltrac/version.hpp)
  so="lib/libveltrac_codec.so"
  expected=$(echo "$expected" | sed "s|^lib/libveltrac_codec.a\$|$so\n$so.${v%.*}\n$so.$v|" | LC_ALL=C sort)
fi
if ! diff -u <(echo "$expected") <(cd "$STAGE" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort); then
  echo "cpp-install-test: the installed tree differs from tools/cpp_installed_files.txt" >&2
  exit 1
fi

# A shared library exports the public API and hides the internal functions.
if [ "$SHARED" = ON ]; then
  exported=$(nm -DC --defined-only "$STAGE/lib/libveltrac_codec.so")
  for sym in 'veltrac::HcyMsg::from_bytes(' 'veltrac::version()' 'veltrac::VeltracError::message'; do
    grep -qF "$sym" <<<"$exported" || { echo "cpp-install-test: $sym is not exported" >&2; exit 1; }
  done
  for sym in 'veltrac::utf8::validate(' 'veltrac::json::write_string(' 'veltrac::append_debug_str(' \
    'veltrac::detail::read_table('; do
    if grep -qF "$sym" <<<"$exported"; then echo "cpp-install-test: internal $sym is exported" >&2; exit 1; fi
  done
  echo "cpp-install-test: $(grep -c ' veltrac::' <<<"$exported") veltrac symbols exported, internal ones hidden"
fi

# Plain command lines with clang 16 spell the standard c++2b and need the flags that the CMake package
# adds for it.
extra=(-std=c++23)
if "$CXX" --version | grep -q 'clang version 16'; then
  extra=(-std=c++2b -D__cpp_concepts=202002L -Wno-builtin-macro-redefined -Wno-macro-redefined)
fi

# Every public header compiles on its own.
export CXX STAGE
(cd "$STAGE/include" && find veltrac -name '*.hpp') | LC_ALL=C sort | xargs -P2 -I{} sh -c \
  'echo "#include <{}>" | "$CXX" -fsyntax-only -Wall -Wextra -Werror "$@" -I"$STAGE/include" -x c++ - \
   || { echo "cpp-install-test: {} does not compile on its own" >&2; exit 255; }' sh "${extra[@]}"

check_output() {
  if ! diff -u examples/cpp/expected_output.txt <("$1"); then
    echo "cpp-install-test: $1 printed other output than examples/cpp/expected_output.txt" >&2
    exit 1
  fi
  echo "cpp-install-test: $1: output as expected"
}

# find_package(veltrac_codec 0.6 CONFIG) from the staged prefix.
"$CMAKE" -S examples/cpp -B "$OUT/example" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_PREFIX_PATH="$STAGE" >/dev/null
"$CMAKE" --build "$OUT/example"
check_output "$OUT/example/device_round"

# pkg-config and a plain compiler command line.
mkdir -p "$OUT/example-pc"
# shellcheck disable=SC2046
"$CXX" "${extra[@]}" -o "$OUT/example-pc/device_round" examples/cpp/device_round.cpp \
  $(PKG_CONFIG_PATH="$STAGE/lib/pkgconfig" pkg-config --cflags --libs veltrac-codec)
if [ "$SHARED" = ON ]; then
  LD_LIBRARY_PATH="$STAGE/lib" check_output "$OUT/example-pc/device_round"
else
  check_output "$OUT/example-pc/device_round"
fi
