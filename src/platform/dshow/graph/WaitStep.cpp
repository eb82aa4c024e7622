#include "platform/dshow/graph/WaitStep.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

namespace platform::dshow {

namespace {
thread_local std::function<void()> step;
thread_local bool running = false;
} // namespace

ScopedWaitStep::ScopedWaitStep(std::function<void()> s) : previous_(std::move(step)) {
    step = std::move(s);
}

ScopedWaitStep::~ScopedWaitStep() {
    step = std::move(previous_);
}

void runWaitStep() {
    if (!step || running) return;
    running = true;
    try {
        step();
    } catch (...) {
        running = false;
        throw;
    }
    running = false;
}

bool hasWaitStep() {
    return step && !running;
}

void whileStepping(const std::function<void()>& work) {
    if (!hasWaitStep()) {
        work();
        return;
    }
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard hold(lock);
        done = true;
        finished.notify_one();
    });
    for (;;) {
        {
            std::unique_lock hold(lock);
            if (finished.wait_for(hold, std::chrono::milliseconds(10), [&] { return done; })) break;
        }
        runWaitStep();
    }
    worker.join();
    if (failure) std::rethrow_exception(failure);
}

} // namespace platform::dshow
