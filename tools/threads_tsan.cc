// The kernels' own threads under ThreadSanitizer: the row-slice helper,
// the plain-colour check's two-thread split, and the half of it offered to
// a partner thread, on many sizes and slice counts, each result checked
// against the same work done on one thread.
// Built and run by `make tsan`; any data race makes ThreadSanitizer fail
// the run, any difference from the single-threaded result exits 1.
//
// Last, in a child process that may not start threads (an unprivileged
// user with a process limit of one), the plain-colour check must still
// give the same results, running everything on the calling thread.
#include "image/kernels/canny.hpp"
#include "image/kernels/clahe.hpp"
#include "image/kernels/gray_stats.hpp"
#include "image/kernels/hand_over.hpp"
#include "image/kernels/parallel.hpp"
#include "image/kernels/plainness.hpp"
#include "image/kernels/spectrum.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace k = image::kernels;

namespace {

int failures = 0;

void check(bool ok, const char* what, std::size_t h, std::size_t w, std::size_t threads) {
    if (ok) return;
    ++failures;
    std::fprintf(stderr, "threads_tsan: %s differs for %zu x %zu on %zu threads\n", what, h, w, threads);
}

std::vector<std::uint8_t> test_pixels(std::size_t h, std::size_t w, std::size_t channels, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> v(h * w * channels);
    // Broad shapes (most of the energy at low frequencies, as in photos)
    // under a little noise: every kernel finds something to do.
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w * channels; ++x) {
            const double shape = 90.0 * std::sin(static_cast<double>(x) / 41.0) * std::cos(static_cast<double>(y) / 57.0);
            v[y * w * channels + x] = static_cast<std::uint8_t>(128.0 + shape + static_cast<double>(rng() % 24));
        }
    return v;
}

// Every row of [0, rows) exactly once, in consecutive slices, whatever the
// slice count; an exception in any slice reaches the caller after all ran.
void row_slices(std::size_t rows, std::size_t min_rows, std::size_t threads) {
    std::vector<int> seen(rows, 0);
    std::vector<std::size_t> firsts(k::kMaxSlices, rows), ends(k::kMaxSlices, 0);
    const std::size_t parts = k::for_row_slices(rows, min_rows, [&](std::size_t part, std::size_t y0, std::size_t y1) {
        firsts[part] = y0;
        ends[part] = y1;
        for (std::size_t y = y0; y < y1; ++y) ++seen[y];
    });
    bool ok = parts == k::slice_count(rows, min_rows) && parts <= threads;
    for (std::size_t y = 0; y < rows; ++y) ok &= seen[y] == 1;
    for (std::size_t p = 0; p < parts; ++p)
        ok &= firsts[p] == (p == 0 ? 0 : ends[p - 1]) && (ends[p] > firsts[p] || rows == 0);
    ok &= ends[parts - 1] == rows;
    check(ok, "row slices (rows x minimum rows per slice)", rows, min_rows, threads);

    for (std::size_t failing = 0; failing < parts; ++failing) {
        std::vector<int> ran(parts, 0);
        bool thrown = false;
        try {
            k::for_row_slices(rows, min_rows, [&](std::size_t part, std::size_t, std::size_t) {
                ran[part] = 1;
                if (part == failing) throw std::runtime_error("slice");
            });
        } catch (const std::runtime_error&) {
            thrown = true;
        }
        for (int r : ran) thrown &= r == 1;
        check(thrown, "a failing slice", rows, min_rows, threads);
    }
}

// Everything the row-sliced kernels return for one grey image.
struct GreyResults {
    k::Moments grey, laplacian;
    std::uint64_t edges = 0;
    std::vector<std::uint8_t> edge_map, equalised;
    double share_auto = 0, share_fft = 0, share_direct = 0;

    bool operator==(const GreyResults& o) const {
        auto same = [](const k::Moments& a, const k::Moments& b) {
            return a.sum == b.sum && a.sum_sq == b.sum_sq && a.count == b.count;
        };
        // Compared as bits: a split run must give exactly the same doubles.
        auto bits = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
        return same(grey, o.grey) && same(laplacian, o.laplacian) && edges == o.edges && edge_map == o.edge_map &&
               equalised == o.equalised && bits(share_auto, o.share_auto) && bits(share_fft, o.share_fft) &&
               bits(share_direct, o.share_direct);
    }
};

GreyResults grey_results(const std::vector<std::uint8_t>& grey, std::size_t h, std::size_t w) {
    GreyResults r;
    r.grey = k::grey_moments(grey.data(), h, w);
    r.laplacian = k::laplacian_moments(grey.data(), h, w);
    r.edge_map.resize(h * w);
    r.edges = k::canny_edges(grey.data(), h, w, 10, 50, r.edge_map.data());
    r.equalised.resize(h * w);
    k::clahe(grey.data(), h, w, 4.0, 8, 8, r.equalised.data());
    r.share_auto = k::high_frequency_share(grey.data(), h, w, r.grey, k::SpectrumMethod::Automatic);
    r.share_fft = k::high_frequency_share(grey.data(), h, w, r.grey, k::SpectrumMethod::Fft);
    if (std::min(h, w) / 20 <= 12)  // direct sums cost radius^2 per pixel
        r.share_direct = k::high_frequency_share(grey.data(), h, w, r.grey, k::SpectrumMethod::Direct);
    return r;
}

