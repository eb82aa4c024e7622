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
#include "recorder/Recovery.h"
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

int recover(const RecoverArgs& a) {
    if (std::string why; !platform::vfw::checkWritable(a.output, &why))
        return fail("cannot write \"" + a.output + "\": " + why);
    std::string videoTemp, audioTemp;
    try {
        recorder::temporaryFolder();
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
    // Writing over a file the recovery reads would destroy the recording it saves.
    std::error_code ec;
    const std::string folder = std::filesystem::path(videoTemp).parent_path().string();
    const auto target = std::filesystem::weakly_canonical(a.output, ec);
    for (const std::string& used :
         {videoTemp, audioTemp, folder + "/VideoRecovered.avi", folder + "/AudioRecovered.avi"})
        if (!ec && target == std::filesystem::weakly_canonical(used, ec))
            return fail("\"" + a.output + "\" is a file the recovery reads; name another output");

    recorder::PreparedRecovery prepared;
    std::string why;
    const bool ok = recorder::prepareRecovery(a.voice, &prepared, &why);
    // What was found and done, a line each.
    for (size_t at = 0; at < prepared.notes.size();) {
        const size_t end = prepared.notes.find('\n', at);
        std::fprintf(stderr, "tovamix-cli: %s\n", prepared.notes.substr(at, end - at).c_str());
        at = end == std::string::npos ? prepared.notes.size() : end + 1;
    }
    if (!ok) {
        std::fprintf(stderr, "tovamix-cli: %s\n", why.c_str());
        return 1;
    }
    const auto app = coreApplication();
    if (mergeRecording(a.output, prepared.videoCopy, prepared.audioCopy, prepared.voice) != 0)
        return 1;
    prepared.removeCopies();
    if (auto manifest = recorder::readManifest()) {
        manifest->saved = true;
        recorder::writeManifest(*manifest);
    }
    std::printf("frames=%lld skipped=%lld seconds=%.2f output=%s\n",
                static_cast<long long>(prepared.video.videoSamples),
                static_cast<long long>(prepared.video.videoSkipped), prepared.video.videoSeconds,
                resultText(a.output).c_str());
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
