// Contrast-limited adaptive histogram equalisation of 8-bit grey images,
// byte for byte what OpenCV's CLAHE apply() returns: per-tile clipped
// histograms turned into lookup tables, then each pixel blended from the
// four nearest tiles' tables in single-precision float. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace image::kernels {

// Writes the equalised `height` x `width` image into `out` (same layout as
// `grey`, which it must not overlap). `clip_limit` <= 0 disables clipping.
// `vectorised` lets it use AVX2 where the processor has it (same bytes).
// May throw std::bad_alloc.
void clahe(const std::uint8_t* grey, std::size_t height, std::size_t width, double clip_limit, int tiles_x,
           int tiles_y, std::uint8_t* out, bool vectorised = true);

}  // namespace image::kernels
