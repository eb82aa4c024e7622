#include "platform/dshow/elements/AviMuxElement.h"
#include "support/GstPipelines.h"
#include "support/TestSupport.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace testsupport;

namespace {

using Outcome = PipelineEnd;

Outcome waitForEnd(GstElement* pipeline, int seconds) {
    return waitForPipelineEnd(pipeline, seconds);
}
Outcome play(const std::string& description, int seconds = 120) {
    return playPipeline(description, seconds);
}

// ffmpeg notes that it guesses the speaker layout of every PCM stream stored with format tag
// 1 (its own such files get the same note); anything else it prints is a fault.
std::string withoutLayoutGuess(const std::string& text) {
    std::istringstream lines(text);
    std::string line, rest;
    while (std::getline(lines, line))
        if (line.rfind("Guessed Channel Layout", 0) != 0) rest += line + "\n";
    return rest;
}

double number(const std::map<std::string, std::string>& kv, const std::string& key) {
    const auto it = kv.find(key);
    return it == kv.end() ? -1 : std::atof(it->second.c_str());
}

std::string mpeg4AndMp3(const std::string& out) {
    return "videotestsrc num-buffers=50 ! video/x-raw,width=320,height=240,framerate=25/1 ! "
           "avenc_mpeg4 ! m.video_0 "
           "audiotestsrc num-buffers=20 samplesperbuffer=4410 ! "
           "audio/x-raw,rate=44100,channels=2 ! lamemp3enc ! m.audio_0 "
           "tovamixavimux name=m ! filesink location=" +
           out;
}

class AviMuxElement : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(platform::dshow::registerAviMuxElement()); }
};

} // namespace

TEST_F(AviMuxElement, RegistersOnceFromAnyThreadAndNamesItsPadsByKind) {
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] { ok += platform::dshow::registerAviMuxElement() ? 1 : 0; });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(ok, 4);

    GstElement* mux = gst_element_factory_make("tovamixavimux", nullptr);
    ASSERT_NE(mux, nullptr);
    GstPad* v0 = gst_element_request_pad_simple(mux, "video_%u");
    GstPad* a0 = gst_element_request_pad_simple(mux, "audio_%u");
    GstPad* v5 = gst_element_request_pad_simple(mux, "video_5");
    ASSERT_TRUE(v0 && a0 && v5);
    EXPECT_STREQ(GST_PAD_NAME(v0), "video_0");
    EXPECT_STREQ(GST_PAD_NAME(a0), "audio_0");
    EXPECT_STREQ(GST_PAD_NAME(v5), "video_5");
    GstPad* v6 = gst_element_request_pad_simple(mux, "video_%u");
    ASSERT_NE(v6, nullptr);
    EXPECT_STREQ(GST_PAD_NAME(v6), "video_6");
    for (GstPad* p : {v0, a0, v5, v6}) {
        gst_element_release_request_pad(mux, p);
        gst_object_unref(p);
    }

    // Raw pictures other than RGB are not a format the file carries: the pad refuses them.
    GstPad* sink = gst_element_request_pad_simple(mux, "video_%u");
    GstCaps* yuv = gst_caps_from_string("video/x-raw, format=I420");
    EXPECT_FALSE(gst_pad_query_accept_caps(sink, yuv));
    gst_caps_unref(yuv);
    GstCaps* rgb = gst_caps_from_string("video/x-raw, format=BGR");
    EXPECT_TRUE(gst_pad_query_accept_caps(sink, rgb));
    gst_caps_unref(rgb);
    gst_element_release_request_pad(mux, sink);
    gst_object_unref(sink);
    gst_object_unref(mux);
}

