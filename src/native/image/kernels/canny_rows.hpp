// What the Canny row passes share between the baseline build and the AVX2
// versions: the pixel-map states and the direction-sector constant.
#pragma once

#include "image/kernels/simd.hpp"

#include <cstddef>
#include <cstdint>

namespace image::kernels {

// States in the padded pixel map. The frame around the image (a row above
// and below, a byte left of each row and two right of it) is
// kCannyNotEdge, so the hysteresis walk never leaves the image. The row
// passes build a state as 1 + peak - 2 * strong from all-ones lane masks,
// which needs exactly these values.
constexpr std::uint8_t kCannyCandidate = 0;
constexpr std::uint8_t kCannyNotEdge = 1;
constexpr std::uint8_t kCannyEdge = 2;

// The direction sectors in 16 bits. With ax = |dx|, ay = |dy| (at most
// 4 * 255), t = (ax * kCannyTan22x2) >> 16 is floor(ax * tan(22.5 deg))
// for the 15-bit fixed-point tangent 13573 / 2^15, so
//   horizontal (ay 2^15 < ax 13573)          <=> ay < t + 1,
//   vertical   (ay 2^15 > ax 13573 + ax 2^16) <=> ay - 2 ax > t,
// exactly, for every gradient but dx = dy = 0 (magnitude 0, never a peak).
constexpr std::uint16_t kCannyTan22x2 = 27146;

// Edge and candidate counts of the rows classified so far.
struct CannyRowCounts {
    std::size_t edges = 0, candidates = 0;
};

#if TESSEL_HAVE_AVX2_KERNELS

// Sobel derivatives and L1 magnitude of a whole row (`width` >= 17), its
// first and last columns replicated outwards, sixteen pixels at a time.
// Call only when cpu_has_avx2().
void canny_sobel_avx2(const std::uint8_t* above, const std::uint8_t* row, const std::uint8_t* below, std::size_t width,
                      std::int16_t* dx, std::int16_t* dy, std::int16_t* mag) noexcept;

// Non-maximum suppression and threshold classification of the row's
// pixels, sixteen at a time (a width below 16 leaves what sixteen do not
// fit), writing map states into `states` and adding to `counts`; returns
// the first pixel left. The magnitude rows must be readable at -1 and
// width. Call only when cpu_has_avx2().
std::size_t canny_classify_avx2(const std::int16_t* mag_above, const std::int16_t* mag, const std::int16_t* mag_below,
                                const std::int16_t* dx, const std::int16_t* dy, std::size_t width, std::int16_t low,
                                std::int16_t high, std::uint8_t* states, CannyRowCounts& counts) noexcept;

// The hysteresis walk's queue of map offsets: items[next, size) are edges
// whose neighbours are still to be looked at.
struct CannyQueue {
    std::uint32_t* items;
    std::size_t next, size, capacity;
};

// Takes queued edges from queue.next on while the queue has room for eight
// more entries: each one's candidate neighbours become edges and join the
// queue. Rows above map offset `first_row + step` and below `last_row`
// (the first and last rows' offsets of the walked slice) are left out.
// Call only when cpu_has_avx2().
void canny_walk_avx2(std::uint8_t* map, std::size_t step, std::size_t first_row, std::size_t last_row,
                     CannyQueue& queue) noexcept;

// The walk's starting set from one map row (`width` >= 32 pixels, the
// rows beside it readable from -1 to width), thirty-two pixels at a time:
// with `from_edges` the row's edges that have a candidate neighbour, else
// the row's candidates that have an edge neighbour, which become edges.
// Writes their map offsets (the row's at `base`) to `out`, which needs
// room for width + 8 entries, and returns how many. `above` and `below`
// may be the row itself, for rows outside the walked slice.
// Call only when cpu_has_avx2().
std::size_t canny_seed_row_avx2(std::uint8_t* row, const std::uint8_t* above, const std::uint8_t* below,
                                std::size_t width, std::size_t base, bool from_edges, std::uint32_t* out) noexcept;

#endif  // TESSEL_HAVE_AVX2_KERNELS

}  // namespace image::kernels
