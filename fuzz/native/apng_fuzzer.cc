// libFuzzer harness for the animated-PNG hazard reader and the row inflater
// under it: whatever the bytes, no out-of-bounds access and no undefined
// behaviour (AddressSanitizer, UndefinedBehaviorSanitizer).
#include "image/kernels/apng_frames.hpp"
#include "image/kernels/png_rows.hpp"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const auto check = image::kernels::apng_check(input);
    if (check.first_frame_end > size) std::abort();
    // The inflater on its own over the rest of the input, with a geometry
    // taken from the first bytes, so that every row order meets every
    // stream shape, not only those a well-framed PNG leads to.
    if (size >= 6) {
        const std::uint32_t width = 1 + (data[0] | (data[1] & 0x3F) << 8);
        const std::uint32_t height = 1 + (data[2] | (data[3] & 0x3F) << 8);
        static constexpr unsigned kBits[] = {1, 2, 4, 8, 16, 24, 32, 48, 64};
        const image::kernels::RowOrder rows(width, height, (data[5] & 1) != 0, kBits[data[4] % 9]);
        if (image::kernels::read_rows(input.subspan(6), rows).consumed > size - 6) std::abort();
    }
    return 0;
}
