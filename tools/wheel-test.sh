#!/usr/bin/env bash
# Installs a wheel where a user would: a fresh venv of the wheel's own
# interpreter with no compiler reachable (PATH holds only the venv, CC/CXX are
# `false`, binary-only installs), then runs the test suite there.
#   tools/wheel-test.sh PYTHON WHEEL VENV_DIR
set -euo pipefail
py=${1:?python} wheel=$(cd "$(dirname "${2:?wheel}")" && pwd)/$(basename "$2") venv=${3:?venv dir}
rm -rf "$venv"
"$py" -m venv "$venv"
venv=$(cd "$venv" && pwd)
# The few ordinary tools the tests pipe through (no compiler among them).
for tool in head; do ln -s "$(command -v $tool)" "$venv/bin/$tool"; done
run() { env PATH="$venv/bin" CC=false CXX=false "$@"; }
if run /bin/sh -c 'for c in gcc g++ cc c++ clang clang++ zig; do command -v $c && exit 1; done; exit 0'; then :; else
  echo "wheel-test: a compiler is reachable" >&2; exit 1
fi
run "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: "$wheel[test]"
echo "== $(basename "$wheel") in $venv"
run "$venv/bin/python" -m pytest -q -p no:cacheprovider tests
