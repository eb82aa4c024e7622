// The end of a sound recording at a chosen instant: a GStreamer element, "tovamixsoundend",
// that makes a device's sound one gapless run from the start of the pipeline's run, never
// passed on ahead of the clock. Given a stop time, it cuts the sound delivered past it (a
// buffer across it is shortened); when the stream ends short of the stop time (or, without
// one, of the moment it ends), silence fills the rest. So the recording lasts exactly as long
// as it ran, whatever the device delivered and however late. It counts the sound the device
// really delivered (silence filled in is not counted).
//
//   pulsesrc ! tovamixsoundend ! audiorate ! ...
//
// Streaming threads run the element; its SoundEnd is called from the user-interface thread.
// Internal to the graph layer.
#pragma once

#include "platform/dshow/base/DShow.h"

#include <gst/gst.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace platform::dshow {

// What one element knows of its stream. Every method takes the lock, so it may be called from
// any thread. This class is thread-safe.
class SoundEnd {
  public:
    struct Figures {
        GstClockTime stopTime = GST_CLOCK_TIME_NONE; // running time; none until set
        GstClockTime position = 0;                   // running time reached by the sound passed on
        GstClockTime delivered = 0;                  // how much of that the device delivered
    };
    // What to do with one buffer: push `silence` frames of silence at frame `silenceAt` of the
    // run, drop the buffer's first `skip` frames, then pass on the next `keep` frames at frame
    // `at` (the rest is cut).
    struct Plan {
        uint64_t silenceAt = 0, silence = 0;
        uint64_t skip = 0;         // frames dropped from the buffer's front
        uint64_t keep = 0, at = 0; // frames kept after them, and where they go in the run
    };

    // A new run: no stop time, nothing delivered.
    void reset();
    // Sets the stop time (running time of the pipeline).
    void setStopTime(GstClockTime stopTime);
    Figures figures();
    // The tap that gets a copy of the sound passed on (null: none). Any thread.
    void setTap(std::shared_ptr<SoundTap> tap);
    std::shared_ptr<SoundTap> tap();
    // Waits until the sound passed on reaches the stop time; false after timeout or when no stop
    // time is set.
    bool waitForStop(std::chrono::milliseconds timeout);

    // Streaming thread: waits until `frames` more frames at `rate`, placed after the sound
    // passed on so far, are due by the clock (clock time base + running time). Sound is never
    // passed on ahead of time, so a stop can still cut it. Waits no later than a stop time that
    // is set (at once for one already passed); returns at once when the element stops
    // streaming.
    void waitUntilDue(GstClock* clock, GstClockTime base, uint64_t frames, int rate);
    // The element stops streaming (a wait ends), or streams again.
    void setFlushing(bool flushing);
    // Streaming thread: places a buffer of `frames` frames at `rate`, stamped `start` (running
    // time; none when unknown), when the running time is `now`. The recording is the device's
    // sound one piece after the other from the start of the run, as it was delivered: a device
    // that lags hands over sound of the time before its first delivery with it. Where the
    // device's own stamps jump (it skipped sound), silence fills the gap, up to now at most.
    // Sound past the stop time is cut.
    Plan take(GstClockTime start, GstClockTime now, uint64_t frames, int rate);
    // Streaming thread, at the end of the stream, the running time being `now`: the silence
    // that fills up to the stop time (now, when none was set or the stream ends before it);
    // false when none is needed.
    // `rate` is the stream's, for a device that delivered nothing at all.
    bool fillAtEnd(GstClockTime now, int rate, uint64_t* silenceAt, uint64_t* silence);

  private:
    bool reachedLocked() const;
    uint64_t stopFrameLocked() const;
    std::mutex m_;
    // -- All the following fields are protected by m_.
    std::condition_variable reached_;
    GstClockTime stopTime_ = GST_CLOCK_TIME_NONE;
    int rate_ = 0;                                 // of the stream, once known
    uint64_t position_ = 0;                        // frames passed on
    uint64_t delivered_ = 0;                       // of them, frames of the device's sound
    GstClockTime nextStamp_ = GST_CLOCK_TIME_NONE; // where the device's next buffer should start
    GstClockID wait_ = nullptr;
    bool flushing_ = false;
    std::shared_ptr<SoundTap> tap_;
};

// Registers the element factory "tovamixsoundend" for this process; safe to call any number of
// times, from any thread. Returns whether the one registration succeeded.
bool registerSoundEndElement();
// The SoundEnd of a "tovamixsoundend" element; null for any other element.
SoundEnd* soundEndOf(GstElement* element);

} // namespace platform::dshow
