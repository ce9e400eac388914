// The Canny gradient and suppression rows sixteen pixels at a time with
// AVX2: the same integer formulas as the baseline passes, so the same map.
#include "image/kernels/canny_rows.hpp"
#include "image/kernels/simd.hpp"

#if TESSEL_HAVE_AVX2_KERNELS
#include <immintrin.h>

#include <array>
#include <cstring>

namespace image::kernels {

namespace {

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

// Adds the lane counts (minus one per hit) to `counts` and clears them.
__attribute__((target("avx2"))) inline void empty(__m256i& edge_acc, __m256i& peak_acc, CannyRowCounts& counts) noexcept {
    const std::size_t edges = negated_lane_sum(edge_acc);
    counts.edges += edges;
    counts.candidates += negated_lane_sum(peak_acc) - edges;
    edge_acc = peak_acc = _mm256_setzero_si256();
}

// Sobel derivatives and magnitude of pixels x .. x + 15 from the three
// rows' bytes at x - 1, x and x + 1 (the middle row's at x is not needed).
__attribute__((target("avx2"))) inline void sobel16(__m128i a0, __m128i a1, __m128i a2, __m128i b0, __m128i b2,
                                                     __m128i c0, __m128i c1, __m128i c2, std::size_t x,
                                                     std::int16_t* dx, std::int16_t* dy, std::int16_t* mag) noexcept {
    const __m256i a_l = _mm256_cvtepu8_epi16(a0), a_c = _mm256_cvtepu8_epi16(a1), a_r = _mm256_cvtepu8_epi16(a2);
    const __m256i b_l = _mm256_cvtepu8_epi16(b0), b_r = _mm256_cvtepu8_epi16(b2);
    const __m256i c_l = _mm256_cvtepu8_epi16(c0), c_c = _mm256_cvtepu8_epi16(c1), c_r = _mm256_cvtepu8_epi16(c2);
    const __m256i db = _mm256_sub_epi16(b_r, b_l);
    const __m256i gx = _mm256_add_epi16(_mm256_add_epi16(_mm256_sub_epi16(a_r, a_l), _mm256_sub_epi16(c_r, c_l)),
                                        _mm256_add_epi16(db, db));
    const __m256i gy = _mm256_sub_epi16(_mm256_add_epi16(_mm256_add_epi16(c_l, c_r), _mm256_add_epi16(c_c, c_c)),
                                        _mm256_add_epi16(_mm256_add_epi16(a_l, a_r), _mm256_add_epi16(a_c, a_c)));
    store16(dx + x, gx);
    store16(dy + x, gy);
    store16(mag + x, _mm256_add_epi16(_mm256_abs_epi16(gx), _mm256_abs_epi16(gy)));
}

__attribute__((target("avx2"))) inline __m128i load_bytes(const std::uint8_t* p) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Bytes p[-1 .. 14] with p[-1] standing for p[0] (the left column replicated).
__attribute__((target("avx2"))) inline __m128i left_of_first(__m128i v) noexcept {
    return _mm_or_si128(_mm_slli_si128(v, 1), _mm_and_si128(v, _mm_setr_epi8(-1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)));
}

// Bytes p[1 .. 16] with p[16] standing for p[15] (the right column replicated).
__attribute__((target("avx2"))) inline __m128i right_of_last(__m128i v) noexcept {
    return _mm_or_si128(_mm_srli_si128(v, 1), _mm_and_si128(v, _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1)));
}

// The suppressed states of pixels x .. x + 15: writes them and returns the
// lane masks of edges (`strong`) and of candidates or edges (`peak`).
struct Classified {
    __m256i strong, peak;
};

__attribute__((target("avx2"))) inline Classified classify16(const std::int16_t* mp, const std::int16_t* mc,
                                                              const std::int16_t* mn, const std::int16_t* dx,
                                                              const std::int16_t* dy, std::size_t x, __m256i lo,
                                                              __m256i hi, std::uint8_t* states) noexcept {
    const __m256i one = _mm256_set1_epi16(1);
    const __m256i m = load16(mc + x), xs = load16(dx + x), ys = load16(dy + x);
    const __m256i ax = _mm256_abs_epi16(xs), ay = _mm256_abs_epi16(ys);
    const __m256i t = _mm256_mulhi_epu16(ax, _mm256_set1_epi16(static_cast<std::int16_t>(kCannyTan22x2)));
    const __m256i horizontal = _mm256_cmpgt_epi16(_mm256_add_epi16(t, one), ay);
    const __m256i vertical = _mm256_cmpgt_epi16(_mm256_sub_epi16(ay, _mm256_add_epi16(ax, ax)), t);
    const __m256i same_sign = _mm256_cmpgt_epi16(_mm256_xor_si256(xs, ys), _mm256_set1_epi16(-1));
    const __m256i diag_before = _mm256_blendv_epi8(load16(mp + x + 1), load16(mp + x - 1), same_sign);
    const __m256i diag_after = _mm256_blendv_epi8(load16(mn + x - 1), load16(mn + x + 1), same_sign);
    const __m256i before = _mm256_blendv_epi8(_mm256_blendv_epi8(diag_before, load16(mp + x), vertical),
                                              load16(mc + x - 1), horizontal);
    __m256i after = _mm256_blendv_epi8(_mm256_blendv_epi8(diag_after, load16(mn + x), vertical), load16(mc + x + 1),
                                       horizontal);
    // Off the diagonals a peak need only equal the neighbour after it:
    // m >= after is m > after - 1.
    after = _mm256_add_epi16(after, _mm256_or_si256(horizontal, vertical));
    const __m256i peak = _mm256_and_si256(_mm256_and_si256(_mm256_cmpgt_epi16(m, lo), _mm256_cmpgt_epi16(m, before)),
                                          _mm256_cmpgt_epi16(m, after));
    const __m256i strong = _mm256_and_si256(peak, _mm256_cmpgt_epi16(m, hi));
    // 1 + peak - 2 strong: 1 for neither, 0 for a candidate, 2 for an edge.
    const __m256i state = _mm256_sub_epi16(_mm256_add_epi16(one, peak), _mm256_add_epi16(strong, strong));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(states + x),
                     _mm_packus_epi16(_mm256_castsi256_si128(state), _mm256_extracti128_si256(state, 1)));
    return {strong, peak};
}

