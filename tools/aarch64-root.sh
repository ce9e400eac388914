#!/usr/bin/env bash
# Makes an ARM64 Debian 12 root (debootstrap from Debian's packages) that runs
# here through qemu-user-static, with python3, venv and the CPython 3.11
# headers the cross build compiles against. Needs root.
#   tools/aarch64-root.sh DIR      (a no-op when DIR is already complete)
set -euo pipefail
root=${1:?usage: tools/aarch64-root.sh DIR}
stamp=$root/.root-complete
suite=bookworm

# qemu, debootstrap and the binfmt registration that lets the kernel hand
# aarch64 executables to qemu (the F flag keeps the host's qemu usable inside
# the chroot, so nothing has to be copied into it).
tools/aarch64-binfmt.sh

[ -e "$stamp" ] && exit 0

# Same Debian mirror apt uses on this machine (deb822 or one-line sources),
# falling back to Debian's redirector.
mirror=$(awk '
  /^URIs:/ { uri = $2 } /^Suites:/ && uri != "" { for (i = 2; i <= NF; i++) if ($i == "'$suite'") { print uri; exit } }
  /^deb / { for (i = 2; i <= NF; i++) if ($i ~ /^(https?|file):/) { if ($(i+1) == "'$suite'") { print $i; exit } } }
' /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list 2>/dev/null | head -n 1 || true)
mirror=${mirror:-http://deb.debian.org/debian}
echo "aarch64 root: Debian $suite arm64 from $mirror into $root"

rm -rf "$root"
mkdir -p "$root"
debootstrap --arch=arm64 --foreign --variant=minbase \
  --include=python3,python3-venv,libpython3.11-dev "$suite" "$root" "$mirror"
# The second stage runs arm64 binaries (under qemu). Its own /proc mount lives
# in a private mount namespace, so nothing stays mounted inside the root.
unshare --mount --propagation private chroot "$root" /debootstrap/debootstrap --second-stage
touch "$stamp"
