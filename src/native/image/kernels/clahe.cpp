#include "image/kernels/clahe.hpp"

#include "image/kernels/clahe_avx2.hpp"
#include "image/kernels/parallel.hpp"
#include "image/kernels/simd.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#if TESSEL_HAVE_SSE2_KERNELS
#include <emmintrin.h>
#endif

namespace image::kernels {

namespace {

constexpr int kBins = 256;

// Rows per slice below which a second thread does not pay.
constexpr std::size_t kSlicePixels = 1 << 18;

// Index into [0, len) of position p mirrored without repeating the edge
// sample (dcb|abcd|cba); a length of one maps everything to 0.
std::size_t reflect101(std::ptrdiff_t p, std::ptrdiff_t len) noexcept {
    if (len == 1) return 0;
    while (p < 0 || p >= len) p = p < 0 ? -p : 2 * (len - 1) - p;
    return static_cast<std::size_t>(p);
}

// floor(v) as an int for |v| < 2^31, without the library call the baseline
// instruction set needs for std::floor.
inline int floor_int(float v) noexcept {
    const int t = static_cast<int>(v);  // towards zero
    return static_cast<float>(t) > v ? t - 1 : t;
}

// Round to nearest, ties to even, clamped to a byte: the library's
// float-to-uchar saturation.
inline std::uint8_t to_byte(float v) noexcept {
#if TESSEL_HAVE_SSE2_KERNELS
    const int r = _mm_cvtss_si32(_mm_set_ss(v));  // current rounding mode: nearest even
#else
    const int r = static_cast<int>(std::nearbyint(v));
#endif
    return static_cast<std::uint8_t>(std::clamp(r, 0, 255));
}

#if TESSEL_HAVE_SSE2_KERNELS
// Four floats rounded (nearest even) and saturated to bytes, in the low
// 32 bits of the result.
inline std::uint32_t to_bytes4(__m128 v) noexcept {
    const __m128i r = _mm_cvtps_epi32(v);
    const __m128i b = _mm_packus_epi16(_mm_packs_epi32(r, r), _mm_setzero_si128());
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(b));
}
#endif

// The grid geometry. When a side is not a multiple of its tile count, the
// image is treated as extended by a mirrored border (a whole extra tile
// row's worth when the other side alone is uneven) so the tiles cover it.
struct Grid {
    std::size_t tile_w, tile_h;
    std::vector<std::size_t> src_col;  // extended column -> image column
    std::vector<std::size_t> src_row;  // extended row -> image row

    Grid(std::size_t height, std::size_t width, int tiles_x, int tiles_y) {
        const auto tx = static_cast<std::size_t>(tiles_x), ty = static_cast<std::size_t>(tiles_y);
        std::size_t ext_w = width, ext_h = height;
        if (width % tx != 0 || height % ty != 0) {
            ext_w = width + tx - width % tx;
            ext_h = height + ty - height % ty;
        }
        tile_w = ext_w / tx;
        tile_h = ext_h / ty;
        src_col.resize(ext_w);
        src_row.resize(ext_h);
        for (std::size_t i = 0; i < ext_w; ++i)
            src_col[i] = reflect101(static_cast<std::ptrdiff_t>(i), static_cast<std::ptrdiff_t>(width));
        for (std::size_t i = 0; i < ext_h; ++i)
            src_row[i] = reflect101(static_cast<std::ptrdiff_t>(i), static_cast<std::ptrdiff_t>(height));
    }
};

// The grey values that occur in one tile (over the extended image): a
// 256-bit set, and its smallest and largest member.
struct Values {
    std::uint64_t bits[4] = {};
    int lo = 255, hi = 0;

