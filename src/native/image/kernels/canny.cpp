#include "image/kernels/canny.hpp"

#include "image/kernels/canny_rows.hpp"
#include "image/kernels/parallel.hpp"
#include "image/kernels/simd.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#if TESSEL_HAVE_SSE2_KERNELS
#include <emmintrin.h>
#endif

namespace image::kernels {

namespace {

// The map states (see canny_rows.hpp) by their short names.
constexpr std::uint8_t kCandidate = kCannyCandidate;
constexpr std::uint8_t kNotEdge = kCannyNotEdge;
constexpr std::uint8_t kEdge = kCannyEdge;

// tan(22.5 deg) in 15-bit fixed point, the sector bound of the direction test.
constexpr int kShift = 15;
constexpr std::int64_t kTan22 = 13573;  // round(0.41421356 * 2^15)

// Bytes from one map row to the next: a frame byte on the left, two on
// the right. The four-byte reads around a pixel of the last column then
// stay in its own row, which matters when the next row belongs to another
// thread's slice.
constexpr std::size_t map_step(std::size_t width) noexcept { return width + 3; }

// Rows per slice below which a second thread does not pay.
constexpr std::size_t kSlicePixels = 1 << 18;

// One row's derivatives and magnitude (at most 4 * 255 + 4 * 255, so 16
// bits hold them all); magnitude has a zero on each side (index 0 and
// width + 1) so neighbours past the edge never win.
struct GradientRow {
    std::int16_t* dx;
    std::int16_t* dy;
    std::int16_t* mag;  // width + 2 entries, the first and last 0

    // Lays the row out in `space` (3 * width + 2 entries).
    GradientRow(std::int16_t* space, std::size_t width) noexcept
        : dx(space), dy(space + width), mag(space + 2 * width) {
        mag[0] = mag[width + 1] = 0;
    }

    void clear(std::size_t width) noexcept { std::fill(mag, mag + width + 2, std::int16_t{0}); }

