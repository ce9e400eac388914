#include "image/kernels/png_rows.hpp"

#include <array>

namespace image::kernels {

namespace {
constexpr int kPassStart[7] = {0, 4, 0, 2, 0, 1, 0};
constexpr int kPassStep[7] = {8, 8, 4, 4, 2, 2, 1};
}  // namespace

RowOrder::RowOrder(std::uint32_t width, std::uint32_t height, bool interlaced, unsigned pixel_bits) noexcept
    : width_(width), height_(height), interlaced_(interlaced), bits_(pixel_bits),
      iwidth_(interlaced ? (width + 7) / 8 : width) {}

void RowOrder::finish_row() noexcept {
    if (++row_ < height_ || !interlaced_) return;
    row_ = 0;
    ++pass_;
    // Passes that hold no columns at all are skipped (one at a time).
    if ((pass_ == 1 && width_ < 5) || (pass_ == 3 && width_ < 3) || (pass_ == 5 && width_ < 2)) ++pass_;
    if (pass_ > 7) --pass_;
    if (pass_ >= 7) return;
    iwidth_ = (width_ + kPassStep[pass_] - 1 - kPassStart[pass_]) / kPassStep[pass_];
}

void RowOrder::finish_rows(int count, int while_pass) noexcept {
    for (int i = 0; i < count && pass_ == while_pass; ++i) finish_row();
}

// One row from the stream advances the count by the output rows it stands
// for, then by the generated rows that precede the next pass's first row.
void RowOrder::take_row() noexcept {
    if (!interlaced_) {
        finish_row();
        return;
    }
    switch (pass_) {
    case 0:
        finish_rows(8, 0);
        if (pass_ == 2) finish_rows(4, 2);
        if (pass_ == 4 && height_ <= 4) finish_rows(2, 4);
        if (pass_ == 6 && height_ <= 4) finish_row();
        break;
    case 1:
        finish_rows(8, 1);
        if (pass_ == 2) finish_rows(4, 2);
        break;
    case 2:
        finish_rows(4, 2);
        finish_rows(4, 2);
        if (pass_ == 4) finish_rows(2, 4);
        break;
    case 3:
        finish_rows(4, 3);
        if (pass_ == 4) finish_rows(2, 4);
        break;
    case 4:
        finish_rows(2, 4);
        finish_rows(2, 4);
        if (pass_ == 6) finish_row();
        break;
    case 5:
        finish_rows(2, 5);
        if (pass_ == 6) finish_row();
        break;
    default:
        finish_row();
        if (pass_ == 6) finish_row();
        break;
    }
}

namespace {

constexpr int kMaxBits = 15;

struct Huffman {
    std::array<std::uint16_t, kMaxBits + 1> count{};
    std::array<std::uint16_t, 320> symbol{};
    int longest = 0;
};

// Canonical code from code lengths. Returns the unused share of the code
// space: 0 for a complete code, > 0 incomplete, < 0 over-subscribed.
int build(Huffman& h, const std::uint8_t* lengths, int n) noexcept {
    h.count.fill(0);
    for (int s = 0; s < n; ++s) ++h.count[lengths[s]];
    h.longest = 0;
    for (int len = kMaxBits; len >= 1 && h.longest == 0; --len)
        if (h.count[len] != 0) h.longest = len;
    int left = 1;
    for (int len = 1; len <= kMaxBits; ++len) {
        left = (left << 1) - h.count[len];
        if (left < 0) return left;
    }
    std::array<std::uint16_t, kMaxBits + 2> offset{};
    for (int len = 1; len <= kMaxBits; ++len) offset[len + 1] = static_cast<std::uint16_t>(offset[len] + h.count[len]);
    for (int s = 0; s < n; ++s)
        if (lengths[s] != 0) h.symbol[offset[lengths[s]]++] = static_cast<std::uint16_t>(s);
    return left;
}

constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                         193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                         6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::uint8_t kCodeOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

constexpr int kShort = -1;  // the input ends inside the symbol
constexpr int kBad = -2;    // no code of the table matches

class Inflate {
public:
    Inflate(std::span<const std::uint8_t> in, RowOrder rows) noexcept : in_(in), rows_(rows) {}

