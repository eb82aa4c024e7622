#include "LaggingMicrophone.h"

#include "TestSupport.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace testsupport {

namespace {
constexpr int Rate = 44100; // stereo S16LE, as the pipe source is set up
constexpr auto StartDeadline = std::chrono::seconds(10);
} // namespace

LaggingMicrophone::LaggingMicrophone(double burstSeconds, double share) {
    dir_ = scratchDir("lagging-mic-" + std::to_string(getpid()));
    const std::string fifo = dir_ + "/burst.fifo";
    std::vector<std::string> args = {
        "pulseaudio",
        "-n",
        "--daemonize=no",
        "--exit-idle-time=-1",
        "--disallow-exit",
        "--use-pid-file=no",
        "-L",
        "module-native-protocol-unix socket=" + dir_ + "/native auth-anonymous=1",
        "-L",
        "module-pipe-source source_name=burst_mic file=" + fifo + " format=s16le rate=" +
            std::to_string(Rate) + " channels=2 source_properties=device.description=" + Name};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envs = {"PULSE_RUNTIME_PATH=" + dir_, "HOME=" + dir_};
    std::vector<char*> envp;
    for (std::string& e : envs)
        envp.push_back(e.data());
    for (char** e = environ; *e; ++e)
        envp.push_back(*e);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int spawned =
        posix_spawnp(&pid_, "pulseaudio", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + StartDeadline;
    while (run("PULSE_SERVER=" + server() + " pactl info >/dev/null").exitCode != 0) {
        if (std::chrono::steady_clock::now() > deadline) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // between polls
    }
    // The pipe source holds the reading end; the smallest pipe keeps no old sound waiting.
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) return;
    fcntl(fd, F_SETPIPE_SZ, 4096);
    ok_ = true;
    feeder_ = std::thread([this, fd, burstSeconds, share] { feed(fd, burstSeconds, share); });
}

LaggingMicrophone::~LaggingMicrophone() {
    {
        std::lock_guard lock(m_);
        stop_ = true;
    }
    wake_.notify_all();
    if (feeder_.joinable()) feeder_.join();
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

void LaggingMicrophone::feed(int fd, double burstSeconds, double share) {
    const size_t frames = size_t(burstSeconds * Rate);
    std::vector<int16_t> tone(frames * 2);
    for (size_t i = 0; i < frames; ++i)
        tone[2 * i] = tone[2 * i + 1] =
            int16_t(6000 * std::sin(2 * M_PI * 440.0 * double(i) / Rate));
    const size_t bytes = size_t(double(frames) * share) * 4;
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(burstSeconds));
    auto next = std::chrono::steady_clock::now();
    std::unique_lock lock(m_);
    for (;;) {
        next += period;
        if (wake_.wait_until(lock, next, [this] { return stop_; })) break;
        lock.unlock();
        // The burst goes as fast as the server takes it; what it does not take is lost.
        const auto* data = reinterpret_cast<const char*>(tone.data());
        size_t sent = 0;
        pollfd p{fd, POLLOUT, 0};
        while (sent < bytes && poll(&p, 1, 200) > 0) {
            const ssize_t n = write(fd, data + sent, bytes - sent);
            if (n > 0)
                sent += size_t(n);
            else if (n < 0 && errno != EAGAIN)
                break;
        }
        lock.lock();
    }
    close(fd);
}

} // namespace testsupport