    // Sobel 3x3 of row y, rows and columns past the edge replicated.
    void compute(const std::uint8_t* grey, std::size_t height, std::size_t width, std::size_t y, bool avx2) noexcept {
        const std::uint8_t* a = grey + (y > 0 ? y - 1 : 0) * width;
        const std::uint8_t* b = grey + y * width;
        const std::uint8_t* c = grey + (y + 1 < height ? y + 1 : y) * width;
        std::int16_t* dxp = dx;
        std::int16_t* dyp = dy;
        std::int16_t* m = mag + 1;
        auto at = [&](std::size_t x, std::size_t l, std::size_t r) {
            const int gx = (a[r] - a[l]) + 2 * (b[r] - b[l]) + (c[r] - c[l]);
            const int gy = (c[l] + 2 * c[x] + c[r]) - (a[l] + 2 * a[x] + a[r]);
            dxp[x] = static_cast<std::int16_t>(gx);
            dyp[x] = static_cast<std::int16_t>(gy);
            m[x] = static_cast<std::int16_t>(std::abs(gx) + std::abs(gy));
        };
        if (width == 1) {
            at(0, 0, 0);
            return;
        }
#if TESSEL_HAVE_AVX2_KERNELS
        if (avx2 && width >= 17) {
            canny_sobel_avx2(a, b, c, width, dxp, dyp, m);
            return;
        }
#else
        (void)avx2;
#endif
        at(0, 0, 1);
        std::size_t x = 1;
#if TESSEL_HAVE_SSE2_KERNELS
        const __m128i zero = _mm_setzero_si128();
        auto load8 = [&](const std::uint8_t* p) {
            return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
        };
        auto store = [](std::int16_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); };
        auto sobel8 = [&](std::size_t x) {
            const __m128i a0 = load8(a + x - 1), a1 = load8(a + x), a2 = load8(a + x + 1);
            const __m128i b0 = load8(b + x - 1), b2 = load8(b + x + 1);
            const __m128i c0 = load8(c + x - 1), c1 = load8(c + x), c2 = load8(c + x + 1);
            const __m128i db = _mm_sub_epi16(b2, b0);
            const __m128i gx = _mm_add_epi16(_mm_add_epi16(_mm_sub_epi16(a2, a0), _mm_sub_epi16(c2, c0)),
                                             _mm_add_epi16(db, db));
            const __m128i gy = _mm_sub_epi16(_mm_add_epi16(_mm_add_epi16(c0, c2), _mm_add_epi16(c1, c1)),
                                             _mm_add_epi16(_mm_add_epi16(a0, a2), _mm_add_epi16(a1, a1)));
            const __m128i ax = _mm_max_epi16(gx, _mm_sub_epi16(zero, gx));
            const __m128i ay = _mm_max_epi16(gy, _mm_sub_epi16(zero, gy));
            store(dxp + x, gx);
            store(dyp + x, gy);
            store(m + x, _mm_add_epi16(ax, ay));
        };
        for (; x + 8 < width; x += 8) sobel8(x);
        // The pixels left over are redone as the last eight before the end
        // column: the same inputs give the same values.
        if (x + 1 < width && width >= 10) {
            sobel8(width - 9);
            x = width - 1;
        }
#endif
        for (; x + 1 < width; ++x) at(x, x - 1, x + 1);
        at(width - 1, width - 2, width - 1);
    }
};

// Non-maximum suppression of one row. The gradient direction picks the
// two neighbours across the edge: horizontal within 22.5 degrees of the x
// axis, vertical within 22.5 degrees of the y axis, else the diagonal
// whose slope matches the gradient's sign. A candidate must beat the
// neighbour before it and at least equal the one after it (both strictly on
// diagonals). Written with selects only: random gradient directions would
// otherwise mispredict a branch at nearly every pixel.
void classify_tail(const std::int16_t* mp, const std::int16_t* mc, const std::int16_t* mn, const std::int16_t* dx,
                   const std::int16_t* dy, std::size_t from, std::size_t width, int low, int high,
                   std::uint8_t* row) noexcept {
    for (std::size_t x = from; x < width; ++x) {
        // A signed index for the neighbours: the magnitude rows are
        // readable at -1, but x - 1 as an unsigned index wraps at x = 0.
        const auto i = static_cast<std::ptrdiff_t>(x);
        const std::int32_t m = mc[x];
        const std::int32_t xs = dx[x], ys = dy[x];
        const std::int32_t ax = xs < 0 ? -xs : xs;
        const std::int32_t ay = (ys < 0 ? -ys : ys) << kShift;
        const std::int32_t tg22x = ax * static_cast<std::int32_t>(kTan22);
        const std::int32_t tg67x = tg22x + (ax << (kShift + 1));
        const bool horizontal = ay < tg22x;
        const bool vertical = ay > tg67x;
        const bool same_sign = (xs ^ ys) >= 0;
        const std::int32_t diag_before = same_sign ? mp[i - 1] : mp[i + 1];
        const std::int32_t diag_after = same_sign ? mn[i + 1] : mn[i - 1];
        const std::int32_t before = horizontal ? mc[i - 1] : (vertical ? mp[x] : diag_before);
        const std::int32_t after = horizontal ? mc[x + 1] : (vertical ? mn[x] : diag_after);
        // m >= after is m + 1 > after.
        const std::int32_t slack = (horizontal | vertical) ? 1 : 0;
        const bool peak = (m > low) & (m > before) & (m + slack > after);
        row[x] = peak ? (m > high ? kEdge : kCandidate) : kNotEdge;
    }
}

#if TESSEL_HAVE_SSE2_KERNELS
// Eight 16-bit lanes of a <- mask ? a : b.
inline __m128i select(__m128i mask, __m128i a, __m128i b) noexcept {
    return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}

// The direction sectors of eight gradients as 16-bit lane masks (see
// kCannyTan22x2 for why 16 bits are exact).
inline void sectors(__m128i ax, __m128i ay, __m128i& horizontal, __m128i& vertical) noexcept {
    const __m128i t = _mm_mulhi_epu16(ax, _mm_set1_epi16(static_cast<std::int16_t>(kCannyTan22x2)));
    horizontal = _mm_cmpgt_epi16(_mm_add_epi16(t, _mm_set1_epi16(1)), ay);
    vertical = _mm_cmpgt_epi16(_mm_sub_epi16(ay, _mm_add_epi16(ax, ax)), t);
}
#endif

// Classifies one row into map states and adds its edges and candidates to
// `counts`.
void classify_row(const std::int16_t* mp, const std::int16_t* mc, const std::int16_t* mn, const std::int16_t* dx,
                  const std::int16_t* dy, std::size_t width, int low, int high, bool avx2, std::uint8_t* row,
                  CannyRowCounts& counts) noexcept {
    std::size_t x = 0;
    // Magnitudes are at most 2040: thresholds beyond 16 bits act like 16-bit ones.
    [[maybe_unused]] const auto lo16 = static_cast<std::int16_t>(std::clamp(low, -32768, 32767));
    [[maybe_unused]] const auto hi16 = static_cast<std::int16_t>(std::clamp(high, -32768, 32767));
#if TESSEL_HAVE_AVX2_KERNELS
    if (avx2) x = canny_classify_avx2(mp, mc, mn, dx, dy, width, lo16, hi16, row, counts);
#else
    (void)avx2;
#endif
#if TESSEL_HAVE_SSE2_KERNELS
    static_assert(kCandidate == 0 && kNotEdge == 1 && kEdge == 2);
    if (x + 8 <= width || (x < width && width >= 8)) {
        auto load = [](const std::int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
        const __m128i lo = _mm_set1_epi16(lo16), hi = _mm_set1_epi16(hi16);
        const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi16(1);
        // Per-lane counts (minus one per hit), folded before they can overflow.
        __m128i edge_acc = zero, peak_acc = zero;
        std::size_t pending = 0;
        auto fold = [&] {
            alignas(16) std::int32_t e[4], p[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(e), _mm_madd_epi16(edge_acc, one));
            _mm_store_si128(reinterpret_cast<__m128i*>(p), _mm_madd_epi16(peak_acc, one));
            const auto edges = static_cast<std::size_t>(-(e[0] + e[1] + e[2] + e[3]));
            counts.edges += edges;
            counts.candidates += static_cast<std::size_t>(-(p[0] + p[1] + p[2] + p[3])) - edges;
            edge_acc = peak_acc = zero;
            pending = 0;
        };
        // Writes the states of pixels x .. x + 7 and counts the lanes in `fresh`.
        auto classify8 = [&](std::size_t x, __m128i fresh) {
            const __m128i m = load(mc + x), xs = load(dx + x), ys = load(dy + x);
            const __m128i ax = _mm_max_epi16(xs, _mm_sub_epi16(zero, xs));
            const __m128i ay = _mm_max_epi16(ys, _mm_sub_epi16(zero, ys));
            __m128i horizontal, vertical;
            sectors(ax, ay, horizontal, vertical);
            const __m128i same_sign = _mm_cmpgt_epi16(_mm_xor_si128(xs, ys), _mm_set1_epi16(-1));
            const __m128i diag_before = select(same_sign, load(mp + x - 1), load(mp + x + 1));
            const __m128i diag_after = select(same_sign, load(mn + x + 1), load(mn + x - 1));
            const __m128i before = select(horizontal, load(mc + x - 1), select(vertical, load(mp + x), diag_before));
            __m128i after = select(horizontal, load(mc + x + 1), select(vertical, load(mn + x), diag_after));
            // Off the diagonals m >= after is m > after - 1.
            after = _mm_add_epi16(after, _mm_or_si128(horizontal, vertical));
            const __m128i peak = _mm_and_si128(_mm_and_si128(_mm_cmpgt_epi16(m, lo), _mm_cmpgt_epi16(m, before)),
                                               _mm_cmpgt_epi16(m, after));
            const __m128i strong = _mm_and_si128(peak, _mm_cmpgt_epi16(m, hi));
            // 1 + peak - 2 strong: 1 for neither, 0 for a candidate, 2 for an edge.
            const __m128i state = _mm_sub_epi16(_mm_add_epi16(one, peak), _mm_add_epi16(strong, strong));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(row + x), _mm_packus_epi16(state, zero));
            edge_acc = _mm_add_epi16(edge_acc, _mm_and_si128(strong, fresh));
            peak_acc = _mm_add_epi16(peak_acc, _mm_and_si128(peak, fresh));
        };
        const __m128i all = _mm_set1_epi16(-1);
        for (; x + 8 <= width; x += 8) {
            classify8(x, all);
            if (++pending == 16384) fold();
        }
        // The pixels left over are classified as part of the last eight,
        // counting only the lanes not counted yet.
        if (x < width) {
            const std::size_t last = width - 8;
            const __m128i lanes = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
            classify8(last, _mm_cmpgt_epi16(lanes, _mm_set1_epi16(static_cast<std::int16_t>(x - last) - 1)));
            x = width;
        }
        fold();
    }
#endif
    const std::size_t from = x;
    classify_tail(mp, mc, mn, dx, dy, from, width, low, high, row);
    for (; x < width; ++x) {
        counts.edges += row[x] == kEdge;
        counts.candidates += row[x] == kCandidate;
    }
}

// Classifies the pixels of rows [y0, y1) into the map (row y at map row
// y + 1) and frames those rows with kNotEdge on both sides.
CannyRowCounts suppress(const std::uint8_t* grey, std::size_t height, std::size_t width, int low, int high,
                        bool avx2, std::size_t y0, std::size_t y1, std::uint8_t* map) {
    const std::size_t step = map_step(width);
    const std::size_t row_space = 3 * width + 2;
    const auto space = std::make_unique_for_overwrite<std::int16_t[]>(3 * row_space);
    GradientRow rows[3] = {{space.get(), width}, {space.get() + row_space, width}, {space.get() + 2 * row_space, width}};
    GradientRow* prev = &rows[0];
    GradientRow* cur = &rows[1];
    GradientRow* next = &rows[2];
    if (y0 > 0)
        prev->compute(grey, height, width, y0 - 1, avx2);
    else
        prev->clear(width);
    cur->compute(grey, height, width, y0, avx2);
    CannyRowCounts counts;
    for (std::size_t y = y0; y < y1; ++y) {
        if (y + 1 < height)
            next->compute(grey, height, width, y + 1, avx2);
        else
            next->clear(width);
        std::uint8_t* row = map + (y + 1) * step + 1;
        row[-1] = row[width] = row[width + 1] = kNotEdge;
        classify_row(prev->mag + 1, cur->mag + 1, next->mag + 1, cur->dx, cur->dy, width, low, high, avx2, row, counts);
        GradientRow* const done = prev;
        prev = cur;
        cur = next;
        next = done;
    }
    return counts;
}

// Four bytes of the map, read unaligned.
inline std::uint32_t load4(const std::uint8_t* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Four map bytes standing in for a row outside the walked slice.
constexpr std::uint8_t kOutsideRow[4] = {kNotEdge, kNotEdge, kNotEdge, kNotEdge};

// Bit 4 r + c set where byte c (0..2) of row r (0..2) holds `state`: the
// three rows' first four bytes side by side, the fourth byte left out.
template <std::uint8_t State>
inline std::uint32_t states_in(std::uint32_t above, std::uint32_t middle, std::uint32_t below) noexcept {
#if TESSEL_HAVE_SSE2_KERNELS
    const __m128i rows = _mm_unpacklo_epi64(
        _mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(above)), _mm_cvtsi32_si128(static_cast<int>(middle))),
        _mm_cvtsi32_si128(static_cast<int>(below)));
    const auto hits = static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(rows, _mm_set1_epi8(static_cast<char>(State)))));
    return hits & 0x777u;