    void merge(const Values& o) noexcept {
        for (int i = 0; i < 4; ++i) bits[i] |= o.bits[i];
        lo = std::min(lo, o.lo);
        hi = std::max(hi, o.hi);
    }
    static Values all() noexcept {
        Values v;
        for (std::uint64_t& b : v.bits) b = ~std::uint64_t{0};
        v.lo = 0;
        v.hi = kBins - 1;
        return v;
    }
    int count() const noexcept {
        return std::popcount(bits[0]) + std::popcount(bits[1]) + std::popcount(bits[2]) + std::popcount(bits[3]);
    }
    // Calls f(v) for every member v in increasing order.
    template <class F>
    void for_each(F&& f) const {
        for (int w = 0; w < 4; ++w)
            for (std::uint64_t b = bits[w]; b != 0; b &= b - 1) f(w * 64 + std::countr_zero(b));
    }
};

template <class F>
void for_tile_rows(const std::uint8_t* grey, std::size_t width, const Grid& g, std::size_t tx, std::size_t ty,
                   F&& f) {
    const std::size_t x0 = tx * g.tile_w, x1 = x0 + g.tile_w;
    const std::size_t inside_end = std::min(x1, width);
    for (std::size_t yy = ty * g.tile_h; yy < (ty + 1) * g.tile_h; ++yy) {
        const std::uint8_t* row = grey + g.src_row[yy] * width;
        f(row, x0, inside_end, x1);
    }
}

Values tile_values(const std::uint8_t* grey, std::size_t width, const Grid& g, std::size_t tx,
                   std::size_t ty) noexcept {
    Values s;
    std::uint8_t lo = 255, hi = 0;
    auto add = [&](std::uint8_t v) {
        s.bits[v >> 6] |= std::uint64_t{1} << (v & 63);
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    };
    for_tile_rows(grey, width, g, tx, ty, [&](const std::uint8_t* row, std::size_t x0, std::size_t end, std::size_t x1) {
        std::size_t x = x0;
        for (; x < end; ++x) add(row[x]);
        for (; x < x1; ++x) add(row[g.src_col[x]]);
    });
    s.lo = lo;
    s.hi = hi;
    return s;
}

// Below this many wanted entries a table is filled entry by entry, for the
// grey values that occur around the tile only; above, all 256 at once in
// vector registers.
constexpr int kSparseEntries = 96;

// Tiles of at least this many pixels skip the two passes that find which
// grey values occur: their tables are filled whole, which costs less. With
// AVX2 a whole table costs less than those passes at any tile size.
constexpr int kDenseTileArea = 256;

// The clipped, equalised lookup table of one tile, whose pixels take the
// values `own`; only the entries in `wanted` are filled (the blending reads
// no others). `hist` is all zeros on entry and is left so.
void tile_lut(const std::uint8_t* grey, std::size_t width, const Grid& g, std::size_t tx, std::size_t ty, int clip,
              float scale, const Values& own, const Values& wanted, int* hist, std::uint8_t* lut) noexcept {
    for_tile_rows(grey, width, g, tx, ty, [&](const std::uint8_t* row, std::size_t x0, std::size_t end, std::size_t x1) {
        std::size_t x = x0;
        for (; x < end; ++x) ++hist[row[x]];
        for (; x < x1; ++x) ++hist[row[g.src_col[x]]];
    });
    // Every bin that is not empty before redistribution is in `own`; the
    // running sum must pass them all, the table is read at `wanted`.
    Values visited = wanted;
    visited.merge(own);
    const bool sparse = visited.count() < kSparseEntries;
    int batch = 0, residual = 0, residual_step = 1;
    if (clip > 0) {
        int clipped = 0;
        auto clip_bin = [&](int i) {  // branch-free: bins over the limit are unpredictable
            const int excess = std::max(hist[i] - clip, 0);
            clipped += excess;
            hist[i] -= excess;
        };
        if (sparse)
            own.for_each(clip_bin);
        else
            for (int i = own.lo; i <= own.hi; ++i) clip_bin(i);
        // The clipped pixels go back evenly, batch to every bin, and the
        // remainder one each to bins 0, step, 2 step, ...
        batch = clipped / kBins;
        residual = clipped - batch * kBins;
        if (residual != 0) residual_step = std::max(kBins / residual, 1);
    }
    if (sparse) {
        // Running sum over the visited values in order; the batch and
        // residual shares below a value are counted in closed form.
        int sum = 0, given = 0, next_given = 0;
        visited.for_each([&](int v) {
            sum += hist[v];
            hist[v] = 0;
            while (given < residual && next_given <= v) {
                ++given;
                next_given += residual_step;
            }
            lut[v] = to_byte(static_cast<float>(sum + batch * (v + 1) + given) * scale);
        });
        return;
    }
    for (int i = 0, left = residual; i < kBins && left > 0; i += residual_step, --left) ++hist[i];
#if TESSEL_HAVE_SSE2_KERNELS
    static_assert(kBins % 4 == 0);
    // Running sum four bins at a time, scaled, rounded and packed to bytes.
    const __m128 s4 = _mm_set1_ps(scale);
    const __m128i b4 = _mm_set1_epi32(batch);
    __m128i carry = _mm_setzero_si128();
    for (int i = 0; i < kBins; i += 4) {
        __m128i v = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(hist + i)), b4);
        v = _mm_add_epi32(v, _mm_slli_si128(v, 4));
        v = _mm_add_epi32(v, _mm_slli_si128(v, 8));
        v = _mm_add_epi32(v, carry);
        carry = _mm_shuffle_epi32(v, _MM_SHUFFLE(3, 3, 3, 3));
        const std::uint32_t bytes = to_bytes4(_mm_mul_ps(_mm_cvtepi32_ps(v), s4));
        std::memcpy(lut + i, &bytes, sizeof bytes);
    }
