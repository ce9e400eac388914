#include "image/kernels/canny.hpp"

#include "image/kernels/parallel.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace image::kernels {

namespace {

// States in the padded pixel map. The one-pixel frame around the image is
// kNotEdge, so the hysteresis walk never leaves the image.
constexpr std::uint8_t kCandidate = 0;
constexpr std::uint8_t kNotEdge = 1;
constexpr std::uint8_t kEdge = 2;

// tan(22.5 deg) in 15-bit fixed point, the sector bound of the direction test.
constexpr int kShift = 15;
constexpr std::int64_t kTan22 = 13573;  // round(0.41421356 * 2^15)

// Rows per slice below which a second thread does not pay.
constexpr std::size_t kSlicePixels = 1 << 18;

// One row's derivatives and magnitude; magnitude has a zero on each side
// (index 0 and width + 1) so neighbours past the edge never win.
struct GradientRow {
    std::vector<std::int16_t> dx, dy;
    std::vector<std::int32_t> mag;
    explicit GradientRow(std::size_t width) : dx(width), dy(width), mag(width + 2, 0) {}

    void clear() noexcept { std::fill(mag.begin(), mag.end(), 0); }

    // Sobel 3x3 of row y, rows and columns past the edge replicated.
    void compute(const std::uint8_t* grey, std::size_t height, std::size_t width, std::size_t y) noexcept {
        const std::uint8_t* a = grey + (y > 0 ? y - 1 : 0) * width;
        const std::uint8_t* b = grey + y * width;
        const std::uint8_t* c = grey + (y + 1 < height ? y + 1 : y) * width;
        auto at = [&](std::size_t x, std::size_t l, std::size_t r) {
            const int gx = (a[r] - a[l]) + 2 * (b[r] - b[l]) + (c[r] - c[l]);
            const int gy = (c[l] + 2 * c[x] + c[r]) - (a[l] + 2 * a[x] + a[r]);
            dx[x] = static_cast<std::int16_t>(gx);
            dy[x] = static_cast<std::int16_t>(gy);
            mag[x + 1] = std::abs(gx) + std::abs(gy);
        };
        if (width == 1) {
            at(0, 0, 0);
            return;
        }
        at(0, 0, 1);
        std::int16_t* dxp = dx.data();
        std::int16_t* dyp = dy.data();
        std::int32_t* m = mag.data() + 1;
        for (std::size_t x = 1; x + 1 < width; ++x) {
            const int gx = (a[x + 1] - a[x - 1]) + 2 * (b[x + 1] - b[x - 1]) + (c[x + 1] - c[x - 1]);
            const int gy = (c[x - 1] + 2 * c[x] + c[x + 1]) - (a[x - 1] + 2 * a[x] + a[x + 1]);
            dxp[x] = static_cast<std::int16_t>(gx);
            dyp[x] = static_cast<std::int16_t>(gy);
            m[x] = std::abs(gx) + std::abs(gy);
        }
        at(width - 1, width - 2, width - 1);
    }
};

// Non-maximum suppression of one row. The gradient direction picks the
// two neighbours across the edge: horizontal within 22.5 degrees of the x
// axis, vertical within 22.5 degrees of the y axis, else the diagonal
// whose slope matches the gradient's sign. A candidate must beat the
// neighbour before it and at least equal the one after it (both strictly on
// diagonals). Written with selects only, so it vectorises; random gradient
// directions would otherwise mispredict a branch at nearly every pixel.
void classify_tail(const std::int32_t* mp, const std::int32_t* mc, const std::int32_t* mn, const std::int16_t* dx,
                  const std::int16_t* dy, std::size_t from, std::size_t width, int low, int high,
                   std::uint8_t* row) noexcept {
    for (std::size_t x = from; x < width; ++x) {
        const std::int32_t m = mc[x];
        const std::int32_t xs = dx[x], ys = dy[x];
        const std::int32_t ax = xs < 0 ? -xs : xs;
        const std::int32_t ay = (ys < 0 ? -ys : ys) << kShift;
        const std::int32_t tg22x = ax * static_cast<std::int32_t>(kTan22);
        const std::int32_t tg67x = tg22x + (ax << (kShift + 1));
        const bool horizontal = ay < tg22x;
        const bool vertical = ay > tg67x;
        const bool same_sign = (xs ^ ys) >= 0;
        const std::int32_t diag_before = same_sign ? mp[x - 1] : mp[x + 1];
        const std::int32_t diag_after = same_sign ? mn[x + 1] : mn[x - 1];
        const std::int32_t before = horizontal ? mc[x - 1] : (vertical ? mp[x] : diag_before);
        const std::int32_t after = horizontal ? mc[x + 1] : (vertical ? mn[x] : diag_after);
        // m >= after is m + 1 > after.
        const std::int32_t slack = (horizontal | vertical) ? 1 : 0;
        const bool peak = (m > low) & (m > before) & (m + slack > after);
        row[x] = peak ? (m > high ? kEdge : kCandidate) : kNotEdge;
    }
}

#if defined(__SSE2__)
// Four int32 lanes of a <- mask ? a : b.
inline __m128i select(__m128i mask, __m128i a, __m128i b) noexcept {
    return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}

// Lanes 0..3 of the eight pixels at x: the state bytes as four int32.
inline __m128i classify4(const std::int32_t* mp, const std::int32_t* mc, const std::int32_t* mn, __m128i xs,
                         __m128i ys, __m128i low, __m128i high) noexcept {
    auto load = [](const std::int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    const __m128i one = _mm_set1_epi32(1);
    const __m128i m = load(mc);
    const __m128i sx = _mm_srai_epi32(xs, 31), sy = _mm_srai_epi32(ys, 31);
    const __m128i ax = _mm_sub_epi32(_mm_xor_si128(xs, sx), sx);
    const __m128i ay = _mm_slli_epi32(_mm_sub_epi32(_mm_xor_si128(ys, sy), sy), kShift);
    // ax < 2^11, so a 16-bit multiply-add of (ax, 0) by (tan, 0) is exact.
    const __m128i tg22x = _mm_madd_epi16(ax, _mm_set1_epi32(static_cast<int>(kTan22)));
    const __m128i tg67x = _mm_add_epi32(tg22x, _mm_slli_epi32(ax, kShift + 1));
    const __m128i horizontal = _mm_cmplt_epi32(ay, tg22x);
    const __m128i vertical = _mm_cmpgt_epi32(ay, tg67x);
    const __m128i same_sign = _mm_cmpgt_epi32(_mm_xor_si128(xs, ys), _mm_set1_epi32(-1));
    const __m128i diag_before = select(same_sign, load(mp - 1), load(mp + 1));
    const __m128i diag_after = select(same_sign, load(mn + 1), load(mn - 1));
    const __m128i before = select(horizontal, load(mc - 1), select(vertical, load(mp), diag_before));
    const __m128i after = select(horizontal, load(mc + 1), select(vertical, load(mn), diag_after));
    const __m128i slack = _mm_and_si128(_mm_or_si128(horizontal, vertical), one);
    const __m128i peak = _mm_and_si128(_mm_and_si128(_mm_cmpgt_epi32(m, low), _mm_cmpgt_epi32(m, before)),
                                       _mm_cmpgt_epi32(_mm_add_epi32(m, slack), after));
    const __m128i strong = _mm_and_si128(_mm_cmpgt_epi32(m, high), _mm_set1_epi32(kEdge));
    return select(peak, strong, _mm_set1_epi32(kNotEdge));
}
#endif

void classify_row(const std::int32_t* mp, const std::int32_t* mc, const std::int32_t* mn, const std::int16_t* dx,
                  const std::int16_t* dy, std::size_t width, int low, int high, std::uint8_t* row) noexcept {
    std::size_t x = 0;
#if defined(__SSE2__)
    const __m128i lo = _mm_set1_epi32(low), hi = _mm_set1_epi32(high);
    for (; x + 8 <= width; x += 8) {
        const __m128i dx8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dx + x));
        const __m128i dy8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dy + x));
        // Sign-extend the 16-bit derivatives to 32 bits.
        const __m128i dx_lo = _mm_srai_epi32(_mm_unpacklo_epi16(dx8, dx8), 16);
        const __m128i dx_hi = _mm_srai_epi32(_mm_unpackhi_epi16(dx8, dx8), 16);
        const __m128i dy_lo = _mm_srai_epi32(_mm_unpacklo_epi16(dy8, dy8), 16);
        const __m128i dy_hi = _mm_srai_epi32(_mm_unpackhi_epi16(dy8, dy8), 16);
        const __m128i a = classify4(mp + x, mc + x, mn + x, dx_lo, dy_lo, lo, hi);
        const __m128i b = classify4(mp + x + 4, mc + x + 4, mn + x + 4, dx_hi, dy_hi, lo, hi);
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_setzero_si128());
        _mm_storel_epi64(reinterpret_cast<__m128i*>(row + x), bytes);
    }
