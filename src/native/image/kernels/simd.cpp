#include "image/kernels/simd.hpp"

#if TESSEL_HAVE_AVX2_KERNELS
#include <cpuid.h>

#include <cstdint>

namespace image::kernels {

namespace {

// XCR0, the register state the operating system saves on a context switch.
// Inline assembly: the _xgetbv intrinsic would need the XSAVE target.
std::uint64_t xcr0() noexcept {
    std::uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (std::uint64_t{hi} << 32) | lo;
}

constexpr bool bit(unsigned reg, int n) noexcept { return ((reg >> n) & 1U) != 0; }

}  // namespace

X86Features detect_x86_features() noexcept {
    X86Features f;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return f;
    // AVX needs the instructions (ECX 28) and the OS's XSAVE of XMM and YMM
    // (OSXSAVE, ECX 27; XCR0 bits 1 and 2).
    if (!bit(ecx, 27) || !bit(ecx, 28)) return f;
    const std::uint64_t saved = xcr0();
    if ((saved & 0x6) != 0x6) return f;
    const bool fma = bit(ecx, 12);
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return f;
    f.avx2 = bit(ebx, 5);
    f.fma = fma;
    // AVX-512 also needs the opmask and both halves of the ZMM registers
    // saved (XCR0 bits 5, 6, 7); F 16, DQ 17, CD 28, BW 30, VL 31.
    f.avx512 = (saved & 0xE0) == 0xE0 && bit(ebx, 16) && bit(ebx, 17) && bit(ebx, 28) && bit(ebx, 30) && bit(ebx, 31);
    return f;
}

}  // namespace image::kernels

#endif
