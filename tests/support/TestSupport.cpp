#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <signal.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

Xvfb::Xvfb(const std::string& geometry) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        // The server ends with the test that started it, also when the test crashes.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", geometry.c_str(),
               "-nolisten", "tcp", "-br", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
}

Xvfb::~Xvfb() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

WindowManager::WindowManager(const std::string& display) {
    const std::string env = display.empty() ? "" : "DISPLAY=" + display + " ";
    // The window a running manager names on the root window; a manager that has left may leave
    // the name behind, naming a window that is gone.
    auto checkWindow = [&] {
        const std::string out = run(env + "xprop -root _NET_SUPPORTING_WM_CHECK").out;
        const auto at = out.find("# ");
        return at == std::string::npos ? std::string()
                                       : out.substr(at + 2, out.find('\n') - at - 2);
    };
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        // --replace: a manager left by a crashed test gives way instead of making this one quit.
        execlp("openbox", "openbox", "--replace", static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid_ < 0) return;
    // Ready once the window named on the root exists and is openbox's (the manager before this
    // one has left: its destructor waited), and the list of clients (empty so far) is
    // published: from then on it manages new windows.
    for (int i = 0; i < 300 && !ready_; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        const std::string check = checkWindow();
        ready_ =
            !check.empty() &&
            run(env + "xprop -id " + check + " _NET_WM_NAME").out.find("Openbox") !=
                std::string::npos &&
            run(env + "xprop -root _NET_CLIENT_LIST").out.find("window id") != std::string::npos;
        if (!ready_) usleep(50 * 1000);
    }
}

WindowManager::~WindowManager() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
        usleep(50 * 1000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* v = std::getenv(name)) {
        had_ = true;
        old_ = v;
    }
    setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (had_)
        setenv(name_.c_str(), old_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

double timeScale() {
    static const double scale = [] {
        const char* v = std::getenv("TOVAMIX_TEST_TIME_SCALE");
        const double f = v ? std::atof(v) : 1.0;
        return f >= 1.0 ? f : 1.0;
    }();
    return scale;
}

std::string scaledSleep(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "sleep %.2f", seconds * timeScale());
    return text;
}

CommandResult run(const std::string& shellCommand) {
    static int counter = 0;
    const std::string errFile =
        scratchDir("cmd") + "/stderr" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    CommandResult r;
    FILE* p = popen((shellCommand + " 2>" + errFile).c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    const int status = pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(errFile);
    std::stringstream ss;
    ss << in.rdbuf();
    r.err = ss.str();
    std::filesystem::remove(errFile);
    return r;
}

CommandResult decodeAll(const std::string& path) {
    return run("ffmpeg -v warning -xerror -i '" + path + "' -f null -");
}

namespace {
std::map<std::string, std::string> keyValues(const std::string& text) {
    std::map<std::string, std::string> kv;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return kv;
}
} // namespace

std::map<std::string, std::string> probeVideo(const std::string& path) {
    return keyValues(
        run("ffprobe -v error -select_streams v:0 -count_frames -count_packets -show_entries "
            "stream=codec_name,codec_tag_string,width,height,r_frame_rate,avg_frame_rate,"
            "nb_frames,nb_read_frames,nb_read_packets:format=duration "
            "-of default=noprint_wrappers=1 '" +
            path + "'")
            .out);
}

std::map<std::string, std::string> expectVideoStream(const std::string& path,
                                                     const ExpectedVideo& expected) {
    SCOPED_TRACE(path);
    auto info = probeVideo(path);
    auto field = [&](const char* key) { return info.count(key) ? info.at(key) : std::string(); };
    auto check = [&](const char* key, const std::string& want) {
        if (!want.empty() && want != "0") {
            EXPECT_EQ(field(key), want) << key;
        }
    };
    check("codec_name", expected.codec);
    check("codec_tag_string", expected.tag);
    check("r_frame_rate", expected.rate);
    check("width", std::to_string(expected.width));
    check("height", std::to_string(expected.height));
    return info;
}

std::map<std::string, std::string> probeStream(const std::string& path,
                                               const std::string& selector) {
    return keyValues(run("ffprobe -v error -select_streams " + selector +
                         " -count_packets -show_entries "
                         "stream=codec_name,codec_tag,codec_tag_string,sample_rate,channels,"
                         "duration,nb_frames,nb_read_packets,r_frame_rate,width,height "
                         "-of default=noprint_wrappers=1 '" +
                         path + "'")
                         .out);
}

std::vector<Packet> probePackets(const std::string& path) {
    const CommandResult r = run("ffprobe -v error -select_streams v:0 -show_entries "
                                "packet=pts,size,flags -of csv=p=0 '" +
                                path + "'");
    std::vector<Packet> packets;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        Packet p;
        char flags[16] = {};
        if (std::sscanf(line.c_str(), "%lld,%d,%15s", &p.pts, &p.size, flags) < 2) continue;
        p.key = flags[0] == 'K';
        packets.push_back(p);
    }
    return packets;
}