#else
    int sum = 0;
    for (int i = 0; i < kBins; ++i) {
        sum += hist[i] + batch;
        lut[i] = to_byte(static_cast<float>(sum) * scale);
    }
#endif
    std::memset(hist, 0, kBins * sizeof *hist);
}

// Tiles of at least this many pixels blend through the cells' combined
// tables (one gather a pixel instead of four, for a table of 1 KiB a cell).
constexpr int kCellBlendArea = 64;

#if TESSEL_HAVE_AVX2_KERNELS
// Partial histograms a tile's pixels are counted into with AVX2 tables: four
// from this many pixels, else two.
constexpr int kMaxWays = 4;
constexpr int kFourWaysArea = 1024;

// The whole lookup table of one tile with AVX2. With a limit of one pixel
// per bin the clipped histogram only says which values occur, and storing
// a flag per pixel has no chain of increments of one bin (a flat tile's
// pixels would each wait for the one before); otherwise the pixels are
// counted round-robin into partial histograms for the same reason.
// `scratch` (kMaxWays histograms) is all zeros on entry and left so.
void tile_table_avx2(const std::uint8_t* grey, std::size_t width, const Grid& g, std::size_t tx, std::size_t ty,
                     int clip, float scale, int* scratch, std::uint8_t* lut) noexcept {
    const int area = static_cast<int>(g.tile_w * g.tile_h);
    if (clip == 1) {
        auto* seen = reinterpret_cast<std::uint8_t*>(scratch);
        for_tile_rows(grey, width, g, tx, ty, [&](const std::uint8_t* row, std::size_t x0, std::size_t end, std::size_t x1) {
            std::size_t x = x0;
            for (; x + 4 <= end; x += 4) {
                seen[row[x]] = 1;
                seen[row[x + 1]] = 1;
                seen[row[x + 2]] = 1;
                seen[row[x + 3]] = 1;
            }
            for (; x < end; ++x) seen[row[x]] = 1;
            for (; x < x1; ++x) seen[row[g.src_col[x]]] = 1;
        });
        clahe_presence_table_avx2(seen, area, scale, lut);
        return;
    }
    const int ways = area >= kFourWaysArea ? 4 : 2;
    int* h0 = scratch;
    int* h1 = scratch + kBins;
    int* h2 = scratch + 2 * kBins;
    int* h3 = scratch + 3 * kBins;
    for_tile_rows(grey, width, g, tx, ty, [&](const std::uint8_t* row, std::size_t x0, std::size_t end, std::size_t x1) {
        std::size_t x = x0;
        if (ways == 4) {
            for (; x + 4 <= end; x += 4) {
                ++h0[row[x]];
                ++h1[row[x + 1]];
                ++h2[row[x + 2]];
                ++h3[row[x + 3]];
            }
        } else {
            for (; x + 2 <= end; x += 2) {
                ++h0[row[x]];
                ++h1[row[x + 1]];
            }
        }
        for (; x < end; ++x) ++h0[row[x]];
        for (; x < x1; ++x) ++h1[row[g.src_col[x]]];
    });
    clahe_table_avx2(scratch, ways, clip, scale, lut);
}

