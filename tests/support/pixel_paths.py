"""Ways the image module can reach decoded pixels, as a parametrized fixture.

The module reads an image held in one memory block in place, through
Pillow's Arrow export; a larger image band by band, each band copied out by
crop and exported in place, or packed by tobytes when the export is missing
(older Pillow) or refused (band memory split over several blocks). Tests that
take the `pixel_read_path` fixture run once per way.
"""

from __future__ import annotations

import pytest
from PIL import Image


@pytest.fixture(params=["whole", "bands", "split_blocks", "no_arrow"])
def pixel_read_path(request, monkeypatch):
    if request.param == "bands":
        # Blocks of 2 MiB: a test image of a few MiB spans several, while a
        # band (about 0.5 MiB) fits in one.
        old = Image.core.get_block_size()
        Image.core.set_block_size(2 << 20)
        request.addfinalizer(lambda: Image.core.set_block_size(old))
    elif request.param == "split_blocks":
        # Blocks far smaller than a band: every band spans several blocks,
        # so the Arrow export refuses it.
        old = Image.core.get_block_size()
        Image.core.set_block_size(4096)
        request.addfinalizer(lambda: Image.core.set_block_size(old))
    elif request.param == "no_arrow":
        monkeypatch.delattr(Image.Image, "__arrow_c_array__")
    return request.param