TEST_F(AviMuxElement, Mpeg4AndMp3AreWrittenAsXvidAndTag55Interleaved) {
    const std::string out = scratchDir("avimux") + "/xvid_mp3.avi";
    const Outcome o = play(mpeg4AndMp3(out));
    ASSERT_TRUE(o.parseError.empty()) << o.parseError;
    ASSERT_TRUE(o.eos) << o.errorSource << ": " << o.message << " / " << o.debug;

    const auto v = probeStream(out, "v:0");
    EXPECT_EQ(v.count("codec_name") ? v.at("codec_name") : "", "mpeg4");
    EXPECT_EQ(v.count("codec_tag_string") ? v.at("codec_tag_string") : "", "XVID");
    EXPECT_EQ(v.count("r_frame_rate") ? v.at("r_frame_rate") : "", "25/1");
    EXPECT_EQ(number(v, "width"), 320);
    EXPECT_EQ(number(v, "height"), 240);
    EXPECT_EQ(number(v, "nb_frames"), 50) << "frame count in the header";
    EXPECT_EQ(number(v, "nb_read_packets"), 50);
    EXPECT_NEAR(number(v, "duration"), 2.0, 1e-6);

    const auto a = probeStream(out, "a:0");
    EXPECT_EQ(a.count("codec_name") ? a.at("codec_name") : "", "mp3");
    EXPECT_EQ(a.count("codec_tag") ? a.at("codec_tag") : "", "0x0055");
    EXPECT_EQ(number(a, "sample_rate"), 44100);
    EXPECT_EQ(number(a, "channels"), 2);
    // 2 s of samples plus the encoder's padding, in whole 1152-sample frames.
    EXPECT_NEAR(number(a, "duration"), 2.0, 0.1);
    EXPECT_NEAR(number(a, "duration"), number(a, "nb_read_packets") * 1152 / 44100.0, 1e-3);

    const auto decoded = decodeAll(out);
    EXPECT_EQ(decoded.exitCode, 0);
    EXPECT_EQ(decoded.err, "");

    // Interleaved: both streams spread over the whole file rather than one after the other.
    const auto packets =
        run("ffprobe -v error -show_entries packet=stream_index,pos -of csv=p=0 '" + out + "'");
    std::istringstream lines(packets.out);
    std::string line;
    double sum[2] = {0, 0}, count[2] = {0, 0}, last = 1;
    std::vector<std::pair<int, double>> all;
    while (std::getline(lines, line)) {
        int stream = 0;
        long long pos = 0;
        if (std::sscanf(line.c_str(), "%d,%lld", &stream, &pos) == 2 && stream >= 0 && stream < 2)
            all.emplace_back(stream, double(pos));
    }
    for (const auto& [stream, pos] : all)
        last = std::max(last, pos);
    for (const auto& [stream, pos] : all) {
        sum[stream] += pos / last;
        count[stream] += 1;
    }
    ASSERT_GT(count[0], 0);
    ASSERT_GT(count[1], 0);
    EXPECT_NEAR(sum[0] / count[0], sum[1] / count[1], 0.1)
        << "mean relative file position of video and audio chunks";
}

TEST_F(AviMuxElement, MsVideo1PassesThroughUnchangedWithItsHeaderRewrittenAtTheEnd) {
    const std::string dir = scratchDir("avimux");
    const std::string in = dir + "/msvc_in.avi", out = dir + "/msvc_out.avi";
    ASSERT_EQ(run("ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=10 -t 2 "
                  "-c:v msvideo1 '" +
                  in + "'")
                  .exitCode,
              0);
    const Outcome o =
        play("filesrc location=" + in + " ! avidemux ! tovamixavimux ! filesink location=" + out);
    ASSERT_TRUE(o.parseError.empty()) << o.parseError;
    ASSERT_TRUE(o.eos) << o.errorSource << ": " << o.message << " / " << o.debug;

    const auto v = probeVideo(out);
    EXPECT_EQ(v.count("codec_name") ? v.at("codec_name") : "", "msvideo1");
    EXPECT_EQ(v.count("codec_tag_string") ? v.at("codec_tag_string") : "", "MSVC");
    EXPECT_EQ(v.count("r_frame_rate") ? v.at("r_frame_rate") : "", "10/1");
    EXPECT_EQ(v.count("width") ? v.at("width") : "", "320");
    EXPECT_EQ(v.count("height") ? v.at("height") : "", "240");
    // The frame count and duration come from the header, which is written before any frame:
    // they are right only when the header was rewritten at the end.
    EXPECT_EQ(v.count("nb_frames") ? v.at("nb_frames") : "", "20");
    EXPECT_EQ(v.count("nb_read_packets") ? v.at("nb_read_packets") : "", "20");
    EXPECT_NEAR(number(v, "duration"), 2.0, 1e-6);

    const auto before = probePackets(in), after = probePackets(out);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(after[i].size, before[i].size) << "packet " << i;
        EXPECT_EQ(after[i].key, before[i].key) << "packet " << i;
    }
    const auto decoded = decodeAll(out);
    EXPECT_EQ(decoded.exitCode, 0);
    EXPECT_EQ(decoded.err, "");
}

