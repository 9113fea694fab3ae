# Every target sets itself up on a fresh machine (see tools/bootstrap.sh).
VENV      ?= .venv
PY        := $(VENV)/bin/python
CMAKE     := $(VENV)/bin/cmake
ASAN_DIR  := build/asan
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
# Debian packages the bootstrap installs when missing (clang 16 and its runtimes build the fuzz targets
# and check the codec with a second compiler; pkg-config links the C++ example).
export DEB_PACKAGES ?= libgtest-dev clang-16 libclang-rt-16-dev pkg-config
FUZZ_SECONDS ?= 600
FUZZ_SMOKE_SECONDS ?= 5

.PHONY: all setup tools format format-check tidy test py-test-sanitized cpp-test cpp-install-test cpp-test-clang py-test docs fuzz fuzz-smoke float-check demo clean test-all bench mutate

all: test

setup:
	tools/bootstrap.sh test,docs

# What the C++ targets need: Debian packages, the environment with CMake and Ninja; not the wheel.
tools:
	tools/bootstrap.sh none

# The layout check, the C++ suites under AddressSanitizer and UndefinedBehaviorSanitizer, the installed C++
# package, the suites built with clang 16 as a shared library, a short fuzz run, the Python suite, then its
# thread tests against the extension built with ThreadSanitizer, and the API reference.
test: format-check cpp-test cpp-install-test cpp-test-clang fuzz-smoke py-test py-test-sanitized docs

cpp-test: tools
	$(CMAKE) -S veltrac-codec -B $(ASAN_DIR) -G Ninja -DVELTRAC_SANITIZE=ON -DVELTRAC_WERROR=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	$(CMAKE) --build $(ASAN_DIR) --target all_tests -j2
	@ln -sf $(ASAN_DIR)/compile_commands.json compile_commands.json
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		$(VENV)/bin/ctest --test-dir $(ASAN_DIR) --output-on-failure

# The codec installed into a staging prefix (static library), then examples/cpp built against it with
# find_package and with pkg-config, and the installed tree listed (tools/cpp_install_test.sh).
cpp-install-test: tools
	CMAKE=$(CMAKE) tools/cpp_install_test.sh build/install-test

# The same with clang 16 and the shared library, after building and running the C++ suites; kept cheap
# (no sanitizers, no optimisation): it checks the compiler and the exported symbols, not speed.
cpp-test-clang: tools
	CMAKE=$(CMAKE) CXX=clang++-16 SHARED=ON TESTS=ON OPT=-O0 tools/cpp_install_test.sh build/clang

# Layout of every C++ file by .clang-format (clang-format 16 from Debian): `format` rewrites, `format-check`
# fails on any difference. `tidy` runs clang-tidy 16 (.clang-tidy) over the codec and the extension.
CXX_FILES = $(shell git ls-files '*.cpp' '*.hpp' '*.h')
CLANG_CHECK_PACKAGES := clang-format-16 clang-tidy-16
format:
	DEB_PACKAGES="$(CLANG_CHECK_PACKAGES)" tools/bootstrap.sh none
	clang-format-16 -i $(CXX_FILES)

format-check:
	DEB_PACKAGES="$(CLANG_CHECK_PACKAGES)" tools/bootstrap.sh none
	clang-format-16 --dry-run --Werror $(CXX_FILES)

# clang 16 reads the g++ compile commands with the language level and the libstdc++ concepts fix-up it needs.
tidy: cpp-test
	DEB_PACKAGES="$(CLANG_CHECK_PACKAGES)" tools/bootstrap.sh none
	run-clang-tidy-16 -quiet -p $(ASAN_DIR) -extra-arg=-std=c++2b -extra-arg=-U__cpp_concepts -extra-arg=-D__cpp_concepts=202002L \
		'veltrac-codec/(src|include)/.*\.cpp$$'

# pytest exits 5 when it collects no tests: that is a failure of the suite.
py-test: setup
	@$(PY) -m pytest -q tests; status=$$?; \
	if [ $$status -eq 5 ]; then echo "py-test: no tests were collected" >&2; exit 1; fi; exit $$status

# The API reference (mkdocs.yml) from docs/ and the stubs into build/site, offline, warnings as errors.
docs: setup
	$(VENV)/bin/mkdocs build --strict --quiet

# The thread tests against the extension built with ThreadSanitizer (AddressSanitizer: SAN=address).
SAN ?= thread
py-test-sanitized: tools
	tools/sanitized_py_test.sh $(SAN) tests/test_threads.py

# libFuzzer targets (fuzz/): saved regressions, then each target for a few seconds / FUZZ_SECONDS each.
fuzz-smoke: tools
	fuzz/run.sh smoke $(FUZZ_SMOKE_SECONDS)

fuzz: tools float-check
	fuzz/run.sh long $(FUZZ_SECONDS)

# The float writer against std::to_chars on FLOAT_CHECKS random doubles besides the boundary cases, in a
# Release build (`make cpp-test` runs the same test on 100,000).
FLOAT_CHECKS ?= 300000000
RELEASE_DIR  := build/release
float-check: tools
	$(CMAKE) -S veltrac-codec -B $(RELEASE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	$(CMAKE) --build $(RELEASE_DIR) --target util_tests -j2
	VELTRAC_FLOAT_CHECKS=$(FLOAT_CHECKS) nice -n 10 $(RELEASE_DIR)/util_tests --gtest_filter='ShortestDecimal.*'

# The Python suite on every supported CPython, each in its own .venv-3.x, after checking the wheel's contents.
PY_VERSIONS ?= 3.10 3.11 3.12 3.13
test-all:
	tools/test-all.sh $(PY_VERSIONS)

# Benchmarks (bench/): the package with its bench extras, the codec's Google Benchmark binary, then one
# table of veltrac against msgpack, cbor2, json and orjson, all measured in the same run. No pass/fail.
# BENCH_ARGS is passed to bench/run.py, e.g. BENCH_ARGS="--rounds 25" or BENCH_ARGS="--clock cpu".
BENCH_DIR  := build/bench
BENCH_ARGS ?=
bench:
	DEB_PACKAGES="$(DEB_PACKAGES) libbenchmark-dev" tools/bootstrap.sh test,bench
	$(CMAKE) -S bench/cpp -B $(BENCH_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	$(CMAKE) --build $(BENCH_DIR) --target codec_bench -j2
	$(PY) bench/run.py --cpp $(BENCH_DIR)/codec_bench $(BENCH_ARGS)

# Mutation run over the codec's sources against its C++ suites (tools/mutate.py --help); does not build the wheel. MUTATE_ARGS is passed on, e.g. MUTATE_ARGS="--seed 2 --count 40".
MUTATE_ARGS ?=
mutate: tools
	$(PY) tools/mutate.py $(MUTATE_ARGS)

demo: setup
	$(PY) -m veltrac decode

clean:
	rm -rf build $(VENV)
