"""Fails unless every extension module in the given wheels exports nothing
but its PyInit_ function: the C++ runtime linked into a manylinux wheel must
stay hidden, so that no other library in the process binds to its symbols.
Reads ELF of any architecture (pyelftools, which auditwheel brings).
    python tools/wheel-exports.py WHEEL...
"""

import io
import sys
import zipfile

from elftools.elf.elffile import ELFFile


def exports(elf_bytes):
    """The names of the defined global and weak dynamic symbols."""
    dynsym = ELFFile(io.BytesIO(elf_bytes)).get_section_by_name(".dynsym")
    return sorted(
        s.name
        for s in dynsym.iter_symbols()
        if s.name and s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
    )


def main(wheels):
    bad = 0
    for wheel in wheels:
        with zipfile.ZipFile(wheel) as z:
            modules = [n for n in z.namelist() if n.endswith(".so")]
            if not modules:
                print(f"{wheel}: no extension module")
                bad += 1
            for name in modules:
                module = name.rsplit("/", 1)[-1].split(".", 1)[0]
                found = exports(z.read(name))
                ok = found == [f"PyInit_{module}"]
                bad += not ok
                print(f"{'ok ' if ok else 'BAD'} {name}: exports {', '.join(found) or 'nothing'}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
