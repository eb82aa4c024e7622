// The screen capture engine: grabs a rectangle of the screen into a packed device-independent
// bitmap, draws the arrow cursor into it, and writes the bitmaps as one MS Video 1 stream of
// an AVI file through the AVI file service.
//
// Threads: construction, the settings, startRecording() and stopRecording() belong to the
// user-interface thread. record() and grabFrame() run on the recording worker
// (TRecordAVIThread). While a recording runs the two share the recording flag (an atomic)
// and the status counters (atomics); the settings must not change until the engine is idle
// again. The worker's end handler is posted to the user-interface thread (ui::uiThread()).
// Destroying the engine stops a running recording and waits for its worker.
#pragma once

#include "platform/screen/Dib.h"
#include "platform/screen/Screen.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform::vfw {
class AviStream;
}

namespace recorder {

using platform::screen::PackedDib;
using platform::screen::Rect;

// Where the engine reads the capture rectangle while the area flag is set: the bounds of the
// capture-area window, or a plain rectangle. Read afresh for every frame, on the worker.
class CaptureAreaSource {
  public:
    virtual ~CaptureAreaSource() = default;
    // This function must be thread-safe.
    virtual Rect captureBounds() const = 0;
};

class FixedCaptureArea : public CaptureAreaSource {
  public:
    explicit FixedCaptureArea(Rect r) : rect_(r) {}
    Rect captureBounds() const override { return rect_; }

  private:
    Rect rect_;
};

// The millisecond timer and the sleep the frame loop paces itself with. Tests put a scripted
// one in its place.
class RecordTiming {
  public:
    virtual ~RecordTiming() = default;
    // Milliseconds of a steady clock, 32-bit and wrapping like the system timer.
    virtual uint32_t now() = 0;
    virtual void sleep(uint32_t ms) = 0;
};

// The real timer: std::chrono::steady_clock and std::this_thread::sleep_for.
RecordTiming& systemTiming();

// Nearest integer of t / interval, ties to even.
int64_t slotOf(uint32_t t, uint32_t interval);

class TRecordAVIThread;

class TScreenCam {
  public:
    // Measures the screen of $DISPLAY. Without a display the metrics stay zero and a
    // recording reports that frames cannot be captured.
    explicit TScreenCam(void* ownerWindow = nullptr);
    ~TScreenCam();
    TScreenCam(const TScreenCam&) = delete;
    TScreenCam& operator=(const TScreenCam&) = delete;

    // The defaults of the settings below, named so that front ends can show them.
    static constexpr int DefaultPlaybackRate = 10;
    static constexpr int DefaultRecordInterval = 100;
    static constexpr int DefaultKeyFrameInterval = 5;
    static constexpr int DefaultQuality = 6550;

    // -- Settings, in the order of the engine's state. Change them only while idle.
    void* ownerWindow = nullptr;
    int colourDepth = 0;                            // bits per pixel of every frame: the screen's
    uint32_t compressorFourCC = 0;                  // MSVC
    int playbackRate = DefaultPlaybackRate;         // frames per second in the stream header
    int recordInterval = DefaultRecordInterval;     // milliseconds of screen time per frame slot
    int keyFrameInterval = DefaultKeyFrameInterval; // a key frame every this many frames
    int quality = DefaultQuality;                   // compressor quality, 0..10000
    bool areaFlag = false;                          // record the capture area, not the screen

    int screenWidth() const { return screenWidth_; }
    int screenHeight() const { return screenHeight_; }
    // Size of the rectangle of the current or last recording. This function is thread-safe.
    int frameWidth() const { return frameWidth_.load(); }
    int frameHeight() const { return frameHeight_.load(); }
    // Timer value when the frame loop began. This function is thread-safe.
    uint32_t startTime() const { return startTime_.load(); }

    // True from startRecording() until the worker's end handler ran. This function is
    // thread-safe.
    bool recording() const { return recording_.load(); }
    // True while a worker exists (it is forgotten by its end handler).
    bool hasWorker() const { return worker_ != nullptr; }

