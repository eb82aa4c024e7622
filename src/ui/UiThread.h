// Posting work to the user-interface thread. Workers (the screen engine's recording thread)
// hand their end handlers to uiThread().post(); the program start installs the
// implementation: QtUiThread in the windowed program, an EventQueue that the CLI's main
// thread drains, or one a test drains.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace ui {

class UiThread {
  public:
    virtual ~UiThread() = default;
    // Runs fn later on the user-interface thread. This function is thread-safe.
    virtual void post(std::function<void()> fn) = 0;
};

// The implementation in use; a process-wide EventQueue until one is installed.
UiThread& uiThread();
void setUiThread(UiThread* t);

// A queue of posted work for a thread that has no other message loop.
// This class is thread-safe; run*() belong to the thread that plays user-interface thread.
class EventQueue : public UiThread {
  public:
    void post(std::function<void()> fn) override;
    // Runs everything posted so far; returns how many ran.
    int processPending();
    // Runs posted work until pred() holds or the timeout passes; returns pred().
    bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_; // protected by mutex_
};

// The process-wide queue used until another implementation is installed.
EventQueue& defaultEventQueue();

} // namespace ui
