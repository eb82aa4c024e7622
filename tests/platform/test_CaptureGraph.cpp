// Capture graphs of the graph layer on the test camera and its faulty siblings: preview and
// capture from one pin, one time origin for pictures and sound, the position of a graph that
// only writes, busy and lost devices, and files finished after an error.
#include "platform/dshow/devices/CaptureDevice.h"
#include "platform/dshow/base/DShow.h"
#include "platform/dshow/devices/Devices.h"
#include "support/TestSupport.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

using namespace platform::dshow;
using namespace testsupport;

namespace {

const char* const XvidName = "@device:cm:{33D9A760-90C8-11D0-BD43-00A0C911CE86}\\xvid";
const char* const Mp3EncoderName =
    "@device:sw:{083863F1-70DE-11D0-BD40-00A0C911CE86}\\{B8D27088-FF5F-4B7C-98DC-0E91A1696286}";

class CaptureGraph : public ::testing::Test {
  protected:
    // The faulty devices are listed only with this set.
    ScopedEnv faults{"TOVAMIX_TEST_CAMERA_FAULTS", "1"};

    static std::string displayNameOf(const GUID& category, const std::string& name) {
        for (const DeviceInfo& d : enumerateCategory(category))
            if (d.friendlyName == name) return d.displayName;
        return {};
    }
    static FilterPtr bind(const GUID& category, const std::string& name) {
        const std::string dn = displayNameOf(category, name);
        return dn.empty() ? nullptr : bindDisplayName(dn);
    }

    // A graph writing `camera` (and `microphone` when given) into file; preview: a filter
    // the preview branch goes to.
    struct Recording {
        std::shared_ptr<IFilterGraph2> graph;
        std::shared_ptr<ICaptureGraphBuilder2> builder;
        FilterPtr mux, writer;
    };
    Recording build(const std::string& file, const std::string& camera,
                    const std::string& microphone = {}, const FilterPtr& preview = nullptr) {
        Recording r;
        r.graph = createFilterGraph();
        r.builder = createCaptureGraphBuilder();
        EXPECT_EQ(r.builder->SetFiltergraph(r.graph), S_OK);
        FilterPtr cam = bind(CLSID_VideoInputDeviceCategory, camera);
        FilterPtr xvid = bindDisplayName(XvidName);
        EXPECT_TRUE(cam && xvid) << camera;
        if (!cam || !xvid) return r;
        r.graph->AddFilter(cam, camera);
        r.graph->AddFilter(xvid, "xvid");
        EXPECT_EQ(r.builder->SetOutputFileName(MEDIASUBTYPE_Avi, file, &r.mux, &r.writer), S_OK);
        if (preview) {
            r.graph->AddFilter(preview, "Preview");
            EXPECT_EQ(r.builder->RenderStream(&PIN_CATEGORY_PREVIEW, &MEDIATYPE_Video, cam, nullptr,
                                              preview),
                      S_OK);
        }
        EXPECT_EQ(
            r.builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, cam, xvid, r.mux),
            S_OK);
        if (!microphone.empty()) {
            FilterPtr mic = bind(CLSID_AudioInputDeviceCategory, microphone);
            FilterPtr mp3 = bindDisplayName(Mp3EncoderName);
            EXPECT_TRUE(mic && mp3) << microphone;
            if (!mic || !mp3) return r;
            r.graph->AddFilter(mic, microphone);
            r.graph->AddFilter(mp3, "mp3");
            EXPECT_EQ(r.builder->RenderStream(nullptr, nullptr, mic, mp3, r.mux), S_OK);
        }
        return r;
    }

