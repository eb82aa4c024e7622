// A sound server of a test's own whose one microphone, "Burst-Microphone", hands over its
// sound in bursts: every `burstSeconds` the tone of the last `burstSeconds` at once, so the
// sound arrives up to that much late, as from a device that lags. `share` of each burst is
// delivered (1: all of it; less: a device short of sound). Like a real device it keeps nothing
// for a listener that is not there. Programs reach it with PULSE_SERVER=server(); the server
// and its feeder end with the object.
#pragma once

#include "SoundServer.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace testsupport {

class LaggingMicrophone {
  public:
    explicit LaggingMicrophone(double burstSeconds, double share = 1.0);
    ~LaggingMicrophone();
    LaggingMicrophone(const LaggingMicrophone&) = delete;
    LaggingMicrophone& operator=(const LaggingMicrophone&) = delete;
    bool ok() const { return ok_; }
    std::string server() const { return server_->server(); }
    static constexpr const char* Name = "Burst-Microphone";

  private:
    void feed(int fd, double burstSeconds, double share);
    std::unique_ptr<SoundServer> server_;
    bool ok_ = false;
    std::thread feeder_;
    std::mutex m_;
    std::condition_variable wake_;
    bool stop_ = false; // guarded by m_
};

} // namespace testsupport
