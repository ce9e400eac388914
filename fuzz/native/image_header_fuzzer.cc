// The declared-size header reader, and the storage test beside it, on
// arbitrary bytes. The input is copied into a heap block of exactly its
// size, so a read one byte past the end (or before the start, through a
// wrapped offset) is a heap-buffer-overflow.
//
// Beyond memory safety, every size the reader returns must describe an image
// a decoder could hold: both sides at least 1 and at most 2^32 - 1, so the
// pixel count is exact in 64 bits.
#include "image/kernels/image_header.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
    if (size != 0) std::memcpy(copy.get(), data, size);
    const auto declared = image::kernels::declared_size({copy.get(), size});
    // How the pixels are stored is read from the same header (memory safety only).
    volatile bool one_byte = image::kernels::one_byte_per_pixel({copy.get(), size});
    (void)one_byte;
    if (!declared) return 0;
    constexpr std::uint64_t kMaxSide = 0xFFFFFFFFu;
    if (declared->width == 0 || declared->height == 0) std::abort();
    if (declared->width > kMaxSide || declared->height > kMaxSide) std::abort();
    // Exact product: dividing back gives the other side.
    if (declared->pixels() / declared->width != declared->height) std::abort();
    return 0;
}
