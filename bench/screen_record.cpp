// Benchmark: records a busy 1920x1080x24 Xvfb screen with tovamix-cli and, in the same run,
// with ffmpeg's x11grab + msvideo1 encoder, and prints CPU milliseconds per frame for both,
// their ratio, and the highest frame rate our engine sustains at 1080p without skipped slots.
//
//   screen_record [SECONDS]        (default 10)
#include "BenchSupport.h"
#include "support/TestSupport.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

using namespace testsupport;
using namespace bench;

namespace {

struct Summary {
    long frames = -1, skipped = -1;
    double seconds = 0;
};

Summary parse(const std::string& line) {
    Summary s;
    std::smatch m;
    if (std::regex_search(line, m, std::regex("frames=(\\d+) skipped=(\\d+) seconds=([0-9.]+)"))) {
        s.frames = std::stol(m[1]);
        s.skipped = std::stol(m[2]);
        s.seconds = std::stod(m[3]);
    }
    return s;
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    Xvfb xvfb("1920x1080x24");
    if (!xvfb.ok()) {
        std::fprintf(stderr, "cannot start Xvfb\n");
        return 1;
    }
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    const pid_t mover = fork();
    if (mover == 0) {
        execl(MOVING_CONTENT, MOVING_CONTENT, static_cast<char*>(nullptr));
        _exit(127);
    }
    const std::string dir = scratchDir("bench");
    const std::string ours = dir + "/ours.avi", theirs = dir + "/ffmpeg.avi";
    const std::string secs = std::to_string(seconds);

    const Usage a = measure({TOVAMIX_CLI, "record-screen", "--seconds", secs, ours});
    const Summary sa = parse(a.out);
    const Usage b =
        measure({"ffmpeg", "-v", "error", "-y", "-f", "x11grab", "-framerate", "10", "-video_size",
                 "1920x1080", "-i", xvfb.display(), "-t", secs, "-c:v", "msvideo1", theirs});
    const auto fb = probeVideo(theirs);
    const long theirFrames = fb.count("nb_read_frames") ? std::stol(fb.at("nb_read_frames")) : 0;

    const double oursPerFrame = sa.frames > 0 ? a.cpuMs / double(sa.frames) : NAN;
    const double theirsPerFrame = theirFrames > 0 ? b.cpuMs / double(theirFrames) : NAN;
    std::printf("tovamix: %ld frames (%ld skipped) in %.2f s, %.0f ms CPU, %.2f ms CPU/frame\n",
                sa.frames, sa.skipped, sa.seconds, a.cpuMs, oursPerFrame);
    std::printf("ffmpeg x11grab+msvideo1: %ld frames, %.0f ms CPU, %.2f ms CPU/frame\n",
                theirFrames, b.cpuMs, theirsPerFrame);

    // The highest rate whose recording leaves no slot empty (interval = 1000 / rate).
    int best = 0;
    for (int fps : {10, 15, 20, 25, 30, 40, 50, 60}) {
        const int interval = int(std::lround(1000.0 / fps));
        const Usage u =
            measure({TOVAMIX_CLI, "record-screen", "--seconds", "5", "--interval",
                     std::to_string(interval), "--fps", std::to_string(fps), dir + "/rate.avi"});
        const Summary s = parse(u.out);
        std::printf("  %2d fps (%d ms): %ld frames, %ld skipped, %.1f%% of a core\n", fps, interval,
                    s.frames, s.skipped, s.seconds > 0 ? u.cpuMs / (s.seconds * 10.0) : 0.0);
        if (s.skipped != 0 || s.frames <= 0) break;
        best = fps;
    }
    kill(mover, SIGTERM);
    waitpid(mover, nullptr, 0);
    std::printf("cpu_ms_per_frame_ours=%.2f cpu_ms_per_frame_ffmpeg=%.2f ratio=%.2f "
                "max_fps_without_skips=%d\n",
                oursPerFrame, theirsPerFrame, theirsPerFrame / oursPerFrame, best);
    return 0;
}