#else
    // The map holds only 0, 1 and 2: bit 0 set means 1, bit 1 set means 2,
    // neither means 0.
    auto row = [](std::uint32_t v) {
        const std::uint32_t hit = State == kCandidate ? ~(v | (v >> 1)) & 0x00010101u : (v >> 1) & 0x00010101u;
        return (hit | (hit >> 7) | (hit >> 14)) & 7u;
    };
    return row(above) | row(middle) << 4 | row(below) << 8;
#endif
}

// Calls f(base + x + i), in order, for every bit i set in `hits` whose
// byte row[x + i] still holds `state` when reached (f may change the map).
template <class F>
inline void for_each_hit(std::uint32_t hits, const std::uint8_t* row, std::size_t base, std::size_t x,
                         std::uint8_t state, F& f) {
    while (hits != 0) {
        const std::size_t at = x + static_cast<std::size_t>(std::countr_zero(hits));
        hits &= hits - 1;
        if (row[at] == state) f(base + at);
    }
}

// Calls f(offset) for every map offset in image rows [y0, y1) holding
// `state`, in order. The map may change behind the scan; each byte is read
// when reached.
template <class F>
void for_each_state(const std::uint8_t* map, std::size_t width, std::size_t y0, std::size_t y1, std::uint8_t state,
                    F&& f) {
    const std::size_t step = map_step(width);
    for (std::size_t y = y0; y < y1; ++y) {
        const std::size_t base = (y + 1) * step + 1;
        const std::uint8_t* row = map + base;
        std::size_t x = 0;
#if TESSEL_HAVE_SSE2_KERNELS
        const __m128i wanted = _mm_set1_epi8(static_cast<char>(state));
        for (; x + 16 <= width; x += 16) {
            auto hits = static_cast<std::uint32_t>(
                _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x)), wanted)));
            for_each_hit(hits, row, base, x, state, f);
        }
