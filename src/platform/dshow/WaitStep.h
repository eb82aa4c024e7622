// A step that a thread runs while a graph call made on it waits for GStreamer: the user-
// interface thread keeps its windows repainting through a render's preroll instead of freezing
// until the first pictures arrive. The step is the caller's (it must not call back into the
// graph that waits) and runs about every 10 ms; without one the wait simply blocks.
// Thread-local: a step set on one thread never runs on another.
#pragma once

#include <functional>

namespace platform::dshow {

// Sets the calling thread's step for the object's life (the previous one comes back after).
class ScopedWaitStep {
  public:
    explicit ScopedWaitStep(std::function<void()> step);
    ~ScopedWaitStep();
    ScopedWaitStep(const ScopedWaitStep&) = delete;
    ScopedWaitStep& operator=(const ScopedWaitStep&) = delete;

  private:
    std::function<void()> previous_;
};

// Runs the calling thread's step, if it has one (not while the step itself runs).
void runWaitStep();
// Whether the calling thread has a step.
bool hasWaitStep();

} // namespace platform::dshow
