// Which vector instructions this processor runs, asked once. The kernels
// are built for the baseline x86-64 instruction set; the few hot loops that
// have an AVX2 version choose it at run time, so one wheel serves every
// machine.
//
// TESSEL_HAVE_AVX2_KERNELS says whether the AVX2 versions exist in this
// build at all: their declarations are visible only when it is 1, so no
// other build can call one. TESSEL_HAVE_SSE2_KERNELS does the same for the
// SSE2 loops inside the plain paths (the x86-64 baseline). Defining
// TESSEL_PORTABLE_KERNELS turns both off, which compiles on x86-64 exactly
// the portable loops every other processor runs, so they can be tested here.
#pragma once

namespace image::kernels {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(TESSEL_PORTABLE_KERNELS)
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

#if defined(__SSE2__) && !defined(TESSEL_PORTABLE_KERNELS)
#define TESSEL_HAVE_SSE2_KERNELS 1
#else
#define TESSEL_HAVE_SSE2_KERNELS 0
#endif

}  // namespace image::kernels
