#include "platform/dshow/base/DShow.h"
#include "platform/dshow/graph/EndWatch.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

using namespace platform::dshow;

namespace {

constexpr uint32_t AbsolutePositioning = 1;

// Every pause asked for is reported by exactly one EC_PAUSED, whether the graph pauses at once
// (the report then comes from the caller's thread) or later (from the bus), while seeks keep
// the bus reporting prerolls and a level meter floods it with messages of its own.
TEST(GraphEvents, EachPauseIsReportedOnceWhileTheBusIsBusy) {
    auto graph = createFilterGraph();
    FilterPtr tone = createElementFilter("audiotestsrc", "Tone");
    FilterPtr meter = createElementFilter("level", "Meter");
    ASSERT_TRUE(tone && meter);
    g_object_set(tone->native(), "samplesperbuffer", 64, nullptr);
    g_object_set(meter->native(), "interval", guint64(GST_MSECOND), "post-messages", TRUE, nullptr);
    ASSERT_EQ(graph->AddFilter(tone, "Tone"), S_OK);
    ASSERT_EQ(graph->AddFilter(meter, "Meter"), S_OK);
    // The tone goes through the meter (a filter of the graph that takes it) to a renderer.
    ASSERT_EQ(graph->Render(findUnconnectedPin(tone, PINDIR_OUTPUT)), S_OK);
    auto control = queryInterface<IMediaControl>(graph);
    auto seeking = queryInterface<IMediaSeeking>(graph);
    auto events = queryInterface<IMediaEventEx>(graph);
    ASSERT_TRUE(control && seeking && events);

    long code;
    intptr_t p1, p2;
    // Waits for the next EC_PAUSED, passing over other events.
    auto nextPaused = [&](std::chrono::seconds within) {
        const auto deadline = std::chrono::steady_clock::now() + within;
        while (std::chrono::steady_clock::now() < deadline)
            if (events->GetEvent(&code, &p1, &p2, 200) == S_OK && code == EC_PAUSED) return true;
        return false;
    };
    int pauses = 0, paused = 0;
    for (int i = 0; i < 40; ++i) {
        if (i % 4 == 0) {
            ASSERT_TRUE(SUCCEEDED(control->Run()));
        }
        // Seeks just before and just after the pause: their prerolls end on the bus while the
        // pause is asked for, or just after the graph has paused at once.
        int64_t start = 0;
        ASSERT_EQ(seeking->SetPositions(&start, AbsolutePositioning, nullptr, 0), S_OK);
        ASSERT_TRUE(SUCCEEDED(control->Pause()));
        ++pauses;
        ASSERT_EQ(seeking->SetPositions(&start, AbsolutePositioning, nullptr, 0), S_OK);
        // Waiting for the state, not for an event: the bus handles the end of the preroll
        // meanwhile.
        FILTER_STATE now;
        control->GetState(5000, &now);
        ASSERT_TRUE(nextPaused(std::chrono::seconds(10))) << "pause " << pauses;
        ++paused;
    }
    FILTER_STATE state;
    ASSERT_EQ(control->GetState(10000, &state), S_OK);
    EXPECT_EQ(state, State_Paused);
    // A second report of any pause would still be waiting here.
    while (events->GetEvent(&code, &p1, &p2, 500) == S_OK)
        if (code == EC_PAUSED) ++paused;
    EXPECT_EQ(paused, pauses);
    control->Stop();
}

} // namespace

// The end watch completes a graph whose pictures have ended while its position stands still,
// once; moving sound, a seek, or the graph's own end keep it from doing so.
TEST(EndWatchTest, CompletesOnlyAStandingGraphOnce) {
    using namespace std::chrono_literals;
    std::atomic<gint64> position{10 * GST_SECOND};
    std::atomic<bool> playing{true}, ended{false};
    std::atomic<int> completions{0};
    EndWatch watch({[&] { return position.load(); }, [&] { return playing.load(); },
                    [&] { return ended.load(); }, [&] { ++completions; }});
    const auto waitUntil = [](const std::function<bool()>& pred, std::chrono::milliseconds t) {
        const auto end = std::chrono::steady_clock::now() + t;
        bool holds = pred();
        while (!holds && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(20ms);
            holds = pred();
        }
        return holds;
    };

    // Standing still: completed after the grace, and only once.
    watch.videoEnded();
    EXPECT_TRUE(waitUntil([&] { return completions == 1; }, EndWatch::Grace + 2s));
    std::this_thread::sleep_for(EndWatch::Grace + 500ms);
    EXPECT_EQ(completions, 1);

    // Sound that goes on past the pictures moves the position: no completion.
    watch.videoEnded();
    for (int i = 0; i < 20; ++i) {
        position += 200 * GST_MSECOND;
        std::this_thread::sleep_for(150ms);
    }
    EXPECT_EQ(completions, 1);

    // A seek forgets the ended pictures; a paused graph stands still by right; the graph's own
    // end makes the watch step back.
    watch.reset();
    std::this_thread::sleep_for(EndWatch::Grace + 500ms);
    playing = false;
    watch.videoEnded();
    std::this_thread::sleep_for(EndWatch::Grace + 500ms);
    playing = true;
    ended = true;
    watch.videoEnded();
    std::this_thread::sleep_for(EndWatch::Grace + 500ms);
    EXPECT_EQ(completions, 1);
}
