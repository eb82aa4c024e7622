// Benchmark: the convert job and the media information against ffmpeg and ffprobe doing the
// same jobs, in the same run. A 20 s 1280x720 25 fps H.264/AAC MP4 is made once by ffmpeg.
// It is converted to 640x480 by `tovamix-cli convert` and by
// `ffmpeg -i in.mp4 -c:v libxvid -b:v <our video bit rate> -c:a libmp3lame -s 640x480`,
// RUNS times each (medians); then `tovamix-cli info` and `ffprobe -v error -show_streams` read
// our AVI and the MP4, 20 times each (medians). The last line is
//   convert_ratio=<ours/ffmpeg> info_avi_ratio=<ours/ffprobe> info_mp4_ratio=<ours/ffprobe>
//
//   avi_authoring [RUNS]   (default 3)
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

constexpr int InfoRuns = 20;

// The median wall time of a command run `runs` times; negative when it failed.
double medianOf(const std::string& command, int runs) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        bool ok = false;
        times.push_back(timedRun(command, &ok));
        if (!ok) return -1;
    }
    return median(times);
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const std::string dir = scratchDir("bench-avi-authoring");
    const std::string clip = sharedClip("bench-avi-authoring-clip", "clip720p20s.mp4",
                                        "-f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i "
                                        "sine=frequency=440:sample_rate=44100 -t 20 -c:v libx264 "
                                        "-preset veryfast -pix_fmt yuv420p -c:a aac -shortest");
    if (clip.empty()) {
        std::fprintf(stderr, "cannot make the test clip\n");
        return 1;
    }
    const std::string cli = TOVAMIX_CLI;
    const std::string ours = dir + "/ours.avi", peer = dir + "/ffmpeg.avi";

    // -- Conversion. The peer encodes at the video bit rate ours came out at.
    std::vector<double> oursTimes, peerTimes;
    std::string rate;
    for (int i = 0; i < runs; ++i) {
        bool ok = false;
        std::filesystem::remove(ours);
        oursTimes.push_back(timedRun(
            cli + " convert '" + clip + "' --size 640x480 '" + ours + "' >/dev/null 2>&1", &ok));
        if (!ok) return 1;
        if (rate.empty()) {
            rate = run("ffprobe -v error -select_streams v:0 -show_entries stream=bit_rate -of "
                       "csv=p=0 '" +
                       ours + "' | tr -d '\\n'")
                       .out;
            if (rate.empty() || rate == "N/A") rate = "1500000";
        }
        peerTimes.push_back(timedRun("ffmpeg -v error -y -i '" + clip + "' -c:v libxvid -b:v " +
                                         rate + " -c:a libmp3lame -s 640x480 '" + peer + "'",
                                     &ok));
        if (!ok) return 1;
        std::printf("convert run %d: tovamix-cli %.2f s, ffmpeg %.2f s\n", i + 1, oursTimes.back(),
                    peerTimes.back());
    }
    const double convertOurs = median(oursTimes), convertPeer = median(peerTimes);
    std::printf("convert: ours_s=%.2f ffmpeg_s=%.2f video_bit_rate=%s\n", convertOurs, convertPeer,
                rate.c_str());

    // -- Information.
    const double infoAviOurs = medianOf(cli + " info '" + ours + "' >/dev/null", InfoRuns);
    const double infoAviPeer =
        medianOf("ffprobe -v error -show_streams '" + ours + "' >/dev/null", InfoRuns);
    const double infoMp4Ours = medianOf(cli + " info '" + clip + "' >/dev/null", InfoRuns);
    const double infoMp4Peer =
        medianOf("ffprobe -v error -show_streams '" + clip + "' >/dev/null", InfoRuns);
    if (infoAviOurs < 0 || infoAviPeer < 0 || infoMp4Ours < 0 || infoMp4Peer < 0) return 1;
    std::printf("info avi: ours_ms=%.1f ffprobe_ms=%.1f\n", infoAviOurs * 1000, infoAviPeer * 1000);
    std::printf("info mp4: ours_ms=%.1f ffprobe_ms=%.1f\n", infoMp4Ours * 1000, infoMp4Peer * 1000);
    std::printf("convert_ratio=%.2f info_avi_ratio=%.2f info_mp4_ratio=%.2f\n",
                convertPeer > 0 ? convertOurs / convertPeer : 0.0,
                infoAviPeer > 0 ? infoAviOurs / infoAviPeer : 0.0,
                infoMp4Peer > 0 ? infoMp4Ours / infoMp4Peer : 0.0);
    return 0;
}
