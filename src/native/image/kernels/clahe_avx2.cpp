#include "image/kernels/clahe_avx2.hpp"

#include "image/kernels/simd.hpp"

#if TESSEL_HAVE_AVX2_KERNELS
#include <immintrin.h>

#include <algorithm>

// Only "avx2" as target, never "fma": the blending's products and sums must
// stay separate roundings, and an FMA target would let the compiler fuse
// them.
namespace image::kernels {

namespace {

constexpr int kBins = 256;

// Sum of the eight 32-bit lanes.
__attribute__((target("avx2"))) int lane_sum(__m256i v) noexcept {
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2)));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(s);
}

// Rounds eight floats (to nearest, ties to even), saturates them to bytes
// and stores the eight bytes at dst.
__attribute__((target("avx2"))) inline void store_bytes8(std::uint8_t* dst, __m256 v) noexcept {
    const __m256i rounded = _mm256_cvtps_epi32(v);
    const __m256i words = _mm256_packs_epi32(rounded, rounded);
    // Dwords 0 and 4 hold the two halves' four bytes after the packs.
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words, words),
                                                      _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(bytes));
}

// The bilinear blend of four table entries per lane: the plain loop's
// multiplications and additions, in its order.
__attribute__((target("avx2"))) inline __m256 blend(__m256 a1, __m256 a2, __m256 b1, __m256 b2, __m256 w1, __m256 w2,
                                                    __m256 wy1, __m256 wy) noexcept {
    const __m256 top = _mm256_add_ps(_mm256_mul_ps(a1, w1), _mm256_mul_ps(a2, w2));
    const __m256 bottom = _mm256_add_ps(_mm256_mul_ps(b1, w1), _mm256_mul_ps(b2, w2));
    return _mm256_add_ps(_mm256_mul_ps(top, wy1), _mm256_mul_ps(bottom, wy));
}

// The running sum over eight bins at a time, the clipped pixels handed
// back, scaled, rounded and packed into the table. `bin(i)` gives bins
// 8 i .. 8 i + 7 (clipped) as 32-bit lanes.
template <class Bins>
__attribute__((target("avx2"))) inline void write_table(Bins bin, int clipped, float scale,
                                                        std::uint8_t* lut) noexcept {
    const int batch = clipped / kBins;
    const int residual = clipped - batch * kBins;
    // The remainder goes one each to bins 0, step, 2 step, ... (at most
    // `residual` of them), so bin v's running sum gains
    // min(residual, v / step + 1) of it. The quotient is taken in float as
    // (v + 1/2) / step: at least 1/(2 step) away from any integer, far more
    // than the rounding of the two operations.
    const int step = residual != 0 ? std::max(kBins / residual, 1) : 1;
    const __m256 inv_step = _mm256_set1_ps(1.0f / static_cast<float>(step));
    const __m256i residual8 = _mm256_set1_epi32(residual), one = _mm256_set1_epi32(1);
    __m256 mid = _mm256_setr_ps(0.5f, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f);
    const __m256 eight = _mm256_set1_ps(8.0f);

    const __m256i batch8 = _mm256_set1_epi32(batch);
    const __m256 scale8 = _mm256_set1_ps(scale);
    const __m256i last = _mm256_set1_epi32(7), low_lane_top = _mm256_set1_epi32(3);
    __m256i carry = _mm256_setzero_si256();
    for (int i = 0; i < kBins / 8; ++i) {
        __m256i v = _mm256_add_epi32(bin(i), batch8);
        // Running sum: within each 128-bit half, then the low half's total
        // into the high half, then the sum of the bins before.
        v = _mm256_add_epi32(v, _mm256_slli_si256(v, 4));
        v = _mm256_add_epi32(v, _mm256_slli_si256(v, 8));
        v = _mm256_add_epi32(v, _mm256_blend_epi32(_mm256_setzero_si256(), _mm256_permutevar8x32_epi32(v, low_lane_top), 0xF0));
        v = _mm256_add_epi32(v, carry);
        carry = _mm256_permutevar8x32_epi32(v, last);
        const __m256i share = _mm256_min_epi32(
            residual8, _mm256_add_epi32(_mm256_cvttps_epi32(_mm256_mul_ps(mid, inv_step)), one));
        mid = _mm256_add_ps(mid, eight);
        v = _mm256_add_epi32(v, share);
        store_bytes8(lut + 8 * i, _mm256_mul_ps(_mm256_cvtepi32_ps(v), scale8));
    }
}

