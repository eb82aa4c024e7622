// Benchmark: how long a media graph takes from RenderFile of a 1080p clip to its first
// EC_PAUSED (the first picture ready to show), against gst-discoverer-1.0 opening and
// prerolling the same file, measured in the same run.
//
//   graph_open [RUNS]   (default 5)
#include "platform/dshow/base/DShow.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace platform::dshow;
using namespace testsupport;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    Xvfb xvfb("1920x1080x24");
    if (!xvfb.ok()) return 1;
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    const std::string clip = scratchDir("bench") + "/clip1080.avi";
    if (!fileExists(clip))
        run("ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -f lavfi -i sine -t 5 "
            "-c:v mpeg4 -q:v 4 -c:a libmp3lame '" +
            clip + "'");

    std::vector<double> ours, peer;
    for (int i = 0; i < runs; ++i) {
        auto graph = createFilterGraph();
        auto control = queryInterface<IMediaControl>(graph);
        auto events = queryInterface<IMediaEventEx>(graph);
        const auto t0 = Clock::now();
        if (FAILED(graph->RenderFile(clip))) {
            std::fprintf(stderr, "RenderFile failed\n");
            return 1;
        }
        const auto rendered = Clock::now();
        control->Pause();
        long code = 0;
        intptr_t p1, p2;
        while (events->GetEvent(&code, &p1, &p2, 10000) == S_OK && code != EC_PAUSED) {
        }
        const auto paused = Clock::now();
        if (code != EC_PAUSED) return 1;
        ours.push_back(milliseconds(paused - t0));
        std::printf("run %d: RenderFile %.1f ms, first EC_PAUSED %.1f ms after RenderFile began\n",
                    i + 1, milliseconds(rendered - t0), milliseconds(paused - t0));

        const auto p0 = Clock::now();
        run("gst-discoverer-1.0 '" + clip + "' >/dev/null");
        peer.push_back(milliseconds(Clock::now() - p0));
    }
    const double a = median(ours), b = median(peer);
    std::printf("renderfile_to_paused_ms=%.1f gst_discoverer_ms=%.1f ratio=%.2f\n", a, b, a / b);
    return 0;
}
