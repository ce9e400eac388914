// A PNG frame's zlib stream inflated the way libpng's progressive reader
// meets it, row by row, without keeping the pixels: which rows complete,
// whether a completed row names a filter libpng refuses, and where the
// stream stops. The animated-PNG check (apng_frames.hpp) uses it to tell
// whether libpng would raise an error while reading a frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace image::kernels {

// The order and sizes of the filtered rows libpng's progressive reader
// takes from the stream, with interlace handling on (as a reader that lets
// libpng expand Adam7 passes sets it): for each pass it counts the image's
// full height, and the generated rows between a pass's own rows take no
// data. Mirrors png_push_process_row and png_read_push_finish_row.
class RowOrder {
public:
    RowOrder(std::uint32_t width, std::uint32_t height, bool interlaced, unsigned pixel_bits) noexcept;
    bool done() const noexcept { return row_ >= height_ || pass_ > 6; }
    // Bytes of the next row, its filter byte included.
    std::uint64_t row_bytes() const noexcept { return (std::uint64_t{iwidth_} * bits_ + 7) / 8 + 1; }
    // Moves past one row taken from the stream.
    void take_row() noexcept;

private:
    void finish_row() noexcept;
    void finish_rows(int count, int while_pass) noexcept;

    std::uint32_t width_, height_;
    bool interlaced_;
    unsigned bits_;
    int pass_ = 0;
    std::uint32_t row_ = 0;
    std::uint32_t iwidth_;
};

enum class RowStreamEnd {
    input_used_up,       // everything was read; the stream wants more
    stream_end,          // the final block and the checksum were read
    data_error,          // malformed deflate data (libpng: a benign error)
    extra_data,          // data past the last row (libpng: a warning)
    preset_dictionary,   // the header asks for a dictionary (libpng: an error)
    bad_filter,          // a completed row names filter 5 or above (libpng: an error)
};

struct RowStreamResult {
    RowStreamEnd end = RowStreamEnd::input_used_up;
    std::size_t consumed = 0;  // stream bytes read up to `end`
};

// Inflates `stream` (a zlib stream, possibly cut short) into rows of `rows`.
// Never stricter than zlib: it reports a data error only where zlib does, so
// every row zlib would hand to libpng is looked at (a few more may be, where
// zlib stops earlier, e.g. on distances beyond the header's window size).
RowStreamResult read_rows(std::span<const std::uint8_t> stream, RowOrder rows) noexcept;

}  // namespace image::kernels
