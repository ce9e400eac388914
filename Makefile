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
