#include "controls/TDSTrackBar.h"
#include "support/QtEnvironment.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

using namespace media;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {
auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("640x480x24"));

// 10 s of video without sound, so no sound server is needed.
std::string tenSeconds() {
    const std::string path =
        sharedClip("trackbar", "video10s.avi",
                   "-f lavfi -i testsrc=size=160x120:rate=25 -t 10 -c:v mpeg4 -q:v 5");
    EXPECT_FALSE(path.empty());
    return path;
}

struct Tick {
    std::chrono::steady_clock::time_point at;
    uint32_t current, stop;
};

// A graph with the clip rendered and a bar below the picture, as the player lays them out.
struct PlayerBar : ::testing::Test {
    void SetUp() override {
        graph.setActive(true);
        ASSERT_EQ(graph.RenderFile(tenSeconds()), S_OK);
        bar.setGeometry(20, 420, 600, 30);
        bar.show();
        bar.setFilterGraph(&graph);
        bar.setOnTimer([this](TDSTrackBar*, uint32_t current, uint32_t stop) {
            ticks.push_back({std::chrono::steady_clock::now(), current, stop});
        });
        pump(200);
    }
    void TearDown() override {
        graph.Stop();
        bar.setFilterGraph(nullptr);
    }
    // Presses and releases the left button at a fraction of the bar's width, with real input.
    void clickAt(double fraction, std::chrono::milliseconds held = 0ms) {
        const QPoint p = bar.mapToGlobal(QPoint(int(bar.width() * fraction), bar.height() / 2));
        ASSERT_EQ(run("xdotool mousemove " + std::to_string(p.x()) + " " + std::to_string(p.y()) +
                      " mousedown 1")
                      .exitCode,
                  0);
        pump(int(held.count()) + 100);
        ASSERT_EQ(run("xdotool mouseup 1").exitCode, 0);
        pump(100);
    }
    double seconds() {
        int64_t position = 0;
        graph.as<IMediaSeeking>()->GetCurrentPosition(&position);
        return position / 1e7;
    }

    TFilterGraph graph;
    TDSTrackBar bar;
    std::vector<Tick> ticks;
};

} // namespace

// Playing, the bar reads the position every second, in milliseconds, on a scale of seconds;
// paused, or held down by the left button, it stands still.
TEST_F(PlayerBar, FollowsThePlayingGraphEverySecondAndStandsStillPausedOrHeld) {
    ASSERT_TRUE(graph.Play());
    ASSERT_TRUE(waitFor([&] { return ticks.size() >= 3; }, 8s));
    for (size_t i = 1; i < ticks.size(); ++i) {
        const auto gap = ticks[i].at - ticks[i - 1].at;
        EXPECT_GT(gap, 800ms);
        EXPECT_LT(gap, 1300ms);
        EXPECT_GT(ticks[i].current, ticks[i - 1].current);
    }
    EXPECT_NEAR(ticks.back().stop, 10000, 100);
    EXPECT_EQ(bar.maximum(), 10);
    EXPECT_EQ(bar.value(), int(ticks.back().current / 1000));

    graph.Pause();
    EXPECT_FALSE(bar.timerRunning());
    ticks.clear();
    pump(1500);
    EXPECT_TRUE(ticks.empty());

    ASSERT_TRUE(graph.Play());
    ASSERT_TRUE(waitFor([&] { return !ticks.empty(); }, 3s));
    ticks.clear();
    // Held: no readings move the thumb while the button is down (the release seeks).
    const QPoint p = bar.mapToGlobal(QPoint(bar.width() / 2, bar.height() / 2));
    ASSERT_EQ(run("xdotool mousemove " + std::to_string(p.x()) + " " + std::to_string(p.y()) +
                  " mousedown 1")
                  .exitCode,
              0);
    pump(1600);
    EXPECT_TRUE(ticks.empty());
    run("xdotool mouseup 1");
    pump(200);
}

// Letting go at the middle of the bar seeks to the middle of the clip.
TEST_F(PlayerBar, ReleasingTheButtonSeeksToTheProportionalPosition) {
    ASSERT_TRUE(graph.Play());
    ASSERT_TRUE(waitFor([&] { return !ticks.empty(); }, 3s));
    clickAt(0.5);
    EXPECT_NEAR(seconds(), 5.0, 1.0);
    clickAt(0.1);
    EXPECT_NEAR(seconds(), 1.0, 1.0);
}

// Before any reading the bar has no scale (maximum 0): a click seeks nowhere and divides by
// nothing.
TEST_F(PlayerBar, AnEmptyBarNeverSeeks) {
    ASSERT_EQ(bar.maximum(), 0);
    graph.Pause();
    ASSERT_TRUE(waitFor([&] { return graph.State() == 2; }, 5s));
    int64_t start = 2 * 10000000, stop = 0;
    auto seeking = graph.as<IMediaSeeking>();
    seeking->GetStopPosition(&stop);
    seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop, AM_SEEKING_NoPositioning);
    pump(300);
    clickAt(0.8);
    EXPECT_NEAR(seconds(), 2.0, 0.1);
    EXPECT_TRUE(ticks.empty()); // paused: no readings
}
