#include "image/kernels/plainness.hpp"

#include "image/kernels/canny.hpp"
#include "image/kernels/clahe.hpp"
#include "image/kernels/gray_stats.hpp"
#include "image/kernels/hand_over.hpp"
#include "image/kernels/parallel.hpp"
#include "image/kernels/spectrum.hpp"

#include <exception>
#include <memory>
#include <thread>

namespace image::kernels {

namespace {

constexpr int kCannyLow = 10, kCannyHigh = 50;
constexpr double kClipLimit = 4.0;
constexpr int kTiles = 8;

// Between these sizes (measured) the two independent halves of the work
// (the grey image's measurements, and everything after CLAHE) run on two
// threads: below, starting a thread costs more than it saves; above, the
// kernels' own row slices keep the cores busy, and the halves would only
// contend. A partner thread that is idle anyway costs no thread start, only
// a few hand-overs: it takes a half from smaller images on.
constexpr std::size_t kPairMinPixels = 1 << 17;
constexpr std::size_t kPartnerMinPixels = 1 << 14;
constexpr std::size_t kPairMaxPixels = 1 << 21;

}  // namespace

PlainMetrics measure_plainness(const std::uint8_t* bgr, std::size_t height, std::size_t width, SharedTask* partner) {
    const std::size_t pixels = height * width;
    std::unique_ptr<std::uint8_t[]> grey(new std::uint8_t[pixels]);
    const ColourStats colour = grey_and_saturation(bgr, pixels, grey.get());
    const double n = static_cast<double>(pixels);

    PlainMetrics m{};
    m.std_dev = colour.grey.std_dev();
    m.saturation = static_cast<double>(colour.saturation_sum) / n;

    auto grey_half = [&] {
        m.edge_ratio = static_cast<double>(canny_edge_count(grey.get(), height, width, kCannyLow, kCannyHigh)) / n;
        m.local_contrast = laplacian_moments(grey.get(), height, width).std_dev();
        m.high_freq_ratio = high_frequency_share(grey.get(), height, width, colour.grey);
    };
    auto enhanced_half = [&] {
        std::unique_ptr<std::uint8_t[]> enhanced(new std::uint8_t[pixels]);
        clahe(grey.get(), height, width, kClipLimit, kTiles, kTiles, enhanced.get());
        m.enhanced_std = grey_moments(enhanced.get(), height, width).std_dev();
        m.enhanced_edge_ratio =
            static_cast<double>(canny_edge_count(enhanced.get(), height, width, kCannyLow, kCannyHigh)) / n;
    };

    const bool two_cores = thread_limit() >= 2 && pixels <= kPairMaxPixels;
    if (two_cores && partner != nullptr && pixels >= kPartnerMinPixels) {
        auto run_enhanced = [](void* half) { (*static_cast<decltype(enhanced_half)*>(half))(); };
        if (partner->offer(run_enhanced, &enhanced_half)) {
            try {
                grey_half();
            } catch (...) {
                partner->finish();  // the offered half uses this frame
                throw;
            }
            partner->finish();
            return m;
        }
    }
    if (!two_cores || pixels < kPairMinPixels) {
        grey_half();
        enhanced_half();
        return m;
    }
    std::exception_ptr failed;
    std::thread helper;
    try {
        helper = std::thread([&]() noexcept {
            try {
                enhanced_half();
            } catch (...) {
                failed = std::current_exception();
            }
        });
    } catch (...) {
        // Out of threads or memory, both halves run here, as for small
        // images: a missing helper costs time, never the result.
        grey_half();
        enhanced_half();
        return m;
    }
    try {
        grey_half();
    } catch (...) {
        helper.join();
        throw;
    }
    helper.join();
    if (failed) std::rethrow_exception(failed);
    return m;
}

}  // namespace image::kernels
