#include "platform/screen/Screen.h"
#include "recorder/TScreenCam.h"
#include "recorder/TempFiles.h"
#include "support/TestSupport.h"
#include "ui/Dialogs.h"
#include "ui/UiThread.h"

#include <gtest/gtest.h>
// After gtest: Xlib defines macros (None, Bool) that clash with its names.
#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace recorder;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// A scripted timer: time moves only when the loop sleeps or when a pass is given a cost.
class FakeTiming : public RecordTiming {
  public:
    uint32_t now() override { return time; }
    void sleep(uint32_t ms) override {
        sleeps.push_back(ms);
        time += ms;
        if (onSleep) onSleep(int(sleeps.size()));
    }
    uint32_t time = 1000000;
    std::vector<uint32_t> sleeps;
    std::function<void(int)> onSleep;
};

// A capture area read once at set-up and then once per pass; each read can cost fake time
// (a slow pass) and the n-th read can stop the engine.
class ScriptedArea : public CaptureAreaSource {
  public:
    ScriptedArea(Rect r, FakeTiming& t, std::vector<uint32_t> costs, TScreenCam& e, int stopAt)
        : rect(r), timing(t), costs(std::move(costs)), engine(e), stopAt(stopAt) {}
    Rect captureBounds() const override {
        const int n = reads++;
        if (n < int(costs.size())) timing.time += costs[size_t(n)];
        if (n == stopAt) engine.stopRecording();
        return rect;
    }
    Rect rect;
    FakeTiming& timing;
    std::vector<uint32_t> costs;
    TScreenCam& engine;
    int stopAt;
    mutable int reads = 0;
};

class ScreenCamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(xvfb.ok());
        ui::defaultEventQueue().processPending();
    }
    // A path in the scratch folder, with whatever an earlier run left there removed.
    std::string file(const std::string& name) {
        const std::string path = scratchDir("screencam") + "/" + name;
        std::remove(path.c_str());
        return path;
    }

    Xvfb xvfb{"320x240x24"};
    ScopedEnv display{"DISPLAY", xvfb.display()};
    ui::ScriptedDialogs dialogs;
    ui::ScopedDialogs useDialogs{dialogs};
};

} // namespace

TEST(Slots, RoundToNearestWithTiesToEven) {
    struct Case {
        uint32_t t, interval;
        int64_t slot;
    } cases[] = {{0, 100, 0},       {49, 100, 0},      {50, 100, 0},  {51, 100, 1},  {150, 100, 2},
                 {250, 100, 2},     {251, 100, 3},     {349, 100, 3}, {350, 100, 4}, {7, 1, 7},
                 {30000, 60000, 0}, {90000, 60000, 2}, {16, 33, 0},   {17, 33, 1}};
    for (const Case& c : cases)
        EXPECT_EQ(slotOf(c.t, c.interval), c.slot) << c.t << "/" << c.interval;
}