// Streams from a demuxer keep every chunk: B-frames stay in decode order, MP3 frames stay
// one per chunk.
TEST_F(AviMuxElement, DemuxedXvidWithBFramesAndMp3AreRemuxedChunkForChunk) {
    const std::string dir = scratchDir("avimux");
    const std::string in = dir + "/xvid_in.avi", out = dir + "/xvid_out.avi";
    ASSERT_EQ(run("ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i "
                  "sine=sample_rate=44100 -t 2 -c:v mpeg4 -vtag XVID -bf 2 -c:a libmp3lame "
                  "-b:a 128k '" +
                  in + "'")
                  .exitCode,
              0);
    const Outcome o = play("filesrc location=" + in +
                           " ! avidemux name=d d.video_0 ! queue ! m.video_0 d.audio_0 ! queue ! "
                           "m.audio_0 tovamixavimux name=m ! filesink location=" +
                           out);
    ASSERT_TRUE(o.eos) << o.parseError << o.errorSource << ": " << o.message << " / " << o.debug;

    const auto v = probeStream(out, "v:0");
    EXPECT_EQ(v.count("codec_tag_string") ? v.at("codec_tag_string") : "", "XVID");
    EXPECT_EQ(number(v, "nb_frames"), 50);
    const auto before = probePackets(in), after = probePackets(out);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(after[i].size, before[i].size) << "video chunk " << i;
        EXPECT_EQ(after[i].key, before[i].key) << "video chunk " << i;
    }
    const auto aIn = probeStream(in, "a:0"), aOut = probeStream(out, "a:0");
    EXPECT_EQ(aOut.count("codec_tag") ? aOut.at("codec_tag") : "", "0x0055");
    EXPECT_EQ(number(aOut, "nb_read_packets"), number(aIn, "nb_read_packets"));
    EXPECT_NEAR(number(aOut, "duration"), number(aIn, "nb_read_packets") * 1152 / 44100.0, 1e-3);
    const auto decoded = decodeAll(out);
    EXPECT_EQ(decoded.exitCode, 0);
    EXPECT_EQ(decoded.err, "");
}

TEST_F(AviMuxElement, PcmKeepsTagOneAndItsExactDuration) {
    struct Case {
        const char* caps;
        int buffers, samples;
        const char* codec;
        int rate, channels;
        double seconds;
    };
    for (const Case& c :
         {Case{"format=S16LE,rate=44100,channels=2", 10, 4410, "pcm_s16le", 44100, 2, 1.0},
          Case{"format=U8,rate=22050,channels=1", 5, 2205, "pcm_u8", 22050, 1, 0.5}}) {
        SCOPED_TRACE(c.caps);
        const std::string out = scratchDir("avimux") + "/pcm_" + c.codec + ".avi";
        const Outcome o =
            play("audiotestsrc num-buffers=" + std::to_string(c.buffers) +
                 " samplesperbuffer=" + std::to_string(c.samples) + " ! audio/x-raw," + c.caps +
                 " ! m.audio_0 tovamixavimux name=m ! filesink location=" + out);
        ASSERT_TRUE(o.eos) << o.parseError << o.errorSource << ": " << o.message << " / "
                           << o.debug;
        const auto a = probeStream(out, "a:0");
        EXPECT_EQ(a.count("codec_name") ? a.at("codec_name") : "", c.codec);
        EXPECT_EQ(a.count("codec_tag") ? a.at("codec_tag") : "", "0x0001");
        EXPECT_EQ(number(a, "sample_rate"), c.rate);
        EXPECT_EQ(number(a, "channels"), c.channels);
        // The sample count is in the stream header, rewritten at the end.
        EXPECT_EQ(number(a, "nb_frames"), c.buffers * c.samples);
        // Every sample comes back out of the decoder.
        const bool u8 = std::string(c.codec) == "pcm_u8";
        const auto decoded = run("ffmpeg -v error -xerror -i '" + out + "' -f " +
                                 (u8 ? "u8" : "s16le") + " - | wc -c");
        EXPECT_EQ(decoded.err, "");
        EXPECT_EQ(std::atof(decoded.out.c_str()), c.seconds * c.rate * c.channels * (u8 ? 1 : 2));
    }
}

