// The PNG chunk walker on arbitrary bytes, in an exactly sized heap block,
// held against a short walk in 64-bit arithmetic (inputs are far below 2^32
// bytes, so nothing in it can wrap).
#include "image/kernels/png_chunks.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

bool overruns_oracle(const std::uint8_t* d, std::uint64_t size) {
    static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size < 8 || std::memcmp(d, kSignature, 8) != 0) return false;
    std::uint64_t at = 8;
    while (at + 8 <= size) {
        const std::uint64_t length = std::uint64_t{d[at]} << 24 | std::uint64_t{d[at + 1]} << 16 |
                                     std::uint64_t{d[at + 2]} << 8 | d[at + 3];
        const std::uint64_t end = at + 8 + length + 4;  // length, type, data, CRC
        if (end > size) return true;
        if (std::memcmp(d + at + 4, "IEND", 4) == 0) return false;
        at = end;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
    if (size != 0) std::memcpy(copy.get(), data, size);
    if (image::kernels::png_chunk_overruns({copy.get(), size}) != overruns_oracle(copy.get(), size)) std::abort();
    return 0;
}
