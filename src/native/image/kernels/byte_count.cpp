#include "image/kernels/byte_count.hpp"

#include "image/kernels/simd.hpp"

#if TESSEL_HAVE_AVX2_KERNELS
#include <immintrin.h>
#endif

namespace image::kernels {

namespace {

// Blocks small enough for a 32-bit counter keep the loops branch-free and
// let the compiler vectorise them.
constexpr std::size_t kBlock = std::size_t{1} << 24;

template <std::size_t Stride>
std::size_t count_fixed(const std::uint8_t* data, std::size_t count, std::uint8_t value) noexcept {
    std::size_t total = 0;
    while (count > 0) {
        const std::size_t n = count < kBlock ? count : kBlock;
        std::uint32_t hits = 0;
        for (std::size_t i = 0; i < n; ++i) hits += data[i * Stride] == value;
        total += hits;
        data += n * Stride;
        count -= n;
    }
    return total;
}

#if TESSEL_HAVE_AVX2_KERNELS

// Packed bytes: each vector compare gives 0xFF (-1) per match, subtracted
// into byte counters; before a byte counter could pass 255 the counters are
// summed with psadbw into 64-bit lanes. That keeps the loop at one load, one
// compare and one subtract per vector, fast enough to run at memory speed.
constexpr std::size_t kRounds = 255;  // vectors per block: no byte counter can pass 255

std::size_t count_bytes_sse2(const std::uint8_t* data, std::size_t count, std::uint8_t value) noexcept {
    const __m128i needle = _mm_set1_epi8(static_cast<char>(value));
    const __m128i zero = _mm_setzero_si128();
    __m128i sums = zero;
    std::size_t vectors = count / 16;
    while (vectors > 0) {
        const std::size_t n = vectors < kRounds ? vectors : kRounds;
        __m128i a = zero;
        __m128i b = zero;
        std::size_t i = 0;
        for (; i + 2 <= n; i += 2) {
            const auto* p = reinterpret_cast<const __m128i*>(data + 16 * i);
            a = _mm_sub_epi8(a, _mm_cmpeq_epi8(_mm_loadu_si128(p), needle));
            b = _mm_sub_epi8(b, _mm_cmpeq_epi8(_mm_loadu_si128(p + 1), needle));
        }
        if (i < n) a = _mm_sub_epi8(a, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), needle));
        sums = _mm_add_epi64(sums, _mm_add_epi64(_mm_sad_epu8(a, zero), _mm_sad_epu8(b, zero)));
        data += 16 * n;
        vectors -= n;
    }
    std::uint64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), sums);
    std::size_t total = static_cast<std::size_t>(lanes[0] + lanes[1]);
    for (std::size_t i = 0; i < count % 16; ++i) total += data[i] == value;
    return total;
}

__attribute__((target("avx2"))) std::size_t count_bytes_avx2(const std::uint8_t* data, std::size_t count,
                                                               std::uint8_t value) noexcept {
    const __m256i needle = _mm256_set1_epi8(static_cast<char>(value));
    const __m256i zero = _mm256_setzero_si256();
    __m256i sums = zero;
    std::size_t vectors = count / 32;
    while (vectors > 0) {
        const std::size_t n = vectors < kRounds ? vectors : kRounds;
        __m256i a = zero;
        __m256i b = zero;
        std::size_t i = 0;
        for (; i + 2 <= n; i += 2) {
            const auto* p = reinterpret_cast<const __m256i*>(data + 32 * i);
            a = _mm256_sub_epi8(a, _mm256_cmpeq_epi8(_mm256_loadu_si256(p), needle));
            b = _mm256_sub_epi8(b, _mm256_cmpeq_epi8(_mm256_loadu_si256(p + 1), needle));
        }
        if (i < n)
            a = _mm256_sub_epi8(a, _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 32 * i)), needle));
        sums = _mm256_add_epi64(sums, _mm256_add_epi64(_mm256_sad_epu8(a, zero), _mm256_sad_epu8(b, zero)));
        data += 32 * n;
        vectors -= n;
    }
    std::uint64_t lanes[4];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), sums);
    return static_cast<std::size_t>(lanes[0] + lanes[1] + lanes[2] + lanes[3]) +
           count_bytes_sse2(data, count % 32, value);
}

#endif

}  // namespace

std::size_t count_equal_bytes(const std::uint8_t* data, std::size_t count, std::uint8_t value,
                              ByteKernel kernel) noexcept {
#if TESSEL_HAVE_AVX2_KERNELS
    switch (kernel) {
        case ByteKernel::Best:
        case ByteKernel::Avx2:
            if (cpu_has_avx2()) return count_bytes_avx2(data, count, value);
            return count_bytes_sse2(data, count, value);
        case ByteKernel::Sse2:
            return count_bytes_sse2(data, count, value);
        case ByteKernel::Plain:
            break;
    }
#else
    (void)kernel;
#endif
    return count_fixed<1>(data, count, value);
}

std::size_t count_equal(const std::uint8_t* data, std::size_t count, std::size_t stride, std::uint8_t value) noexcept {
    if (stride == 1) return count_equal_bytes(data, count, value, ByteKernel::Best);
    if (stride == 4) return count_fixed<4>(data, count, value);
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += data[i * stride] == value;
    return total;
}

}  // namespace image::kernels
