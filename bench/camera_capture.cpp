// Benchmark: recording a camera with the voice. `tovamix-cli capture-video` records SECONDS of
// "Tovamix Test Camera" (the tests' GStreamer camera, standing in for a V4L2 one) at YUY2
// 640x480 30 fps with the voice into an XviD + MP3 AVI. In the same run the peer is gst-launch
// recording the same moving picture (videotestsrc, live, at the same caps) with avenc_mpeg4 at
// 1500 kbit/s and pulsesrc + lamemp3enc into avimux. Both record from a PulseAudio source; when
// no sound server answers, a private one is started (a null output playing a quiet tone and a
// microphone that hears it). For each, the CPU time of the child process per recorded second and
// the pictures the file holds per recorded second. Then, for information, the two MPEG-4
// encoders alone on the same pictures (our XviD element and avenc_mpeg4), as CPU milliseconds
// per frame beyond the source and conversion, and the ratio with XviD's extra cost taken out.
// The last line is
//   cpu_ms_per_s_ours=<n> cpu_ms_per_s_peer=<n> ratio=<ours/peer> fps_ours=<n> fps_peer=<n>
//
//   camera_capture [SECONDS]   (default 20)
#include "platform/dshow/elements/XvidEncElement.h"
#include "BenchPipeline.h"
#include "support/TestSupport.h"

#include <gst/gst.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;
using namespace bench;

namespace {

constexpr int Fps = 30;
// pulsesrc hands over 10 ms buffers (its default latency-time), so 100 make a second.
constexpr int AudioBuffersPerSecond = 100;
// The same target bit rate as our XviD encoder's default, in kbit/s.
constexpr int VideoKbps = 1500;

// A sound server of the benchmark's own, used only when none answers: a null output with a
// quiet tone playing into it and "Virtual-Microphone", a source that hears it (so both
// recordings take sound as steadily as from a real microphone). Ends with the object.
class PrivatePulse {
  public:
    PrivatePulse() {
        dir_ = scratchDir("bench-camera-pulse-" + std::to_string(getpid()));
        const std::string server = "unix:" + dir_ + "/native";
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("PULSE_RUNTIME_PATH", dir_.c_str(), 1);
            setenv("HOME", dir_.c_str(), 1);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execlp(
                "pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                "--disallow-exit", "--use-pid-file=no", "-L",
                ("module-native-protocol-unix auth-anonymous=1 socket=" + dir_ + "/native").c_str(),
                "-L", "module-null-sink sink_name=tovamix_out", "-L",
                "module-remap-source master=tovamix_out.monitor source_name=tovamix_mic "
                "source_properties=device.description=Virtual-Microphone",
                static_cast<char*>(nullptr));
            _exit(127);
        }
        server_ = pid;
        setenv("PULSE_SERVER", server.c_str(), 1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (run("pactl info >/dev/null 2>&1").exitCode != 0) {
            if (std::chrono::steady_clock::now() > deadline) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50)); // between polls
        }
        run("pactl set-default-source tovamix_mic");
        const int null = open("/dev/null", O_WRONLY);
        tone_ = spawn({"gst-launch-1.0", "-q", "audiotestsrc", "wave=sine", "freq=440",
                       "volume=0.2", "is-live=true", "!", "pulsesink", "device=tovamix_out"},
                      null);
        close(null);
        ok_ = true;
    }
    ~PrivatePulse() {
        for (const pid_t pid : {tone_, server_})
            if (pid > 0) {
                kill(pid, SIGTERM);
                waitpid(pid, nullptr, 0);
            }
    }
    PrivatePulse(const PrivatePulse&) = delete;
    PrivatePulse& operator=(const PrivatePulse&) = delete;
    bool ok() const { return ok_; }

  private:
    std::string dir_;
    pid_t server_ = -1, tone_ = -1;
    bool ok_ = false;
};

// Pictures ffmpeg decodes from the first video stream.
long decodedFrames(const std::string& path) {
    const CommandResult r = run("ffprobe -v error -select_streams v:0 -count_frames "
                                "-show_entries stream=nb_read_frames -of csv=p=0 '" +
                                path + "'");
    return r.exitCode == 0 ? std::atol(r.out.c_str()) : 0;
}

// Seconds of sound in the first audio stream: its decoded samples over the sample rate (ffprobe
// gives an MP3 stream in AVI no duration).
double soundSeconds(const std::string& path) {
    const CommandResult r = run("ffmpeg -v error -i '" + path +
                                "' -map 0:a:0 -f s16le -ac 1 -ar 8000 - 2>/dev/null | wc -c");
    return std::atof(r.out.c_str()) / (2.0 * 8000.0);
}

std::string value(const std::string& text, const std::string& key) {
    std::smatch m;
    if (std::regex_search(text, m, std::regex("(^| )" + key + "=(\\S+)"))) return m[2];
    return {};
}

