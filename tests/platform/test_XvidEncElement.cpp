#include "platform/dshow/elements/AviMuxElement.h"
#include "platform/dshow/elements/XvidEncElement.h"
#include "support/GstPipelines.h"
#include "support/TestSupport.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

using namespace testsupport;

namespace {

struct Outcome : PipelineEnd {
    int buffers = 0;       // buffers that reached a fakesink named "sink"
    std::string finalCaps; // that sink's caps at the end
};

void countBuffer(GstElement*, GstBuffer*, GstPad*, gpointer counter) {
    ++*static_cast<std::atomic<int>*>(counter);
}

// Builds the pipeline, plays it until EOS or an error (or the timeout), and tears it down.
Outcome play(const std::string& description, int seconds = 120) {
    Outcome o;
    GstElement* pipeline = buildPipeline(description, &o.parseError);
    if (!pipeline) return o;
    std::atomic<int> counter{0};
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    if (sink) {
        g_object_set(sink, "signal-handoffs", TRUE, nullptr);
        g_signal_connect(sink, "handoff", G_CALLBACK(countBuffer), &counter);
    }
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    static_cast<PipelineEnd&>(o) = waitForPipelineEnd(pipeline, seconds);
    if (sink) {
        GstPad* pad = gst_element_get_static_pad(sink, "sink");
        if (GstCaps* caps = gst_pad_get_current_caps(pad)) {
            gchar* text = gst_caps_to_string(caps);
            o.finalCaps = text;
            g_free(text);
            gst_caps_unref(caps);
        }
        gst_object_unref(pad);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    if (sink) {
        g_signal_handlers_disconnect_by_data(sink, &counter);
        gst_object_unref(sink);
    }
    gst_object_unref(pipeline);
    o.buffers = counter;
    return o;
}

std::string describe(const Outcome& o) {
    return o.parseError + " " + o.errorSource + ": " + o.message + " / " + o.debug;
}

double number(const std::map<std::string, std::string>& kv, const std::string& key) {
    const auto it = kv.find(key);
    return it == kv.end() ? -1 : std::atof(it->second.c_str());
}

// Encodes `frames` pictures of the source into an AVI and dumps the same I420 pictures raw
// next to it, so the decoded file can be compared with exactly what went in. The pictures are
// kept as BGRx, whose rows have no padding at any width (I420 rows are padded to 4 bytes).
std::string encodeWithReference(const std::string& dir, const std::string& source, int w, int h,
                                int frames, const std::string& encoderOptions) {
    const std::string avi = dir + "/out.avi";
    const Outcome o = play(
        "videotestsrc num-buffers=" + std::to_string(frames) + " " + source +
        " ! video/x-raw,format=I420,width=" + std::to_string(w) + ",height=" + std::to_string(h) +
        ",framerate=25/1 ! tee name=t "
        "t. ! queue ! tovamixxvidenc " +
        encoderOptions + " ! tovamixavimux ! filesink location=" + avi +
        " t. ! queue ! videoconvert ! video/x-raw,format=BGRx ! filesink location=" + dir +
        "/ref.bgrx");
    EXPECT_TRUE(o.eos) << describe(o);
    return avi;
}

// The mean PSNR over all frames of the decoded file against the raw pictures (in RGB, so
// colour conversion adds a little error), -1 on failure.
double psnrAgainstReference(const std::string& dir, int w, int h) {
    const CommandResult r =
        run("ffmpeg -v info -nostats -i '" + dir + "/out.avi' -f rawvideo -pix_fmt bgr0 -s " +
            std::to_string(w) + "x" + std::to_string(h) + " -r 25 -i '" + dir +
            "/ref.bgrx' -lavfi \"[0:v]format=bgr0[a];[a][1:v]psnr\" -f null -");
    std::smatch m;
    static const std::regex average("PSNR [^\\n]* average:([0-9.]+)");
    const std::string text = r.out + r.err;
    if (!std::regex_search(text, m, average)) {
        ADD_FAILURE() << "no PSNR from ffmpeg: " << text;
        return -1;
    }
    return std::atof(m[1].str().c_str());
}

class XvidEncElement : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(platform::dshow::registerXvidEncElement());
        ASSERT_TRUE(platform::dshow::registerAviMuxElement());
    }
};

} // namespace

