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

// Runs `work` to its end. Where the calling thread has a step, the work runs on a thread of its
// own while the caller runs its step about every 10 ms: for a call that may block for long in
// GStreamer (a state change that opens a sound server or tears a decoder down) and is safe on
// any thread. Without a step the work runs on the calling thread. An exception from the work
// comes back to the caller.
void whileStepping(const std::function<void()>& work);

} // namespace platform::dshow
