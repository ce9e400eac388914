// Hand-overs between a thread doing a job and a second thread that would
// otherwise only wait for it: a one-shot signal, and a task the working
// thread offers to the waiting one.
#pragma once

#include <condition_variable>
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

// A task its owner offers to a helper thread: the owner goes on with its
// own share meanwhile, then runs the task itself if the helper has not
// started it, or waits for the helper to finish it. The task runs exactly
// once either way. One offer at most; close() says none is coming.
class SharedTask {
public:
    using Body = void (*)(void* context);

    // Owner: makes body(context) available to help(). False when the offer
    // was closed already: the owner runs the task itself, finish() is not
    // called.
    bool offer(Body body, void* context) noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state_ != State::waiting) return false;
            body_ = body;
            context_ = context;
            state_ = State::offered;
        }
        changed_.notify_all();
        return true;
    }

    // Owner, after an accepted offer: the task has run when this returns.
    // Runs it here unless the helper took it; rethrows what it threw there.
    void finish() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (state_ == State::offered) {
            state_ = State::closed;
            lock.unlock();
            changed_.notify_all();
            body_(context_);
            return;
        }
        changed_.wait(lock, [this] { return state_ != State::helping; });
        state_ = State::closed;
        if (failed_) std::rethrow_exception(failed_);
    }

    // Owner: nothing is offered from now on (a waiting helper returns).
    // Called when the owner is done, offer or not; no task may be pending.
    void close() noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state_ == State::waiting) state_ = State::closed;
        }
        changed_.notify_all();
    }

    // Helper: waits until the task is offered or none will be, and runs it
    // if the owner has not taken it back. What it throws goes to finish().
    void help() noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return state_ != State::waiting; });
        if (state_ != State::offered) return;
        state_ = State::helping;
        lock.unlock();
        std::exception_ptr failed;
        try {
            body_(context_);
        } catch (...) {
            failed = std::current_exception();
        }
        lock.lock();
        failed_ = failed;
        state_ = State::helped;
        lock.unlock();
        changed_.notify_all();
    }

private:
    enum class State { waiting, offered, helping, helped, closed };

    std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::waiting;
    Body body_ = nullptr;
    void* context_ = nullptr;
    std::exception_ptr failed_;
};

}  // namespace image::kernels
