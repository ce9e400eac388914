#include "image/kernels/png_chunks.hpp"

#include <cstring>

namespace image::kernels {

bool png_chunk_overruns(std::span<const std::uint8_t> data) noexcept {
    static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (data.size() < sizeof kSignature || std::memcmp(data.data(), kSignature, sizeof kSignature) != 0) return false;
    std::size_t at = sizeof kSignature;
    // Each chunk: 4-byte big-endian length, 4-byte type, data, 4-byte CRC.
    while (data.size() - at >= 8) {
        const std::uint64_t length = (std::uint64_t{data[at]} << 24) | (std::uint64_t{data[at + 1]} << 16) |
                                     (std::uint64_t{data[at + 2]} << 8) | std::uint64_t{data[at + 3]};
        const bool is_end = std::memcmp(data.data() + at + 4, "IEND", 4) == 0;
        const std::uint64_t left = data.size() - at - 8;
        if (left < 4 || length > left - 4) return true;  // data and CRC
        if (is_end) return false;
        at += 8 + static_cast<std::size_t>(length) + 4;
    }
    return false;
}

}  // namespace image::kernels
