#include "image/kernels/image_header.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <tuple>

namespace image::kernels {

namespace {

using Bytes = std::span<const std::uint8_t>;
using Size = std::optional<DeclaredSize>;

constexpr std::uint64_t kMaxSide = 0xFFFFFFFF;        // 32-bit sides: the product fits 64 bits
constexpr std::uint64_t kMaxSigned32 = 0x7FFFFFFF;    // formats whose sides are signed 32-bit

// A header this reader knows that declares a size no decoder accepts.
Size unreal() noexcept { return DeclaredSize{0, 0}; }

// Whether the n bytes at `at` lie inside `d`. Offsets come from the file and
// may be anything, so neither side is ever added to: `at + n` can wrap.
bool fits(Bytes d, std::uint64_t at, std::uint64_t n) noexcept {
    return at <= d.size() && n <= d.size() - at;
}

bool starts_with(Bytes d, std::string_view magic, std::size_t at = 0) noexcept {
    return fits(d, at, magic.size()) && std::memcmp(d.data() + at, magic.data(), magic.size()) == 0;
}

std::uint64_t be(Bytes d, std::size_t at, std::size_t n) noexcept {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = (v << 8) | d[at + i];
    return v;
}

std::uint64_t le(Bytes d, std::size_t at, std::size_t n) noexcept {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= std::uint64_t{d[at + i]} << (8 * i);
    return v;
}

Size png(Bytes d) noexcept {
    if (!starts_with(d, "\x89PNG\r\n\x1a\n") || !fits(d, 0, 24) || !starts_with(d, "IHDR", 12)) return {};
    // A PNG side is at most 2^31 - 1; anything larger no decoder accepts.
    const std::uint64_t width = be(d, 16, 4), height = be(d, 20, 4);
    if (width > kMaxSigned32 || height > kMaxSigned32) return unreal();
    return DeclaredSize{width, height};
}

Size jpeg(Bytes d) noexcept {
    if (d.size() < 4 || d[0] != 0xFF || d[1] != 0xD8) return {};
    std::size_t at = 2;
    while (fits(d, at, 4)) {
        if (d[at] != 0xFF) return {};
        const std::uint8_t marker = d[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        at += 2;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length
        if (marker == 0xD9 || marker == 0xDA) return {};                       // no frame header before scan
        const std::size_t length = be(d, at, 2);
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (!fits(d, at, 7)) return {};
            return DeclaredSize{be(d, at + 5, 2), be(d, at + 3, 2)};
        }
        if (length < 2) return {};
        at += length;  // at most 2^16 past the end, which fits() then refuses
    }
    return {};
}

Size jpeg2000_codestream(Bytes d, std::size_t at) noexcept {
    // SOC, SIZ: Lsiz, Rsiz, Xsiz, Ysiz, XOsiz, YOsiz.
    if (!fits(d, at, 28) || be(d, at, 4) != 0xFF4FFF51) return {};
    const std::uint64_t x = be(d, at + 8, 4), y = be(d, at + 12, 4);
    const std::uint64_t x0 = be(d, at + 16, 4), y0 = be(d, at + 20, 4);
    if (x0 > x || y0 > y) return {};
    return DeclaredSize{x - x0, y - y0};
}

// A bare JPEG 2000 codestream.
Size j2k(Bytes d) noexcept { return jpeg2000_codestream(d, 0); }

// Walks ISO base-media / JP2 boxes in [begin, end) (begin <= end <= d.size()):
// calls on_box(type, body_begin, body_end) until it returns false.
template <class OnBox>
void boxes(Bytes d, std::size_t begin, std::size_t end, OnBox&& on_box) noexcept {
    std::size_t at = begin;
    while (at <= end && end - at >= 8) {
        std::uint64_t length = be(d, at, 4);
        std::size_t header = 8;
        if (length == 1) {
            if (end - at < 16) return;
            length = be(d, at + 8, 8);
            header = 16;
        } else if (length == 0) {
            length = end - at;
        }
        if (length < header || length > end - at) return;
        if (!on_box(std::string_view(reinterpret_cast<const char*>(d.data() + at + 4), 4), at + header,
                    at + static_cast<std::size_t>(length)))
            return;
        at += static_cast<std::size_t>(length);
    }
}

Size jp2(Bytes d) noexcept {
    if (!starts_with(d, std::string_view("\0\0\0\x0cjP  \r\n\x87\n", 12))) return {};
    Size found;
    boxes(d, 0, d.size(), [&](std::string_view type, std::size_t b, std::size_t e) {
        if (type == "jp2h") {
            boxes(d, b, e, [&](std::string_view inner, std::size_t ib, std::size_t ie) {
                if (inner == "ihdr" && ie - ib >= 8) found = DeclaredSize{be(d, ib + 4, 4), be(d, ib, 4)};
                return !found;
            });
        } else if (type == "jp2c") {
            found = jpeg2000_codestream(d, b);
        }
        return !found;
    });
    return found;
}

Size avif(Bytes d) noexcept {
    if (d.size() < 12 || !starts_with(d, "ftyp", 4)) return {};
    // Every image spatial extent ('ispe') of the item properties; the
    // largest one bounds what the decoder allocates.
    Size largest;
    boxes(d, 0, d.size(), [&](std::string_view type, std::size_t b, std::size_t e) {
        if (type != "meta" || e - b < 4) return true;
        boxes(d, b + 4, e, [&](std::string_view t1, std::size_t b1, std::size_t e1) {
            if (t1 != "iprp") return true;
            boxes(d, b1, e1, [&](std::string_view t2, std::size_t b2, std::size_t e2) {
                if (t2 != "ipco") return true;
                boxes(d, b2, e2, [&](std::string_view t3, std::size_t b3, std::size_t e3) {
                    if (t3 == "ispe" && e3 - b3 >= 12) {
                        const DeclaredSize s{be(d, b3 + 4, 4), be(d, b3 + 8, 4)};
                        if (!largest || s.pixels() > largest->pixels()) largest = s;
                    }
                    return true;
                });
                return true;
            });
            return true;
        });
        return true;
    });
    return largest;
}

Size webp(Bytes d) noexcept {
    if (!starts_with(d, "RIFF") || !starts_with(d, "WEBP", 8) || !fits(d, 0, 30)) return {};
    if (starts_with(d, "VP8 ", 12)) {
        if (d[23] != 0x9D || d[24] != 0x01 || d[25] != 0x2A) return {};
        return DeclaredSize{le(d, 26, 2) & 0x3FFF, le(d, 28, 2) & 0x3FFF};
    }
    if (starts_with(d, "VP8L", 12)) {
        if (d[20] != 0x2F) return {};
        const std::uint64_t bits = le(d, 21, 4);
        return DeclaredSize{(bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1};
    }
    if (starts_with(d, "VP8X", 12)) return DeclaredSize{le(d, 24, 3) + 1, le(d, 27, 3) + 1};
    return {};
}

Size gif(Bytes d) noexcept {
    if ((!starts_with(d, "GIF87a") && !starts_with(d, "GIF89a")) || !fits(d, 0, 10)) return {};
    return DeclaredSize{le(d, 6, 2), le(d, 8, 2)};
}

Size bmp(Bytes d) noexcept {
    if (!starts_with(d, "BM") || !fits(d, 0, 26)) return {};
    const std::uint64_t header = le(d, 14, 4);
    if (header == 12) return DeclaredSize{le(d, 18, 2), le(d, 20, 2)};
    if (header < 40) return {};
    // Signed 32-bit sides: a negative height means rows stored top-down, a
    // negative width means nothing and no decoder accepts it.
    const auto width = static_cast<std::int32_t>(static_cast<std::uint32_t>(le(d, 18, 4)));
    const auto height = static_cast<std::int32_t>(static_cast<std::uint32_t>(le(d, 22, 4)));
    if (width < 0) return unreal();
    const std::int64_t rows = height;
    return DeclaredSize{static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(rows < 0 ? -rows : rows)};
}

Size tiff(Bytes d) noexcept {
    if (!fits(d, 0, 8)) return {};
    const bool little = starts_with(d, "II");
    if (!little && !starts_with(d, "MM")) return {};
    auto read = [&](std::size_t at, std::size_t n) { return little ? le(d, at, n) : be(d, at, n); };
    const std::uint64_t version = read(2, 2);
    const bool big = version == 43;
    if (version != 42 && !big) return {};
    // The first directory's offset: 4 bytes at 4, or in BigTIFF 8 bytes at 8.
    if (big && !fits(d, 0, 16)) return {};
    const std::uint64_t ifd = big ? read(8, 8) : read(4, 4);
    // Entry count, entry size and the value field (4 bytes, 8 in BigTIFF).
    const std::size_t count_size = big ? 8 : 2, entry_size = big ? 20 : 12, value_at = big ? 12 : 8;
    const std::size_t value_size = big ? 8 : 4;
    if (!fits(d, ifd, count_size)) return {};
    const std::uint64_t count = read(static_cast<std::size_t>(ifd), count_size);
    // Only the entries that lie wholly inside the data are read.
    const std::size_t first = static_cast<std::size_t>(ifd) + count_size;
    const std::uint64_t entries = std::min<std::uint64_t>(count, (d.size() - first) / entry_size);
    std::uint64_t width = 0, height = 0;
    bool has_width = false, has_height = false;
    for (std::uint64_t i = 0; i < entries; ++i) {
        const std::size_t e = first + static_cast<std::size_t>(i) * entry_size;
        const std::uint64_t tag = read(e, 2), type = read(e + 2, 2);
        if (tag != 256 && tag != 257) continue;
        // SHORT, LONG or (BigTIFF only) LONG8, stored left-justified in the
        // value field; a value wider than the field is not stored there.
        const std::size_t bytes = type == 3 ? 2 : type == 4 ? 4 : type == 16 ? 8 : 0;
        if (bytes == 0 || bytes > value_size) continue;
        const std::uint64_t value = read(e + value_at, bytes);
        (tag == 256 ? width : height) = value;
        (tag == 256 ? has_width : has_height) = true;
    }
    if (!has_width || !has_height) return {};
    return DeclaredSize{width, height};
}

// Reads the next ASCII decimal token of a netpbm-style header ('#' starts a
// comment to the end of the line); false when there is none or when it
// exceeds 2^31 - 1, the most any reader of these text headers holds.
bool next_number(Bytes d, std::size_t& at, std::uint64_t& value) noexcept {
    while (at < d.size()) {
        const char c = static_cast<char>(d[at]);
        if (c == '#') {
            while (at < d.size() && d[at] != '\n' && d[at] != '\r') ++at;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
            ++at;
        } else {
            break;
        }
    }
    if (at >= d.size() || d[at] < '0' || d[at] > '9') return false;
    value = 0;
    while (at < d.size() && d[at] >= '0' && d[at] <= '9') {
        value = value * 10 + (d[at++] - '0');
        if (value > kMaxSigned32) return false;
    }
    return true;
}

Size pam(Bytes d) noexcept {
    // "P7" then lines "WIDTH n", "HEIGHT n", ... "ENDHDR".
    std::uint64_t width = 0, height = 0;
    bool has_width = false, has_height = false;
    std::size_t at = 2;
    const std::size_t limit = std::min<std::size_t>(d.size(), 4096);
    while (at < limit) {
        std::size_t end = at;
        while (end < limit && d[end] != '\n') ++end;
        const std::string_view line(reinterpret_cast<const char*>(d.data() + at), end - at);
        if (line.starts_with("ENDHDR")) break;
        for (auto [key, target, flag] : {std::tuple{std::string_view("WIDTH"), &width, &has_width},
                                         std::tuple{std::string_view("HEIGHT"), &height, &has_height}}) {
            if (line.starts_with(key)) {
                std::size_t pos = at + key.size();
                *flag = next_number(d.first(end), pos, *target);
            }
        }
        at = end + 1;
    }
    if (!has_width || !has_height) return {};
    return DeclaredSize{width, height};
}

Size netpbm(Bytes d) noexcept {
    if (d.size() < 3 || d[0] != 'P') return {};
    const char kind = static_cast<char>(d[1]);
    if (kind == '7') return pam(d);
    const bool pnm = kind >= '1' && kind <= '6';
    const bool pfm = kind == 'F' || kind == 'f';
    if (!pnm && !pfm) return {};
    std::size_t at = 2;
    std::uint64_t width = 0, height = 0;
    if (!next_number(d, at, width) || !next_number(d, at, height)) return {};
    return DeclaredSize{width, height};
}

Size sun_raster(Bytes d) noexcept {
    if (!fits(d, 0, 12) || be(d, 0, 4) != 0x59A66A95) return {};
    // Signed 32-bit sides.
    const std::uint64_t width = be(d, 4, 4), height = be(d, 8, 4);
    if (width > kMaxSigned32 || height > kMaxSigned32) return unreal();
    return DeclaredSize{width, height};
}

Size radiance(Bytes d) noexcept {
    if (!starts_with(d, "#?")) return {};
    // Header lines end with an empty line; the next line is e.g. "-Y 480 +X 640".
    const std::size_t limit = std::min<std::size_t>(d.size(), 1 << 16);
    std::size_t at = 0;
    while (limit - at >= 2 && !(d[at] == '\n' && d[at + 1] == '\n')) ++at;
    if (limit - at < 2) return {};
    at += 2;
    std::uint64_t first = 0, second = 0;
    auto axis = [&](std::uint64_t& value) {
        while (at < d.size() && d[at] == ' ') ++at;
        if (!fits(d, at, 2) || (d[at] != '-' && d[at] != '+') || (d[at + 1] != 'X' && d[at + 1] != 'Y'))
            return false;
        at += 2;
        return next_number(d, at, value);
    };
    const bool rows_first = fits(d, at, 2) && d[at + 1] == 'Y';
    if (!axis(first) || !axis(second)) return {};
    return rows_first ? DeclaredSize{second, first} : DeclaredSize{first, second};
}

// PNG colour types of one sample per pixel, without an alpha sample.
constexpr std::uint8_t kPngGrey = 0, kPngPalette = 3;

}  // namespace

bool one_byte_per_pixel(std::span<const std::uint8_t> data) noexcept {
    if (starts_with(data, "GIF87a") || starts_with(data, "GIF89a")) return true;
    // IHDR: width and height at 16 and 20, bit depth at 24, colour type at 25.
    if (!png(data) || !fits(data, 24, 2)) return false;
    const std::uint8_t depth = data[24], colour = data[25];
    return depth <= 8 && (colour == kPngGrey || colour == kPngPalette);
}

std::optional<DeclaredSize> declared_size(std::span<const std::uint8_t> data) noexcept {
    // The first reader that knows the header decides: a size no image can
    // have (a zero side, a side beyond 32 bits) is no size at all.
    for (Size (*reader)(Bytes) : {png, jpeg, webp, gif, bmp, tiff, netpbm, sun_raster, radiance, jp2, avif, j2k}) {
        const Size s = reader(data);
        if (!s) continue;
        if (s->width == 0 || s->height == 0 || s->width > kMaxSide || s->height > kMaxSide) return {};
        return s;
    }
    return {};
}

}  // namespace image::kernels
