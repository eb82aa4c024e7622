// Benchmark: encoding a 10 s 640x480 25 fps clip to an XVID AVI with our encoder element
// (tovamixxvidenc into tovamixavimux) against ffmpeg's libxvid encoder writing the same,
// both at 1500 kbit/s from the same raw I420 pictures, measured in the same run. Prints the
// median wall times and our time divided by ffmpeg's.
//
//   xvid_encoder [RUNS]   (default 3)
#include "BenchPipeline.h"
#include "platform/dshow/elements/AviMuxElement.h"
#include "platform/dshow/elements/XvidEncElement.h"
#include "support/TestSupport.h"

#include <gst/gst.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

using namespace testsupport;
using namespace bench;
using Clock = std::chrono::steady_clock;

namespace {
bool encodeOurs(const std::string& raw, const std::string& out) {
    const std::string description =
        "filesrc location=" + raw +
        " ! rawvideoparse width=640 height=480 format=i420 framerate=25/1 ! "
        "tovamixxvidenc bitrate=1500 ! tovamixavimux ! filesink location=" +
        out;
    return pipelineCpuMs(description) >= 0;
}
} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    if (!platform::dshow::registerXvidEncElement() || !platform::dshow::registerAviMuxElement())
        return 1;
    const std::string dir = scratchDir("bench-xvid");
    const std::string raw = dir + "/clip640.yuv";
    if (!fileExists(raw))
        run("ffmpeg -v error -y -f lavfi -i testsrc2=size=640x480:rate=25 -t 10 "
            "-pix_fmt yuv420p -f rawvideo '" +
            raw + "'");
    const std::string ours = dir + "/ours.avi", peer = dir + "/ffmpeg.avi";

    std::vector<double> oursMs, peerMs;
    for (int i = 0; i < runs; ++i) {
        auto t0 = Clock::now();
        if (!encodeOurs(raw, ours)) {
            std::fprintf(stderr, "our encode failed\n");
            return 1;
        }
        oursMs.push_back(milliseconds(Clock::now() - t0));

        t0 = Clock::now();
        const CommandResult r =
            run("ffmpeg -v error -y -threads 1 -f rawvideo -pix_fmt yuv420p -s 640x480 -r 25 "
                "-i '" +
                raw + "' -c:v libxvid -b:v 1500k -threads 1 '" + peer + "'");
        if (r.exitCode != 0) {
            std::fprintf(stderr, "ffmpeg failed: %s\n", r.err.c_str());
            return 1;
        }
        peerMs.push_back(milliseconds(Clock::now() - t0));
    }
    const double a = median(oursMs), b = median(peerMs);
    std::printf("tovamixxvidenc: %.0f ms (%ju bytes)\nffmpeg libxvid: %.0f ms (%ju bytes)\n"
                "ratio ours/ffmpeg: %.2f\n",
                a, std::uintmax_t(std::filesystem::file_size(ours)), b,
                std::uintmax_t(std::filesystem::file_size(peer)), a / b);
    return 0;
}