// Bins 8 i .. 8 i + 7 of a clipped histogram, cleared as they are read.
struct ClippedBins {
    __m256i* bins;
    __attribute__((target("avx2"))) __m256i operator()(int i) const noexcept {
        const __m256i h = _mm256_loadu_si256(bins + i);
        _mm256_storeu_si256(bins + i, _mm256_setzero_si256());
        return h;
    }
};

// Bins 8 i .. 8 i + 7 of a clipped histogram whose bins are 0 or 1 bytes.
struct PresentBins {
    const std::uint8_t* seen;
    __attribute__((target("avx2"))) __m256i operator()(int i) const noexcept {
        return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(seen + 8 * i)));
    }
};

// A table entry for each lane's index: the low byte of the four gathered.
__attribute__((target("avx2"))) inline __m256 entries(const std::uint8_t* lut, __m256i index) noexcept {
    const __m256i four = _mm256_i32gather_epi32(reinterpret_cast<const int*>(lut), index, 1);
    return _mm256_cvtepi32_ps(_mm256_and_si256(four, _mm256_set1_epi32(0xff)));
}

}  // namespace

__attribute__((target("avx2"))) void clahe_table_avx2(int* hist, int ways, int clip, float scale,
                                                      std::uint8_t* lut) noexcept {
    auto* bins = reinterpret_cast<__m256i*>(hist);
    constexpr int kVectors = kBins / 8;
    const __m256i zero = _mm256_setzero_si256();
    // The partial histograms summed into the first (clipped), the others
    // cleared.
    const __m256i limit = _mm256_set1_epi32(clip > 0 ? clip : 0x7fffffff);
    __m256i excess = zero;
    for (int i = 0; i < kVectors; ++i) {
        __m256i h = _mm256_loadu_si256(bins + i);
        for (int w = 1; w < ways; ++w) {
            h = _mm256_add_epi32(h, _mm256_loadu_si256(bins + w * kVectors + i));
            _mm256_storeu_si256(bins + w * kVectors + i, zero);
        }
        excess = _mm256_add_epi32(excess, _mm256_max_epi32(_mm256_sub_epi32(h, limit), zero));
        _mm256_storeu_si256(bins + i, _mm256_min_epi32(h, limit));
    }
    write_table(ClippedBins{bins}, lane_sum(excess), scale, lut);
}

namespace {

// min(residual, v / step + 1) for sixteen 16-bit values v < 256, the
// quotient being the high product with `multiplier` plus v * `identity`.
__attribute__((target("avx2"))) inline __m256i remainder_share(__m256i v, __m256i multiplier, __m256i identity,
                                                               __m256i residual) noexcept {
    const __m256i q = _mm256_add_epi16(_mm256_mulhi_epu16(v, multiplier), _mm256_mullo_epi16(v, identity));
    return _mm256_min_epi16(residual, _mm256_add_epi16(q, _mm256_set1_epi16(1)));
}

// The low eight bytes as 32-bit lanes times `scale`, rounded to integers.
__attribute__((target("avx2"))) inline __m256i scaled(__m128i bytes, __m256 scale) noexcept {
    return _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes)), scale));
}

// The 16-bit multiplier whose high product with v < 256 is v / step, for
// step = max(256 / residual, 1), by residual: the quotient rounded up,
// exact for these v (step 1 has none and takes v itself). A table, as a
// division per tile costs more than the tile's small table.
struct ShareMultipliers {
    std::uint16_t by_residual[kBins];
    constexpr ShareMultipliers() : by_residual{} {
        for (int r = 1; r < kBins; ++r) {
            const int step = std::max(kBins / r, 1);
            by_residual[r] = static_cast<std::uint16_t>(step == 1 ? 0 : (65536 + step - 1) / step);
        }
    }
};
constexpr ShareMultipliers kShareMultipliers;

