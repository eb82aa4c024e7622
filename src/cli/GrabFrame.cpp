// tovamix-cli grab-frame: the picture a video file shows at a moment, as a 24-bit BMP. The
// file plays through a sample grabber into a renderer that shows nothing (no window, no
// sound, no display needed), paused at the moment asked for. Prints one line:
//   width=W height=H bits=24 position=S output=OUT.bmp
// The picture is written to a temporary file beside OUT.bmp, then renamed to it, so OUT.bmp is
// either the whole picture or untouched.
#include "Cli.h"
#include "NullRenderers.h"

#include "media/TFilterGraph.h"
#include "media/TSampleGrabber.h"
#include "platform/dshow/elements/SampleGrabber.h"
#include "platform/screen/Dib.h"
#include "platform/vfw/OutputFile.h"

#include <QCoreApplication>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

using namespace platform::dshow;

// As long as the opening of a file may take: a picture comes within a second or two, and a
// demuxer stalled on a broken file is given up on.
constexpr long PauseTimeoutMs = 10000;

struct GrabArgs {
    std::string file;
    double at = 0;
    std::string output;
};

// Writes the bitmap with its 14-byte file header to a temporary file in the folder of path,
// then renames it to path. False (with the reason) when it cannot be written.
bool writeBmp(const platform::screen::PackedDib& dib, const std::string& path, std::string* why) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string temp = (folder.empty() ? "" : folder) + "/.tovamix-grab-XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    fchmod(fd, 0644);
    const uint64_t total = 14 + dib.size();
    const uint32_t offset = uint32_t(14 + dib.formatSize());
    uint8_t head[14] = {'B', 'M'};
    for (int i = 0; i < 4; ++i) {
        head[2 + i] = uint8_t(total >> (8 * i));
        head[10 + i] = uint8_t(offset >> (8 * i));
    }
    bool ok = total <= UINT32_MAX;
    const uint8_t* parts[] = {head, dib.data()};
    const size_t sizes[] = {sizeof head, dib.size()};
    for (int p = 0; p < 2 && ok; ++p)
        for (size_t done = 0; ok && done < sizes[p];) {
            const ssize_t n = write(fd, parts[p] + done, sizes[p] - done);
            if (n < 0 && errno == EINTR) continue;
            ok = n > 0;
            if (ok) done += size_t(n);
        }
    if (!ok)
        *why =
            total > UINT32_MAX ? "the picture is too large for a BMP file" : std::strerror(errno);
    if (close(fd) != 0 && ok) {
        *why = std::strerror(errno);
        ok = false;
    }
    if (ok && std::rename(temp.c_str(), path.c_str()) != 0) {
        *why = std::strerror(errno);
        ok = false;
    }
    if (!ok) unlink(temp.c_str());
    return ok;
}

int grabFrame(const GrabArgs& a) {
    std::string why;
    if (!platform::vfw::checkWritable(a.output, &why))
        return fail("cannot write " + a.output + ": " + why);
    platform::screen::PackedDib dib;
    int64_t position = 0;
    if (const int code = grabPicture(a.file, a.at, dib, position)) return code;
    if (!writeBmp(dib, a.output, &why)) return fail("cannot write " + a.output + ": " + why);
    std::printf("width=%d height=%d bits=%d position=%s output=%s\n", dib.header().biWidth,
                dib.header().biHeight, int(dib.header().biBitCount), secondsText(position).c_str(),
                resultText(a.output).c_str());
    return 0;
}

} // namespace

int grabPicture(const std::string& file, double atSeconds, platform::screen::PackedDib& dib,
                int64_t& position) {
    const auto app = coreApplication();

    media::TFilterGraph graph;
    media::TSampleGrabber grabber;
    NullRendererProvider video(MEDIATYPE_Video, "Null Video Renderer");
    NullRendererProvider sound(MEDIATYPE_Audio, "Null Audio Renderer");
    grabber.setFilterGraph(&graph);
    graph.attachProvider(&video);
    graph.attachProvider(&sound);
    struct Detach {
        media::TFilterGraph& g;
        NullRendererProvider &v, &s;
        ~Detach() {
            g.detachProvider(&v);
            g.detachProvider(&s);
        }
    } detach{graph, video, sound};

    try {
        graph.setActive(true);
        graph.RenderFile(file);
    } catch (const std::exception& e) {
        return fail("cannot play " + file + ": " + e.what());
    }
    auto seeking = graph.query<IMediaSeeking>();
    auto control = graph.query<IMediaControl>();
    int64_t duration = -1;
    if (!seeking || !control || FAILED(seeking->GetDuration(&duration)) || duration <= 0)
        return fail("cannot play " + file + ": its duration is unknown");
    int64_t at = std::llround(atSeconds * 1e7);
    if (at >= duration)
        return fail("--at " + secondsText(at) + " is past the end of " + file + " (duration " +
                    secondsText(duration) + " s)");

    try {
        seeking->SetPositions(&at, AM_SEEKING_AbsolutePositioning, nullptr,
                              AM_SEEKING_NoPositioning);
        graph.Pause();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tovamix-cli: cannot pause %s at %s s: %s\n", file.c_str(),
                     secondsText(at).c_str(), e.what());
        return 1;
    }
    FILTER_STATE state = State_Stopped;
    if (control->GetState(PauseTimeoutMs, &state) != S_OK) {
        std::fprintf(stderr, "tovamix-cli: %s did not show a picture at %s s in time\n",
                     file.c_str(), secondsText(at).c_str());
        return 1;
    }
    // The decoders give their streams while the graph plays or pauses: only now does the
    // grabber know whether there is a video.
    if (!grabber.InPin() || !grabber.InPin()->connectedTo())
        return fail("cannot play " + file + ": it has no video");
    if (!grabber.GetBitmap(dib)) {
        std::fprintf(stderr, "tovamix-cli: no picture of %s at %s s\n", file.c_str(),
                     secondsText(at).c_str());
        return 1;
    }
    position = at;
    seeking->GetCurrentPosition(&position);
    graph.Stop();
    graph.setActive(false);
    return 0;
}

CLI::App* addGrabFrame(CLI::App& app, Run& run) {
    auto args = std::make_shared<GrabArgs>();
    GrabArgs& g = *args;
    CLI::App* sub = app.add_subcommand(
        "grab-frame", "Writes the picture a video file shows at a moment as a 24-bit BMP.");
    sub->footer("Prints width=W height=H bits=24 position=S output=OUT.bmp on standard output.\n"
                "OUT.bmp is written only once the picture is had; a moment past the end of the\n"
                "file is a bad use.");
    sub->add_option("FILE", g.file, "The media file")->required()->type_name("");
    sub->add_option_function<std::string>(
           "--at", [&g](const std::string& v) { g.at = parseSeconds(v, "--at"); },
           "The moment, in seconds from the start")
        ->required()
        ->type_name("SECONDS");
    sub->add_option("OUT.bmp", g.output, "The BMP file to write")->required()->type_name("");
    sub->callback([args, &run] { run = [args] { return grabFrame(*args); }; });
    return sub;
}

} // namespace cli