#endif
    classify_tail(mp, mc, mn, dx, dy, x, width, low, high, row);
}

// How many pixels of a slice are edges above the high threshold and how
// many are candidates below it.
struct StateCounts {
    std::uint64_t edges = 0, candidates = 0;
};

// Classifies the pixels of rows [y0, y1) into the map (row y at map row y + 1).
StateCounts suppress(const std::uint8_t* grey, std::size_t height, std::size_t width, int low, int high,
                     std::size_t y0, std::size_t y1, std::uint8_t* map) {
    const std::size_t step = width + 2;
    GradientRow prev(width), cur(width), next(width);
    if (y0 > 0) prev.compute(grey, height, width, y0 - 1);
    cur.compute(grey, height, width, y0);
    StateCounts counts;
    for (std::size_t y = y0; y < y1; ++y) {
        if (y + 1 < height)
            next.compute(grey, height, width, y + 1);
        else
            next.clear();
        std::uint8_t* row = map + (y + 1) * step + 1;
        classify_row(prev.mag.data() + 1, cur.mag.data() + 1, next.mag.data() + 1, cur.dx.data(), cur.dy.data(),
                     width, low, high, row);
        std::uint32_t edges = 0, candidates = 0;
        for (std::size_t x = 0; x < width; ++x) {
            edges += row[x] == kEdge;
            candidates += row[x] == kCandidate;
        }
        counts.edges += edges;
        counts.candidates += candidates;
        std::swap(prev, cur);
        std::swap(cur, next);
    }
    return counts;
}