TEST_F(XvidEncElement, RegistersOnceFromAnyThreadWithItsProperties) {
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] { ok += platform::dshow::registerXvidEncElement() ? 1 : 0; });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(ok, 4);

    GstElement* enc = gst_element_factory_make("tovamixxvidenc", nullptr);
    ASSERT_NE(enc, nullptr);
    int bitrate = 0, quantizer = -1, keyInterval = 0;
    g_object_get(enc, "bitrate", &bitrate, "quantizer", &quantizer, "max-key-interval",
                 &keyInterval, nullptr);
    EXPECT_EQ(bitrate, 1500);
    EXPECT_EQ(quantizer, 0);
    EXPECT_EQ(keyInterval, 250);
    gst_object_unref(enc);
}

TEST_F(XvidEncElement, WritesAnAviThatFfmpegReadsAsXvidWithKeyFramesAtTheInterval) {
    const std::string dir = scratchDir("xvidenc-basic");
    const std::string avi = dir + "/out.avi";
    const Outcome o = play("videotestsrc num-buffers=50 ! "
                           "video/x-raw,width=640,height=480,framerate=25/1 ! videoconvert ! "
                           "tovamixxvidenc max-key-interval=10 ! tovamixavimux ! "
                           "filesink location=" +
                           avi);
    ASSERT_TRUE(o.eos) << describe(o);

    const auto info = probeVideo(avi);
    EXPECT_EQ(info.at("codec_name"), "mpeg4");
    EXPECT_EQ(info.at("codec_tag_string"), "XVID");
    EXPECT_EQ(info.at("width"), "640");
    EXPECT_EQ(info.at("height"), "480");
    EXPECT_EQ(info.at("r_frame_rate"), "25/1");
    EXPECT_EQ(info.at("nb_read_frames"), "50");
    EXPECT_NEAR(number(info, "duration"), 2.0, 0.05);

    const CommandResult decode = decodeAll(avi);
    EXPECT_EQ(decode.exitCode, 0) << decode.err;
    EXPECT_EQ(decode.err, "");

    const auto packets = probePackets(avi);
    ASSERT_EQ(packets.size(), 50u);
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_GT(packets[i].size, 0) << "packet " << i;
        // A still picture gives no scene changes: key frames come exactly at the interval.
        EXPECT_EQ(packets[i].key, i % 10 == 0) << "packet " << i;
    }
}

TEST_F(XvidEncElement, DefaultKeyIntervalAndDeltaFramesOfAMovingPicture) {
    const std::string dir = scratchDir("xvidenc-default");
    const std::string avi =
        encodeWithReference(dir, "pattern=smpte horizontal-speed=4", 320, 240, 60, "");
    const auto packets = probePackets(avi);
    ASSERT_EQ(packets.size(), 60u);
    EXPECT_TRUE(packets[0].key);
    int keys = 0;
    for (const auto& p : packets)
        keys += p.key ? 1 : 0;
    // The interval is 250 frames; a smoothly scrolling picture has no scene changes.
    EXPECT_EQ(keys, 1);
    EXPECT_EQ(decodeAll(avi).err, "");
    EXPECT_GT(psnrAgainstReference(dir, 320, 240), 36.0);
}

