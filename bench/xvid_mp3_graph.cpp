// Benchmark: re-encoding a 10 s 640x480 25 fps clip with sound (4:2:0 MJPEG + PCM in AVI) to
// an XviD + MP3 AVI through our graph layer, the way the screen recorder joins its files: the
// capture graph builder's AVI output, RenderStream from the file source through "Xvid MPEG-4
// Codec" (video compressor category) and through the MP3 encoder filter into the multiplexer,
// run to EC_COMPLETE. The peer is ffmpeg's libxvid + libmp3lame at the same video bit rate,
// measured in the same run. Prints the median wall times, the ratio (ours / ffmpeg), and what
// ffprobe reads from both outputs with their picture quality against the clip.
//
//   xvid_mp3_graph [RUNS]   (default 3)
#include "platform/dshow/base/DShow.h"
#include "platform/dshow/devices/Devices.h"
#include "platform/dshow/base/MediaTypes.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

using namespace platform::dshow;
using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

// The video bit rate our XviD encoder uses by default, given to ffmpeg too, in kbit/s.
constexpr int VideoKbps = 1500;

FilterPtr byFriendlyName(const GUID& category, const std::string& name) {
    for (const DeviceInfo& d : enumerateCategory(category))
        if (d.friendlyName == name) return bindDisplayName(d.displayName);
    return nullptr;
}

bool encodeOurs(const std::string& clip, const std::string& out) {
    std::filesystem::remove(out);
    auto graph = createFilterGraph();
    auto builder = createCaptureGraphBuilder();
    builder->SetFiltergraph(graph);
    FilterPtr source = createAviWavFileSource();
    FilterPtr xvid = byFriendlyName(CLSID_VideoCompressorCategory, "Xvid MPEG-4 Codec");
    FilterPtr mp3 = bindDisplayName("@device:sw:" + guidToString(CLSID_LegacyAmFilterCategory) +
                                    "\\" + guidToString(CLSID_Mp3EncoderFilter));
    if (!source || !xvid || !mp3) {
        std::fprintf(stderr, "missing filter: source %d xvid %d mp3 %d\n", !!source, !!xvid, !!mp3);
        return false;
    }
    graph->AddFilter(source, "Source");
    graph->AddFilter(xvid, "XvidEncoder");
    graph->AddFilter(mp3, "MP3Enc");
    if (FAILED(queryInterface<IFileSourceFilter>(source)->Load(clip))) return false;
    FilterPtr mux, writer;
    HRESULT h = builder->SetOutputFileName(MEDIASUBTYPE_Avi, out, &mux, &writer);
    if (SUCCEEDED(h)) h = builder->RenderStream(nullptr, &MEDIATYPE_Video, source, xvid, mux);
    if (SUCCEEDED(h)) h = builder->RenderStream(nullptr, &MEDIATYPE_Audio, source, mp3, mux);
    if (FAILED(h)) {
        std::fprintf(stderr, "building the graph: %s\n", graphErrorText(h).c_str());
        return false;
    }
    auto control = queryInterface<IMediaControl>(graph);
    auto events = queryInterface<IMediaEventEx>(graph);
    if (FAILED(control->Run())) return false;
    long code = 0;
    const HRESULT w = events->WaitForCompletion(300000, &code);
    control->Stop();
    if (FAILED(w) || code != EC_COMPLETE) {
        std::fprintf(stderr, "graph ended with event %ld\n", code);
        return false;
    }
    return true;
}

// The average PSNR of a file's pictures against the clip's, as ffmpeg decodes both.
std::string psnr(const std::string& path, const std::string& clip) {
    const CommandResult r = run("ffmpeg -i '" + path + "' -i '" + clip +
                                "' -lavfi '[0:v][1:v]psnr' -f null - 2>&1 | grep -o "
                                "'average:[0-9.inf]*'");
    std::string s = r.out;
    s.erase(std::remove(s.begin(), s.end(), '\n'), s.end());
    return s.empty() ? "psnr unknown" : "psnr " + s + " dB";
}

std::string describe(const std::string& path) {
    const CommandResult r =
        run("ffprobe -v error -show_entries stream=codec_name,codec_tag_string,bit_rate:format="
            "duration,size -of compact=p=0 '" +
            path + "'");
    std::string s = r.out;
    std::replace(s.begin(), s.end(), '\n', ' ');
    return s;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const std::string dir = scratchDir("bench-xvid-mp3");
    const std::string clip = dir + "/clip640.avi";
    if (!fileExists(clip) &&
        run("ffmpeg -v error -y -f lavfi -i testsrc=size=640x480:rate=25 -f lavfi "
            "-i sine=frequency=440:sample_rate=44100 -t 10 -c:v mjpeg -q:v 3 -pix_fmt yuvj420p "
            "-c:a pcm_s16le -ac 2 '" +
            clip + "'")
                .exitCode != 0) {
        std::fprintf(stderr, "cannot make the test clip\n");
        return 1;
    }
    const std::string ours = dir + "/ours.avi", peer = dir + "/ffmpeg.avi";

    std::vector<double> oursMs, peerMs;
    for (int i = 0; i < runs; ++i) {
        auto t0 = Clock::now();
        if (!encodeOurs(clip, ours)) {
            std::fprintf(stderr, "our encode failed\n");
            return 1;
        }
        oursMs.push_back(milliseconds(Clock::now() - t0));

        t0 = Clock::now();
        const CommandResult r = run("ffmpeg -v error -y -i '" + clip + "' -c:v libxvid -b:v " +
                                    std::to_string(VideoKbps) + "k -c:a libmp3lame '" + peer + "'");
        if (r.exitCode != 0) {
            std::fprintf(stderr, "ffmpeg failed: %s\n", r.err.c_str());
            return 1;
        }
        peerMs.push_back(milliseconds(Clock::now() - t0));
        std::printf("run %d: graph %.0f ms, ffmpeg %.0f ms\n", i + 1, oursMs.back(), peerMs.back());
    }
    std::printf("ours:   %s %s\nffmpeg: %s %s\n", describe(ours).c_str(), psnr(ours, clip).c_str(),
                describe(peer).c_str(), psnr(peer, clip).c_str());
    const double a = median(oursMs), b = median(peerMs);
    std::printf("graph_ms=%.0f ffmpeg_ms=%.0f ratio=%.2f\n", a, b, a / b);
    return 0;
}
