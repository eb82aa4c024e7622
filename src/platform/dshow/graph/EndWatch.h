#pragma once
// Completes a playback graph whose video renderer has ended while its sound renderer never
// does. PulseAudio can hand its sink a clock reading thousands of hours off just after a seek
// on a loaded machine; the sink then drops its sound as late and waits on that reading for
// ever, so the graph's end of stream never comes. Once the pictures have ended, the watch
// completes the graph when its position has stood still for EndWatch::Grace while playing
// (sound that really goes on past the pictures moves the position on).
#include <gst/gst.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace platform::dshow {

class EndWatch {
  public:
    static constexpr std::chrono::milliseconds Grace{2000};
    struct Hooks {
        std::function<gint64()> position; // the graph's position (ns), -1 when unknown
        std::function<bool()> playing;    // whether the graph plays
        std::function<bool()> ended;      // whether the graph's own end has come
        std::function<void()> complete;   // completes the graph
    };
    explicit EndWatch(Hooks hooks);
    ~EndWatch();
    EndWatch(const EndWatch&) = delete;
    EndWatch& operator=(const EndWatch&) = delete;

    // The video renderer has ended its stream (a streaming thread).
    void videoEnded();
    // A run or a seek begins: what was watched no longer counts.
    void reset();

  private:
    void loop();

    const Hooks hooks_;
    std::mutex lock_;
    std::condition_variable wake_;
    // -- Protected by lock_.
    uint64_t generation_ = 1; // bumped by reset
    uint64_t armed_ = 0;      // the generation the video ended in; 0: none
    bool quit_ = false;
    std::thread thread_; // started at the first videoEnded
};

} // namespace platform::dshow
