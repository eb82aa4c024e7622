// Picture and voice of a screen recording in step, proved with markers. One GStreamer pipeline
// of the test's own shows a window whose twelve black or white blocks spell the number of the
// picture on show (a new one every 20 ms: the marker's time), and plays into a sound server of
// the test's own a beep at each whole second of that same time. The recording hears the beeps
// through the server's microphone and sees the blocks. In the file, each beep must lie where
// the picture shows the second it belongs to.
#include "CliCommand.h"
#include "support/SoundServer.h"
#include "support/TestSupport.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace testsupport;

namespace {

constexpr int Rate = 44100;
constexpr int MarkerWidth = 320, MarkerHeight = 240;
constexpr double MarkerStep = 0.02; // seconds per marker picture
constexpr int Bits = 12;            // blocks of 80 x 80: four columns, three rows
constexpr double BeepHz = 2500;     // apart from the microphone's own tone and from speech
constexpr double BeepSeconds = 0.1;
// How far a beep may lie from its picture, beyond the marker's own path. A sanitized build
// grabs its pictures later within their slots: the limit is stretched by its time scale.
constexpr double Tolerance = 0.040;

// The marker: a window at (0, 0) of `display` and a sound into `server`'s sink "marker_out",
// from one pipeline, so both follow one clock. It runs until the object ends.
class Marker {
  public:
    Marker(const std::string& display, const std::string& server) {
        gst_init(nullptr, nullptr);
        const std::string description =
            "appsrc name=v format=time caps=video/x-raw,format=GRAY8,width=" +
            std::to_string(MarkerWidth) + ",height=" + std::to_string(MarkerHeight) +
            ",framerate=50/1 ! videoconvert ! ximagesink display=" + display +
            " sync=true appsrc name=a format=time caps=audio/x-raw,format=S16LE,rate=" +
            std::to_string(Rate) + ",channels=2,layout=interleaved ! pulsesink server=" + server +
            " device=marker_out sync=true";
        GError* err = nullptr;
        pipeline_ = gst_parse_launch(description.c_str(), &err);
        if (err) {
            error_ = err->message;
            g_clear_error(&err);
            return;
        }
        GstElement* v = gst_bin_get_by_name(GST_BIN(pipeline_), "v");
        GstElement* a = gst_bin_get_by_name(GST_BIN(pipeline_), "a");
        GstAppSrcCallbacks video{};
        video.need_data = [](GstAppSrc* src, guint, gpointer self) {
            static_cast<Marker*>(self)->pushPicture(src);
        };
        GstAppSrcCallbacks sound{};
        sound.need_data = [](GstAppSrc* src, guint, gpointer self) {
            static_cast<Marker*>(self)->pushSound(src);
        };
        gst_app_src_set_callbacks(GST_APP_SRC(v), &video, this, nullptr);
        gst_app_src_set_callbacks(GST_APP_SRC(a), &sound, this, nullptr);
        gst_object_unref(v);
        gst_object_unref(a);
        // The system clock, not the sound server's: the server's clock stands still for a
        // moment when a recording of the output's monitor begins (the output's latency
        // changes), which would hold the picture back while the sound goes on.
        GstClock* clock = gst_system_clock_obtain();
        gst_pipeline_use_clock(GST_PIPELINE(pipeline_), clock);
        gst_object_unref(clock);
        gst_element_set_state(pipeline_, GST_STATE_PLAYING);
    }
    ~Marker() {
        if (!pipeline_) return;
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
    }
    // Whether the marker plays (the window shows, the sound flows); why not otherwise.
    bool playing(std::string* why) {
        if (!error_.empty()) {
            *why = error_;
            return false;
        }
        GstState state = GST_STATE_NULL;
        gst_element_get_state(pipeline_, &state, nullptr, 10 * GST_SECOND);
        if (state != GST_STATE_PLAYING) *why = "the marker pipeline does not play";
        return state == GST_STATE_PLAYING && pictures_ > 0 && samples_ > 0;
    }