namespace {
// Lets a started engine record until its frame loop has run for ms milliseconds and written at
// least one frame, instead of sleeping a fixed time: on a busy machine the loop starts late.
// False when that does not happen before the deadline.
bool recordFor(const TScreenCam& engine, uint32_t ms,
               std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!(engine.frameLoopRunning() && engine.recordedMilliseconds() >= ms &&
             engine.samplesWritten() > 0)) {
        if (std::chrono::steady_clock::now() >= end || !engine.recording()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
} // namespace

TEST_F(ScreenCamTest, DefaultsAndScreenMetrics) {
    TScreenCam engine;
    EXPECT_EQ(engine.colourDepth, 32);
    EXPECT_EQ(engine.compressorFourCC, 0x4356534Du); // M, S, V, C
    EXPECT_EQ(engine.playbackRate, 10);
    EXPECT_EQ(engine.recordInterval, 100);
    EXPECT_EQ(engine.keyFrameInterval, 5);
    EXPECT_EQ(engine.quality, 6550);
    EXPECT_FALSE(engine.areaFlag);
    EXPECT_FALSE(engine.recording());
    EXPECT_EQ(engine.screenWidth(), 320);
    EXPECT_EQ(engine.screenHeight(), 240);
}

// A slow pass makes the slot jump (the skipped position stays empty). It leaves the next pass
// halfway between two slots, where the rounding breaks ties towards even slots: passes kept
// a whole interval apart from there would land on every slot twice and drop every second
// frame for the rest of the recording. The passes come back to the slots' places instead, a
// millisecond each, and write one frame per slot.
TEST_F(ScreenCamTest, SlowPassesSkipPositionsAndThePassesComeBackToTheirSlots) {
    TScreenCam engine;
    FakeTiming timing;
    engine.setTiming(&timing);
    engine.areaFlag = true;
    // Reads: set-up, then passes at t = 0, 250, 349, 448, 547, 646 (the last one stops).
    ScriptedArea area({0, 0, 64, 48}, timing, {0, 250, 0, 0, 0, 0, 0}, engine, 6);
    const std::string path = file("pacing.avi");
    ASSERT_TRUE(engine.startRecording(&area, path));
    ASSERT_TRUE(engine.waitUntilIdle(30s));
    EXPECT_EQ(engine.lastResult(), 1);
    EXPECT_EQ(engine.samplesWritten(), 6);
    EXPECT_EQ(engine.positionsSkipped(), 1);
    std::vector<long long> positions;
    for (const Packet& p : probePackets(path))
        positions.push_back(p.pts);
    EXPECT_EQ(positions, (std::vector<long long>{0, 2, 3, 4, 5, 6}));
    EXPECT_EQ(probeVideo(path).at("nb_frames"), "7");
    // The sleep is cut into quanta of a tenth of the interval, and the rest.
    EXPECT_EQ(std::count(timing.sleeps.begin(), timing.sleeps.end(), 10u), 9 * 4);
    EXPECT_EQ(std::count(timing.sleeps.begin(), timing.sleeps.end(), 9u), 4);
    EXPECT_TRUE(dialogs.shown().empty());
}

TEST_F(ScreenCamTest, AStopIsSeenAfterOneQuantumOfALongInterval) {
    TScreenCam engine;
    FakeTiming timing;
    timing.onSleep = [&](int n) {
        if (n == 3) engine.stopRecording();
    };
    engine.setTiming(&timing);
    engine.recordInterval = 60000;
    engine.startRecording(nullptr, file("long-interval.avi"));
    ASSERT_TRUE(engine.waitUntilIdle(30s));
    EXPECT_EQ(timing.sleeps, (std::vector<uint32_t>{6000, 6000, 6000}));
    EXPECT_EQ(engine.samplesWritten(), 1);
}

TEST_F(ScreenCamTest, AStopWithAMinutePerFrameEndsWithinAboutSixSeconds) {
    TScreenCam engine;
    engine.recordInterval = 60000;
    engine.startRecording(nullptr, file("minute.avi"));
    ASSERT_TRUE(recordFor(engine, 500));
    const auto stop = std::chrono::steady_clock::now();
    engine.stopRecording();
    ASSERT_TRUE(engine.waitUntilIdle(20s));
    const auto took = std::chrono::steady_clock::now() - stop;
    EXPECT_LT(took, 6500ms);
    EXPECT_EQ(engine.lastResult(), 1);
}

TEST_F(ScreenCamTest, RecordsAFileThatPlaysAtTheRecordedPace) {
    TScreenCam engine;
    int endedWith = -1;
    std::thread::id endedOn;
    engine.onRecordEnd = [&](int result) {
        endedWith = result;
        endedOn = std::this_thread::get_id();
    };
    const std::string path = file("pace.avi");
    engine.startRecording(nullptr, path);
    EXPECT_TRUE(engine.recording());
    ASSERT_TRUE(recordFor(engine, 1500));
    engine.stopRecording();
    ASSERT_TRUE(engine.waitUntilIdle(10s));
    EXPECT_FALSE(engine.recording());
    EXPECT_FALSE(engine.hasWorker());
    EXPECT_EQ(endedWith, 1);
    EXPECT_EQ(endedOn, std::this_thread::get_id()); // the end handler ran on our thread
    EXPECT_TRUE(dialogs.shown().empty());

    const auto info = expectVideoStream(path, {"msvideo1", "MSVC", "10/1", 320, 240});
    const double recorded = engine.recordedMilliseconds() / 1000.0;
    EXPECT_NEAR(std::stod(info.at("duration")), recorded, 0.15);
    EXPECT_EQ(std::stoi(info.at("nb_frames")), engine.samplesWritten() + engine.positionsSkipped());
    EXPECT_NEAR(double(engine.samplesWritten()), recorded * 10, 2);
    const CommandResult d = decodeAll(path);
    EXPECT_EQ(d.exitCode, 0);
    EXPECT_EQ(d.err, "");
}

TEST_F(ScreenCamTest, ASecondStartWhileRecordingDoesNothing) {
    TScreenCam engine;
    const std::string first = file("first.avi"), second = file("second.avi");
    engine.startRecording(nullptr, first);
    engine.startRecording(nullptr, second);
    ASSERT_TRUE(recordFor(engine, 300));
    engine.stopRecording();
    ASSERT_TRUE(engine.waitUntilIdle(10s));
    EXPECT_TRUE(fileExists(first));
    EXPECT_FALSE(fileExists(second));
    // Back to idle, the engine records again.
    engine.startRecording(nullptr, second);
    ASSERT_TRUE(recordFor(engine, 200));
    engine.stopRecording();
    ASSERT_TRUE(engine.waitUntilIdle(10s));
    EXPECT_EQ(engine.lastResult(), 1);
    EXPECT_TRUE(fileExists(second));
}

// Starting again right after a stop, before the first worker's end handler ran, starts
// nothing: the old worker is not waited for on this thread (it may be closing its file or
// waiting for a message box this thread shows). Once idle, the engine starts again.
TEST_F(ScreenCamTest, AStartBeforeTheStoppedWorkerEndedIsRefusedUntilIdle) {
    TScreenCam engine;
    int ends = 0;
    engine.onRecordEnd = [&](int) { ++ends; };
    const std::string first = file("restart-1.avi"), second = file("restart-2.avi");
    ASSERT_TRUE(engine.startRecording(nullptr, first));
    EXPECT_FALSE(engine.startRecording(nullptr, second)); // while recording
    ASSERT_TRUE(recordFor(engine, 300));
    engine.stopRecording();
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_FALSE(engine.startRecording(nullptr, second));      // stopped, worker not ended
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 50ms); // refused, not waited
    EXPECT_FALSE(engine.recording());
    EXPECT_TRUE(engine.hasWorker());
    ASSERT_TRUE(engine.waitUntilIdle(10s));
    EXPECT_EQ(ends, 1);
    EXPECT_FALSE(fileExists(second));

    ASSERT_TRUE(engine.startRecording(nullptr, second));
    ASSERT_TRUE(recordFor(engine, 300));
    engine.stopRecording();
    ASSERT_TRUE(engine.waitUntilIdle(10s));
    EXPECT_EQ(ends, 2);
    EXPECT_EQ(engine.lastResult(), 1);
    for (const std::string& path : {first, second})
        EXPECT_EQ(decodeAll(path).exitCode, 0) << path;
}

// Whatever the worker's routine throws, also something that is no std::exception, is shown to
// the user; the recording ends as a failed one and the engine is idle again, the frames
// written before still in a complete file.
TEST_F(ScreenCamTest, AnExceptionInTheWorkerIsReportedAndTheEngineReturnsToIdle) {
    struct Thrower : CaptureAreaSource {
        Rect captureBounds() const override {
            if (++reads == 4) {
                if (plain) throw 42;
                throw std::runtime_error("the capture area went away");
            }
            return Rect{0, 0, 64, 48};
        }
        bool plain = true;
        mutable std::atomic<int> reads{0};
    };
    for (const bool plain : {true, false}) {
        TScreenCam engine;
        engine.areaFlag = true;
        Thrower area;
        area.plain = plain;
        const std::string path = file("thrown.avi");
        ASSERT_TRUE(engine.startRecording(&area, path));
        ASSERT_TRUE(engine.waitUntilIdle(10s));
        EXPECT_EQ(engine.lastResult(), 0);
        EXPECT_FALSE(engine.recording());
        EXPECT_FALSE(engine.hasWorker());
        EXPECT_FALSE(engine.frameLoopRunning());
        const auto shown = dialogs.shown();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].request.text,
                  plain ? "The screen recording stopped on an unexpected error."
                        : "the capture area went away");
        EXPECT_EQ(shown[0].request.caption, "Error");
        EXPECT_EQ(shown[0].request.icon, ui::MsgIcon::Warning);
        EXPECT_EQ(std::stoi(probeVideo(path).at("nb_read_frames")), 2);
        dialogs.clear();
    }
}