// Tiles of fewer than 256 pixels: nothing is handed back in batches and
// every running sum fits a byte, so the sums are taken 32 bins at a time in
// bytes and widened only for the scaling, or with `Chunks` (1 to 3) looked
// up sixteen at a time in `rounded`. Fills the blocks of 32 entries in
// `blocks` (a mask), in place of the clipped counts; `counts` holds the number of
// values present in each block.
template <int Chunks>
__attribute__((target("avx2"))) void small_presence_table(std::uint8_t* seen_then_lut, const std::uint8_t* counts,
                                                          unsigned blocks, int area, float scale,
                                                          const std::uint8_t* rounded) noexcept {
    int distinct = 0;
    for (int k = 0; k < kBins / 32; ++k) distinct += counts[k];
    const int residual = area - distinct;
    // The remainder's share below v, min(residual, v / step + 1).
    const std::uint16_t m = kShareMultipliers.by_residual[residual];
    const __m256i multiplier = _mm256_set1_epi16(static_cast<short>(m));
    const __m256i identity = _mm256_set1_epi16(m == 0 ? 1 : 0);
    const __m256i residual16 = _mm256_set1_epi16(static_cast<short>(residual));
    __m256i value_lo = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
    __m256i value_hi = _mm256_setr_epi16(8, 9, 10, 11, 12, 13, 14, 15, 24, 25, 26, 27, 28, 29, 30, 31);
    const __m256i next_block = _mm256_set1_epi16(32);
    const __m256 scale8 = _mm256_set1_ps(scale);
    const __m256i byte15 = _mm256_set1_epi8(15);
    __m256i rounded16[Chunks > 0 ? Chunks : 1];
    for (int c = 0; c < Chunks; ++c)
        rounded16[c] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rounded + 16 * c)));
    __m256i below = _mm256_setzero_si256();  // values present in the blocks before
    for (int k = 0; k < kBins / 32; ++k) {
        const __m256i this_lo = value_lo, this_hi = value_hi, this_below = below;
        value_lo = _mm256_add_epi16(value_lo, next_block);
        value_hi = _mm256_add_epi16(value_hi, next_block);
        below = _mm256_add_epi8(below, _mm256_set1_epi8(static_cast<char>(counts[k])));
        if ((blocks >> k & 1) == 0) continue;
        std::uint8_t* block = seen_then_lut + 32 * k;
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
        // Running sum within each 16-byte half, then the low half's total
        // into the high half, then everything before.
        b = _mm256_add_epi8(b, _mm256_slli_si256(b, 1));
        b = _mm256_add_epi8(b, _mm256_slli_si256(b, 2));
        b = _mm256_add_epi8(b, _mm256_slli_si256(b, 4));
        b = _mm256_add_epi8(b, _mm256_slli_si256(b, 8));
        const __m256i half_totals = _mm256_shuffle_epi8(b, byte15);
        b = _mm256_add_epi8(b, _mm256_permute2x128_si256(half_totals, half_totals, 0x08));
        b = _mm256_add_epi8(b, this_below);
        // The remainder's share; the pack puts the bins back in order.
        const __m256i shares = _mm256_packus_epi16(remainder_share(this_lo, multiplier, identity, residual16),
                                                   remainder_share(this_hi, multiplier, identity, residual16));
        b = _mm256_add_epi8(b, shares);
        if constexpr (Chunks > 0) {
            // Each chunk overwrites the sums at or above its first (all
            // below 128, so signed compares).
            __m256i entries = _mm256_shuffle_epi8(rounded16[0], b);
            for (int c = 1; c < Chunks; ++c) {
                const __m256i in_or_above = _mm256_cmpgt_epi8(b, _mm256_set1_epi8(static_cast<char>(16 * c - 1)));
                const __m256i chunk =
                    _mm256_shuffle_epi8(rounded16[c], _mm256_sub_epi8(b, _mm256_set1_epi8(static_cast<char>(16 * c))));
                entries = _mm256_blendv_epi8(entries, chunk, in_or_above);
            }
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(block), entries);
        } else {
            // Widened to 32 bits, scaled, rounded and packed back in order.
            const __m128i lo = _mm256_castsi256_si128(b), hi = _mm256_extracti128_si256(b, 1);
            const __m256i r0 = scaled(lo, scale8), r1 = scaled(_mm_srli_si128(lo, 8), scale8);
            const __m256i r2 = scaled(hi, scale8), r3 = scaled(_mm_srli_si128(hi, 8), scale8);
            // packs interleave the 128-bit halves; the final permute restores order.
            const __m256i w01 = _mm256_packs_epi32(r0, r1), w23 = _mm256_packs_epi32(r2, r3);
            const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(w01, w23),
                                                              _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(block), bytes);
        }
    }
}

}  // namespace