TEST_F(AviMuxElement, WithoutASeekableDownstreamTheStreamableLayoutIsWritten) {
    const std::string out = scratchDir("avimux") + "/streamed.avi";
    GError* err = nullptr;
    GstElement* pipeline = gst_parse_launch(
        "videotestsrc num-buffers=30 ! video/x-raw,width=176,height=144,framerate=15/1 ! "
        "avenc_mpeg4 ! tovamixavimux ! fakesink name=sink signal-handoffs=true sync=false",
        &err);
    ASSERT_EQ(err, nullptr) << err->message;
    std::string bytes;
    bool inOrder = true;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    struct Collect {
        std::string* bytes;
        bool* inOrder;
    } collect{&bytes, &inOrder};
    g_signal_connect(sink, "handoff",
                     G_CALLBACK(+[](GstElement*, GstBuffer* buf, GstPad*, gpointer data) {
                         auto* c = static_cast<Collect*>(data);
                         if (GST_BUFFER_OFFSET(buf) != c->bytes->size()) *c->inOrder = false;
                         GstMapInfo map;
                         if (gst_buffer_map(buf, &map, GST_MAP_READ)) {
                             c->bytes->append(reinterpret_cast<const char*>(map.data), map.size);
                             gst_buffer_unmap(buf, &map);
                         }
                     }),
                     &collect);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    const Outcome o = waitForEnd(pipeline, 60);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    ASSERT_TRUE(o.eos) << o.message << " / " << o.debug;
    EXPECT_TRUE(inOrder) << "a sink that cannot seek must get the bytes front to back";
    std::ofstream(out, std::ios::binary) << bytes;

    const auto v = probeVideo(out);
    EXPECT_EQ(v.count("codec_tag_string") ? v.at("codec_tag_string") : "", "XVID");
    EXPECT_EQ(v.count("nb_read_packets") ? v.at("nb_read_packets") : "", "30");
    const auto decoded = decodeAll(out);
    EXPECT_EQ(decoded.exitCode, 0);
    EXPECT_EQ(decoded.err, "");
}

