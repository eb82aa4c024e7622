// tovamix-cli record-screen: records the screen of $DISPLAY into an MS Video 1 AVI, or with
// --final the way the Record Screen window does: into the temporary files first (with
// --voice also the first audio input), then compressed into OUTPUT with XviD and MP3.
// Prints one summary line on standard output:
//   frames=<samples stored> skipped=<positions left empty> seconds=<recording time> output=<path>
#include "Cli.h"
#include "EditTools.h"

#include "platform/screen/Screen.h"
#include "platform/vfw/OutputFile.h"
#include "recorder/RecordGraphs.h"
#include "recorder/RecordingSession.h"
#include "recorder/TScreenCam.h"
#include "recorder/untCaptureArea.h"
#include "ui/UiThread.h"

#include <QApplication>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace cli {

namespace {

using recorder::TScreenCam;

struct RecordArgs {
    std::optional<double> seconds;
    std::optional<recorder::Rect> area;
    bool selectArea = false;
    int interval = TScreenCam::DefaultRecordInterval;
    int fps = TScreenCam::DefaultPlaybackRate;
    int keyframes = TScreenCam::DefaultKeyFrameInterval;
    int quality = TScreenCam::DefaultQuality;
    bool final = false;
    bool voice = false;
    bool merge = false; // compress after the stop, from the temporary files
    std::string output;
};

std::optional<long long> parseInt(const std::string& text, long long lo, long long hi) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno || *end || v < lo || v > hi) return std::nullopt;
    return v;
}

// A whole-number option with its range; a value outside it is a bad use that says the range.
void addIntOption(CLI::App* sub, const std::string& name, int& target, long long lo, long long hi,
                  const std::string& unit, const std::string& description) {
    sub->add_option_function<std::string>(
           name,
           [&target, name, lo, hi](const std::string& v) {
               const auto n = parseInt(v, lo, hi);
               if (!n)
                   throw CLI::ValidationError(name + " needs a whole number from " +
                                              std::to_string(lo) + " to " + std::to_string(hi) +
                                              ", not \"" + v + "\"");
               target = int(*n);
           },
           description + " (default " + std::to_string(target) + ")")
        ->type_name(unit);
}

// Lets the user click out the rectangle on the frozen screen; false when cancelled.
bool selectArea() {
    QApplication* app = application();
    bool chosen = false;
    recorder::TFrmCaptureArea::instance().Open({}, {}, [&](bool ok) {
        chosen = ok;
        QApplication::quit();
    });
    std::fprintf(stderr, "tovamix-cli: click two corners of the rectangle to record (Escape "
                         "cancels)\n");
    app->exec();
    return chosen;
}