std::vector<unsigned char> decodeFrameRgb(const std::string& path, int index, int& w, int& h) {
    const auto info = probeVideo(path);
    w = std::atoi(info.count("width") ? info.at("width").c_str() : "0");
    h = std::atoi(info.count("height") ? info.at("height").c_str() : "0");
    const std::string out = scratchDir("frames") + "/frame" + std::to_string(getpid()) + ".rgb";
    run("ffmpeg -v error -y -i '" + path + "' -vf \"select=eq(n\\," + std::to_string(index) +
        ")\" -vsync 0 -frames:v 1 -f rawvideo -pix_fmt rgb24 '" + out + "'");
    std::ifstream in(out, std::ios::binary);
    std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    std::filesystem::remove(out);
    if (data.size() != size_t(w) * size_t(h) * 3) data.clear();
    return data;
}

std::string scratchDir(const std::string& name) {
    const auto dir = std::filesystem::current_path() / "test-scratch" / name;
    std::filesystem::create_directories(dir);
    return dir.string();
}

bool fileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

std::string sharedFile(const std::string& dir, const std::string& name,
                       const std::function<std::string(const std::string& path)>& command) {
    const std::string path = scratchDir(dir) + "/" + name;
    if (fileExists(path)) return path;
    const auto dot = name.rfind('.');
    const std::string part = scratchDir(dir) + "/" + name.substr(0, dot) + ".part" +
                             std::to_string(getpid()) + name.substr(dot);
    if (run(command(part)).exitCode != 0 || !fileExists(part)) {
        std::filesystem::remove(part);
        return {};
    }
    std::filesystem::rename(part, path); // atomic: another process's copy is equally good
    return path;
}

std::string sharedClip(const std::string& dir, const std::string& name,
                       const std::string& ffmpegArgs) {
    return sharedFile(dir, name, [&](const std::string& path) {
        return "ffmpeg -v error -y " + ffmpegArgs + " '" + path + "'";
    });
}

std::string selfPath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    path[n] = 0;
    return path;
}

std::string summaryValue(const std::string& line, const std::string& key) {
    std::smatch m;
    std::regex_search(line, m, std::regex("(^| )" + key + "=([^ \n]+)"));
    return m.empty() ? "" : m[2].str();
}

std::pair<double, double> streamDurations(const std::string& path) {
    auto duration = [&](const char* selector) {
        const auto info = probeStream(path, selector);
        const auto it = info.find("duration");
        return it == info.end() || it->second == "N/A" ? -1.0 : std::stod(it->second);
    };
    return {duration("v:0"), duration("a:0")};
}

double numberField(const std::map<std::string, std::string>& fields, const std::string& key) {
    const auto it = fields.find(key);
    return it == fields.end() ? -1 : std::atof(it->second.c_str());
}

std::string md5sum(const std::string& path) {
    return run("md5sum < '" + path + "'").out;
}

} // namespace testsupport