TEST_F(AviMuxElement, FormatsItCannotWriteFailWithAnErrorNamingThem) {
    const std::string dir = scratchDir("avimux");
    const std::string junk = dir + "/junk.bin";
    std::ofstream(junk, std::ios::binary) << std::string(4096, 'x');
    struct Case {
        std::string input;   // feeds m.video_0 or m.audio_0
        std::string pad;     // video_0 or audio_0
        std::string named;   // what the error names
        std::string because; // a word of the reason
    };
    const Case cases[] = {
        {"filesrc location=" + junk + " ! video/x-xvid", "video_0", "video/x-xvid", "width"},
        {"filesrc location=" + junk +
             " ! video/x-msvideocodec,msvideoversion=1,bpp=8,width=64,height=64,framerate=10/1",
         "video_0", "video/x-msvideocodec", "16-bit"},
        {"audiotestsrc num-buffers=3 ! audio/x-raw,format=S16LE,rate=96000,channels=2", "audio_0",
         "audio/x-raw", "48000"},
        {"audiotestsrc num-buffers=3 ! audio/x-raw,format=S16LE,rate=44100,channels=6", "audio_0",
         "audio/x-raw", "channels"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        const std::string out = dir + "/refused.avi";
        const Outcome o = play(
            c.input + " ! m." + c.pad + " tovamixavimux name=m ! filesink location=" + out, 30);
        ASSERT_TRUE(o.parseError.empty()) << o.parseError;
        ASSERT_TRUE(o.error) << "no error";
        EXPECT_EQ(o.errorSource, "m");
        EXPECT_NE(o.message.find(c.named), std::string::npos) << o.message;
        EXPECT_NE(o.message.find(c.because), std::string::npos) << o.message;
        EXPECT_NE(o.debug.find(c.named), std::string::npos) << o.debug;
    }
}

// Input that would corrupt the file once written stops the graph: PCM buffers that split a
// sample frame, and a stream whose format changes after the header.
TEST_F(AviMuxElement, InputThatWouldCorruptTheFileStopsWithAnError) {
    const std::string out = scratchDir("avimux") + "/broken.avi";
    struct Case {
        int secondRate;      // caps of the second buffer
        size_t secondBytes;  // size of the second buffer
        const char* because; // a word of the error's detail
    };
    for (const Case& c : {Case{8000, 3, "sample frames"}, Case{16000, 400, "was"}}) {
        SCOPED_TRACE(c.because);
        GError* err = nullptr;
        const std::string description =
            "appsrc name=src format=time ! m.audio_0 tovamixavimux name=m ! filesink location=" +
            out;
        GstElement* pipeline = gst_parse_launch(description.c_str(), &err);
        ASSERT_EQ(err, nullptr);
        GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
        auto setRate = [&](int rate) {
            GstCaps* caps = gst_caps_new_simple(
                "audio/x-raw", "format", G_TYPE_STRING, "S16LE", "layout", G_TYPE_STRING,
                "interleaved", "rate", G_TYPE_INT, rate, "channels", G_TYPE_INT, 2, nullptr);
            g_object_set(src, "caps", caps, nullptr);
            gst_caps_unref(caps);
        };
        auto push = [&](size_t bytes) {
            GstBuffer* buf = gst_buffer_new_allocate(nullptr, bytes, nullptr);
            gst_buffer_memset(buf, 0, 0, bytes);
            GstFlowReturn flow;
            g_signal_emit_by_name(src, "push-buffer", buf, &flow);
            gst_buffer_unref(buf);
        };
        setRate(8000);
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        push(4000);
        setRate(c.secondRate);
        push(c.secondBytes);
        GstFlowReturn flow;
        g_signal_emit_by_name(src, "end-of-stream", &flow);
        const Outcome o = waitForEnd(pipeline, 10);
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(src);
        gst_object_unref(pipeline);
        EXPECT_TRUE(o.error);
        EXPECT_FALSE(o.eos);
        EXPECT_EQ(o.errorSource, "m");
        EXPECT_NE(o.debug.find(c.because), std::string::npos) << o.debug;
    }
}

TEST_F(AviMuxElement, NothingToWriteIsAnErrorAndNotAnEmptySuccess) {
    const std::string out = scratchDir("avimux") + "/nothing.avi";
    // No input at all.
    Outcome o = play("tovamixavimux name=m ! filesink async=false location=" + out, 10);
    EXPECT_TRUE(o.error);
    EXPECT_EQ(o.errorSource, "m");
    EXPECT_FALSE(o.eos);

    // An input that ends without ever saying what it carries.
    GError* err = nullptr;
    const std::string description =
        "appsrc name=src ! m.video_0 tovamixavimux name=m ! filesink location=" + out;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &err);
    ASSERT_EQ(err, nullptr);
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstFlowReturn flow;
    g_signal_emit_by_name(src, "end-of-stream", &flow);
    o = waitForEnd(pipeline, 10);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(src);
    gst_object_unref(pipeline);
    EXPECT_TRUE(o.error);
    EXPECT_FALSE(o.eos);
    EXPECT_EQ(o.errorSource, "m");
}

