// A PulseAudio server of a test's own, in a private folder, with the modules the test asks
// for: programs reach it with PULSE_SERVER=server(). It ends with the object.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

class SoundServer {
  public:
    // `modules`: each a module's name and arguments, as after pulseaudio's -L.
    SoundServer(const std::string& name, const std::vector<std::string>& modules);
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;
    bool ok() const { return ok_; }
    std::string server() const { return "unix:" + dir_ + "/native"; }
    const std::string& dir() const { return dir_; }
    // pactl against this server; true when it exits 0.
    bool pactl(const std::string& args) const;

  private:
    std::string dir_;
    int pid_ = -1;
    bool ok_ = false;
};

} // namespace testsupport