TEST_F(XvidEncElement, QualityFollowsBitrateAndQuantizer) {
    const std::string source = "pattern=smpte horizontal-speed=6";
    const std::string lowDir = scratchDir("xvidenc-low");
    const std::string highDir = scratchDir("xvidenc-high");
    const std::string quantDir = scratchDir("xvidenc-quant");
    const std::string low = encodeWithReference(lowDir, source, 640, 480, 50, "bitrate=200");
    const std::string high = encodeWithReference(highDir, source, 640, 480, 50, "bitrate=4000");
    const std::string quant = encodeWithReference(quantDir, source, 640, 480, 50, "quantizer=2");

    const auto lowSize = std::filesystem::file_size(low);
    const auto highSize = std::filesystem::file_size(high);
    EXPECT_GT(highSize, lowSize * 2) << lowSize << " vs " << highSize;
    // 4000 kbit/s for 2 s is about 1 MB; the rate control should land in the neighbourhood.
    EXPECT_GT(highSize, 300'000u);
    EXPECT_LT(highSize, 2'000'000u);

    const double lowPsnr = psnrAgainstReference(lowDir, 640, 480);
    const double highPsnr = psnrAgainstReference(highDir, 640, 480);
    const double quantPsnr = psnrAgainstReference(quantDir, 640, 480);
    EXPECT_GT(lowPsnr, 22.0);
    EXPECT_GT(highPsnr, 36.0);
    EXPECT_GT(highPsnr, lowPsnr + 2.0);
    EXPECT_GT(quantPsnr, 38.0);
    for (const auto& f : {low, high, quant})
        EXPECT_EQ(decodeAll(f).err, "") << f;
}

TEST_F(XvidEncElement, OddSizesAreRefusedWithAnErrorAndEvenOnesKeepTheirSize) {
    for (const char* size :
         {"width=321,height=241", "width=321,height=240", "width=320,height=241"}) {
        const Outcome o =
            play("videotestsrc num-buffers=5 ! video/x-raw,format=I420," + std::string(size) +
                 ",framerate=25/1 ! tovamixxvidenc name=enc ! fakesink");
        EXPECT_FALSE(o.eos) << size;
        ASSERT_TRUE(o.error) << size;
        EXPECT_EQ(o.errorSource, "enc") << size;
        EXPECT_NE(o.message.find("even picture width and height"), std::string::npos) << o.message;
    }

    // Sizes that are not multiples of 16 are kept exactly.
    const std::string dir = scratchDir("xvidenc-uneven");
    const std::string avi =
        encodeWithReference(dir, "pattern=smpte horizontal-speed=2", 322, 242, 25, "");
    const auto info = probeVideo(avi);
    EXPECT_EQ(info.at("width"), "322");
    EXPECT_EQ(info.at("height"), "242");
    EXPECT_EQ(info.at("nb_read_frames"), "25");
    EXPECT_EQ(decodeAll(avi).err, "");
    EXPECT_GT(psnrAgainstReference(dir, 322, 242), 30.0);
}

TEST_F(XvidEncElement, FrameRateChangeRestartsTheEncoderAndTheAviWriterRefusesIt) {
    const std::string twoRates =
        "concat name=c ! videoconvert ! tovamixxvidenc max-key-interval=100 ! ";
    const std::string sources =
        " videotestsrc num-buffers=10 ! video/x-raw,width=320,height=240,framerate=25/1 ! c. "
        "videotestsrc num-buffers=10 ! video/x-raw,width=320,height=240,framerate=30/1 ! c.";

    // The encoder itself takes the new rate: every frame comes out, the new stream starting
    // with a key frame, in caps with the new rate.
    const Outcome alone = play(twoRates + "fakesink name=sink" + sources);
    ASSERT_TRUE(alone.eos) << describe(alone);
    EXPECT_EQ(alone.buffers, 20);
    EXPECT_NE(alone.finalCaps.find("framerate=(fraction)30/1"), std::string::npos)
        << alone.finalCaps;

    // An AVI stream has one rate: the writer stops with an error instead of a wrong file.
    const std::string avi = scratchDir("xvidenc-rates") + "/out.avi";
    const Outcome muxed =
        play(twoRates + "tovamixavimux name=m ! filesink location=" + avi + sources);
    EXPECT_FALSE(muxed.eos);
    EXPECT_TRUE(muxed.error);
    EXPECT_EQ(muxed.errorSource, "m") << describe(muxed);
}

TEST_F(XvidEncElement, RefusesAVariableFrameRateWithAnError) {
    const Outcome o = play("videotestsrc num-buffers=5 ! "
                           "video/x-raw,width=320,height=240,framerate=0/1 ! "
                           "tovamixxvidenc name=enc ! fakesink");
    EXPECT_FALSE(o.eos);
    ASSERT_TRUE(o.error);
    EXPECT_EQ(o.errorSource, "enc");
    EXPECT_NE(o.message.find("fixed frame rate"), std::string::npos) << o.message;
}

TEST_F(XvidEncElement, VideoWithMp3SoundInOneFile) {
    const std::string avi = scratchDir("xvidenc-audio") + "/out.avi";
    const Outcome o = play("videotestsrc num-buffers=50 ! "
                           "video/x-raw,width=640,height=480,framerate=25/1 ! videoconvert ! "
                           "tovamixxvidenc ! m.video_0 "
                           "audiotestsrc num-buffers=20 samplesperbuffer=4410 ! "
                           "audio/x-raw,rate=44100,channels=2 ! lamemp3enc ! m.audio_0 "
                           "tovamixavimux name=m ! filesink location=" +
                           avi);
    ASSERT_TRUE(o.eos) << describe(o);

    const auto video = probeStream(avi, "v:0");
    EXPECT_EQ(video.at("codec_name"), "mpeg4");
    EXPECT_EQ(video.at("codec_tag_string"), "XVID");
    EXPECT_EQ(video.at("nb_read_packets"), "50");
    const auto audio = probeStream(avi, "a:0");
    EXPECT_EQ(audio.at("codec_name"), "mp3");
    EXPECT_EQ(audio.at("codec_tag"), "0x0055");
    EXPECT_EQ(audio.at("sample_rate"), "44100");
    EXPECT_EQ(audio.at("channels"), "2");
    EXPECT_NEAR(number(probeVideo(avi), "duration"), 2.0, 0.1);

    const CommandResult decode = decodeAll(avi);
    EXPECT_EQ(decode.exitCode, 0) << decode.err;
    EXPECT_EQ(decode.err, "");
}

// MPEG-4 video stores studio-range samples; full-range pictures (decoded JPEG, for one) are
// brought into that range, studio-range ones pass unchanged. Read back as the decoder gives
// them (no conversion), black is luma 16 and white 235 either way.
TEST_F(XvidEncElement, FullRangeInputIsStoredInTheStudioRange) {
    struct Case {
        const char* colorimetry;
        const char* pattern;
        int luma;
    } cases[] = {{"1:4:0:0", "black", 16},
                 {"1:4:0:0", "white", 235},
                 {"bt601", "black", 16},
                 {"bt601", "white", 235}};
    const std::string dir = scratchDir("xvidenc-range");
    for (const Case& c : cases) {
        const std::string avi = dir + "/out.avi";
        // videoconvert makes the samples of the range asked for from RGB pictures.
        const Outcome o = play(std::string("videotestsrc num-buffers=5 pattern=") + c.pattern +
                               " ! video/x-raw,format=BGRx,width=64,height=48,framerate=25/1 ! "
                               "videoconvert ! video/x-raw,format=I420,colorimetry=" +
                               c.colorimetry +
                               " ! tovamixxvidenc quantizer=2 ! tovamixavimux ! "
                               "filesink location=" +
                               avi);
        ASSERT_TRUE(o.eos) << describe(o);
        const CommandResult r = run("ffmpeg -v error -i '" + avi +
                                    "' -frames:v 1 -f rawvideo -pix_fmt yuv420p - | od -An -tu1 "
                                    "-N1 -j 1000");
        EXPECT_NEAR(std::atoi(r.out.c_str()), c.luma, 1) << c.colorimetry << " " << c.pattern;
    }
}
