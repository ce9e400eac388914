#include "image/kernels/spectrum.hpp"

#include "image/kernels/fft.hpp"
#include "image/kernels/parallel.hpp"
#include "image/kernels/simd.hpp"
#include "image/kernels/spectrum_avx2.hpp"

#include <algorithm>
#include <memory>
#include <vector>

namespace image::kernels {

namespace {

// Largest radius for which direct sums beat FFTs (measured), without and
// with AVX2.
constexpr std::size_t kDirectMaxRadius = 5;
constexpr std::size_t kVectorMaxRadius = 50;

// Minimum work items per thread.
constexpr std::size_t kSlicePixels = 1 << 18;

// unit_root(t, n) for every t in [0, n): the twiddles of the direct sums
// repeat with period n, so each is computed once.
std::vector<Complex> unit_roots(std::size_t n) {
    std::vector<Complex> roots(n);
    for (std::size_t t = 0; t < n; ++t) roots[t] = unit_root(t, n);
    return roots;
}

double dot(const double* a, const double* b, std::size_t n) noexcept {
    // Four independent sums so the adds pipeline.
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += a[i] * b[i];
        s1 += a[i + 1] * b[i + 1];
        s2 += a[i + 2] * b[i + 2];
        s3 += a[i + 3] * b[i + 3];
    }
    for (; i < n; ++i) s0 += a[i] * b[i];
    return (s0 + s1) + (s2 + s3);
}

// Low-frequency row coefficients: coef[y * cols + k] = sum_x v[y][x] e^(-2 pi i k x / w)
// for k in [0, cols), where v is the grey image minus its mean (subtracting
// the mean changes only the DC term, and keeps the others accurate when the
// DC term dominates).
class RowPass {
public:
    RowPass(const std::uint8_t* grey, std::size_t height, std::size_t width, double mean, std::size_t cols)
        : grey_(grey), height_(height), width_(width), mean_(mean), cols_(cols) {}

    std::vector<Complex> direct() const {
        std::vector<Complex> coef(height_ * cols_);
        // One contiguous twiddle row per kept frequency, for the dot products.
        std::vector<double> cos_t(cols_ * width_), sin_t(cols_ * width_);
        const std::vector<Complex> roots = unit_roots(width_);
        for (std::size_t k = 0; k < cols_; ++k)
            for (std::size_t x = 0; x < width_; ++x) {
                const Complex w = roots[(k * x) % width_];
                cos_t[k * width_ + x] = w.re;
                sin_t[k * width_ + x] = w.im;
            }
        for_row_slices(height_, min_rows(), [&](std::size_t, std::size_t y0, std::size_t y1) {
            std::vector<double> v(width_);
            for (std::size_t y = y0; y < y1; ++y) {
                load(y, v.data());
                for (std::size_t k = 0; k < cols_; ++k)
                    coef[y * cols_ + k] = {dot(v.data(), &cos_t[k * width_], width_),
                                           dot(v.data(), &sin_t[k * width_], width_)};
            }
        });
        return coef;
    }

    std::vector<Complex> fft() const {
        std::vector<Complex> coef(height_ * cols_);
        const std::size_t pairs = (height_ + 1) / 2;
        const std::size_t min_pairs = std::max<std::size_t>(1, min_rows() / 2);
        for_row_slices(pairs, min_pairs, [&](std::size_t, std::size_t p0, std::size_t p1) {
            Fft plan(width_);
            std::vector<double> a(width_), b(width_);
            std::vector<Complex> z(width_), spectrum(width_);
            for (std::size_t p = p0; p < p1; ++p) {
                const std::size_t y = 2 * p;
                const bool pair = y + 1 < height_;
                load(y, a.data());
                if (pair) load(y + 1, b.data());
                // Two real rows as one complex row z = a + i b; their spectra
                // are the conjugate-symmetric and antisymmetric parts of Z.
                for (std::size_t x = 0; x < width_; ++x) z[x] = {a[x], pair ? b[x] : 0.0};
                plan.forward_band(z.data(), spectrum.data(), cols_ - 1);
                for (std::size_t k = 0; k < cols_; ++k) {
                    const Complex zk = spectrum[k];
                    const Complex zm = conj(spectrum[k == 0 ? 0 : width_ - k]);
                    const Complex sum = zk + zm, diff = zk - zm;
                    coef[y * cols_ + k] = {0.5 * sum.re, 0.5 * sum.im};
                    if (pair) coef[(y + 1) * cols_ + k] = {0.5 * diff.im, -0.5 * diff.re};
                }
            }
        });
        return coef;
    }

private:
    std::size_t min_rows() const noexcept { return std::max<std::size_t>(1, kSlicePixels / width_); }

    void load(std::size_t y, double* v) const noexcept {
        const std::uint8_t* row = grey_ + y * width_;
        for (std::size_t x = 0; x < width_; ++x) v[x] = static_cast<double>(row[x]) - mean_;
    }