// A recording ends either by EOS (the file is complete) or by tearing the graph down (it may
// be cut short). Both must be safe, and a graph can be played again afterwards.
TEST_F(AviMuxElement, StoppingWithoutEosIsSafeAndAReplayedGraphWritesACompleteFile) {
    const std::string out = scratchDir("avimux") + "/live.avi";
    GError* err = nullptr;
    GstElement* pipeline = gst_parse_launch(
        ("videotestsrc is-live=true ! video/x-raw,width=160,height=120,framerate=25/1 ! "
         "avenc_mpeg4 ! m.video_0 "
         "audiotestsrc is-live=true ! audio/x-raw,format=S16LE,rate=8000,channels=1 ! m.audio_0 "
         "tovamixavimux name=m ! filesink location=" +
         out)
            .c_str(),
        &err);
    ASSERT_EQ(err, nullptr) << err->message;

    auto waitForBytes = [&] {
        for (int i = 0; i < 300; ++i) {
            std::error_code ec;
            if (std::filesystem::file_size(out, ec) > 20000 && !ec) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    };
    // Torn down before any data, then in the middle of writing.
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    EXPECT_TRUE(waitForBytes());
    gst_element_set_state(pipeline, GST_STATE_NULL);

    // Played again and ended by EOS: a complete file.
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    EXPECT_TRUE(waitForBytes());
    gst_element_send_event(pipeline, gst_event_new_eos());
    const Outcome o = waitForEnd(pipeline, 30);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    ASSERT_TRUE(o.eos) << o.message << " / " << o.debug;

    const auto v = probeStream(out, "v:0");
    EXPECT_EQ(v.count("codec_tag_string") ? v.at("codec_tag_string") : "", "XVID");
    EXPECT_GT(number(v, "nb_read_packets"), 0);
    EXPECT_EQ(number(v, "nb_frames"), number(v, "nb_read_packets"));
    const auto a = probeStream(out, "a:0");
    EXPECT_EQ(a.count("codec_tag") ? a.at("codec_tag") : "", "0x0001");
    // Live sources start together, so both streams cover about the same time.
    EXPECT_NEAR(number(a, "nb_frames") / 8000.0, number(v, "duration"), 0.3);
    const auto decoded = decodeAll(out);
    EXPECT_EQ(decoded.exitCode, 0);
    EXPECT_EQ(withoutLayoutGuess(decoded.err), "");
}

namespace {

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Plays a pipeline whose multiplexer is named m to its end; tells whether m wrote its file.
Outcome playAndAskWritten(const std::string& description, bool& written) {
    Outcome o;
    GstElement* pipeline = buildPipeline(description, &o.parseError);
    if (!pipeline) return o;
    GstElement* mux = gst_bin_get_by_name(GST_BIN(pipeline), "m");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    o = waitForEnd(pipeline, 60);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gboolean w = FALSE;
    g_object_get(mux, "file-written", &w, nullptr);
    written = w;
    gst_object_unref(mux);
    gst_object_unref(pipeline);
    return o;
}

} // namespace

// With a location the element writes the file itself: only once data arrive (a graph that
// fails before leaves the file as it was), replacing what was there, and never through a
// symbolic link.
TEST_F(AviMuxElement, ALocationIsWrittenOnlyWhenDataArriveAndNeverThroughALink) {
    std::filesystem::remove_all(scratchDir("avimux-location")); // links of an earlier run
    const std::string dir = scratchDir("avimux-location");
    const std::string out = dir + "/target.avi";
    const std::string old(200000, 'x'); // longer than what is written: must not linger
    std::ofstream(out) << old;

    bool written = true;
    Outcome o = playAndAskWritten("filesrc location=" + dir + "/missing.avi ! avidemux ! " +
                                      "m.video_0 tovamixavimux name=m location=" + out +
                                      " ! fakesink async=false",
                                  written);
    EXPECT_TRUE(o.error);
    EXPECT_FALSE(written);
    EXPECT_EQ(contents(out), old);

    const std::string source = "videotestsrc num-buffers=10 ! "
                               "video/x-raw,width=160,height=120,framerate=10/1 ! avenc_mpeg4 ! ";
    o = playAndAskWritten(source + "m.video_0 tovamixavimux name=m location=" + out +
                              " ! fakesink async=false",
                          written);
    ASSERT_TRUE(o.eos) << o.message << " " << o.debug;
    EXPECT_TRUE(written);
    const auto info = probeVideo(out);
    EXPECT_EQ(info.at("codec_tag_string"), "XVID");
    EXPECT_EQ(info.at("nb_read_frames"), "10");
    EXPECT_LT(std::filesystem::file_size(out), old.size());
    EXPECT_EQ(decodeAll(out).exitCode, 0);

    const std::string victim = dir + "/victim.txt", link = dir + "/AudioTemp.avi";
    std::ofstream(victim) << "precious";
    std::filesystem::create_symlink(victim, link);
    o = playAndAskWritten(source + "m.video_0 tovamixavimux name=m location=" + link +
                              " ! fakesink async=false",
                          written);
    EXPECT_TRUE(o.error);
    EXPECT_FALSE(written);
    EXPECT_NE(o.message.find(link), std::string::npos) << o.message;
    EXPECT_NE(o.debug.find("symbolic link"), std::string::npos) << o.debug;
    EXPECT_EQ(contents(victim), "precious");
}

// Each kind of stream the element takes, written into a file of its own through "location",
// comes back with the FourCC or tag the program writes.
TEST_F(AviMuxElement, EachKindWrittenToALocationKeepsItsFourCCOrTag) {
    struct Case {
        const char* name;
        std::string source; // ends in a pad of m
        const char* stream;
        const char* key;
        const char* tag;
        int frames; // in the stream header
    };
    const std::string video = "videotestsrc num-buffers=10 ! "
                              "video/x-raw,width=160,height=120,framerate=10/1 ! ";
    const std::string sound = "audiotestsrc num-buffers=5 samplesperbuffer=2205 ! "
                              "audio/x-raw,rate=22050,channels=1";
    for (const Case& c : {
             Case{"msvc",
                  video + "videoconvert ! video/x-raw,format=RGB15 ! avenc_msvideo1 ! "
                          "m.video_0",
                  "v:0", "codec_tag_string", "MSVC", 10},
             Case{"xvid", video + "avenc_mpeg4 ! m.video_0", "v:0", "codec_tag_string", "XVID", 10},
             Case{"mp3", sound + " ! lamemp3enc ! m.audio_0", "a:0", "codec_tag", "0x0055", -1},
             Case{"pcm", sound + ",format=S16LE ! m.audio_0", "a:0", "codec_tag", "0x0001",
                  5 * 2205},
         }) {
        SCOPED_TRACE(c.name);
        const std::string out = scratchDir("avimux") + "/kind_" + c.name + ".avi";
        const Outcome o =
            play(c.source + " tovamixavimux name=m location=" + out + " ! fakesink async=false");
        ASSERT_TRUE(o.eos) << o.parseError << o.errorSource << ": " << o.message << " / "
                           << o.debug;
        const auto s = probeStream(out, c.stream);
        EXPECT_EQ(s.count(c.key) ? s.at(c.key) : "", c.tag);
        if (c.frames >= 0) {
            EXPECT_EQ(number(s, "nb_frames"), c.frames);
        }
        // (A file of PCM alone makes ffmpeg warn that it estimates the duration.)
        const auto decoded = run("ffmpeg -v error -xerror -i '" + out + "' -f null -");
        EXPECT_EQ(decoded.exitCode, 0);
        EXPECT_EQ(withoutLayoutGuess(decoded.err), "");
    }
}

// Pictures copied from other files keep their kind: DivX 5 is written as XVID, Motion JPEG as
// MJPG and an H.264 byte stream as H264, each packet unchanged.
TEST_F(AviMuxElement, CopiedDivxMotionJpegAndH264KeepTheirPackets) {
    const std::string dir = scratchDir("avimux-copy");
    const struct {
        const char* name;
        const char* encode;
        const char* fourcc;
        const char* codec;
    } cases[] = {
        {"divx", "-c:v mpeg4 -vtag DX50", "XVID", "mpeg4"},
        {"mjpeg", "-c:v mjpeg -vtag MJPG", "MJPG", "mjpeg"},
        {"h264", "-c:v libx264 -bf 0 -pix_fmt yuv420p -vtag H264", "H264", "h264"},
        // Uncompressed RGB, top-down as ffmpeg writes it, rows of 24 bits padded to 4 bytes.
        {"bgr24", "-vf scale=321:241 -c:v rawvideo -pix_fmt bgr24", "[0][0][0][0]", "rawvideo"},
        {"bgra", "-c:v rawvideo -pix_fmt bgra", "[0][0][0][0]", "rawvideo"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string in = dir + "/" + c.name + "_in.avi", out = dir + "/" + c.name + ".avi";
        ASSERT_EQ(run("ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -t 2 " +
                      std::string(c.encode) + " '" + in + "'")
                      .exitCode,
                  0);
        const Outcome o = play("filesrc location=" + in +
                               " ! avidemux ! queue ! tovamixavimux ! filesink location=" + out);
        ASSERT_TRUE(o.eos) << o.errorSource << ": " << o.message << " / " << o.debug;
        const auto v = probeStream(out, "v:0");
        EXPECT_EQ(v.at("codec_tag_string"), c.fourcc);
        EXPECT_EQ(v.at("codec_name"), c.codec);
        const std::string md5s = "' -map 0:v -c copy -f framemd5 - | grep -v '^#'";
        EXPECT_EQ(run("ffmpeg -v error -i '" + out + md5s).out,
                  run("ffmpeg -v error -i '" + in + md5s).out);
        EXPECT_EQ(decodeAll(out).err, "");
    }
}

// The Xing frame a parser marks for the decoder only is no sound of the file: the copy has the
// MP3 file's own packets.
TEST_F(AviMuxElement, AnMp3FilesHeaderFrameIsNotWritten) {
    const std::string dir = scratchDir("avimux-xing");
    const std::string in = dir + "/tone.mp3", out = dir + "/tone.avi";
    ASSERT_EQ(run("ffmpeg -v error -y -f lavfi -i sine=r=44100 -t 3 -c:a libmp3lame '" + in + "'")
                  .exitCode,
              0);
    const Outcome o =
        play("filesrc location=" + in +
             " ! id3demux ! mpegaudioparse ! tovamixavimux ! filesink location=" + out);
    ASSERT_TRUE(o.eos) << o.errorSource << ": " << o.message << " / " << o.debug;
    EXPECT_EQ(number(probeStream(out, "a:0"), "nb_read_packets"),
              number(probeStream(in, "a:0"), "nb_read_packets"));
}

// The length is the longest input's, and the position is how far the data written reach.
TEST_F(AviMuxElement, TellsTheLongestInputAndThePositionWritten) {
    const std::string dir = scratchDir("avimux-query");
    const std::string out = dir + "/q.avi", wav = dir + "/tone5.wav";
    ASSERT_EQ(run("ffmpeg -v error -y -f lavfi -i sine=r=44100 -t 5 -c:a pcm_s16le '" + wav + "'")
                  .exitCode,
              0);
    GError* err = nullptr;
    GstElement* pipeline = gst_parse_launch(
        ("videotestsrc num-buffers=50 ! video/x-raw,width=160,height=120,framerate=25/1 ! "
         "avenc_mpeg4 ! queue ! m.video_0 filesrc location=" +
         wav + " ! wavparse ! queue ! m.audio_0 tovamixavimux name=m ! filesink location=" + out)
            .c_str(),
        &err);
    ASSERT_TRUE(pipeline) << (err ? err->message : "");
    GstElement* mux = gst_bin_get_by_name(GST_BIN(pipeline), "m");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    const Outcome o = waitForEnd(pipeline, 30);
    EXPECT_TRUE(o.eos) << o.message;
    gint64 duration = 0, position = 0;
    EXPECT_TRUE(gst_element_query_duration(mux, GST_FORMAT_TIME, &duration));
    EXPECT_TRUE(gst_element_query_position(mux, GST_FORMAT_TIME, &position));
    // 5 s of sound; 50 pictures are 2 s.
    EXPECT_NEAR(double(duration) / GST_SECOND, 5.0, 0.01);
    EXPECT_NEAR(double(position) / GST_SECOND, 5.0, 0.01);
    gst_object_unref(mux);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
}
