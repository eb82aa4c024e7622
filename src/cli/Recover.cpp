// tovamix-cli recover: saves a screen recording whose program was killed or crashed. The
// temporary files it left ("VideoTemp.avi", and with --voice "AudioTemp.avi", in the folder
// tovamix-UID of the temporary folder) have no index and no lengths in their headers; their
// whole samples are copied into finished files beside them, which are then compressed into
// OUTPUT as at the end of a recording (XviD video, MP3 voice). As at a stop, the voice lasts as
// long as the picture: the sound the device had not delivered before the kill is silence at
// its end. The temporary files are left as they are. Prints on standard output, as record-screen
// does:
//   frames=<pictures recovered> skipped=<positions left empty> seconds=<video length> output=<path>
#include "Cli.h"

#include "platform/vfw/AviRecovery.h"
#include "platform/vfw/OutputFile.h"
#include "recorder/TempFiles.h"

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace cli {

namespace {

struct RecoverArgs {
    bool voice = false;
    std::string output;
};

// Why the voice file cannot be of the recording the video file holds, or "" when it can be.
// The manifest says whether the last recording had a voice and when it started; a voice file
// older than that start is an earlier recording's. Without a manifest (a recording of an
// older version), a voice file last written well before the video began is refused.
std::string voiceOfAnotherRecording(const std::optional<recorder::RecordingManifest>& manifest,
                                    const std::string& videoTemp, const std::string& audioTemp,
                                    const platform::vfw::RecoveredAvi& video) {
    namespace fs = std::filesystem;
    std::error_code ec1, ec2;
    const auto audioWritten = fs::last_write_time(audioTemp, ec1);
    const auto videoWritten = fs::last_write_time(videoTemp, ec2);
    if (ec1 || ec2) return {};
    // File times as seconds since 1970, through the clock the file system uses.
    const auto toEpochMs = [](fs::file_time_type t) {
        const auto sys = std::chrono::file_clock::to_sys(t);
        return (long long)std::chrono::duration_cast<std::chrono::milliseconds>(
                   sys.time_since_epoch())
            .count();
    };
    if (manifest) {
        if (!manifest->voice) return "is not of the last recording, which was made without voice";
        // A little slack for the clock's steps between the manifest and the first write.
        if (toEpochMs(audioWritten) + 2000 < manifest->startedMs)
            return "was last written before the last recording started: it is an earlier "
                   "recording's voice";
        return {};
    }
    const double videoBeganMs = double(toEpochMs(videoWritten)) - video.videoSeconds * 1000.0;
    if (double(toEpochMs(audioWritten)) + 10000.0 < videoBeganMs)
        return "was last written before the video began: it is an earlier recording's voice";
    return {};
}

int recover(const RecoverArgs& a) {
    if (std::string why; !platform::vfw::checkWritable(a.output, &why))
        return fail("cannot write \"" + a.output + "\": " + why);
    std::string folder, videoTemp, audioTemp;
    try {
        folder = recorder::temporaryFolder();
        videoTemp = recorder::videoTempPath();
        audioTemp = recorder::audioTempPath();
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "tovamix-cli: %s\n", e.what());
        return 1;
    }
    // A recording that still runs is writing these files: it is not recovered under it.
    std::string busy;
    const auto lock = recorder::RecordingLock::acquire(&busy);
    if (!lock) return fail("cannot recover now: " + busy);
    // What the last recording said of itself, when it could.
    const auto manifest = recorder::readManifest();
    if (manifest) {
        const std::time_t started = std::time_t(manifest->startedMs / 1000);
        char when[64] = "?";
        if (std::tm tm{}; localtime_r(&started, &tm))
            std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
        std::fprintf(stderr,
                     "tovamix-cli: the last recording was started at %s by process %ld, %s, "
                     "%s%s\n",
                     when, long(manifest->pid), manifest->voice ? "with voice" : "without voice",
                     manifest->finished ? "stopped" : "not stopped (the program ended first)",
                     manifest->saved ? ", and saved" : "");
    }
    std::error_code ec;
    if (!std::filesystem::exists(videoTemp, ec)) {
        std::fprintf(stderr,
                     "tovamix-cli: there is no recording to recover: \"%s\" does not "
                     "exist\n",
                     videoTemp.c_str());
        return 1;
    }

    // The copies are made beside the temporary files, in the user's own folder.
    const std::string videoCopy = folder + "/VideoRecovered.avi";
    const std::string audioCopy = folder + "/AudioRecovered.avi";
    // Writing over a file the recovery reads would destroy the recording it saves.
    const auto target = std::filesystem::weakly_canonical(a.output, ec);
    for (const std::string& used : {videoTemp, audioTemp, videoCopy, audioCopy})
        if (!ec && target == std::filesystem::weakly_canonical(used, ec))
            return fail("\"" + a.output + "\" is a file the recovery reads; name another output");
    platform::vfw::RecoveredAvi video;
    std::string why;
    if (!platform::vfw::recoverAvi(videoTemp, videoCopy, &video, &why) || !video.hasVideo ||
        video.videoSamples == 0) {
        std::filesystem::remove(videoCopy, ec);
        std::fprintf(stderr, "tovamix-cli: cannot recover the video: %s\n",
                     why.empty() ? ("\"" + videoTemp + "\" holds no video").c_str() : why.c_str());
        return 1;
    }
    std::fprintf(stderr, "tovamix-cli: recovered %lld pictures (%.2f s) from \"%s\"\n",
                 static_cast<long long>(video.videoSamples), video.videoSeconds, videoTemp.c_str());

    bool voice = false;
    if (a.voice) {
        platform::vfw::RecoveredAvi sound;
        const std::string other = voiceOfAnotherRecording(manifest, videoTemp, audioTemp, video);
        if (!std::filesystem::exists(audioTemp, ec)) {
            std::fprintf(stderr, "tovamix-cli: no voice: \"%s\" does not exist\n",
                         audioTemp.c_str());
        } else if (!other.empty()) {
            std::fprintf(stderr, "tovamix-cli: no voice: \"%s\" %s\n", audioTemp.c_str(),
                         other.c_str());
        } else if (!platform::vfw::recoverAvi(audioTemp, audioCopy, &sound, &why,
                                              video.videoSeconds) ||
                   !sound.hasAudio) {
            std::fprintf(stderr, "tovamix-cli: no voice: %s\n",
                         sound.hasAudio || why.empty() ? why.c_str() : "it holds no sound");
        } else {
            voice = true;
            std::fprintf(stderr,
                         "tovamix-cli: recovered %.2f s of voice from \"%s\" (%.2f s of "
                         "silence added, for the sound the device had not yet delivered)\n",
                         sound.audioSeconds - sound.silenceSeconds, audioTemp.c_str(),
                         sound.silenceSeconds);
        }
    }

    if (!voice) std::filesystem::remove(audioCopy, ec);

    const auto app = coreApplication();
    if (mergeRecording(a.output, videoCopy, audioCopy, voice) != 0) return 1;
    std::filesystem::remove(videoCopy, ec);
    std::filesystem::remove(audioCopy, ec);
    std::printf("frames=%lld skipped=%lld seconds=%.2f output=%s\n",
                static_cast<long long>(video.videoSamples),
                static_cast<long long>(video.videoSkipped), video.videoSeconds, a.output.c_str());
    std::fflush(stdout);
    return 0;
}

} // namespace

CLI::App* addRecover(CLI::App& app, Run& run) {
    auto args = std::make_shared<RecoverArgs>();
    CLI::App* sub = app.add_subcommand(
        "recover", "Saves a screen recording that was interrupted before it was compressed.");
    sub->footer("Reads VideoTemp.avi (and, with --voice, AudioTemp.avi) as a killed or crashed\n"
                "recording left them in the folder tovamix-UID of the temporary folder ($TMPDIR\n"
                "or /tmp), and compresses them into OUTPUT.avi with the XviD and MP3 encoders.\n"
                "Prints frames=N skipped=N seconds=S output=OUTPUT.avi on standard output.");
    sub->add_flag("--voice", args->voice, "Join in the voice recorded beside the screen");
    sub->add_option("OUTPUT.avi", args->output, "The AVI file to write")->type_name("")->required();
    sub->callback([args, &run] { run = [args] { return recover(*args); }; });
    return sub;
}

} // namespace cli
