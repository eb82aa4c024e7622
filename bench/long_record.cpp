// Benchmark: a long screen recording stays flat. Records a busy 1920x1080x24 Xvfb screen with
// tovamix-cli at 10 frames a second, reads the recorder's resident memory every 10 s, and
// prints the samples, the growth from the first sample (taken once the frame loop runs) to
// the last, the skipped slots and the CPU time per frame. Targets: growth under 5 MB, no slot
// skipped.
//
//   long_record [SECONDS] [FPS]        (default 600 s at 10 fps)
//
// The wait after the stop: `long_record stop [SECONDS...] [--fps N] [--size WxH]` records with
// the voice (record-screen --final --voice) for each length (default 10 60 600) at 1920x1080,
// 30 frames a second, compressed while recording and, side by side, through the merge of the
// temporary files after the stop (--merge), and prints for each the seconds from the end of
// the recording to the file saved, the CPU of the whole run in cores and the skipped slots.
// Last line: stop_to_complete_<S>s=<s> merge_<S>s=<s> cpu_cores=<live run> skipped=<n> for
// the longest length. Targets: at most 2 s for every length, 0 skipped, at most 1 core.
#include "BenchSupport.h"
#include "support/TestSupport.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;
using namespace bench;

namespace {

// VmRSS of a process in kB; -1 once it is gone.
long residentKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

} // namespace

struct StopRun {
    double afterStop = -1; // seconds from the recording's end to the file saved
    double cores = 0;      // CPU seconds of the run per second of it
    long skipped = -1;
    bool ok = false;
};

// One record-screen --final --voice run of `seconds`, live or through the merge.
StopRun recordAndSave(int seconds, int fps, bool merge, const std::string& out) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::string> args = {
        TOVAMIX_CLI, "record-screen",         "--final",    "--voice",
        "--seconds", std::to_string(seconds), "--interval", std::to_string(1000 / fps),
        "--fps",     std::to_string(fps)};
    if (merge) args.push_back("--merge");
    args.push_back(out);
    // Standard error carries "saved S s after the stop"; standard output the summary.
    const pid_t rec = spawn(args, fds[1], true);
    close(fds[1]);
    const std::string said = readAndClose(fds[0]);
    int status = 0;
    waitpid(rec, &status, 0);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    StopRun r;
    std::smatch m;
    if (std::regex_search(said, m, std::regex("saved (\\d+\\.\\d+) s after the stop")))
        r.afterStop = std::stod(m[1]);
    if (std::regex_search(said, m, std::regex("skipped=(\\d+)"))) r.skipped = std::stol(m[1]);
    r.cores = (cpuMs(after) - cpuMs(before)) / 1000.0 / wall;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && r.afterStop >= 0;
    if (!r.ok) std::fprintf(stderr, "%s", said.c_str());
    return r;
}

