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

// What CPUID and the operating system's saved register state allow. Read
// with CPUID and XGETBV directly rather than through __builtin_cpu_supports:
// that builtin needs the compiler runtime's CPU model, and some toolchains
// (Zig's, which builds our manylinux wheels) ship one that reports no
// feature at all, which would leave every vector kernel unused.
struct X86Features {
    bool avx2 = false;
    bool fma = false;
    // The AVX-512 part of x86-64-v4 (F, BW, CD, DQ, VL) with ZMM state saved.
    bool avx512 = false;
};
X86Features detect_x86_features() noexcept;

inline const X86Features& x86_features() noexcept {
    static const X86Features features = detect_x86_features();
    return features;
}
inline bool cpu_has_avx2() noexcept { return x86_features().avx2; }
inline bool cpu_has_avx2_fma() noexcept { return x86_features().avx2 && x86_features().fma; }
inline bool cpu_has_x86_64_v4() noexcept { return x86_features().avx2 && x86_features().fma && x86_features().avx512; }
#else
#define TESSEL_HAVE_AVX2_KERNELS 0
inline bool cpu_has_avx2() noexcept { return false; }
inline bool cpu_has_avx2_fma() noexcept { return false; }
inline bool cpu_has_x86_64_v4() noexcept { return false; }
#endif

#if defined(__SSE2__) && !defined(TESSEL_PORTABLE_KERNELS)
#define TESSEL_HAVE_SSE2_KERNELS 1
#else
#define TESSEL_HAVE_SSE2_KERNELS 0
#endif

}  // namespace image::kernels
