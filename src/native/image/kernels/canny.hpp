// Canny edge detection of 8-bit grey images, pixel for pixel the detector
// OpenCV runs for Canny(image, low, high) with its defaults: 3x3 Sobel
// derivatives over a replicated border, the L1 magnitude |dx| + |dy|,
// non-maximum suppression in four direction sectors and hysteresis over
// the 8-neighbourhood. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace image::kernels {

// Number of edge pixels of the `height` x `width` image (rows `width`
// bytes apart). A pixel is a candidate when its magnitude is above `low`
// and survives suppression; candidates above `high` are edges, and so is
// every candidate 8-connected to an edge through other candidates.
// With `vectorised` (where the processor allows) the gradient and
// suppression passes take sixteen pixels at a time with AVX2; the result
// is the same. May throw std::bad_alloc.
std::uint64_t canny_edge_count(const std::uint8_t* grey, std::size_t height, std::size_t width, int low, int high,
                               bool vectorised = true);

// The same detector writing 255 at edge pixels and 0 elsewhere into
// `edges` (height x width bytes). May throw std::bad_alloc.
std::uint64_t canny_edges(const std::uint8_t* grey, std::size_t height, std::size_t width, int low, int high,
                          std::uint8_t* edges, bool vectorised = true);

}  // namespace image::kernels
