#include "image/kernels/spectrum_avx2.hpp"

#include "image/kernels/fft.hpp"
#include "image/kernels/parallel.hpp"
#include "image/kernels/simd.hpp"

#if TESSEL_HAVE_AVX2_KERNELS
#include <immintrin.h>

#include <array>
#include <memory>
#include <vector>

namespace image::kernels {

namespace {

constexpr std::size_t kLanes = 4;

// Minimum rows (of the row sums) per thread.
constexpr std::size_t kSlicePixels = 1 << 17;

std::size_t round_up(std::size_t n, std::size_t to) noexcept { return (n + to - 1) / to * to; }

// e^(-2 pi i t / n) for t in [0, n).
std::vector<Complex> unit_roots(std::size_t n) {
    std::vector<Complex> roots(n);
    for (std::size_t t = 0; t < n; ++t) roots[t] = unit_root(t, n);
    return roots;
}

// Low-frequency row coefficients, planar: re/im[y * kpad + k] for k < kpad
// (the lanes past radius hold coefficients nobody reads).
struct RowCoefficients {
    std::size_t kpad;
    std::vector<double> re, im;
};

// cos and -sin of 2 pi k x / width for x in [1, pairs], k in [0, kpad):
// one vector of four frequencies per (x, block).
struct RowTwiddles {
    std::vector<double> cos, nsin;
    RowTwiddles(const std::vector<Complex>& roots, std::size_t pairs, std::size_t kpad)
        : cos(pairs * kpad), nsin(pairs * kpad) {
        const std::size_t width = roots.size();
        for (std::size_t k = 0; k < kpad; ++k) {
            std::size_t angle = 0;  // k x mod width
            for (std::size_t x = 1; x <= pairs; ++x) {
                angle += k % width;
                if (angle >= width) angle -= width;
                const Complex w = roots[angle];  // e^(-2 pi i k x / width)
                cos[(x - 1) * kpad + k] = w.re;
                nsin[(x - 1) * kpad + k] = w.im;
            }
        }
    }
};

// Rows y0 and y1 (which may be the same row) into `out`, blocks b, b + 1
// of four frequencies at a time. `fold` holds e0, o0, e1, o1 per pair x.
__attribute__((target("avx2,fma"))) void row_sums(const double* fold, std::size_t pairs, const RowTwiddles& tw,
                                                  std::size_t kpad, const double* first, double* re0, double* im0,
                                                  double* re1, double* im1) noexcept {
    const std::size_t blocks = kpad / kLanes;
    for (std::size_t b = 0; b < blocks; b += 2) {
        const bool two = b + 1 < blocks;
        __m256d r00 = _mm256_loadu_pd(first + b * kLanes), i00 = _mm256_setzero_pd();
        __m256d r01 = two ? _mm256_loadu_pd(first + (b + 1) * kLanes) : _mm256_setzero_pd(), i01 = _mm256_setzero_pd();
        __m256d r10 = _mm256_loadu_pd(first + kpad + b * kLanes), i10 = _mm256_setzero_pd();
        __m256d r11 = two ? _mm256_loadu_pd(first + kpad + (b + 1) * kLanes) : _mm256_setzero_pd(), i11 = _mm256_setzero_pd();
        const double* c = tw.cos.data() + b * kLanes;
        const double* s = tw.nsin.data() + b * kLanes;
        if (two) {
            for (std::size_t x = 0; x < pairs; ++x, c += kpad, s += kpad) {
                const double* f = fold + 4 * x;
                const __m256d e0 = _mm256_broadcast_sd(f), o0 = _mm256_broadcast_sd(f + 1);
                const __m256d e1 = _mm256_broadcast_sd(f + 2), o1 = _mm256_broadcast_sd(f + 3);
                const __m256d ca = _mm256_loadu_pd(c), cb = _mm256_loadu_pd(c + kLanes);
                const __m256d sa = _mm256_loadu_pd(s), sb = _mm256_loadu_pd(s + kLanes);
                r00 = _mm256_fmadd_pd(e0, ca, r00);
                i00 = _mm256_fmadd_pd(o0, sa, i00);
                r01 = _mm256_fmadd_pd(e0, cb, r01);
                i01 = _mm256_fmadd_pd(o0, sb, i01);
                r10 = _mm256_fmadd_pd(e1, ca, r10);
                i10 = _mm256_fmadd_pd(o1, sa, i10);
                r11 = _mm256_fmadd_pd(e1, cb, r11);
                i11 = _mm256_fmadd_pd(o1, sb, i11);
            }
        } else {
            for (std::size_t x = 0; x < pairs; ++x, c += kpad, s += kpad) {
                const double* f = fold + 4 * x;
                const __m256d ca = _mm256_loadu_pd(c), sa = _mm256_loadu_pd(s);
                r00 = _mm256_fmadd_pd(_mm256_broadcast_sd(f), ca, r00);
                i00 = _mm256_fmadd_pd(_mm256_broadcast_sd(f + 1), sa, i00);
                r10 = _mm256_fmadd_pd(_mm256_broadcast_sd(f + 2), ca, r10);
                i10 = _mm256_fmadd_pd(_mm256_broadcast_sd(f + 3), sa, i10);
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

// Folds rows y0 and y1 about x = 0 and sums them into `out`. `fold` has
// room for 4 * pairs values, `first` for 2 * kpad.
void row_pair(const std::uint8_t* grey, std::size_t width, std::size_t y0, std::size_t y1, double mean,
              const RowTwiddles& tw, RowCoefficients& out, double* fold, double* first) noexcept {
    const std::size_t kpad = out.kpad, pairs = (width - 1) / 2;
    const std::uint8_t* rows[2] = {grey + y0 * width, grey + y1 * width};
    for (std::size_t r = 0; r < 2; ++r) {
        const std::uint8_t* g = rows[r];
        for (std::size_t x = 1; x <= pairs; ++x) {
            const double a = static_cast<double>(g[x]) - mean, b = static_cast<double>(g[width - x]) - mean;
            fold[4 * (x - 1) + 2 * r] = a + b;
            fold[4 * (x - 1) + 2 * r + 1] = a - b;
        }
        // The terms at x = 0 and, for an even width, x = width / 2 (which
        // pairs with itself: cos = (-1)^k, sin = 0) start the real sums.
        const double v0 = static_cast<double>(g[0]) - mean;
        const double middle = width % 2 == 0 ? static_cast<double>(g[width / 2]) - mean : 0.0;
        for (std::size_t k = 0; k < kpad; ++k) first[r * kpad + k] = k % 2 == 0 ? v0 + middle : v0 - middle;
    }
    row_sums(fold, pairs, tw, kpad, first, &out.re[y0 * kpad], &out.im[y0 * kpad], &out.re[y1 * kpad],
             &out.im[y1 * kpad]);
}

// Row coefficients of every row, two rows at a time.
RowCoefficients row_pass(const std::uint8_t* grey, std::size_t height, std::size_t width, double mean,
                         std::size_t radius) {
    RowCoefficients out{round_up(radius + 1, kLanes), {}, {}};
    const std::size_t kpad = out.kpad;
    out.re.resize(height * kpad);
    out.im.resize(height * kpad);
    const std::size_t pairs = (width - 1) / 2;
    const RowTwiddles tw(unit_roots(width), pairs, kpad);
    const std::size_t row_pairs = (height + 1) / 2;
    const std::size_t min_pairs = std::max<std::size_t>(1, kSlicePixels / (2 * width));
    // Each slice's scratch, made before the threads start (they must not throw).
    const std::size_t slices = slice_count(row_pairs, min_pairs);
    std::vector<double> scratch(slices * (4 * pairs + 2 * kpad));
    for_row_slices(row_pairs, min_pairs, [&](std::size_t part, std::size_t p0, std::size_t p1) {
        double* fold = &scratch[part * (4 * pairs + 2 * kpad)];
        for (std::size_t p = p0; p < p1; ++p) {
            const std::size_t y0 = 2 * p, y1 = std::min(y0 + 1, height - 1);
            row_pair(grey, width, y0, y1, mean, tw, out, fold, fold + 4 * pairs);
        }
    });
    return out;
}

// Per column lane: sums over ky in [-r, r) ("low") and (-r, r] ("high") of
// |F(ky, kx)|^2, for ky in [k0, k1) and its negative.
__attribute__((target("avx2,fma"))) void column_sums(const RowCoefficients& c, std::size_t height,
                                                     std::size_t radius, std::size_t k0, std::size_t k1,
                                                     const std::vector<Complex>& roots, double* low, double* high,
                                                     double& dc) noexcept {
    const std::size_t kpad = c.kpad, blocks = kpad / kLanes;
    for (std::size_t b = 0; b < blocks; ++b) {
        __m256d lo = _mm256_setzero_pd(), hi = _mm256_setzero_pd();
        for (std::size_t ky = k0; ky < k1; ++ky) {
            // A = sum c cos, B = sum c sin (complex c): F(ky) = A - iB, F(-ky) = A + iB.
            __m256d a1 = _mm256_setzero_pd(), a2 = _mm256_setzero_pd();
            __m256d b1 = _mm256_setzero_pd(), b2 = _mm256_setzero_pd();
            const double* re = c.re.data() + b * kLanes;
            const double* im = c.im.data() + b * kLanes;
            std::size_t angle = 0;
            for (std::size_t y = 0; y < height; ++y, re += kpad, im += kpad) {
                const Complex w = roots[angle];  // e^(-2 pi i ky y / h) = cos - i sin
                angle += ky;
                if (angle >= height) angle -= height;
                const __m256d cs = _mm256_set1_pd(w.re), sn = _mm256_set1_pd(-w.im);
                const __m256d vr = _mm256_loadu_pd(re), vi = _mm256_loadu_pd(im);
                a1 = _mm256_fmadd_pd(vr, cs, a1);
                a2 = _mm256_fmadd_pd(vi, cs, a2);
                b1 = _mm256_fmadd_pd(vr, sn, b1);
                b2 = _mm256_fmadd_pd(vi, sn, b2);
            }
            const __m256d plus_re = _mm256_add_pd(a1, b2), plus_im = _mm256_sub_pd(a2, b1);    // F(ky)
            const __m256d minus_re = _mm256_sub_pd(a1, b2), minus_im = _mm256_add_pd(a2, b1);  // F(-ky)
            const __m256d at_plus = _mm256_fmadd_pd(plus_re, plus_re, _mm256_mul_pd(plus_im, plus_im));
            const __m256d at_minus = _mm256_fmadd_pd(minus_re, minus_re, _mm256_mul_pd(minus_im, minus_im));
            if (ky == 0) {
                lo = _mm256_add_pd(lo, at_plus);
                hi = _mm256_add_pd(hi, at_plus);
                if (b == 0) {
                    alignas(32) double lanes[kLanes];
                    _mm256_store_pd(lanes, at_plus);
                    dc = lanes[0];
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
        _mm256_storeu_pd(low + b * kLanes, _mm256_add_pd(_mm256_loadu_pd(low + b * kLanes), lo));
        _mm256_storeu_pd(high + b * kLanes, _mm256_add_pd(_mm256_loadu_pd(high + b * kLanes), hi));
    }
}

}  // namespace

double centre_square_energy_avx2(const std::uint8_t* grey, std::size_t height, std::size_t width, double mean,
                                 std::size_t radius) {
    const RowCoefficients coef = row_pass(grey, height, width, mean, radius);
    const std::size_t kpad = coef.kpad;
    const std::vector<Complex> roots = unit_roots(height);
    // ky in [0, radius] split over the cores; each slice sums its own lanes.
    const std::size_t kys = radius + 1;
    const std::size_t min_kys = std::max<std::size_t>(1, kSlicePixels / (height * kpad));
    std::vector<double> low(kMaxSlices * kpad), high(kMaxSlices * kpad);
    std::array<double, kMaxSlices> dc{};
    for_row_slices(kys, min_kys, [&](std::size_t part, std::size_t k0, std::size_t k1) {
        column_sums(coef, height, radius, k0, k1, roots, &low[part * kpad], &high[part * kpad], dc[part]);
    });
    // Column kx counts its low sum unless kx = radius (only -radius lies in
    // the square) and its high sum, the mirrored column -kx, unless kx = 0.
    double energy = 0.0;
    for (std::size_t part = 0; part < kMaxSlices; ++part)
        for (std::size_t kx = 0; kx <= radius; ++kx) {
            if (kx < radius) energy += low[part * kpad + kx];
            if (kx > 0) energy += high[part * kpad + kx];
        }
    for (double d : dc) energy -= d;
    return energy;
}

}  // namespace image::kernels

#else

namespace image::kernels {

double centre_square_energy_avx2(const std::uint8_t*, std::size_t, std::size_t, double, std::size_t) { return 0.0; }

}  // namespace image::kernels

#endif
