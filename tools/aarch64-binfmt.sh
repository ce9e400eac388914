#!/usr/bin/env bash
# Installs qemu-user-static and debootstrap when missing and registers
# qemu-aarch64 with binfmt_misc (fix-binary flag), so aarch64 executables run
# here. Needs root; a no-op when all is in place.
set -euo pipefail
need=()
command -v debootstrap >/dev/null || need+=(debootstrap)
command -v qemu-aarch64-static >/dev/null || need+=(qemu-user-static)
command -v update-binfmts >/dev/null || need+=(binfmt-support)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
fi
bm=/proc/sys/fs/binfmt_misc
[ -e $bm/register ] || mount -t binfmt_misc binfmt_misc $bm
if ! grep -qx enabled $bm/qemu-aarch64 2>/dev/null; then
  update-binfmts --enable qemu-aarch64 || true
fi
if ! grep -qx enabled $bm/qemu-aarch64 2>/dev/null; then
  # No binfmt-support entry: register qemu directly.
  printf '%s' ':qemu-aarch64:M::\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$(command -v qemu-aarch64-static)"':F' > $bm/register
fi
grep -qx enabled $bm/qemu-aarch64
