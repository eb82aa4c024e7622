#include "player/TimelineRender.h"
#include "support/QtEnvironment.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <thread>

using namespace player;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {
auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("640x480x24"));

constexpr int64_t Second = 10000000;

// 10 s of testsrc2 640x480 at 25 fps with a 440 Hz tone, as H.264/AAC MP4.
std::string mp4Clip() {
    return sharedClip("render", "clip.mp4",
                      "-f lavfi -i testsrc2=size=640x480:rate=25 -f lavfi -i "
                      "sine=frequency=440:sample_rate=44100 -t 10 -c:v libx264 -pix_fmt yuv420p "
                      "-c:a aac -shortest");
}
std::string videoOnlyClip() {
    return sharedClip("render", "video.avi",
                      "-f lavfi -i testsrc2=size=320x240:rate=25 -t 4 -c:v mjpeg -q:v 3");
}
std::string audioOnlyClip() {
    return sharedClip("render", "audio.wav", "-f lavfi -i sine=frequency=440 -t 4");
}

TExportRequest cutOf(const std::string& file, int64_t from, int64_t to, long w, long h,
                     const std::string& out) {
    TExportRequest r;
    r.detectionFile = file;
    r.videoWidth = w;
    r.videoHeight = h;
    r.clips.push_back({file, 0, to - from, from, to, 0});
    r.outputFile = out;
    r.videoEncoderRule = playerVideoEncoderRule;
    return r;
}

// Runs the render with a loop that lets Qt's events through and may stop it.
TRenderResult render(const TExportRequest& r, const std::function<bool()>& stopNow = {}) {
    long code = 1;
    TRenderHooks hooks;
    hooks.processEvents = [&code, &stopNow] {
        QCoreApplication::processEvents();
        if (stopNow && stopNow()) code = 1;
    };
    return renderTimeline(r, code, hooks);
}

double psnr(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    const double mse = sum / double(a.size());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}
} // namespace

// The encoder rules, on friendly names.
TEST(EncoderRules, VideoAndAudioNames) {
    const struct {
        const char* name;
        bool player, link;
    } video[] = {
        {"xvid", true, false},
        {"Xvid MPEG-4 Codec", true, true},
        {"XVID Codec", true, false},
        {"xvid mpeg-4 codec", true, false},
        {"Xvid MPEG-4 Codec ", true, false},
        {"XVI", false, false},
        {"DivX", false, false},
        {"", false, false},
    };
    for (const auto& v : video) {
        EXPECT_EQ(playerVideoEncoderRule(v.name), v.player) << v.name;
        EXPECT_EQ(linkVideoEncoderRule(v.name), v.link) << v.name;
    }
    const struct {
        const char* name;
        bool takes;
    } audio[] = {
        {"MPEG Layer-3", true},         {"Fraunhofer IIS MPEG LAYER-3 Codec", true},
        {"LAME MP3 Encoder", true},     {"my lame mp3", true},
        {"MPEG Layer 3", false},        {"lamemp3", false},
        {"Windows Media Audio", false}, {"", false},
    };
    for (const auto& a : audio)
        EXPECT_EQ(audioEncoderRule(a.name), a.takes) << a.name;
}

// The bar's value scales position and duration together in 64 bits: an unknown or zero
// duration gives 0, a 240 s render is never cut short by 32 bits, and it stays in range.
TEST(EncoderRules, ProgressArithmetic) {
    EXPECT_EQ(progressValue(5 * Second, 0, 1000), 0);
    EXPECT_EQ(progressValue(5 * Second, -1, 1000), 0);
    EXPECT_EQ(progressValue(120 * Second, 240 * Second, 1000), 500);
    EXPECT_EQ(progressValue(240 * Second, 240 * Second, 1000), 1000);
    EXPECT_EQ(progressValue(300 * Second, 240 * Second, 1000), 1000);
    EXPECT_EQ(progressValue(-3, 240 * Second, 1000), 0);
    EXPECT_EQ(progressValue(int64_t(1) << 50, int64_t(1) << 51, 1000), 500);
}

