// The seven plain-colour measurements of a decoded BGR image, computed
// without Python: grey conversion, grey spread, Canny edge density, mean
// HSV saturation, Laplacian spread, high-frequency energy share, and the
// edge density and spread after CLAHE (clip 4, 8 x 8 tiles).
#pragma once

#include <cstddef>
#include <cstdint>

namespace image::kernels {

class SharedTasks;

struct PlainMetrics {
    double std_dev, edge_ratio, saturation, local_contrast, high_freq_ratio, enhanced_edge_ratio, enhanced_std;
};

// `bgr` holds `height` rows of `width` packed BGR pixels. May throw
// std::bad_alloc; a helper thread that cannot start only means the work
// runs on the calling thread. With a `partner`, the work is shared with
// the thread that calls partner->help() (one that would only wait for this
// one otherwise) instead of a new helper thread; the offer is not closed
// here.
PlainMetrics measure_plainness(const std::uint8_t* bgr, std::size_t height, std::size_t width,
                               SharedTasks* partner = nullptr);

}  // namespace image::kernels