    // Runs the graph for `seconds` (or until an error ends it), then stops it. Gives the
    // event code that ended the run early (0: none).
    static long runFor(Recording& r, double seconds, HRESULT* error = nullptr) {
        auto control = queryInterface<IMediaControl>(r.graph);
        auto events = queryInterface<IMediaEventEx>(r.graph);
        const HRESULT started = control->Run();
        long ended = 0;
        if (FAILED(started)) {
            if (error) *error = started;
            ended = EC_ERRORABORT;
        }
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(long(seconds * 1000));
        while (!ended && std::chrono::steady_clock::now() < deadline) {
            long code;
            intptr_t p1, p2;
            if (events->GetEvent(&code, &p1, &p2, 50) == S_OK && code == EC_ERRORABORT) {
                ended = code;
                if (error) *error = HRESULT(p1);
            }
        }
        control->Stop();
        return ended;
    }

    static double streamSeconds(const std::string& file, const std::string& selector) {
        const auto s = probeStream(file, selector);
        const auto it = s.find("duration");
        return it == s.end() ? -1 : std::atof(it->second.c_str());
    }
};

// A sink that takes 200 ms for each picture, like a preview window on a slow machine.
FilterPtr slowPreview() {
    FilterPtr sink = createElementFilter("fakesink", "Slow Preview");
    if (!sink) return nullptr;
    g_object_set(sink->native(), "signal-handoffs", TRUE, "sync", FALSE, nullptr);
    g_signal_connect(sink->native(), "handoff", G_CALLBACK(+[](GstElement*, GstBuffer*, GstPad*) {
                         std::this_thread::sleep_for(std::chrono::milliseconds(200));
                     }),
                     nullptr);
    return sink;
}

TEST_F(CaptureGraph, PreviewAndCaptureShareThePinAndASlowPreviewNeverHoldsUpTheFile) {
    const std::string file = scratchDir("capture_graph_preview") + "/cam.avi";
    FilterPtr preview = slowPreview();
    ASSERT_TRUE(preview);
    Recording r = build(file, "Tovamix Test Camera", {}, preview);
    ASSERT_TRUE(r.graph);
    // The position of this graph comes from the preview's pictures; a graph that only writes
    // is tested below.
    EXPECT_EQ(runFor(r, 4), 0);
    const double seconds = streamSeconds(file, "v:0");
    ASSERT_GT(seconds, 3.0);
    const std::vector<Packet> packets = probePackets(file);
    EXPECT_GE(double(packets.size()), 0.98 * 30 * seconds)
        << packets.size() << " pictures in " << seconds << " s";
    EXPECT_EQ(decodeAll(file).err, "");
}

TEST_F(CaptureGraph, TheRunningTimeIsThePositionOfAGraphThatOnlyWrites) {
    const std::string file = scratchDir("capture_graph_position") + "/cam.avi";
    Recording r = build(file, "Tovamix Test Camera");
    auto control = queryInterface<IMediaControl>(r.graph);
    auto seeking = queryInterface<IMediaSeeking>(r.graph);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    int64_t first = 0, later = 0;
    // Waits for the position to pass a second, with a deadline.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline && later < 10'000'000) {
        if (!first) seeking->GetCurrentPosition(&first);
        seeking->GetCurrentPosition(&later);
        std::this_thread::yield();
    }
    control->Stop();
    EXPECT_GE(later, 10'000'000);
    EXPECT_LT(later, 30'000'000);
    EXPECT_LE(first, later);
}

