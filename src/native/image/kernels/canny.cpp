#include "image/kernels/canny.hpp"

#include "image/kernels/parallel.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <utility>
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

// One row's derivatives and magnitude (at most 4 * 255 + 4 * 255, so 16
// bits hold them all); magnitude has a zero on each side (index 0 and
// width + 1) so neighbours past the edge never win.
struct GradientRow {
    std::vector<std::int16_t> dx, dy, mag;
    explicit GradientRow(std::size_t width) : dx(width), dy(width), mag(width + 2, 0) {}

    void clear() noexcept { std::fill(mag.begin(), mag.end(), 0); }

    // Sobel 3x3 of row y, rows and columns past the edge replicated.
    void compute(const std::uint8_t* grey, std::size_t height, std::size_t width, std::size_t y) noexcept {
        const std::uint8_t* a = grey + (y > 0 ? y - 1 : 0) * width;
        const std::uint8_t* b = grey + y * width;
        const std::uint8_t* c = grey + (y + 1 < height ? y + 1 : y) * width;
        std::int16_t* dxp = dx.data();
        std::int16_t* dyp = dy.data();
        std::int16_t* m = mag.data() + 1;
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
        at(0, 0, 1);
        std::size_t x = 1;
#if defined(__SSE2__)
        const __m128i zero = _mm_setzero_si128();
        auto load8 = [&](const std::uint8_t* p) {
            return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
        };
        auto store = [](std::int16_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); };
        for (; x + 8 < width; x += 8) {
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
// Eight 16-bit lanes of a <- mask ? a : b.
inline __m128i select(__m128i mask, __m128i a, __m128i b) noexcept {
    return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}

// The direction sectors of eight gradients as 16-bit lane masks. The
// tests need 32 bits: ax * tan22 - ay * 2^15 comes from one multiply-add
// of the interleaved pairs (ax, ay) by (tan22, -2^15).
inline void sectors(__m128i ax, __m128i ay, __m128i& horizontal, __m128i& vertical) noexcept {
    const __m128i weights = _mm_set1_epi32(static_cast<int>((0xFFFF8000u << 16) | static_cast<std::uint32_t>(kTan22)));
    const __m128i zero = _mm_setzero_si128();
    const __m128i d_lo = _mm_madd_epi16(_mm_unpacklo_epi16(ax, ay), weights);
    const __m128i d_hi = _mm_madd_epi16(_mm_unpackhi_epi16(ax, ay), weights);
    // horizontal: ay 2^15 < ax tan22, i.e. d > 0.
    horizontal = _mm_packs_epi32(_mm_cmpgt_epi32(d_lo, zero), _mm_cmpgt_epi32(d_hi, zero));
    // vertical: ay 2^15 > ax tan22 + ax 2^16, i.e. d + ax 2^16 < 0.
    const __m128i v_lo = _mm_add_epi32(d_lo, _mm_unpacklo_epi16(zero, ax));
    const __m128i v_hi = _mm_add_epi32(d_hi, _mm_unpackhi_epi16(zero, ax));
    vertical = _mm_packs_epi32(_mm_cmplt_epi32(v_lo, zero), _mm_cmplt_epi32(v_hi, zero));
}
#endif

// Classifies one row into map states and returns the number of edges and
// candidates in it.
std::pair<std::size_t, std::size_t> classify_row(const std::int16_t* mp, const std::int16_t* mc,
                                                 const std::int16_t* mn, const std::int16_t* dx,
                                                 const std::int16_t* dy, std::size_t width, int low, int high,
                                                 std::uint8_t* row) noexcept {
    std::size_t x = 0;
    std::size_t edges = 0, candidates = 0;
#if defined(__SSE2__)
    auto load = [](const std::int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    // Magnitudes are at most 2040: thresholds beyond 16 bits act like 16-bit ones.
    const __m128i lo = _mm_set1_epi16(static_cast<std::int16_t>(std::clamp(low, -32768, 32767)));
    const __m128i hi = _mm_set1_epi16(static_cast<std::int16_t>(std::clamp(high, -32768, 32767)));
    const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi16(1), two = _mm_set1_epi16(kEdge);
    // Per-lane counts (minus one per hit), folded before they can overflow.
    __m128i edge_acc = zero, candidate_acc = zero;
    std::size_t pending = 0;
    auto fold = [&] {
        alignas(16) std::int32_t e[4], c[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(e), _mm_madd_epi16(edge_acc, one));
        _mm_store_si128(reinterpret_cast<__m128i*>(c), _mm_madd_epi16(candidate_acc, one));
        edges += static_cast<std::size_t>(-(e[0] + e[1] + e[2] + e[3]));
        candidates += static_cast<std::size_t>(-(c[0] + c[1] + c[2] + c[3]));
        edge_acc = candidate_acc = zero;
        pending = 0;
    };
    for (; x + 8 <= width; x += 8) {
        const __m128i m = load(mc + x), xs = load(dx + x), ys = load(dy + x);
        const __m128i ax = _mm_max_epi16(xs, _mm_sub_epi16(zero, xs));
        const __m128i ay = _mm_max_epi16(ys, _mm_sub_epi16(zero, ys));
        __m128i horizontal, vertical;
        sectors(ax, ay, horizontal, vertical);
        const __m128i same_sign = _mm_cmpgt_epi16(_mm_xor_si128(xs, ys), _mm_set1_epi16(-1));
        const __m128i diag_before = select(same_sign, load(mp + x - 1), load(mp + x + 1));
        const __m128i diag_after = select(same_sign, load(mn + x + 1), load(mn + x - 1));
        const __m128i before = select(horizontal, load(mc + x - 1), select(vertical, load(mp + x), diag_before));
        const __m128i after = select(horizontal, load(mc + x + 1), select(vertical, load(mn + x), diag_after));
        const __m128i slack = _mm_and_si128(_mm_or_si128(horizontal, vertical), one);
        const __m128i peak = _mm_and_si128(_mm_and_si128(_mm_cmpgt_epi16(m, lo), _mm_cmpgt_epi16(m, before)),
                                           _mm_cmpgt_epi16(_mm_add_epi16(m, slack), after));
        const __m128i strong = _mm_and_si128(peak, _mm_cmpgt_epi16(m, hi));
        const __m128i state = select(peak, _mm_and_si128(strong, two), one);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(row + x), _mm_packus_epi16(state, zero));
        edge_acc = _mm_add_epi16(edge_acc, strong);
        candidate_acc = _mm_add_epi16(candidate_acc, _mm_andnot_si128(strong, peak));
        if (++pending == 16384) fold();
    }
    fold();
#endif
    classify_tail(mp, mc, mn, dx, dy, x, width, low, high, row);
    for (; x < width; ++x) {
        edges += row[x] == kEdge;
        candidates += row[x] == kCandidate;
    }
    return {edges, candidates};
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
        const auto [edges, candidates] = classify_row(prev.mag.data() + 1, cur.mag.data() + 1, next.mag.data() + 1,
                                                      cur.dx.data(), cur.dy.data(), width, low, high, row);
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

    // Marks every candidate reachable from the edge at `from`; returns how
    // many. Edges after suppression are thin lines, so the walk follows one
    // newly marked neighbour directly and stacks only the others.
    std::uint64_t spread(std::size_t from) {
        std::uint64_t marked = 0;
        std::size_t at = from;
        for (;;) {
            std::uint32_t found = around<kCandidate>(at);
            if (found == 0) {
                if (stack_.empty()) return marked;
                at = stack_.back();
                stack_.pop_back();
                continue;
            }
            const std::size_t first = at + static_cast<std::size_t>(offset_[std::countr_zero(found)]);
            map_[first] = kEdge;
            ++marked;
            found &= found - 1;
            while (found != 0) {
                const std::size_t next = at + static_cast<std::size_t>(offset_[std::countr_zero(found)]);
                found &= found - 1;
                map_[next] = kEdge;
                ++marked;
                stack_.push_back(static_cast<Index>(next));
            }
            at = first;
        }
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
