// Benchmark: the editing tools against ffmpeg doing the same jobs, in the same run, each RUNS
// times (median wall times):
//   merge  `tovamix-cli merge` of a 5-minute 1280x720 XviD clip and a 5-minute MP3, against
//          `ffmpeg -i V -i A -map 0:v -map 1:a -c copy`;
//   split  `tovamix-cli split` of a 30 s 640x480 clip with sound, against
//          `ffmpeg -i IN -map 0:a -c:a libmp3lame A.avi -map 0:v -c:v libxvid V.avi`;
//   link   `tovamix-cli link` of two 30 s 640x480 clips, against ffmpeg's concat filter with
//          `-c:v libxvid -c:a libmp3lame`.
// The last line is merge_ratio=<ours/ffmpeg> split_ratio=<...> link_ratio=<...>.
//
//   edit_tools [RUNS]   (default 3)
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

// The median wall times of ours and of the peer, removing the outputs before each run.
bool compare(const char* job, int runs, const std::string& ours, const std::string& peer,
             const std::vector<std::string>& outputs, double* ratio) {
    std::vector<double> o, p;
    for (int i = 0; i < runs; ++i) {
        bool ok = false;
        for (const std::string& f : outputs)
            std::filesystem::remove(f);
        o.push_back(timedRun(ours + " >/dev/null 2>&1", &ok));
        if (!ok) return false;
        p.push_back(timedRun(peer, &ok));
        if (!ok) return false;
    }
    const double om = median(o), pm = median(p);
    *ratio = pm > 0 ? om / pm : 0;
    std::printf("%s: tovamix-cli %.2f s, ffmpeg %.2f s, ratio %.2f\n", job, om, pm, *ratio);
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const std::string dir = scratchDir("bench-edit-tools");
    const std::string clips = "bench-edit-tools-clips";
    const std::string video = sharedClip(clips, "v720p300s.avi",
                                         "-f lavfi -i testsrc2=size=1280x720:rate=25 -t 300 "
                                         "-c:v libxvid -b:v 2000k");
    const std::string audio =
        sharedClip(clips, "tone300s.mp3", "-f lavfi -i sine=r=44100 -t 300 -c:a libmp3lame");
    auto clip30 = [&](const char* name, const char* pattern) {
        return sharedClip(clips, name,
                          std::string("-f lavfi -i ") + pattern +
                              "=size=640x480:rate=25 -f lavfi -i sine=r=44100 -t 30 -c:v "
                              "libxvid -b:v 1500k -c:a libmp3lame");
    };
    const std::string one = clip30("a30s.avi", "testsrc2"), two = clip30("b30s.avi", "smptebars");
    if (video.empty() || audio.empty() || one.empty() || two.empty()) {
        std::fprintf(stderr, "cannot make the test clips\n");
        return 1;
    }
    const std::string cli = TOVAMIX_CLI;
    const std::string out = dir + "/ours.avi", peer = dir + "/ffmpeg.avi";
    const std::string a = dir + "/a.avi", v = dir + "/v.avi", pa = dir + "/pa.avi",
                      pv = dir + "/pv.avi";
    double merge = 0, split = 0, link = 0;
    if (!compare("merge", runs,
                 cli + " merge --audio '" + audio + "' --video '" + video + "' '" + out + "'",
                 "ffmpeg -v error -y -i '" + video + "' -i '" + audio +
                     "' -map 0:v -map 1:a -c copy '" + peer + "'",
                 {out}, &merge) ||
        !compare("split", runs,
                 cli + " split '" + one + "' --audio-out '" + a + "' --video-out '" + v + "'",
                 "ffmpeg -v error -y -i '" + one + "' -map 0:a -c:a libmp3lame '" + pa +
                     "' -map 0:v -c:v libxvid '" + pv + "'",
                 {a, v}, &split) ||
        !compare("link", runs, cli + " link '" + one + "' '" + two + "' '" + out + "'",
                 "ffmpeg -v error -y -i '" + one + "' -i '" + two +
                     "' -filter_complex '[0:v][0:a][1:v][1:a]concat=n=2:v=1:a=1[v][a]' -map "
                     "'[v]' -map '[a]' -c:v libxvid -c:a libmp3lame '" +
                     peer + "'",
                 {out}, &link))
        return 1;
    std::printf("merge_ratio=%.2f split_ratio=%.2f link_ratio=%.2f\n", merge, split, link);
    return 0;
}
