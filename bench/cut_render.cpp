// Benchmark: the player's cut against ffmpeg doing the same job, in the same run. A 60 s
// 1280x720 25 fps H.264/AAC clip is made once by ffmpeg; [10 s, 40 s] of it is cut by
// `tovamix-cli cut` (timeline render into XviD + MP3 AVI) and by
// `ffmpeg -ss 10 -to 40 -i clip -c:v libxvid -b:v 1500k -c:a libmp3lame`, each RUNS times.
// Prints the median wall times and the frames each output holds; the last line is
//   ours_s=<median> ffmpeg_s=<median> ratio=<ours/ffmpeg> frames_ours=<n> frames_ffmpeg=<n>
//
//   cut_render [RUNS]   (default 3)
#include "BenchSupport.h"
#include "support/TestSupport.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace testsupport;
using bench::timedRun;
using Clock = std::chrono::steady_clock;

namespace {

std::string frames(const std::string& path) {
    return run("ffprobe -v error -count_packets -select_streams v:0 -show_entries "
               "stream=nb_read_packets -of csv=p=0 '" +
               path + "' | tr -d '\\n'")
        .out;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const std::string dir = scratchDir("bench-cut-render");
    const std::string clip = sharedClip("bench-cut-render-clip", "clip720p60s.mp4",
                                        "-f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i "
                                        "sine=frequency=440:sample_rate=44100 -t 60 -c:v libx264 "
                                        "-preset veryfast -pix_fmt yuv420p -c:a aac -shortest");
    if (clip.empty()) {
        std::fprintf(stderr, "cannot make the test clip\n");
        return 1;
    }
    const std::string ours = dir + "/ours.avi", peer = dir + "/ffmpeg.avi";
    std::vector<double> oursTimes, peerTimes;
    for (int i = 0; i < runs; ++i) {
        bool ok = false;
        std::filesystem::remove(ours);
        oursTimes.push_back(timedRun(std::string(TOVAMIX_CLI) + " cut '" + clip +
                                         "' --from 10 --to 40 '" + ours + "' 2>/dev/null",
                                     &ok));
        if (!ok) return 1;
        peerTimes.push_back(timedRun("ffmpeg -v error -y -ss 10 -to 40 -i '" + clip +
                                         "' -c:v libxvid -b:v 1500k -c:a libmp3lame '" + peer + "'",
                                     &ok));
        if (!ok) return 1;
        std::printf("run %d: tovamix-cli %.2f s, ffmpeg %.2f s\n", i + 1, oursTimes.back(),
                    peerTimes.back());
    }
    const double o = median(oursTimes), p = median(peerTimes);
    std::printf("ours_s=%.2f ffmpeg_s=%.2f ratio=%.2f frames_ours=%s frames_ffmpeg=%s\n", o, p,
                p > 0 ? o / p : 0.0, frames(ours).c_str(), frames(peer).c_str());
    return 0;
}