  private:
    void pushPicture(GstAppSrc* src) {
        const int64_t n = pictures_++;
        GstBuffer* b = gst_buffer_new_allocate(nullptr, MarkerWidth * MarkerHeight, nullptr);
        GstMapInfo map;
        gst_buffer_map(b, &map, GST_MAP_WRITE);
        for (int y = 0; y < MarkerHeight; ++y)
            for (int x = 0; x < MarkerWidth; ++x) {
                const int bit = (y / 80) * 4 + x / 80;
                map.data[y * MarkerWidth + x] = (n >> bit) & 1 ? 255 : 0;
            }
        gst_buffer_unmap(b, &map);
        GST_BUFFER_PTS(b) = GstClockTime(double(n) * MarkerStep * GST_SECOND);
        GST_BUFFER_DURATION(b) = GstClockTime(MarkerStep * GST_SECOND);
        gst_app_src_push_buffer(src, b);
    }
    void pushSound(GstAppSrc* src) {
        constexpr int frames = Rate / 100;
        const int64_t first = samples_;
        samples_ += frames;
        GstBuffer* b = gst_buffer_new_allocate(nullptr, frames * 4, nullptr);
        GstMapInfo map;
        gst_buffer_map(b, &map, GST_MAP_WRITE);
        auto* pcm = reinterpret_cast<int16_t*>(map.data);
        for (int i = 0; i < frames; ++i) {
            const int64_t s = first + i;
            const bool beep = s >= Rate && s % Rate < int64_t(BeepSeconds * Rate);
            pcm[2 * i] = pcm[2 * i + 1] =
                beep ? int16_t(20000 * std::sin(2 * M_PI * BeepHz * double(s) / Rate)) : 0;
        }
        gst_buffer_unmap(b, &map);
        GST_BUFFER_PTS(b) = gst_util_uint64_scale(uint64_t(first), GST_SECOND, Rate);
        GST_BUFFER_DURATION(b) = gst_util_uint64_scale(frames, GST_SECOND, Rate);
        gst_app_src_push_buffer(src, b);
    }

