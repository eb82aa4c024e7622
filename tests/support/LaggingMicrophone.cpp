#include "LaggingMicrophone.h"

#include "TestSupport.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

namespace {
constexpr int Rate = 44100; // stereo S16LE, as the pipe source is set up
} // namespace

LaggingMicrophone::LaggingMicrophone(double burstSeconds, double share) {
    const std::string fifoDir = scratchDir("lagging-mic-" + std::to_string(getpid()));
    const std::string fifo = fifoDir + "/burst.fifo";
    server_ = std::make_unique<SoundServer>(
        "lagging-mic-server",
        std::vector<std::string>{"module-pipe-source source_name=burst_mic file=" + fifo +
                                 " format=s16le rate=" + std::to_string(Rate) +
                                 " channels=2 source_properties=device.description=" + Name});
    if (!server_->ok()) return;
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