__attribute__((target("avx2"))) void clahe_presence_table_avx2(std::uint8_t* seen, int area, float scale,
                                                               std::uint8_t* lut) noexcept {
    // Every pixel beyond the first of its value is clipped.
    __m256i present = _mm256_setzero_si256();
    for (int i = 0; i < kBins; i += 32)
        present = _mm256_add_epi64(present, _mm256_sad_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(seen + i)),
                                                            _mm256_setzero_si256()));
    const __m128i p2 = _mm_add_epi64(_mm256_castsi256_si128(present), _mm256_extracti128_si256(present, 1));
    const int distinct = static_cast<int>(_mm_cvtsi128_si64(_mm_add_epi64(p2, _mm_unpackhi_epi64(p2, p2))));
    write_table(PresentBins{seen}, area - distinct, scale, lut);
    for (int i = 0; i < kBins; i += 32) _mm256_storeu_si256(reinterpret_cast<__m256i*>(seen + i), _mm256_setzero_si256());
}

namespace {

// Each block's sums of eight bytes, four per block, shifted into 16-bit
// fields of the same 64-bit lanes; added up across them they give the
// blocks' counts. With `Cut`, the bins are first summed and cut.
template <bool Cut>
__attribute__((target("avx2"))) inline void block_sums(std::uint8_t* bins, std::uint8_t* second, int clip,
                                                       __m256i* sums) noexcept {
    const __m256i limit = _mm256_set1_epi8(static_cast<char>(clip > 0 ? std::min(clip, 255) : 255));
    for (int k = 0; k < 8; ++k) {
        auto* block = reinterpret_cast<__m256i*>(bins + 32 * k);
        __m256i b = _mm256_loadu_si256(block);
        if constexpr (Cut) {
            if (second != nullptr) {
                auto* other = reinterpret_cast<__m256i*>(second + 32 * k);
                b = _mm256_adds_epu8(b, _mm256_loadu_si256(other));
                _mm256_storeu_si256(other, _mm256_setzero_si256());
            }
            b = _mm256_min_epu8(b, limit);
            _mm256_storeu_si256(block, b);
        }
        sums[k] = _mm256_sad_epu8(b, _mm256_setzero_si256());
    }
}

}  // namespace