    GstElement* pipeline_ = nullptr;
    std::string error_;
    std::atomic<int64_t> pictures_{0};
    std::atomic<int64_t> samples_{0};
};

// The marker's picture number in each decoded picture of a recording, with the picture's
// time in the file; -1 where the blocks cannot be read.
std::vector<std::pair<double, int>> markerNumbers(const std::string& file, int width, int height) {
    const std::string raw = file + ".grey";
    run("ffmpeg -v error -y -i '" + file + "' -map v:0 -fps_mode passthrough -f rawvideo " +
        "-pix_fmt gray '" + raw + "'");
    const CommandResult times = run("ffprobe -v error -select_streams v:0 -show_entries " +
                                    std::string("frame=pts_time -of csv=p=0 '") + file + "'");
    std::istringstream lines(times.out);
    std::ifstream in(raw, std::ios::binary);
    std::vector<uint8_t> frame(size_t(width) * size_t(height));
    std::vector<std::pair<double, int>> numbers;
    double t = 0;
    while (lines >> t &&
           in.read(reinterpret_cast<char*>(frame.data()), std::streamsize(frame.size()))) {
        int n = 0;
        for (int bit = 0; bit < Bits && n >= 0; ++bit) {
            // The middle of the block, away from the compression's edges.
            const int x0 = (bit % 4) * 80 + 25, y0 = (bit / 4) * 80 + 25;
            int sum = 0;
            for (int y = y0; y < y0 + 30; ++y)
                for (int x = x0; x < x0 + 30; ++x)
                    sum += frame[size_t(y) * size_t(width) + size_t(x)];
            const int mean = sum / 900;
            if (mean > 170)
                n |= 1 << bit;
            else if (mean > 85)
                n = -1; // neither black nor white: a picture caught between two
        }
        numbers.emplace_back(t, n);
    }
    std::filesystem::remove(raw);
    return numbers;
}

// Where the beeps begin in a recording's voice, in seconds of the file: the 1 ms steps at
// which the level at BeepHz (measured over 5 ms) first passes a quarter of the beep's, each
// after at least half a second below it.
std::vector<double> beepStarts(const std::string& file) {
    const std::string raw = file + ".pcm";
    run("ffmpeg -v error -y -i '" + file + "' -map a:0 -f s16le -ac 1 -ar " + std::to_string(Rate) +
        " '" + raw + "'");
    std::ifstream in(raw, std::ios::binary);
    std::vector<int16_t> pcm;
    int16_t s;
    while (in.read(reinterpret_cast<char*>(&s), 2))
        pcm.push_back(s);
    std::filesystem::remove(raw);
    constexpr int window = Rate / 200, hop = Rate / 1000;
    const double coeff = 2 * std::cos(2 * M_PI * BeepHz / Rate);
    // The beep's amplitude 20000 gives a magnitude of 20000 * window / 2.
    const double threshold = 0.25 * 20000.0 * window / 2;
    // Where the voice begins in the file.
    const double first = std::atof(
        run("ffprobe -v error -select_streams a:0 -show_entries stream=start_time -of csv=p=0 '" +
            file + "'")
            .out.c_str());
    std::vector<double> starts;
    double loudFrom = -1, lastLoud = -1;
    // A beep counts when it is loud for most of its length: one cut by the recording's start
    // or end has no start of its own to measure.
    const auto ended = [&] {
        if (loudFrom >= 0 && lastLoud - loudFrom >= BeepSeconds - 0.01)
            starts.push_back(first + loudFrom + 0.75 * window / Rate);
    };
    for (size_t at = 0; at + window <= pcm.size(); at += hop) {
        double q1 = 0, q2 = 0;
        for (int i = 0; i < window; ++i) {
            const double q0 = coeff * q1 - q2 + pcm[at + size_t(i)];
            q2 = q1;
            q1 = q0;
        }
        const double magnitude = std::sqrt(q1 * q1 + q2 * q2 - coeff * q1 * q2);
        const double t = double(at) / Rate;
        if (magnitude > threshold) {
            // The window passes the threshold when about a quarter of it holds the beep.
            if (lastLoud < 0 || t - lastLoud > 0.5) {
                ended();
                loudFrom = t;
            }
            lastLoud = t;
        }
    }
    ended();
    return starts;
}

struct Alignment {
    int beeps = 0;             // beeps found in the voice
    double worst = 0;          // the largest distance, picture to beep, in seconds
    std::vector<double> at;    // where each beep lies in the file
    std::vector<double> ahead; // by how much the picture is ahead of each beep
};

// For each beep in the file: the marker's time the picture shows at that instant, less the
// whole second the beep belongs to. Each new picture (not a repeat of the one before) within
// a second and a half of the beep tells where the marker's time lies in the file, to within
// one marker picture (it was grabbed while that picture was on show); their median does to a
// few milliseconds.
Alignment align(const std::string& file, int width, int height) {
    const auto numbers = markerNumbers(file, width, height);
    Alignment a;
    for (double beep : beepStarts(file)) {
        // The first tenth of a second of a voice may lie up to that much late, when the sound
        // server hands over its first sound late; the device's stamps put it right with the
        // next pieces. Beeps from half a second on are measured.
        if (beep < 0.5) continue;
        std::vector<double> lags; // file time less the marker time on show
        for (size_t i = 1; i < numbers.size(); ++i) {
            const auto [at, n] = numbers[i];
            if (std::abs(at - beep) > 1.5 || n < 0 || n == numbers[i - 1].second) continue;
            lags.push_back(at - (n * MarkerStep + MarkerStep / 2));
        }
        if (lags.empty()) continue;
        std::nth_element(lags.begin(), lags.begin() + long(lags.size() / 2), lags.end());
        const double shown = beep - lags[lags.size() / 2];
        const double second = std::round(shown);
        a.at.push_back(beep);
        a.ahead.push_back(shown - second);
        a.worst = std::max(a.worst, std::abs(shown - second));
        ++a.beeps;
    }
    return a;
}

std::string describe(const Alignment& a) {
    std::string s;
    char line[80];
    for (size_t i = 0; i < a.at.size(); ++i) {
        std::snprintf(line, sizeof line, "  beep at %.3f s: picture ahead by %+.0f ms\n", a.at[i],
                      a.ahead[i] * 1000);
        s += line;
    }
    return s;
}

// The marker's own path, screen to picture and output to microphone, measured the same way
// in a recording made by GStreamer's own elements.
Alignment referencePath(const std::string& display, const SoundServer& sound,
                        const std::string& dir) {
    const std::string reference = dir + "/reference.mkv";
    run("timeout -s INT 10 gst-launch-1.0 -e ximagesrc display-name=" + display +
        " use-damage=false ! video/x-raw,framerate=10/1 ! videoconvert ! "
        "video/x-raw,format=GRAY8 ! "
        "matroskamux name=m ! filesink location='" +
        reference + "' pulsesrc server=" + sound.server() +
        " device=marker_mic ! audioconvert ! m.");
    return align(reference, 640, 480);
}

// A private screen and sound server with the marker playing on both.
struct MarkedScreen : ::testing::Test {
    void SetUp() override {
        if (run("command -v pulseaudio").exitCode != 0)
            GTEST_SKIP() << "PulseAudio is not installed";
        ASSERT_TRUE(x.ok());
        // A null output the marker plays into, and a microphone that hears it.
        sound = std::make_unique<SoundServer>(
            "avsync-sound",
            std::vector<std::string>{
                "module-null-sink sink_name=marker_out",
                "module-remap-source master=marker_out.monitor source_name=marker_mic "
                "source_properties=device.description=Marker-Microphone"});
        ASSERT_TRUE(sound->ok());
        ASSERT_TRUE(sound->pactl("set-default-source marker_mic"));
        marker = std::make_unique<Marker>(x.display(), sound->server());
        std::string why;
        ASSERT_TRUE(waitForPlaying(&why)) << why;
    }
    // Puts the recordings on the private screen, sound server and temporary folder `name`,
    // and measures the marker's own path there: by how much its picture is ahead of its
    // beep (the median over its beeps).
    double enter(const std::string& name) {
        display = std::make_unique<ScopedEnv>("DISPLAY", x.display());
        server = std::make_unique<ScopedEnv>("PULSE_SERVER", sound->server());
        dir = scratchDir(name + "-" + std::to_string(getpid()));
        tmp = std::make_unique<ScopedEnv>("TMPDIR", dir);
        const Alignment path = referencePath(x.display(), *sound, dir);
        EXPECT_GE(path.beeps, 5) << describe(path);
        if (path.ahead.empty()) return 0;
        const double own = path.ahead[path.ahead.size() / 2];
        std::cout << "the marker's own path: the picture " << own * 1000 << " ms ahead\n"
                  << describe(path);
        return own;
    }
    bool waitForPlaying(std::string* why) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!marker->playing(why) && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return marker->playing(why);
    }
    Xvfb x{"640x480x24"};
    std::unique_ptr<SoundServer> sound;
    std::unique_ptr<Marker> marker;
    std::unique_ptr<ScopedEnv> display, server, tmp;
    std::string dir;
};

} // namespace