// For each set of the eight neighbours (bit k for neighbour k in the order
// above-left, above, above-right, left, right, below-left, below,
// below-right): the neighbours' numbers in order, then how many there are.
struct NeighbourLists {
    alignas(8) std::array<std::array<std::uint8_t, 8>, 256> order{};
    std::array<std::uint8_t, 256> count{};
    constexpr NeighbourLists() {
        for (unsigned set = 0; set < 256; ++set) {
            unsigned n = 0;
            for (unsigned k = 0; k < 8; ++k)
                if (set >> k & 1u) order[set][n++] = static_cast<std::uint8_t>(k);
            count[set] = static_cast<std::uint8_t>(n);
        }
    }
};
constexpr NeighbourLists kNeighbourLists;

inline std::uint32_t load4(const std::uint8_t* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Writes four map bytes (all in one row: rows end in two frame bytes).
inline void store4(std::uint8_t* p, std::uint32_t v) noexcept { std::memcpy(p, &v, sizeof v); }

}  // namespace

__attribute__((target("avx2"))) void canny_walk_avx2(std::uint8_t* map, std::size_t step, std::size_t first_row,
                                                      std::size_t last_row, CannyQueue& queue) noexcept {
    const auto row = static_cast<std::int32_t>(step);
    // 32-bit lanes: the caller keeps map offsets below 2^32.
    const __m256i offsets = _mm256_setr_epi32(-row - 1, -row, -row + 1, -1, 1, row - 1, row, row + 1);
    // The first three bytes of each of the three row words.
    const __m128i columns = _mm_setr_epi8(-1, -1, -1, 0, -1, -1, -1, 0, -1, -1, -1, 0, 0, 0, 0, 0);
    static_assert(kCannyCandidate == 0 && kCannyEdge == 2 && kCannyNotEdge == 1);
    std::uint8_t outside[4] = {kCannyNotEdge, kCannyNotEdge, kCannyNotEdge, kCannyNotEdge};
    std::uint32_t* const items = queue.items;
    std::size_t next = queue.next, size = queue.size;
    const std::size_t room = queue.capacity - 8;
    for (; next < size && size <= room; ++next) {
        const std::uint32_t at = items[next];
        std::uint8_t* p = map + at - 1;
        std::uint8_t* above = at >= first_row + step ? p - step : outside;
        std::uint8_t* below = at < last_row ? p + step : outside;
        const __m128i rows = _mm_setr_epi32(static_cast<int>(load4(above)), static_cast<int>(load4(p)),
                                            static_cast<int>(load4(below)), 0);
        const __m128i candidates = _mm_and_si128(_mm_cmpeq_epi8(rows, _mm_setzero_si128()), columns);
        // A candidate (0) or'ed with 2 becomes an edge.
        const __m128i marked = _mm_or_si128(rows, _mm_and_si128(candidates, _mm_set1_epi8(2)));
        store4(above, static_cast<std::uint32_t>(_mm_cvtsi128_si32(marked)));
        store4(p, static_cast<std::uint32_t>(_mm_extract_epi32(marked, 1)));
        store4(below, static_cast<std::uint32_t>(_mm_extract_epi32(marked, 2)));
        // The eight neighbours' bytes side by side, in the order of `offsets`.
        const __m128i neighbour_bytes = _mm_setr_epi8(0, 1, 2, 4, 6, 8, 9, 10, -1, -1, -1, -1, -1, -1, -1, -1);
        const auto set =
            static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_shuffle_epi8(candidates, neighbour_bytes))) & 0xFFu;
        const __m256i order = _mm256_cvtepu8_epi32(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kNeighbourLists.order[set].data())));
        const __m256i neighbours = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(at)), offsets);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(items + size), _mm256_permutevar8x32_epi32(neighbours, order));
        size += kNeighbourLists.count[set];
    }
    queue.next = next;
    queue.size = size;
}