// The slow camera's first picture comes 0.7 s after the sound starts; both streams still
// start together, and each white picture (a whole second) falls on a beep (a whole second).
TEST_F(CaptureGraph, ALateCameraStaysInStepWithTheVoice) {
    const std::string dir = scratchDir("capture_graph_sync");
    const std::string file = dir + "/sync.avi";
    Recording r = build(file, "Tovamix Slow Camera", "Tovamix Test Microphone");
    EXPECT_EQ(runFor(r, 10), 0);
    const double video = streamSeconds(file, "v:0"), audio = streamSeconds(file, "a:0");
    EXPECT_NEAR(video, 10, 0.3);
    EXPECT_NEAR(audio, 10, 0.3);
    EXPECT_LE(std::fabs(video - audio), 0.1);

    // The pictures as 8x8 grey images, the sound as 8 kHz mono, both from the file's start.
    const std::string grey = dir + "/frames.gray", pcm = dir + "/sound.s16";
    ASSERT_EQ(run("ffmpeg -v error -y -i '" + file +
                  "' -map 0:v -vf scale=8:8 -vsync passthrough -f rawvideo -pix_fmt gray '" + grey +
                  "' -map 0:a -ac 1 -ar 8000 -f s16le '" + pcm + "'")
                  .exitCode,
              0);
    std::ifstream g(grey, std::ios::binary), a(pcm, std::ios::binary);
    const std::string frames((std::istreambuf_iterator<char>(g)), {});
    const std::string sound((std::istreambuf_iterator<char>(a)), {});
    // Empty chunks decode to no picture: each decoded picture's time comes from ffprobe.
    std::vector<double> times;
    {
        std::istringstream lines(run("ffprobe -v error -select_streams v:0 -show_entries "
                                     "frame=best_effort_timestamp_time -of csv=p=0 '" +
                                     file + "'")
                                     .out);
        for (std::string line; std::getline(lines, line);)
            times.push_back(std::atof(line.c_str()));
    }
    ASSERT_EQ(times.size(), frames.size() / 64);
    std::vector<double> white, beeps;
    for (size_t i = 0; i + 64 <= frames.size(); i += 64) {
        int sum = 0;
        for (size_t k = 0; k < 64; ++k)
            sum += static_cast<unsigned char>(frames[i + k]);
        if (sum / 64 > 128) white.push_back(times[i / 64]);
    }
    // The first picture is 0.7 s late: empty frames come first.
    ASSERT_FALSE(times.empty());
    EXPECT_NEAR(times.front(), 0.7, 0.1);
    const auto* samples = reinterpret_cast<const int16_t*>(sound.data());
    bool loud = false;
    for (size_t i = 0; i < sound.size() / 2; ++i) {
        const bool now = std::abs(samples[i]) > 2000;
        if (now && !loud) beeps.push_back(double(i) / 8000.0);
        // A beep ends after 10 ms of quiet, not at each zero crossing.
        if (now)
            loud = true;
        else if (loud && i >= 80 && [&] {
                     for (size_t k = i - 80; k <= i; ++k)
                         if (std::abs(samples[k]) > 2000) return false;
                     return true;
                 }())
            loud = false;
    }
    ASSERT_GE(white.size(), 8u);
    ASSERT_GE(beeps.size(), 8u);
    for (double w : white) {
        double nearest = 1e9;
        for (double b : beeps)
            nearest = std::min(nearest, std::fabs(b - w));
        EXPECT_LE(nearest, 0.08) << "white picture at " << w << " s";
    }
}

TEST_F(CaptureGraph, ABusyCameraHasItsOwnCode) {
    const std::string file = scratchDir("capture_graph_busy") + "/busy.avi";
    Recording r = build(file, "Tovamix Busy Camera");
    HRESULT error = S_OK;
    EXPECT_EQ(runFor(r, 5, &error), EC_ERRORABORT);
    EXPECT_EQ(error, VFW_E_DEVICE_BUSY);
    EXPECT_NE(graphErrorText(error).find("busy"), std::string::npos);
}

// The failing camera stops after two seconds: the recording ends there, and what was recorded
// of both streams is a whole file.
TEST_F(CaptureGraph, ALostCameraEndsTheRecordingWithAWholeFile) {
    const std::string file = scratchDir("capture_graph_lost") + "/lost.avi";
    Recording r = build(file, "Tovamix Failing Camera", "Tovamix Test Microphone");
    HRESULT error = S_OK;
    EXPECT_EQ(runFor(r, 10, &error), EC_ERRORABORT);
    EXPECT_EQ(error, VFW_E_DEVICE_LOST);
    EXPECT_NE(graphErrorText(error).find("lost"), std::string::npos);
    EXPECT_NEAR(streamSeconds(file, "v:0"), 2, 0.5);
    EXPECT_NEAR(streamSeconds(file, "a:0"), 2, 0.5);
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(bytes.find("idx1"), std::string::npos) << "no index";
    EXPECT_EQ(run("ffmpeg -v error -i '" + file + "' -f null - 2>&1").out, "");
}

