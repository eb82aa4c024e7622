#include "platform/dshow/elements/SoundEndElement.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

using platform::dshow::SoundEnd;

namespace {

// Mono 16-bit sound at 1000 Hz: one frame is one millisecond.
constexpr int16_t Sound = 1000;

// appsrc ! tovamixsoundend ! appsink, run without a clock, so nothing waits and the element's
// stop time is set by hand.
class SoundEndElement : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(platform::dshow::registerSoundEndElement()); }

    void SetUp() override {
        pipeline_ = gst_parse_launch(
            "appsrc name=src format=time caps=audio/x-raw,format=S16LE,layout=interleaved,"
            "rate=1000,channels=1 ! tovamixsoundend name=e ! appsink name=out sync=false",
            nullptr);
        ASSERT_TRUE(pipeline_);
        gst_pipeline_use_clock(GST_PIPELINE(pipeline_), nullptr);
        src_ = gst_bin_get_by_name(GST_BIN(pipeline_), "src");
        sink_ = gst_bin_get_by_name(GST_BIN(pipeline_), "out");
        GstElement* e = gst_bin_get_by_name(GST_BIN(pipeline_), "e");
        ASSERT_NE(gst_element_set_state(pipeline_, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
        end_ = platform::dshow::soundEndOf(e);
        gst_object_unref(e);
        ASSERT_TRUE(end_);
    }
    void TearDown() override {
        if (!pipeline_) return;
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(src_);
        gst_object_unref(sink_);
        gst_object_unref(pipeline_);
    }

    void push(int atMs, int frames) {
        GstBuffer* b = gst_buffer_new_allocate(nullptr, gsize(frames) * 2, nullptr);
        GstMapInfo map;
        gst_buffer_map(b, &map, GST_MAP_WRITE);
        auto* samples = reinterpret_cast<int16_t*>(map.data);
        for (int i = 0; i < frames; ++i)
            samples[i] = Sound;
        gst_buffer_unmap(b, &map);
        GST_BUFFER_PTS(b) = GstClockTime(atMs) * GST_MSECOND;
        GST_BUFFER_DURATION(b) = GstClockTime(frames) * GST_MSECOND;
        GstFlowReturn r;
        g_signal_emit_by_name(src_, "push-buffer", b, &r);
        gst_buffer_unref(b);
    }

    // Ends the stream and gives what came out, as runs of (sound?, frames), checking that
    // every buffer starts where the one before ended.
    std::vector<std::pair<bool, int>> finish() {
        GstFlowReturn r;
        g_signal_emit_by_name(src_, "end-of-stream", &r);
        std::vector<std::pair<bool, int>> runs;
        GstClockTime next = 0;
        for (;;) {
            GstSample* sample = nullptr;
            g_signal_emit_by_name(sink_, "pull-sample", &sample);
            if (!sample) break;
            GstBuffer* b = gst_sample_get_buffer(sample);
            EXPECT_EQ(GST_BUFFER_PTS(b), next);
            next = GST_BUFFER_PTS(b) + GST_BUFFER_DURATION(b);
            GstMapInfo map;
            gst_buffer_map(b, &map, GST_MAP_READ);
            const auto* samples = reinterpret_cast<const int16_t*>(map.data);
            for (size_t i = 0; i < map.size / 2; ++i) {
                const bool sound = samples[i] == Sound;
                if (runs.empty() || runs.back().first != sound) runs.push_back({sound, 0});
                ++runs.back().second;
            }
            gst_buffer_unmap(b, &map);
            gst_sample_unref(sample);
        }
        return runs;
    }

    GstElement* pipeline_ = nullptr;
    GstElement* src_ = nullptr;
    GstElement* sink_ = nullptr;
    SoundEnd* end_ = nullptr;
};

using Runs = std::vector<std::pair<bool, int>>;

// A device that starts late hands over sound from before its first delivery: it runs from the
// start. Sound it skipped (its stamps jump) becomes silence in place.
TEST_F(SoundEndElement, SoundRunsFromTheStartAndSkippedSoundBecomesSilence) {
    push(500, 100);
    push(600, 100);
    push(900, 100);
    EXPECT_EQ(finish(), (Runs{{true, 200}, {false, 200}, {true, 100}}));
    EXPECT_EQ(end_->figures().delivered, 300 * GST_MSECOND);
}

// Sound past the stop time is cut, also within a buffer; the stop is reached once it came.
TEST_F(SoundEndElement, SoundPastTheStopTimeIsCut) {
    end_->setStopTime(250 * GST_MSECOND);
    EXPECT_FALSE(end_->waitForStop(std::chrono::milliseconds(0)));
    push(0, 200);
    push(200, 100);
    push(300, 100);
    EXPECT_TRUE(end_->waitForStop(std::chrono::seconds(10)));
    EXPECT_EQ(finish(), (Runs{{true, 250}}));
    EXPECT_EQ(end_->figures().delivered, 250 * GST_MSECOND);
}

// What never came before the stop time is silence at the end.
TEST_F(SoundEndElement, SoundThatNeverCameIsSilenceAtTheEnd) {
    push(0, 100);
    end_->setStopTime(400 * GST_MSECOND);
    EXPECT_FALSE(end_->waitForStop(std::chrono::milliseconds(20)));
    EXPECT_EQ(finish(), (Runs{{true, 100}, {false, 300}}));
    const SoundEnd::Figures f = end_->figures();
    EXPECT_EQ(f.delivered, 100 * GST_MSECOND);
    EXPECT_EQ(f.position, 400 * GST_MSECOND);
}

// A stop time set ahead of a stream that ends before it: the run ends where the stream
// ended; the time after it, never recorded, is not filled in.
TEST(SoundEnd, AStreamEndedBeforeAStopSetAheadEndsWhereItEnded) {
    SoundEnd end;
    end.setStopTime(5 * GST_SECOND);
    const SoundEnd::Plan p = end.take(0, 100 * GST_MSECOND, 100, 1000);
    EXPECT_EQ(p.keep, 100u);
    uint64_t at = 0, count = 0;
    ASSERT_TRUE(end.fillAtEnd(2 * GST_SECOND, 1000, &at, &count));
    EXPECT_EQ(at, 100u);
    EXPECT_EQ(count, 1900u);
    EXPECT_EQ(end.figures().stopTime, 2 * GST_SECOND);
    EXPECT_EQ(end.figures().position, 2 * GST_SECOND);
}

// Sound is held until it is due by the clock also while a stop time lies ahead; sound past a
// stop time waits for nothing past it.
TEST(SoundEnd, SoundBeforeAStopSetAheadIsPacedAndNothingWaitsPastIt) {
    gst_init(nullptr, nullptr);
    GstClock* clock = gst_system_clock_obtain();
    auto waited = [clock](SoundEnd& end, uint64_t frames) {
        const GstClockTime base = gst_clock_get_time(clock);
        const auto started = std::chrono::steady_clock::now();
        end.waitUntilDue(clock, base, frames, 1000);
        return std::chrono::steady_clock::now() - started;
    };
    {
        SoundEnd ahead;
        ahead.setStopTime(10 * GST_SECOND);
        EXPECT_GE(waited(ahead, 200), std::chrono::milliseconds(190)) << "not paced";
    }
    {
        SoundEnd near;
        near.setStopTime(100 * GST_MSECOND);
        const auto w = waited(near, 10'000);
        EXPECT_GE(w, std::chrono::milliseconds(90));
        EXPECT_LT(w, std::chrono::seconds(5)) << "waited past the stop time";
    }
    gst_object_unref(clock);
}

} // namespace