// Counts the values of every tile over the extended image into `first` (and
// alternate pixels into `second`), or with `Flags` only flags them in
// `first`. `col` gives each extended column's tile table offset, `mirrored`
// the source columns of the extension.
template <bool Flags>
void count_tile_values(const std::uint8_t* grey, std::size_t width, const Grid& g, std::size_t tx_count,
                       const std::uint32_t* col, const std::uint32_t* mirrored, std::uint8_t* first,
                       std::uint8_t* second) noexcept {
    const std::size_t ext_w = g.src_col.size();
    const std::size_t tile_row_size = tx_count * kBins;
    for (std::size_t y = 0, row_in_tile = 0; y < g.src_row.size(); ++y) {
        const std::uint8_t* row = grey + g.src_row[y] * width;
        std::size_t x = 0;
        if constexpr (Flags) {
            for (; x + 4 <= width; x += 4) {
                first[col[x] + row[x]] = 1;
                first[col[x + 1] + row[x + 1]] = 1;
                first[col[x + 2] + row[x + 2]] = 1;
                first[col[x + 3] + row[x + 3]] = 1;
            }
            for (; x < width; ++x) first[col[x] + row[x]] = 1;
            for (; x < ext_w; ++x) first[col[x] + row[mirrored[x - width]]] = 1;
        } else {
            for (; x + 2 <= width; x += 2) {
                ++first[col[x] + row[x]];
                ++second[col[x + 1] + row[x + 1]];
            }
            for (; x < width; ++x) ++first[col[x] + row[x]];
            for (; x < ext_w; ++x) ++second[col[x] + row[mirrored[x - width]]];
        }
        if (++row_in_tile == g.tile_h) {
            row_in_tile = 0;
            first += tile_row_size;
            if constexpr (!Flags) second += tile_row_size;
        }
    }
}

// All tables with AVX2 when tiles have fewer than 256 pixels (the common
// case for small images): one pass over the image counts every tile's
// values in bytes in place of its table, then each table is made only in
// the blocks of 32 values that occur in it or its eight neighbours, which
// hold every pixel that blends with it. With a clip limit of one pixel per
// bin the counts are flags, stored without reading; otherwise alternate
// pixels count into a second set, against chains of increments of one bin.
void small_tile_tables_avx2(const std::uint8_t* grey, std::size_t width, const Grid& g, std::size_t tx_count,
                            std::size_t ty_count, int clip, float scale, std::uint8_t* luts) {
    const std::size_t tiles = tx_count * ty_count;
    std::memset(luts, 0, tiles * kBins);
    const bool flags = clip == 1;
    std::vector<std::uint8_t> second_counts(flags ? 0 : tiles * kBins);
    const std::size_t ext_w = g.src_col.size();
    // Per extended column, its tile's table; the mirrored columns' sources.
    std::vector<std::uint32_t> column_table(ext_w + (ext_w - width));
    std::uint32_t* col = column_table.data();
    std::uint32_t* mirrored = col + ext_w;
    for (std::size_t tx = 0, x = 0; tx < tx_count; ++tx)
        for (std::size_t i = 0; i < g.tile_w; ++i, ++x) col[x] = static_cast<std::uint32_t>(tx * kBins);
    for (std::size_t x = width; x < ext_w; ++x) mirrored[x - width] = static_cast<std::uint32_t>(g.src_col[x]);
    if (flags)
        count_tile_values<true>(grey, width, g, tx_count, col, mirrored, luts, nullptr);
    else
        count_tile_values<false>(grey, width, g, tx_count, col, mirrored, luts, second_counts.data());
    std::vector<std::uint8_t> counts(tiles * 8), blocks(tiles);
    for (std::size_t t = 0; t < tiles; ++t)
        blocks[t] = static_cast<std::uint8_t>(clahe_clip_blocks_avx2(
            luts + t * kBins, flags ? nullptr : second_counts.data() + t * kBins, clip, &counts[t * 8]));
    // The blocks each table is read in: those of its tile and the eight
    // around it, or-ed along rows, then along columns.
    std::vector<std::uint8_t> across(tiles);
    for (std::size_t ty = 0; ty < ty_count; ++ty)
        for (std::size_t tx = 0; tx < tx_count; ++tx) {
            const std::uint8_t* b = &blocks[ty * tx_count];
            across[ty * tx_count + tx] = static_cast<std::uint8_t>(b[tx] | (tx > 0 ? b[tx - 1] : 0) |
                                                                   (tx + 1 < tx_count ? b[tx + 1] : 0));
        }
    const int area = static_cast<int>(g.tile_w * g.tile_h);
    std::uint8_t rounded[16 * kMaxLookupChunks];
    const bool look_up = area < kLookupArea;
    if (look_up)
        for (int n = 0; n < 16 * kMaxLookupChunks; ++n) rounded[n] = to_byte(static_cast<float>(n) * scale);
    for (std::size_t ty = 0; ty < ty_count; ++ty)
        for (std::size_t tx = 0; tx < tx_count; ++tx) {
            const std::size_t t = ty * tx_count + tx;
            const unsigned wanted = across[t] | (ty > 0 ? across[t - tx_count] : 0u) |
                                    (ty + 1 < ty_count ? across[t + tx_count] : 0u);
            clahe_small_table_avx2(luts + t * kBins, &counts[t * 8], wanted, area, scale, look_up ? rounded : nullptr);
        }
}

