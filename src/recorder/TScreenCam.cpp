#include "TScreenCam.h"

#include "TRecordAVIThread.h"
#include "platform/vfw/AviFile.h"
#include "ui/Dialogs.h"
#include "ui/UiThread.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace recorder {

using namespace platform;

namespace {

// The oldest AVI file service the recorder accepts: 1.10 (major.minor, as the high word of
// videoForWindowsVersion()).
constexpr uint32_t MinimumVideoForWindowsVersion = 0x010A;

class SystemTiming : public RecordTiming {
  public:
    uint32_t now() override {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
        return uint32_t(ms.count());
    }
    // Each wake-up comes a little late (tens of microseconds). Left alone, that lateness
    // lengthens every pass of the frame loop, and over a few hundred passes the slot numbers
    // drift by half an interval and a slot is skipped. So the lateness is carried over and
    // taken off the next sleeps: on average each sleep lasts exactly what was asked. Only
    // small lateness is made up; a thread held back for long is not rushed afterwards.
    void sleep(uint32_t ms) override {
        using Clock = std::chrono::steady_clock;
        constexpr auto MaxCarried = std::chrono::milliseconds(10);
        thread_local Clock::duration late{0};
        const Clock::duration asked = std::chrono::milliseconds(ms);
        if (late >= asked) {
            late -= asked;
            return;
        }
        const Clock::duration target = asked - late;
        const auto start = Clock::now();
        std::this_thread::sleep_until(start + target);
        late = std::min<Clock::duration>(Clock::now() - start - target, MaxCarried);
    }
};

void developerDetail(const std::string& what) {
    std::fprintf(stderr, "tovamix: %s\n", what.c_str());
}

} // namespace

RecordTiming& systemTiming() {
    static SystemTiming timing;
    return timing;
}

int64_t slotOf(uint32_t t, uint32_t interval) {
    if (interval == 0) return t;
    const int64_t q = t / interval;
    const int64_t r = t % interval;
    if (2 * r > int64_t(interval)) return q + 1;
    if (2 * r == int64_t(interval)) return q + (q & 1);
    return q;
}

TScreenCam::TScreenCam(void* owner) : ownerWindow(owner), timing_(&systemTiming()) {
    compressorFourCC = vfw::makeFourCC('M', 'S', 'V', 'C');
    std::string error;
    if (auto screen = screen::ScreenConnection::open(&error)) {
        const screen::ScreenMetrics m = screen->metrics();
        colourDepth = m.bitsPerPixel;
        screenWidth_ = m.width;
        screenHeight_ = m.height;
    } else {
        colourDepth = 32;
        developerDetail(error);
    }
}

TScreenCam::~TScreenCam() {
    // Never let the worker outlive the engine it runs on: stop it and wait for it.
    recording_.store(false);
    if (worker_) {
        worker_->join();
        delete worker_;
        worker_ = nullptr;
    }
}

bool TScreenCam::startRecording(CaptureAreaSource* area, const std::string& fileName) {
    // A stopped worker that has not ended may be closing its file or waiting for the user to
    // answer its message box on this thread; joining it here would freeze or deadlock the
    // window. The caller waits with its event loop running instead.
    if (recording_.load() || worker_) return false;
    // Raised before the worker exists: the frame loop runs only while the flag is set.
    recording_.store(true);
    lastResult_.store(-1);
    worker_ = new TRecordAVIThread(this, area, fileName, alive_, ++generation_);
    return true;
}

void TScreenCam::stopRecording() {
    recording_.store(false);
}

void TScreenCam::reportFailure(const std::string& what) {
    developerDetail(what);
    ui::messageBox(what, "Error", ui::MsgIcon::Warning);
}

void TScreenCam::workerEnded(uint64_t generation, int result) {
    if (generation != generation_ || !worker_) return; // a worker replaced by a later start
    worker_->join();
    delete worker_;
    worker_ = nullptr;
    recording_.store(false);
    lastResult_.store(result);
    if (onRecordEnd) onRecordEnd(result);
}

bool TScreenCam::waitUntilIdle(std::chrono::milliseconds timeout) {
    return ui::defaultEventQueue().runUntil([this] { return worker_ == nullptr; }, timeout);
}

uint32_t TScreenCam::recordedMilliseconds() const {
    const uint32_t start = startTime_.load();
    if (loopRunning_.load()) return timing_->now() - start;
    return endTime_.load() - start;
}

