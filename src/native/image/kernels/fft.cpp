#include "image/kernels/fft.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace image::kernels {

Complex unit_root(std::size_t k, std::size_t n) noexcept {
    // Fold into the first octant's neighbourhood for accuracy: use the angle
    // of the nearest of k and n - k (cos symmetric, sin antisymmetric).
    k %= n;
    const bool upper = 2 * k > n;
    const std::size_t j = upper ? n - k : k;
    const double angle = 2.0 * std::numbers::pi * static_cast<double>(j) / static_cast<double>(n);
    const double s = std::sin(angle);
    return {std::cos(angle), upper ? s : -s};
}

namespace {

std::vector<std::size_t> factorise(std::size_t n) {
    std::vector<std::size_t> f;
    while (n % 4 == 0) {
        f.push_back(4);
        n /= 4;
    }
    if (n % 2 == 0) {
        f.push_back(2);
        n /= 2;
    }
    for (std::size_t p = 3; p * p <= n; p += 2) {
        while (n % p == 0) {
            f.push_back(p);
            n /= p;
        }
    }
    if (n > 1) f.push_back(n);
    // Largest radices first: they sit at the top of the recursion, where a
    // band-limited transform combines only the wanted outputs.
    std::sort(f.begin(), f.end(), [](std::size_t a, std::size_t b) { return a > b; });
    return f;
}

}  // namespace

Fft::Fft(std::size_t n) : n_(n) {
    if (n_ <= 1) return;
    factors_ = factorise(n_);
    std::size_t largest = 0;
    for (std::size_t p : factors_) largest = std::max(largest, p);
    if (largest <= kMaxDirectRadix) {
        twiddles_.resize(n_);
        for (std::size_t t = 0; t < n_; ++t) twiddles_[t] = unit_root(t, n_);
        return;
    }
    // Bluestein: X_k = c_k * sum_j (x_j c_j) conj(c_{k-j}), c_j = e^(-pi i j^2 / n),
    // a circular convolution of power-of-two length m >= 2n - 1.
    factors_.clear();
    std::size_t m = 1;
    while (m < 2 * n_ - 1) m <<= 1;
    inner_ = std::make_unique<Fft>(m);
    chirp_.resize(n_);
    for (std::size_t j = 0; j < n_; ++j) {
        // j^2 mod 2n keeps the angle small and exact.
        const std::size_t q = static_cast<std::size_t>((static_cast<unsigned __int128>(j) * j) % (2 * n_));
        chirp_[j] = unit_root(q, 2 * n_);
    }
    std::vector<Complex> kernel(m);
    kernel[0] = conj(chirp_[0]);
    for (std::size_t j = 1; j < n_; ++j) kernel[j] = kernel[m - j] = conj(chirp_[j]);
    kernel_hat_.resize(m);
    inner_->forward(kernel.data(), kernel_hat_.data());
    const double scale = 1.0 / static_cast<double>(m);
    for (Complex& c : kernel_hat_) c = {c.re * scale, c.im * scale};
    work_a_.resize(m);
    work_b_.resize(m);
}

Fft::~Fft() = default;

void Fft::forward(const Complex* in, Complex* out) {
    if (n_ == 0) return;
    if (n_ == 1) {
        out[0] = in[0];
        return;
    }
    if (!inner_) {
        band_ = 0;
        recurse(in, 1, out, n_, 0, 1);
        return;
    }
    const std::size_t m = inner_->size();
    for (std::size_t j = 0; j < n_; ++j) work_a_[j] = in[j] * chirp_[j];
    for (std::size_t j = n_; j < m; ++j) work_a_[j] = {};
    inner_->forward(work_a_.data(), work_b_.data());
    // Inverse transform as conj(forward(conj(.))).
    for (std::size_t j = 0; j < m; ++j) work_b_[j] = conj(work_b_[j] * kernel_hat_[j]);
    inner_->forward(work_b_.data(), work_a_.data());
    for (std::size_t k = 0; k < n_; ++k) out[k] = conj(work_a_[k]) * chirp_[k];
}

void Fft::forward_band(const Complex* in, Complex* out, std::size_t band) {
    if (inner_ || n_ <= 1 || 2 * band + 1 >= n_) {
        forward(in, out);
        return;
    }
    band_ = band;
    band_work_.resize(2 * band + 1);
    recurse(in, 1, out, n_, 0, 1);
    band_ = 0;
}

// Decimation in time: the p interleaved sub-sequences are transformed into
// consecutive blocks of `out`, then combined by radix-p butterflies.
void Fft::recurse(const Complex* in, std::size_t stride, Complex* out, std::size_t len, std::size_t level,
                  std::size_t step) noexcept {
    const std::size_t p = factors_[level];
    const std::size_t m = len / p;
    if (m == 1) {
        for (std::size_t j = 0; j < p; ++j) out[j] = in[j * stride];
    } else {
        for (std::size_t j = 0; j < p; ++j) recurse(in + j * stride, stride * p, out + j * m, m, level + 1, step * p);
    }
    // A wanted output costs p - 1 complex products in the band combination,
    // about one in the specialised radix 2..5 butterflies, and about p in the
    // generic one. Once a level runs in full, every level below it does.
    const std::size_t span = 2 * band_ + 1;
    if (band_ != 0 && span < len && (p > 5 || span * p < len))
        band_butterflies(out, len, p, step);
    else
        butterflies(out, m, p, step);
}