namespace {

// Writes base + i for each set bit i of the 8-bit `set` to out; returns how many.
__attribute__((target("avx2"))) inline std::size_t queue_set(std::uint32_t set, std::uint32_t base,
                                                             std::uint32_t* out) noexcept {
    const __m256i order = _mm256_cvtepu8_epi32(
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kNeighbourLists.order[set].data())));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(base)), order));
    return kNeighbourLists.count[set];
}

__attribute__((target("avx2"))) inline __m256i load32(const std::uint8_t* p) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The starting pixels among row[x .. x + 31] whose bit is in `fresh`
// (see canny_seed_row_avx2); returns how many it queued.
__attribute__((target("avx2"))) inline std::size_t seed32(std::uint8_t* row, const std::uint8_t* above,
                                                          const std::uint8_t* below, std::size_t x,
                                                          std::uint32_t base, bool from_edges, std::uint32_t fresh,
                                                          std::uint32_t* out) noexcept {
    const __m256i centre = load32(row + x);
    const __m256i wanted = _mm256_set1_epi8(static_cast<char>(from_edges ? kCannyEdge : kCannyCandidate));
    const auto own = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(centre, wanted))) & fresh;
    if (own == 0) return 0;
    // kCannyCandidate is the least state and kCannyEdge the greatest, so
    // the neighbourhood's minimum or maximum tells whether one is there.
    __m256i lo = _mm256_min_epu8(_mm256_min_epu8(load32(above + x - 1), load32(above + x)), load32(above + x + 1));
    __m256i hi = _mm256_max_epu8(_mm256_max_epu8(load32(above + x - 1), load32(above + x)), load32(above + x + 1));
    lo = _mm256_min_epu8(lo, _mm256_min_epu8(load32(row + x - 1), load32(row + x + 1)));
    hi = _mm256_max_epu8(hi, _mm256_max_epu8(load32(row + x - 1), load32(row + x + 1)));
    lo = _mm256_min_epu8(lo, _mm256_min_epu8(_mm256_min_epu8(load32(below + x - 1), load32(below + x)), load32(below + x + 1)));
    hi = _mm256_max_epu8(hi, _mm256_max_epu8(_mm256_max_epu8(load32(below + x - 1), load32(below + x)), load32(below + x + 1)));
    const __m256i beside = from_edges ? _mm256_cmpeq_epi8(lo, _mm256_setzero_si256())
                                      : _mm256_cmpeq_epi8(hi, _mm256_set1_epi8(static_cast<char>(kCannyEdge)));
    const std::uint32_t hits = own & static_cast<std::uint32_t>(_mm256_movemask_epi8(beside));
    if (hits == 0) return 0;
    if (!from_edges) {
        // The chosen candidates become edges (0 | 2): byte i of the mask is
        // bit i of `hits`.
        const __m256i bits = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
        const __m256i spread = _mm256_shuffle_epi8(
            _mm256_set1_epi32(static_cast<int>(hits)),
            _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3));
        const __m256i chosen = _mm256_cmpeq_epi8(_mm256_and_si256(spread, bits), bits);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + x),
                            _mm256_or_si256(centre, _mm256_and_si256(chosen, _mm256_set1_epi8(2))));
    }
    std::size_t n = 0;
    for (std::uint32_t g = 0; g < 4; ++g) n += queue_set((hits >> (8 * g)) & 0xFFu, base + 8 * g, out + n);
    return n;
}

}  // namespace

