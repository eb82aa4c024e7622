// tovamix-cli split: the split window's job without its window. The sound of IN goes through
// MP3 into one AVI, its picture through XviD into another, both graphs side by side. Prints
// once both files are closed:
//   audio=mp3 audio_seconds=<s> video=XVID video_seconds=<s> elapsed=<s> audio_output=<A>
//   video_output=<V>
#include "EditTools.h"

#include "platform/vfw/AviFile.h"

#include <memory>

namespace cli {

namespace {

struct SplitArgs {
    std::string input, audio, video;
};

int split(const SplitArgs& a) {
    const auto app = coreApplication();
    const auto started = std::chrono::steady_clock::now();
    StopSignals stopSignals;
    tools::SplitJob job;
    bool ended = false;
    std::string failure;
    job.onComplete = [&](const std::string&) { ended = true; };
    job.onFailed = [&](const std::string& why) {
        failure = why;
        ended = true;
    };
    tools::JobResult r = guarded([&] { return job.start(a.input, a.audio, a.video); });
    if (!r.ok()) return jobExit(r, "split");
    int shown = -1;
    auto nextLine = started;
    while (!ended) {
        runUntil([&] {
            return ended || StopSignals::stopRequested() ||
                   std::chrono::steady_clock::now() >= nextLine;
        });
        nextLine += std::chrono::milliseconds(500);
        if (StopSignals::stopRequested() && !ended) {
            job.stop();
            return jobExit({tools::Outcome::Stopped, {}}, "split");
        }
        const int percent = int(job.progress() * 100);
        if (!ended && percent != shown) {
            std::fprintf(stderr, "splitting %d%%\n", percent);
            shown = percent;
        }
    }
    if (!failure.empty()) return jobExit({tools::Outcome::Failed, failure}, "split");
    platform::vfw::AviSummary audio, video;
    if (!readBack(a.audio, &audio) || !readBack(a.video, &video)) return 1;
    std::printf("audio=%s audio_seconds=%.3f video=%s video_seconds=%.3f elapsed=%.3f "
                "audio_output=%s video_output=%s\n",
                audio.audioTag == 0x55 ? "mp3" : "other", audio.audioSeconds,
                video.videoFourcc.c_str(), video.videoSeconds, secondsSince(started),
                resultText(a.audio).c_str(), resultText(a.video).c_str());
    return 0;
}

} // namespace

CLI::App* addSplit(CLI::App& app, Run& run) {
    auto args = std::make_shared<SplitArgs>();
    CLI::App* sub = app.add_subcommand(
        "split", "Writes a file's sound as MP3 into one AVI and its picture as XviD into another.");
    sub->footer("Prints audio=mp3 audio_seconds=S video=XVID video_seconds=S elapsed=S\n"
                "audio_output=A.avi video_output=V.avi once both files are closed; progress goes\n"
                "to standard error. Ctrl+C stops both and keeps what was written (exit code 1).");
    sub->add_option("IN", args->input, "The AVI file to split")->required()->type_name("");
    sub->add_option("--audio-out", args->audio, "The AVI file for the sound")
        ->required()
        ->type_name("A.avi");
    sub->add_option("--video-out", args->video, "The AVI file for the picture")
        ->required()
        ->type_name("V.avi");
    sub->callback([args, &run] { run = [args] { return split(*args); }; });
    return sub;
}

} // namespace cli