int recordScreen(const RecordArgs& r) {
    std::string error;
    auto screen = platform::screen::ScreenConnection::open(&error);
    if (!screen) return fail(error);
    const auto m = screen->metrics();
    screen.reset();
    if (r.area && (r.area->x < 0 || r.area->y < 0 || r.area->x + r.area->w > m.width ||
                   r.area->y + r.area->h > m.height))
        return fail("--area " + std::to_string(r.area->x) + "," + std::to_string(r.area->y) + "," +
                    std::to_string(r.area->w) + "," + std::to_string(r.area->h) +
                    " does not lie within the " + std::to_string(m.width) + "x" +
                    std::to_string(m.height) + " screen");
    // Checked without touching OUTPUT: an existing file keeps its bytes until the recording
    // (or, with --final, the merge) really writes it.
    if (std::string why; !platform::vfw::checkWritable(r.output, &why))
        return fail("cannot write \"" + r.output + "\": " + why);
    TScreenCam engine;
    engine.recordInterval = r.interval;
    engine.playbackRate = r.fps;
    engine.keyFrameInterval = r.keyframes;
    engine.quality = r.quality;
    recorder::FixedCaptureArea fixedArea(r.area.value_or(recorder::Rect{}));
    recorder::CaptureAreaSource* area = &fixedArea;
    engine.areaFlag = r.area.has_value();
    if (r.selectArea) {
        if (!selectArea()) {
            std::fprintf(stderr, "tovamix-cli: no rectangle chosen; nothing recorded\n");
            return 1;
        }
        area = &recorder::TFrmCaptureArea::instance();
        engine.areaFlag = true;
    }

    // With --final the engine writes the temporary video file and the voice graph the
    // temporary voice file, both compressed while recording into the final form; the merge of
    // the temporary files is the fall-back.
    std::unique_ptr<recorder::VoiceGraph> voice;
    std::unique_ptr<recorder::RecordingSession> session;
    recorder::InputLines lines;
    if (r.final) {
        application();
        voice = std::make_unique<recorder::VoiceGraph>();
        session = std::make_unique<recorder::RecordingSession>(engine, *voice);
        // The folder of temporary recordings must be the user's own (else exit code 1, as a
        // failure on the way), and one recording at a time uses it (else a bad use, 2).
        try {
            recorder::temporaryFolder();
        } catch (const std::runtime_error& e) {
            std::fprintf(stderr, "tovamix-cli: %s\n", e.what());
            return 1;
        }
        if (std::string busy; !session->lock(&busy)) return fail(busy);
        if (r.voice) {
            std::string why;
            if (!voice->bindDevice(&lines, &why)) {
                std::fprintf(stderr, "tovamix-cli: no voice: %s\n", why.c_str());
            } else {
                voice->FilterGraph.setActive(true);
                if (!voice->prepare(&lines, {}, &why) && !why.empty())
                    std::fprintf(stderr, "tovamix-cli: no voice: %s\n", why.c_str());
            }
        }
    }

    // SIGINT and SIGTERM stop the recording (and are given back their handlers at the end).
    StopSignals stopSignals;
    if (session) {
        std::string why;
        recorder::RecordingSession::Options options;
        options.area = area;
        options.voice = r.voice && voice->deviceBound();
        options.joinVoice = lines.selected >= 0;
        options.live = !r.merge;
        options.whileWaiting = [] {
            auto& queue = ui::defaultEventQueue();
            queue.processPending();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            queue.runUntil([] { return false; }, std::chrono::milliseconds(2));
        };
        if (!session->start(options, &why)) {
            std::fprintf(stderr, "tovamix-cli: %s; nothing recorded\n", why.c_str());
            return 1;
        }
    } else if (!engine.startRecording(area, r.output)) {
        std::fprintf(stderr, "tovamix-cli: the screen engine is still busy; nothing recorded\n");
        return 1;
    }
    // The recording time counts from the start of the frame loop, after the file is set up.
    auto due = [&] {
        if (StopSignals::stopRequested() || !engine.hasWorker()) return true;
        return r.seconds && engine.frameLoopRunning() &&
               engine.recordedMilliseconds() >= *r.seconds * 1000.0;
    };
    runUntil(due);
    const auto stopped = std::chrono::steady_clock::now();
    if (session) {
        const recorder::VoiceResult v = session->stop();
        if (v.recorded)
            std::fprintf(stderr, "tovamix-cli: voice from \"%s\": %.2f s of sound in %.2f s\n",
                         v.device.c_str(), v.delivered, v.wallClock);
    } else {
        engine.stopRecording();
    }
    runUntil([&] { return !engine.hasWorker(); });

    auto summary = [&] {
        std::printf("frames=%lld skipped=%lld seconds=%.2f output=%s\n",
                    static_cast<long long>(engine.samplesWritten()),
                    static_cast<long long>(engine.positionsSkipped()),
                    engine.recordedMilliseconds() / 1000.0, resultText(r.output).c_str());
        std::fflush(stdout);
    };
    if (engine.lastResult() != 1) {
        summary();
        return 1;
    }
    if (!r.final) {
        // The file must still be there: a folder removed while recording takes it along.
        if (std::error_code ec; !std::filesystem::is_regular_file(r.output, ec) ||
                                !platform::vfw::aviFileHasSamples(r.output)) {
            std::fprintf(stderr,
                         "tovamix-cli: the recording \"%s\" is gone or unreadable (was "
                         "its folder removed while recording?)\n",
                         resultText(r.output).c_str());
            return 1;
        }
        summary();
        return 0;
    }
    std::string why;
    if (session->finishLive(r.output, lines.selected >= 0, {}, &why)) {
        std::fprintf(stderr, "tovamix-cli: compressed while recording into %s (%s)\n",
                     r.output.c_str(),
                     session->voiceRecorded() && lines.selected >= 0 ? "XviD video, MP3 voice"
                                                                     : "XviD video, no voice");
    } else {
        if (!r.merge)
            std::fprintf(stderr, "tovamix-cli: %s; compressing the temporary files instead\n",
                         why.c_str());
        if (mergeRecording(r.output, session->videoFile(), session->audioFile(),
                           session->voiceRecorded() && lines.selected >= 0) != 0)
            return 1;
    }
    session->saved();
    std::fprintf(stderr, "tovamix-cli: saved %.2f s after the stop\n",
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count());
    summary();
    return 0;
}

// The rules between the options and the words that are no option, checked once all are read.
void checkRecordArgs(const RecordArgs& r, const std::vector<std::string>& extras) {
    for (const std::string& a : extras) {
        if (!a.empty() && a[0] == '-') throw CLI::ValidationError("unknown option " + a);
        throw CLI::ValidationError("more than one output file: \"" + r.output + "\" and \"" + a +
                                   "\"");
    }
    if (r.output.empty()) throw CLI::ValidationError("record-screen needs an OUTPUT.avi file name");
    if (r.area && r.selectArea)
        throw CLI::ValidationError("give either --area or --select-area, not both");
    if (r.voice && !r.final)
        throw CLI::ValidationError("--voice needs --final (the voice is joined in the merge)");
    if (r.merge && !r.final) throw CLI::ValidationError("--merge needs --final");
}

} // namespace

