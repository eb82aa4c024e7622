// The timeline services end to end: timelines cut from clips that ffmpeg writes, rendered
// through the graph API (render engine, capture graph builder, the XviD and MP3 encoders found
// by name, our AVI multiplexer) and read back with ffprobe and ffmpeg; the stream detector;
// and the errors of the timeline's nodes.
#include "platform/dshow/devices/Devices.h"
#include "platform/dshow/timeline/Timeline.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>

using namespace platform::dshow;
using namespace testsupport;

namespace {

constexpr int64_t Second = 10'000'000; // 100-ns units

// 10 s of a moving test picture (640x480, 25 fps) with a tone.
const char* const ClipSources = "-f lavfi -i testsrc2=size=640x480:rate=25:duration=10 "
                                "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=10 ";

std::string mp4Clip() {
    return sharedClip("timeline", "clip.mp4",
                      std::string(ClipSources) +
                          "-c:v libx264 -pix_fmt yuv420p -g 25 -c:a aac -shortest");
}
std::string aviClip() {
    return sharedClip("timeline", "clip.avi",
                      std::string(ClipSources) + "-c:v mjpeg -q:v 2 -c:a pcm_s16le -shortest");
}
std::string videoOnlyClip() {
    return sharedClip("timeline", "video-only.mp4",
                      "-f lavfi -i testsrc2=size=640x480:rate=25:duration=10 "
                      "-c:v libx264 -pix_fmt yuv420p -g 25");
}
std::string audioOnlyClip() {
    return sharedClip("timeline", "audio-only.wav",
                      "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=10");
}

// The group media type the callers build: RGB24 video-info with only the bitmap header set.
AM_MEDIA_TYPE videoGroupType(int w, int h) {
    AM_MEDIA_TYPE mt;
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_RGB24;
    mt.bFixedSizeSamples = 1;
    mt.formattype = FORMAT_VideoInfo;
    const uint32_t image = ((w * 24 + 31) / 32) * 4 * h;
    mt.lSampleSize = image;
    mt.format.assign(88, 0);
    auto put = [&](size_t at, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            mt.format[at + i] = uint8_t(v >> (8 * i));
    };
    put(48, 40, 4);
    put(52, uint32_t(w), 4);
    put(56, uint32_t(h), 4);
    put(60, 1, 2);
    put(62, 24, 2);
    put(68, image, 4);
    return mt;
}
AM_MEDIA_TYPE audioGroupType() {
    AM_MEDIA_TYPE mt;
    mt.majortype = MEDIATYPE_Audio;
    return mt;
}

struct Clip {
    std::string file;
    int64_t start, stop;           // on the timeline
    int64_t mediaStart, mediaStop; // in the file
};

// Adds a group with one track per entry of tracks, each holding its clips; the group's result.
HRESULT addGroup(const std::shared_ptr<IAMTimeline>& tl, const AM_MEDIA_TYPE& mt,
                 const std::vector<std::vector<Clip>>& tracks) {
    TimelineObjPtr group;
    if (HRESULT h = tl->CreateEmptyNode(&group, TIMELINE_MAJOR_TYPE_GROUP); FAILED(h)) return h;
    if (HRESULT h = queryInterface<IAMTimelineGroup>(group)->SetMediaType(mt); FAILED(h)) return h;
    if (HRESULT h = tl->AddGroup(group); FAILED(h)) return h;
    for (const auto& clips : tracks) {
        TimelineObjPtr track;
        tl->CreateEmptyNode(&track, TIMELINE_MAJOR_TYPE_TRACK);
        if (HRESULT h = queryInterface<IAMTimelineComp>(group)->VTrackInsBefore(track, -1);
            FAILED(h))
            return h;
        for (const Clip& c : clips) {
            TimelineObjPtr src;
            tl->CreateEmptyNode(&src, TIMELINE_MAJOR_TYPE_SOURCE);
            auto s = queryInterface<IAMTimelineSrc>(src);
            if (HRESULT h = src->SetStartStop(c.start, c.stop); FAILED(h)) return h;
            s->SetMediaName(c.file);
            if (HRESULT h = s->SetMediaTimes(c.mediaStart, c.mediaStop); FAILED(h)) return h;
            if (HRESULT h = queryInterface<IAMTimelineTrack>(track)->SrcAdd(src); FAILED(h))
                return h;
        }
    }
    return S_OK;
}

// A timeline of one clip [from, to] of a file, in a video group (640x480) and/or an audio group.
std::shared_ptr<IAMTimeline> cutTimeline(const std::string& file, int64_t from, int64_t to,
                                         bool video, bool audio) {
    auto tl = createTimeline();
    const std::vector<std::vector<Clip>> tracks{{{file, 0, to - from, from, to}}};
    if (video) {
        EXPECT_EQ(addGroup(tl, videoGroupType(640, 480), tracks), S_OK);
    }
    if (audio) {
        EXPECT_EQ(addGroup(tl, audioGroupType(), tracks), S_OK);
    }
    return tl;
}

FilterPtr encoderNamed(const GUID& category, const std::function<bool(std::string)>& match) {
    for (const DeviceInfo& d : enumerateCategory(category)) {
        std::string lower = d.friendlyName;
        for (char& c : lower)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        if (match(lower)) return bindDisplayName(d.displayName);
    }
    return nullptr;
}

struct Render {
    HRESULT built = E_FAIL;         // everything up to the run
    long completion = 0;            // the event code that ended the wait, 0: stopped or none
    int64_t duration = -1;          // the graph's duration before the run
    std::vector<int64_t> positions; // read while it ran
    HRESULT nullEnds = E_FAIL;      // what RenderOutputPins gave
};

enum class Routing {
    OwnEncoder,  // each group's pin through the encoder of its kind
    EachEncoder, // each pin offered the video encoder, then the audio encoder, as the export
                 // routine does: the one that does not take the stream must leave it free
    VideoOnly,   // the audio groups' pins left for RenderOutputPins
};

// Renders the timeline into out the way the export routine does: the engine's graph, the
// capture graph builder's AVI output, each group's pin through its encoder. stopAt >= 0: the
// graph is stopped once its position has passed that time.
Render render(const std::shared_ptr<IAMTimeline>& tl, const std::string& out, int64_t stopAt = -1,
              Routing routing = Routing::OwnEncoder,
              const std::function<void()>& beforeRun = nullptr) {
    Render r;
    std::filesystem::remove(out); // what is read back is this render's
    auto engine = createRenderEngine();
    auto fail = [&](HRESULT h) {
        r.built = h;
        engine->ScrapIt();
        return r;
    };
    if (HRESULT h = engine->SetTimelineObject(tl); FAILED(h)) return fail(h);
    if (HRESULT h = engine->ConnectFrontEnd(); FAILED(h)) return fail(h);
    std::shared_ptr<IGraphBuilder> graph;
    engine->GetFilterGraph(&graph);
    FilterPtr venc = encoderNamed(CLSID_VideoCompressorCategory,
                                  [](const std::string& n) { return n.rfind("xvid", 0) == 0; });
    FilterPtr aenc = encoderNamed(CLSID_AudioCompressorCategory, [](const std::string& n) {
        return n.find("mpeg layer-3") != std::string::npos;
    });
    if (!venc || !aenc) return fail(VFW_E_NOT_FOUND);
    graph->AddFilter(venc, "MyVideoEncoder");
    graph->AddFilter(aenc, "MyAudioEncoder");
    auto builder = createCaptureGraphBuilder();
    builder->SetFiltergraph(graph);
    FilterPtr mux;
    if (HRESULT h = builder->SetOutputFileName(MEDIASUBTYPE_Avi, out, &mux, nullptr); FAILED(h))
        return fail(h);
    long groups = 0;
    tl->GetGroupCount(&groups);
    for (long i = 0; i < groups; ++i) {
        TimelineObjPtr group;
        AM_MEDIA_TYPE mt;
        tl->GetGroup(&group, i);
        queryInterface<IAMTimelineGroup>(group)->GetMediaType(&mt);
        PinPtr pin;
        if (FAILED(engine->GetGroupOutputPin(i, &pin))) continue;
        if (routing == Routing::EachEncoder) {
            builder->RenderStream(nullptr, nullptr, pin, venc, mux);
            builder->RenderStream(nullptr, nullptr, pin, aenc, mux);
            continue;
        }
        const bool video = mt.majortype == MEDIATYPE_Video;
        if (!video && routing == Routing::VideoOnly) continue;
        if (HRESULT h = builder->RenderStream(nullptr, nullptr, pin, video ? venc : aenc, mux);
            FAILED(h))
            return fail(h);
    }
    r.nullEnds = engine->RenderOutputPins();
    auto control = queryInterface<IMediaControl>(graph);
    auto events = queryInterface<IMediaEventEx>(graph);
    auto seeking = queryInterface<IMediaSeeking>(graph);
    seeking->GetDuration(&r.duration);
    if (beforeRun) beforeRun();
    if (HRESULT h = control->Run(); FAILED(h)) return fail(h);
    r.built = S_OK;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        long code = 0;
        // A stop must come while the render runs, which here takes well under a second.
        const bool done = events->WaitForCompletion(stopAt >= 0 ? 5 : 100, &code) == S_OK;
        int64_t pos = 0;
        if (seeking->GetCurrentPosition(&pos) == S_OK) r.positions.push_back(pos);
        if (done) {
            r.completion = code;
            break;
        }
        if (stopAt >= 0 && pos > stopAt) break;
    }
    control->Stop();
    engine->ScrapIt();
    return r;
}

