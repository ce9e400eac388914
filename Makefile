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