// Bits 0..2: which of the three bytes at p hold `state` (the map holds only
// 0, 1 and 2: bit 0 set means 1, bit 1 set means 2, neither means 0).
template <std::uint8_t State>
inline std::uint32_t states_at(const std::uint8_t* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    std::uint32_t hit;
    if constexpr (State == kCandidate)
        hit = ~(v | (v >> 1)) & 0x00010101u;
    else
        hit = (v >> 1) & 0x00010101u;
    return (hit | (hit >> 7) | (hit >> 14)) & 7u;
}

// Calls f(offset) for every map offset in image rows [y0, y1) holding
// `state`, in order. The map may change behind the scan; each byte is read
// when reached.
template <class F>
void for_each_state(const std::uint8_t* map, std::size_t width, std::size_t y0, std::size_t y1, std::uint8_t state,
                    F&& f) {
    const std::size_t step = width + 2;
    for (std::size_t y = y0; y < y1; ++y) {
        const std::size_t base = (y + 1) * step + 1;
        const std::uint8_t* row = map + base;
        std::size_t x = 0;
#if defined(__SSE2__)
        const __m128i wanted = _mm_set1_epi8(static_cast<char>(state));
        for (; x + 16 <= width; x += 16) {
            auto hits = static_cast<std::uint32_t>(
                _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x)), wanted)));
            while (hits != 0) {
                const std::size_t at = x + static_cast<std::size_t>(std::countr_zero(hits));
                hits &= hits - 1;
                if (row[at] == state) f(base + at);
            }
        }
#endif
        for (; x < width; ++x)
            if (row[x] == state) f(base + x);
    }
}

// The hysteresis walk over image rows [y0, y1), never reading or writing a
// row outside them, so slices can run side by side.
template <class Index>
class Walk {
public:
    Walk(std::uint8_t* map, std::size_t width, std::size_t y0, std::size_t y1) noexcept
        : map_(map), step_(width + 2), first_((y0 + 1) * step_), last_(y1 * step_) {
        const auto row = static_cast<std::ptrdiff_t>(step_);
        offset_ = {-row - 1, -row, -row + 1, -1, 0, 1, row - 1, row, row + 1};
    }

    // Marks every candidate reachable from the edge at `from`; returns how many.
    std::uint64_t spread(std::size_t from) {
        std::uint64_t marked = 0;
        stack_.push_back(static_cast<Index>(from));
        while (!stack_.empty()) {
            const std::size_t at = stack_.back();
            stack_.pop_back();
            std::uint32_t found = around<kCandidate>(at);
            while (found != 0) {
                const std::ptrdiff_t next = static_cast<std::ptrdiff_t>(at) + offset_[std::countr_zero(found)];
                found &= found - 1;
                map_[next] = kEdge;
                ++marked;
                stack_.push_back(static_cast<Index>(next));
            }
        }
        return marked;
    }

    bool next_to_edge(std::size_t at) const noexcept { return around<kEdge>(at) != 0; }

private:
    // The 3 x 3 neighbourhood of `at` as a 9-bit mask of the pixels holding
    // `State` (bit 4 is `at` itself), rows outside the slice left out.
    template <std::uint8_t State>
    std::uint32_t around(std::size_t at) const noexcept {
        const std::uint8_t* p = map_ + at;
        const std::uint32_t above = at >= first_ + step_ ? states_at<State>(p - step_ - 1) : 0;
        const std::uint32_t below = at < last_ ? states_at<State>(p + step_ - 1) : 0;
        return above | states_at<State>(p - 1) << 3 | below << 6;
    }