double psnr(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
    if (a.empty() || a.size() != b.size()) return 0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    const double mse = sum / double(a.size());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

double field(const std::map<std::string, std::string>& m, const char* key) {
    return m.count(key) ? std::atof(m.at(key).c_str()) : -1;
}

// -- Rendering

class TimelineCut : public ::testing::TestWithParam<const char*> {};

// Seconds 2..5 of the clip come out as XviD 640x480 at the clip's 25 fps, 75 frames, each
// the clip's frame 50 + k, with the tone as MP3 44100 Hz stereo, 3 s long; the graph reports
// the timeline's length and a position that rises to it.
TEST_P(TimelineCut, WritesTheStretchFrameForFrame) {
    const std::string clip = std::string(GetParam()) == "mp4" ? mp4Clip() : aviClip();
    ASSERT_FALSE(clip.empty());
    const std::string out = scratchDir("timeline") + "/cut-" + GetParam() + ".avi";
    auto tl = cutTimeline(clip, 2 * Second, 5 * Second, true, true);
    double fps = 0;
    tl->GetDefaultFPS(&fps);
    EXPECT_DOUBLE_EQ(fps, 25);

    const Render r = render(tl, out);
    ASSERT_EQ(r.built, S_OK);
    EXPECT_EQ(r.completion, EC_COMPLETE);
    EXPECT_EQ(r.nullEnds, S_FALSE);
    EXPECT_EQ(r.duration, 3 * Second);
    ASSERT_FALSE(r.positions.empty());
    for (size_t i = 1; i < r.positions.size(); ++i)
        EXPECT_GE(r.positions[i], r.positions[i - 1]);
    EXPECT_EQ(r.positions.back(), 3 * Second);

    const auto v = expectVideoStream(out, {"mpeg4", "XVID", "25/1", 640, 480});
    EXPECT_EQ(v.count("nb_read_frames") ? v.at("nb_read_frames") : "", "75");
    const auto a = probeStream(out, "a:0");
    EXPECT_EQ(a.count("codec_name") ? a.at("codec_name") : "", "mp3");
    EXPECT_EQ(field(a, "sample_rate"), 44100);
    EXPECT_EQ(field(a, "channels"), 2);
    // MP3 frames of 1152 samples: the sound's length as written.
    EXPECT_NEAR(field(a, "nb_read_packets") * 1152 / 44100, 3.0, 0.05);
    EXPECT_NEAR(field(v, "duration"), 3.0, 0.05);

    for (int k : {0, 37, 74}) {
        int w, h, sw, sh;
        const auto frame = decodeFrameRgb(out, k, w, h);
        ASSERT_EQ(frame.size(), size_t(640 * 480 * 3)) << "frame " << k;
        const double at = psnr(frame, decodeFrameRgb(clip, 50 + k, sw, sh));
        const double before = psnr(frame, decodeFrameRgb(clip, 49 + k, sw, sh));
        const double after = psnr(frame, decodeFrameRgb(clip, 51 + k, sw, sh));
        EXPECT_GE(at, 30) << "frame " << k;
        EXPECT_GE(at, before + 5) << "frame " << k;
        EXPECT_GE(at, after + 5) << "frame " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Clips, TimelineCut, ::testing::Values("mp4", "avi"));

// A file with one kind of stream gives one group and an AVI with that stream only.
TEST(Timeline, RendersVideoOnlyAndAudioOnlySources) {
    const std::string video = videoOnlyClip(), audio = audioOnlyClip();
    ASSERT_FALSE(video.empty() || audio.empty());
    const std::string vout = scratchDir("timeline") + "/video-only.avi";
    const Render rv = render(cutTimeline(video, 1 * Second, 3 * Second, true, false), vout);
    ASSERT_EQ(rv.built, S_OK);
    EXPECT_EQ(rv.completion, EC_COMPLETE);
    const auto v = expectVideoStream(vout, {"mpeg4", "XVID", "25/1", 640, 480});
    EXPECT_EQ(v.count("nb_read_frames") ? v.at("nb_read_frames") : "", "50");
    EXPECT_TRUE(probeStream(vout, "a:0").empty());

    const std::string aout = scratchDir("timeline") + "/audio-only.avi";
    const Render ra = render(cutTimeline(audio, 1 * Second, 3 * Second, false, true), aout);
    ASSERT_EQ(ra.built, S_OK);
    EXPECT_EQ(ra.completion, EC_COMPLETE);
    EXPECT_TRUE(probeStream(aout, "v:0").empty());
    const auto a = probeStream(aout, "a:0");
    EXPECT_EQ(a.count("codec_name") ? a.at("codec_name") : "", "mp3");
    EXPECT_NEAR(field(a, "nb_read_packets") * 1152 / 44100, 2.0, 0.05);
}

// A group left unconnected ends in a sink that drops its data, so the render still completes.
TEST(Timeline, EndsUnconnectedGroupsInANullSink) {
    const std::string out = scratchDir("timeline") + "/audio-dropped.avi";
    const Render r = render(cutTimeline(mp4Clip(), 2 * Second, 5 * Second, true, true), out, -1,
                            Routing::VideoOnly);
    ASSERT_EQ(r.built, S_OK);
    EXPECT_EQ(r.nullEnds, S_OK);
    EXPECT_EQ(r.completion, EC_COMPLETE);
    const auto v = expectVideoStream(out, {"mpeg4", "XVID", "25/1", 640, 480});
    EXPECT_EQ(v.count("nb_read_frames") ? v.at("nb_read_frames") : "", "75");
    EXPECT_TRUE(probeStream(out, "a:0").empty());
}

// Two files one after the other, each on a track of its own (the link layout), with each pin
// offered both encoders: 10 s of the first file, then 10 s of the second.
TEST(Timeline, JoinsTwoFilesOneAfterTheOther) {
    const std::string first = mp4Clip(), second = aviClip();
    ASSERT_FALSE(first.empty() || second.empty());
    const std::string out = scratchDir("timeline") + "/joined.avi";
    auto tl = createTimeline();
    const std::vector<std::vector<Clip>> tracks{
        {{first, 0, 10 * Second, 0, 10 * Second}},
        {{second, 10 * Second, 20 * Second, 0, 10 * Second}}};
    ASSERT_EQ(addGroup(tl, videoGroupType(640, 480), tracks), S_OK);
    ASSERT_EQ(addGroup(tl, audioGroupType(), tracks), S_OK);
    const Render r = render(tl, out, -1, Routing::EachEncoder);
    ASSERT_EQ(r.built, S_OK);
    EXPECT_EQ(r.completion, EC_COMPLETE);
    EXPECT_EQ(r.duration, 20 * Second);
    const auto v = expectVideoStream(out, {"mpeg4", "XVID", "25/1", 640, 480});
    EXPECT_EQ(v.count("nb_read_frames") ? v.at("nb_read_frames") : "", "500");
    const auto a = probeStream(out, "a:0");
    // The MP3 encoder ends with up to two frames of padding.
    EXPECT_NEAR(field(a, "nb_read_packets") * 1152 / 44100, 20.0, 0.08);
    // The join: the last frame of the first file, then the first of the second.
    int w, h, sw, sh;
    EXPECT_GE(psnr(decodeFrameRgb(out, 249, w, h), decodeFrameRgb(first, 249, sw, sh)), 30);
    EXPECT_GE(psnr(decodeFrameRgb(out, 250, w, h), decodeFrameRgb(second, 0, sw, sh)), 30);
}

// Stopping the graph halfway ends every stream, so the file gets its index and decodes cleanly.
TEST(Timeline, StopMidRenderLeavesAFinishedFile) {
    const std::string clip = mp4Clip();
    ASSERT_FALSE(clip.empty());
    const std::string out = scratchDir("timeline") + "/stopped.avi";
    const Render r = render(cutTimeline(clip, 0, 10 * Second, true, true), out, 1 * Second);
    ASSERT_EQ(r.built, S_OK);
    ASSERT_EQ(r.completion, 0) << "the render ended before it could be stopped";
    ASSERT_FALSE(r.positions.empty());
    const CommandResult decoded = decodeAll(out);
    EXPECT_EQ(decoded.exitCode, 0);
    EXPECT_EQ(decoded.err, "");
    const auto v = probeVideo(out);
    EXPECT_GT(field(v, "nb_read_frames"), 0);
    EXPECT_LT(field(v, "nb_read_frames"), 250);
    EXPECT_EQ(v.count("codec_tag_string") ? v.at("codec_tag_string") : "", "XVID");
}

// A source that can no longer be read once the render runs ends the wait with an error abort,
// not a hang.
TEST(Timeline, ReportsAnErrorInsideTheTimelineAsAnAbort) {
    const std::string clip = scratchDir("timeline") + "/spoilt.mp4";
    std::filesystem::copy_file(mp4Clip(), clip, std::filesystem::copy_options::overwrite_existing);
    const auto spoil = [&] {
        const auto size = std::filesystem::file_size(clip);
        std::ofstream(clip, std::ios::binary | std::ios::trunc) << std::string(size, '\0');
    };
    const Render r = render(cutTimeline(clip, 0, 2 * Second, true, true),
                            scratchDir("timeline") + "/spoilt.avi", -1, Routing::OwnEncoder, spoil);
    ASSERT_EQ(r.built, S_OK);
    EXPECT_EQ(r.completion, EC_ERRORABORT);
}

// -- The detector

TEST(MediaDet, ReadsTheStreamsOfBothClips) {
    for (const std::string& clip : {mp4Clip(), aviClip()}) {
        SCOPED_TRACE(clip);
        auto det = createMediaDet();
        ASSERT_EQ(det->put_Filename(clip), S_OK);
        long count = 0;
        ASSERT_EQ(det->get_OutputStreams(&count), S_OK);
        ASSERT_EQ(count, 2);
        bool video = false, audio = false;
        for (long i = 0; i < count; ++i) {
            ASSERT_EQ(det->put_CurrentStream(i), S_OK);
            GUID type;
            double seconds = 0, fps = 0;
            std::string caps;
            ASSERT_EQ(det->get_StreamType(&type), S_OK);
            ASSERT_EQ(det->get_StreamLength(&seconds), S_OK);
            EXPECT_NEAR(seconds, 10, 0.1);
            det->get_StreamCaps(&caps);
            if (type == MEDIATYPE_Video) {
                video = true;
                EXPECT_EQ(det->get_FrameRate(&fps), S_OK);
                EXPECT_DOUBLE_EQ(fps, 25);
                EXPECT_NE(caps.find("width=(int)640"), std::string::npos) << caps;
            } else if (type == MEDIATYPE_Audio) {
                audio = true;
                EXPECT_EQ(det->get_FrameRate(&fps), VFW_E_INVALIDMEDIATYPE);
                EXPECT_EQ(caps.rfind("audio/", 0), 0u) << caps;
            }
        }
        EXPECT_TRUE(video && audio);
        EXPECT_EQ(det->put_CurrentStream(2), E_INVALIDARG);
    }
}

TEST(MediaDet, RefusesMissingAndNonMediaFiles) {
    auto det = createMediaDet();
    EXPECT_EQ(det->put_Filename(scratchDir("timeline") + "/no-such-file.avi"), E_FILE_NOT_FOUND);
    const std::string text = scratchDir("timeline") + "/not-media.avi";
    std::ofstream(text) << "This is a plain text file, not a video.\n";
    EXPECT_EQ(det->put_Filename(text), VFW_E_INVALID_FILE_FORMAT);
    long count = -1;
    det->get_OutputStreams(&count);
    EXPECT_EQ(count, 0);
}

// -- The nodes

TEST(Timeline, RefusesSourcesThatChangeRateOrOverlap) {
    const std::string clip = mp4Clip();
    auto tl = createTimeline();
    // Media span 2 s on a timeline span of 3 s.
    EXPECT_EQ(addGroup(tl, audioGroupType(), {{{clip, 0, 3 * Second, 0, 2 * Second}}}),
              E_INVALIDARG);
    // The second clip starts before the first ends.
    EXPECT_EQ(addGroup(tl, audioGroupType(),
                       {{{clip, 0, 3 * Second, 0, 3 * Second},
                         {clip, 2 * Second, 4 * Second, 0, 2 * Second}}}),
              E_INVALIDARG);
    // Back to back is no overlap; the timeline ends where the last clip does.
    auto ok = createTimeline();
    EXPECT_EQ(addGroup(ok, audioGroupType(),
                       {{{clip, 0, 3 * Second, 0, 3 * Second},
                         {clip, 3 * Second, 5 * Second, 0, 2 * Second}}}),
              S_OK);
    int64_t d = 0;
    ok->GetDuration(&d);
    EXPECT_EQ(d, 5 * Second);

    TimelineObjPtr node, track, src;
    EXPECT_EQ(tl->CreateEmptyNode(&node, TIMELINE_MAJOR_TYPE_EFFECT), E_INVALIDARG);
    tl->CreateEmptyNode(&track, TIMELINE_MAJOR_TYPE_TRACK);
    tl->CreateEmptyNode(&src, TIMELINE_MAJOR_TYPE_SOURCE);
    EXPECT_EQ(src->SetStartStop(2, 2), E_INVALIDARG);
    EXPECT_EQ(queryInterface<IAMTimelineSrc>(src)->SetMediaTimes(-1, 2), E_INVALIDARG);
    EXPECT_EQ(queryInterface<IAMTimelineTrack>(track)->SrcAdd(src), VFW_E_NOT_FOUND);

    TimelineObjPtr group;
    tl->CreateEmptyNode(&group, TIMELINE_MAJOR_TYPE_GROUP);
    AM_MEDIA_TYPE shortVideo = videoGroupType(640, 480);
    shortVideo.format.resize(40);
    EXPECT_EQ(queryInterface<IAMTimelineGroup>(group)->SetMediaType(shortVideo),
              VFW_E_INVALIDMEDIATYPE);
}

TEST(Timeline, ConnectFrontEndRefusesIncompleteTimelines) {
    auto engine = createRenderEngine();
    // No groups.
    ASSERT_EQ(engine->SetTimelineObject(createTimeline()), S_OK);
    EXPECT_EQ(engine->ConnectFrontEnd(), E_INVALIDARG);
    std::shared_ptr<IGraphBuilder> graph;
    EXPECT_TRUE(FAILED(engine->GetFilterGraph(&graph)));
    EXPECT_FALSE(graph);
    // A group without its media type.
    auto untyped = createTimeline();
    TimelineObjPtr group;
    untyped->CreateEmptyNode(&group, TIMELINE_MAJOR_TYPE_GROUP);
    untyped->AddGroup(group);
    engine->SetTimelineObject(untyped);
    EXPECT_EQ(engine->ConnectFrontEnd(), VFW_E_INVALIDMEDIATYPE);
    // A source file that is not there.
    auto missing = createTimeline();
    ASSERT_EQ(addGroup(missing, videoGroupType(320, 240),
                       {{{scratchDir("timeline") + "/gone.mp4", 0, Second, 0, Second}}}),
              S_OK);
    double fps = 0;
    missing->GetDefaultFPS(&fps);
    EXPECT_DOUBLE_EQ(fps, 30);
    engine->SetTimelineObject(missing);
    EXPECT_EQ(engine->ConnectFrontEnd(), E_FILE_NOT_FOUND);
    PinPtr pin;
    EXPECT_TRUE(FAILED(engine->GetGroupOutputPin(0, &pin)));
}

} // namespace
