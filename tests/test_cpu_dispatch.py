"""Run-time choice of the vector kernels: the processor features the kernels
see against the kernel's own list in /proc/cpuinfo, and every version of the
coloured-line pixel loop against NumPy."""

from __future__ import annotations

import platform

import numpy as np
import pytest

from tessel import _gray_kernels as K

# What each dispatch answer requires, in /proc/cpuinfo's flag names.
REQUIRES = {
    "avx2": {"avx2"},
    "avx2_fma": {"avx2", "fma"},
    "x86_64_v4": {"avx2", "fma", "avx512f", "avx512bw", "avx512cd", "avx512dq", "avx512vl"},
}


def cpuinfo_flags():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    return set()


@pytest.mark.skipif(platform.system() != "Linux" or platform.machine() != "x86_64", reason="reads x86-64 Linux flags")
@pytest.mark.parametrize("feature", sorted(REQUIRES))
def test_dispatch_sees_what_the_kernel_reports(feature):
    found = K.cpu_features()
    if found is None:
        pytest.skip("this build has no vector kernels")
    assert found[feature] == (REQUIRES[feature] <= cpuinfo_flags())


def reference_counts(pixels4, dark_max, gap):
    px = pixels4.reshape(-1, 4).astype(np.int32)
    r, g, b = px[:, 0], px[:, 1], px[:, 2]
    non_bg = ~(((r <= dark_max) & (g <= dark_max) & (b <= dark_max)) | ((r >= 240) & (g >= 240) & (b >= 240)))
    lead_g = non_bg & (g - r > gap) & (g - b > gap)
    green = lead_g & ((b * 10 < g * 6) | ((r < 120) & (r < b)))
    red = non_bg & (r - g > gap) & (r - b > gap) & (b * 10 < r * 6)
    return int(non_bg.sum()), int(green.sum()), int(red.sum())


# Around the vector widths and the 1024-pixel blocks of 16-bit counters.
PIXELS = [0, 1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 1023, 1024, 1025, 3 * 1024 + 77]
RULES = [(30, 30), (-1, -256), (255, 255), (0, 0), (254, -1), (120, 7)]


@pytest.mark.parametrize("variant", ["baseline", "avx2", "v4", "best"])
def test_line_colour_versions_match_numpy(variant):
    rng = np.random.default_rng(7)
    # Channel values near the thresholds and the extremes, so every
    # comparison is decided both ways.
    values = np.array([0, 1, 6, 29, 30, 31, 100, 119, 120, 121, 200, 239, 240, 241, 254, 255], np.uint8)
    for n in PIXELS:
        pixels4 = rng.choice(values, 4 * n)
        for dark_max, gap in RULES:
            expected = reference_counts(pixels4, dark_max, gap)
            assert K.line_color_counts(pixels4.tobytes(), dark_max, gap, variant) == expected, (n, dark_max, gap)
