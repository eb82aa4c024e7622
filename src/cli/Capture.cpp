// tovamix-cli capture-video and capture-audio: what the capture windows record, without a
// preview. A device is its index in `tovamix-cli devices` or its friendly name.
//   capture-video --device N|NAME [--format N|WxH@FPS] [--voice [--line NAME]] --seconds S OUT.avi
//     frames=<pictures written> empty=<empty frame slots> voice=<seconds of sound>
//     seconds=<seconds the file holds> output=<path>
//   capture-video --device N|NAME --list-formats          N  <format> lines
//   capture-audio --device N|NAME [--line NAME] --seconds S OUT.avi
//     seconds=<seconds of sound written> line=<line, or -> output=<path>
// SIGINT or SIGTERM ends a recording early with a whole file. A device that is busy or lost
// ends the job with exit 1; what was recorded before is kept, finished and summarised.
#include "Cli.h"

#include "capture/CaptureGraphs.h"
#include "platform/vfw/OutputFile.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cli {

namespace {

std::atomic<bool> interrupted{false};

void onSignal(int) {
    interrupted.store(true);
}

struct CaptureArgs {
    std::string device;
    std::string format;
    bool listFormats = false;
    bool voice = false;
    std::optional<std::string> line;
    std::optional<double> seconds;
    std::string output;
};

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i)
        out += "\n  " + std::to_string(i) + "  " + names[i];
    return out.empty() ? " none" : out;
}

// The index of a device of the category, or the bad-use exit with the valid ones listed.
std::optional<int> chooseDevice(const media::GUID& category, const std::string& device,
                                const char* what, int* exitCode) {
    std::vector<std::string> names;
    const int i = capture::findDevice(category, device, &names);
    if (i >= 0) return i;
    *exitCode = fail("no " + std::string(what) + " \"" + device + "\"; the " + what +
                     "s are:" + joined(names));
    return std::nullopt;
}

// The format index a --format value names: an index, or WxH@FPS; -1 for none.
int chooseFormat(const std::vector<std::string>& formats, const std::string& wanted) {
    int w = 0, h = 0, fps = 0;
    char tail;
    if (std::sscanf(wanted.c_str(), "%dx%d@%d%c", &w, &h, &fps, &tail) == 3) {
        const std::string size = " " + std::to_string(w) + " x " + std::to_string(h) + " ";
        const std::string rate = " " + std::to_string(fps) + " fps";
        for (size_t i = 0; i < formats.size(); ++i) {
            const std::string& f = formats[i];
            if (f.find(size) != std::string::npos && f.size() >= rate.size() &&
                f.compare(f.size() - rate.size(), rate.size(), rate) == 0)
                return int(i);
        }
        return -1;
    }
    char* end = nullptr;
    const long i = std::strtol(wanted.c_str(), &end, 10);
    if (wanted.empty() || *end || i < 0 || i >= long(formats.size())) return -1;
    return int(i);
}

using StreamControls = std::vector<std::shared_ptr<media::IAMStreamControl>>;

// The stream controls of the devices a recording reads (their output pins).
StreamControls streamControls(std::initializer_list<media::TFilter*> devices) {
    StreamControls out;
    for (media::TFilter* f : devices) {
        const media::FilterPtr device = f->GetFilter();
        if (!device) continue;
        for (const media::PinPtr& pin : device->pins())
            if (pin->direction() == media::PINDIR_OUTPUT)
                if (auto control = media::queryInterface<media::IAMStreamControl>(pin)) {
                    out.push_back(control);
                    break;
                }
    }
    return out;
}

// How long past the seconds a device that has not delivered up to them is waited for.
constexpr double LateDeviceSeconds = 3;

// Waits for the seconds, a signal or the end of the recording (an error). With seconds, every
// device ends its stream at that running time of the graph, so the file holds that much
// picture and sound whenever the stop itself comes: this wait counts from after the start, and
// the end of stream reaches each device only once its streaming thread lets it through. The
// wait lasts until each device has delivered up to the stop time. A signal or an error before
// then ends the streams where they are.
void waitRecording(capture::CaptureGraphBase& graph, std::optional<double> seconds,
                   const StreamControls& controls) {
    const auto started = std::chrono::steady_clock::now();
    const int64_t stopTime = seconds ? int64_t(std::llround(*seconds * 1e7)) : -1;
    std::vector<bool> armed(controls.size(), false);
    // A sound device takes its stop time only once the graph runs: asked again until it does.
    auto arm = [&] {
        bool all = true;
        for (size_t i = 0; i < controls.size(); ++i) {
            if (!armed[i]) armed[i] = media::SUCCEEDED(controls[i]->StopAt(&stopTime));
            all = all && armed[i];
        }
        return all;
    };
    runUntil([&] {
        if (interrupted.load() || !graph.recording()) return true;
        if (!seconds) return false;
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (controls.empty() || !arm()) return elapsed >= *seconds;
        const bool reached = std::all_of(controls.begin(), controls.end(), [](const auto& c) {
            return c->WaitForStop(0) == media::S_OK;
        });
        return reached || elapsed >= *seconds + LateDeviceSeconds;
    });
}

