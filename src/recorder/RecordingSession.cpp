#include "RecordingSession.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace recorder {

namespace {

// How long the live compression may stand still at the finish before it is given up.
constexpr auto LiveStall = std::chrono::seconds(10);
// How long the voice waits for the engine's frame loop to begin.
constexpr auto LoopStartWait = std::chrono::seconds(5);

void removeFile(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

long long wallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

RecordingSession::RecordingSession(TScreenCam& engine, VoiceGraph& voice)
    : engine_(engine), voice_(voice) {}

RecordingSession::~RecordingSession() {
    end();
}

bool RecordingSession::lock(std::string* why) {
    if (lock_) return true;
    lock_ = RecordingLock::acquire(why);
    return lock_ != nullptr;
}

bool RecordingSession::start(const Options& options, std::string* why) {
    if (!lock(why)) return false;
    try {
        videoFile_ = videoTempPath();
        audioFile_ = audioTempPath();
    } catch (const std::exception& e) {
        *why = e.what();
        return false;
    }
    removeFile(videoFile_);
    if (options.voice) removeFile(audioFile_);

    // The live compression, where the recording's formats allow it (16-bit PCM voice). The
    // voice's tap is set before the voice starts, so its first sound is not missed.
    live_.reset();
    const bool withVoice = options.voice && voice_.deviceBound();
    const bool joined = withVoice && options.joinVoice;
    std::shared_ptr<media::IAMSoundTap> tap = joined ? voice_.soundTap() : nullptr;
    int rate = 0, channels = 0, bits = 0;
    const bool voiceLive =
        joined && tap && voice_.pcmFormat(&rate, &channels, &bits) && bits == 16 && channels <= 2;
    if (options.live && (!joined || voiceLive)) {
        LiveSettings s;
        s.path = std::filesystem::path(videoFile_).parent_path().string() + "/.Live-" +
                 std::to_string(::getpid()) + ".avi";
        s.playbackRate = engine_.playbackRate;
        s.voice = joined;
        s.voiceRate = rate;
        s.voiceChannels = channels;
        s.framePool = engine_.framePool();
        s.recordInterval = engine_.recordInterval;
        live_ = std::make_shared<LiveCompression>(s);
        if (joined) tap->SetTap(live_->soundTap());
        // A stored frame places the voice, once it runs: both clocks are read at one instant,
        // the voice's run and the engine's, whose loop began at startTime().
        auto placed = std::make_shared<bool>(!joined);
        engine_.onFrameStored = [live = live_, tap, placed, engine = &engine_](
                                    int64_t slot, platform::screen::PackedDib&& frame) {
            if (!*placed) {
                int64_t voiceNow = 0;
                if (tap->GetRunningTime(&voiceNow) == media::S_OK) {
                    const uint32_t since = systemTiming().now() - engine->startTime();
                    live->setVoiceAtFirstFrame(voiceNow - int64_t(since) * 10000);
                    *placed = true;
                }
            }
            live->frame(slot, std::move(frame));
        };
    } else {
        engine_.onFrameStored = nullptr;
    }

    if (!engine_.startRecording(options.area, videoFile_)) {
        engine_.onFrameStored = nullptr;
        if (tap) tap->SetTap(nullptr);
        live_.reset();
        *why = "the screen recording could not be started";
        return false;
    }
    voiceRecorded_ = false;
    if (withVoice) {
        // The voice starts with the frame loop (the worker's set-up takes a moment, longer on
        // a busy machine), so the voice file too begins with the picture.
        const auto giveUp = std::chrono::steady_clock::now() + LoopStartWait;
        while (engine_.hasWorker() && !engine_.frameLoopRunning() &&
               std::chrono::steady_clock::now() < giveUp)
            if (options.whileWaiting) options.whileWaiting();
        const media::HRESULT h = voice_.record(audioFile_);
        voiceRecorded_ = media::SUCCEEDED(h);
        if (!voiceRecorded_) {
            std::fprintf(stderr, "tovamix: the voice is not recorded: %s\n",
                         media::GraphErrorText(h).c_str());
            // The live file was to carry it: the merge does without.
            if (live_ && joined) live_->abandon("the voice is not recorded");
        }
    }
    manifest_ = {};
    manifest_.startedMs = wallClockMs();
    manifest_.voice = voiceRecorded_;
    manifest_.intervalMs = engine_.recordInterval;
    manifest_.pid = ::getpid();
    writeManifest(manifest_);
    state_ = State::Recording;
    return true;
}

VoiceResult RecordingSession::stop(const std::function<void()>& whileWaiting) {
    engine_.stopRecording();
    VoiceResult v = voiceRecorded_ ? voice_.stop(whileWaiting) : voice_.stop();
    if (state_ == State::Recording) {
        manifest_.finished = true;
        writeManifest(manifest_);
        state_ = State::Stopped;
    }
    return v;
}

bool RecordingSession::live() const {
    return live_ && !live_->failed();
}

bool RecordingSession::finishLive(const std::string& target, bool joinVoice,
                                  const std::function<void()>& whileWaiting, std::string* why) {
    if (!live_) {
        *why = "the recording was not compressed while it ran";
        return false;
    }
    if (live_->hasVoice() && !joinVoice) {
        *why = "the voice is to be left out";
        return false;
    }
    if (!live_->finish(whileWaiting, LiveStall, why)) return false;
    if (!moveIntoPlace(live_->path(), target, why)) return false;
    return true;
}

void RecordingSession::saved() {
    manifest_.saved = true;
    if (manifest_.startedMs > 0) writeManifest(manifest_);
}

void RecordingSession::end() {
    // The engine's callback keeps the live compression while a worker may still call it.
    if (!engine_.hasWorker()) engine_.onFrameStored = nullptr;
    live_.reset();
    lock_.reset();
    state_ = State::Idle;
}

} // namespace recorder
