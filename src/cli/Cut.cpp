// tovamix-cli cut: the player's cut without its window. The stretch [--from, --to] of INPUT
// goes through the timeline render into OUTPUT.avi (XviD video, MP3 sound), with progress on
// standard error; SIGINT (Ctrl+C) or SIGTERM stops the render as the player's Stop does, and the
// file holds what was written up to then. Prints one line once the file is closed:
//   frames=N seconds=S video=WxH@FPS|none audio=mp3|none stopped=0|1 output=OUTPUT.avi
#include "Cli.h"
#include "EditTools.h"
#include "NullRenderers.h"

#include "player/TimelineRender.h"
#include "platform/dshow/timeline/Timeline.h"
#include "platform/vfw/AviFile.h"
#include "platform/vfw/OutputFile.h"

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>

namespace cli {

namespace {

struct CutArgs {
    std::string input;
    double from = 0, to = 0;
    std::string output;
};

// The stretch's file as the player sees it: its length and the picture's size, from a graph
// that plays it into renderers that show nothing.
struct SourceFacts {
    int64_t duration = 0;
    long width = 0, height = 0;
};

// The size of the file's first video stream, from the detector's caps; 0 x 0 without one.
void pictureSize(const std::string& file, long* width, long* height) {
    auto det = createMediaDet();
    long count = 0;
    if (!det || FAILED(det->put_Filename(file)) || FAILED(det->get_OutputStreams(&count))) return;
    for (long i = 0; i < count; ++i) {
        GUID type = GUID_NULL;
        std::string caps;
        if (FAILED(det->put_CurrentStream(i)) || FAILED(det->get_StreamType(&type)) ||
            type != MEDIATYPE_Video || FAILED(det->get_StreamCaps(&caps)))
            continue;
        std::smatch w, h;
        if (std::regex_search(caps, w, std::regex("width=\\(int\\)(\\d+)")) &&
            std::regex_search(caps, h, std::regex("height=\\(int\\)(\\d+)"))) {
            *width = std::stol(w[1]);
            *height = std::stol(h[1]);
            return;
        }
    }
}

bool readSource(const std::string& file, SourceFacts* facts, std::string* why) {
    media::TFilterGraph graph;
    NullRendererProvider video(MEDIATYPE_Video, "Null Video Renderer");
    NullRendererProvider sound(MEDIATYPE_Audio, "Null Audio Renderer");
    graph.attachProvider(&video);
    graph.attachProvider(&sound);
    bool ok = true;
    try {
        graph.setActive(true);
        graph.RenderFile(file);
        if (auto seeking = graph.query<IMediaSeeking>()) seeking->GetDuration(&facts->duration);
        if (auto basic = graph.query<IBasicVideo>())
            basic->GetVideoSize(&facts->width, &facts->height);
    } catch (const std::exception& e) {
        *why = e.what();
        ok = false;
    }
    graph.setActive(false);
    graph.detachProvider(&video);
    graph.detachProvider(&sound);
    // A renderer that shows nothing learns no picture size: the detector reads it.
    if (ok && facts->width <= 0) pictureSize(file, &facts->width, &facts->height);
    if (ok && facts->duration <= 0) {
        *why = "its length is unknown";
        ok = false;
    }
    return ok;
}

int cut(const CutArgs& a) {
    std::string why;
    std::error_code ec;
    if (std::filesystem::exists(a.output, ec) && std::filesystem::equivalent(a.input, a.output, ec))
        return fail("the output " + a.output + " is the input: choose another name");
    if (!platform::vfw::checkWritable(a.output, &why))
        return fail("cannot write " + a.output + ": " + why);
    const auto app = coreApplication();
    SourceFacts source;
    if (!readSource(a.input, &source, &why)) return fail("cannot play " + a.input + ": " + why);

    // The player's marks, in 100-ns units; a stop past the end cuts to the end.
    const int64_t start = std::llround(a.from * 1e7);
    const int64_t stop = std::min<int64_t>(std::llround(a.to * 1e7), source.duration);
    if (start >= stop)
        return fail("--from " + secondsText(start) + " is at or past the end of " + a.input +
                    " (duration " + secondsText(source.duration) + " s)");

    player::TExportRequest request;
    request.detectionFile = a.input;
    request.videoWidth = source.width;
    request.videoHeight = source.height;
    request.clips.push_back({a.input, 0, stop - start, start, stop, 0});
    request.outputFile = a.output;
    request.videoEncoderRule = player::playerVideoEncoderRule;

    long completionCode = 1;
    auto lastReport = std::chrono::steady_clock::time_point{}; // the first reading is shown
    int lastPercent = -1;
    player::TRenderHooks hooks;
    hooks.started = [](int64_t duration) {
        std::fprintf(stderr, "cutting %s s\n", secondsText(duration).c_str());
    };
    hooks.progress = [&](int64_t position, int64_t duration) {
        const int percent = player::progressValue(position, duration, 100);
        const auto now = std::chrono::steady_clock::now();
        if (percent != lastPercent && now - lastReport >= std::chrono::milliseconds(500)) {
            std::fprintf(stderr, "progress %d%%\n", percent);
            lastPercent = percent;
            lastReport = now;
        }
    };
    hooks.processEvents = [&completionCode] {
        QCoreApplication::processEvents();
        // Ctrl+C (or a SIGTERM) acts as the player's Stop.
        if (StopSignals::stopRequested()) completionCode = 1;
    };
    const StopSignals stopSignals;

    player::TRenderResult result;
    try {
        result = player::renderTimeline(request, completionCode, hooks);
    } catch (const player::ERenderRefused& e) {
        std::fprintf(stderr, "tovamix-cli: cannot cut %s: %s\n", a.input.c_str(), e.what());
        return 1;
    }
    if (FAILED(result.error)) {
        std::fprintf(stderr, "tovamix-cli: the cut of %s failed: %s\n", a.input.c_str(),
                     player::renderErrorText(result).c_str());
        return 1;
    }
    if (result.nothingWritten) {
        std::fprintf(stderr, "tovamix-cli: the cut of %s %s\n", a.input.c_str(),
                     player::stoppedBeforeDataText(result).c_str());
        return 1;
    }
    if (result.stalledAt >= 0)
        std::fprintf(stderr, "tovamix-cli: the cut of %s %s\n", a.input.c_str(),
                     player::stallText(result.stalledAt).c_str());

    platform::vfw::AviSummary summary;
    if (!readBack(a.output, &summary)) return 1;
    char video[64] = "none";
    if (summary.hasVideo) {
        const double fps = summary.rateDen ? double(summary.rateNum) / summary.rateDen : 0;
        std::snprintf(video, sizeof video, "%dx%d@%g", summary.width, summary.height, fps);
    }
    const char* audio = !summary.hasAudio ? "none" : summary.audioTag == 0x55 ? "mp3" : "other";
    std::printf("frames=%lld seconds=%.3f video=%s audio=%s stopped=%d output=%s\n",
                static_cast<long long>(summary.videoFrames), summary.seconds, video, audio,
                result.stopped ? 1 : 0, resultText(a.output).c_str());
    return result.stalledAt >= 0 ? 1 : 0;
}

} // namespace

CLI::App* addCut(CLI::App& app, Run& run) {
    auto args = std::make_shared<CutArgs>();
    CutArgs& g = *args;
    CLI::App* sub = app.add_subcommand(
        "cut", "Writes a stretch of a media file as a new AVI (XviD video, MP3 sound).");
    sub->footer("Prints frames=N seconds=S video=WxH@FPS|none audio=mp3|none stopped=0|1\n"
                "output=OUTPUT.avi once the file is closed; progress goes to standard error.\n"
                "Ctrl+C stops the cut and keeps what was written. A --to past the end cuts to\n"
                "the end.");
    sub->add_option("INPUT", g.input, "The media file to cut")->required()->type_name("");
    sub->add_option_function<std::string>(
           "--from", [&g](const std::string& v) { g.from = parseSeconds(v, "--from"); },
           "The start of the stretch, in seconds")
        ->required()
        ->type_name("S");
    sub->add_option_function<std::string>(
           "--to", [&g](const std::string& v) { g.to = parseSeconds(v, "--to"); },
           "The end of the stretch, in seconds")
        ->required()
        ->type_name("S");
    sub->add_option("OUTPUT.avi", g.output, "The AVI file to write")->required()->type_name("");
    sub->callback([args, &run] {
        if (args->to <= args->from) throw CLI::ValidationError("--to must come after --from");
        run = [args] { return cut(*args); };
    });
    return sub;
}

} // namespace cli