    const std::uint8_t* grey_;
    std::size_t height_, width_;
    double mean_;
    std::size_t cols_;
};

// Column DFTs of the row coefficients at ky in [-r, r]; returns, per kept
// column kx in [0, r], its share of the centre-square energy without DC.
class ColumnPass {
public:
    ColumnPass(const std::vector<Complex>& coef, std::size_t height, std::size_t radius)
        : coef_(coef), height_(height), radius_(radius), cols_(radius + 1) {}

    std::vector<double> energies(bool use_fft) const {
        std::vector<double> energy(cols_);
        const std::size_t span = 2 * radius_ + 1;
        const std::size_t min_cols = std::max<std::size_t>(1, kSlicePixels / (height_ * span));
        // Direct sums: one twiddle row per wanted ky.
        std::vector<Complex> table;
        if (!use_fft) {
            table.resize(span * height_);
            const std::vector<Complex> roots = unit_roots(height_);
            for (std::size_t i = 0; i < span; ++i) {
                const std::size_t ky = (i + height_ - radius_) % height_;
                for (std::size_t y = 0; y < height_; ++y) table[i * height_ + y] = roots[(ky * y) % height_];
            }
        }
        for_row_slices(cols_, min_cols, [&](std::size_t, std::size_t c0, std::size_t c1) {
            std::vector<Complex> column(height_), spectrum(use_fft ? height_ : 0), wanted(span);
            std::unique_ptr<Fft> plan = use_fft ? std::make_unique<Fft>(height_) : nullptr;
            for (std::size_t kx = c0; kx < c1; ++kx) {
                for (std::size_t y = 0; y < height_; ++y) column[y] = coef_[y * cols_ + kx];
                if (use_fft) {
                    plan->forward_band(column.data(), spectrum.data(), radius_);
                    for (std::size_t i = 0; i < span; ++i) wanted[i] = spectrum[(i + height_ - radius_) % height_];
                } else {
                    for (std::size_t i = 0; i < span; ++i) {
                        const Complex* t = &table[i * height_];
                        double re = 0, im = 0;
                        for (std::size_t y = 0; y < height_; ++y) {
                            re += column[y].re * t[y].re - column[y].im * t[y].im;
                            im += column[y].re * t[y].im + column[y].im * t[y].re;
                        }
                        wanted[i] = {re, im};
                    }
                }
                energy[kx] = column_energy(kx, wanted);
            }
        });
        return energy;
    }

private:
    // wanted[i] is the coefficient at ky = i - r. The square's columns
    // -r..r-1 map onto the kept 0..r by F(ky, -kx) = conj(F(-ky, kx)).
    double column_energy(std::size_t kx, const std::vector<Complex>& wanted) const noexcept {
        const std::size_t r = radius_;
        double low = 0.0;   // ky in [-r, r): this column itself
        double high = 0.0;  // ky in (-r, r]: the mirrored column -kx
        for (std::size_t i = 0; i < 2 * r; ++i) low += norm(wanted[i]);
        for (std::size_t i = 1; i <= 2 * r; ++i) high += norm(wanted[i]);
        if (kx == 0) return low - norm(wanted[r]);  // DC excluded: it is known exactly
        if (kx == r) return high;                  // only the mirrored column -r is in the square
        return low + high;
    }

    const std::vector<Complex>& coef_;
    std::size_t height_, radius_, cols_;
};

}  // namespace

double high_frequency_share(const std::uint8_t* grey, std::size_t height, std::size_t width,
                            const Moments& moments, SpectrumMethod method) {
    using wide = __int128;
    const wide n = static_cast<wide>(height) * static_cast<wide>(width);
    const wide total = n * moments.sum_sq;  // Parseval: sum |F|^2 = h w sum g^2
    if (total <= 0) return 0.0;
    const std::size_t radius = std::min(height, width) / 20;
    if (radius == 0) return 1.0;  // empty centre square: every coefficient counts
    // Energy of everything but DC, exactly: h w sum g^2 - (sum g)^2.
    const wide without_dc = total - static_cast<wide>(moments.sum) * moments.sum;

    const bool vector = cpu_has_avx2_fma() && (method == SpectrumMethod::Vector ||
                                               (method == SpectrumMethod::Automatic && radius <= kVectorMaxRadius));
    if (method == SpectrumMethod::Vector && !vector) method = SpectrumMethod::Direct;
    double low = 0.0;
#if TESSEL_HAVE_AVX2_KERNELS
    if (vector) {
        low = centre_square_energy_avx2(grey, height, width, moments.mean(), radius);
    } else
#endif
    {
        const bool use_fft = method == SpectrumMethod::Fft ||
                             (method == SpectrumMethod::Automatic && radius > kDirectMaxRadius);
        const RowPass rows(grey, height, width, moments.mean(), radius + 1);
        const std::vector<Complex> coef = use_fft ? rows.fft() : rows.direct();
        const std::vector<double> energy = ColumnPass(coef, height, radius).energies(use_fft);
        for (double e : energy) low += e;
    }
    const double high = std::max(0.0, static_cast<double>(without_dc) - low);
    return high / static_cast<double>(total);
}

}  // namespace image::kernels
