#include "image/kernels/canny.hpp"

#include "image/kernels/parallel.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>

namespace image::kernels {

namespace {

// States in the padded pixel map. The one-pixel frame around the image is
// kNotEdge, so the hysteresis walk never leaves the image.
constexpr std::uint8_t kCandidate = 0;
constexpr std::uint8_t kNotEdge = 1;
constexpr std::uint8_t kEdge = 2;

// tan(22.5 deg) in 15-bit fixed point, the sector bound of the direction test.
constexpr int kShift = 15;
constexpr std::int64_t kTan22 = 13573;  // round(0.41421356 * 2^15)

// Rows per slice below which a second thread does not pay.
constexpr std::size_t kSlicePixels = 1 << 18;

// One row's derivatives and magnitude; magnitude has a zero on each side
// (index 0 and width + 1) so neighbours past the edge never win.
struct GradientRow {
    std::vector<std::int16_t> dx, dy;
    std::vector<std::int32_t> mag;
    explicit GradientRow(std::size_t width) : dx(width), dy(width), mag(width + 2, 0) {}

    void clear() noexcept { std::fill(mag.begin(), mag.end(), 0); }

    // Sobel 3x3 of row y, rows and columns past the edge replicated.
    void compute(const std::uint8_t* grey, std::size_t height, std::size_t width, std::size_t y) noexcept {
        const std::uint8_t* a = grey + (y > 0 ? y - 1 : 0) * width;
        const std::uint8_t* b = grey + y * width;
        const std::uint8_t* c = grey + (y + 1 < height ? y + 1 : y) * width;
        auto at = [&](std::size_t x, std::size_t l, std::size_t r) {
            const int gx = (a[r] - a[l]) + 2 * (b[r] - b[l]) + (c[r] - c[l]);
            const int gy = (c[l] + 2 * c[x] + c[r]) - (a[l] + 2 * a[x] + a[r]);
            dx[x] = static_cast<std::int16_t>(gx);
            dy[x] = static_cast<std::int16_t>(gy);
            mag[x + 1] = std::abs(gx) + std::abs(gy);
        };
        if (width == 1) {
            at(0, 0, 0);
            return;
        }
        at(0, 0, 1);
        std::int16_t* dxp = dx.data();
        std::int16_t* dyp = dy.data();
        std::int32_t* m = mag.data() + 1;
        for (std::size_t x = 1; x + 1 < width; ++x) {
            const int gx = (a[x + 1] - a[x - 1]) + 2 * (b[x + 1] - b[x - 1]) + (c[x + 1] - c[x - 1]);
            const int gy = (c[x - 1] + 2 * c[x] + c[x + 1]) - (a[x - 1] + 2 * a[x] + a[x + 1]);
            dxp[x] = static_cast<std::int16_t>(gx);
            dyp[x] = static_cast<std::int16_t>(gy);
            m[x] = std::abs(gx) + std::abs(gy);
        }
        at(width - 1, width - 2, width - 1);
    }
};

// Classifies the pixels of rows [y0, y1) into the map (row y at map row
// y + 1) and collects the edges above `high` as map offsets.
template <class Index>
void suppress(const std::uint8_t* grey, std::size_t height, std::size_t width, int low, int high, std::size_t y0,
              std::size_t y1, std::uint8_t* map, std::vector<Index>& edges) {
    const std::size_t step = width + 2;
    GradientRow prev(width), cur(width), next(width);
    if (y0 > 0) prev.compute(grey, height, width, y0 - 1);
    cur.compute(grey, height, width, y0);
    for (std::size_t y = y0; y < y1; ++y) {
        if (y + 1 < height)
            next.compute(grey, height, width, y + 1);
        else
            next.clear();
        const std::int32_t* mp = prev.mag.data() + 1;
        const std::int32_t* mc = cur.mag.data() + 1;
        const std::int32_t* mn = next.mag.data() + 1;
        const std::int16_t* dx = cur.dx.data();
        const std::int16_t* dy = cur.dy.data();
        std::uint8_t* row = map + (y + 1) * step + 1;
        for (std::size_t x = 0; x < width; ++x) {
            const std::int32_t m = mc[x];
            std::uint8_t state = kNotEdge;
            if (m > low) {
                const int xs = dx[x], ys = dy[x];
                const std::int64_t ax = std::abs(xs);
                const std::int64_t ay = static_cast<std::int64_t>(std::abs(ys)) << kShift;
                const std::int64_t tg22x = ax * kTan22;
                bool peak;
                if (ay < tg22x) {
                    peak = m > mc[x - 1] && m >= mc[x + 1];
                } else {
                    const std::int64_t tg67x = tg22x + (ax << (kShift + 1));
                    if (ay > tg67x) {
                        peak = m > mp[x] && m >= mn[x];
                    } else {
                        const std::ptrdiff_t s = (xs ^ ys) < 0 ? -1 : 1;
                        const std::ptrdiff_t xi = static_cast<std::ptrdiff_t>(x);
                        peak = m > mp[xi - s] && m > mn[xi + s];
                    }
                }
                if (peak) {
                    if (m > high) {
                        state = kEdge;
                        edges.push_back(static_cast<Index>((y + 1) * step + 1 + x));
                    } else {
                        state = kCandidate;
                    }
                }
            }
            row[x] = state;
        }
        std::swap(prev, cur);
        std::swap(cur, next);
    }
}

// Grows the edges through 8-connected candidates; returns the edge count.
template <class Index>
std::uint64_t hysteresis(std::uint8_t* map, std::size_t step, std::vector<Index>& stack) {
    std::uint64_t count = stack.size();
    const std::array<std::ptrdiff_t, 8> around = {
        -static_cast<std::ptrdiff_t>(step) - 1, -static_cast<std::ptrdiff_t>(step), -static_cast<std::ptrdiff_t>(step) + 1,
        -1, 1,
        static_cast<std::ptrdiff_t>(step) - 1, static_cast<std::ptrdiff_t>(step), static_cast<std::ptrdiff_t>(step) + 1};
    while (!stack.empty()) {
        const std::size_t at = stack.back();
        stack.pop_back();
        for (const std::ptrdiff_t d : around) {
            std::uint8_t& n = map[static_cast<std::ptrdiff_t>(at) + d];
            if (n == kCandidate) {
                n = kEdge;
                ++count;
                stack.push_back(static_cast<Index>(static_cast<std::ptrdiff_t>(at) + d));
            }
        }
    }
    return count;
}

template <class Index>
std::uint64_t detect(const std::uint8_t* grey, std::size_t height, std::size_t width, int low, int high,
                     std::vector<std::uint8_t>& map) {
    const std::size_t step = width + 2;
    map.assign((height + 2) * step, kNotEdge);
    std::array<std::vector<Index>, kMaxSlices> found;
    const std::size_t min_rows = std::max<std::size_t>(1, kSlicePixels / width);
    for_row_slices(height, min_rows, [&](std::size_t part, std::size_t y0, std::size_t y1) {
        suppress(grey, height, width, low, high, y0, y1, map.data(), found[part]);
    });
    for (std::size_t p = 1; p < found.size(); ++p) {
        found[0].insert(found[0].end(), found[p].begin(), found[p].end());
        std::vector<Index>().swap(found[p]);
    }
    return hysteresis(map.data(), step, found[0]);
}

std::uint64_t run(const std::uint8_t* grey, std::size_t height, std::size_t width, int low, int high,
                  std::vector<std::uint8_t>& map) {
    if (height == 0 || width == 0) {
        map.clear();
        return 0;
    }
    if (low > high) std::swap(low, high);
    // 32-bit offsets halve the edge stack whenever the map allows them.
    if ((height + 2) * (width + 2) <= UINT32_MAX) return detect<std::uint32_t>(grey, height, width, low, high, map);
    return detect<std::size_t>(grey, height, width, low, high, map);
}

}  // namespace

std::uint64_t canny_edge_count(const std::uint8_t* grey, std::size_t height, std::size_t width, int low, int high) {
    std::vector<std::uint8_t> map;
    return run(grey, height, width, low, high, map);
}

std::uint64_t canny_edges(const std::uint8_t* grey, std::size_t height, std::size_t width, int low, int high,
                          std::uint8_t* edges) {
    std::vector<std::uint8_t> map;
    const std::uint64_t count = run(grey, height, width, low, high, map);
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* row = map.data() + (y + 1) * (width + 2) + 1;
        for (std::size_t x = 0; x < width; ++x) edges[y * width + x] = row[x] == kEdge ? 255 : 0;
    }
    return count;
}

}  // namespace image::kernels
