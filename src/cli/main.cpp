// tovamix-cli: the program's main jobs without windows, for scripts and batch work.
//
//   tovamix-cli record-screen [--seconds S] [--area X,Y,W,H | --select-area] [--interval MS]
//                             [--fps N] [--keyframes N] [--quality Q] [--final [--voice]]
//                             OUTPUT.avi
//   tovamix-cli devices
//
// The main thread plays the user-interface thread: it drains the default event queue (the
// recording worker's end handler arrives there) and message boxes go to standard error.
#include "platform/dshow/Devices.h"
#include "platform/screen/Screen.h"
#include "platform/vfw/OutputFile.h"
#include "recorder/RecordGraphs.h"
#include "recorder/TScreenCam.h"
#include "recorder/untCaptureArea.h"
#include "ui/Dialogs.h"
#include "ui/UiThread.h"

#include <QApplication>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int ExitBadUse = 2;
std::atomic<bool> interrupted{false};

void onSignal(int) {
    interrupted.store(true);
}

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: tovamix-cli record-screen [--seconds S] [--area X,Y,W,H | --select-area]\n"
                 "                                 [--interval MS] [--fps N] [--keyframes N]\n"
                 "                                 [--quality Q] [--final [--voice]] OUTPUT.avi\n"
                 "  Records the screen of $DISPLAY into an MS Video 1 AVI until S seconds have\n"
                 "  passed or SIGINT/SIGTERM arrives. Defaults: the whole screen, 100 ms per\n"
                 "  frame, 10 fps, a key frame every 5 frames, quality 6550 (0..10000).\n"
                 "  --select-area shows the screen frozen: click two corners of the rectangle\n"
                 "  to record (Escape cancels).\n"
                 "  --final records into VideoTemp.avi (and, with --voice, the first audio\n"
                 "  input into AudioTemp.avi) in the folder tovamix-UID of the temporary\n"
                 "  folder ($TMPDIR or /tmp), then compresses both into OUTPUT.avi with the\n"
                 "  XviD and MP3 encoders. OUTPUT.avi is not touched before it is written.\n"
                 "       tovamix-cli devices\n"
                 "  Lists the video and audio inputs and the video and audio compressors.\n");
}

int fail(const std::string& message) {
    std::fprintf(stderr, "tovamix-cli: %s\n", message.c_str());
    return ExitBadUse;
}

std::optional<long long> parseInt(const std::string& text, long long lo, long long hi) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno || *end || v < lo || v > hi) return std::nullopt;
    return v;
}

struct RecordArgs {
    std::optional<double> seconds;
    std::optional<recorder::Rect> area;
    bool selectArea = false;
    int interval = 100;
    int fps = 10;
    int keyframes = 5;
    int quality = 6550;
    bool final = false;
    bool voice = false;
    std::string output;
};

// Parses the options of record-screen; on a bad argument prints why and returns nullopt.
std::optional<RecordArgs> parseRecordArgs(const std::vector<std::string>& args) {
    RecordArgs r;
    auto bad = [](const std::string& m) {
        fail(m);
        return std::optional<RecordArgs>();
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](const char* what) -> std::optional<std::string> {
            if (i + 1 >= args.size()) return std::nullopt;
            (void)what;
            return args[++i];
        };
        auto intOption = [&](int& target, long long lo, long long hi) -> bool {
            auto v = value(a.c_str());
            auto n = v ? parseInt(*v, lo, hi) : std::nullopt;
            if (!n) {
                fail(a + " needs a whole number from " + std::to_string(lo) + " to " +
                     std::to_string(hi) + (v ? ", not \"" + *v + "\"" : ""));
                return false;
            }
            target = int(*n);
            return true;
        };
        if (a == "--seconds") {
            auto v = value("seconds");
            char* end = nullptr;
            const double s = v ? std::strtod(v->c_str(), &end) : -1;
            if (!v || *end || !(s > 0) || s > 1e7)
                return bad("--seconds needs a positive number of seconds");
            r.seconds = s;
        } else if (a == "--area") {
            auto v = value("area");
            int x, y, w, h;
            char tail;
            if (!v || std::sscanf(v->c_str(), "%d,%d,%d,%d%c", &x, &y, &w, &h, &tail) != 4)
                return bad("--area needs X,Y,W,H in screen pixels, for example 10,20,321,241");
            if (w <= 0 || h <= 0)
                return bad("--area " + *v + " is empty: width and height must be at least 1");
            r.area = recorder::Rect{x, y, w, h};
        } else if (a == "--select-area") {
            r.selectArea = true;
        } else if (a == "--interval") {
            if (!intOption(r.interval, 1, 60000)) return std::nullopt;
        } else if (a == "--fps") {
            if (!intOption(r.fps, 1, 1000)) return std::nullopt;
        } else if (a == "--keyframes") {
            if (!intOption(r.keyframes, 0, 100000)) return std::nullopt;
        } else if (a == "--quality") {
            if (!intOption(r.quality, 0, 10000)) return std::nullopt;
        } else if (a == "--final") {
            r.final = true;
        } else if (a == "--voice") {
            r.voice = true;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            std::exit(0);
        } else if (!a.empty() && a[0] == '-') {
            return bad("unknown option " + a);
        } else if (r.output.empty()) {
            r.output = a;
        } else {
            return bad("more than one output file: \"" + r.output + "\" and \"" + a + "\"");
        }
    }
    if (r.output.empty()) return bad("record-screen needs an OUTPUT.avi file name");
    if (r.area && r.selectArea) return bad("give either --area or --select-area, not both");
    if (r.voice && !r.final) return bad("--voice needs --final (the voice is joined in the merge)");
    return r;
}

