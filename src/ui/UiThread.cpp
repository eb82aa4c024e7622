#include "UiThread.h"

#include <atomic>

namespace ui {

namespace {
std::atomic<UiThread*> currentUiThread{nullptr};
}

EventQueue& defaultEventQueue() {
    static EventQueue queue;
    return queue;
}

UiThread& uiThread() {
    UiThread* t = currentUiThread.load();
    return t ? *t : defaultEventQueue();
}

void setUiThread(UiThread* t) {
    currentUiThread.store(t);
}

void EventQueue::post(std::function<void()> fn) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(fn));
    }
    cv_.notify_all();
}

int EventQueue::processPending() {
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(queue_);
    }
    for (auto& fn : batch)
        fn();
    return int(batch.size());
}

bool EventQueue::runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        processPending();
        if (pred()) return true;
        std::unique_lock lock(mutex_);
        if (!cv_.wait_until(lock, deadline, [this] { return !queue_.empty(); })) {
            lock.unlock();
            processPending();
            return pred();
        }
    }
}

} // namespace ui