    RowStreamResult run() noexcept {
        const RowStreamEnd end = stream();
        return {end, pos_};
    }

private:
    // Reads `n` bits (LSB first); false when the input ends first.
    bool bits(int n, std::uint32_t& out) noexcept {
        while (count_ < n) {
            if (pos_ == in_.size()) return false;
            hold_ |= std::uint64_t{in_[pos_++]} << count_;
            count_ += 8;
        }
        out = static_cast<std::uint32_t>(hold_ & ((std::uint64_t{1} << n) - 1));
        hold_ >>= n;
        count_ -= n;
        return true;
    }

    int decode(const Huffman& h) noexcept {
        int code = 0, first = 0, index = 0;
        for (int len = 1; len <= kMaxBits; ++len) {
            std::uint32_t bit;
            if (!bits(1, bit)) return kShort;
            code |= static_cast<int>(bit);
            const int count = h.count[len];
            if (code - count < first) return h.symbol[index + (code - first)];
            index += count;
            first = (first + count) << 1;
            code <<= 1;
        }
        return kBad;
    }

    // One output byte into the current row; a row is judged when complete.
    bool put(std::uint8_t byte, RowStreamEnd& stop) noexcept {
        if (rows_.done()) {
            stop = RowStreamEnd::extra_data;
            return false;
        }
        window_[total_++ & (window_.size() - 1)] = byte;
        if (row_left_ == 0) {
            filter_ = byte;
            row_left_ = rows_.row_bytes();
        }
        if (--row_left_ == 0) {
            if (filter_ >= 5) {
                stop = RowStreamEnd::bad_filter;
                return false;
            }
            rows_.take_row();
        }
        return true;
    }

    RowStreamEnd stream() noexcept {
        std::uint32_t cmf, flg;
        if (!bits(8, cmf) || !bits(8, flg)) return RowStreamEnd::input_used_up;
        // libpng refuses a window size field above 7 before zlib looks.
        if ((cmf >> 4) > 7 || ((cmf << 8) | flg) % 31 != 0 || (cmf & 15) != 8) return RowStreamEnd::data_error;
        if (flg & 0x20) return RowStreamEnd::preset_dictionary;
        for (;;) {
            std::uint32_t last, type;
            if (!bits(1, last) || !bits(2, type)) return RowStreamEnd::input_used_up;
            RowStreamEnd stop = RowStreamEnd::input_used_up;
            bool ok;
            if (type == 0) ok = stored(stop);
            else if (type == 1) ok = fixed(stop);
            else if (type == 2) ok = dynamic(stop);
            else return RowStreamEnd::data_error;
            if (!ok) return stop;
            if (last) break;
        }
        // The Adler-32 check follows byte-aligned; a mismatch ends the stream
        // just the same for libpng, so it is not computed.
        hold_ = 0;
        count_ = 0;
        if (in_.size() - pos_ < 4) {
            pos_ = in_.size();
            return RowStreamEnd::input_used_up;
        }
        pos_ += 4;
        return RowStreamEnd::stream_end;
    }

    bool stored(RowStreamEnd& stop) noexcept {
        hold_ = 0;
        count_ = 0;
        std::uint32_t len, nlen;
        if (!bits(16, len) || !bits(16, nlen)) return false;
        if (len != (~nlen & 0xFFFF)) {
            stop = RowStreamEnd::data_error;
            return false;
        }
        for (; len != 0; --len) {
            if (pos_ == in_.size()) return false;
            if (!put(in_[pos_++], stop)) return false;
        }
        return true;
    }

    bool fixed(RowStreamEnd& stop) noexcept {
        std::array<std::uint8_t, 318> lengths{};
        for (int s = 0; s < 288; ++s) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
        for (int s = 0; s < 30; ++s) lengths[288 + s] = 5;
        build(lit_, lengths.data(), 288);
        build(dist_, lengths.data() + 288, 30);
        return codes(stop);
    }