// The Qt application the area selection and the media graphs' events need; made once.
QApplication* application() {
    static int argc = 1;
    static char name[] = "tovamix-cli";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return app;
}

// Runs the worker's posted end handlers and the media graphs' events until done() holds.
void runUntil(const std::function<bool()>& done) {
    auto& queue = ui::defaultEventQueue();
    while (!done()) {
        queue.processPending();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (!done()) queue.runUntil(done, std::chrono::milliseconds(10));
    }
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

// Compresses the temporary recordings into output, showing the progress on standard error.
// 0 on success; 1 (with the reason told) on failure, the temporary files kept. A failed merge
// removes output only when it had begun writing it; an output it never reached is untouched.
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

int recordScreen(const std::vector<std::string>& args) {
    auto parsed = parseRecordArgs(args);
    if (!parsed) {
        usage(stderr);
        return ExitBadUse;
    }
    RecordArgs& r = *parsed;

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
    std::string videoTemp, audioTemp;
    if (r.final) {
        try {
            videoTemp = recorder::videoTempPath();
            audioTemp = recorder::audioTempPath();
        } catch (const std::runtime_error& e) {
            std::fprintf(stderr, "tovamix-cli: %s\n", e.what());
            return 1;
        }
    }

    recorder::TScreenCam engine;
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
    // temporary voice file; both are merged into the output afterwards.
    std::unique_ptr<recorder::VoiceGraph> voice;
    recorder::InputLines lines;
    bool voiceRecorded = false;
    if (r.final) {
        application();
        if (r.voice) {
            voice = std::make_unique<recorder::VoiceGraph>();
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
    const std::string recordFile = r.final ? videoTemp : r.output;
    if (r.final) {
        std::error_code ec;
        std::filesystem::remove(recordFile, ec);
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    if (!engine.startRecording(area, recordFile)) {
        std::fprintf(stderr, "tovamix-cli: the screen engine is still busy; nothing recorded\n");
        return 1;
    }
    if (voice && voice->deviceBound()) {
        const media::HRESULT h = voice->record(audioTemp);
        voiceRecorded = media::SUCCEEDED(h);
        if (!voiceRecorded)
            std::fprintf(stderr, "tovamix-cli: the voice is not recorded: %s\n",
                         media::GraphErrorText(h).c_str());
    }
    // The recording time counts from the start of the frame loop, after the file is set up.
    auto due = [&] {
        if (interrupted.load() || !engine.hasWorker()) return true;
        return r.seconds && engine.frameLoopRunning() &&
               engine.recordedMilliseconds() >= *r.seconds * 1000.0;
    };
    runUntil(due);
    engine.stopRecording();
    if (voice && voiceRecorded) {
        const recorder::VoiceResult v = voice->stop();
        if (v.recorded)
            std::fprintf(stderr, "tovamix-cli: voice from \"%s\": %.2f s of sound in %.2f s\n",
                         v.device.c_str(), v.delivered, v.wallClock);
    } else if (voice) {
        voice->stop();
    }
    runUntil([&] { return !engine.hasWorker(); });

    auto summary = [&] {
        std::printf("frames=%lld skipped=%lld seconds=%.2f output=%s\n",
                    static_cast<long long>(engine.samplesWritten()),
                    static_cast<long long>(engine.positionsSkipped()),
                    engine.recordedMilliseconds() / 1000.0, r.output.c_str());
        std::fflush(stdout);
    };
    if (engine.lastResult() != 1) {
        summary();
        return 1;
    }
    if (!r.final) {
        summary();
        return 0;
    }
    return mergeRecording(r.output, videoTemp, audioTemp, voiceRecorded && lines.selected >= 0) == 0
               ? (summary(), 0)
               : 1;
}

} // namespace

// Lists what the program sees: each category with index, friendly name and display name.
int listDevices() {
    using namespace platform::dshow;
    const std::pair<const char*, const GUID*> categories[] = {
        {"Video inputs", &CLSID_VideoInputDeviceCategory},
        {"Audio inputs", &CLSID_AudioInputDeviceCategory},
        {"Video compressors", &CLSID_VideoCompressorCategory},
        {"Audio compressors", &CLSID_AudioCompressorCategory}};
    for (const auto& [title, category] : categories) {
        const auto entries = enumerateCategory(*category);
        std::printf("%s (%zu):\n", title, entries.size());
        for (size_t i = 0; i < entries.size(); ++i)
            std::printf("  %zu  %s  %s\n", i, entries[i].friendlyName.c_str(),
                        entries[i].displayName.c_str());
    }
    return 0;
}

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "-h" || args[0] == "--help") {
        usage(args.empty() ? stderr : stdout);
        return args.empty() ? ExitBadUse : 0;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "record-screen") return recordScreen(args);
    if (command == "devices") return listDevices();
    return fail("unknown command \"" + command + "\" (try --help)");
}
