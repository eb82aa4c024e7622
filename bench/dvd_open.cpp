// Benchmark: how long the DVD graph takes from RenderDvdVideoVolume of the test disc to its
// first picture at the video renderer (the render returns once the graph has prerolled on
// it), against playbin on dvd://PATH as gst-play-1.0 builds it (default sinks) to its first
// video buffer at the video sink, and ffmpeg decoding one picture of VTS_01_1.VOB; all in the
// same run, each the median of RUNS.
//
//   dvd_open [RUNS]   (default 5)
//
// Last line: ours_ms=.. playbin_ms=.. ffmpeg_vob_ms=.. ratio=.. (ours / playbin)
#include "platform/dshow/dvd/DvdInterfaces.h"
#include "platform/dshow/base/DShow.h"
#include "support/DvdFixture.h"
#include "support/TestSupport.h"

#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace platform::dshow;
using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

// playbin to its first video buffer; -1 when none came.
double playbinFirstPicture(const std::string& volume) {
    GstElement* playbin = gst_element_factory_make("playbin", nullptr);
    if (!playbin) return -1;
    gst_object_ref_sink(playbin);
    const std::string uri = "dvd://" + volume;
    g_object_set(playbin, "uri", uri.c_str(), nullptr);
    // The sink autovideosink would choose, taken here so its input can be watched.
    GstElement* sink = gst_element_factory_make("ximagesink", nullptr);
    if (!sink) sink = gst_element_factory_make("fakesink", nullptr);
    g_object_set(playbin, "video-sink", sink, nullptr);
    std::atomic<bool> first{false};
    GstPad* in = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(
        in, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo*, gpointer flag) {
            static_cast<std::atomic<bool>*>(flag)->store(true);
            return GST_PAD_PROBE_REMOVE;
        },
        &first, nullptr);
    gst_object_unref(in);
    const auto t0 = Clock::now();
    gst_element_set_state(playbin, GST_STATE_PAUSED);
    while (!first && Clock::now() - t0 < std::chrono::seconds(20))
        g_usleep(1000);
    const double ms = first ? milliseconds(Clock::now() - t0) : -1;
    gst_element_set_state(playbin, GST_STATE_NULL);
    gst_object_unref(playbin);
    return ms;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    Xvfb xvfb("1024x768x24");
    if (!xvfb.ok()) return 1;
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    gst_init(nullptr, nullptr);
    initializeMediaServices();
    const DvdVolumes& disc = dvdVolumes();
    if (!disc.ok()) {
        std::fprintf(stderr, "the test disc could not be made\n");
        return 1;
    }

    std::vector<double> ours, playbin, ffmpeg;
    for (int i = 0; i < runs; ++i) {
        {
            auto builder = createDvdGraphBuilder();
            AM_DVD_RENDERSTATUS status;
            const auto t0 = Clock::now();
            const HRESULT h =
                builder->RenderDvdVideoVolume(disc.disc1, AM_DVD_HWDEC_PREFER, &status);
            const double ms = milliseconds(Clock::now() - t0);
            if (h != S_OK) {
                std::fprintf(stderr, "RenderDvdVideoVolume failed: %s\n",
                             graphErrorText(h).c_str());
                return 1;
            }
            ours.push_back(ms);
        }
        playbin.push_back(playbinFirstPicture(disc.disc1));
        const auto f0 = Clock::now();
        run("ffmpeg -v error -i '" + disc.disc1 +
            "/VIDEO_TS/VTS_01_1.VOB' -frames:v 1 -f null - 2>/dev/null");
        ffmpeg.push_back(milliseconds(Clock::now() - f0));
        std::printf("run %d: ours %.1f ms, playbin %.1f ms, ffmpeg %.1f ms\n", i + 1, ours.back(),
                    playbin.back(), ffmpeg.back());
        std::fflush(stdout);
    }
    const double a = median(ours), b = median(playbin), c = median(ffmpeg);
    std::printf("ours_ms=%.1f playbin_ms=%.1f ffmpeg_vob_ms=%.1f ratio=%.2f\n", a, b, c,
                b > 0 ? a / b : 0.0);
    return 0;
}