// A stop set ahead on the camera's and the microphone's outputs: the file holds two seconds
// of pictures and of sound, though the graph runs on past them and ends its streams later;
// each output tells it has delivered up to the stop. The camera's stop, set before the run,
// belongs to that run.
TEST_F(CaptureGraph, AStopSetAheadEndsPicturesAndSoundThere) {
    const std::string file = scratchDir("capture_graph_stop_ahead") + "/cam.avi";
    Recording r = build(file, "Tovamix Test Camera", "Tovamix Test Microphone");
    ASSERT_TRUE(r.graph);
    std::shared_ptr<IAMStreamControl> picture, sound;
    for (const FilterPtr& f : r.graph->EnumFilters())
        for (const PinPtr& pin : f->pins())
            if (pin->name() == "Capture" && pin->direction() == PINDIR_OUTPUT) {
                auto control = queryInterface<IAMStreamControl>(pin);
                if (!control) continue;
                const bool video = f->name() == "Tovamix Test Camera";
                (video ? picture : sound) = control;
            }
    ASSERT_TRUE(picture && sound);
    const int64_t stopTime = 20'000'000; // 2 s
    ASSERT_EQ(picture->StopAt(&stopTime), S_OK);
    auto control = queryInterface<IMediaControl>(r.graph);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    // The sound device takes a stop time once the graph runs.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sound->StopAt(&stopTime) != S_OK && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(picture->WaitForStop(10'000), S_OK);
    EXPECT_EQ(sound->WaitForStop(10'000), S_OK);
    // Half a second more of the run reaches neither stream.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int64_t at = 0, delivered = 0;
    ASSERT_EQ(picture->GetInfo(&at, &delivered), S_OK);
    EXPECT_EQ(at, stopTime);
    // Up to the end of the last picture kept, which starts less than half a picture (1/60 s)
    // before the stop.
    EXPECT_LE(delivered, stopTime + 166'667);
    EXPECT_GT(delivered, stopTime - 166'667);
    control->Stop();

    const auto video = probeStream(file, "v:0");
    EXPECT_EQ(video.at("nb_frames"), "60");
    EXPECT_NEAR(streamSeconds(file, "v:0"), 2.0, 0.001);
    // The MP3 stream holds the encoder's delay (1105 samples) in front of the sound.
    EXPECT_LT(std::fabs(streamSeconds(file, "a:0") - 1105.0 / 44100 - 2.0), 1.0 / 30);
    EXPECT_EQ(decodeAll(file).err, "");
}

TEST_F(CaptureGraph, ADeviceGoneSinceItWasListedIsNamed) {
    const std::string name = displayNameOf(CLSID_VideoInputDeviceCategory, "Tovamix Slow Camera");
    ASSERT_FALSE(name.empty());
    std::string error;
    {
        ScopedEnv gone("TOVAMIX_TEST_CAMERA_FAULTS", "0");
        EXPECT_FALSE(bindDisplayName(name, &error));
    }
    EXPECT_NE(error.find("Tovamix Slow Camera"), std::string::npos) << error;
}

// A size offered at several rates is one format per rate.
TEST(CaptureFormats, OneFormatPerFrameRate) {
    gst_init(nullptr, nullptr);
    GstCaps* caps = gst_caps_from_string(
        "video/x-raw, format=(string)YUY2, width=(int)640, height=(int)480, "
        "framerate=(fraction){ 30/1, 15/1 }; video/x-raw, format=(string)YUY2, width=(int)320, "
        "height=(int)240, framerate=(fraction)30/1");
    const std::vector<std::string> formats = captureFormats(caps, false);
    gst_caps_unref(caps);
    ASSERT_EQ(formats.size(), 3u);
    EXPECT_NE(formats[0].find("30/1"), std::string::npos) << formats[0];
    EXPECT_NE(formats[1].find("15/1"), std::string::npos) << formats[1];
    EXPECT_NE(formats[1].find("640"), std::string::npos) << formats[1];
}

} // namespace
