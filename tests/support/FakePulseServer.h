// Stands in for the sound server's answers about sources while it lives: every source asked
// about has the given input ports, with one of them active. No virtual PulseAudio source has
// ports, so this is how the tests see a sound card with a microphone and a line input.
#pragma once

#include "platform/dshow/devices/PulseSources.h"

#include <mutex>
#include <utility>

namespace testsupport {

class FakePulseServer {
  public:
    using Port = platform::dshow::PulsePort;
    FakePulseServer(std::vector<Port> ports, std::string active)
        : ports_(std::move(ports)), active_(std::move(active)) {
        platform::dshow::PulseServer fake;
        fake.sourceInfo = [this](const std::string& source, std::string* error) {
            std::lock_guard<std::mutex> lock(m_);
            if (gone_) {
                if (error) *error = "the sound server does not answer";
                return std::optional<platform::dshow::PulseSourceInfo>();
            }
            return std::optional<platform::dshow::PulseSourceInfo>(
                platform::dshow::PulseSourceInfo{source, "Fake Card " + source, ports_, active_});
        };
        fake.setSourcePort = [this](const std::string& source, const std::string& port,
                                    std::string* error) {
            std::lock_guard<std::mutex> lock(m_);
            switches_.push_back({source, port});
            if (gone_ || port == refused_) {
                if (error) *error = "refused";
                return false;
            }
            active_ = port;
            return true;
        };
        previous_ = platform::dshow::replacePulseServer(std::move(fake));
    }
    ~FakePulseServer() { platform::dshow::replacePulseServer(std::move(previous_)); }
    FakePulseServer(const FakePulseServer&) = delete;
    FakePulseServer& operator=(const FakePulseServer&) = delete;

    // Another program switching the port, the server going away, a port the card refuses.
    void setActive(std::string port) {
        locked([&] { active_ = std::move(port); });
    }
    void setGone(bool gone) {
        locked([&] { gone_ = gone; });
    }
    void refuse(std::string port) {
        locked([&] { refused_ = std::move(port); });
    }
    std::string active() {
        return locked([&] { return active_; });
    }
    // Every port switch asked for, as (source, port).
    std::vector<std::pair<std::string, std::string>> switches() {
        return locked([&] { return switches_; });
    }

  private:
    template <class F> auto locked(F f) -> decltype(f()) {
        std::lock_guard<std::mutex> lock(m_);
        return f();
    }

    std::mutex m_;
    std::vector<Port> ports_;
    std::string active_, refused_;
    bool gone_ = false;
    std::vector<std::pair<std::string, std::string>> switches_;
    platform::dshow::PulseServer previous_;
};

} // namespace testsupport