// Every beep of a recording with its voice lies within 40 ms of the picture that shows its
// second, beyond what the marker's own path puts between them: compressed while recording,
// and through the merge after the stop.
TEST_F(MarkedScreen, EveryBeepLiesWithItsPictureInTheRecording) {
    const double own = enter("avsync");
    for (const std::string how : {"", "--merge "}) {
        SCOPED_TRACE(how.empty() ? "compressed while recording" : "merged");
        const std::string out = dir + (how.empty() ? "/live.avi" : "/merged.avi");
        const CommandResult r = run("timeout -s KILL 60 " + cli("record-screen --final --voice " +
                                                                how + "--seconds 8 " + out));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const Alignment a = align(out, 640, 480);
        std::cout << (how.empty() ? "live" : "merged") << ":\n" << describe(a);
        EXPECT_GE(a.beeps, 6) << describe(a);
        for (size_t i = 0; i < a.ahead.size(); ++i)
            EXPECT_NEAR(a.ahead[i], own, Tolerance * timeScale())
                << "the beep at " << a.at[i] << " s";
    }
}

// A recording whose program is stopped (SIGSTOP) and continued: the picture stands still where
// the pause was, and every beep, before the pause and after it, lies with its picture. Three
// seconds: the sound server holds what was heard meanwhile, and it comes in its place. Six
// seconds: the server dropped the sound it could not hold, and silence stands in its place.
class StoppedRecording : public MarkedScreen, public ::testing::WithParamInterface<int> {};

TEST_P(StoppedRecording, KeepsPictureAndVoiceInStep) {
    const int pause = GetParam();
    const double own = enter("avsync-stopped");
    const std::string out = dir + "/stopped.avi";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const std::string cmd = "exec " +
                                cli("record-screen --final --voice --seconds " +
                                    std::to_string(7 + pause) + " " + out) +
                                " >'" + dir + "/record.out' 2>'" + dir + "/record.err'";
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    kill(pid, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::seconds(pause));
    kill(pid, SIGCONT);
    int status = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // between polls
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << run("cat '" + dir + "/record.err'").out;
    const Alignment a = align(out, 640, 480);
    std::cout << describe(a);
    // Seven seconds outside the pause: six or seven beeps are heard.
    EXPECT_GE(a.beeps, 5) << describe(a);
    for (size_t i = 0; i < a.ahead.size(); ++i)
        EXPECT_NEAR(a.ahead[i], own, Tolerance * timeScale()) << "the beep at " << a.at[i] << " s";
    // The picture stood still for the pause: some 30 repeats (or missing pictures) in a row.
    const auto numbers = markerNumbers(out, 640, 480);
    double longestStill = 0;
    for (size_t i = 1, from = 0; i < numbers.size(); ++i) {
        if (numbers[i].second != numbers[from].second) from = i;
        longestStill = std::max(longestStill, numbers[i].first - numbers[from].first);
    }
    for (size_t i = 1; i < numbers.size(); ++i)
        longestStill = std::max(longestStill, numbers[i].first - numbers[i - 1].first);
    EXPECT_GT(longestStill, pause - 0.5);
    const auto [videoSeconds, voiceSeconds] = streamDurations(out);
    EXPECT_NEAR(voiceSeconds, videoSeconds, 0.1);
}

INSTANTIATE_TEST_SUITE_P(Pauses, StoppedRecording, ::testing::Values(3, 6),
                         [](const auto& info) { return std::to_string(info.param) + "s"; });