// Tells an error that ended the recording, or that nothing was kept; the exit code.
int finish(const capture::CaptureResult& r, const std::string& output, const std::string& device) {
    if (!r.error.empty())
        std::fprintf(stderr, "tovamix-cli: recording from \"%s\" failed: %s\n", device.c_str(),
                     r.error.c_str());
    if (!r.fileKept)
        std::fprintf(stderr, "tovamix-cli: nothing was recorded; \"%s\" is not kept\n",
                     output.c_str());
    return r.error.empty() && r.fileKept ? 0 : 1;
}

// From the start of the job: an interruption while the devices open still ends it (a job
// started in the background of a shell would otherwise ignore it until then).
void catchSignals() {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}

int captureVideo(const CaptureArgs& a) {
    catchSignals();
    const auto app = coreApplication();
    int code = 0;
    const auto device =
        chooseDevice(media::CLSID_VideoInputDeviceCategory, a.device, "video input", &code);
    if (!device) return code;
    capture::VideoCaptureGraph graph;
    std::string why;
    if (!graph.bindVideoDevice(*device, &why)) {
        std::fprintf(stderr, "tovamix-cli: %s\n", why.c_str());
        return 1;
    }
    const std::vector<std::string> formats = graph.formats();
    if (a.listFormats) {
        for (size_t i = 0; i < formats.size(); ++i)
            std::printf("%zu  %s\n", i, formats[i].c_str());
        return 0;
    }
    if (!a.format.empty()) {
        const int f = chooseFormat(formats, a.format);
        if (f < 0 || !graph.setFormat(f))
            return fail("\"" + graph.videoDeviceName() + "\" has no format \"" + a.format +
                        "\"; its formats are:" + joined(formats));
    }
    if (std::string w; !platform::vfw::checkWritable(a.output, &w))
        return fail("cannot write \"" + a.output + "\": " + w);
    if (a.voice) {
        // The voice comes from the first audio input, as in the video capture window.
        std::vector<std::string> names;
        if (capture::findDevice(media::CLSID_AudioInputDeviceCategory, "0", &names) < 0)
            return fail("--voice: no audio input device is installed");
        if (!graph.bindAudioDevice(0, nullptr, &why)) {
            std::fprintf(stderr, "tovamix-cli: no voice: %s\n", why.c_str());
            return 1;
        }
    }
    if (interrupted.load()) return 1;
    if (!graph.record(a.output, a.voice, a.line.value_or(""), nullptr, nullptr, &why)) {
        std::fprintf(stderr, "tovamix-cli: cannot record from \"%s\": %s\n",
                     graph.videoDeviceName().c_str(), why.c_str());
        std::fprintf(stderr, "tovamix-cli: nothing was recorded\n");
        return 1;
    }
    capture::CaptureResult result;
    graph.onFailed = [&](const capture::CaptureResult& r) { result = r; };
    waitRecording(graph, a.seconds,
                  a.voice ? streamControls({&graph.VideoFilter, &graph.AudioFilter})
                          : streamControls({&graph.VideoFilter}));
    if (graph.recording()) result = graph.stop();
    // The seconds the file holds: its longer stream.
    if (result.fileKept)
        std::printf("frames=%lld empty=%lld voice=%.2f seconds=%.2f output=%s\n",
                    static_cast<long long>(result.pictures),
                    static_cast<long long>(result.emptyFrames), result.voiceSeconds,
                    std::max(result.videoSeconds, result.voiceSeconds),
                    resultText(a.output).c_str());
    std::fflush(stdout);
    return finish(result, a.output, graph.videoDeviceName());
}