    bool dynamic(RowStreamEnd& stop) noexcept {
        std::uint32_t hlit, hdist, hclen;
        if (!bits(5, hlit) || !bits(5, hdist) || !bits(4, hclen)) return false;
        hlit += 257;
        hdist += 1;
        hclen += 4;
        stop = RowStreamEnd::data_error;
        if (hlit > 286 || hdist > 30) return false;
        std::array<std::uint8_t, 320> lengths{};
        for (std::uint32_t i = 0; i < hclen; ++i) {
            std::uint32_t len;
            if (!bits(3, len)) return short_input(stop);
            lengths[kCodeOrder[i]] = static_cast<std::uint8_t>(len);
        }
        Huffman code_lengths;
        if (build(code_lengths, lengths.data(), 19) != 0) return false;
        lengths.fill(0);
        for (std::uint32_t i = 0; i < hlit + hdist;) {
            const int sym = decode(code_lengths);
            if (sym == kShort) return short_input(stop);
            if (sym < 16) {
                lengths[i++] = static_cast<std::uint8_t>(sym);
                continue;
            }
            std::uint8_t len = 0;
            std::uint32_t repeat;
            if (sym == 16) {
                if (i == 0) return false;
                len = lengths[i - 1];
                if (!bits(2, repeat)) return short_input(stop);
                repeat += 3;
            } else if (sym == 17) {
                if (!bits(3, repeat)) return short_input(stop);
                repeat += 3;
            } else {
                if (!bits(7, repeat)) return short_input(stop);
                repeat += 11;
            }
            if (repeat > hlit + hdist - i) return false;
            while (repeat-- != 0) lengths[i++] = len;
        }
        if (lengths[256] == 0) return false;
        // zlib accepts an incomplete code only when its one code is 1 bit
        // long, and a distance code with no codes at all (until one is used).
        const int lit_left = build(lit_, lengths.data(), static_cast<int>(hlit));
        if (lit_left < 0 || (lit_left > 0 && lit_.longest != 1)) return false;
        const int dist_left = build(dist_, lengths.data() + hlit, static_cast<int>(hdist));
        if (dist_.longest != 0 && (dist_left < 0 || (dist_left > 0 && dist_.longest != 1))) return false;
        stop = RowStreamEnd::input_used_up;
        return codes(stop);
    }

    static bool short_input(RowStreamEnd& stop) noexcept {
        stop = RowStreamEnd::input_used_up;
        return false;
    }

    bool codes(RowStreamEnd& stop) noexcept {
        for (;;) {
            int sym = decode(lit_);
            if (sym == kShort) return short_input(stop);
            if (sym == kBad) break;
            if (sym < 256) {
                if (!put(static_cast<std::uint8_t>(sym), stop)) return false;
                continue;
            }
            if (sym == 256) return true;
            sym -= 257;
            if (sym >= 29) break;
            std::uint32_t extra, dist_extra;
            if (!bits(kLengthExtra[sym], extra)) return short_input(stop);
            std::uint32_t len = kLengthBase[sym] + extra;
            const int dsym = decode(dist_);
            if (dsym == kShort) return short_input(stop);
            if (dsym == kBad || dsym >= 30) break;
            if (!bits(kDistExtra[dsym], dist_extra)) return short_input(stop);
            const std::uint64_t dist = kDistBase[dsym] + dist_extra;
            if (dist > total_) break;
            for (; len != 0; --len) {
                if (!put(window_[(total_ - dist) & (window_.size() - 1)], stop)) return false;
            }
        }
        stop = RowStreamEnd::data_error;
        return false;
    }

    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
    std::uint64_t hold_ = 0;
    int count_ = 0;
    RowOrder rows_;
    std::uint64_t row_left_ = 0;
    std::uint8_t filter_ = 0;
    std::uint64_t total_ = 0;
    Huffman lit_, dist_;
    std::array<std::uint8_t, 32768> window_{};
};

}  // namespace

RowStreamResult read_rows(std::span<const std::uint8_t> stream, RowOrder rows) noexcept {
    Inflate inflate(stream, rows);
    return inflate.run();
}

}  // namespace image::kernels
