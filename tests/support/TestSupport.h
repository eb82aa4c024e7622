// Helpers shared by the tests: a private Xvfb server of a chosen size and depth, running an
// outside command and reading what ffprobe says about a file.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <utility>
#include <string>
#include <vector>

namespace testsupport {

// Starts Xvfb on a free display; the server ends with the object.
class Xvfb {
  public:
    explicit Xvfb(const std::string& geometry = "640x480x24");
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;
    bool ok() const { return !display_.empty(); }
    const std::string& display() const { return display_; }

  private:
    int pid_ = -1;
    std::string display_;
};

// Runs openbox as the window manager of a display (the current one when empty) until the object
// ends. The constructor returns once openbox manages windows; the destructor waits for it to
// exit, so a window manager started next never meets this one still leaving (it would refuse to
// start, and windows would stay unframed).
class WindowManager {
  public:
    explicit WindowManager(const std::string& display = "");
    ~WindowManager();
    WindowManager(const WindowManager&) = delete;
    WindowManager& operator=(const WindowManager&) = delete;
    bool ok() const { return ready_; }

  private:
    int pid_ = -1;
    bool ready_ = false;
};

// Sets an environment variable for the life of a scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();

  private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

struct CommandResult {
    int exitCode = -1;
    std::string out; // standard output
    std::string err; // standard error
};
CommandResult run(const std::string& shellCommand);

// Decodes every frame of path with ffmpeg, stopping at the first error; a clean decode exits
// 0 and prints nothing on standard error.
CommandResult decodeAll(const std::string& path);

// key=value pairs of the first video stream and of the format (ffprobe's default writer).
// The value of key in a "key=value key=value" summary line, or empty.
std::string summaryValue(const std::string& line, const std::string& key);
// A number of ffprobe's key=value answer (probeStream), or -1 when it has none.
double numberField(const std::map<std::string, std::string>& fields, const std::string& key);
// The durations ffprobe reads of a file's first video and first audio stream (-1: none).
std::pair<double, double> streamDurations(const std::string& path);
// The MD5 sum of a file, as md5sum prints it.
std::string md5sum(const std::string& path);

std::map<std::string, std::string> probeVideo(const std::string& path);
// What ffprobe reads of one stream (selector "v:0", "a:0"), packets counted.
std::map<std::string, std::string> probeStream(const std::string& path,
                                               const std::string& selector);
// What the first video stream of a file should be, as ffprobe names it. Empty texts and zero
// sizes are not checked.
struct ExpectedVideo {
    std::string codec; // "msvideo1", "mpeg4"
    std::string tag;   // "MSVC", "XVID"
    std::string rate;  // "10/1"
    int width = 0, height = 0;
};
// Checks the first video stream of path (GoogleTest expectations, naming the file) and returns
// what probeVideo read, for further checks.
std::map<std::string, std::string> expectVideoStream(const std::string& path,
                                                     const ExpectedVideo& expected);

// The video packets that carry data, in stream order: stream position, size, key flag.
// (Empty chunks are positions that no packet names.)
struct Packet {
    long long pts = 0;
    int size = 0;
    bool key = false;
};
std::vector<Packet> probePackets(const std::string& path);
// Decodes frame `index` (counting decoded pictures) to packed RGB24, top-down.
std::vector<unsigned char> decodeFrameRgb(const std::string& path, int index, int& w, int& h);

// A fresh empty directory under the build tree's test area.
std::string scratchDir(const std::string& name);
bool fileExists(const std::string& path);
// A clip made by `ffmpeg <ffmpegArgs> <file>` under scratchDir(dir), made once and shared by
// every test process: it is written under a private name and renamed into place, so a test
// running alongside never sees it half written. Empty when ffmpeg fails.
std::string sharedClip(const std::string& dir, const std::string& name,
                       const std::string& ffmpegArgs);
// The same for a file made by any command; command(path) gives the shell command that writes
// the file at path.
std::string sharedFile(const std::string& dir, const std::string& name,
                       const std::function<std::string(const std::string& path)>& command);

// The path of the running program, for benchmarks that run themselves as a child.
std::string selfPath();

// For benchmarks: a steady-clock duration in milliseconds, and the median of some figures.
inline double milliseconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}
inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Sanitized builds run several times slower. Tests that time the program's answer (a Stop
// within 200 ms, a gap between timer ticks) multiply their limits by the factor in
// TOVAMIX_TEST_TIME_SCALE, which only the sanitizer runs set; it is 1 otherwise.
double timeScale();
template <class Rep, class Period>
std::chrono::milliseconds scaled(std::chrono::duration<Rep, Period> limit) {
    return std::chrono::milliseconds(
        long(std::chrono::duration<double, std::milli>(limit).count() * timeScale()));
}

// A shell `sleep` of the given seconds, stretched as scaled() stretches limits: the wait before
// a signal is sent to a job that must have begun writing by then.
std::string scaledSleep(double seconds);

} // namespace testsupport
