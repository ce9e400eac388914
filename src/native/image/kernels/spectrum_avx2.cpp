#include "image/kernels/spectrum_avx2.hpp"

#include "image/kernels/fft.hpp"
#include "image/kernels/parallel.hpp"
#include "image/kernels/simd.hpp"

#if TESSEL_HAVE_AVX2_KERNELS
#include <immintrin.h>

#include <cstring>
#include <memory>
#include <vector>

namespace image::kernels {

namespace {

constexpr std::size_t kLanes = 4;

// Minimum rows (of the row sums) per thread.
constexpr std::size_t kSlicePixels = 1 << 17;

std::size_t round_up(std::size_t n, std::size_t to) noexcept { return (n + to - 1) / to * to; }

// e^(-2 pi i t / n) for t in [0, n). A thread keeps the tables of its last
// two lengths (an image's width and height): images of one size, checked
// one after another, then cost no sines at all.
const std::vector<Complex>& unit_roots(std::size_t n) {
    thread_local std::vector<Complex> tables[2];
    thread_local std::size_t older = 0;
    for (const std::vector<Complex>& t : tables)
        if (t.size() == n) return t;
    std::vector<Complex>& table = tables[older];
    older ^= 1;
    table.resize(n);
    for (std::size_t t = 0; t < n; ++t) table[t] = unit_root(t, n);
    return table;
}

// Low-frequency row coefficients, planar: re/im[y * kpad + lane] holds
// frequency lane_k[lane] (lanes past the radius hold coefficients nobody
// reads).
struct RowCoefficients {
    std::size_t kpad;
    std::vector<std::size_t> lane_k;
    std::vector<double> re, im;
};

// cos and -sin of 2 pi k x / width for x in [1, pairs] and the frequency
// k of every lane: one vector of four frequencies per (x, block).
struct RowTwiddles {
    std::vector<double> cos, nsin;
    RowTwiddles(const std::vector<Complex>& roots, std::size_t pairs, const std::vector<std::size_t>& lane_k)
        : cos(pairs * lane_k.size()), nsin(pairs * lane_k.size()) {
        const std::size_t width = roots.size(), kpad = lane_k.size();
        for (std::size_t lane = 0; lane < kpad; ++lane) {
            const std::size_t k = lane_k[lane] % width;
            std::size_t angle = 0;  // k x mod width
            for (std::size_t x = 1; x <= pairs; ++x) {
                angle += k;
                if (angle >= width) angle -= width;
                const Complex w = roots[angle];  // e^(-2 pi i k x / width)
                cos[(x - 1) * kpad + lane] = w.re;
                nsin[(x - 1) * kpad + lane] = w.im;
            }
        }
    }
};

// Block `block` of four lanes.
__attribute__((target("avx2"))) inline __m256d load(const double* lanes, std::size_t block) noexcept {
    return _mm256_loadu_pd(lanes + block * kLanes);
}

// Rows y0 and y1 (which may be the same row) into `out`, blocks b, b + 1
// of four frequencies at a time. Per pair x, `fold` holds e0, o0, e1, o1
// (both blocks read them) or, with Split, e0, o0, e0', o0', e1, o1, e1', o1'
// (block b reads the plain values, block b + 1 the primed ones).
template <bool Split>
__attribute__((target("avx2,fma"))) void row_sums(const double* fold, std::size_t pairs, const RowTwiddles& tw,
                                                  std::size_t kpad, const double* first_re, const double* first_im,
                                                  double* re0, double* im0, double* re1, double* im1) noexcept {
    constexpr std::size_t kStride = Split ? 8 : 4;
    constexpr std::size_t kRow = Split ? 4 : 2;  // offset of row 1's values
    constexpr std::size_t kSecond = Split ? 2 : 0;  // offset of block b + 1's values
    const std::size_t blocks = kpad / kLanes;
    for (std::size_t b = 0; b < blocks; b += 2) {
        const bool two = b + 1 < blocks;
        const std::size_t second = two ? b + 1 : b;  // a lone last block loads its own start twice
        __m256d r00 = load(first_re, b), i00 = load(first_im, b);
        __m256d r01 = load(first_re, second), i01 = load(first_im, second);
        __m256d r10 = load(first_re + kpad, b), i10 = load(first_im + kpad, b);
        __m256d r11 = load(first_re + kpad, second), i11 = load(first_im + kpad, second);
        const double* c = tw.cos.data() + b * kLanes;
        const double* s = tw.nsin.data() + b * kLanes;
        if (two) {
            for (std::size_t x = 0; x < pairs; ++x, c += kpad, s += kpad) {
                const double* f = fold + kStride * x;
                const __m256d ca = _mm256_loadu_pd(c), cb = _mm256_loadu_pd(c + kLanes);
                const __m256d sa = _mm256_loadu_pd(s), sb = _mm256_loadu_pd(s + kLanes);
                r00 = _mm256_fmadd_pd(_mm256_broadcast_sd(f), ca, r00);
                i00 = _mm256_fmadd_pd(_mm256_broadcast_sd(f + 1), sa, i00);
                r01 = _mm256_fmadd_pd(_mm256_broadcast_sd(f + kSecond), cb, r01);
                i01 = _mm256_fmadd_pd(_mm256_broadcast_sd(f + kSecond + 1), sb, i01);
                r10 = _mm256_fmadd_pd(_mm256_broadcast_sd(f + kRow), ca, r10);
                i10 = _mm256_fmadd_pd(_mm256_broadcast_sd(f + kRow + 1), sa, i10);
                r11 = _mm256_fmadd_pd(_mm256_broadcast_sd(f + kRow + kSecond), cb, r11);
                i11 = _mm256_fmadd_pd(_mm256_broadcast_sd(f + kRow + kSecond + 1), sb, i11);
            }
        } else {
            for (std::size_t x = 0; x < pairs; ++x, c += kpad, s += kpad) {
                const double* f = fold + kStride * x;
                const __m256d ca = _mm256_loadu_pd(c), sa = _mm256_loadu_pd(s);
                r00 = _mm256_fmadd_pd(_mm256_broadcast_sd(f), ca, r00);
                i00 = _mm256_fmadd_pd(_mm256_broadcast_sd(f + 1), sa, i00);
                r10 = _mm256_fmadd_pd(_mm256_broadcast_sd(f + kRow), ca, r10);
                i10 = _mm256_fmadd_pd(_mm256_broadcast_sd(f + kRow + 1), sa, i10);
            }
        }
        _mm256_storeu_pd(re0 + b * kLanes, r00);
        _mm256_storeu_pd(im0 + b * kLanes, i00);
        _mm256_storeu_pd(re1 + b * kLanes, r10);
        _mm256_storeu_pd(im1 + b * kLanes, i10);
        if (two) {
            _mm256_storeu_pd(re0 + (b + 1) * kLanes, r01);
            _mm256_storeu_pd(im0 + (b + 1) * kLanes, i01);
            _mm256_storeu_pd(re1 + (b + 1) * kLanes, r11);
            _mm256_storeu_pd(im1 + (b + 1) * kLanes, i11);
        }
    }
}

// Four grey bytes from p as 32-bit lanes, in order or reversed.
__attribute__((target("avx2"))) inline __m128i four(const std::uint8_t* p) noexcept {
    std::int32_t v;
    std::memcpy(&v, p, sizeof v);
    return _mm_cvtepu8_epi32(_mm_cvtsi32_si128(v));
}
__attribute__((target("avx2"))) inline __m128i four_reversed(const std::uint8_t* p) noexcept {
    return _mm_shuffle_epi32(four(p), _MM_SHUFFLE(0, 1, 2, 3));
}

// The half fold of row g for pairs x in [1, end), four at a time from x = 1;
// returns where it stopped. fold[4 (x - 1)] = e, [+1] = o, with
// e = g[x] + g[w - x] - 2 mean and o = g[x] - g[w - x] (exact integers but the mean).
__attribute__((target("avx2"))) std::size_t fold_half_avx2(const std::uint8_t* g, std::size_t width, std::size_t end,
                                                            double mean, double* fold) noexcept {
    const __m256d twice_mean = _mm256_set1_pd(2.0 * mean);
    std::size_t x = 1;
    for (; x + 4 <= end; x += 4) {
        const __m128i a = four(g + x), b = four_reversed(g + width - x - 3);
        const __m256d e = _mm256_sub_pd(_mm256_cvtepi32_pd(_mm_add_epi32(a, b)), twice_mean);
        const __m256d o = _mm256_cvtepi32_pd(_mm_sub_epi32(a, b));
        const __m256d lo = _mm256_unpacklo_pd(e, o), hi = _mm256_unpackhi_pd(e, o);  // x, x+2 | x+1, x+3
        double* f = fold + 4 * (x - 1);
        _mm_storeu_pd(f, _mm256_castpd256_pd128(lo));
        _mm_storeu_pd(f + 4, _mm256_castpd256_pd128(hi));
        _mm_storeu_pd(f + 8, _mm256_extractf128_pd(lo, 1));
        _mm_storeu_pd(f + 12, _mm256_extractf128_pd(hi, 1));
    }
    return x;
}

// The quarter fold of row g (h = width / 2) for x in [1, end), four at a
// time from x = 1; returns where it stopped. With a = g[x], b = g[w - x],
// c = g[h - x], d = g[h + x]: fold[8 (x - 1)] .. [+3] = a + b + c + d - 4 mean,
// a - b - c + d, a + b - c - d, a - b + c - d.
__attribute__((target("avx2"))) std::size_t fold_quarter_avx2(const std::uint8_t* g, std::size_t width,
                                                               std::size_t end, double mean, double* fold) noexcept {
    const std::size_t half = width / 2;
    const __m256d four_means = _mm256_set1_pd(4.0 * mean);
    std::size_t x = 1;
    for (; x + 4 <= end; x += 4) {
        const __m128i a = four(g + x), b = four_reversed(g + width - x - 3);
        const __m128i c = four_reversed(g + half - x - 3), d = four(g + half + x);
        const __m128i sum_ab = _mm_add_epi32(a, b), diff_ab = _mm_sub_epi32(a, b);
        const __m128i sum_cd = _mm_add_epi32(c, d), diff_cd = _mm_sub_epi32(c, d);
        const __m256d e_plus = _mm256_sub_pd(_mm256_cvtepi32_pd(_mm_add_epi32(sum_ab, sum_cd)), four_means);
        const __m256d o_minus = _mm256_cvtepi32_pd(_mm_sub_epi32(diff_ab, diff_cd));
        const __m256d e_minus = _mm256_cvtepi32_pd(_mm_sub_epi32(sum_ab, sum_cd));
        const __m256d o_plus = _mm256_cvtepi32_pd(_mm_add_epi32(diff_ab, diff_cd));
        // Transposed: one (e+, o-, e-, o+) quadruple per x.
        const __m256d t0 = _mm256_unpacklo_pd(e_plus, o_minus), t1 = _mm256_unpackhi_pd(e_plus, o_minus);
        const __m256d t2 = _mm256_unpacklo_pd(e_minus, o_plus), t3 = _mm256_unpackhi_pd(e_minus, o_plus);
        double* f = fold + 8 * (x - 1);
        _mm256_storeu_pd(f, _mm256_permute2f128_pd(t0, t2, 0x20));
        _mm256_storeu_pd(f + 8, _mm256_permute2f128_pd(t1, t3, 0x20));
        _mm256_storeu_pd(f + 16, _mm256_permute2f128_pd(t0, t2, 0x31));
        _mm256_storeu_pd(f + 24, _mm256_permute2f128_pd(t1, t3, 0x31));
    }
    return x;
}

// Scratch of one thread for the row sums: the folded values of two rows
// and the starting sums of every lane.
struct RowScratch {
    std::vector<double> fold, first_re, first_im;
    RowScratch(std::size_t fold_values, std::size_t kpad) : fold(fold_values), first_re(2 * kpad), first_im(2 * kpad) {}
};

// v[x] - mean of a grey row.
inline double centred(const std::uint8_t* g, std::size_t x, double mean) noexcept { return static_cast<double>(g[x]) - mean; }

// Folds rows y0 and y1 about x = 0 (cos even, sin odd in x) and sums them
// into `out`.
void row_pair_half(const std::uint8_t* grey, std::size_t width, std::size_t y0, std::size_t y1, double mean,
                   const RowTwiddles& tw, RowCoefficients& out, RowScratch& scratch) noexcept {
    const std::size_t kpad = out.kpad, pairs = (width - 1) / 2;
    const std::size_t ys[2] = {y0, y1};
    for (std::size_t r = 0; r < 2; ++r) {
        const std::uint8_t* g = grey + ys[r] * width;
        double* fold = scratch.fold.data() + 2 * r;
        for (std::size_t x = fold_half_avx2(g, width, pairs + 1, mean, fold); x <= pairs; ++x) {
            const int a = g[x], b = g[width - x];
            fold[4 * (x - 1)] = static_cast<double>(a + b) - 2.0 * mean;
            fold[4 * (x - 1) + 1] = static_cast<double>(a - b);
        }
        // The terms at x = 0 and, for an even width, x = width / 2 (which
        // pairs with itself: cos = (-1)^k, sin = 0) start the real sums.
        const double v0 = centred(g, 0, mean);
        const double middle = width % 2 == 0 ? centred(g, width / 2, mean) : 0.0;
        for (std::size_t lane = 0; lane < kpad; ++lane) {
            scratch.first_re[r * kpad + lane] = out.lane_k[lane] % 2 == 0 ? v0 + middle : v0 - middle;
            scratch.first_im[r * kpad + lane] = 0.0;
        }
    }
    row_sums<false>(scratch.fold.data(), pairs, tw, kpad, scratch.first_re.data(), scratch.first_im.data(),
                    &out.re[y0 * kpad], &out.im[y0 * kpad], &out.re[y1 * kpad], &out.im[y1 * kpad]);
}

// For an even width, folds once more about x = width / 4: with h = width / 2,
// cos and -sin at h - x are (-1)^k and -(-1)^k times those at x, so even
// frequencies read e(x) + e(h - x) and o(x) - o(h - x), odd ones e(x) - e(h - x)
// and o(x) + o(h - x), each over a quarter of the row. Lanes hold even and
// odd frequencies in alternate blocks.
void row_pair_quarter(const std::uint8_t* grey, std::size_t width, std::size_t y0, std::size_t y1, double mean,
                      const RowTwiddles& tw, RowCoefficients& out, RowScratch& scratch) noexcept {
    const std::size_t kpad = out.kpad, half = width / 2, quarters = (half - 1) / 2;
    const std::size_t ys[2] = {y0, y1};
    for (std::size_t r = 0; r < 2; ++r) {
        const std::uint8_t* g = grey + ys[r] * width;
        double* fold = scratch.fold.data() + 4 * r;
        for (std::size_t x = fold_quarter_avx2(g, width, quarters + 1, mean, fold); x <= quarters; ++x) {
            const int a = g[x], b = g[width - x], c = g[half - x], d = g[half + x];
            double* f = fold + 8 * (x - 1);
            f[0] = static_cast<double>(a + b + c + d) - 4.0 * mean;
            f[1] = static_cast<double>(a - b - c + d);
            f[2] = static_cast<double>(a + b - c - d);
            f[3] = static_cast<double>(a - b + c - d);
        }
        auto even_odd = [&](std::size_t x, double& e, double& o) {
            const double a = centred(g, x, mean), b = centred(g, width - x, mean);
            e = a + b;
            o = a - b;
        };
        // x = 0 and x = h start the sums, and for h even so does x = h / 2,
        // where cos and -sin are cos(k pi / 2) and -sin(k pi / 2).
        const double v0 = centred(g, 0, mean), vh = centred(g, half, mean);
        double em = 0.0, om = 0.0;
        if (half % 2 == 0) even_odd(half / 2, em, om);
        for (std::size_t lane = 0; lane < kpad; ++lane) {
            const std::size_t k = out.lane_k[lane];
            static constexpr double kCos[4] = {1.0, 0.0, -1.0, 0.0}, kMinusSin[4] = {0.0, -1.0, 0.0, 1.0};
            scratch.first_re[r * kpad + lane] = (k % 2 == 0 ? v0 + vh : v0 - vh) + em * kCos[k % 4];
            scratch.first_im[r * kpad + lane] = om * kMinusSin[k % 4];
        }
    }
    row_sums<true>(scratch.fold.data(), quarters, tw, kpad, scratch.first_re.data(), scratch.first_im.data(),
                   &out.re[y0 * kpad], &out.im[y0 * kpad], &out.re[y1 * kpad], &out.im[y1 * kpad]);
}

// Row coefficients of every row, two rows at a time.
RowCoefficients row_pass(const std::uint8_t* grey, std::size_t height, std::size_t width, double mean,
                         std::size_t radius) {
    const bool quarter = width % 2 == 0;
    RowCoefficients out{round_up(radius + 1, quarter ? 2 * kLanes : kLanes), {}, {}, {}};
    const std::size_t kpad = out.kpad;
    out.lane_k.resize(kpad);
    for (std::size_t lane = 0; lane < kpad; ++lane)
        out.lane_k[lane] = quarter ? lane / 8 * 8 + lane % 4 * 2 + lane % 8 / 4 : lane;
    out.re.resize(height * kpad);
    out.im.resize(height * kpad);
    const std::size_t pairs = quarter ? (width / 2 - 1) / 2 : (width - 1) / 2;
    const RowTwiddles tw(unit_roots(width), pairs, out.lane_k);
    const std::size_t row_pairs = (height + 1) / 2;
    const std::size_t min_pairs = std::max<std::size_t>(1, kSlicePixels / (2 * width));
    // Each slice's scratch, made before the threads start.
    std::vector<RowScratch> scratch(slice_count(row_pairs, min_pairs), RowScratch(8 * pairs, kpad));
    for_row_slices(row_pairs, min_pairs, [&](std::size_t part, std::size_t p0, std::size_t p1) {
        for (std::size_t p = p0; p < p1; ++p) {
            const std::size_t y0 = 2 * p, y1 = std::min(y0 + 1, height - 1);
            if (quarter)
                row_pair_quarter(grey, width, y0, y1, mean, tw, out, scratch[part]);
            else
                row_pair_half(grey, width, y0, y1, mean, tw, out, scratch[part]);
        }
    });
    return out;
}

// The sums A = sum c cos and B = sum c sin over a column c (complex), for
// one ky: F(ky) = A - iB and F(-ky) = A + iB.
struct ColumnSums {
    __m256d a1, a2, b1, b2;  // A = a1 + i a2, B = b1 + i b2
};

// Adds the energies of F(ky) and F(-ky) to the lanes' sums over ky in
// [-r, r) ("low") and (-r, r] ("high"); at ky = 0 lane 0's is the DC term.
__attribute__((target("avx2,fma"))) void add_energies(const ColumnSums& c, std::size_t ky, std::size_t radius,
                                                      __m256d& lo, __m256d& hi, double* dc) noexcept {
    const __m256d plus_re = _mm256_add_pd(c.a1, c.b2), plus_im = _mm256_sub_pd(c.a2, c.b1);    // F(ky)
    const __m256d minus_re = _mm256_sub_pd(c.a1, c.b2), minus_im = _mm256_add_pd(c.a2, c.b1);  // F(-ky)
    const __m256d at_plus = _mm256_fmadd_pd(plus_re, plus_re, _mm256_mul_pd(plus_im, plus_im));
    const __m256d at_minus = _mm256_fmadd_pd(minus_re, minus_re, _mm256_mul_pd(minus_im, minus_im));
    if (ky == 0) {
        lo = _mm256_add_pd(lo, at_plus);
        hi = _mm256_add_pd(hi, at_plus);
        if (dc != nullptr) {
            alignas(32) double lanes[kLanes];
            _mm256_store_pd(lanes, at_plus);
            *dc = lanes[0];
        }
    } else if (ky == radius) {
        lo = _mm256_add_pd(lo, at_minus);
        hi = _mm256_add_pd(hi, at_plus);
    } else {
        const __m256d both = _mm256_add_pd(at_plus, at_minus);
        lo = _mm256_add_pd(lo, both);
        hi = _mm256_add_pd(hi, both);
    }
}

// Per column lane, the low and high sums of |F(ky, kx)|^2 of the pair
// ky = 2q, 2q + 1 and their negatives (ky = 2q alone when 2q = radius), for
// q in [q0, q1), into low/high[q * kpad + lane]: the sums of each pair come
// out the same however the pairs are split over threads.
__attribute__((target("avx2,fma"))) void column_sums(const RowCoefficients& c, std::size_t height,
                                                     std::size_t radius, std::size_t q0, std::size_t q1,
                                                     const std::vector<Complex>& roots, double* low, double* high,
                                                     double& dc) noexcept {
    const std::size_t kpad = c.kpad, blocks = kpad / kLanes;
    for (std::size_t b = 0; b < blocks; ++b) {
        for (std::size_t q = q0; q < q1; ++q) {
            const std::size_t ky = 2 * q;
            // A lone last ky is summed twice over; its second copy is dropped.
            const std::size_t kz = ky < radius ? ky + 1 : ky;
            ColumnSums u{_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd()};
            ColumnSums v = u;
            const double* re = c.re.data() + b * kLanes;
            const double* im = c.im.data() + b * kLanes;
            std::size_t angle_u = 0, angle_v = 0;
            for (std::size_t y = 0; y < height; ++y, re += kpad, im += kpad) {
                // e^(-2 pi i ky y / h) = cos - i sin
                const Complex wu = roots[angle_u], wv = roots[angle_v];
                angle_u += ky;
                if (angle_u >= height) angle_u -= height;
                angle_v += kz;
                if (angle_v >= height) angle_v -= height;
                const __m256d vr = _mm256_loadu_pd(re), vi = _mm256_loadu_pd(im);
                const __m256d cu = _mm256_set1_pd(wu.re), su = _mm256_set1_pd(-wu.im);
                const __m256d cv = _mm256_set1_pd(wv.re), sv = _mm256_set1_pd(-wv.im);
                u.a1 = _mm256_fmadd_pd(vr, cu, u.a1);
                u.a2 = _mm256_fmadd_pd(vi, cu, u.a2);
                u.b1 = _mm256_fmadd_pd(vr, su, u.b1);
                u.b2 = _mm256_fmadd_pd(vi, su, u.b2);
                v.a1 = _mm256_fmadd_pd(vr, cv, v.a1);
                v.a2 = _mm256_fmadd_pd(vi, cv, v.a2);
                v.b1 = _mm256_fmadd_pd(vr, sv, v.b1);
                v.b2 = _mm256_fmadd_pd(vi, sv, v.b2);
            }
            __m256d lo = _mm256_setzero_pd(), hi = _mm256_setzero_pd();
            add_energies(u, ky, radius, lo, hi, b == 0 ? &dc : nullptr);
            if (kz != ky) add_energies(v, kz, radius, lo, hi, b == 0 ? &dc : nullptr);
            _mm256_storeu_pd(low + q * kpad + b * kLanes, lo);
            _mm256_storeu_pd(high + q * kpad + b * kLanes, hi);
        }
    }
}

}  // namespace

double centre_square_energy_avx2(const std::uint8_t* grey, std::size_t height, std::size_t width, double mean,
                                 std::size_t radius) {
    const RowCoefficients coef = row_pass(grey, height, width, mean, radius);
    const std::size_t kpad = coef.kpad;
    const std::vector<Complex>& roots = unit_roots(height);
    // The pairs of ky in [0, radius] split over the cores. Each pair's sums
    // are kept apart and added up in one order at the end, so the result
    // does not depend on the number of cores.
    const std::size_t pairs = radius / 2 + 1;
    const std::size_t min_pairs = std::max<std::size_t>(1, kSlicePixels / (2 * height * kpad));
    std::vector<double> low(pairs * kpad), high(pairs * kpad);
    double dc = 0.0;  // written by the slice holding ky = 0
    for_row_slices(pairs, min_pairs, [&](std::size_t, std::size_t q0, std::size_t q1) {
        column_sums(coef, height, radius, q0, q1, roots, low.data(), high.data(), dc);
    });
    // Column kx counts its low sum unless kx = radius (only -radius lies in
    // the square) and its high sum, the mirrored column -kx, unless kx = 0.
    double energy = 0.0;
    for (std::size_t q = 0; q < pairs; ++q)
        for (std::size_t lane = 0; lane < kpad; ++lane) {
            const std::size_t kx = coef.lane_k[lane];
            if (kx < radius) energy += low[q * kpad + lane];
            if (kx > 0 && kx <= radius) energy += high[q * kpad + lane];
        }
    return energy - dc;
}

}  // namespace image::kernels

#endif
