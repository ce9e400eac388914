#include "image/kernels/plainness.hpp"

#include "image/kernels/canny.hpp"
#include "image/kernels/clahe.hpp"
#include "image/kernels/gray_stats.hpp"
#include "image/kernels/hand_over.hpp"
#include "image/kernels/parallel.hpp"
#include "image/kernels/spectrum.hpp"

#include <iterator>
#include <memory>
#include <thread>

namespace image::kernels {

namespace {

constexpr int kCannyLow = 10, kCannyHigh = 50;
constexpr double kClipLimit = 4.0;
constexpr int kTiles = 8;

// Between these sizes (measured) the independent parts of the work (the
// spectrum, everything after CLAHE, the grey image's edges and Laplacian)
// are shared by two threads: below, starting a thread costs more than it
// saves; above, the kernels' own row slices keep the cores busy, and the
// parts would only contend. A partner thread that is idle anyway costs no
// thread start, only a few hand-overs: it shares them from smaller images on.
constexpr std::size_t kPairMinPixels = 1 << 17;
constexpr std::size_t kPartnerMinPixels = 1 << 14;
constexpr std::size_t kPairMaxPixels = 1 << 21;

}  // namespace

PlainMetrics measure_plainness(const std::uint8_t* bgr, std::size_t height, std::size_t width,
                               SharedTasks* partner) {
    const std::size_t pixels = height * width;
    std::unique_ptr<std::uint8_t[]> grey(new std::uint8_t[pixels]);
    const ColourStats colour = grey_and_saturation(bgr, pixels, grey.get());
    const double n = static_cast<double>(pixels);

    PlainMetrics m{};
    m.std_dev = colour.grey.std_dev();
    m.saturation = static_cast<double>(colour.saturation_sum) / n;

    // Three independent parts over the grey image, each writing its own
    // fields of m, roughly in falling order of cost.
    auto spectrum = [&] { m.high_freq_ratio = high_frequency_share(grey.get(), height, width, colour.grey); };
    auto enhanced = [&] {
        std::unique_ptr<std::uint8_t[]> equalised(new std::uint8_t[pixels]);
        clahe(grey.get(), height, width, kClipLimit, kTiles, kTiles, equalised.get());
        m.enhanced_std = grey_moments(equalised.get(), height, width).std_dev();
        m.enhanced_edge_ratio =
            static_cast<double>(canny_edge_count(equalised.get(), height, width, kCannyLow, kCannyHigh)) / n;
    };
    auto edges = [&] {
        m.edge_ratio = static_cast<double>(canny_edge_count(grey.get(), height, width, kCannyLow, kCannyHigh)) / n;
        m.local_contrast = laplacian_moments(grey.get(), height, width).std_dev();
    };
    auto task = []<class Part>(Part* part) {
        return SharedTasks::Task{[](void* p) { (*static_cast<Part*>(p))(); }, part};
    };
    const SharedTasks::Task parts[] = {task(&spectrum), task(&enhanced), task(&edges)};

    const bool shareable = thread_limit() >= 2 && pixels <= kPairMaxPixels;
    if (shareable && partner != nullptr && pixels >= kPartnerMinPixels && partner->offer(parts, std::size(parts))) {
        partner->work();
        return m;
    }
    if (!shareable || pixels < kPairMinPixels) {
        for (const SharedTasks::Task& part : parts) part.body(part.context);
        return m;
    }
    // A new thread starts late, and then takes the next part: with two
    // halves of like cost, the split measured faster than three parts.
    auto grey_half = [&] {
        edges();
        spectrum();
    };
    const SharedTasks::Task halves[] = {task(&grey_half), task(&enhanced)};
    SharedTasks shared;
    shared.offer(halves, std::size(halves));
    std::thread helper;
    try {
        helper = std::thread([&shared]() noexcept { shared.help(); });
    } catch (...) {
        // Out of threads or memory: every part runs here, as for small
        // images. A missing helper costs time, never the result.
    }
    try {
        shared.work();
    } catch (...) {
        if (helper.joinable()) helper.join();
        throw;
    }
    if (helper.joinable()) helper.join();
    return m;
}

}  // namespace image::kernels
