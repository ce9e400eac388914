// Hand-overs between a thread doing a job and a second thread that would
// otherwise only wait for it: a one-shot signal, and tasks the working
// thread shares with the waiting one.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>

namespace image::kernels {

// Set once, waited for any number of times.
class Signal {
public:
    void set() noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            set_ = true;
        }
        changed_.notify_all();
    }
    void wait() noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return set_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};

// Independent tasks their owner shares with a helper thread: both take the
// next task nobody has begun until none is left, so a helper that comes
// late finds less to do, and one that never comes leaves it all to the
// owner. Each task runs exactly once. One offer at most; close() says none
// is coming.
class SharedTasks {
public:
    using Body = void (*)(void* context);
    struct Task {
        Body body;
        void* context;
    };
    static constexpr std::size_t kMaxTasks = 4;

    // Owner: makes the first `count` (at most kMaxTasks) of `tasks`
    // available to help(), in their order. False when the offer was closed
    // already: the owner runs the tasks itself, work() is not called.
    bool offer(const Task* tasks, std::size_t count) noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state_ != State::waiting || count > kMaxTasks) return false;
            for (std::size_t i = 0; i < count; ++i) tasks_[i] = tasks[i];
            count_ = count;
            state_ = State::offered;
        }
        changed_.notify_all();
        return true;
    }

    // Owner, after an accepted offer: runs tasks until none is left, then
    // waits for those the helper runs. Every task has run when this returns
    // or throws; it rethrows the first error any of them threw.
    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        run_tasks(lock);
        changed_.wait(lock, [this] { return running_ == 0; });
        state_ = State::closed;
        if (failed_) std::rethrow_exception(failed_);
    }

    // Owner: nothing is offered from now on (a waiting helper returns).
    // Called when the owner is done, offer or not.
    void close() noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state_ == State::waiting) state_ = State::closed;
        }
        changed_.notify_all();
    }

    // Helper: waits until tasks are offered or none will be, then runs
    // those nobody has begun. What they throw goes to work().
    void help() noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return state_ != State::waiting; });
        if (state_ == State::offered) run_tasks(lock);
    }

private:
    enum class State { waiting, offered, closed };

    // With the lock held on entry and on return.
    void run_tasks(std::unique_lock<std::mutex>& lock) noexcept {
        while (next_ < count_) {
            const Task task = tasks_[next_++];
            ++running_;
            lock.unlock();
            std::exception_ptr failed;
            try {
                task.body(task.context);
            } catch (...) {
                failed = std::current_exception();
            }
            lock.lock();
            if (failed && !failed_) failed_ = failed;
            --running_;
            changed_.notify_all();  // the owner may wait for this one
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::waiting;
    std::array<Task, kMaxTasks> tasks_{};
    std::size_t count_ = 0, next_ = 0, running_ = 0;
    std::exception_ptr failed_;
};

}  // namespace image::kernels