// The cut of [2 s, 5 s]: XviD 640x480 at the source's 25/1, 75 frames, each the source's
// frame 50 + k; MP3 44100 Hz stereo of 3 s.
TEST(Render, CutIsFrameExactXvidAndMp3) {
    const std::string clip = mp4Clip();
    ASSERT_FALSE(clip.empty());
    const std::string out = scratchDir("render-cut") + "/cut.avi";
    const TRenderResult r = render(cutOf(clip, 2 * Second, 5 * Second, 640, 480, out));
    EXPECT_EQ(r.completionCode, 1);
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(r.error, 0);
    EXPECT_NEAR(double(r.duration) / Second, 3.0, 0.01);
    const auto v = expectVideoStream(out, {"mpeg4", "XVID", "25/1", 640, 480});
    EXPECT_EQ(probeStream(out, "v:0")["nb_read_packets"], "75");
    auto a = probeStream(out, "a:0");
    EXPECT_EQ(a["codec_name"], "mp3");
    EXPECT_EQ(a["sample_rate"], "44100");
    EXPECT_EQ(a["channels"], "2");
    EXPECT_NEAR(std::stod("0" + a["duration"]), 3.0, 0.05);
    EXPECT_EQ(decodeAll(out).err, "");

    for (int k : {0, 37, 74}) {
        int w = 0, h = 0;
        const auto frame = decodeFrameRgb(out, k, w, h);
        std::map<int, double> near;
        for (int s : {49 + k, 50 + k, 51 + k}) {
            int sw = 0, sh = 0;
            near[s] = psnr(frame, decodeFrameRgb(clip, s, sw, sh));
        }
        EXPECT_GE(near[50 + k], 30) << "frame " << k;
        EXPECT_GE(near[50 + k], near[49 + k] + 5) << "frame " << k;
        EXPECT_GE(near[50 + k], near[51 + k] + 5) << "frame " << k;
    }
}

// A source with one kind of stream gives one group: only that stream is written.
TEST(Render, VideoOnlyAndAudioOnlySources) {
    const std::string dir = scratchDir("render-one-kind");
    const std::string video = videoOnlyClip();
    ASSERT_EQ(render(cutOf(video, 1 * Second, 3 * Second, 320, 240, dir + "/v.avi")).error, 0);
    EXPECT_EQ(probeStream(dir + "/v.avi", "v:0")["nb_read_packets"], "50");
    EXPECT_TRUE(probeStream(dir + "/v.avi", "a:0").empty());

    const std::string audio = audioOnlyClip();
    ASSERT_EQ(render(cutOf(audio, 1 * Second, 3 * Second, 0, 0, dir + "/a.avi")).error, 0);
    EXPECT_TRUE(probeStream(dir + "/a.avi", "v:0").empty());
    auto a = probeStream(dir + "/a.avi", "a:0");
    EXPECT_EQ(a["codec_name"], "mp3");
    EXPECT_NEAR(std::stod("0" + a["duration"]), 2.0, 0.05);
}

// Refused before anything is written: the end at or before the start, an output that is the
// source, a missing encoder, a file with nothing to render.
TEST(Render, RefusalsWriteNothing) {
    const std::string clip = videoOnlyClip();
    const std::string dir = scratchDir("render-refused");
    const std::string out = dir + "/out.avi";
    EXPECT_THROW(render(cutOf(clip, 3 * Second, 3 * Second, 320, 240, out)), ERenderRefused);
    EXPECT_THROW(render(cutOf(clip, 3 * Second, 2 * Second, 320, 240, out)), ERenderRefused);
    const auto before = std::filesystem::file_size(clip);
    EXPECT_THROW(render(cutOf(clip, 1 * Second, 2 * Second, 320, 240, clip)), ERenderRefused);
    EXPECT_EQ(std::filesystem::file_size(clip), before);
    auto noEncoder = cutOf(clip, 1 * Second, 2 * Second, 320, 240, out);
    noEncoder.videoEncoderRule = [](const std::string&) { return false; };
    try {
        render(noEncoder);
        ADD_FAILURE() << "rendered without an encoder";
    } catch (const ERenderRefused& e) {
        EXPECT_NE(std::string(e.what()).find("XviD"), std::string::npos) << e.what();
    }
    const std::string text = dir + "/notes.txt";
    std::ofstream(text) << "no media here\n";
    EXPECT_THROW(render(cutOf(text, 0, 1 * Second, 320, 240, out)), ERenderRefused);
    EXPECT_FALSE(fileExists(out));
}

