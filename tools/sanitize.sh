#!/usr/bin/env bash
# Builds both extension modules with AddressSanitizer and UndefinedBehavior-
# Sanitizer into their own virtualenv and runs the test suite (or the given
# pytest arguments) against that build.
#
#   tools/sanitize.sh                 # whole suite
#   tools/sanitize.sh tests/test_x.py # a subset
#   tools/sanitize.sh --fuzz HARNESS [libFuzzer flags]  # a fuzz harness instead
#
# The interpreter itself is not instrumented, so the ASan runtime is
# preloaded; PYTHONMALLOC=malloc routes every Python object through malloc so
# that a reference dropped too early by the extension shows up as a
# use-after-free instead of silently reusing a pymalloc slot.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
# Shared 2-core machines: keep the instrumented build at two jobs.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
VENV=${ASAN_VENV:-build/asan-venv}
PY=$VENV/bin/python
PIP="$PY -m pip --disable-pip-version-check -q"
FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1"

if [ ! -x "$PY" ]; then
    "$PYTHON" -m venv "$VENV"
    $PIP install --upgrade pip
fi
# The package's own runtime and test requirements, as pyproject.toml lists
# them, plus the build backend (the build below runs without isolation).
DEPS=$("$PY" -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb"))["project"]; print(" ".join(p["dependencies"] + p["optional-dependencies"]["test"]))')
# shellcheck disable=SC2086  # one word per requirement
$PIP install $DEPS scikit-build-core cmake ninja ${SANITIZE_EXTRA_PACKAGES:-}
$PIP install --no-build-isolation --force-reinstall --no-deps \
    -C build-dir=build/asan \
    -C cmake.build-type=RelWithDebInfo \
    -C "cmake.define.CMAKE_CXX_FLAGS=$FLAGS" \
    -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" \
    -C "cmake.define.CMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined" \
    .

# Refuse to report "clean" for a build that is not instrumented.
for so in "$VENV"/lib/python3*/site-packages/tessel/*.so; do
    symbols=$(nm -D "$so")  # not piped into grep -q: SIGPIPE would fail the pipeline
    if ! grep -q __asan_report <<<"$symbols"; then
        echo "sanitize: $so is not built with AddressSanitizer" >&2
        exit 1
    fi
done

ASAN_LIB=$(${CXX:-g++} -print-file-name=libasan.so)
UBSAN_LIB=$(${CXX:-g++} -print-file-name=libubsan.so)
SUPP=$(pwd)/tools/sanitize.supp
# pytest captures file descriptor 2 while a test runs, and an aborting process
# never hands that capture back: write the reports to files instead.
LOGDIR=$(pwd)/build/sanitize-logs
rm -rf "$LOGDIR"
mkdir -p "$LOGDIR"

# detect_leaks=0: CPython does not free its own heap at exit (interned
# strings, type caches, module state of numpy/cv2/Pillow), so LeakSanitizer
# reports thousands of interpreter allocations that are not ours. Leaks of the
# extensions are caught by the soak (tools/soak.py: RSS and reference counts),
# which runs right after this in CI.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1:allocator_may_return_null=1:suppressions=$SUPP:log_path=$LOGDIR/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:report_error_type=1:log_path=$LOGDIR/ubsan"
export PYTHONMALLOC=malloc

status=0
if [ "${1:-}" = "--fuzz" ]; then
    shift
    $PIP install atheris
    # Instrumented code runs several times slower: give each input longer.
    FUZZ_WORK=${FUZZ_WORK:-build/fuzz} LD_PRELOAD="$ASAN_LIB $UBSAN_LIB" "$PY" "$@" -timeout=60 || status=$?
else
    [ $# -gt 0 ] || set -- tests
    LD_PRELOAD="$ASAN_LIB $UBSAN_LIB" "$PY" -m pytest -p no:cacheprovider "$@" || status=$?
fi
if compgen -G "$LOGDIR/*" >/dev/null; then
    echo "sanitize: sanitizer reports:" >&2
    cat "$LOGDIR"/* >&2
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
