#include "media/TFilterGraph.h"
#include "platform/dshow/graph/Graph.h"
#include "support/QtEnvironment.h"
#include "ui/Dialogs.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

using namespace media;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {
auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("640x480x24"));

// Test clips, made once with ffmpeg and shared by the test processes.
std::string clip(const std::string& name, const std::string& ffmpegArgs) {
    const std::string path = sharedClip("graph-clips", name, ffmpegArgs);
    EXPECT_FALSE(path.empty()) << "ffmpeg could not make " << name;
    return path;
}
// 3 s of 320x240 video at 25 fps with a tone.
std::string avClip() {
    return clip("av3s.avi",
                "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=440 "
                "-t 3 -c:v mpeg4 -q:v 5 -c:a libmp3lame");
}

// Records the order in which a graph event reaches its parties.
struct Recorder : IGraphListener {
    std::vector<std::string> log;
    std::vector<int> controls;
    std::vector<TFilterGraph*> destroyed;
    void GraphNotify(long event, intptr_t, intptr_t) override {
        log.push_back("listener " + std::to_string(event));
    }
    void ControlNotify(int code, int) override { controls.push_back(code); }
    void GraphDestroyed(TFilterGraph* g) override { destroyed.push_back(g); }
};

// A provider contributing a pass-through filter for video.
struct PassThrough : IGraphFilterProvider {
    FilterPtr filter = createElementFilter("videoconvert", "PassThrough");
    std::vector<int> ops;
    std::vector<TFilterGraph*> destroyed;
    FilterPtr GetFilter() override { return filter; }
    std::string GetName() override { return "PassThrough"; }
    void NotifyFilter(TFilterOperation op, int) override { ops.push_back(op); }
    void GraphDestroyed(TFilterGraph* g) override { destroyed.push_back(g); }
};

// The permission bits of a path itself (not what a link points to).
unsigned modeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? unsigned(st.st_mode & 0777) : ~0u;
}

const std::regex DrawingName("FilterGraph [0-9A-F]+ pid [0-9a-f]+\\.dot");

std::vector<std::string> names(TFilterGraph& g) {
    std::vector<std::string> out;
    for (const FilterPtr& f : g.query<IFilterGraph2>()->EnumFilters())
        out.push_back(f->name());
    return out;
}

} // namespace

TEST(GraphTexts, ErrorAndEventTexts) {
    EXPECT_EQ(GraphEventText(1),
              "EC_COMPLETE - All data from a particular stream has been rendered.");
    EXPECT_EQ(GraphEventText(14), "EC_PAUSED - A pause request has completed.");
    EXPECT_EQ(GraphEventText(48), "EC_TIMECODE_AVAILABLE- Sent by filter supporting timecode.");
    EXPECT_EQ(GraphEventText(500), "Unknow Graph Event ($1F4)");
    int known = 0;
    for (long code = 0; code < 1024; ++code)
        if (GraphEventText(code).rfind("EC_", 0) == 0) ++known;
    EXPECT_EQ(known, 64);
    try {
        CheckGraphResult(VFW_E_CANNOT_RENDER);
        FAIL();
    } catch (const EDirectShowException& e) {
        EXPECT_EQ(e.ErrorCode, VFW_E_CANNOT_RENDER);
        EXPECT_EQ(std::string(e.what()), GraphErrorText(VFW_E_CANNOT_RENDER) + " ($80040218).");
    }
    EXPECT_EQ(CheckGraphResult(S_FALSE), S_FALSE);
    for (HRESULT h : {E_FAIL, E_FILE_NOT_FOUND, VFW_E_UNKNOWN_FILE_TYPE, hr(0x80041234)})
        EXPECT_FALSE(GraphErrorText(h).empty());
    EXPECT_EQ(unpackDvdTimeCode(0x12345678), (TDVDTimeCode{1, 2, 3, 4, 5, 6, 7, 2, 0}));
}

TEST(FilterGraph, InactiveGraphRefusesQuietly) {
    TFilterGraph g;
    EXPECT_FALSE(g.Play());
    EXPECT_EQ(g.State(), 0);
    EXPECT_EQ(g.RenderFile(avClip()), S_FALSE);
    EXPECT_EQ(g.query<IMediaControl>(), nullptr);
    EXPECT_THROW(g.as<IMediaControl>(), EDirectShowException);
}