#endif
        for (; x < width; ++x)
            if (row[x] == state) f(base + x);
    }
}

// Calls f(offset) for the map offsets in image rows [y0, y1) holding
// `State` that had a pixel holding `Other` among their neighbours in
// those rows when the scan reached them (sixteen pixels at a time), and
// plainly for every pixel holding `State` where sixteen do not fit; in
// order. Pixels only ever turn from candidate to edge, so a pixel skipped
// here never gains the neighbour it lacked.
template <std::uint8_t State, std::uint8_t Other, class F>
void for_each_state_next_to(const std::uint8_t* map, std::size_t width, std::size_t y0, std::size_t y1, F&& f) {
    const std::size_t step = map_step(width);
    for (std::size_t y = y0; y < y1; ++y) {
        const std::size_t base = (y + 1) * step + 1;
        const std::uint8_t* row = map + base;
        std::size_t x = 0;
#if TESSEL_HAVE_SSE2_KERNELS
        // A row outside the slice is replaced by the row itself, which adds nothing.
        const std::uint8_t* above = y > y0 ? row - step : row;
        const std::uint8_t* below = y + 1 < y1 ? row + step : row;
        const __m128i wanted = _mm_set1_epi8(static_cast<char>(State));
        const __m128i other = _mm_set1_epi8(static_cast<char>(Other));
        auto load = [](const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
        // kCandidate is the least state and kEdge the greatest, so the
        // neighbourhood's minimum or maximum tells whether one is there.
        auto extreme = [](__m128i a, __m128i b) {
            if constexpr (Other == kCandidate)
                return _mm_min_epu8(a, b);
            else
                return _mm_max_epu8(a, b);
        };
        static_assert(Other == kCandidate || Other == kEdge);
        for (; x + 16 <= width; x += 16) {
            const __m128i centre = load(row + x);
            if (_mm_movemask_epi8(_mm_cmpeq_epi8(centre, wanted)) == 0) continue;
            __m128i e = extreme(extreme(load(above + x - 1), load(above + x)), load(above + x + 1));
            e = extreme(e, extreme(extreme(load(row + x - 1), centre), load(row + x + 1)));
            e = extreme(e, extreme(extreme(load(below + x - 1), load(below + x)), load(below + x + 1)));
            auto hits = static_cast<std::uint32_t>(
                _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(centre, wanted), _mm_cmpeq_epi8(e, other))));
            for_each_hit(hits, row, base, x, State, f);
        }
#endif
        for (; x < width; ++x)
            if (row[x] == State) f(base + x);
    }
}

