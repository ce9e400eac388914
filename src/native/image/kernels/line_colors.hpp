// Pixel classes of a line drawing on a plain background: background (near
// black or near white), green, red, or anything else. Pure C++ over packed
// 8-bit RGB triples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace image::kernels {

// The two thresholds of the classification, already brought into the range
// where they keep their meaning against 8-bit channels (see clamp_*).
struct LineColorRule {
    int dark_max;  // a channel <= dark_max is dark; in [-1, 255]
    int gap;       // a leading channel must exceed each other one by more than gap; in [-256, 255]
};

// Exact stand-ins for thresholds of any size: the results of every
// comparison the classification makes are the same with the clamped value.
int clamp_dark_max(long long threshold) noexcept;
int clamp_gap(long long gap) noexcept;

struct LineColorCounts {
    std::uint64_t non_background = 0;
    std::uint64_t green = 0;
    std::uint64_t red = 0;
};

// Which version of the pixel loop runs: the fastest one this processor has
// (Best), or a given one, for tests; a version the processor lacks falls back
// to the next slower one. Outside x86-64 there is only the baseline.
enum class LineColorKernel { Best, Baseline, Avx2, X86_64_V4 };

// Adds the classes of the `pixels4.size() / 4` pixels to `counts`.
void count_line_colors(std::span<const std::uint8_t> pixels4, LineColorRule rule, LineColorCounts& counts,
                       LineColorKernel kernel = LineColorKernel::Best) noexcept;

}  // namespace image::kernels