TEST(FilterGraph, ActivationModesAndProviders) {
    PassThrough provider;
    Recorder listener;
    TFilterGraph g;
    g.attachProvider(&provider);
    g.attachListener(&listener);
    g.setActive(true);
    auto first = g.query<IFilterGraph2>();
    g.setActive(true); // a second time builds nothing
    EXPECT_EQ(g.query<IFilterGraph2>(), first);
    EXPECT_EQ(names(g), std::vector<std::string>{"PassThrough"});
    EXPECT_EQ(provider.ops, (std::vector<int>{foAdding, foAdded}));
    EXPECT_EQ(g.query<ICaptureGraphBuilder2>(), nullptr);
    EXPECT_EQ(g.State(), 1);

    g.setMode(gmCapture); // rebuilds an empty graph with the provider's filter
    EXPECT_TRUE(g.Active());
    EXPECT_NE(g.query<IFilterGraph2>(), first);
    EXPECT_NE(g.query<ICaptureGraphBuilder2>(), nullptr);
    EXPECT_EQ(names(g), std::vector<std::string>{"PassThrough"});
    EXPECT_EQ(provider.ops,
              (std::vector<int>{foAdding, foAdded, foRemoving, foRemoved, foAdding, foAdded}));
    EXPECT_EQ(listener.controls, (std::vector<int>{ccActivation, ccActivation, ccActivation}));

    g.setMode(gmDVD);
    AM_DVD_RENDERSTATUS status;
    // The DVD mode has its builder; no drive here holds a disc.
    EXPECT_NE(g.query<IDvdGraphBuilder>(), nullptr);
    EXPECT_EQ(g.RenderDvd(&status, "", 0), S_FALSE);
    EXPECT_TRUE(status.bDvdVolUnknown);
    g.detachListener(&listener);
    g.detachProvider(&provider);
}

// A rendered clip plays to its end; EC_COMPLETE reaches the listeners, OnDSEvent and
// OnGraphComplete, in that order, on this (the user-interface) thread.
TEST(FilterGraph, ARenderedClipPlaysToItsEndAndReportsCompletion) {
    Recorder listener;
    TFilterGraph g;
    g.attachListener(&listener);
    g.setGraphEdit(true);
    g.setActive(true);
    const auto ui = std::this_thread::get_id();
    bool onUi = true;
    g.OnDSEvent = [&](TFilterGraph* sender, long event, intptr_t, intptr_t) {
        EXPECT_EQ(sender, &g);
        onUi &= std::this_thread::get_id() == ui;
        listener.log.push_back("OnDSEvent " + std::to_string(event));
    };
    FilterPtr renderer;
    g.OnGraphComplete = [&](TFilterGraph*, HRESULT result, FilterPtr r) {
        EXPECT_EQ(result, S_OK);
        renderer = r;
        listener.log.push_back("OnGraphComplete");
    };
    EXPECT_EQ(g.RenderFile(avClip()), S_OK);
    const auto filters = names(g);
    EXPECT_NE(std::find(filters.begin(), filters.end(), "Video Renderer"), filters.end());
    EXPECT_NE(std::find(filters.begin(), filters.end(), "Audio Renderer"), filters.end());
    EXPECT_EQ(listener.controls, (std::vector<int>{ccActivation, ccRenderFile, ccFileRendered}));
    long w = 0, h = 0;
    ASSERT_EQ(g.as<IBasicVideo>()->GetVideoSize(&w, &h), S_OK);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    int64_t duration = 0;
    ASSERT_EQ(g.as<IMediaSeeking>()->GetDuration(&duration), S_OK);
    EXPECT_NEAR(duration / 1e7, 3.0, 0.1);

    // The drawing for outside viewers exists while the graph is active.
    const std::string drawing = g.graphDrawingPath();
    ASSERT_FALSE(drawing.empty());
    EXPECT_TRUE(std::regex_match(std::filesystem::path(drawing).filename().string(), DrawingName))
        << drawing;
    EXPECT_TRUE(fileExists(drawing));

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(g.Play());
    EXPECT_EQ(g.State(), 3);
    auto complete = [&] {
        return std::find(listener.log.begin(), listener.log.end(), "OnGraphComplete") !=
               listener.log.end();
    };
    ASSERT_TRUE(waitFor(complete, 15s));
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_NEAR(took, 3.0, 0.6 * timeScale());
    EXPECT_TRUE(onUi);
    auto at = [&](const std::string& s) {
        return std::find(listener.log.begin(), listener.log.end(), s) - listener.log.begin();
    };
    EXPECT_LT(at("listener 1"), at("OnDSEvent 1"));
    EXPECT_LT(at("OnDSEvent 1"), at("OnGraphComplete"));
    // The completion names one of the graph's two renderers.
    ASSERT_TRUE(renderer);
    EXPECT_TRUE(renderer->name() == "Video Renderer" || renderer->name() == "Audio Renderer")
        << renderer->name();
    const auto all = g.as<IFilterGraph2>()->EnumFilters();
    EXPECT_NE(std::find(all.begin(), all.end(), renderer), all.end());
    g.setActive(false);
    EXPECT_FALSE(fileExists(drawing));
    g.detachListener(&listener);
}