int stopBenchmark(int argc, char** argv) {
    std::vector<int> lengths;
    int fps = 30;
    std::string size = "1920x1080";
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--fps" && i + 1 < argc)
            fps = std::atoi(argv[++i]);
        else if (a == "--size" && i + 1 < argc)
            size = argv[++i];
        else
            lengths.push_back(std::atoi(a.c_str()));
    }
    if (lengths.empty()) lengths = {10, 60, 600};
    Xvfb xvfb(size + "x24");
    if (!xvfb.ok()) {
        std::fprintf(stderr, "cannot start Xvfb\n");
        return 1;
    }
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    if (run("pactl info >/dev/null 2>&1").exitCode != 0) {
        std::fprintf(stderr, "no sound server: start PulseAudio (scripts/test starts one)\n");
        return 1;
    }
    const pid_t mover = spawn({MOVING_CONTENT}, -1);
    const std::string dir = scratchDir("bench-stop");
    setenv("TMPDIR", dir.c_str(), 1);
    std::string last;
    bool ok = true;
    for (const int seconds : lengths) {
        const StopRun live = recordAndSave(seconds, fps, false, dir + "/live.avi");
        const StopRun merged = recordAndSave(seconds, fps, true, dir + "/merged.avi");
        ok = ok && live.ok && merged.ok;
        std::printf("%s %d s at %d fps: live %.2f s after the stop (%.2f cores, %ld skipped), "
                    "merge %.2f s (%.2f cores), ratio %.1fx\n",
                    size.c_str(), seconds, fps, live.afterStop, live.cores, live.skipped,
                    merged.afterStop, merged.cores,
                    live.afterStop > 0 ? merged.afterStop / live.afterStop : 0.0);
        std::fflush(stdout);
        char line[256];
        std::snprintf(line, sizeof line,
                      "stop_to_complete_%ds=%.2f merge_%ds=%.2f cpu_cores=%.2f skipped=%ld",
                      seconds, live.afterStop, seconds, merged.afterStop, live.cores, live.skipped);
        last = line;
    }
    kill(mover, SIGTERM);
    waitpid(mover, nullptr, 0);
    std::filesystem::remove_all(dir);
    std::printf("%s\n", last.c_str());
    return ok ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "stop") return stopBenchmark(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
    const int fps = argc > 2 ? std::atoi(argv[2]) : 10;
    if (seconds < 20 || fps < 1) {
        std::fprintf(stderr, "usage: long_record [SECONDS >= 20] [FPS]\n");
        return 2;
    }
    Xvfb xvfb("1920x1080x24");
    if (!xvfb.ok()) {
        std::fprintf(stderr, "cannot start Xvfb\n");
        return 1;
    }
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    const pid_t mover = spawn({MOVING_CONTENT}, -1);
    const std::string out = scratchDir("bench-long") + "/long.avi";

    int fds[2];
    if (pipe(fds) != 0) return 1;
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
    const auto started = std::chrono::steady_clock::now();
    const pid_t rec =
        spawn({TOVAMIX_CLI, "record-screen", "--seconds", std::to_string(seconds), "--interval",
               std::to_string(1000 / fps), "--fps", std::to_string(fps), out},
              fds[1]);
    close(fds[1]);

    // One sample every 10 s; the first once 10 s have passed (set-up and first frames done).
    std::vector<long> samples;
    for (int k = 1;; ++k) {
        const auto due = started + std::chrono::seconds(10 * k);
        while (std::chrono::steady_clock::now() < due) {
            if (residentKb(rec) < 0 || waitpid(rec, nullptr, WNOHANG) != 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        const long kb = residentKb(rec);
        if (kb < 0 || std::chrono::steady_clock::now() < due) break;
        samples.push_back(kb);
        std::printf("t=%4d s  rss=%ld kB\n", 10 * k, kb);
        std::fflush(stdout);
        if (10 * (k + 1) > seconds) break;
    }
    const std::string summary = readAndClose(fds[0]);
    int status = 0;
    waitpid(rec, &status, 0);
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    kill(mover, SIGTERM);
    waitpid(mover, nullptr, 0);

    std::smatch m;
    long frames = -1, skipped = -1;
    if (std::regex_search(summary, m, std::regex("frames=(\\d+) skipped=(\\d+)"))) {
        frames = std::stol(m[1]);
        skipped = std::stol(m[2]);
    }
    const double cpu = cpuMs(after) - cpuMs(before);
    std::printf("%s", summary.c_str());
    if (samples.size() >= 2) {
        const long growth = samples.back() - samples.front();
        const long peak = *std::max_element(samples.begin(), samples.end());
        std::printf("rss: first %ld kB, last %ld kB, peak %ld kB, growth %ld kB (%.2f MB) over "
                    "%zu samples\n",
                    samples.front(), samples.back(), peak, growth, growth / 1024.0, samples.size());
    }
    std::printf("frames %ld, skipped slots %ld, CPU %.0f ms, %.2f ms CPU/frame, file %.0f MB\n",
                frames, skipped, cpu, frames > 0 ? cpu / double(frames) : 0.0,
                std::filesystem::exists(out) ? double(std::filesystem::file_size(out)) / 1e6 : 0.0);
    std::filesystem::remove(out);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