// A symbolic link planted where the recording goes is not followed: the file it points at
// keeps its bytes, and the user is told the file could not be created.
TEST_F(ScreenCamTest, ALinkPlantedAtTheRecordingsPlaceIsNotFollowed) {
    std::filesystem::remove_all(scratchDir("screencam-link")); // links of an earlier run
    const std::string dir = scratchDir("screencam-link");
    const std::string victim = dir + "/victim.txt", path = dir + "/VideoTemp.avi";
    std::ofstream(victim) << "precious";
    std::filesystem::create_symlink(victim, path);
    TScreenCam engine;
    ASSERT_TRUE(engine.startRecording(nullptr, path));
    ASSERT_TRUE(engine.waitUntilIdle(10s));
    EXPECT_EQ(engine.lastResult(), 0);
    const auto shown = dialogs.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].request.text, "Error Creating AVI file");
    EXPECT_EQ(std::filesystem::file_size(victim), 8u);
    EXPECT_TRUE(std::filesystem::is_symlink(path));
}

// The cursor is drawn as the standard arrow at the pointer minus the shown cursor's hot spot,
// in grabbed frames and so in the recorded file.
TEST_F(ScreenCamTest, TheArrowIsDrawnWhereThePointerIs) {
    std::string error;
    auto screen = platform::screen::ScreenConnection::open(&error);
    ASSERT_TRUE(screen) << error;
    Display* dpy = static_cast<Display*>(screen->nativeDisplay());
    XWarpPointer(dpy, None, DefaultRootWindow(dpy), 0, 0, 0, 0, 150, 100);
    XSync(dpy, False);
    int hx = 0, hy = 0;
    ASSERT_TRUE(screen->cursorHotSpot(hx, hy));
    const int ax = 150 - 100 - hx, ay = 100 - 60 - hy; // arrow origin in the grabbed frame

    TScreenCam engine;
    PackedDib frame = engine.grabFrame(100, 60, 120, 100);
    ASSERT_TRUE(frame.valid());
    using platform::screen::ArrowPicture;
    int white = 0;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 120; ++x) {
            const uint8_t* px = frame.rowFromTop(y) + 4 * x;
            const int col = x - ax, row = y - ay;
            const bool inArrow =
                col >= 0 && row >= 0 && col < ArrowPicture::Width && row < ArrowPicture::Height;
            const char want = inArrow ? ArrowPicture::Rows[row][col] : '.';
            if (want == 'W') {
                ++white;
                ASSERT_EQ(px[2], 255) << x << "," << y;
            } else {
                ASSERT_EQ(px[2], 0) << x << "," << y; // outline and black background
            }
        }
    EXPECT_GT(white, 50);

    engine.areaFlag = true;
    FixedCaptureArea area({100, 60, 120, 100});
    const std::string path = file("cursor.avi");
    engine.startRecording(&area, path);
    ASSERT_TRUE(recordFor(engine, 300));
    engine.stopRecording();
    ASSERT_TRUE(engine.waitUntilIdle(10s));
    int w = 0, h = 0;
    const auto rgb = decodeFrameRgb(path, 0, w, h);
    ASSERT_EQ(w, 120);
    ASSERT_FALSE(rgb.empty());
    auto red = [&](int x, int y) { return rgb[(size_t(y) * 120 + size_t(x)) * 3]; };
    EXPECT_GE(red(ax + 1, ay + 5), 240); // body
    EXPECT_EQ(red(ax, ay + 5), 0);       // left outline
    EXPECT_EQ(red(ax + 10, ay + 2), 0);  // background beside the tip
}