int captureAudio(const CaptureArgs& a) {
    catchSignals();
    const auto app = coreApplication();
    int code = 0;
    const auto device =
        chooseDevice(media::CLSID_AudioInputDeviceCategory, a.device, "audio input", &code);
    if (!device) return code;
    capture::AudioCaptureGraph graph;
    std::string why;
    recorder::InputLines lines;
    if (!graph.bindAudioDevice(*device, &lines, &why)) {
        std::fprintf(stderr, "tovamix-cli: %s\n", why.c_str());
        return 1;
    }
    if (a.line && std::find(lines.names.begin(), lines.names.end(), *a.line) == lines.names.end())
        return fail("\"" + graph.audioDeviceName() + "\" has no input line \"" + *a.line +
                    "\"; its lines are:" + joined(lines.names));
    if (std::string w; !platform::vfw::checkWritable(a.output, &w))
        return fail("cannot write \"" + a.output + "\": " + w);
    if (interrupted.load()) return 1;
    if (!graph.record(a.output, a.line.value_or(""), &lines, &why)) {
        std::fprintf(stderr, "tovamix-cli: cannot record from \"%s\": %s\n",
                     graph.audioDeviceName().c_str(), why.c_str());
        return 1;
    }
    capture::CaptureResult result;
    graph.onFailed = [&](const capture::CaptureResult& r) { result = r; };
    waitRecording(graph, a.seconds, streamControls({&graph.AudioFilter}));
    if (graph.recording()) result = graph.stop();
    const std::string line =
        lines.selected >= 0 ? lines.names[size_t(lines.selected)] : std::string("-");
    if (result.fileKept)
        std::printf("seconds=%.2f line=%s output=%s\n", result.voiceSeconds,
                    resultText(line).c_str(), resultText(a.output).c_str());
    std::fflush(stdout);
    return finish(result, a.output, graph.audioDeviceName());
}

// Options both subcommands share; unknown options and a second file are told in our words.
void addCommon(CLI::App* sub, CaptureArgs& a) {
    sub->allow_extras();
    sub->add_option("--device", a.device, "The device: its index in `devices`, or its name")
        ->type_name("N|NAME")
        ->required();
    sub->add_option_function<std::string>(
           "--line", [&a](const std::string& v) { a.line = v; },
           "Record from this input line of the sound device (default: its own)")
        ->type_name("NAME");
    sub->add_option_function<std::string>(
           "--seconds", [&a](const std::string& v) { a.seconds = parseSeconds(v, "--seconds"); },
           "Stop after S seconds (default: at SIGINT or SIGTERM)")
        ->type_name("S");
    sub->add_option("output", a.output, "The AVI file to write")->type_name("OUT.avi");
}

void checkExtras(const CLI::App* sub, const CaptureArgs& a, bool needsOutput) {
    for (const std::string& e : sub->remaining()) {
        if (!e.empty() && e[0] == '-') throw CLI::ValidationError("unknown option " + e);
        throw CLI::ValidationError("more than one output file: \"" + a.output + "\" and \"" + e +
                                   "\"");
    }
    if (needsOutput && a.output.empty())
        throw CLI::ValidationError(sub->get_name() + " needs an OUT.avi file name");
}

} // namespace

CLI::App* addCaptureVideo(CLI::App& app, Run& run) {
    auto args = std::make_shared<CaptureArgs>();
    CaptureArgs& a = *args;
    CLI::App* sub = app.add_subcommand(
        "capture-video", "Records a camera into an XviD AVI, with --voice also the first audio "
                         "input through MP3.");
    sub->footer("Prints frames=N empty=N voice=S seconds=S output=OUT.avi on standard output.\n"
                "--list-formats prints the camera's formats, one per line: N  FORMAT.");
    addCommon(sub, a);
    sub->add_option("--format", a.format, "The format: its index in --list-formats, or WxH@FPS")
        ->type_name("N|WxH@FPS");
    sub->add_flag("--voice", a.voice, "Record the voice of the first audio input beside");
    sub->add_flag("--list-formats", a.listFormats, "List the camera's formats and stop");
    sub->callback([sub, args, &run] {
        const CaptureArgs& c = *args;
        checkExtras(sub, c, !c.listFormats);
        if (c.line && !c.voice) throw CLI::ValidationError("--line needs --voice");
        run = [args] { return captureVideo(*args); };
    });
    return sub;
}

CLI::App* addCaptureAudio(CLI::App& app, Run& run) {
    auto args = std::make_shared<CaptureArgs>();
    CaptureArgs& a = *args;
    CLI::App* sub = app.add_subcommand(
        "capture-audio", "Records an audio input into an AVI holding one MP3 stream.");
    sub->footer("Prints seconds=S line=LINE output=OUT.avi on standard output.");
    addCommon(sub, a);
    sub->callback([sub, args, &run] {
        checkExtras(sub, *args, true);
        run = [args] { return captureAudio(*args); };
    });
    return sub;
}

} // namespace cli
