"""Writes the seed inputs of the animated-PNG harness (apng_fuzzer.cc).

Animated PNGs from a real encoder (Pillow) in every colour type, blend and
dispose mode, with and without a default image outside the animation, and
interlaced animations built by hand (Pillow writes none), so that the row
order of every Adam7 pass is reached:

    .venv/bin/python fuzz/native/make_apng_seeds.py

The files are small and committed; rerun this after changing it.
"""

from __future__ import annotations

import shutil
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent.parent / "tests"))

from support import apng  # noqa: E402


def seeds() -> dict[str, bytes]:
    out = {}
    for mode in ("RGBA", "RGB", "P", "L", "LA"):
        for disposal in (0, 1, 2):
            for blend in (0, 1):
                out[f"{mode}_dispose{disposal}_blend{blend}.png"] = apng.write(mode, disposal=disposal, blend=blend)
        out[f"{mode}_default_image.png"] = apng.write(mode, size=(9, 6), default_image=True, disposal=1)
        out[f"{mode}_subregions.png"] = apng.write(mode, size=(21, 11), patch=True, disposal=2, blend=1)
    rng = np.random.default_rng(3)
    for channels, (w, h) in ((1, (5, 3)), (2, (2, 9)), (3, (13, 7)), (4, (1, 1))):
        images = [rng.integers(0, 256, (h, w, channels), dtype=np.uint8) for _ in range(3)]
        out[f"interlaced_{channels}ch_{w}x{h}.png"] = apng.handmade(images)
    return out


def main() -> None:
    target = HERE / "seeds" / "apng"
    shutil.rmtree(target, ignore_errors=True)
    target.mkdir(parents=True)
    for name, data in sorted(seeds().items()):
        (target / name).write_bytes(data)
    print(f"{len(seeds())} seeds in {target}")


if __name__ == "__main__":
    main()