bool same_metrics(const k::PlainMetrics& a, const k::PlainMetrics& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The plain-colour check with a partner thread that helps at once, after
// a while (the parts may all be taken by then), or not at all.
void plainness_with_partner(const std::vector<std::uint8_t>& bgr, std::size_t h, std::size_t w,
                            const k::PlainMetrics& want, std::size_t threads) {
    for (int delay_us : {-1, 0, 300}) {
        k::SharedTasks work;
        std::thread partner;
        if (delay_us >= 0)
            partner = std::thread([&work, delay_us] {
                std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
                work.help();
            });
        const k::PlainMetrics got = k::measure_plainness(bgr.data(), h, w, &work);
        work.close();
        if (partner.joinable()) partner.join();
        check(same_metrics(got, want), delay_us < 0 ? "metrics, partner never helps"
                                                    : "metrics with a partner thread", h, w, threads);
    }
}

// Shared tasks each run once, whoever runs them; an error thrown on the
// helper comes out of the owner's work(); help() after close() returns, and
// nothing can be offered then.
void shared_tasks_hand_over() {
    struct Job {
        int runs = 0;
        bool fail = false;
    };
    auto body = [](void* context) {
        auto* job = static_cast<Job*>(context);
        ++job->runs;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // long enough for the helper to take some
        if (job->fail) throw std::runtime_error("task");
    };
    for (std::size_t failing : {3u, 0u, 1u, 2u}) {  // 3: none fails
        for (bool helped : {false, true}) {
            Job jobs[3];
            k::SharedTasks::Task tasks[3];
            for (std::size_t i = 0; i < 3; ++i) {
                jobs[i].fail = i == failing;
                tasks[i] = {body, &jobs[i]};
            }
            k::SharedTasks work;
            const bool offered = work.offer(tasks, 3);
            std::thread helper;
            if (helped) helper = std::thread([&work] { work.help(); });
            bool thrown = false;
            try {
                work.work();
            } catch (const std::runtime_error&) {
                thrown = true;
            }
            work.close();
            if (helper.joinable()) helper.join();
            bool ok = offered && thrown == (failing < 3);
            for (const Job& job : jobs) ok &= job.runs == 1;
            check(ok, "shared tasks: one run each, errors to the owner", failing, helped, 2);
        }
    }
    k::SharedTasks closed;
    closed.close();
    closed.help();  // returns at once
    Job job;
    const k::SharedTasks::Task task{body, &job};
    check(!closed.offer(&task, 1) && job.runs == 0, "shared tasks: no offer after close", 0, 0, 1);
}

// The plain-colour check with no thread allowed to start: run in a child
// that gives up root (root ignores the process limit) and may own one
// process, itself. Returns false when that could not be set up.
bool plainness_without_threads(const std::vector<std::uint8_t>& bgr, std::size_t h, std::size_t w,
                               const k::PlainMetrics& want) {
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        const rlimit one{1, 1};
        if (setrlimit(RLIMIT_NPROC, &one) != 0) _exit(3);
        bool refused = false;  // make sure threads really cannot start here
        try {
            std::thread([] {}).join();
        } catch (const std::system_error&) {
            refused = true;
        }
        if (!refused) _exit(3);
        try {
            _exit(same_metrics(k::measure_plainness(bgr.data(), h, w), want) ? 0 : 1);
        } catch (...) {
            _exit(2);
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3) return false;
    check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "plain-colour check without threads", h, w, 1);
    return true;
}

}  // namespace

int main() {
    const std::size_t threads_tried[] = {2, 3, 8};

    for (std::size_t threads : threads_tried) {
        k::set_thread_limit(threads);
        for (std::size_t rows : {0u, 1u, 2u, 3u, 7u, 8u, 9u, 16u, 17u, 100u, 1001u})
            for (std::size_t min_rows : {1u, 2u, 5u, 64u}) row_slices(rows, min_rows, threads);
    }

    // Sizes on both sides of the kernels' slicing thresholds (2^17 to 2^18
    // pixels per slice), of the two-thread split (2^17 to 2^21 pixels) and
    // of a partner's share (from 2^14 pixels).
    const std::size_t sizes[][2] = {{1, 1},     {3, 5},     {64, 256},   {127, 129}, {200, 317},
                                    {361, 363}, {512, 513}, {1100, 480}, {640, 1283}};
    std::uint32_t seed = 1;
    for (const auto& size : sizes) {
        const std::size_t h = size[0], w = size[1];
        const std::vector<std::uint8_t> grey = test_pixels(h, w, 1, seed), bgr = test_pixels(h, w, 3, seed + 1000);
        seed += 1;
        k::set_thread_limit(1);
        const GreyResults one = grey_results(grey, h, w);
        const k::PlainMetrics metrics_one = k::measure_plainness(bgr.data(), h, w);
        for (std::size_t threads : threads_tried) {
            k::set_thread_limit(threads);
            check(grey_results(grey, h, w) == one, "grey kernels", h, w, threads);
            check(same_metrics(k::measure_plainness(bgr.data(), h, w), metrics_one), "plain-colour metrics", h, w,
                  threads);
            plainness_with_partner(bgr, h, w, metrics_one, threads);
        }
    }

    shared_tasks_hand_over();

    k::set_thread_limit(2);
    const std::size_t h = 400, w = 401;  // within the two-thread split's range
    const std::vector<std::uint8_t> bgr = test_pixels(h, w, 3, 7);
    if (!plainness_without_threads(bgr, h, w, k::measure_plainness(bgr.data(), h, w))) {
        std::fprintf(stderr, "threads_tsan: could not forbid threads in a child process\n");
        ++failures;
    }

    if (failures != 0) return 1;
    std::puts("threads_tsan: all split results equal the single-threaded ones");
    return 0;
}