int mergeRecording(const std::string& output, const std::string& video, const std::string& audio,
                   bool withVoice) {
    recorder::MergeGraph merge;
    auto removeBroken = [&] {
        std::error_code ec;
        if (merge.targetWritten()) std::filesystem::remove(output, ec);
    };
    const bool voice = withVoice && recorder::voiceFileUsable(audio);
    bool ended = false;
    std::string failure;
    merge.onComplete = [&] { ended = true; };
    merge.onFailed = [&](const std::string& why) {
        failure = why;
        ended = true;
    };
    auto kept = [&] {
        return "; the recordings are kept in \"" + video + "\"" +
               (voice ? " and \"" + audio + "\"" : std::string());
    };
    std::string why;
    if (!merge.start(video, voice ? audio : "", output, &why)) {
        removeBroken();
        std::fprintf(stderr, "tovamix-cli: cannot compress into \"%s\": %s%s\n", output.c_str(),
                     why.c_str(), kept().c_str());
        return 1;
    }
    const bool terminal = isatty(STDERR_FILENO);
    int shown = -1;
    const auto started = std::chrono::steady_clock::now();
    auto nextLine = started;
    while (!ended) {
        runUntil([&] { return ended || std::chrono::steady_clock::now() >= nextLine; });
        nextLine += std::chrono::milliseconds(500);
        const int percent = int(merge.progress() * 100);
        if (!ended && percent != shown) {
            std::fprintf(stderr,
                         terminal ? "\rtovamix-cli: compressing data... %3d%%"
                                  : "tovamix-cli: compressing data... %d%%\n",
                         percent);
            shown = percent;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!failure.empty()) {
        removeBroken();
        std::fprintf(stderr, "%stovamix-cli: compressing into \"%s\" failed: %s%s\n",
                     terminal ? "\n" : "", output.c_str(), failure.c_str(), kept().c_str());
        return 1;
    }
    std::fprintf(stderr, "%stovamix-cli: compressed into %s in %.1f s (%s)\n",
                 terminal ? "\rtovamix-cli: compressing data... 100%\n" : "", output.c_str(),
                 seconds, voice ? "XviD video, MP3 voice" : "XviD video, no voice");
    return 0;
}

CLI::App* addRecordScreen(CLI::App& app, Run& run) {
    auto args = std::make_shared<RecordArgs>();
    RecordArgs& r = *args;
    CLI::App* sub = app.add_subcommand("record-screen",
                                       "Records the screen of $DISPLAY into an MS Video 1 AVI.");
    sub->footer("Records until S seconds have passed or SIGINT/SIGTERM arrives, then prints\n"
                "frames=N skipped=N seconds=S output=OUTPUT.avi on standard output.\n"
                "--final records into VideoTemp.avi (and, with --voice, the first audio input\n"
                "into AudioTemp.avi) in the folder tovamix-UID of the temporary folder ($TMPDIR\n"
                "or /tmp), then compresses both into OUTPUT.avi with the XviD and MP3 encoders.\n"
                "OUTPUT.avi is not touched before it is written.");
    // Unknown options and a second file name are reported in the words of checkRecordArgs().
    sub->allow_extras();
    sub->add_option_function<std::string>(
           "--seconds",
           [&r](const std::string& v) {
               char* end = nullptr;
               const double s = std::strtod(v.c_str(), &end);
               if (*end || !(s > 0) || s > 1e7)
                   throw CLI::ValidationError("--seconds needs a positive number of seconds");
               r.seconds = s;
           },
           "Stop after S seconds (default: at SIGINT or SIGTERM)")
        ->type_name("S");
    sub->add_option_function<std::string>(
           "--area",
           [&r](const std::string& v) {
               int x, y, w, h;
               char tail;
               if (std::sscanf(v.c_str(), "%d,%d,%d,%d%c", &x, &y, &w, &h, &tail) != 4)
                   throw CLI::ValidationError(
                       "--area needs X,Y,W,H in screen pixels, for example 10,20,321,241");
               if (w <= 0 || h <= 0)
                   throw CLI::ValidationError("--area " + v +
                                              " is empty: width and height must be at least 1");
               r.area = recorder::Rect{x, y, w, h};
           },
           "Record this rectangle of the screen (default: the whole screen)")
        ->type_name("X,Y,W,H");
    sub->add_flag("--select-area", r.selectArea,
                  "Click two corners of the rectangle on the frozen screen (Escape cancels)");
    addIntOption(sub, "--interval", r.interval, 1, 60000, "MS", "Milliseconds per frame");
    addIntOption(sub, "--fps", r.fps, 1, 1000, "N", "Frames per second in the file");
    addIntOption(sub, "--keyframes", r.keyframes, 0, 100000, "N", "A key frame every N frames");
    addIntOption(sub, "--quality", r.quality, 0, 10000, "Q", "Compressor quality, 0..10000");
    sub->add_flag("--final", r.final,
                  "Record into temporary files, then compress them into OUTPUT.avi (XviD, MP3)");
    sub->add_flag("--voice", r.voice, "With --final: record the first audio input beside it");
    sub->add_flag("--merge", r.merge,
                  "With --final: compress after the stop, from the temporary files, instead of "
                  "while recording");
    sub->add_option("OUTPUT.avi", r.output, "The AVI file to write")->type_name("");
    sub->callback([sub, args, &run] {
        checkRecordArgs(*args, sub->remaining());
        run = [args] { return recordScreen(*args); };
    });
    return sub;
}

} // namespace cli