    std::uint8_t* map_;
    std::size_t step_;
    std::size_t first_;  // map offset of the slice's first row
    std::size_t last_;   // map offset of the slice's last row
    std::array<std::ptrdiff_t, 9> offset_;
    std::vector<Index> stack_;
};

// Every candidate 8-connected through candidates to an edge becomes an
// edge; returns the edge count. Each row slice is walked on its own first,
// starting from whichever set is smaller: the edges (each spreads to its
// candidate neighbours) or the candidates (each with an edge neighbour
// becomes one and spreads). A path that crosses a slice boundary then has
// an edge in a boundary row, and walking the whole map from the edges of
// the boundary rows finishes it.
template <class Index>
std::uint64_t hysteresis(std::uint8_t* map, std::size_t height, std::size_t width, StateCounts counts,
                         std::size_t min_rows) {
    if (counts.edges == 0 || counts.candidates == 0) return counts.edges;
    const bool from_edges = counts.edges <= counts.candidates;
    std::array<std::uint64_t, kMaxSlices> marked{};
    std::array<std::size_t, kMaxSlices> starts{};
    const std::size_t slices = for_row_slices(height, min_rows, [&](std::size_t part, std::size_t y0, std::size_t y1) {
        starts[part] = y0;
        Walk<Index> walk(map, width, y0, y1);
        std::uint64_t n = 0;
        if (from_edges) {
            for_each_state(map, width, y0, y1, kEdge, [&](std::size_t at) { n += walk.spread(at); });
        } else {
            for_each_state(map, width, y0, y1, kCandidate, [&](std::size_t at) {
                if (!walk.next_to_edge(at)) return;
                map[at] = kEdge;
                n += 1 + walk.spread(at);
            });
        }
        marked[part] = n;
    });
    std::uint64_t total = counts.edges;
    for (std::uint64_t n : marked) total += n;
    if (slices > 1) {
        Walk<Index> whole(map, width, 0, height);
        for (std::size_t part = 1; part < slices; ++part)
            for_each_state(map, width, starts[part] - 1, starts[part] + 1, kEdge,
                           [&](std::size_t at) { total += whole.spread(at); });
    }
    return total;
}

template <class Index>
std::uint64_t detect(const std::uint8_t* grey, std::size_t height, std::size_t width, int low, int high,
                     std::vector<std::uint8_t>& map) {
    const std::size_t step = width + 2;
    // One spare byte: the neighbourhood test reads 4 bytes from the last row.
    map.assign((height + 2) * step + 1, kNotEdge);
    std::array<StateCounts, kMaxSlices> found{};
    const std::size_t min_rows = std::max<std::size_t>(1, kSlicePixels / width);
    for_row_slices(height, min_rows, [&](std::size_t part, std::size_t y0, std::size_t y1) {
        found[part] = suppress(grey, height, width, low, high, y0, y1, map.data());
    });
    StateCounts counts;
    for (const StateCounts& c : found) {
        counts.edges += c.edges;
        counts.candidates += c.candidates;
    }
    return hysteresis<Index>(map.data(), height, width, counts, min_rows);
}

std::uint64_t run(const std::uint8_t* grey, std::size_t height, std::size_t width, int low, int high,
                  std::vector<std::uint8_t>& map) {
    if (height == 0 || width == 0) {
        map.clear();
        return 0;
    }
    if (low > high) std::swap(low, high);
    // 32-bit offsets halve the edge stack whenever the map allows them.
    if ((height + 2) * (width + 2) <= UINT32_MAX) return detect<std::uint32_t>(grey, height, width, low, high, map);
    return detect<std::size_t>(grey, height, width, low, high, map);
}

}  // namespace

std::uint64_t canny_edge_count(const std::uint8_t* grey, std::size_t height, std::size_t width, int low, int high) {
    std::vector<std::uint8_t> map;
    return run(grey, height, width, low, high, map);
}

std::uint64_t canny_edges(const std::uint8_t* grey, std::size_t height, std::size_t width, int low, int high,
                          std::uint8_t* edges) {
    std::vector<std::uint8_t> map;
    const std::uint64_t count = run(grey, height, width, low, high, map);
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* row = map.data() + (y + 1) * (width + 2) + 1;
        for (std::size_t x = 0; x < width; ++x) edges[y * width + x] = row[x] == kEdge ? 255 : 0;
    }
    return count;
}

}  // namespace image::kernels
