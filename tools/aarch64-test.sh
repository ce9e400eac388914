#!/usr/bin/env bash
# Runs tests against the aarch64 wheel in the ARM64 Debian root of
# tools/aarch64-root.sh, through qemu-user-static. The wheel's dependencies
# (and the test extra) are PyPI's aarch64 wheels for CPython 3.11, fetched
# here and installed offline inside the root. Needs root.
#   tools/aarch64-test.sh ROOT WHEEL [TEST PATH OR PYTEST ARGUMENT ...]
set -euo pipefail
root=$(cd "${1:?root}" && pwd) wheel=${2:?wheel}
shift 2
[ $# -gt 0 ] || set -- tests
tools_py=${TOOLS_PY:?TOOLS_PY: a Python with pip}
here=$(cd "$(dirname "$0")" && pwd)
"$here/aarch64-binfmt.sh"

# Every manylinux tag that Debian 12's glibc (2.36) accepts.
platforms=()
for minor in $(seq 17 36); do platforms+=(--platform "manylinux_2_${minor}_aarch64"); done
platforms+=(--platform manylinux2014_aarch64)
work=$root/opt/tessel-test
rm -rf "$work"
mkdir -p "$work/wheels"
cp "$wheel" "$work/wheels/"
"$tools_py" -m pip download -q --disable-pip-version-check --only-binary=:all: \
  --python-version 3.11 --implementation cp --abi cp311 "${platforms[@]}" \
  -d "$work/wheels" "$work/wheels/$(basename "$wheel")[test]"
cp -R tests "$work/tests"
# What tests read beside themselves: the README and its examples, the fuzzing
# helpers with the kept inputs they replay, the soak tool.
cp -R README.md examples "$work/"
mkdir -p "$work/fuzz" "$work/tools"
cp fuzz/*.py "$work/fuzz/" && cp -R fuzz/native "$work/fuzz/"
cp tools/*.py "$work/tools/"
find "$work/tests" -name __pycache__ -prune -exec rm -rf {} +

# /proc, /dev and a fresh /dev/shm (process pools need its semaphores)
# are mounted in a private mount namespace, so they vanish with it and
# nothing stays mounted inside the root.
unshare --mount --propagation private /bin/sh -eu -s "$root" "$@" <<'INNER'
root=$1; shift
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/dev/shm"
cp /etc/resolv.conf /etc/hosts "$root/etc/" 2>/dev/null || true
chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 /bin/sh -eu -s "$@" <<'CHROOT'
cd /opt/tessel-test
echo "== $(uname -m), $(python3 --version)"
python3 -m venv venv
venv/bin/python -m pip install -q --disable-pip-version-check --no-index --find-links wheels "$(ls wheels/tessel-*.whl)[test]"
venv/bin/python -c 'import platform, tessel.image; print("tessel on", platform.machine(), tessel.image.__file__)'
start=$(date +%s)
status=0
venv/bin/python -m pytest -q -p no:cacheprovider "$@" || status=$?
echo "== pytest under emulation: $(( $(date +%s) - start )) s"
exit $status
CHROOT
INNER
