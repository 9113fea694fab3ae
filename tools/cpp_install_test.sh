#!/usr/bin/env bash
# Tests the codec the way C++ users consume it: installs it into a staging prefix, checks the installed
# tree against tools/cpp_installed_files.txt, then builds examples/cpp against that prefix twice (with
# CMake's find_package and with a plain compiler command line from pkg-config) and checks the output of
# each build against examples/cpp/expected_output.txt.
#   tools/cpp_install_test.sh [build-dir]    (default build/install-test)
set -euo pipefail
cd "$(dirname "$0")/.."

CMAKE="${CMAKE:-cmake}"
CXX="${CXX:-g++}"
OUT="${1:-build/install-test}"
mkdir -p "$OUT"
OUT="$(cd "$OUT" && pwd)"
STAGE="$OUT/stage"

"$CMAKE" -S veltrac-codec -B "$OUT/codec" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$CXX" \
  -DVELTRAC_WERROR=ON -DVELTRAC_TESTS=OFF -DCMAKE_INSTALL_PREFIX="$STAGE" >/dev/null
"$CMAKE" --build "$OUT/codec" -j2
rm -rf "$STAGE"
"$CMAKE" --install "$OUT/codec" >/dev/null

# Only public headers, the library, the CMake package and the pkg-config file.
if ! diff -u tools/cpp_installed_files.txt <(cd "$STAGE" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort); then
  echo "cpp-install-test: the installed tree differs from tools/cpp_installed_files.txt" >&2
  exit 1
fi

# Every public header compiles on its own.
for h in $(cd "$STAGE/include" && find veltrac -name '*.hpp' | LC_ALL=C sort); do
  echo "#include <$h>" | "$CXX" -std=c++23 -fsyntax-only -Wall -Wextra -Werror -I"$STAGE/include" -x c++ - \
    || { echo "cpp-install-test: $h does not compile on its own" >&2; exit 1; }
done

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
"$CXX" -std=c++23 -o "$OUT/example-pc/device_round" examples/cpp/device_round.cpp \
  $(PKG_CONFIG_PATH="$STAGE/lib/pkgconfig" pkg-config --cflags --libs veltrac-codec)
check_output "$OUT/example-pc/device_round"
