// What the pixel-kernel harnesses share: an image size and pixels taken
// from the fuzzer's bytes, and the check that stops the run on a mismatch.
//
// The first bytes choose the size. Most inputs get a width from a list of
// the shapes where vector code goes wrong (1, tails around 8, 16 and 32
// lanes, primes) and a height that keeps the area under the cap; the rest
// take any width and height within the cap. The next byte chooses how the
// remaining bytes become pixels (raw, two levels, low contrast, ramps):
// edge detection and equalisation need structure as well as noise.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace fuzz {

// Stops the run: libFuzzer then keeps the input as a crash file.
[[noreturn]] inline void mismatch(const char* what) {
    std::fprintf(stderr, "mismatch: %s\n", what);
    __builtin_trap();
}

inline void expect(bool ok, const char* what) {
    if (!ok) mismatch(what);
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

    std::uint8_t byte() noexcept { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t u16() noexcept { return static_cast<std::uint16_t>(byte() | byte() << 8); }
    std::uint32_t u32() noexcept { return static_cast<std::uint32_t>(u16() | static_cast<std::uint32_t>(u16()) << 16); }

    // The bytes not taken yet (may be empty).
    const std::uint8_t* rest() const noexcept { return data_ + pos_; }
    std::size_t left() const noexcept { return size_ - pos_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

struct Size {
    std::size_t height, width;
};

// Widths on either side of every vector width the kernels use (8 and 16
// lanes of 16 bits, 16 and 32 bytes, the 16-pixel colour pass, the
// 32-pixel seed rows), and primes.
inline constexpr std::array<std::size_t, 32> kAwkwardWidths = {
    1, 2, 3, 7, 8, 9, 15, 16, 17, 18, 19, 31, 32, 33, 34, 47, 48, 49, 63, 64, 65, 66, 95, 96, 97, 127, 128, 129, 131, 257, 509, 1021};

// An image size of at most `max_area` pixels (and sides of at most
// `max_side`), at least `min_side` on each side when it can.
inline Size take_size(Input& in, std::size_t max_area, std::size_t max_side, std::size_t min_side = 1) {
    const std::uint8_t how = in.byte();
    std::size_t width;
    if (how < 160) {
        width = kAwkwardWidths[how % kAwkwardWidths.size()];
        width += min_side > width ? min_side - 1 : 0;  // keeps the tail while meeting the minimum
    } else {
        width = min_side + in.u16() % (max_side - min_side + 1);
    }
    width = std::min(width, std::min(max_side, max_area / min_side));
    const std::size_t tallest = std::min(max_side, max_area / width);
    std::size_t height;
    switch (in.byte() % 4) {
        case 0: height = 1; break;
        case 1: height = std::min<std::size_t>(tallest, min_side + in.byte() % 3); break;
        default: height = min_side + in.u16() % (tallest - std::min(tallest, min_side) + 1); break;
    }
    return {std::clamp<std::size_t>(height, 1, tallest), width};
}

// `count` bytes of pixel data from the rest of the input, in one of a few
// styles; repeated when the input runs short, zeros when it is empty.
inline std::vector<std::uint8_t> take_pixels(Input& in, std::size_t count, std::size_t row_bytes) {
    const std::uint8_t style = in.byte() % 5;
    const std::uint8_t* src = in.rest();
    const std::size_t n = in.left();
    std::vector<std::uint8_t> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = n == 0 ? 0 : src[i % n];
        const std::size_t x = i % row_bytes, y = i / row_bytes;
        switch (style) {
            case 0: out[i] = b; break;                                  // noise
            case 1: out[i] = b & 1 ? 255 : 0; break;                    // two levels
            case 2: out[i] = static_cast<std::uint8_t>(120 + b % 4); break;  // low contrast
            case 3: out[i] = static_cast<std::uint8_t>(x * (1 + n % 7) + y * (n % 5) + (b & 3)); break;  // ramps
            default: out[i] = b < 16 ? b * 17 : (i > 0 ? out[i - 1] : 0); break;  // flat runs with steps
        }
    }
    return out;
}

}  // namespace fuzz
