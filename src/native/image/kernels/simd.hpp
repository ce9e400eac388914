// Which vector instructions this processor runs, asked once. The kernels
// are built for the baseline x86-64 instruction set; the few hot loops that
// have an AVX2 version choose it at run time, so one wheel serves every
// machine.
#pragma once

namespace image::kernels {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TESSEL_HAVE_AVX2_KERNELS 1
inline bool cpu_has_avx2() noexcept {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}
inline bool cpu_has_avx2_fma() noexcept {
    static const bool has = cpu_has_avx2() && __builtin_cpu_supports("fma") != 0;
    return has;
}
#else
#define TESSEL_HAVE_AVX2_KERNELS 0
inline bool cpu_has_avx2() noexcept { return false; }
inline bool cpu_has_avx2_fma() noexcept { return false; }
#endif

}  // namespace image::kernels
