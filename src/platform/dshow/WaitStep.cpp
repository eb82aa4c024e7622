#include "WaitStep.h"

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

} // namespace platform::dshow
