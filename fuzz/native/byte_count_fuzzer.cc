// Byte counts (palette indices, alpha bytes): every variant of the packed
// count (AVX2, SSE2, plain; a variant the processor lacks falls back to a
// narrower one) and the strided counts, against a plain loop, on buffers
// of every length and alignment. Integer counts: exactly equal.
#include "image/kernels/byte_count.hpp"
#include "pixel_input.hpp"

namespace k = image::kernels;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t value = in.byte();
    const std::size_t skip = in.byte() % 32;  // misaligns the start
    const std::size_t stride = 1 + in.byte() % 6;
    // A run of one byte value longer than the vector loops' 255-step
    // blocks, where their byte counters would wrap, as well as the input.
    const std::size_t repeat = in.byte() < 16 ? 9000 : 1;
    std::vector<std::uint8_t> buffer;
    for (std::size_t r = 0; r < repeat; ++r) buffer.insert(buffer.end(), in.rest(), in.rest() + in.left());
    if (repeat > 1 && buffer.empty()) buffer.assign(repeat, value);
    const std::uint8_t* p = buffer.data() + std::min(skip, buffer.size());
    const std::size_t n = buffer.size() - std::min(skip, buffer.size());

    std::size_t want = 0;
    for (std::size_t i = 0; i < n; ++i) want += p[i] == value;
    for (const k::ByteKernel kernel : {k::ByteKernel::Best, k::ByteKernel::Plain, k::ByteKernel::Sse2, k::ByteKernel::Avx2})
        fuzz::expect(k::count_equal_bytes(p, n, value, kernel) == want, "packed count");

    const std::size_t samples = n == 0 ? 0 : (n - 1) / stride + 1;
    std::size_t strided = 0;
    for (std::size_t i = 0; i < samples; ++i) strided += p[i * stride] == value;
    fuzz::expect(k::count_equal(p, samples, stride, value) == strided, "strided count");
    return 0;
}