__attribute__((target("avx2"))) std::size_t canny_seed_row_avx2(std::uint8_t* row, const std::uint8_t* above,
                                                                 const std::uint8_t* below, std::size_t width,
                                                                 std::size_t base, bool from_edges,
                                                                 std::uint32_t* out) noexcept {
    std::size_t n = 0, x = 0;
    for (; x + 32 <= width; x += 32)
        n += seed32(row, above, below, x, static_cast<std::uint32_t>(base + x), from_edges, ~0u, out + n);
    // The pixels left over as part of the last thirty-two, the ones done
    // already left out.
    if (x < width) {
        const std::size_t last = width - 32;
        n += seed32(row, above, below, last, static_cast<std::uint32_t>(base + last), from_edges, ~0u << (x - last),
                    out + n);
    }
    return n;
}

__attribute__((target("avx2"))) void canny_sobel_avx2(const std::uint8_t* a, const std::uint8_t* b,
                                                       const std::uint8_t* c, std::size_t width, std::int16_t* dx,
                                                       std::int16_t* dy, std::int16_t* mag) noexcept {
    {
        const __m128i a1 = load_bytes(a), b1 = load_bytes(b), c1 = load_bytes(c);
        sobel16(left_of_first(a1), a1, load_bytes(a + 1), left_of_first(b1), load_bytes(b + 1), left_of_first(c1), c1,
                load_bytes(c + 1), 0, dx, dy, mag);
    }
    for (std::size_t x = 16; x + 16 < width; x += 16)
        sobel16(load_bytes(a + x - 1), load_bytes(a + x), load_bytes(a + x + 1), load_bytes(b + x - 1),
                load_bytes(b + x + 1), load_bytes(c + x - 1), load_bytes(c + x), load_bytes(c + x + 1), x, dx, dy, mag);
    // The last sixteen, overlapping what is done already (the same inputs
    // give the same values).
    const std::size_t x = width - 16;
    const __m128i a1 = load_bytes(a + x), b1 = load_bytes(b + x), c1 = load_bytes(c + x);
    sobel16(load_bytes(a + x - 1), a1, right_of_last(a1), load_bytes(b + x - 1), right_of_last(b1),
            load_bytes(c + x - 1), c1, right_of_last(c1), x, dx, dy, mag);
}

__attribute__((target("avx2"))) std::size_t canny_classify_avx2(const std::int16_t* mp, const std::int16_t* mc,
                                                                 const std::int16_t* mn, const std::int16_t* dx,
                                                                 const std::int16_t* dy, std::size_t width,
                                                                 std::int16_t low, std::int16_t high,
                                                                 std::uint8_t* states, CannyRowCounts& counts) noexcept {
    static_assert(kCannyCandidate == 0 && kCannyNotEdge == 1 && kCannyEdge == 2);
    const __m256i lo = _mm256_set1_epi16(low), hi = _mm256_set1_epi16(high);
    // Per-lane counts (minus one per hit), emptied before they can overflow.
    __m256i edge_acc = _mm256_setzero_si256(), peak_acc = _mm256_setzero_si256();
    std::size_t pending = 0, x = 0;
    const __m128i not_edges = _mm_set1_epi8(static_cast<char>(kCannyNotEdge));
    for (; x + 16 <= width; x += 16) {
        // Flat stretches (no magnitude above the low threshold) are common
        // and need no neighbours.
        const __m256i over = _mm256_cmpgt_epi16(load16(mc + x), lo);
        if (_mm256_testz_si256(over, over)) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(states + x), not_edges);
            continue;
        }
        const Classified c = classify16(mp, mc, mn, dx, dy, x, lo, hi, states);
        edge_acc = _mm256_add_epi16(edge_acc, c.strong);
        peak_acc = _mm256_add_epi16(peak_acc, c.peak);
        if (++pending == 16384) {
            empty(edge_acc, peak_acc, counts);
            pending = 0;
        }
    }
    // The pixels left over are classified as part of the last sixteen,
    // counting only the lanes not counted yet.
    if (x < width && width >= 16) {
        const std::size_t last = width - 16;
        const __m256i lanes = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        const __m256i fresh =
            _mm256_cmpgt_epi16(lanes, _mm256_set1_epi16(static_cast<std::int16_t>(x - last) - 1));
        const Classified c = classify16(mp, mc, mn, dx, dy, last, lo, hi, states);
        edge_acc = _mm256_add_epi16(edge_acc, _mm256_and_si256(c.strong, fresh));
        peak_acc = _mm256_add_epi16(peak_acc, _mm256_and_si256(c.peak, fresh));
        x = width;
    }
    empty(edge_acc, peak_acc, counts);
    return x;
}

}  // namespace image::kernels
#endif
