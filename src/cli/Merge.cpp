// tovamix-cli merge: the merge window's job without its window. The picture of the video file
// and the sound of the audio file are copied, unchanged, into OUT.avi. Prints once the file is
// closed:
//   video=<FourCC> video_seconds=<s> audio=<mp3|pcm> audio_seconds=<s> elapsed=<s> output=<OUT>
#include "EditTools.h"

#include "platform/vfw/AviFile.h"

#include <memory>

namespace cli {

namespace {

struct MergeArgs {
    std::string audio, video, output;
};

int merge(const MergeArgs& a) {
    const auto app = coreApplication();
    const auto started = std::chrono::steady_clock::now();
    StopSignals stopSignals;
    tools::MergeJob job;
    player::TRenderHooks hooks = progressHooks("merging", job.CompletionCode);
    const tools::JobResult r =
        guarded([&] { return job.merge(a.audio, a.video, a.output, hooks); });
    if (!r.ok()) return jobExit(r, "merge");
    platform::vfw::AviSummary s;
    if (!readBack(a.output, &s)) return 1;
    const char* audio = s.audioTag == 0x55 ? "mp3" : s.audioTag == 1 ? "pcm" : "other";
    std::printf("video=%s video_seconds=%.3f audio=%s audio_seconds=%.3f elapsed=%.3f "
                "output=%s\n",
                s.videoFourcc.empty() ? "RGB" : s.videoFourcc.c_str(), s.videoSeconds, audio,
                s.audioSeconds, secondsSince(started), resultText(a.output).c_str());
    return 0;
}

} // namespace

CLI::App* addMerge(CLI::App& app, Run& run) {
    auto args = std::make_shared<MergeArgs>();
    CLI::App* sub = app.add_subcommand(
        "merge", "Copies a video file's picture and an audio file's sound into a new AVI.");
    sub->footer("Prints video=<FourCC> video_seconds=S audio=mp3|pcm audio_seconds=S elapsed=S\n"
                "output=OUT.avi once the file is closed; progress goes to standard error.\n"
                "Ctrl+C stops the merge and keeps what was written (exit code 1).");
    sub->add_option("--audio", args->audio, "The MP3 or WAV file whose sound is taken")
        ->required()
        ->type_name("A");
    sub->add_option("--video", args->video, "The AVI file whose picture is taken")
        ->required()
        ->type_name("V");
    sub->add_option("OUT.avi", args->output, "The AVI file to write")->required()->type_name("");
    sub->callback([args, &run] { run = [args] { return merge(*args); }; });
    return sub;
}

} // namespace cli
