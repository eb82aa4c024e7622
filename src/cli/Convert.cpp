// tovamix-cli convert: the convert window's job without its window. IN (any file GStreamer
// reads) goes through the timeline render into OUT.avi: XviD video at the source's frame rate
// and the given size (else the source's), MP3 sound. Progress goes to standard error; Ctrl+C
// stops as the window's Stop does. Prints once the file is closed:
//   video=<0|1> audio=<0|1> size=<W>x<H> seconds=<output length> output=<OUT>
#include "EditTools.h"

#include "avi/ConvertJob.h"
#include "platform/vfw/AviFile.h"

#include <filesystem>
#include <memory>
#include <regex>

namespace cli {

namespace {

struct ConvertArgs {
    std::string input, output, size;
    std::string width, height; // from --size
};

int convert(const ConvertArgs& a) {
    const auto app = coreApplication();
    StopSignals stopSignals;
    avi::TConvertJob job;
    player::TRenderHooks hooks = progressHooks("converting", job.CompletionCode);
    const tools::JobResult r = job.convert(a.input, a.output, a.width, a.height, hooks);
    if (r.outcome == tools::Outcome::Refused || r.outcome == tools::Outcome::Failed) {
        std::fprintf(stderr, "tovamix-cli: %s\n", r.error.c_str());
        return 1;
    }
    // Stopped before anything was written: there is no file to read back, and the reason says so.
    if (r.outcome == tools::Outcome::Stopped && !r.error.empty() &&
        !std::filesystem::exists(a.output)) {
        std::fprintf(stderr, "tovamix-cli: %s\n", r.error.c_str());
        return 1;
    }
    platform::vfw::AviSummary s;
    if (!readBack(a.output, &s)) return 1;
    std::printf("video=%d audio=%d size=%dx%d seconds=%.3f output=%s\n", s.hasVideo ? 1 : 0,
                s.hasAudio ? 1 : 0, s.width, s.height, s.seconds, resultText(a.output).c_str());
    if (r.outcome == tools::Outcome::Stopped) {
        if (!r.error.empty())
            std::fprintf(stderr, "tovamix-cli: %s\n", r.error.c_str());
        else
            std::fprintf(stderr, "tovamix-cli: the conversion was stopped; the output holds "
                                 "what was written\n");
        return 1;
    }
    return 0;
}

} // namespace

CLI::App* addConvert(CLI::App& app, Run& run) {
    auto args = std::make_shared<ConvertArgs>();
    CLI::App* sub =
        app.add_subcommand("convert", "Converts a media file into an AVI (XviD video, MP3 sound).");
    sub->footer("Prints video=0|1 audio=0|1 size=WxH seconds=S output=OUT.avi once the file is\n"
                "closed; progress goes to standard error. Ctrl+C stops the conversion as the\n"
                "window's Stop does and keeps what was written (exit code 1).");
    sub->add_option("IN", args->input, "The media file to convert")->required()->type_name("");
    sub->add_option("--size", args->size,
                    "The output picture size, 1..8190 each (default: "
                    "the source's)")
        ->type_name("WxH");
    sub->add_option("OUT.avi", args->output, "The AVI file to write")->required()->type_name("");
    sub->callback([args, &run] {
        if (!args->size.empty()) {
            std::smatch m;
            if (!std::regex_match(args->size, m, std::regex("(\\d{1,5})x(\\d{1,5})")) ||
                !avi::frameSide(m[1]) || !avi::frameSide(m[2]))
                throw CLI::ValidationError("--size", "\"" + args->size +
                                                         "\" is not WxH with each side 1..8190");
            args->width = m[1];
            args->height = m[2];
        }
        run = [args] { return convert(*args); };
    });
    return sub;
}

} // namespace cli