    // Starts the worker with the capture-area source (read while the area flag is set; it
    // must outlive the recording) and the output file, and returns true. Does nothing and
    // returns false while recording, and while the worker of a stopped recording has not
    // ended yet (hasWorker()): it may still be closing its file or waiting for a message box
    // to be answered on this thread, so it is never waited for here. Wait for it with the
    // event loop running (waitUntilIdle()) and start again.
    bool startRecording(CaptureAreaSource* area, const std::string& fileName);
    // Asks the frame loop to end and returns at once. This function is thread-safe.
    void stopRecording();
    // Waits until the worker has ended and its end handler has run, running the default
    // event queue meanwhile when that is the user-interface thread's loop (CLI, tests).
    // Returns false on timeout.
    bool waitUntilIdle(std::chrono::milliseconds timeout);

    // Grabs (x, y, w, h) with the cursor drawn in, as a frame at colourDepth; an empty
    // bitmap when it cannot be had (the user has been told).
    PackedDib grabFrame(int x, int y, int w, int h);
    // The worker's routine: 1 on success, 0 on failure (the user has been told). Success
    // includes finishing the file: its index, headers and close.
    int record(CaptureAreaSource* area, const std::string& fileName);

    // -- Status of the current or last recording. These functions are thread-safe.
    // Samples whose bytes have been handed to the system.
    int64_t samplesWritten() const { return samplesWritten_.load(); }
    int64_t positionsSkipped() const { return positionsSkipped_.load(); }
    // Milliseconds from the start of the frame loop to its end (or to now while it runs).
    uint32_t recordedMilliseconds() const;
    // True while the frame loop runs.
    bool frameLoopRunning() const { return loopRunning_.load(); }
    // 1 or 0 as record() returned, -1 while none has ended.
    int lastResult() const { return lastResult_.load(); }

    // Called on the user-interface thread after the end handler, with record()'s result.
    std::function<void(int)> onRecordEnd;
    // Called on the worker with every frame stored, at its slot, once its compressed sample is
    // written; the frame is the caller's to keep (the live compression queues it) and to give
    // back to framePool() once used. It must not block: pacing comes first. Set it only while
    // idle.
    std::function<void(int64_t slot, PackedDib&& frame)> onFrameStored;
    // Where the frames come from; a taker of frames gives them back here once used.
    std::shared_ptr<platform::screen::DibPool> framePool() const { return framePool_; }

    // For tests: the timer the frame loop uses (systemTiming() unless set).
    void setTiming(RecordTiming* timing) { timing_ = timing ? timing : &systemTiming(); }

  private:
    friend class TRecordAVIThread;
    // The end handler: runs on the user-interface thread once the worker has ended.
    void workerEnded(uint64_t generation, int result);
    // On the worker: tells the user that the recording stopped on an exception.
    void reportFailure(const std::string& what);
    Rect captureRect(CaptureAreaSource* area) const;
    bool frameLoop(CaptureAreaSource* area, platform::vfw::AviStream& stream);

    int screenWidth_ = 0;
    int screenHeight_ = 0;
    std::atomic<int> frameWidth_{0};
    std::atomic<int> frameHeight_{0};
    std::atomic<uint32_t> startTime_{0};
    std::atomic<uint32_t> endTime_{0};
    std::atomic<bool> loopRunning_{false};
    std::atomic<bool> recording_{false};
    std::atomic<int64_t> samplesWritten_{0};
    std::atomic<int64_t> positionsSkipped_{0};
    std::atomic<int> lastResult_{-1};
    TRecordAVIThread* worker_ = nullptr; // user-interface thread only
    uint64_t generation_ = 0;            // counts starts; user-interface thread only
    RecordTiming* timing_;
    // The worker's X connection, opened by the first grab of a recording.
    std::unique_ptr<platform::screen::ScreenConnection> grabConnection_;
    // Frames come from here and come back when written (or when a taker is done with them).
    std::shared_ptr<platform::screen::DibPool> framePool_ =
        std::make_shared<platform::screen::DibPool>();
    // Lets a posted end handler know whether the engine still exists.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace recorder
