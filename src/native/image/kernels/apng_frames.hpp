// Animated PNGs that OpenCV's PNG reader (imgcodecs, grfmt_png.cpp, 4.11 to
// 5.1) cannot read without going out of bounds, found before decoding.
//
// Reading the first frame of an animation (acTL with more than one frame),
// the reader has two faults:
//
//  * When the IDAT image is not part of the animation (no fcTL before the
//    first IDAT), the first fcTL after it makes the reader start a fresh
//    libpng reader inside a helper whose setjmp frame has returned; libpng
//    errors from then on (frame data it rejects, chunks it refuses) longjmp
//    into that dead frame: a crash, or worse.
//  * When a frame is disposed to the background, the reader clears its
//    region in the next-frame buffer at three bytes per pixel whatever the
//    buffer holds; a greyscale buffer has one or two, so the clearing runs
//    past the end of the buffer when the region reaches its last rows.
#pragma once

#include <cstdint>
#include <span>

namespace image::kernels {

enum class ApngHazard {
    none,
    // The frame data after the first fcTL would make libpng raise an error
    // with a dead jump buffer.
    dead_jump_buffer,
    // Disposing the first frame to the background would write past the end
    // of a greyscale frame buffer.
    dispose_overrun,
};

struct ApngCheck {
    ApngHazard hazard = ApngHazard::none;
    // For dispose_overrun: the offset of the fcTL that ends the first frame.
    // The reader composes and returns the first frame before disposing of
    // it, so the bytes before this offset followed by an IEND chunk read to
    // the same picture, without the overrun.
    std::size_t first_frame_end = 0;
    // For dispose_overrun: whether the reader accepts that fcTL's region
    // (it reports failure after the disposal otherwise).
    bool next_frame_fits = false;
};

// What reading `data` as its first frame would do to OpenCV's reader, as
// cv2.imdecode does with IMREAD_COLOR. `none` for anything that is not an
// animated PNG, or that the reader rejects (or reads) safely. Copies the
// first frame's data when it has to inflate it (std::bad_alloc may escape).
ApngCheck apng_check(std::span<const std::uint8_t> data);

}  // namespace image::kernels
