#!/bin/sh
# Prints the path of a CPython interpreter of the given version (e.g. 3.12),
# or fails loudly. Looks in pyenv first (its shims on PATH may name a
# version that is installed but not selected), then on PATH; every
# candidate must really run and be that version.
set -u
version=${1:?usage: find_python.sh MAJOR.MINOR}

is_version() {
    [ -x "$1" ] && "$1" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" 2>/dev/null
}

if command -v pyenv >/dev/null 2>&1; then
    prefix=$(pyenv prefix "$version" 2>/dev/null) || prefix=
    for candidate in "$prefix/bin/python$version" "$prefix/bin/python3"; do
        if [ -n "$prefix" ] && is_version "$candidate"; then echo "$candidate"; exit 0; fi
    done
fi
candidate=$(command -v "python$version" 2>/dev/null) || candidate=
if [ -n "$candidate" ] && is_version "$candidate"; then echo "$candidate"; exit 0; fi

echo "find_python.sh: no CPython $version found (looked in pyenv and for python$version on PATH)" >&2
exit 1