// Our XviD element and avenc_mpeg4 on the same pictures (the test pattern as fast as it comes,
// converted once to I420), each less the source and conversion alone. Returns how many more CPU
// milliseconds per second of 30 fps video XviD takes than avenc_mpeg4, or NAN.
double encoderGapPerSecond(int frames) {
    if (!platform::dshow::registerXvidEncElement()) {
        std::fprintf(stderr, "cannot register the XviD encoder element\n");
        return NAN;
    }
    const std::string source =
        "videotestsrc pattern=smpte horizontal-speed=4 num-buffers=" + std::to_string(frames) +
        " ! video/x-raw,format=YUY2,width=640,height=480,framerate=30/1 ! videoconvert ! "
        "video/x-raw,format=I420 ! ";
    const double base = pipelineCpuMs(source + "fakesink");
    const double xvid = pipelineCpuMs(
        source + "tovamixxvidenc bitrate=" + std::to_string(VideoKbps) + " ! fakesink");
    const double avenc = pipelineCpuMs(
        source + "avenc_mpeg4 bitrate=" + std::to_string(VideoKbps * 1000) + " ! fakesink");
    if (base < 0 || xvid < 0 || avenc < 0) return NAN;
    const double xvidPerFrame = (xvid - base) / frames, avencPerFrame = (avenc - base) / frames;
    std::printf("encoders alone, %d frames: source+convert %.2f ms/frame, xvid %.2f ms/frame, "
                "avenc_mpeg4 %.2f ms/frame (%.2fx)\n",
                frames, base / frames, xvidPerFrame, avencPerFrame, xvidPerFrame / avencPerFrame);
    return (xvidPerFrame - avencPerFrame) * Fps;
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const std::string secs = std::to_string(seconds);
    // The test camera comes from the build's plugin folder; without the faulty devices the
    // first audio input is the sound server's.
    setenv("GST_PLUGIN_PATH", TEST_PLUGIN_DIR, 1);
    unsetenv("TOVAMIX_TEST_CAMERA_FAULTS");
    // The command line makes a Qt application, which wants a display even without a preview.
    Xvfb xvfb("640x480x24");
    if (!xvfb.ok()) {
        std::fprintf(stderr, "cannot start Xvfb\n");
        return 1;
    }
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    std::unique_ptr<PrivatePulse> pulse;
    if (run("pactl info >/dev/null 2>&1").exitCode != 0) {
        pulse = std::make_unique<PrivatePulse>();
        if (!pulse->ok()) {
            std::fprintf(stderr, "no sound server answers and none could be started\n");
            return 1;
        }
        std::printf("started a private PulseAudio server\n");
    }
    const std::string dir = scratchDir("bench-camera-capture");
    const std::string ours = dir + "/ours.avi", peer = dir + "/peer.avi";
    std::filesystem::remove(ours);
    std::filesystem::remove(peer);

    const Usage a = measure({TOVAMIX_CLI, "capture-video", "--device", "Tovamix Test Camera",
                             "--format", "640x480@30", "--voice", "--seconds", secs, ours});
    if (a.exitCode != 0) {
        std::fprintf(stderr, "capture-video exited %d\n", a.exitCode);
        return 1;
    }
    const double oursSeconds = std::atof(value(a.out, "seconds").c_str());
    const long oursFrames = decodedFrames(ours);

    // The peer ends by itself after the same time: both sources stop after a second's worth of
    // buffers times SECONDS, and -e lets avimux finish the file. Its sound is stereo 44.1 kHz,
    // as ours is (pulsesrc would otherwise settle on mono).
    const Usage b = measure({"gst-launch-1.0",
                             "-e",
                             "videotestsrc",
                             "is-live=true",
                             "pattern=smpte",
                             "horizontal-speed=4",
                             "num-buffers=" + std::to_string(seconds * Fps),
                             "!",
                             "video/x-raw,format=YUY2,width=640,height=480,framerate=30/1",
                             "!",
                             "videoconvert",
                             "!",
                             "avenc_mpeg4",
                             "bitrate=" + std::to_string(VideoKbps * 1000),
                             "!",
                             "avimux",
                             "name=m",
                             "!",
                             "filesink",
                             "location=" + peer,
                             "pulsesrc",
                             "num-buffers=" + std::to_string(seconds * AudioBuffersPerSecond),
                             "!",
                             "audio/x-raw,rate=44100,channels=2",
                             "!",
                             "audioconvert",
                             "!",
                             "lamemp3enc",
                             "!",
                             "m."});
    if (b.exitCode != 0) {
        std::fprintf(stderr, "gst-launch-1.0 exited %d\n", b.exitCode);
        return 1;
    }
    const long peerFrames = decodedFrames(peer);
    // Its sources stop after SECONDS of buffers; the sound in the file carries the MP3
    // encoder's delay and padding on top.
    const double peerSeconds = seconds;

    std::printf("tovamix-cli: %s", a.out.c_str());
    std::printf("tovamix-cli: %ld pictures decoded, %.2f s recorded, %.0f ms CPU, %.1f s of "
                "sound in the file\n",
                oursFrames, oursSeconds, a.cpuMs, soundSeconds(ours));
    std::printf("gst-launch avenc_mpeg4+lamemp3enc: %ld pictures decoded, %.2f s recorded, %.0f "
                "ms CPU, %.1f s of sound in the file\n",
                peerFrames, peerSeconds, b.cpuMs, soundSeconds(peer));
    pulse.reset();

    const double oursPerSecond = oursSeconds > 0 ? a.cpuMs / oursSeconds : NAN;
    const double peerPerSecond = peerSeconds > 0 ? b.cpuMs / peerSeconds : NAN;
    // What our recording would cost with the peer's encoder in place of XviD.
    const double gap = encoderGapPerSecond(seconds * Fps);
    std::printf("xvid_extra_ms_per_s=%.1f ratio_without_xvid_extra=%.2f\n", gap,
                (oursPerSecond - gap) / peerPerSecond);
    std::printf("cpu_ms_per_s_ours=%.1f cpu_ms_per_s_peer=%.1f ratio=%.2f fps_ours=%.2f "
                "fps_peer=%.2f\n",
                oursPerSecond, peerPerSecond, oursPerSecond / peerPerSecond,
                oursSeconds > 0 ? double(oursFrames) / oursSeconds : 0.0,
                peerSeconds > 0 ? double(peerFrames) / peerSeconds : 0.0);
    return 0;
}
