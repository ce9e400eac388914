#!/usr/bin/env bash
# Builds the package in one of the configurations whose pixel results must
# not differ from the default build, into its own virtualenv, and runs the
# tests that hold the kernels against OpenCV, NumPy and each other there.
#
#   tools/kernel_build.sh v3        # -march=x86-64-v3: FMA and AVX2 in the baseline
#   tools/kernel_build.sh portable  # vector paths compiled out, as on non-x86 machines
#   tools/kernel_build.sh MODE tests/test_x.py ...  # other pytest arguments
set -euo pipefail
cd "$(dirname "$0")/.."

MODE=${1:?usage: tools/kernel_build.sh v3|portable [pytest args]}
shift
case "$MODE" in
    v3) DEFINES=(-C "cmake.define.CMAKE_CXX_FLAGS=-march=x86-64-v3") ;;
    portable) DEFINES=(-C "cmake.define.TESSEL_PORTABLE_KERNELS=ON") ;;
    *) echo "kernel_build: unknown mode $MODE" >&2; exit 2 ;;
esac

PYTHON=${PYTHON:-python3}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
VENV=build/$MODE-venv
PY=$VENV/bin/python
PIP="$PY -m pip --disable-pip-version-check -q"

if [ ! -x "$PY" ]; then
    "$PYTHON" -m venv "$VENV"
    $PIP install --upgrade pip
fi
DEPS=$("$PY" -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb"))["project"]; print(" ".join(p["dependencies"] + p["optional-dependencies"]["test"]))')
# shellcheck disable=SC2086  # one word per requirement
$PIP install $DEPS scikit-build-core cmake ninja
$PIP install --no-build-isolation --force-reinstall --no-deps -C "build-dir=build/$MODE" "${DEFINES[@]}" .

# Refuse to report on a build that is not the one asked for: with FMA in
# the baseline, no kernel may hold a fused multiply-add but the AVX2
# spectrum sums, which use them on purpose; the portable build must hold no
# 256-bit vector code at all.
if [ "$MODE" = v3 ]; then
    for obj in "build/$MODE"/CMakeFiles/kernels.dir/src/native/image/kernels/*.o; do
        [[ $obj == */spectrum_avx2.cpp.o ]] && continue
        code=$(objdump -d "$obj")  # not piped into grep -q: SIGPIPE would fail the pipeline
        if grep -qE 'vfn?m(add|sub)' <<<"$code"; then
            echo "kernel_build: $obj fuses multiplies and adds" >&2
            exit 1
        fi
    done
fi
if [ "$MODE" = portable ]; then
    for so in "$VENV"/lib/python3*/site-packages/tessel/*.so; do
        code=$(objdump -d "$so")  # not piped into grep -q: SIGPIPE would fail the pipeline
        if grep -q '%ymm' <<<"$code"; then
            echo "kernel_build: $so holds AVX code in a portable build" >&2
            exit 1
        fi
    done
fi

[ $# -gt 0 ] || set -- tests/test_gray_kernels.py tests/test_canny_clahe.py tests/test_clahe_paths.py \
    tests/test_byte_count.py tests/test_plain_gray_paths.py tests/test_colored_lines.py tests/test_cpu_dispatch.py
"$PY" -m pytest -q -p no:cacheprovider "$@"
