// The hot steps of CLAHE with AVX2: the tile tables eight bins at a time
// and the blending eight pixels at a time. The same integer clipping and
// redistribution and the same single-precision operations, in the same
// order, as the plain loops, so the same bytes.
#pragma once

#include "image/kernels/simd.hpp"

#include <cstddef>
#include <cstdint>

#if TESSEL_HAVE_AVX2_KERNELS

namespace image::kernels {

// Turns a tile's histogram, kept as `ways` partial histograms of 256 bins
// one after the other (their sum is the histogram), into its lookup table:
// bins above `clip` (when it is > 0) are cut to it and the cut pixels handed
// back, an equal batch to every bin and the remainder one each to bins 0,
// step, 2 step, ...; then lut[v] = round(running sum up to v * scale),
// saturated to a byte. Leaves `hist` all zeros. Call only when
// cpu_has_avx2().
void clahe_table_avx2(int* hist, int ways, int clip, float scale, std::uint8_t* lut) noexcept;

// The same table for a clip limit of one pixel per bin, from the tile's
// `area` and `seen` (256 bytes, 1 for every grey value that occurs in the
// tile, else 0): clipped, a bin holds exactly whether its value occurs.
// Leaves `seen` all zeros. Call only when cpu_has_avx2().
void clahe_presence_table_avx2(std::uint8_t* seen, int area, float scale, std::uint8_t* lut) noexcept;

// For tiles of fewer than 256 pixels, whose counts fit bytes, tables are
// made in place of the tiles' 256 byte counts (or flags, for a clip limit
// of one pixel per bin), and only in the 32-value blocks the blending will
// read.
//
// Adds `second` (partial counts, or null; left all zeros) into `bins`
// (saturating), cuts them to `clip` (if > 0; with a clip of 1 and no
// `second`, `bins` must be flags, 0 or 1, already), counts the pixels left in
// each block of 32 values into `counts` (8 bytes) and returns the mask of
// the blocks that have any.
unsigned clahe_clip_blocks_avx2(std::uint8_t* bins, std::uint8_t* second, int clip, std::uint8_t* counts) noexcept;

// Overwrites the blocks in `blocks` (a mask) of `seen_then_lut` with the
// table's entries; `counts` as from clahe_clip_blocks_avx2, `area` < 256.
// `rounded` is null, or, when area < kLookupArea, the entries for every
// running sum n (round(n * scale) saturated to a byte) for n from 0 to
// 16 * (area / 16) + 15: looked up, they cost less than the scaling.
constexpr int kMaxLookupChunks = 3;
constexpr int kLookupArea = 16 * kMaxLookupChunks;
void clahe_small_table_avx2(std::uint8_t* seen_then_lut, const std::uint8_t* counts, unsigned blocks, int area,
                            float scale, const std::uint8_t* rounded) noexcept;

// One row of the blending: dst[x] = round((t1[i1] * xa1 + t1[i2] * xa) * ya1
// + (t2[i1] * xa1 + t2[i2] * xa) * ya), i1 = ind1[x] + src[x], i2 = ind2[x] +
// src[x], for x in [0, width). The tables must be readable 3 bytes past the
// largest index. Call only when cpu_has_avx2().
void clahe_blend_row_avx2(const std::uint8_t* src, std::size_t width, const std::uint8_t* lut1,
                          const std::uint8_t* lut2, const std::uint32_t* ind1, const std::uint32_t* ind2,
                          const float* xa, const float* xa1, float ya, float ya1, std::uint8_t* dst) noexcept;

// Blending through tables of the cells between four tile centres: all pixels
// of a cell blend the same four tables, so one 32-bit entry per grey value
// holds the four entries (bytes 0 to 3: top left, top right, bottom left,
// bottom right tile) and one gather serves a pixel.
//
// Fills `band` ((tiles_x + 1) * 256 entries) with the tables of the cells
// of cell row `cell_row` (0 to tiles_y), from the tiles' tables `luts`.
void clahe_cell_band_avx2(const std::uint8_t* luts, int tiles_x, int tiles_y, int cell_row,
                          std::uint32_t* band) noexcept;

// The row blending of clahe_blend_row_avx2 with the band of the row's cells;
// `cell_col[x]` is the cell column of column x.
void clahe_blend_row_cells_avx2(const std::uint8_t* src, std::size_t width, const std::uint32_t* band,
                                const std::uint32_t* cell_col, const float* xa, const float* xa1, float ya,
                                float ya1, std::uint8_t* dst) noexcept;

}  // namespace image::kernels

#endif