// The hysteresis walk over image rows [y0, y1), never reading or writing a
// row outside them, so slices can run side by side.
template <class Index>
class Walk {
public:
    Walk(std::uint8_t* map, std::size_t width, std::size_t y0, std::size_t y1, bool avx2) noexcept
        : map_(map), step_(map_step(width)), first_((y0 + 1) * step_), last_(y1 * step_), avx2_(avx2) {
        const auto row = static_cast<std::ptrdiff_t>(step_);
        for (std::size_t bit = 0; bit < offset_.size(); ++bit)
            offset_[bit] = (static_cast<std::ptrdiff_t>(bit / 4) - 1) * row + static_cast<std::ptrdiff_t>(bit % 4) - 1;
    }

#if TESSEL_HAVE_AVX2_KERNELS
    // Queues the starting pixels of image row y (see canny_seed_row_avx2;
    // rows outside the slice left out) and returns how many; for a width
    // of 32 or more with 32-bit offsets.
    std::size_t seed_row_avx2(std::size_t y, bool from_edges) {
        const std::size_t width = step_ - map_step(0), base = (y + 1) * step_ + 1;
        std::uint8_t* row = map_ + base;
        const std::uint8_t* above = base >= first_ + step_ ? row - step_ : row;
        const std::uint8_t* below = base < last_ ? row + step_ : row;
        reserve(width + 8);
        const std::size_t n = canny_seed_row_avx2(row, above, below, width, base, from_edges, queue_.get() + size_);
        size_ += n;
        return n;
    }
#endif

