// A forward complex DFT of any length: mixed radix (4, 2, 3 and small odd
// factors) and, for lengths with a prime factor above kMaxDirectRadix,
// Bluestein's chirp convolution over a power-of-two transform.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace image::kernels {

struct Complex {
    double re = 0.0;
    double im = 0.0;
};

inline Complex operator+(Complex a, Complex b) noexcept { return {a.re + b.re, a.im + b.im}; }
inline Complex operator-(Complex a, Complex b) noexcept { return {a.re - b.re, a.im - b.im}; }
inline Complex operator*(Complex a, Complex b) noexcept {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
inline Complex conj(Complex a) noexcept { return {a.re, -a.im}; }
inline double norm(Complex a) noexcept { return a.re * a.re + a.im * a.im; }

// e^(-2 pi i k / n) for k in [0, n), computed with k reduced exactly.
Complex unit_root(std::size_t k, std::size_t n) noexcept;

class Fft {
public:
    static constexpr std::size_t kMaxDirectRadix = 64;

    explicit Fft(std::size_t n);
    Fft(const Fft&) = delete;
    Fft& operator=(const Fft&) = delete;
    ~Fft();

    std::size_t size() const noexcept { return n_; }

    // out[k] = sum_j in[j] e^(-2 pi i j k / n). `in` and `out` must not
    // overlap. Not reentrant: one object per thread.
    void forward(const Complex* in, Complex* out);

    // The same, but only out[k] for k in [-band, band] (mod n) are computed;
    // the other entries are left unspecified. Upper recursion levels then
    // combine just the band, so large radices cost little.
    void forward_band(const Complex* in, Complex* out, std::size_t band);

private:
    void recurse(const Complex* in, std::size_t stride, Complex* out, std::size_t len, std::size_t level,
                 std::size_t step) noexcept;
    void band_butterflies(Complex* out, std::size_t len, std::size_t p, std::size_t step) noexcept;
    void butterflies(Complex* out, std::size_t m, std::size_t p, std::size_t step) const noexcept;

    std::size_t n_;
    std::vector<std::size_t> factors_;
    std::vector<Complex> twiddles_;  // e^(-2 pi i t / n)
    std::size_t band_ = 0;           // 0: every output wanted
    std::vector<Complex> band_work_;

    // Bluestein state (only for lengths with a large prime factor).
    std::unique_ptr<Fft> inner_;
    std::vector<Complex> chirp_;       // e^(-pi i j^2 / n)
    std::vector<Complex> kernel_hat_;  // transform of the conjugate chirp, scaled by 1/m
    std::vector<Complex> work_a_, work_b_;
};

}  // namespace image::kernels
