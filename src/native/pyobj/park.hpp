// The end of a thread that must never run on: at interpreter exit, a thread
// that may not take the GIL back (or unwind through our frames) waits here
// while the process ends around it.
#pragma once

#include <chrono>
#include <thread>

namespace pyobj {

[[noreturn]] inline void park_thread_forever() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

}  // namespace pyobj