TEST_F(ScreenCamTest, AnEmptyAreaIsRefusedWithoutTouchingTheFile) {
    TScreenCam engine;
    engine.areaFlag = true;
    FixedCaptureArea area({10, 10, 0, 50});
    const std::string path = file("empty-area.avi");
    engine.startRecording(&area, path);
    ASSERT_TRUE(engine.waitUntilIdle(10s));
    EXPECT_EQ(engine.lastResult(), 0);
    EXPECT_FALSE(fileExists(path));
    const auto shown = dialogs.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].request.caption, "Error");
    EXPECT_NE(shown[0].request.text.find("0 x 50"), std::string::npos) << shown[0].request.text;
}

TEST_F(ScreenCamTest, AFileThatCannotBeCreatedIsReported) {
    TScreenCam engine;
    engine.startRecording(nullptr, "/nonexistent-dir/out.avi");
    ASSERT_TRUE(engine.waitUntilIdle(10s));
    EXPECT_EQ(engine.lastResult(), 0);
    const auto shown = dialogs.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].request.text, "Error Creating AVI file");
    EXPECT_EQ(shown[0].request.caption, "Error");
    EXPECT_EQ(shown[0].request.icon, ui::MsgIcon::Warning);
}

TEST_F(ScreenCamTest, AFrameThatCannotBeCapturedIsReportedAndNeverWritten) {
    TScreenCam engine; // measured on the test's screen
    ScopedEnv gone("DISPLAY", ":59997");
    const std::string path = file("no-frame.avi");
    engine.startRecording(nullptr, path);
    ASSERT_TRUE(engine.waitUntilIdle(10s));
    EXPECT_EQ(engine.lastResult(), 0);
    EXPECT_FALSE(fileExists(path));
    const auto shown = dialogs.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].request.text, "Error capturing a frame!");
    EXPECT_EQ(shown[0].request.icon, ui::MsgIcon::Warning);
}