// Only outputs K in [-band, band] (mod len): X[K] = sum_j W_len^(jK) Y_j[K mod m],
// where Y_j[K mod m] is itself inside the children's band.
void Fft::band_butterflies(Complex* out, std::size_t len, std::size_t p, std::size_t step) noexcept {
    const std::size_t m = len / p;
    const std::size_t span = 2 * band_ + 1;
    const Complex* tw = twiddles_.data();
    // k runs over len - band .. len - 1, 0 .. band; child = k mod m alongside,
    // both stepped without divisions.
    const std::size_t first = len - band_;
    std::size_t k = first, child = first % m;
    for (std::size_t i = 0; i < span; ++i) {
        Complex sum = out[child];
        std::size_t angle = 0;  // j * k mod len
        for (std::size_t j = 1; j < p; ++j) {
            angle += k;
            if (angle >= len) angle -= len;
            sum = sum + out[j * m + child] * tw[angle * step];
        }
        band_work_[i] = sum;
        if (++k == len) k = 0;
        if (++child == m) child = 0;
    }
    std::size_t to = first;
    for (std::size_t i = 0; i < span; ++i) {
        out[to] = band_work_[i];
        if (++to == len) to = 0;
    }
}

void Fft::butterflies(Complex* out, std::size_t m, std::size_t p, std::size_t step) const noexcept {
    const Complex* tw = twiddles_.data();
    switch (p) {
    case 2:
        for (std::size_t k = 0; k < m; ++k) {
            const Complex a0 = out[k];
            const Complex a1 = k ? out[k + m] * tw[k * step] : out[k + m];
            out[k] = a0 + a1;
            out[k + m] = a0 - a1;
        }
        return;
    case 4:
        for (std::size_t k = 0; k < m; ++k) {
            Complex a0 = out[k], a1 = out[k + m], a2 = out[k + 2 * m], a3 = out[k + 3 * m];
            if (k) {
                a1 = a1 * tw[k * step];
                a2 = a2 * tw[2 * k * step];
                a3 = a3 * tw[3 * k * step];
            }
            const Complex t0 = a0 + a2, t1 = a0 - a2, t2 = a1 + a3, t3 = a1 - a3;
            const Complex t3_times_minus_i{t3.im, -t3.re};
            out[k] = t0 + t2;
            out[k + 2 * m] = t0 - t2;
            out[k + m] = t1 + t3_times_minus_i;
            out[k + 3 * m] = t1 - t3_times_minus_i;
        }
        return;
    case 3: {
        const double half_root3 = std::sqrt(3.0) / 2.0;
        for (std::size_t k = 0; k < m; ++k) {
            Complex a0 = out[k], a1 = out[k + m], a2 = out[k + 2 * m];
            if (k) {
                a1 = a1 * tw[k * step];
                a2 = a2 * tw[2 * k * step];
            }
            const Complex s = a1 + a2, d = a1 - a2;
            const Complex mid{a0.re - 0.5 * s.re, a0.im - 0.5 * s.im};
            // -i * (sqrt(3)/2) * d
            const Complex rot{half_root3 * d.im, -half_root3 * d.re};
            out[k] = a0 + s;
            out[k + m] = mid + rot;
            out[k + 2 * m] = mid - rot;
        }
        return;
    }
    case 5: {
        // X1,4 = a0 + c1 b1 + c2 b2 -/+ i (s1 d1 + s2 d2), X2,3 = a0 + c2 b1 + c1 b2 -/+ i (s2 d1 - s1 d2)
        // with b1 = a1 + a4, b2 = a2 + a3, d1 = a1 - a4, d2 = a2 - a3.
        const double c1 = std::cos(2 * std::numbers::pi / 5), c2 = std::cos(4 * std::numbers::pi / 5);
        const double s1 = std::sin(2 * std::numbers::pi / 5), s2 = std::sin(4 * std::numbers::pi / 5);
        for (std::size_t k = 0; k < m; ++k) {
            Complex a0 = out[k], a1 = out[k + m], a2 = out[k + 2 * m], a3 = out[k + 3 * m], a4 = out[k + 4 * m];
            if (k) {
                a1 = a1 * tw[k * step];
                a2 = a2 * tw[2 * k * step];
                a3 = a3 * tw[3 * k * step];
                a4 = a4 * tw[4 * k * step];
            }
            const Complex b1 = a1 + a4, b2 = a2 + a3, d1 = a1 - a4, d2 = a2 - a3;
            const Complex t1{a0.re + c1 * b1.re + c2 * b2.re, a0.im + c1 * b1.im + c2 * b2.im};
            const Complex t2{a0.re + c2 * b1.re + c1 * b2.re, a0.im + c2 * b1.im + c1 * b2.im};
            const Complex u1{s1 * d1.re + s2 * d2.re, s1 * d1.im + s2 * d2.im};
            const Complex u2{s2 * d1.re - s1 * d2.re, s2 * d1.im - s1 * d2.im};
            const Complex iu1{u1.im, -u1.re}, iu2{u2.im, -u2.re};  // -i u
            out[k] = a0 + b1 + b2;
            out[k + m] = t1 + iu1;
            out[k + 4 * m] = t1 - iu1;
            out[k + 2 * m] = t2 + iu2;
            out[k + 3 * m] = t2 - iu2;
        }
        return;
    }
    default: {
        const std::size_t n = twiddles_.size();
        const std::size_t root_step = n / p;  // e^(-2 pi i / p) = tw[root_step]
        Complex a[kMaxDirectRadix];
        for (std::size_t k = 0; k < m; ++k) {
            for (std::size_t j = 0; j < p; ++j) a[j] = j && k ? out[k + j * m] * tw[j * k * step] : out[k + j * m];
            for (std::size_t q = 0; q < p; ++q) {
                Complex sum = a[0];
                std::size_t idx = 0;
                for (std::size_t j = 1; j < p; ++j) {
                    idx += q;
                    if (idx >= p) idx -= p;
                    sum = sum + a[j] * tw[idx * root_step];
                }
                out[k + q * m] = sum;
            }
        }
        return;
    }
    }
}

}  // namespace image::kernels