TEST(FilterGraph, RateSeekingAndFrameStep) {
    TFilterGraph g;
    g.setActive(true);
    ASSERT_EQ(g.RenderFile(avClip()), S_OK);
    auto seeking = g.as<IMediaSeeking>();

    // Seek to the middle while paused and read the position back.
    // The change to paused completes later (false for S_FALSE); the state reached is what
    // counts.
    g.Pause();
    ASSERT_TRUE(waitFor([&] { return g.State() == 2; }, 5s));
    int64_t middle = 15000000, pos = 0;
    ASSERT_EQ(seeking->SetPositions(&middle, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
    pump(300);
    ASSERT_EQ(seeking->GetCurrentPosition(&pos), S_OK);
    EXPECT_NEAR(pos / 1e7, 1.5, 0.05);

    // One frame step while paused shows the next picture (25 fps): 1.5 s lies in the picture
    // of 1.48 s, so the next one starts at 1.52 s, and the paused position is the start of the
    // picture on the screen. A second step moves by exactly one picture, 40 ms.
    int steps = 0;
    g.OnDSEvent = [&](TFilterGraph*, long event, intptr_t, intptr_t) {
        steps += event == EC_STEP_COMPLETE;
    };
    ASSERT_EQ(g.as<IVideoFrameStep>()->Step(1), S_OK);
    ASSERT_TRUE(waitFor([&] { return steps == 1; }, 5s));
    int64_t after = 0;
    seeking->GetCurrentPosition(&after);
    EXPECT_NEAR(after / 1e4, 1520.0, 1.0);
    ASSERT_EQ(g.as<IVideoFrameStep>()->Step(1), S_OK);
    ASSERT_TRUE(waitFor([&] { return steps == 2; }, 5s));
    int64_t next = 0;
    seeking->GetCurrentPosition(&next);
    EXPECT_NEAR((next - after) / 1e4, 40.0, 1.0);

    // At rate 1.5 the rest (1.5 s) plays in about 1 s; from the start, 3 s in about 2 s.
    int64_t zero = 0;
    seeking->SetPositions(&zero, AM_SEEKING_AbsolutePositioning, nullptr, 0);
    g.setRate(1.5);
    bool done = false;
    g.OnDSEvent = [&](TFilterGraph*, long event, intptr_t, intptr_t) {
        done |= event == EC_COMPLETE;
    };
    pump(200);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(g.Play());
    ASSERT_TRUE(waitFor([&] { return done; }, 10s));
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_NEAR(took, 2.0, 0.4);
}

// A step while the graph runs pauses it, then shows the next picture: the graph is left paused
// one picture past where it stopped, and says so with EC_STEP_COMPLETE.
TEST(FilterGraph, FrameStepPausesARunningGraph) {
    TFilterGraph g;
    g.setActive(true);
    ASSERT_EQ(g.RenderFile(avClip()), S_OK);
    auto seeking = g.as<IMediaSeeking>();
    int steps = 0;
    g.OnDSEvent = [&](TFilterGraph*, long event, intptr_t, intptr_t) {
        steps += event == EC_STEP_COMPLETE;
    };
    ASSERT_TRUE(g.Play());
    int64_t pos = 0;
    ASSERT_TRUE(
        waitFor([&] { return seeking->GetCurrentPosition(&pos) == S_OK && pos > 3000000; }, 5s));
    ASSERT_EQ(g.State(), 3);
    ASSERT_EQ(g.as<IVideoFrameStep>()->Step(1), S_OK);
    ASSERT_TRUE(waitFor([&] { return steps == 1; }, 5s));
    EXPECT_EQ(g.State(), 2);
    int64_t first = 0, second = 0;
    seeking->GetCurrentPosition(&first);
    EXPECT_GT(first, 3000000);
    // Paused now, the next step moves by exactly one picture (40 ms at 25 fps).
    ASSERT_EQ(g.as<IVideoFrameStep>()->Step(1), S_OK);
    ASSERT_TRUE(waitFor([&] { return steps == 2; }, 5s));
    seeking->GetCurrentPosition(&second);
    EXPECT_NEAR((second - first) / 1e4, 40.0, 1.0);
    g.Stop();
}

// A graph that keeps its preroll is stopped after RenderFile as any other, starts from the start
// at the rate asked for meanwhile, and can be cleared and rendered again.
TEST(FilterGraph, AKeptPrerollStartsFromTheStartAtTheRateAskedFor) {
    TFilterGraph g;
    g.setActive(true);
    ASSERT_EQ(g.as<IGraphStartup>()->KeepPrerolled(true), S_OK);
    ASSERT_EQ(g.RenderFile(avClip()), S_OK);
    EXPECT_EQ(g.State(), 1);
    bool done = false;
    g.OnDSEvent = [&](TFilterGraph*, long event, intptr_t, intptr_t) {
        done |= event == EC_COMPLETE;
    };
    g.setRate(1.5);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(g.Play());
    ASSERT_TRUE(waitFor([&] { return done; }, 10s));
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_NEAR(took, 2.0, 0.4) << "3 s at rate 1.5";

    g.Stop();
    g.setRate(1.0);
    g.ClearGraph();
    ASSERT_EQ(g.RenderFile(avClip()), S_OK);
    EXPECT_EQ(g.State(), 1);
    // Filters change only on a real stop: removing them all leaves an empty graph that renders
    // the file again.
    g.ClearGraph();
    EXPECT_TRUE(g.as<IFilterGraph2>()->EnumFilters().empty());
    ASSERT_EQ(g.RenderFile(avClip()), S_OK);
    done = false;
    ASSERT_TRUE(g.Play());
    int64_t pos = 0;
    ASSERT_TRUE(waitFor(
        [&] { return g.as<IMediaSeeking>()->GetCurrentPosition(&pos) == S_OK && pos > 0; }, 5s));
    EXPECT_LT(pos, 15000000) << "it plays from the start";
    ASSERT_TRUE(waitFor([&] { return done; }, 10s));
}

// Volume reaches the audio path with the logarithmic mapping.
TEST(FilterGraph, VolumeFollowsTheLogarithmicMappingIntoTheAudioPath) {
    TFilterGraph g;
    g.setActive(true);
    ASSERT_EQ(g.RenderFile(avClip()), S_OK);
    auto audio = g.as<IBasicAudio>();
    long v = 1;
    struct Case {
        int volume;
        long platform;
    } cases[] = {{10000, 0}, {0, -10000}, {5000, -752}};
    for (const Case& c : cases) {
        g.setVolume(c.volume);
        audio->get_Volume(&v);
        EXPECT_EQ(v, c.platform) << c.volume;
    }
    g.setLinearVolume(false);
    g.setVolume(5000);
    audio->get_Volume(&v);
    EXPECT_EQ(v, -5000);
    g.setLinearVolume(true);
    // -752 hundredths of a decibel is a gain of 0.42 on the volume element of the renderer.
    const std::string dot = graphDrawing(g.query<IFilterGraph2>());
    EXPECT_NE(dot.find("volume=0.42"), std::string::npos);
}

TEST(FilterGraph, ClearGraphKeepsProviderFiltersDisconnected) {
    PassThrough provider; // outlives the graph it is attached to
    TFilterGraph g;
    g.attachProvider(&provider);
    g.setActive(true);
    ASSERT_EQ(g.RenderFile(avClip()), S_OK);
    g.Pause();
    ASSERT_TRUE(waitFor([&] { return g.State() == 2; }, 5s));
    pump(200);
    // The video goes through the unconnected pass-through filter on its way to a renderer.
    ASSERT_TRUE(findUnconnectedPin(provider.filter, PINDIR_INPUT) == nullptr);
    EXPECT_GT(names(g).size(), 3u);
    g.ClearGraph();
    EXPECT_EQ(names(g), std::vector<std::string>{"PassThrough"});
    for (const PinPtr& p : provider.filter->pins())
        EXPECT_EQ(p->connectedTo(), nullptr);
    g.detachProvider(&provider);
}

TEST(FilterGraph, BadInputsRaiseClearErrorsAndLeaveTheGraphUsable) {
    const std::string dir = scratchDir("graph-bad");
    const std::string empty = dir + "/empty.avi", noise = dir + "/noise.avi",
                      truncated = dir + "/truncated.avi", corrupt = dir + "/corrupt.avi";
    std::ofstream(empty).close();
    {
        std::mt19937 rng(7);
        std::ofstream out(noise, std::ios::binary);
        for (int i = 0; i < 200000; ++i)
            out.put(char(rng()));
    }
    std::filesystem::copy_file(avClip(), corrupt,
                               std::filesystem::copy_options::overwrite_existing);
    {
        std::fstream f(corrupt, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(0);
        f.write("RIFX\xff\xff\xff\xff"
                "AVI LIST\x10\x00\x00\x00hdrlavih",
                28);
    }
    {
        std::ifstream in(avClip(), std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        std::ofstream(truncated, std::ios::binary)
            .write(bytes.data(), std::streamsize(bytes.size() / 3));
    }
    TFilterGraph g;
    g.setActive(true);
    struct Case {
        std::string path;
        HRESULT code;
    } cases[] = {{dir + "/missing.avi", E_FILE_NOT_FOUND},
                 {empty, VFW_E_INVALID_FILE_FORMAT},
                 {noise, VFW_E_UNKNOWN_FILE_TYPE},
                 {corrupt, 0}};
    for (const Case& c : cases) {
        try {
            g.RenderFile(c.path);
            ADD_FAILURE() << c.path << " rendered";
        } catch (const EDirectShowException& e) {
            if (c.code) {
                EXPECT_EQ(e.ErrorCode, c.code) << c.path;
            }
            EXPECT_NE(std::string(e.what()).find(" ($8"), std::string::npos) << e.what();
        }
        EXPECT_TRUE(names(g).empty()) << c.path;
    }
    // A truncated file still plays what it holds.
    ui::ScriptedDialogs dialogs;
    ui::ScopedDialogs use(dialogs);
    bool ended = false;
    g.OnDSEvent = [&](TFilterGraph*, long event, intptr_t, intptr_t) {
        ended |= event == EC_COMPLETE || event == EC_ERRORABORT;
    };
    EXPECT_EQ(g.RenderFile(truncated), S_OK);
    g.setRate(4.0);
    ASSERT_TRUE(g.Play());
    EXPECT_TRUE(waitFor([&] { return ended; }, 10s));
    g.ClearGraph();
    EXPECT_EQ(g.RenderFile(avClip()), S_OK); // still usable
}

TEST(FilterGraph, DeactivatingWithQueuedEventsDeliversNothing) {
    TFilterGraph g;
    g.setActive(true);
    ASSERT_EQ(g.RenderFile(avClip()), S_OK);
    int delivered = 0;
    g.OnDSEvent = [&](TFilterGraph*, long, intptr_t, intptr_t) { ++delivered; };
    g.setRate(8.0);
    g.Play();
    // Let the clip end without running the event loop, so the notifications stay queued.
    auto events = g.query<IMediaEventEx>();
    long code = 0;
    ASSERT_EQ(events->WaitForCompletion(10000, &code), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    g.setActive(false);
    pump(200);
    EXPECT_EQ(delivered, 0);
}

// An AVI written through the capture graph builder's output file and RenderStream from a file
// source decodes with ffprobe.
TEST(FilterGraph, CaptureBuilderWritesAnAviFromAFileSource) {
    const std::string source =
        clip("msvc2s.avi", "-f lavfi -i testsrc=size=320x240:rate=10 -t 2 -c:v msvideo1");
    const std::string out = scratchDir("graph-out") + "/copy.avi";
    std::filesystem::remove(out);
    TFilterGraph g;
    g.setMode(gmCapture);
    g.setActive(true);
    auto builder = g.as<ICaptureGraphBuilder2>();
    FilterPtr mux, writer;
    ASSERT_EQ(builder->SetOutputFileName(MEDIASUBTYPE_Avi, out, &mux, &writer), S_OK);
    FilterPtr src = createAviWavFileSource();
    ASSERT_EQ(queryInterface<IFileSourceFilter>(src)->Load(source), S_OK);
    ASSERT_EQ(g.as<IFilterGraph2>()->AddFilter(src, "Source"), S_OK);
    ASSERT_EQ(builder->RenderStream(nullptr, &MEDIATYPE_Video, src, nullptr, mux), S_OK);
    FilterPtr renderer;
    bool done = false;
    g.OnGraphComplete = [&](TFilterGraph*, HRESULT, FilterPtr r) {
        renderer = r;
        done = true;
    };
    ASSERT_TRUE(g.Play());
    ASSERT_TRUE(waitFor([&] { return done; }, 15s));
    EXPECT_EQ(renderer, writer); // the file writer is the renderer of a writing graph
    g.Stop();
    const auto info = probeVideo(out);
    EXPECT_EQ(info.at("codec_tag_string"), "MSVC");
    EXPECT_EQ(info.at("width"), "320");
    EXPECT_EQ(info.at("nb_read_frames"), "20");
    EXPECT_EQ(decodeAll(out).exitCode, 0);
}

// A file with a stream no renderer takes (subtitles here) still plays to its end: the stream
// nobody shows is left aside rather than stopping the graph.
TEST(FilterGraph, AFileWithAStreamNothingShowsStillPlaysToItsEnd) {
    const std::string srt = scratchDir("graph-clips") + "/subs.srt";
    {
        std::ofstream out(srt);
        out << "1\n00:00:00,000 --> 00:00:01,500\nHello\n";
    }
    const std::string path = clip(
        "subtitled.mkv", "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine -i '" + srt +
                             "' -t 2 -map 0 -map 1 -map 2 -c:v mpeg4 -c:a libmp3lame "
                             "-c:s srt");
    TFilterGraph g;
    g.setActive(true);
    ASSERT_EQ(g.RenderFile(path), S_OK);
    const auto filters = names(g);
    EXPECT_EQ(std::count(filters.begin(), filters.end(), "Video Renderer"), 1);
    EXPECT_EQ(std::count(filters.begin(), filters.end(), "Audio Renderer"), 1);
    EXPECT_EQ(std::count(filters.begin(), filters.end(), "Decoder"), 1);
    std::vector<long> events;
    g.OnDSEvent = [&](TFilterGraph*, long event, intptr_t, intptr_t) { events.push_back(event); };
    ASSERT_TRUE(g.Play());
    ASSERT_TRUE(waitFor(
        [&] { return std::find(events.begin(), events.end(), EC_COMPLETE) != events.end(); }, 10s));
    EXPECT_EQ(std::find(events.begin(), events.end(), EC_ERRORABORT), events.end());

    // A file of nothing but subtitles has nothing to play: a clear error.
    TFilterGraph only;
    only.setActive(true);
    EXPECT_THROW(only.RenderFile(srt), EDirectShowException);
}

// Files as other tools write them, one second each: containers and codecs from ffmpeg and from
// GStreamer's own muxers. Each is rendered with its length and picture size read right, and
// plays to its end in about its own time.
TEST(FilterGraph, FilesOtherToolsWrotePlayToTheirEnd) {
    const std::string av = "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine -t 1 ";
    const std::string gstVideo = "videotestsrc num-buffers=25 ! "
                                 "video/x-raw,width=160,height=120,framerate=25/1 ! ";
    const std::string gstAudio = "audiotestsrc num-buffers=43 ! audioconvert ! ";
    auto gst = [](const std::string& pipeline) {
        return [pipeline](const std::string& path) {
            return "gst-launch-1.0 -q -e " + pipeline + " m. ! filesink location='" + path + "'";
        };
    };
    struct Case {
        std::string name;
        std::function<std::string(const std::string&)> make;
        bool video;
    };
    auto ffmpeg = [](const std::string& args) {
        return [args](const std::string& path) {
            return "ffmpeg -v error -y " + args + " '" + path + "'";
        };
    };
    const std::vector<Case> cases = {
        {"h264-aac.mp4", ffmpeg(av + "-c:v libx264 -pix_fmt yuv420p -c:a aac"), true},
        {"vp9-opus.webm", ffmpeg(av + "-c:v libvpx-vp9 -deadline realtime -c:a libopus"), true},
        {"theora-vorbis.ogv", ffmpeg(av + "-c:v libtheora -c:a libvorbis"), true},
        {"mjpeg-pcm.mov", ffmpeg(av + "-c:v mjpeg -c:a pcm_s16le"), true},
        {"mpeg2-mp2.mpg", ffmpeg(av + "-c:v mpeg2video -c:a mp2"), true},
        {"two-sounds.mkv", ffmpeg(av + "-map 0 -map 1 -map 1 -c:v mpeg4 -c:a flac"), true},
        {"tone.mp3", ffmpeg("-f lavfi -i sine -t 1 -c:a libmp3lame"), false},
        {"gst-jpeg-pcm.avi", gst(gstVideo + "jpegenc ! avimux name=m " + gstAudio + "m."), true},
        {"gst-h264-vorbis.mkv",
         gst(gstVideo + "x264enc ! matroskamux name=m " + gstAudio + "vorbisenc ! m."), true},
        {"gst-h264.mp4", gst(gstVideo + "x264enc ! h264parse ! mp4mux name=m"), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = sharedFile("other-tools", c.name, c.make);
        ASSERT_FALSE(path.empty()) << "could not make " << c.name;
        TFilterGraph g;
        g.setActive(true);
        ASSERT_NO_THROW(g.RenderFile(path));
        int64_t duration = 0;
        ASSERT_EQ(g.as<IMediaSeeking>()->GetDuration(&duration), S_OK);
        EXPECT_NEAR(duration / 1e7, 1.0, 0.15);
        if (c.video) {
            long w = 0, h = 0;
            EXPECT_EQ(g.as<IBasicVideo>()->GetVideoSize(&w, &h), S_OK);
            EXPECT_EQ(w, 160);
            EXPECT_EQ(h, 120);
        }
        std::vector<long> events;
        g.OnDSEvent = [&](TFilterGraph*, long event, intptr_t, intptr_t) {
            events.push_back(event);
        };
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(g.Play());
        ASSERT_TRUE(waitFor(
            [&] { return std::find(events.begin(), events.end(), EC_COMPLETE) != events.end(); },
            10s));
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_NEAR(took, 1.0, 0.5 * timeScale());
        EXPECT_EQ(std::find(events.begin(), events.end(), EC_ERRORABORT), events.end());
    }
}

// A graph destroyed before those attached to it tells each of them, after it has taken the
// providers' filters out, and calls none of them again.
TEST(FilterGraph, ADestroyedGraphTellsItsProvidersAndListeners) {
    PassThrough provider, idle;
    Recorder listener;
    auto g = std::make_unique<TFilterGraph>();
    TFilterGraph* address = g.get();
    g->attachProvider(&provider);
    g->attachProvider(&idle);
    g->attachListener(&listener);
    g->setActive(true);
    g.reset();
    EXPECT_EQ(provider.ops, (std::vector<int>{foAdding, foAdded, foRemoving, foRemoved}));
    EXPECT_EQ(provider.destroyed, std::vector<TFilterGraph*>{address});
    EXPECT_EQ(idle.destroyed, std::vector<TFilterGraph*>{address});
    EXPECT_EQ(listener.destroyed, std::vector<TFilterGraph*>{address});
    EXPECT_EQ(listener.controls, (std::vector<int>{ccActivation, ccActivation}));
}

// The drawings for outside viewers are kept only in a folder of the user's own: the runtime
// folder's, else one made private under the temporary folder; a folder that is a link (which
// another user could have put there) is not written through.
TEST(FilterGraph, GraphDrawingsAreKeptInAPrivateFolder) {
    const std::string root = scratchDir("graph-drawings-" + std::to_string(getpid()));
    std::filesystem::remove_all(root);
    const std::string runtime = root + "/runtime", temp = root + "/tmp",
                      elsewhere = root + "/elsewhere";
    for (const std::string& d : {runtime, temp, elsewhere})
        std::filesystem::create_directories(d);
    chmod(runtime.c_str(), 0700);
    ScopedEnv tmpdir("TMPDIR", temp);

    {
        // A private runtime folder holds the drawing while the graph is active.
        ScopedEnv xdg("XDG_RUNTIME_DIR", runtime);
        TFilterGraph g;
        g.setGraphEdit(true);
        g.setActive(true);
        const std::string drawing = g.graphDrawingPath();
        ASSERT_FALSE(drawing.empty());
        EXPECT_EQ(std::filesystem::path(drawing).parent_path(),
                  std::filesystem::path(runtime) / "tovamix-graphs");
        EXPECT_TRUE(
            std::regex_match(std::filesystem::path(drawing).filename().string(), DrawingName))
            << drawing;
        EXPECT_TRUE(fileExists(drawing));
        EXPECT_EQ(modeOf(runtime + "/tovamix-graphs"), 0700u);
        g.setGraphEdit(false);
        EXPECT_FALSE(fileExists(drawing));
        g.setGraphEdit(true); // on again while active: drawn again
        EXPECT_TRUE(fileExists(g.graphDrawingPath()));
        g.setActive(false);
        EXPECT_FALSE(fileExists(drawing));
    }
    {
        // No runtime folder (empty counts as none), or one that others may enter: a private
        // folder under the temporary folder.
        const std::string open = root + "/open";
        std::filesystem::create_directories(open);
        chmod(open.c_str(), 0755);
        for (const std::string& xdg : {std::string(), open}) {
            ScopedEnv env("XDG_RUNTIME_DIR", xdg);
            TFilterGraph g;
            g.setGraphEdit(true);
            g.setActive(true);
            const std::string base = temp + "/runtime-" + std::to_string(getuid());
            EXPECT_EQ(std::filesystem::path(g.graphDrawingPath()).parent_path(),
                      std::filesystem::path(base) / "tovamix-graphs");
            EXPECT_TRUE(fileExists(g.graphDrawingPath()));
            EXPECT_EQ(modeOf(base), 0700u);
            EXPECT_EQ(modeOf(base + "/tovamix-graphs"), 0700u);
            EXPECT_FALSE(fileExists(open + "/tovamix-graphs"));
        }
    }
    {
        // A link in place of the folder: nothing is drawn, and nothing lands where it points.
        ScopedEnv xdg("XDG_RUNTIME_DIR", runtime);
        std::filesystem::remove_all(runtime + "/tovamix-graphs");
        std::filesystem::create_directory_symlink(elsewhere, runtime + "/tovamix-graphs");
        TFilterGraph g;
        g.setGraphEdit(true);
        g.setActive(true);
        EXPECT_TRUE(g.graphDrawingPath().empty());
        EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
        EXPECT_TRUE(g.Active());
    }
}

// What a render with a wait step did on this thread: how often the step ran, how deep it
// nested, and the longest stretch a 10 ms timer could not fire.
struct SteppedRender {
    HRESULT result = E_FAIL;
    int steps = 0;
    int deepest = 0;
    double longest = 0;
    double took = 0;
};

SteppedRender renderStepping(TFilterGraph& g, const std::string& file) {
    SteppedRender r;
    int depth = 0;
    g.setWaitStep([&] {
        ++r.steps;
        r.deepest = std::max(r.deepest, ++depth);
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 5);
        --depth;
    });
    auto last = std::chrono::steady_clock::now();
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const auto now = std::chrono::steady_clock::now();
        r.longest = std::max(r.longest, milliseconds(now - last));
        last = now;
    });
    probe.start(10);
    pump(50);
    last = std::chrono::steady_clock::now();
    const auto started = last;
    r.result = g.RenderFile(file);
    r.took = milliseconds(std::chrono::steady_clock::now() - started);
    r.longest = std::max(r.longest, milliseconds(std::chrono::steady_clock::now() - last));
    return r;
}

// A render waits for the file's first pictures with the graph's wait step running on this
// thread between short waits (a window repaints meanwhile): a 10 ms timer keeps firing through
// the render, the step never runs inside itself, and the render is the same as without one.
TEST(FilterGraph, TheWaitStepRunsWhileARenderWaitsForItsFirstPictures) {
    const std::string file = avClip();
    TFilterGraph g;
    g.setActive(true);
    const SteppedRender r = renderStepping(g, file);
    EXPECT_EQ(r.result, S_OK);
    EXPECT_GT(r.steps, 0) << "the render took " << r.took << " ms without running the step";
    EXPECT_EQ(r.deepest, 1);
    // The render's own work between waits is short; the waits themselves no longer count.
    EXPECT_LT(r.longest, scaled(100ms).count()) << "render of " << r.took << " ms";
    ASSERT_TRUE(g.Play());
    ASSERT_TRUE(waitFor([&] { return g.State() == 3; }, 5s));
    // Without a step the render still works: the wait blocks.
    g.setWaitStep({});
    g.Stop();
    g.ClearGraph();
    EXPECT_EQ(g.RenderFile(file), S_OK);
}

// A high-definition transport stream gives no length in its headers: the render decodes its
// last seconds to measure it and tears its probing decoders down, which for H.264 at
// 1920 x 1080 takes 200 to 300 ms on two cores (the event loop was kept that long before). The step
// runs through all of it, and the length is the file's.
TEST(FilterGraph, TheWaitStepRunsWhileAHighDefinitionLengthIsMeasured) {
    const std::string file =
        clip("hd6s.ts", "-f lavfi -i testsrc2=size=1920x1080:rate=25 -t 6 -c:v libx264 "
                        "-preset ultrafast -f mpegts");
    TFilterGraph g;
    g.setActive(true);
    const SteppedRender r = renderStepping(g, file);
    ASSERT_EQ(r.result, S_OK);
    EXPECT_EQ(r.deepest, 1);
    EXPECT_LT(r.longest, scaled(100ms).count()) << "render of " << r.took << " ms";
    int64_t length = 0;
    ASSERT_EQ(g.as<IMediaSeeking>()->GetDuration(&length), S_OK);
    EXPECT_NEAR(double(length) / 1e7, 6.0, 0.05);
}
