// PNG chunk framing, checked without decoding: a chunk whose declared length
// runs past the end of the data means the file cannot decode, and some
// decoders allocate the declared length (up to 4 GiB) before finding out.
#pragma once

#include <cstdint>
#include <span>

namespace image::kernels {

// True when `data` is a PNG (signature) and a chunk before the first complete
// IEND declares more bytes than the data still holds. False for anything
// else, including a PNG that merely lacks IEND.
bool png_chunk_overruns(std::span<const std::uint8_t> data) noexcept;

}  // namespace image::kernels