__attribute__((target("avx2"))) unsigned clahe_clip_blocks_avx2(std::uint8_t* bins, std::uint8_t* second, int clip,
                                                               std::uint8_t* counts) noexcept {
    __m256i sums[8];
    // Flags need no cutting.
    if (second == nullptr && clip == 1)
        block_sums<false>(bins, second, clip, sums);
    else
        block_sums<true>(bins, second, clip, sums);
    const __m256i f0 = _mm256_or_si256(_mm256_or_si256(sums[0], _mm256_slli_epi64(sums[1], 16)),
                                       _mm256_or_si256(_mm256_slli_epi64(sums[2], 32), _mm256_slli_epi64(sums[3], 48)));
    const __m256i f1 = _mm256_or_si256(_mm256_or_si256(sums[4], _mm256_slli_epi64(sums[5], 16)),
                                       _mm256_or_si256(_mm256_slli_epi64(sums[6], 32), _mm256_slli_epi64(sums[7], 48)));
    // Lanes: f0 = (q0 q1 | q2 q3), f1 likewise; add the four qwords of each.
    const __m256i pairs = _mm256_add_epi16(_mm256_unpacklo_epi64(f0, f1), _mm256_unpackhi_epi64(f0, f1));
    const __m128i total = _mm_add_epi16(_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1));
    const __m128i bytes = _mm_packus_epi16(total, total);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(counts), bytes);
    const __m128i empty = _mm_cmpeq_epi8(bytes, _mm_setzero_si128());
    return ~static_cast<unsigned>(_mm_movemask_epi8(empty)) & 0xffu;
}

__attribute__((target("avx2"))) void clahe_small_table_avx2(std::uint8_t* seen_then_lut, const std::uint8_t* counts,
                                                            unsigned blocks, int area, float scale,
                                                            const std::uint8_t* rounded) noexcept {
    switch (rounded == nullptr ? 0 : (area + 16) / 16) {
        case 0: small_presence_table<0>(seen_then_lut, counts, blocks, area, scale, rounded); break;
        case 1: small_presence_table<1>(seen_then_lut, counts, blocks, area, scale, rounded); break;
        case 2: small_presence_table<2>(seen_then_lut, counts, blocks, area, scale, rounded); break;
        default: small_presence_table<3>(seen_then_lut, counts, blocks, area, scale, rounded); break;
        static_assert(kMaxLookupChunks == 3);
    }
}

__attribute__((target("avx2"))) void clahe_blend_row_avx2(const std::uint8_t* src, std::size_t width,
                                                          const std::uint8_t* lut1, const std::uint8_t* lut2,
                                                          const std::uint32_t* ind1, const std::uint32_t* ind2,
                                                          const float* xa, const float* xa1, float ya, float ya1,
                                                          std::uint8_t* dst) noexcept {
    const __m256 wy1 = _mm256_set1_ps(ya1), wy = _mm256_set1_ps(ya);
    std::size_t x = 0;
    for (; x + 8 <= width; x += 8) {
        const __m256i v = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + x)));
        const __m256i i1 = _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(ind1 + x)), v);
        const __m256i i2 = _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(ind2 + x)), v);
        const __m256 a1 = entries(lut1, i1), a2 = entries(lut1, i2), b1 = entries(lut2, i1), b2 = entries(lut2, i2);
        const __m256 w1 = _mm256_loadu_ps(xa1 + x), w2 = _mm256_loadu_ps(xa + x);
        store_bytes8(dst + x, blend(a1, a2, b1, b2, w1, w2, wy1, wy));
    }
    for (; x < width; ++x) {
        const std::uint32_t v = src[x];
        const std::uint32_t i1 = ind1[x] + v, i2 = ind2[x] + v;
        const float res = (static_cast<float>(lut1[i1]) * xa1[x] + static_cast<float>(lut1[i2]) * xa[x]) * ya1 +
                          (static_cast<float>(lut2[i1]) * xa1[x] + static_cast<float>(lut2[i2]) * xa[x]) * ya;
        const int r = _mm_cvtss_si32(_mm_set_ss(res));
        dst[x] = static_cast<std::uint8_t>(std::clamp(r, 0, 255));
    }
}