// A Stop during the render ends the loop and leaves a file ffmpeg decodes cleanly; the Qt
// event loop keeps running meanwhile (a 10 ms timer never waits 300 ms).
TEST(Render, StopLeavesACleanFileAndTheEventsFlow) {
    const std::string clip = mp4Clip();
    const std::string out = scratchDir("render-stop") + "/stopped.avi";
    QTimer tick;
    auto last = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration longest{};
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const auto now = std::chrono::steady_clock::now();
        longest = std::max(longest, now - last);
        last = now;
    });
    tick.start(10);
    // Stopped once the encoders have passed 2 s of the 10.
    long code = 1;
    TRenderHooks hooks;
    hooks.progress = [&code](int64_t position, int64_t) {
        if (position > 2 * Second) code = 1;
    };
    hooks.processEvents = [] { QCoreApplication::processEvents(); };
    const TRenderResult r = renderTimeline(cutOf(clip, 0, 10 * Second, 640, 480, out), code, hooks);
    tick.stop();
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.error, 0);
    EXPECT_LT(longest, scaled(300ms));
    ASSERT_TRUE(fileExists(out));
    EXPECT_EQ(decodeAll(out).err, "");
    const int frames = std::stoi("0" + probeStream(out, "v:0")["nb_read_packets"]);
    EXPECT_GT(frames, 0);
    EXPECT_LT(frames, 250);
}

// A render longer than 214 s (the end of 32-bit counts of 100 ns) moves the bar steadily from
// empty to full.
TEST(Render, LongRenderMovesTheBarToFull) {
    const std::string clip = sharedClip("render", "long240.avi",
                                        "-f lavfi -i testsrc2=size=160x120:rate=5 -t 240 "
                                        "-c:v mjpeg -q:v 5");
    ASSERT_FALSE(clip.empty());
    const std::string out = scratchDir("render-long") + "/long.avi";
    long code = 1;
    std::vector<int> values;
    TRenderHooks hooks;
    hooks.progress = [&values](int64_t p, int64_t d) {
        values.push_back(progressValue(p, d, 1000));
    };
    hooks.processEvents = [] { QCoreApplication::processEvents(); };
    const TRenderResult r =
        renderTimeline(cutOf(clip, 0, 240 * Second, 160, 120, out), code, hooks);
    EXPECT_EQ(r.error, 0);
    ASSERT_FALSE(values.empty());
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    EXPECT_GE(values.back(), 990);
    EXPECT_EQ(probeStream(out, "v:0")["nb_read_packets"], "1200");
}

// An error while the graph runs (the output cannot grow) ends the loop with that error, and
// the unfinished output is removed.
TEST(Render, AnErrorEndsTheLoopAndRemovesTheOutput) {
    const std::string clip = mp4Clip();
    const std::string out = scratchDir("render-error") + "/too-big.avi";
    // Writes past 200 kB fail with EFBIG for this process (and the signal is ignored).
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 200 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    TRenderResult r;
    EXPECT_NO_THROW(r = render(cutOf(clip, 0, 10 * Second, 640, 480, out)));
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_NE(r.error, 0);
    EXPECT_FALSE(r.stopped);
    EXPECT_FALSE(fileExists(out));
}

// The wait every job shares stops a job whose position stands still for StallLimit, as a
// Stop would, and says where it stood; the graph's own end is never taken for a stall.
TEST(Render, AJobThatMakesNoProgressStopsItselfAndSaysWhere) {
    long code = 0;
    int64_t stalledAt = 0;
    int slices = 0;
    const auto started = std::chrono::steady_clock::now();
    const bool ownEnd = waitForGraph(
        code,
        [&slices](long timeoutMs) {
            ++slices;
            std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
            return 0L;
        },
        [](int64_t* position, int64_t* duration) {
            *position = 32 * Second / 10;
            *duration = 10 * Second;
            return true;
        },
        TRenderHooks{}, &stalledAt);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(ownEnd);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(stalledAt, 32 * Second / 10);
    EXPECT_GE(took, StallLimit);
    EXPECT_LT(took, StallLimit + scaled(2000ms));
    EXPECT_NE(stallText(stalledAt).find("made no progress for 10 s (at 3.2 s)"), std::string::npos)
        << stallText(stalledAt);

    // A graph that ends by itself while standing still has ended, not stalled.
    code = 0;
    const bool ended = waitForGraph(
        code, [](long) { return long(platform::dshow::EC_COMPLETE); },
        [](int64_t* position, int64_t*) {
            *position = 0;
            return true;
        },
        TRenderHooks{}, &stalledAt);
    EXPECT_TRUE(ended);
    EXPECT_EQ(code, platform::dshow::EC_COMPLETE);
    EXPECT_EQ(stalledAt, -1);
}
