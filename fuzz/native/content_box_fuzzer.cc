// The content box of RGBA pixels (neither fully transparent nor pure
// white), fed in bands of fuzzer-chosen heights, against the box of every
// content pixel found one by one. Exact integer bounds.
#include "image/kernels/content_box.hpp"
#include "pixel_input.hpp"

namespace k = image::kernels;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t bands = in.byte();
    const fuzz::Size s = fuzz::take_size(in, 1 << 14, 1 << 12);
    const std::size_t h = s.height, w = s.width;
    // Mostly background (transparent, or white at any alpha), some content.
    std::vector<std::uint8_t> rgba = fuzz::take_pixels(in, 4 * h * w, 4 * w);
    for (std::size_t i = 0; i < h * w; ++i) {
        std::uint8_t* p = &rgba[4 * i];
        switch (p[0] % 8) {
            case 0: case 1: case 2: p[3] = 0; break;
            case 3: case 4: case 5: p[0] = p[1] = p[2] = 255; break;
            default: break;
        }
    }

    bool any = false;
    std::size_t left = w, top = h, right = 0, bottom = 0;
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            const std::uint8_t* p = &rgba[4 * (y * w + x)];
            if (p[3] == 0 || (p[0] == 255 && p[1] == 255 && p[2] == 255)) continue;
            any = true;
            left = std::min(left, x);
            top = std::min(top, y);
            right = std::max(right, x + 1);
            bottom = std::max(bottom, y + 1);
        }

    k::ContentBox box(w);
    const std::size_t band = 1 + bands % 7;
    for (std::size_t y = 0; y < h; y += band) box.scan_rows(&rgba[4 * y * w], y, std::min(band, h - y));
    fuzz::expect(box.empty() == !any, "whether there is content");
    if (any)
        fuzz::expect(box.left() == left && box.top() == top && box.right() == right && box.bottom() == bottom,
                     "content box");
    return 0;
}
