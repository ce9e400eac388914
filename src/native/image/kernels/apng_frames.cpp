#include "image/kernels/apng_frames.hpp"

#include "image/kernels/png_rows.hpp"

#include <cstring>
#include <vector>

namespace image::kernels {

namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// libpng's default PNG_USER_CHUNK_MALLOC_MAX, which the reader applies to
// chunks it does not know.
constexpr std::uint64_t kUserChunkMax = 8000000;

constexpr std::uint32_t tag(const char (&name)[5]) noexcept {
    return (std::uint32_t(std::uint8_t(name[0])) << 24) | (std::uint32_t(std::uint8_t(name[1])) << 16) |
           (std::uint32_t(std::uint8_t(name[2])) << 8) | std::uint32_t(std::uint8_t(name[3]));
}
constexpr std::uint32_t kIHDR = tag("IHDR"), kacTL = tag("acTL"), kfcTL = tag("fcTL"), kIDAT = tag("IDAT"),
                        kfdAT = tag("fdAT"), kIEND = tag("IEND"), kPLTE = tag("PLTE"), kbKGD = tag("bKGD"),
                        ktEXt = tag("tEXt"), ktRNS = tag("tRNS");

std::uint32_t be32(const std::uint8_t* p) noexcept {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

struct Chunk {
    std::uint32_t type = 0;
    std::span<const std::uint8_t> data;
    std::size_t next = 0;
};

// The chunk at `at`, where the reader's read_chunk reads one: it gives up
// on a chunk cut short, a type of zero, control chunks of the wrong length
// and unknown chunks above libpng's allocation limit.
bool read_chunk(std::span<const std::uint8_t> data, std::size_t at, Chunk& out) noexcept {
    if (at > data.size() || data.size() - at < 8) return false;
    const std::uint64_t length = be32(data.data() + at);
    const std::uint32_t type = be32(data.data() + at + 4);
    if (type == 0) return false;
    if (type == kIHDR) {
        if (length != 13) return false;
    } else if (type == kacTL) {
        if (length != 8) return false;
    } else if (type == kfcTL) {
        if (length != 26) return false;
    } else if (type == kbKGD) {
        if (length != 1 && length != 2 && length != 6) return false;
    } else if (type != kfdAT && type != kIDAT && type != kIEND && type != kPLTE && type != ktEXt && type != ktRNS) {
        if (length + 12 > kUserChunkMax) return false;
    }
    const std::size_t rest = data.size() - at - 8;
    if (length > rest || rest - length < 4) return false;
    out = {type, data.subspan(at + 8, static_cast<std::size_t>(length)), at + 12 + static_cast<std::size_t>(length)};
    return true;
}

struct Header {
    std::uint32_t width = 0, height = 0;
    std::uint8_t depth = 0, colour = 0, interlace = 0;
};

// Only headers libpng could accept matter: for the rest the reader stops.
bool read_header(const Chunk& c, Header& h) noexcept {
    const std::uint8_t* p = c.data.data();
    h = {be32(p), be32(p + 4), p[8], p[9], p[12]};
    if (h.width == 0 || h.height == 0 || h.width > 0x7FFFFFFF || h.height > 0x7FFFFFFF) return false;
    if (p[10] != 0 || p[11] != 0 || h.interlace > 1) return false;
    switch (h.colour) {
    case 0: return h.depth == 1 || h.depth == 2 || h.depth == 4 || h.depth == 8 || h.depth == 16;
    case 3: return h.depth == 1 || h.depth == 2 || h.depth == 4 || h.depth == 8;
    case 2: case 4: case 6: return h.depth == 8 || h.depth == 16;
    default: return false;
    }
}

unsigned pixel_bits(const Header& h) noexcept {
    static constexpr unsigned kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
    return kChannels[h.colour] * h.depth;
}

struct Frame {
    std::uint32_t width = 0, height = 0, x = 0, y = 0;
    std::uint8_t dispose = 0, blend = 0;
};

Frame read_frame(const Chunk& c) noexcept {
    const std::uint8_t* p = c.data.data();
    return {be32(p + 4), be32(p + 8), be32(p + 12), be32(p + 16), p[24], p[25]};
}

bool fits(const Frame& f, const Header& h) noexcept {
    return std::uint64_t{f.x} + f.width <= h.width && std::uint64_t{f.y} + f.height <= h.height && f.dispose <= 2 &&
           f.blend <= 1;
}

// Disposal to the background clears the frame's region in a buffer of
// the canvas' size, at three bytes per pixel from the region's left edge.
// A greyscale canvas holds one byte per pixel (two at 16 bits), so the
// clearing of the region's last row can run past the buffer.
bool dispose_overruns(const Header& h, const Frame& f) noexcept {
    if (f.dispose != 1 || h.colour != 0 || f.width == 0 || f.height == 0) return false;
    const std::uint64_t pixel = h.depth == 16 ? 2 : 1;
    const std::uint64_t row = std::uint64_t{h.width} * pixel;
    const std::uint64_t last_row_start = (std::uint64_t{f.y} + f.height - 1) * row;
    return last_row_start + 3 * (std::uint64_t{f.x} + f.width) > row * h.height;
}

// libpng's test of a chunk name: four letters, the third one (whose case
// bit is reserved) upper case.
bool valid_chunk_name(std::uint32_t type) noexcept {
    for (int i = 0; i < 4; ++i) {
        const unsigned c = (type >> (24 - 8 * i)) & 0xFF;
        const bool upper = c >= 'A' && c <= 'Z';
        if (!(upper || (i != 2 && c >= 'a' && c <= 'z'))) return false;
    }
    return true;
}

// The fcTL at `at` ends the first frame of region `f`: the reader returns
// the frame, disposes of it, then checks the next region.
ApngCheck frame_end(std::size_t at, const Chunk& next, const Header& h, const Frame& f) noexcept {
    if (!dispose_overruns(h, f)) return {};
    return {ApngHazard::dispose_overrun, at, fits(read_frame(next), h)};
}

// The first frame is the IDAT image: it ends at the next fcTL, where the
// reader disposes of it before returning.
ApngCheck frame_in_image(std::span<const std::uint8_t> data, std::size_t at, const Header& h, const Frame& f) noexcept {
    Chunk c;
    for (; read_chunk(data, at, c); at = c.next) {
        if (c.type == kfcTL) return frame_end(at, c, h, f);
        if (c.type == kIEND) return {};
    }
    return {};
}

// The chunks from `at` up to the next fcTL or IEND go to a libpng reader
// whose jump buffer is dead: any error it raises is the crash. Frame data
// (fdAT, IDAT) is checked row by row; of other chunks only ancillary ones
// with a valid name are harmless, and only before the frame data or after
// its stream has ended.
ApngCheck frame_after_image(std::span<const std::uint8_t> data, std::size_t at, const Header& h, const Frame& f) {
    std::vector<std::uint8_t> stream;
    bool data_seen = false, gap_after_data = false;
    std::size_t gap_at = 0;
    bool next_frame = false;
    Chunk c;
    for (; read_chunk(data, at, c); at = c.next) {
        if (c.type == kfcTL) {
            next_frame = true;
            break;
        }
        if (c.type == kIEND) break;
        if (c.type == kfdAT || c.type == kIDAT) {
            // An fdAT shorter than its sequence number becomes an IDAT of
            // length 2^32 - 4 + n for libpng, which refuses it.
            if (c.type == kfdAT && c.data.size() < 4) return {ApngHazard::dead_jump_buffer};
            if (gap_after_data || c.data.size() > 0x7FFFFFFF) return {ApngHazard::dead_jump_buffer};
            data_seen = true;
            const auto payload = c.type == kfdAT ? c.data.subspan(4) : c.data;
            stream.insert(stream.end(), payload.begin(), payload.end());
            continue;
        }
        if (!valid_chunk_name(c.type) || (c.type & 0x20000000u) == 0) return {ApngHazard::dead_jump_buffer};
        if (data_seen && !gap_after_data) {
            gap_after_data = true;
            gap_at = stream.size();
        }
    }
    const RowStreamResult rows = read_rows(stream, RowOrder(f.width, f.height, h.interlace == 1, pixel_bits(h)));
    if (rows.end == RowStreamEnd::bad_filter || rows.end == RowStreamEnd::preset_dictionary)
        return {ApngHazard::dead_jump_buffer};
    // A chunk between frame data and the next fcTL finds libpng still in the
    // stream unless the stream ended before it ("Not enough compressed data").
    if (gap_after_data && !(rows.end == RowStreamEnd::stream_end && rows.consumed <= gap_at))
        return {ApngHazard::dead_jump_buffer};
    return next_frame ? frame_end(at, c, h, f) : ApngCheck{};
}

}  // namespace

ApngCheck apng_check(std::span<const std::uint8_t> data) {
    if (data.size() < sizeof kSignature || std::memcmp(data.data(), kSignature, sizeof kSignature) != 0)
        return {};
    Chunk c;
    Header h;
    if (!read_chunk(data, sizeof kSignature, c) || c.type != kIHDR || !read_header(c, h)) return {};
    // The header pass: acTL and fcTL before the first IDAT.
    std::uint64_t frames = 1;
    bool control = false;
    Frame first;
    std::size_t at = c.next;
    for (;; at = c.next) {
        if (!read_chunk(data, at, c)) return {};
        if (c.type == kIDAT) break;
        if (c.type == kacTL) {
            frames = be32(c.data.data());
            if (frames == 0) return {};
        } else if (c.type == kfcTL) {
            control = true;
            first = read_frame(c);
            if (first.dispose > 2 || first.blend > 1) return {};
        }
    }
    if (frames <= 1) return {};  // read as a still image by libpng alone
    if (control) return fits(first, h) ? frame_in_image(data, at, h, first) : ApngCheck{};
    // The IDAT image is not part of the animation: the first frame starts
    // at the first fcTL after it.
    for (;; at = c.next) {
        if (!read_chunk(data, at, c) || c.type == kIEND) return {};
        if (c.type == kfcTL) break;
    }
    const Frame frame = read_frame(c);
    // A region the reader refuses, or an empty one libpng refuses while its
    // jump buffer is still live, ends the read safely.
    if (!fits(frame, h) || frame.width == 0 || frame.height == 0) return {};
    return frame_after_image(data, c.next, h, frame);
}

}  // namespace image::kernels