Rect TScreenCam::captureRect(CaptureAreaSource* area) const {
    if (areaFlag && area) return area->captureBounds();
    return Rect{0, 0, screenWidth_, screenHeight_};
}

PackedDib TScreenCam::grabFrame(int x, int y, int w, int h) {
    std::string why;
    if (!grabConnection_) grabConnection_ = screen::ScreenConnection::open(&why);
    PackedDib frame;
    if (grabConnection_) frame = framePool_->take(w, h, colourDepth);
    if (!frame.valid()) {
        if (!why.empty()) developerDetail(why);
        ui::messageBox("Error capturing a frame!", "Error", ui::MsgIcon::Warning);
        return {};
    }
    screen::ScreenImage image;
    int rows = 0;
    if (grabConnection_->grab(Rect{x, y, w, h}, image, &why)) {
        int cx = 0, cy = 0;
        if (grabConnection_->cursorPosition(cx, cy)) {
            cx -= x;
            cy -= y;
            int hx = 0, hy = 0;
            if (grabConnection_->cursorHotSpot(hx, hy)) {
                cx -= hx;
                cy -= hy;
            }
            grabConnection_->drawArrow(image, cx, cy);
        }
        rows = grabConnection_->toDib(image, frame);
    }
    if (rows == 0) {
        if (!why.empty()) developerDetail(why);
        ui::messageBox("Error retrieving bitmap bits", "Error", ui::MsgIcon::None,
                       ui::MsgButtons::Ok);
    }
    frame.header().biClrUsed = uint32_t(screen::dibColourCount(colourDepth));
    return frame;
}

int TScreenCam::record(CaptureAreaSource* area, const std::string& fileName) {
    samplesWritten_.store(0);
    positionsSkipped_.store(0);
    startTime_.store(timing_->now());
    endTime_.store(startTime_.load());
    struct CloseConnection {
        TScreenCam* engine;
        ~CloseConnection() { engine->grabConnection_.reset(); }
    } closeConnection{this};
    // A taker of frames (the live compression) holds on to them while it falls behind: new ones
    // are then allocated ahead on a thread of their own, not in the frame loop. Every spare is
    // freed when the recording ends.
    struct FramesAhead {
        platform::screen::DibPool& pool;
        ~FramesAhead() { pool.keepReady(0); }
    } framesAhead{*framePool_};
    if (onFrameStored) framePool_->keepReady(2);

    const Rect rect = captureRect(area);
    frameWidth_.store(rect.w);
    frameHeight_.store(rect.h);
    if (rect.w <= 0 || rect.h <= 0) {
        ui::messageBox("Nothing to record: the capture area is " + std::to_string(rect.w) + " x " +
                           std::to_string(rect.h) +
                           " pixels. Choose an area at least one pixel "
                           "wide and high.",
                       "Error", ui::MsgIcon::Warning);
        return 0;
    }
    if ((vfw::videoForWindowsVersion() >> 16) < MinimumVideoForWindowsVersion) {
        ui::messageBox("Failure: Video for Windows version too old!", "Error", ui::MsgIcon::Error);
        return 0;
    }
    PackedDib first = grabFrame(rect.x, rect.y, rect.w, rect.h);
    if (!first.valid()) return 0; // nothing to take the stream format from; already reported

    std::string error;
    bool ok = true;
    vfw::AviCompressOptions options;
    std::shared_ptr<vfw::AviFile> file;
    std::shared_ptr<vfw::AviStream> plain, compressed;
    // Filled in by the last release below: whether the file's end was written and closed.
    std::shared_ptr<const vfw::AviFileStatus> fileEnd;
    file = vfw::AviFile::open(fileName, vfw::OF_WRITE | vfw::OF_CREATE, &error);
    ok = file != nullptr;
    if (file) fileEnd = file->status();
    if (ok) {
        vfw::AviStreamInfo info;
        info.fccType = vfw::streamtypeVIDEO;
        info.fccHandler = 0;
        info.scale = 1;
        info.rate = uint32_t(playbackRate);
        info.suggestedBufferSize = first.header().biSizeImage;
        info.frame = {0, 0, first.header().biWidth, first.header().biHeight};
        plain = file->createStream(info, &error);
        ok = plain != nullptr;
    }
    if (ok) {
        options.fccType = vfw::streamtypeVIDEO;
        options.fccHandler = compressorFourCC;
        options.keyFrameEvery = uint32_t(keyFrameInterval);
        options.quality = uint32_t(quality);
        options.bytesPerSecond = 0;
        options.flags = vfw::AVICOMPRESSF_KEYFRAMES | vfw::AVICOMPRESSF_VALID;
        compressed = vfw::makeCompressedStream(plain, options, &error);
        ok = compressed != nullptr;
    }
    if (ok) {
        ok = compressed->setFormat(first.data(), 40 + 4 * size_t(first.header().biClrUsed), &error);
    }
    first = PackedDib();
    if (ok) ok = frameLoop(area, *compressed);
    if (compressed) {
        samplesWritten_.store(compressed->samplesWritten());
        positionsSkipped_.store(compressed->positionsSkipped());
    }

    // Tear-down, always and in this order; the file is finished by the last release.
    vfw::releaseCompressOptions(options);
    file.reset();
    plain.reset();
    compressed.reset();
    if (fileEnd && !(fileEnd->finished && fileEnd->ok)) {
        if (!error.empty()) developerDetail(error);
        error = fileEnd->finished ? fileEnd->error : "the file " + fileName + " was not finished";
        ok = false;
    }

    if (!ok) {
        if (!error.empty()) developerDetail(error);
        ui::messageBox("Error Creating AVI file", "Error", ui::MsgIcon::Warning);
        return 0;
    }
    return 1;
}