__attribute__((target("avx2"))) void clahe_cell_band_avx2(const std::uint8_t* luts, int tiles_x, int tiles_y,
                                                          int cell_row, std::uint32_t* band) noexcept {
    const int top = std::max(cell_row - 1, 0), bottom = std::min(cell_row, tiles_y - 1);
    const std::uint8_t* top_row = luts + static_cast<std::size_t>(top) * tiles_x * kBins;
    const std::uint8_t* bottom_row = luts + static_cast<std::size_t>(bottom) * tiles_x * kBins;
    for (int cx = 0; cx <= tiles_x; ++cx) {
        const std::size_t left = static_cast<std::size_t>(std::max(cx - 1, 0)) * kBins;
        const std::size_t right = static_cast<std::size_t>(std::min(cx, tiles_x - 1)) * kBins;
        auto* out = reinterpret_cast<__m256i*>(band + static_cast<std::size_t>(cx) * kBins);
        for (int i = 0; i < kBins; i += 32) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(top_row + left + i));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(top_row + right + i));
            const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bottom_row + left + i));
            const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bottom_row + right + i));
            // Byte pairs, then pairs of pairs; the unpacks work within
            // 128-bit halves, the final permutes put the entries in order.
            const __m256i ab_lo = _mm256_unpacklo_epi8(a, b), ab_hi = _mm256_unpackhi_epi8(a, b);
            const __m256i cd_lo = _mm256_unpacklo_epi8(c, d), cd_hi = _mm256_unpackhi_epi8(c, d);
            const __m256i q0 = _mm256_unpacklo_epi16(ab_lo, cd_lo), q1 = _mm256_unpackhi_epi16(ab_lo, cd_lo);
            const __m256i q2 = _mm256_unpacklo_epi16(ab_hi, cd_hi), q3 = _mm256_unpackhi_epi16(ab_hi, cd_hi);
            __m256i* o = out + i / 8;
            _mm256_storeu_si256(o, _mm256_permute2x128_si256(q0, q1, 0x20));
            _mm256_storeu_si256(o + 1, _mm256_permute2x128_si256(q2, q3, 0x20));
            _mm256_storeu_si256(o + 2, _mm256_permute2x128_si256(q0, q1, 0x31));
            _mm256_storeu_si256(o + 3, _mm256_permute2x128_si256(q2, q3, 0x31));
        }
    }
}

__attribute__((target("avx2"))) void clahe_blend_row_cells_avx2(const std::uint8_t* src, std::size_t width,
                                                                const std::uint32_t* band,
                                                                const std::uint32_t* cell_col, const float* xa,
                                                                const float* xa1, float ya, float ya1,
                                                                std::uint8_t* dst) noexcept {
    const __m256 wy1 = _mm256_set1_ps(ya1), wy = _mm256_set1_ps(ya);
    const __m256i low_byte = _mm256_set1_epi32(0xff);
    const int* entries4 = reinterpret_cast<const int*>(band);
    std::size_t x = 0;
    for (; x + 8 <= width; x += 8) {
        const __m256i v = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + x)));
        const __m256i cell = _mm256_slli_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(cell_col + x)), 8);
        const __m256i e = _mm256_i32gather_epi32(entries4, _mm256_add_epi32(cell, v), 4);
        const __m256 a1 = _mm256_cvtepi32_ps(_mm256_and_si256(e, low_byte));
        const __m256 a2 = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(e, 8), low_byte));
        const __m256 b1 = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(e, 16), low_byte));
        const __m256 b2 = _mm256_cvtepi32_ps(_mm256_srli_epi32(e, 24));
        const __m256 w1 = _mm256_loadu_ps(xa1 + x), w2 = _mm256_loadu_ps(xa + x);
        store_bytes8(dst + x, blend(a1, a2, b1, b2, w1, w2, wy1, wy));
    }
    for (; x < width; ++x) {
        const std::uint32_t e = band[cell_col[x] * kBins + src[x]];
        const float res = (static_cast<float>(e & 0xff) * xa1[x] + static_cast<float>(e >> 8 & 0xff) * xa[x]) * ya1 +
                          (static_cast<float>(e >> 16 & 0xff) * xa1[x] + static_cast<float>(e >> 24) * xa[x]) * ya;
        const int r = _mm_cvtss_si32(_mm_set_ss(res));
        dst[x] = static_cast<std::uint8_t>(std::clamp(r, 0, 255));
    }
}

}  // namespace image::kernels

#endif
