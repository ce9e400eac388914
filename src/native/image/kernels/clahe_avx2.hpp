// The whole-table step of CLAHE with AVX2, eight bins at a time: the same
// integer clipping and redistribution and the same single-precision
// scaling and rounding as the plain loop, so the same table bytes.
#pragma once

#include <cstdint>

namespace image::kernels {

// Turns a tile's 256-bin histogram into its lookup table: bins above
// `clip` (when it is > 0) are cut to it and the cut pixels handed back,
// an equal batch to every bin and the remainder one each to bins 0, step,
// 2 step, ...; then lut[v] = round(running sum up to v * scale), saturated
// to a byte. Leaves `hist` all zeros. Call only when cpu_has_avx2().
void clahe_table_avx2(int* hist, int clip, float scale, std::uint8_t* lut) noexcept;

}  // namespace image::kernels