bool TScreenCam::frameLoop(CaptureAreaSource* area, vfw::AviStream& stream) {
    const uint32_t interval = uint32_t(recordInterval > 0 ? recordInterval : 1);
    uint32_t quantum = interval / 10;
    if (quantum == 0) quantum = 1;
    int64_t lastWritten = 0;
    bool slotZeroWritten = false;
    const uint32_t start = timing_->now();
    startTime_.store(start);
    loopRunning_.store(true);
    // The loop's end is recorded also when a grab or a write throws.
    struct LoopEnd {
        TScreenCam* engine;
        ~LoopEnd() {
            engine->endTime_.store(engine->timing_->now());
            engine->loopRunning_.store(false);
        }
    } loopEnd{this};
    bool ok = true;
    std::string error;

    while (recording_.load()) {
        const uint32_t t = timing_->now() - start;
        const Rect rect = captureRect(area);
        PackedDib frame;
        if (rect.w > 0 && rect.h > 0) frame = grabFrame(rect.x, rect.y, rect.w, rect.h);
        const int64_t slot = slotOf(t, interval);
        // A frame that could not be captured is never written. Slot 0 is written once: a
        // second sample at an already written position would corrupt the stream's timing.
        if (frame.valid() && ((slot == 0 && !slotZeroWritten) || slot > lastWritten)) {
            if (!stream.write(slot, frame.bits(), frame.imageSize(), 0, &error)) {
                ok = false;
                break;
            }
            lastWritten = slot;
            slotZeroWritten = true;
            samplesWritten_.store(stream.samplesWritten());
            positionsSkipped_.store(stream.positionsSkipped());
            if (onFrameStored) onFrameStored(slot, std::move(frame));
        }
        framePool_->give(std::move(frame));

        // A pass lasts one interval, a millisecond shorter or longer while it lies off its
        // slot's place: the passes find their way back to the slots' places after a slow one,
        // and small lateness does not add up. A pass left halfway between two slots for good
        // would fall on the tie the rounding breaks towards even slots: every second pass
        // would land on the slot written before it and be dropped, halving the frame rate.
        const int64_t offGrid = int64_t(t) - slot * int64_t(interval);
        const uint32_t pass = offGrid > 0 ? interval - 1 : offGrid < 0 ? interval + 1 : interval;
        const uint32_t spent = (timing_->now() - start) - t;
        if (pass > spent) {
            const uint32_t n = (pass - spent) / quantum;
            const uint32_t rest = pass - spent - n * quantum;
            for (uint32_t i = 0; i < n && recording_.load(); ++i)
                timing_->sleep(quantum);
            if (recording_.load() && rest) timing_->sleep(rest);
        }
    }
    if (!ok) std::fprintf(stderr, "tovamix: %s\n", error.c_str());
    return ok;
}

} // namespace recorder
