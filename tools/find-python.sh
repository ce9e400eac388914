#!/bin/sh
# Prints the path of a CPython interpreter of version X.Y: pyenv's when pyenv
# has it, else pythonX.Y on PATH. Fails loudly when there is none.
#   tools/find-python.sh 3.12
v=${1:?usage: tools/find-python.sh X.Y}
if command -v pyenv >/dev/null 2>&1; then
  prefix=$(pyenv prefix "$v" 2>/dev/null) && [ -x "$prefix/bin/python$v" ] && { echo "$prefix/bin/python$v"; exit 0; }
fi
if command -v "python$v" >/dev/null 2>&1; then command -v "python$v"; exit 0; fi
echo "find-python: no CPython $v (neither pyenv nor python$v on PATH)" >&2
exit 1
