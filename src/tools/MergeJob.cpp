#include "EditJobs.h"
#include "FileChecks.h"

#include "media/StoredFilters.h"

namespace tools {

using namespace media;

MergeJob::MergeJob() {
    FilterGraph2.setMode(gmCapture);
    FilterGraph2.setGraphEdit(true);
    FilterGraph2.setLinearVolume(true);
    setStoredName(Filter1, FileSourceName);
    setStoredName(Filter2, FileSourceName);
    for (TFilter* f : {&Filter1, &Filter2})
        f->setFilterGraph(&FilterGraph2);
    FilterGraph2.OnDSEvent = [this](TFilterGraph*, long event, intptr_t p1, intptr_t) {
        writer_.noteEvent(event, p1);
    };
}

MergeJob::~MergeJob() {
    FilterGraph2.OnDSEvent = nullptr;
    writer_.clear();
    for (TFilter* f : {&Filter1, &Filter2})
        f->setFilterGraph(nullptr);
}

JobResult MergeJob::merge(const std::string& audioFile, const std::string& videoFile,
                          const std::string& target, const player::TRenderHooks& hooks) {
    if (running_) return {Outcome::Busy, {}};
    // -- What can be told before anything is built: the audio, then the video, then the
    // target, in the order of the window's boxes.
    const FileFacts audio = examine(audioFile);
    if (std::string why = refuseMissing(audioFile, audio); !why.empty())
        return {Outcome::Refused, why};
    if (!audio.hasAudio || audio.hasVideo)
        return {Outcome::Refused, !audio.hasAudio
                                      ? "The file \"" + audioFile + "\" holds no sound."
                                      : "The audio file \"" + audioFile + "\" holds a picture."};
    if (!audio.soundCarried)
        return {Outcome::Refused, "The file \"" + audioFile +
                                      "\" holds no sound of a kind an AVI file carries (MP3, "
                                      "PCM)."};
    const FileFacts video = examine(videoFile);
    if (std::string why = refuseMissing(videoFile, video); !why.empty())
        return {Outcome::Refused, why};
    // The picture is copied out of an AVI file as it is; other containers hand their pictures
    // over in forms the AVI file does not carry.
    if (video.hasVideo && !isAviFile(videoFile))
        return {Outcome::Refused, "The video file \"" + videoFile +
                                      "\" is not an AVI file: the merge copies the picture of an "
                                      "AVI file."};
    if (aviIndexOutsideFile(videoFile))
        return {Outcome::Refused, "The index of the file \"" + videoFile +
                                      "\" points outside the file: its pictures cannot be found."};
    if (!video.hasVideo || !video.videoCarried)
        return {Outcome::Refused, "The file \"" + videoFile +
                                      "\" holds no picture of a kind an AVI file carries as it "
                                      "is (MPEG-4, Motion JPEG, H.264, uncompressed RGB)."};
    if (std::string why = refuseOutputs({audioFile, videoFile}, {target}); !why.empty())
        return {Outcome::Refused, why};

    // -- 2 to 6: the graph, its file, both sources copied into the multiplexer.
    std::string why;
    if (!writer_.build({{&Filter1, videoFile, nullptr, nullptr, "the picture"},
                        {&Filter2, audioFile, nullptr, nullptr, "the sound"}},
                       target, &why))
        return {Outcome::Failed, why};
    // -- 7, 8: the bar over the length, which is known once the graph runs.
    if (hooks.started) hooks.started(writer_.duration());
    if (!writer_.run(&why)) {
        if (hooks.finished) hooks.finished();
        return {Outcome::Failed, why};
    }
    running_ = true;
    // An error raised on the way (the standard error box shows it) leaves the job idle.
    struct Idle {
        bool& running;
        ~Idle() { running = false; }
    } idle{running_};

    // -- 9: the wait loop.
    CompletionCode = 0;
    TWriteEnd end = TWriteEnd::Running;
    int64_t stalledAt = -1;
    const bool ownEnd = player::waitForGraph(
        CompletionCode,
        [&](long timeoutMs) {
            end = writer_.waitForCompletion(timeoutMs, &why);
            return end == TWriteEnd::Completed ? EC_COMPLETE
                   : end == TWriteEnd::Failed  ? EC_ERRORABORT
                                               : 0L;
        },
        [&](int64_t* position, int64_t* duration) {
            *duration = writer_.duration();
            *position = end == TWriteEnd::Completed ? *duration : writer_.position();
            return true;
        },
        hooks, &stalledAt);
    // A stop by the caller finishes the file with what was written.
    if (!ownEnd) writer_.stop();
    // -- 10, 11.
    if (hooks.finished) hooks.finished();
    writer_.clear();
    if (!ownEnd && stalledAt >= 0)
        return {Outcome::Stopped, "Writing \"" + target + "\" " + player::stallText(stalledAt)};
    if (!ownEnd) return {Outcome::Stopped, {}};
    if (end == TWriteEnd::Failed) return {Outcome::Failed, why};
    return {Outcome::Done, {}};
}

} // namespace tools
