// Benchmark: a long screen recording stays flat. Records a busy 1920x1080x24 Xvfb screen with
// tovamix-cli at 10 frames a second, reads the recorder's resident memory every 10 s, and
// prints the samples, the growth from the first sample (taken once the frame loop runs) to
// the last, the skipped slots and the CPU time per frame. Targets: growth under 5 MB, no slot
// skipped.
//
//   long_record [SECONDS] [FPS]        (default 600 s at 10 fps)
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

int main(int argc, char** argv) {
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
    std::string summary;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        summary.append(buf, size_t(n));
    close(fds[0]);
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