TEST_F(ScreenCamTest, DestroyingARecordingEngineStopsItAndLeavesACompleteFile) {
    const std::string path = file("destroyed.avi");
    {
        auto engine = std::make_unique<TScreenCam>();
        engine->startRecording(nullptr, path);
        ASSERT_TRUE(recordFor(*engine, 400));
    }
    // The end handler posted by the worker finds the engine gone and does nothing.
    ui::defaultEventQueue().processPending();
    const auto info = expectVideoStream(path, {"msvideo1", "MSVC", "", 0, 0});
    EXPECT_GE(std::stoi(info.at("nb_read_frames")), 2);
}

// The temporary recordings go into a folder of the user's own in the temporary folder; one
// that someone else owns, or that others can write into, is refused with its name.
TEST(TempFiles, TheRecordingsFolderIsTheUsersOwnOrRefused) {
    std::filesystem::remove_all(scratchDir("tempfiles")); // what an earlier run left
    const std::string base = scratchDir("tempfiles");
    ScopedEnv tmp("TMPDIR", base);
    const std::string folder = base + "/tovamix-" + std::to_string(geteuid());
    EXPECT_EQ(temporaryFolder(), folder);
    EXPECT_EQ(videoTempPath(), folder + "/VideoTemp.avi");
    EXPECT_EQ(audioTempPath(), folder + "/AudioTemp.avi");
    struct stat st;
    ASSERT_EQ(lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    auto refused = [&](const std::string& says) {
        try {
            temporaryFolder();
            ADD_FAILURE() << "accepted; expected: " << says;
        } catch (const std::runtime_error& e) {
            const std::string text = e.what();
            EXPECT_NE(text.find("\"" + folder + "\""), std::string::npos) << text;
            EXPECT_NE(text.find(says), std::string::npos) << text;
        }
    };
    ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
    refused("other users can write into it (mode 0777)");
    ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
        refused("it belongs to another user (uid 65534)");
        // The link of the video file is not created in it either.
        EXPECT_THROW(videoTempPath(), std::runtime_error);
    }
    std::filesystem::remove_all(folder);
    std::filesystem::create_directory(base + "/elsewhere");
    std::filesystem::create_directory_symlink(base + "/elsewhere", folder);
    refused("it is a symbolic link");
}
