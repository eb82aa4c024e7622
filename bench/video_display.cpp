// Benchmark: showing and grabbing video, against peers measured in the same run, on a
// 1920x1080x24 Xvfb of its own and a generated 10 s 1080p30 H.264 clip.
//  (1) CPU seconds of playing the clip to its end full screen through the media components
//      (a filter graph with a sample grabber and the overlay video window), run in a child process,
//      against `gst-play-1.0 --videosink=ximagesink` on the same file; both are counted with
//      getrusage(RUSAGE_CHILDREN) around their waitpid.
//  (2) The median wall time of `tovamix-cli grab-frame CLIP --at 7.3 out.bmp` against
//      `ffmpeg -ss 7.3 -i CLIP -frames:v 1 out.bmp`.
// The last line is
//   playback_cpu_ratio=<ours/peer> grab_ms=<ours> ffmpeg_grab_ms=<peer> grab_ratio=<ours/peer>
//
//   video_display [GRAB_RUNS]   (default 5)
#include "media/TFilterGraph.h"
#include "media/TSampleGrabber.h"
#include "dvd/DSVideoWindowEx2.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace platform::dshow;
using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

// The longest a 10 s clip may take to play before the run counts as failed.
constexpr int PlayTimeoutMs = 120000;

// The child's part: plays clip full screen through a graph with a sample grabber and the
// overlay video window, to its end. 0 when the graph completed, 1 on an error or a timeout.
int playFullScreen(int argc, char** argv, const char* clip) {
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    int result = 1;
    media::TFilterGraph graph;
    media::TSampleGrabber grabber;
    QWidget form;
    form.resize(640, 480);
    auto* video = new dvd::TDSVideoWindowEx2(&form);
    video->setGeometry(0, 0, 640, 480);
    form.show();

    graph.OnGraphComplete = [&](media::TFilterGraph*, HRESULT h, FilterPtr) {
        result = FAILED(h) ? 1 : 0;
        app.quit();
    };
    graph.OnDSEvent = [&](media::TFilterGraph*, long event, intptr_t param1, intptr_t) {
        if (event == EC_ERRORABORT || event == EC_USERABORT) {
            std::fprintf(stderr, "playback ended early: %s\n",
                         media::GraphErrorText(HRESULT(param1)).c_str());
            app.quit();
        }
    };
    QTimer::singleShot(PlayTimeoutMs, &app, [&] {
        std::fprintf(stderr, "playback did not end in time\n");
        app.quit();
    });
    try {
        grabber.setFilterGraph(&graph);
        graph.setActive(true);
        video->setFilterGraph(&graph);
        media::CheckGraphResult(graph.RenderFile(clip));
        if (!graph.Play()) {
            std::fprintf(stderr, "the graph does not play\n");
            return 1;
        }
        video->StartFullScreen();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot play %s: %s\n", clip, e.what());
        return 1;
    }
    app.exec();
    graph.Stop();
    return result;
}

struct ChildRun {
    bool ok = false;
    double cpuSeconds = 0; // user + system time of the child
    double wallMs = 0;
};

double seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

// Runs argv[0] with argv (standard output discarded, and standard error too when quiet) and
// waits for it; the CPU time is what RUSAGE_CHILDREN grew by over its waitpid.
ChildRun runChild(const std::vector<std::string>& args, bool quiet) {
    ChildRun r;
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid < 0) return r;
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        if (quiet) dup2(null, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.wallMs = milliseconds(Clock::now() - t0);
    getrusage(RUSAGE_CHILDREN, &after);
    r.cpuSeconds = seconds(after.ru_utime) - seconds(before.ru_utime) + seconds(after.ru_stime) -
                   seconds(before.ru_stime);
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--play") == 0) return playFullScreen(1, argv, argv[2]);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    Xvfb xvfb("1920x1080x24");
    if (!xvfb.ok()) return 1;
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    const std::string dir = scratchDir("bench-video-display");
    const std::string clip = dir + "/clip1080p30.avi";
    if (!fileExists(clip)) {
        const bool x264 =
            run("ffmpeg -hide_banner -encoders 2>/dev/null | grep -q ' libx264 '").exitCode == 0;
        const std::string codec =
            x264 ? "-c:v libx264 -preset medium -crf 23 -pix_fmt yuv420p" : "-c:v mpeg4 -q:v 4";
        const std::string temp = dir + "/making.avi";
        if (run("ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30 -t 10 " + codec +
                " '" + temp + "'")
                    .exitCode != 0 ||
            std::rename(temp.c_str(), clip.c_str()) != 0) {
            std::fprintf(stderr, "cannot make the test clip\n");
            return 1;
        }
    }
    std::printf("clip: %s\n",
                run("ffprobe -v error -show_entries stream=codec_name,width,height,r_frame_rate:"
                    "format=duration -of compact=p=0 '" +
                    clip + "' | tr '\\n' ' '")
                    .out.c_str());

    const ChildRun ours = runChild({selfPath(), "--play", clip}, false);
    if (!ours.ok) {
        std::fprintf(stderr, "our playback failed\n");
        return 1;
    }
    const ChildRun peer =
        runChild({"gst-play-1.0", "--no-interactive", "-q", "--videosink=ximagesink", clip}, true);
    if (!peer.ok) {
        std::fprintf(stderr, "gst-play-1.0 failed\n");
        return 1;
    }
    std::printf("playback: ours %.2f s CPU in %.0f ms, gst-play-1.0 %.2f s CPU in %.0f ms\n",
                ours.cpuSeconds, ours.wallMs, peer.cpuSeconds, peer.wallMs);

    const std::string oursBmp = dir + "/ours.bmp", peerBmp = dir + "/ffmpeg.bmp";
    std::vector<double> grabMs, ffmpegMs;
    for (int i = 0; i < runs; ++i) {
        const ChildRun g =
            runChild({TOVAMIX_CLI, "grab-frame", clip, "--at", "7.3", oursBmp}, false);
        const ChildRun f = runChild(
            {"ffmpeg", "-v", "error", "-y", "-ss", "7.3", "-i", clip, "-frames:v", "1", peerBmp},
            false);
        if (!g.ok || !f.ok) {
            std::fprintf(stderr, "grabbing failed: ours %d ffmpeg %d\n", g.ok, f.ok);
            return 1;
        }
        grabMs.push_back(g.wallMs);
        ffmpegMs.push_back(f.wallMs);
        std::printf("grab run %d: tovamix-cli %.0f ms, ffmpeg %.0f ms\n", i + 1, g.wallMs,
                    f.wallMs);
    }
    // How near our picture is to ffmpeg's (ffmpeg's seek in an AVI may land a frame or two
    // early, and it takes untagged HD video as BT.601 where GStreamer takes BT.709).
    const CommandResult psnr =
        run("ffmpeg -i '" + oursBmp + "' -i '" + peerBmp +
            "' -lavfi '[0:v]format=bgr24[a];[1:v]format=bgr24[b];[a][b]psnr' -f null - 2>&1 | "
            "grep -o 'average:[0-9.inf]*' | cut -d: -f2 | tr -d '\\n'");
    std::printf("grabbed pictures: psnr %s dB\n", psnr.out.c_str());

    const double a = median(grabMs), b = median(ffmpegMs);
    std::printf("playback_cpu_ratio=%.2f grab_ms=%.0f ffmpeg_grab_ms=%.0f grab_ratio=%.2f\n",
                ours.cpuSeconds / peer.cpuSeconds, a, b, a / b);
    return 0;
}