#endif  // TESSEL_HAVE_AVX2_KERNELS

}  // namespace

void clahe(const std::uint8_t* grey, std::size_t height, std::size_t width, double clip_limit, int tiles_x,
           int tiles_y, std::uint8_t* out, bool vectorised) {
    if (height == 0 || width == 0) return;
    const bool avx2 = vectorised && cpu_has_avx2();
    const Grid g(height, width, tiles_x, tiles_y);
    const int tile_area = static_cast<int>(g.tile_w * g.tile_h);
    const float scale = static_cast<float>(kBins - 1) / static_cast<float>(tile_area);
    int clip = 0;
    if (clip_limit > 0.0) clip = std::max(static_cast<int>(clip_limit * tile_area / kBins), 1);

    const auto tx_count = static_cast<std::size_t>(tiles_x), ty_count = static_cast<std::size_t>(tiles_y);
    // Left uninitialised: the blending reads only the entries filled.
    // The gathers of the vector blending read four bytes from each index.
    std::unique_ptr<std::uint8_t[]> luts(new std::uint8_t[tx_count * ty_count * kBins + 3]);
    const std::size_t min_tile_rows = std::max<std::size_t>(1, kSlicePixels / std::max<std::size_t>(1, width * g.tile_h));
    const bool dense = avx2 || tile_area >= kDenseTileArea;
    std::vector<Values> values(dense ? 0 : tx_count * ty_count);
    if (!dense) for_row_slices(ty_count, min_tile_rows, [&](std::size_t, std::size_t t0, std::size_t t1) {
        for (std::size_t ty = t0; ty < t1; ++ty)
            for (std::size_t tx = 0; tx < tx_count; ++tx) values[ty * tx_count + tx] = tile_values(grey, width, g, tx, ty);
    });

    // Per column: the two tables to blend and their weights, and the cell
    // (tx1 + 1) of the grid offset by half a tile that the column lies in.
    const float inv_tw = 1.0f / static_cast<float>(g.tile_w);
    const float inv_th = 1.0f / static_cast<float>(g.tile_h);
    std::vector<std::uint32_t> ind1(width), ind2(width), cell_col(width);
    std::vector<float> xa(width), xa1(width);
    for (std::size_t x = 0; x < width; ++x) {
        const float txf = static_cast<float>(static_cast<int>(x)) * inv_tw - 0.5f;
        const int tx1 = floor_int(txf);
        const int tx2 = tx1 + 1;
        xa[x] = txf - static_cast<float>(tx1);
        xa1[x] = 1.0f - xa[x];
        ind1[x] = static_cast<std::uint32_t>(std::max(tx1, 0) * kBins);
        ind2[x] = static_cast<std::uint32_t>(std::min(tx2, tiles_x - 1) * kBins);
        cell_col[x] = static_cast<std::uint32_t>(tx1 + 1);
    }
    auto cell_row = [&](std::size_t y) {
        const float tyf = static_cast<float>(static_cast<int>(y)) * inv_th - 0.5f;
        return static_cast<std::size_t>(floor_int(tyf) + 1);
    };

    // The pixels of one cell blend the same (up to) four tables, so a
    // table is read only at the grey values of the four cells around its
    // tile's centre: collected per cell (per slice, then merged).
    const std::size_t cells_x = tx_count + 1, cells = cells_x * (ty_count + 1);
    const std::size_t min_rows = std::max<std::size_t>(1, kSlicePixels / width);
    std::vector<Values> cell_values(dense ? 0 : slice_count(height, min_rows) * cells);
    if (!dense) for_row_slices(height, min_rows, [&](std::size_t part, std::size_t y0, std::size_t y1) {
        Values* own_cells = &cell_values[part * cells];
        for (std::size_t y = y0; y < y1; ++y) {
            Values* row_cells = own_cells + cell_row(y) * cells_x;
            const std::uint8_t* src = grey + y * width;
            for (std::size_t x = 0; x < width; ++x) {
                const std::uint8_t v = src[x];
                row_cells[cell_col[x]].bits[v >> 6] |= std::uint64_t{1} << (v & 63);
            }
        }
    });
    for (std::size_t i = cells; i < cell_values.size(); ++i) cell_values[i % cells].merge(cell_values[i]);

    const Values everything = Values::all();
#if TESSEL_HAVE_AVX2_KERNELS
    if (avx2 && tile_area < kBins)
        small_tile_tables_avx2(grey, width, g, tx_count, ty_count, clip, scale, luts.get());
    else if (avx2) for_row_slices(ty_count, min_tile_rows, [&](std::size_t, std::size_t t0, std::size_t t1) {
        alignas(32) int scratch[kMaxWays * kBins] = {};
        for (std::size_t ty = t0; ty < t1; ++ty)
            for (std::size_t tx = 0; tx < tx_count; ++tx)
                tile_table_avx2(grey, width, g, tx, ty, clip, scale, scratch, &luts[(ty * tx_count + tx) * kBins]);
    });
    else
#endif
    for_row_slices(ty_count, min_tile_rows, [&](std::size_t, std::size_t t0, std::size_t t1) {
        int hist[kBins] = {};
        for (std::size_t ty = t0; ty < t1; ++ty)
            for (std::size_t tx = 0; tx < tx_count; ++tx) {
                if (dense) {
                    tile_lut(grey, width, g, tx, ty, clip, scale, everything, everything, hist,
                             &luts[(ty * tx_count + tx) * kBins]);
                    continue;
                }
                Values wanted;
                for (std::size_t cy = ty; cy <= ty + 1; ++cy)
                    for (std::size_t cx = tx; cx <= tx + 1; ++cx) wanted.merge(cell_values[cy * cells_x + cx]);
                tile_lut(grey, width, g, tx, ty, clip, scale, values[ty * tx_count + tx], wanted, hist,
                         &luts[(ty * tx_count + tx) * kBins]);
            }
    });

    // With AVX2 and tiles big enough to repay it, the blending goes through
    // the cells' combined tables, made one cell row at a time.
    const bool by_cells = avx2 && tile_area >= kCellBlendArea;
    std::vector<std::uint32_t> bands(by_cells ? slice_count(height, min_rows) * cells_x * kBins : 0);
    for_row_slices(height, min_rows, [&](std::size_t part, std::size_t y0, std::size_t y1) {
        std::uint32_t* band = by_cells ? &bands[part * cells_x * kBins] : nullptr;
        int band_row = -1;
        for (std::size_t y = y0; y < y1; ++y) {
            const float tyf = static_cast<float>(static_cast<int>(y)) * inv_th - 0.5f;
            int ty1 = floor_int(tyf);
            int ty2 = ty1 + 1;
            const float ya = tyf - static_cast<float>(ty1), ya1 = 1.0f - ya;
#if TESSEL_HAVE_AVX2_KERNELS
            if (by_cells) {
                if (ty1 + 1 != band_row) {
                    band_row = ty1 + 1;
                    clahe_cell_band_avx2(luts.get(), tiles_x, tiles_y, band_row, band);
                }
                clahe_blend_row_cells_avx2(grey + y * width, width, band, cell_col.data(), xa.data(), xa1.data(), ya,
                                           ya1, out + y * width);
                continue;
            }
#else
            (void)band;
            (void)band_row;
#endif
            ty1 = std::max(ty1, 0);
            ty2 = std::min(ty2, tiles_y - 1);
            const std::uint8_t* lut1 = &luts[static_cast<std::size_t>(ty1) * tx_count * kBins];
            const std::uint8_t* lut2 = &luts[static_cast<std::size_t>(ty2) * tx_count * kBins];
            const std::uint8_t* src = grey + y * width;
            std::uint8_t* dst = out + y * width;
#if TESSEL_HAVE_AVX2_KERNELS
            if (avx2) {
                clahe_blend_row_avx2(src, width, lut1, lut2, ind1.data(), ind2.data(), xa.data(), xa1.data(), ya, ya1, dst);
                continue;
            }
#endif
            std::size_t x = 0;
#if TESSEL_HAVE_SSE2_KERNELS
            const __m128 wy1 = _mm_set1_ps(ya1), wy = _mm_set1_ps(ya);
            for (; x + 4 <= width; x += 4) {
                // Built in registers: storing lanes to memory and reloading them
                // as one vector would stall on store forwarding.
                const std::uint32_t v0 = src[x], v1 = src[x + 1], v2 = src[x + 2], v3 = src[x + 3];
                const std::uint32_t p0 = ind1[x] + v0, p1 = ind1[x + 1] + v1, p2 = ind1[x + 2] + v2, p3 = ind1[x + 3] + v3;
                const std::uint32_t q0 = ind2[x] + v0, q1 = ind2[x + 1] + v1, q2 = ind2[x + 2] + v2, q3 = ind2[x + 3] + v3;
                auto lanes = [](const std::uint8_t* lut, std::uint32_t i0, std::uint32_t i1, std::uint32_t i2,
                                std::uint32_t i3) {
                    return _mm_cvtepi32_ps(_mm_setr_epi32(lut[i0], lut[i1], lut[i2], lut[i3]));
                };
                const __m128 a1 = lanes(lut1, p0, p1, p2, p3), a2 = lanes(lut1, q0, q1, q2, q3);
                const __m128 b1 = lanes(lut2, p0, p1, p2, p3), b2 = lanes(lut2, q0, q1, q2, q3);
                const __m128 w1 = _mm_loadu_ps(&xa1[x]), w2 = _mm_loadu_ps(&xa[x]);
                // Same operations in the same order as the scalar formula below.
                const __m128 top = _mm_add_ps(_mm_mul_ps(a1, w1), _mm_mul_ps(a2, w2));
                const __m128 bottom = _mm_add_ps(_mm_mul_ps(b1, w1), _mm_mul_ps(b2, w2));
                const std::uint32_t bytes = to_bytes4(_mm_add_ps(_mm_mul_ps(top, wy1), _mm_mul_ps(bottom, wy)));
                std::memcpy(dst + x, &bytes, sizeof bytes);
            }
#endif
            for (; x < width; ++x) {
                const std::uint32_t v = src[x];
                const std::uint32_t i1 = ind1[x] + v, i2 = ind2[x] + v;
                const float res = (static_cast<float>(lut1[i1]) * xa1[x] + static_cast<float>(lut1[i2]) * xa[x]) * ya1 +
                                  (static_cast<float>(lut2[i1]) * xa1[x] + static_cast<float>(lut2[i2]) * xa[x]) * ya;
                dst[x] = to_byte(res);
            }
        }
    });
}

}  // namespace image::kernels