    // Queues an edge whose candidate neighbours spread() is to mark.
    void seed(std::size_t at) {
        reserve(1);
        queue_[size_++] = static_cast<Index>(at);
    }

    // Marks every candidate reachable from the queued edges; returns how
    // many. Each queued pixel is handled without a branch on what its
    // neighbourhood holds (in dense patches of candidates such a branch
    // would go wrong at nearly every pixel): its three rows are written
    // back with the candidates turned into edges, and all eight neighbours
    // are written to the queue's end but only the marked ones kept.
    std::uint64_t spread() {
#if TESSEL_HAVE_AVX2_KERNELS
        if constexpr (sizeof(Index) == sizeof(std::uint32_t)) {
            if (avx2_) {
                const std::size_t seeds = size_;
                CannyQueue queue{nullptr, 0, size_, 0};
                while (queue.next < queue.size) {
                    size_ = queue.size;
                    reserve(8);
                    queue.items = queue_.get();
                    queue.capacity = capacity_;
                    canny_walk_avx2(map_, step_, first_, last_, queue);
                }
                size_ = 0;
                return queue.size - seeds;
            }
        }
#endif
        // Everything the loop carries lives in locals: the byte writes to
        // the map could otherwise alias the members and force a reload of
        // each after every write.
        const std::size_t seeds = size_, first = first_, last = last_, step = step_;
        std::array<std::ptrdiff_t, 8> around;
        for (std::size_t k = 0; k < around.size(); ++k) around[k] = offset_[kNeighbourBits[k]];
        std::uint8_t outside[4] = {kNotEdge, kNotEdge, kNotEdge, kNotEdge};
        std::size_t size = size_;
        for (std::size_t i = 0; i < size; ++i) {
            if (size + 8 > capacity_) {
                size_ = size;
                reserve(8);
            }
            Index* const queue = queue_.get();
            const std::size_t at = queue[i];
            std::uint8_t* p = map_ + at - 1;
            std::uint8_t* above = at >= first + step ? p - step : outside;
            std::uint8_t* below = at < last ? p + step : outside;
            const std::uint32_t a = load4(above), m = load4(p), b = load4(below);
            const std::uint32_t found = states_in<kCandidate>(a, m, b);
            store4(above, candidates_to_edges(a));
            store4(p, candidates_to_edges(m));
            store4(below, candidates_to_edges(b));
            Index* out = queue + size;
            for (std::size_t k = 0; k < around.size(); ++k) {
                *out = static_cast<Index>(at + static_cast<std::size_t>(around[k]));
                out += (found >> kNeighbourBits[k]) & 1u;
            }
            size = static_cast<std::size_t>(out - queue);
        }
        size_ = 0;
        return size - seeds;
    }

