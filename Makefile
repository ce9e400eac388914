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
