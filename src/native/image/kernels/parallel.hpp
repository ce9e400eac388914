// Splits a row range over the machine's cores for the pixel kernels. Small
// jobs run on the calling thread: starting a thread costs more than they do.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace image::kernels {

// How many slices for_row_slices may use at most (for per-slice results).
inline constexpr std::size_t kMaxSlices = 8;

// The number of cores, asked once: the library reads it from the system's
// files on every call, which costs more than a small image's whole work.
inline std::size_t core_count() noexcept {
    static const std::size_t cores = std::max<unsigned>(1, std::thread::hardware_concurrency());
    return cores;
}

// How many threads the kernels may use: the number of cores, unless a
// native test harness has set another count (1 for the single-threaded
// results that split runs must equal, more than the cores for more
// interleavings). 0 restores the default.
inline std::atomic<std::size_t>& thread_limit_setting() noexcept {
    static std::atomic<std::size_t> limit{0};
    return limit;
}
inline void set_thread_limit(std::size_t limit) noexcept { thread_limit_setting().store(limit, std::memory_order_relaxed); }
inline std::size_t thread_limit() noexcept {
    const std::size_t limit = thread_limit_setting().load(std::memory_order_relaxed);
    return limit != 0 ? limit : core_count();
}

// How many slices for_row_slices(rows, min_rows, ...) makes.
inline std::size_t slice_count(std::size_t rows, std::size_t min_rows) noexcept {
    const std::size_t fit = rows / std::max<std::size_t>(1, min_rows);
    const std::size_t parts = fit < 2 ? 1 : std::min<std::size_t>(thread_limit(), fit);
    return std::clamp<std::size_t>(parts, 1, kMaxSlices);
}

// Calls work(part, first_row, end_row) for consecutive slices of [0, rows),
// at most one slice per core, each slice at least `min_rows` rows, and
// returns the number of slices. An exception `work` throws in any slice
// (std::bad_alloc, say) is thrown here once every slice has finished: it
// must never escape a helper thread, which would end the process.
template <class Work>
std::size_t for_row_slices(std::size_t rows, std::size_t min_rows, Work&& work) {
    const std::size_t parts = slice_count(rows, min_rows);
    if (parts == 1) {
        work(std::size_t{0}, std::size_t{0}, rows);
        return 1;
    }
    std::array<std::exception_ptr, kMaxSlices> failed{};
    auto guarded = [&work, &failed](std::size_t part, std::size_t begin, std::size_t end) noexcept {
        try {
            work(part, begin, end);
        } catch (...) {
            failed[part] = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    const std::size_t step = rows / parts;
    for (std::size_t p = 1; p < parts; ++p) {
        const std::size_t begin = p * step;
        const std::size_t end = p + 1 == parts ? rows : begin + step;
        // Out of threads or memory, the slice still gets done, here: a
        // kernel must never take the process down for want of a helper.
        try {
            helpers.emplace_back(guarded, p, begin, end);
        } catch (...) {
            guarded(p, begin, end);
        }
    }
    guarded(0, 0, step);
    for (std::thread& t : helpers) t.join();
    for (const std::exception_ptr& e : failed)
        if (e) std::rethrow_exception(e);
    return parts;
}

}  // namespace image::kernels
