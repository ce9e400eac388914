// The Canny gradient and suppression rows sixteen pixels at a time with
// AVX2: the same integer formulas as the baseline passes, so the same map.
#include "image/kernels/canny_rows.hpp"
#include "image/kernels/simd.hpp"

#if TESSEL_HAVE_AVX2_KERNELS
#include <immintrin.h>

namespace image::kernels {

namespace {

__attribute__((target("avx2"))) inline __m256i widen16(const std::uint8_t* p) noexcept {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

__attribute__((target("avx2"))) inline __m256i load16(const std::int16_t* p) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

__attribute__((target("avx2"))) inline void store16(std::int16_t* p, __m256i v) noexcept {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

// Minus the sum of the sixteen 16-bit lanes.
__attribute__((target("avx2"))) inline std::size_t negated_lane_sum(__m256i v) noexcept {
    const __m256i pairs = _mm256_madd_epi16(v, _mm256_set1_epi16(1));
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
    return static_cast<std::size_t>(-_mm_cvtsi128_si32(s));
}

}  // namespace

__attribute__((target("avx2"))) std::size_t canny_sobel_avx2(const std::uint8_t* a, const std::uint8_t* b,
                                                              const std::uint8_t* c, std::size_t x, std::size_t width,
                                                              std::int16_t* dx, std::int16_t* dy,
                                                              std::int16_t* mag) noexcept {
    for (; x + 16 < width; x += 16) {
        const __m256i a0 = widen16(a + x - 1), a1 = widen16(a + x), a2 = widen16(a + x + 1);
        const __m256i b0 = widen16(b + x - 1), b2 = widen16(b + x + 1);
        const __m256i c0 = widen16(c + x - 1), c1 = widen16(c + x), c2 = widen16(c + x + 1);
        const __m256i db = _mm256_sub_epi16(b2, b0);
        const __m256i gx = _mm256_add_epi16(_mm256_add_epi16(_mm256_sub_epi16(a2, a0), _mm256_sub_epi16(c2, c0)),
                                            _mm256_add_epi16(db, db));
        const __m256i gy =
            _mm256_sub_epi16(_mm256_add_epi16(_mm256_add_epi16(c0, c2), _mm256_add_epi16(c1, c1)),
                             _mm256_add_epi16(_mm256_add_epi16(a0, a2), _mm256_add_epi16(a1, a1)));
        store16(dx + x, gx);
        store16(dy + x, gy);
        store16(mag + x, _mm256_add_epi16(_mm256_abs_epi16(gx), _mm256_abs_epi16(gy)));
    }
    return x;
}

__attribute__((target("avx2"))) std::size_t canny_classify_avx2(const std::int16_t* mp, const std::int16_t* mc,
                                                                 const std::int16_t* mn, const std::int16_t* dx,
                                                                 const std::int16_t* dy, std::size_t width,
                                                                 std::int16_t low, std::int16_t high,
                                                                 std::uint8_t* states, CannyRowCounts& counts) noexcept {
    static_assert(kCannyCandidate == 0 && kCannyNotEdge == 1 && kCannyEdge == 2);
    const __m256i lo = _mm256_set1_epi16(low), hi = _mm256_set1_epi16(high);
    const __m256i one = _mm256_set1_epi16(1), all = _mm256_set1_epi16(-1);
    const __m256i tan22x2 = _mm256_set1_epi16(static_cast<std::int16_t>(kCannyTan22x2));
    // Per-lane counts (minus one per hit), emptied before they can overflow.
    __m256i edge_acc = _mm256_setzero_si256(), peak_acc = _mm256_setzero_si256();
    std::size_t pending = 0, x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m256i m = load16(mc + x), xs = load16(dx + x), ys = load16(dy + x);
        const __m256i ax = _mm256_abs_epi16(xs), ay = _mm256_abs_epi16(ys);
        const __m256i t = _mm256_mulhi_epu16(ax, tan22x2);
        const __m256i horizontal = _mm256_cmpgt_epi16(_mm256_add_epi16(t, one), ay);
        const __m256i vertical = _mm256_cmpgt_epi16(_mm256_sub_epi16(ay, _mm256_add_epi16(ax, ax)), t);
        const __m256i same_sign = _mm256_cmpgt_epi16(_mm256_xor_si256(xs, ys), all);
        const __m256i diag_before = _mm256_blendv_epi8(load16(mp + x + 1), load16(mp + x - 1), same_sign);
        const __m256i diag_after = _mm256_blendv_epi8(load16(mn + x - 1), load16(mn + x + 1), same_sign);
        const __m256i before = _mm256_blendv_epi8(_mm256_blendv_epi8(diag_before, load16(mp + x), vertical),
                                                  load16(mc + x - 1), horizontal);
        __m256i after = _mm256_blendv_epi8(_mm256_blendv_epi8(diag_after, load16(mn + x), vertical),
                                           load16(mc + x + 1), horizontal);
        // Off the diagonals a peak need only equal the neighbour after it:
        // m >= after is m > after - 1.
        after = _mm256_add_epi16(after, _mm256_or_si256(horizontal, vertical));
        const __m256i peak = _mm256_and_si256(_mm256_and_si256(_mm256_cmpgt_epi16(m, lo), _mm256_cmpgt_epi16(m, before)),
                                              _mm256_cmpgt_epi16(m, after));
        const __m256i strong = _mm256_and_si256(peak, _mm256_cmpgt_epi16(m, hi));
        const __m256i state = _mm256_sub_epi16(_mm256_add_epi16(one, peak), _mm256_add_epi16(strong, strong));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(states + x),
                         _mm_packus_epi16(_mm256_castsi256_si128(state), _mm256_extracti128_si256(state, 1)));
        edge_acc = _mm256_add_epi16(edge_acc, strong);
        peak_acc = _mm256_add_epi16(peak_acc, peak);
        if (++pending == 16384) {
            const std::size_t edges = negated_lane_sum(edge_acc);
            counts.edges += edges;
            counts.candidates += negated_lane_sum(peak_acc) - edges;
            edge_acc = peak_acc = _mm256_setzero_si256();
            pending = 0;
        }
    }
    const std::size_t edges = negated_lane_sum(edge_acc);
    counts.edges += edges;
    counts.candidates += negated_lane_sum(peak_acc) - edges;
    return x;
}

}  // namespace image::kernels
#endif