    bool next_to_edge(std::size_t at) const noexcept { return around<kEdge>(at) != 0; }

private:
    // The 3 x 3 neighbourhood of `at` as a mask of the pixels holding
    // `State` (bit 4 r + c for row r, column c; bit 5 is `at` itself), rows
    // outside the slice left out.
    template <std::uint8_t State>
    std::uint32_t around(std::size_t at) const noexcept {
        const std::uint8_t* p = map_ + at - 1;
        const std::uint8_t* above = at >= first_ + step_ ? p - step_ : kOutsideRow;
        const std::uint8_t* below = at < last_ ? p + step_ : kOutsideRow;
        return states_in<State>(load4(above), load4(p), load4(below));
    }

    // Room for `more` entries after the queue's end.
    void reserve(std::size_t more) {
        if (size_ + more <= capacity_) return;
        const std::size_t capacity = std::max<std::size_t>({2 * capacity_, size_ + more, 1024});
        auto bigger = std::make_unique_for_overwrite<Index[]>(capacity);
        std::copy_n(queue_.get(), size_, bigger.get());
        queue_ = std::move(bigger);
        capacity_ = capacity;
    }

    // Bytes 0..2 of a map word with every candidate made an edge (the map
    // holds only 0, 1 and 2: a byte is 0 when neither of its low bits is set).
    static std::uint32_t candidates_to_edges(std::uint32_t v) noexcept {
        const std::uint32_t candidates = ~(v | (v >> 1)) & 0x00010101u;
        return v | (candidates << 1);
    }

    // Writes a map word back. Its fourth byte is still in the same row
    // (see map_step), so no other slice's bytes are touched.
    static void store4(std::uint8_t* p, std::uint32_t v) noexcept { std::memcpy(p, &v, sizeof v); }

    // The mask bits of the eight neighbours.
    static constexpr std::array<unsigned, 8> kNeighbourBits = {0, 1, 2, 4, 6, 8, 9, 10};

    std::uint8_t* map_;
    std::size_t step_;
    std::size_t first_;  // map offset of the slice's first row
    std::size_t last_;   // map offset of the slice's last row
    bool avx2_;
    std::array<std::ptrdiff_t, 11> offset_;
    std::unique_ptr<Index[]> queue_;
    std::size_t size_ = 0, capacity_ = 0;
};

// Every candidate 8-connected through candidates to an edge becomes an
// edge; returns the edge count. Each row slice is walked on its own first,
// starting from whichever set is smaller: the edges next to a candidate
// (each spreads to its candidate neighbours) or the candidates next to an
// edge (each becomes one and spreads). A path that crosses a slice boundary
// then has an edge in a boundary row, and walking the whole map from the
// edges of the boundary rows finishes it.
template <class Index>
std::uint64_t hysteresis(std::uint8_t* map, std::size_t height, std::size_t width, CannyRowCounts counts,
                         std::size_t min_rows, bool avx2) {
    if (counts.edges == 0 || counts.candidates == 0) return counts.edges;
    const bool from_edges = counts.edges <= counts.candidates;
    std::array<std::uint64_t, kMaxSlices> marked{};
    std::array<std::size_t, kMaxSlices> starts{};
    const std::size_t slices = for_row_slices(height, min_rows, [&](std::size_t part, std::size_t y0, std::size_t y1) {
        starts[part] = y0;
        Walk<Index> walk(map, width, y0, y1, avx2);
        std::uint64_t n = 0;
#if TESSEL_HAVE_AVX2_KERNELS
        if constexpr (sizeof(Index) == sizeof(std::uint32_t)) {
            if (avx2 && width >= 32) {
                for (std::size_t y = y0; y < y1; ++y) {
                    const std::size_t seeds = walk.seed_row_avx2(y, from_edges);
                    if (!from_edges) n += seeds;
                }
                marked[part] = n + walk.spread();
                return;
            }
        }
#endif
        if (from_edges) {
            for_each_state_next_to<kEdge, kCandidate>(map, width, y0, y1, [&](std::size_t at) { walk.seed(at); });
        } else {
            for_each_state_next_to<kCandidate, kEdge>(map, width, y0, y1, [&](std::size_t at) {
                if (!walk.next_to_edge(at)) return;
                map[at] = kEdge;
                ++n;
                walk.seed(at);
            });
        }
        marked[part] = n + walk.spread();
    });
    std::uint64_t total = counts.edges;
    for (std::uint64_t n : marked) total += n;
    if (slices > 1) {
        Walk<Index> whole(map, width, 0, height, avx2);
        for (std::size_t part = 1; part < slices; ++part)
            for_each_state(map, width, starts[part] - 1, starts[part] + 1, kEdge, [&](std::size_t at) { whole.seed(at); });
        total += whole.spread();
    }
    return total;
}

// The padded map: the image's states with a kNotEdge frame (rows
// map_step apart), plus one spare byte.
struct StateMap {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t step = 0;

    const std::uint8_t* row(std::size_t y) const noexcept { return bytes.get() + (y + 1) * step + 1; }
};

template <class Index>
std::uint64_t detect(const std::uint8_t* grey, std::size_t height, std::size_t width, int low, int high, bool avx2,
                     StateMap& map) {
    const std::size_t step = map_step(width);
    // Only the frame rows are set here: the row passes write every pixel of
    // their rows and the frame bytes beside them.
    map.step = step;
    map.bytes = std::make_unique_for_overwrite<std::uint8_t[]>((height + 2) * step + 1);
    std::uint8_t* bytes = map.bytes.get();
    std::memset(bytes, kNotEdge, step);
    std::memset(bytes + (height + 1) * step, kNotEdge, step + 1);
    std::array<CannyRowCounts, kMaxSlices> found{};
    const std::size_t min_rows = std::max<std::size_t>(1, kSlicePixels / width);
    for_row_slices(height, min_rows, [&](std::size_t part, std::size_t y0, std::size_t y1) {
        found[part] = suppress(grey, height, width, low, high, avx2, y0, y1, bytes);
    });
    CannyRowCounts counts;
    for (const CannyRowCounts& c : found) {
        counts.edges += c.edges;
        counts.candidates += c.candidates;
    }
    return hysteresis<Index>(bytes, height, width, counts, min_rows, avx2);
}

std::uint64_t run(const std::uint8_t* grey, std::size_t height, std::size_t width, int low, int high, bool vectorised,
                  StateMap& map) {
    if (height == 0 || width == 0) return 0;
    if (low > high) std::swap(low, high);
    const bool avx2 = vectorised && cpu_has_avx2();
    // 32-bit offsets halve the edge stack whenever the map allows them.
    if ((height + 2) * map_step(width) + 1 <= UINT32_MAX)
        return detect<std::uint32_t>(grey, height, width, low, high, avx2, map);
    return detect<std::size_t>(grey, height, width, low, high, avx2, map);
}

}  // namespace

std::uint64_t canny_edge_count(const std::uint8_t* grey, std::size_t height, std::size_t width, int low, int high,
                               bool vectorised) {
    StateMap map;
    return run(grey, height, width, low, high, vectorised, map);
}

std::uint64_t canny_edges(const std::uint8_t* grey, std::size_t height, std::size_t width, int low, int high,
                          std::uint8_t* edges, bool vectorised) {
    StateMap map;
    const std::uint64_t count = run(grey, height, width, low, high, vectorised, map);
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* row = map.row(y);
        for (std::size_t x = 0; x < width; ++x) edges[y * width + x] = row[x] == kEdge ? 255 : 0;
    }
    return count;
}

}  // namespace image::kernels
