#include "media/TBaseFilter.h"
#include "support/QtEnvironment.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>

using namespace media;
using namespace testsupport;
using namespace std::chrono_literals;
using platform::dshow::guidToString;

namespace {
auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("320x240x24"));

std::string cm(const GUID& category, const std::string& name) {
    return "@device:cm:" + guidToString(category) + "\\" + name;
}
std::string sw(const GUID& clsid) {
    return "@device:sw:{083863F1-70DE-11D0-BD40-00A0C911CE86}\\" + guidToString(clsid);
}
const std::string XvidName = cm(platform::dshow::CLSID_VideoCompressorCategory, "xvid");
const std::string Mp3CodecName =
    cm(platform::dshow::CLSID_AudioCompressorCategory, "85MPEG Layer-3");

} // namespace

TEST(BaseFilter, TheStoredMonikerBlockHasThePlatformLayout) {
    TBaseFilter f;
    f.setMoniker(std::make_shared<TMoniker>(TMoniker{XvidName}));
    const std::vector<uint8_t> data = f.writeData();
    ASSERT_EQ(data.size(), 134u); // 4 (length) + 16 (class) + 4 (count) + 2 x 55
    const uint8_t head[] = {130,  0,    0,    0,    0x37, 0xD4, 0x15, 0x43, 0x8C,
                            0x5B, 0xD0, 0x11, 0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11,
                            0xCE, 0x86, 110,  0,    0,    0,    '@',  0};
    EXPECT_TRUE(std::equal(std::begin(head), std::end(head), data.begin()));
    EXPECT_EQ(data[132], 0);
    EXPECT_EQ(data[133], 0);
    TBaseFilter g;
    ASSERT_TRUE(g.readData(data));
    ASSERT_TRUE(g.Moniker());
    EXPECT_EQ(g.Moniker()->displayName, XvidName);

    // A zero length holds no moniker and binds nothing; data cut short is refused.
    TBaseFilter empty;
    EXPECT_TRUE(empty.readData({0, 0, 0, 0}));
    EXPECT_EQ(empty.Moniker(), nullptr);
    std::string why;
    EXPECT_EQ(empty.CreateFilter(&why), nullptr);
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(g.readData({200, 0, 0, 0, 1, 2}));
    EXPECT_EQ(g.Moniker(), nullptr);
}

TEST(BaseFilter, TheProgramsStoredMonikersBindToTheirFilters) {
    struct Case {
        std::string name;
        bool input, output;
    } cases[] = {
        {XvidName, true, true},
        {Mp3CodecName, true, true},
        {sw(platform::dshow::CLSID_Mp3EncoderFilter), true, true},
        {sw(platform::dshow::CLSID_AsyncReader), false, true},
        {sw(platform::dshow::CLSID_AviWavFileSource), false, false}, // its outputs come with a file
    };
    for (const Case& c : cases) {
        TBaseFilter f;
        f.setMoniker(std::make_shared<TMoniker>(TMoniker{c.name}));
        std::string why;
        FilterPtr filter = f.CreateFilter(&why);
        ASSERT_TRUE(filter) << c.name << ": " << why;
        bool in = false, out = false;
        for (const PinPtr& p : filter->pins())
            (p->direction() == PINDIR_INPUT ? in : out) = true;
        EXPECT_EQ(in, c.input) << c.name;
        EXPECT_EQ(out, c.output) << c.name;
    }
    EXPECT_TRUE(queryInterface<IFileSourceFilter>(
        platform::dshow::bindDisplayName(sw(platform::dshow::CLSID_AviWavFileSource))));
    std::string why;
    EXPECT_EQ(platform::dshow::bindDisplayName(
                  cm(platform::dshow::CLSID_VideoCompressorCategory, "nosuch"), &why),
              nullptr);
    EXPECT_NE(why.find("nosuch"), std::string::npos) << why;
    EXPECT_EQ(platform::dshow::bindDisplayName("garbage", &why), nullptr);
}

TEST(DeviceEnumerator, CategoriesListTheSameEntriesAgainAndFindTheCodecs) {
    TSysDevEnum e(platform::dshow::CLSID_VideoCompressorCategory);
    std::vector<std::string> video;
    for (int i = 0; i < e.Count(); ++i)
        video.push_back(e.Item(i).FriendlyName);
    ASSERT_FALSE(video.empty());
    EXPECT_EQ(video[0], "Xvid MPEG-4 Codec");
    EXPECT_EQ(e.GetMoniker(0)->displayName, XvidName);
    e.SelectCategory(platform::dshow::CLSID_AudioCompressorCategory);
    ASSERT_GT(e.Count(), 0);
    EXPECT_NE(e.Item(0).FriendlyName.find("MPEG Layer-3"), std::string::npos);
    EXPECT_EQ(e.GetMoniker(0)->displayName, Mp3CodecName);
    e.SelectCategory(platform::dshow::CLSID_VideoCompressorCategory);
    std::vector<std::string> again;
    for (int i = 0; i < e.Count(); ++i)
        again.push_back(e.Item(i).FriendlyName);
    EXPECT_EQ(again, video);
    EXPECT_EQ(e.GetMoniker(-1), nullptr);
    EXPECT_EQ(e.GetMoniker(e.Count()), nullptr);
    EXPECT_EQ(e.GetBaseFilter(e.Count()), nullptr);
    for (int i = 0; i < e.Count(); ++i)
        EXPECT_LE(e.Item(i).FriendlyName.size(), 255u);
}

// A filter component joins its graph under its name while the graph is active; one whose
// moniker cannot be bound adds nothing and says why.
TEST(FilterComponent, JoinsTheGraphWhileActiveAndFailsCleanlyWhenUnbound) {
    TFilterGraph graph;
    TFilter mp3("MP3Enc"), missing("Gone");
    mp3.BaseFilter.setMoniker(std::make_shared<TMoniker>(TMoniker{Mp3CodecName}));
    missing.BaseFilter.setMoniker(std::make_shared<TMoniker>(
        TMoniker{cm(platform::dshow::CLSID_VideoCompressorCategory, "unplugged")}));
    mp3.setFilterGraph(&graph);
    missing.setFilterGraph(&graph);
    EXPECT_EQ(mp3.GetFilter(), nullptr); // nothing before activation
    graph.setActive(true);
    ASSERT_TRUE(mp3.GetFilter());
    EXPECT_EQ(missing.GetFilter(), nullptr);
    EXPECT_NE(missing.bindError().find("unplugged"), std::string::npos);
    auto filters = graph.as<IFilterGraph2>()->EnumFilters();
    ASSERT_EQ(filters.size(), 1u);
    EXPECT_EQ(filters[0]->name(), "MP3Enc");
    graph.setActive(false);
    EXPECT_EQ(mp3.GetFilter(), nullptr);
    missing.setFilterGraph(nullptr);
}

// Encodes the clip's video with the XviD encoder and its sound with the MP3 encoder filter into
// one AVI through the capture graph builder, from two file sources (as the screen recorder joins
// its two files) or from one (both streams of one file, as a conversion does).
void encodeXvidMp3(const std::string& clip, const std::string& out, bool oneSource) {
    std::filesystem::remove(out);
    TFilterGraph graph;
    graph.setMode(gmCapture);
    TFilter source1("Filter1"), source2("Filter2"), xvid("XvidEncoder"), mp3("MP3Enc");
    const std::string aviSource = sw(platform::dshow::CLSID_AviWavFileSource);
    source1.BaseFilter.setMoniker(std::make_shared<TMoniker>(TMoniker{aviSource}));
    source2.BaseFilter.setMoniker(std::make_shared<TMoniker>(TMoniker{aviSource}));
    xvid.BaseFilter.setMoniker(std::make_shared<TMoniker>(TMoniker{XvidName}));
    mp3.BaseFilter.setMoniker(
        std::make_shared<TMoniker>(TMoniker{sw(platform::dshow::CLSID_Mp3EncoderFilter)}));
    std::vector<TFilter*> filters{&source1, &xvid, &mp3};
    if (!oneSource) filters.push_back(&source2);
    TFilter& audioSource = oneSource ? source1 : source2;
    for (TFilter* f : filters)
        f->setFilterGraph(&graph);
    graph.setActive(true);
    ASSERT_EQ(source1.query<IFileSourceFilter>()->Load(clip), S_OK);
    if (!oneSource) {
        ASSERT_EQ(source2.query<IFileSourceFilter>()->Load(clip), S_OK);
    }
    auto builder = graph.as<ICaptureGraphBuilder2>();
    FilterPtr mux, writer;
    ASSERT_EQ(builder->SetOutputFileName(MEDIASUBTYPE_Avi, out, &mux, &writer), S_OK);
    ASSERT_EQ(builder->RenderStream(nullptr, &MEDIATYPE_Video, source1.GetFilter(),
                                    xvid.GetFilter(), mux),
              S_OK);
    ASSERT_EQ(builder->RenderStream(nullptr, &MEDIATYPE_Audio, audioSource.GetFilter(),
                                    mp3.GetFilter(), mux),
              S_OK);
    bool done = false;
    graph.OnDSEvent = [&](TFilterGraph*, long event, intptr_t, intptr_t) {
        done |= event == EC_COMPLETE;
    };
    ASSERT_TRUE(graph.Play());
    EXPECT_TRUE(waitFor([&] { return done; }, 30s));
    graph.Stop();
    graph.setActive(false);
    for (TFilter* f : filters)
        f->setFilterGraph(nullptr);
}

// A capture graph with a file source and a video codec, bound by their stored names.
struct SourceAndCodec {
    TFilterGraph graph;
    TFilter source{"Filter1"}, codec{"Codec"};
    FilterPtr mux, writer;
    SourceAndCodec(const std::string& sourceName, const std::string& codecName) {
        graph.setMode(gmCapture);
        source.BaseFilter.setMoniker(std::make_shared<TMoniker>(TMoniker{sourceName}));
        codec.BaseFilter.setMoniker(std::make_shared<TMoniker>(TMoniker{codecName}));
        source.setFilterGraph(&graph);
        codec.setFilterGraph(&graph);
        graph.setActive(true);
    }
    ~SourceAndCodec() {
        graph.Stop();
        graph.setActive(false);
        source.setFilterGraph(nullptr);
        codec.setFilterGraph(nullptr);
    }
    // Loads clip and routes its video through the codec into an AVI at out; the first failure.
    HRESULT writeVideo(const std::string& clip, const std::string& out) {
        HRESULT h = source.query<IFileSourceFilter>()->Load(clip);
        auto builder = graph.as<ICaptureGraphBuilder2>();
        if (SUCCEEDED(h)) h = builder->SetOutputFileName(MEDIASUBTYPE_Avi, out, &mux, &writer);
        if (SUCCEEDED(h))
            h = builder->RenderStream(nullptr, &MEDIATYPE_Video, source.GetFilter(),
                                      codec.GetFilter(), mux);
        return h;
    }
    // Plays the graph to its end and stops it (the file is then complete); false when it
    // stopped with an error or did not end within 30 s.
    bool runToEnd() {
        bool done = false, failed = false;
        graph.OnDSEvent = [&](TFilterGraph*, long event, intptr_t, intptr_t) {
            done |= event == EC_COMPLETE;
            failed |= event == EC_ERRORABORT;
        };
        const bool played = graph.Play() && waitFor([&] { return done || failed; }, 30s);
        graph.Stop();
        graph.OnDSEvent = nullptr;
        return played && done && !failed;
    }
};

// Through the capture graph builder, a clip's video goes through the XviD encoder and its
// sound through the MP3 encoder into one AVI that reads as mpeg4/XVID and mp3, each stream as
// long as the clip, whether the two streams come from two sources or from one.
TEST(FilterComponent, EncodersFromMonikersWriteXvidAndMp3) {
    const std::string clip =
        sharedClip("encode", "src.avi",
                   "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine -t 2 "
                   "-c:v msvideo1 -c:a pcm_s16le");
    ASSERT_FALSE(clip.empty());
    for (bool oneSource : {false, true}) {
        SCOPED_TRACE(oneSource ? "one source" : "two sources");
        const std::string out =
            scratchDir("encode") + (oneSource ? "/one-source.avi" : "/xvid-mp3.avi");
        encodeXvidMp3(clip, out, oneSource);
        const CommandResult probe = run("ffprobe -v error -show_entries "
                                        "stream=codec_name,codec_tag_string,duration -of "
                                        "csv=p=0 '" +
                                        out + "'");
        std::istringstream lines(probe.out);
        std::string line;
        std::map<std::string, double> seconds; // by "codec,tag"
        while (std::getline(lines, line)) {
            const size_t comma = line.rfind(',');
            if (comma != std::string::npos)
                seconds[line.substr(0, comma)] = std::atof(line.c_str() + comma + 1);
        }
        ASSERT_TRUE(seconds.count("mpeg4,XVID")) << probe.out;
        ASSERT_TRUE(seconds.count("mp3,U[0][0][0]")) << probe.out;
        EXPECT_NEAR(seconds["mpeg4,XVID"], 2.0, 0.05);
        EXPECT_NEAR(seconds["mp3,U[0][0][0]"], 2.0, 0.1);
        EXPECT_EQ(decodeAll(out).exitCode, 0);
    }
}

// The XviD and MS Video 1 codecs take a picture of any size, such as a dragged screen area of
// 101x77: their encoders code only sizes that are multiples of 2 and 4, so black columns and
// rows are added at the right and bottom edges, and the picture itself stays where it was,
// unscaled, at its own levels.
TEST(FilterComponent, CodecsTakePicturesOfAnySize) {
    // A full-range (JPEG) source: its levels must survive the added border.
    const std::string clip = sharedClip("encode", "odd-jpeg.avi",
                                        "-f lavfi -i testsrc=size=101x77:rate=10,format=gray -t 1 "
                                        "-c:v mjpeg -pix_fmt yuvj420p -q:v 2");
    ASSERT_FALSE(clip.empty());
    int cw = 0, ch = 0;
    const std::vector<unsigned char> original = decodeFrameRgb(clip, 5, cw, ch);
    ASSERT_EQ(original.size(), size_t(101 * 77 * 3));
    // Least PSNR: about 37 dB for XviD (28 when the levels are lost) and 25 dB for MS Video 1;
    // a picture one pixel off gives 15.
    struct Case {
        std::string codec, ffprobeName;
        int width, height;
        double psnr;
    };
    for (const Case& c :
         {Case{"xvid", "mpeg4", 102, 78, 33.0}, Case{"msvc", "msvideo1", 104, 80, 20.0}}) {
        SCOPED_TRACE(c.codec);
        const std::string out = scratchDir("encode") + "/odd-" + c.codec + ".avi";
        std::filesystem::remove(out);
        {
            SourceAndCodec g(sw(platform::dshow::CLSID_AviWavFileSource),
                             cm(platform::dshow::CLSID_VideoCompressorCategory, c.codec));
            ASSERT_EQ(g.writeVideo(clip, out), S_OK);
            EXPECT_TRUE(g.runToEnd());
        }
        EXPECT_EQ(run("ffprobe -v error -show_entries stream=codec_name,width,height,nb_frames "
                      "-of csv=p=0 '" +
                      out + "'")
                      .out,
                  c.ffprobeName + "," + std::to_string(c.width) + "," + std::to_string(c.height) +
                      ",10\n");
        int w = 0, h = 0;
        const std::vector<unsigned char> frame = decodeFrameRgb(out, 5, w, h);
        ASSERT_EQ(frame.size(), size_t(c.width * c.height * 3));
        double error = 0, border = 0;
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x)
                for (int k = 0; k < 3; ++k) {
                    const int v = frame[size_t((y * c.width + x) * 3 + k)];
                    if (x < 101 && y < 77) {
                        const int d = v - original[size_t((y * 101 + x) * 3 + k)];
                        error += d * d;
                    } else {
                        border += v;
                    }
                }
        const double mse = error / (101 * 77 * 3);
        EXPECT_GT(10 * std::log10(255.0 * 255.0 / std::max(mse, 1e-9)), c.psnr);
        const int borderSamples = (c.width * c.height - 101 * 77) * 3;
        EXPECT_LT(border / borderSamples, 40.0); // black, give or take the codec
    }
}

// Only the pictures of a file with sound are encoded, from a source that splits the file and
// from one that reads it as it is: the sound stream nobody takes is left aside and the
// encoding still runs to its end.
TEST(FilterComponent, TheVideoOfAFileWithSoundIsEncodedAlone) {
    const std::string clip =
        sharedClip("encode", "src.avi",
                   "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine -t 2 "
                   "-c:v msvideo1 -c:a pcm_s16le");
    ASSERT_FALSE(clip.empty());
    for (const GUID* sourceKind :
         {&platform::dshow::CLSID_AviWavFileSource, &platform::dshow::CLSID_AsyncReader}) {
        SCOPED_TRACE(guidToString(*sourceKind));
        const std::string out = scratchDir("encode") + "/video-alone.avi";
        std::filesystem::remove(out);
        {
            SourceAndCodec g(sw(*sourceKind), XvidName);
            ASSERT_EQ(g.writeVideo(clip, out), S_OK);
            // A file read as it is has one output, now taken: a second stream from it is
            // refused at once rather than waited for.
            if (*sourceKind == platform::dshow::CLSID_AsyncReader) {
                EXPECT_EQ(g.graph.as<ICaptureGraphBuilder2>()->RenderStream(
                              nullptr, &MEDIATYPE_Audio, g.source.GetFilter(), nullptr, g.mux),
                          VFW_E_NOT_FOUND);
            }
            EXPECT_TRUE(g.runToEnd());
        }
        EXPECT_EQ(run("ffprobe -v error -show_entries stream=codec_name,nb_frames -of csv=p=0 '" +
                      out + "'")
                      .out,
                  "mpeg4,50\n");
    }
}

// A filter component whose graph goes first forgets it: it neither calls the freed graph (the
// address sanitizer build would report that) nor reports it as its graph.
TEST(FilterComponent, AComponentOutlivingItsGraphForgetsIt) {
    TFilter mp3("MP3Enc");
    mp3.BaseFilter.setMoniker(std::make_shared<TMoniker>(TMoniker{Mp3CodecName}));
    {
        auto graph = std::make_unique<TFilterGraph>();
        mp3.setFilterGraph(graph.get());
        graph->setActive(true);
        ASSERT_TRUE(mp3.GetFilter());
    }
    EXPECT_EQ(mp3.FilterGraph(), nullptr);
    EXPECT_EQ(mp3.GetFilter(), nullptr);
    // It can join another graph afterwards.
    TFilterGraph next;
    mp3.setFilterGraph(&next);
    next.setActive(true);
    EXPECT_EQ(next.as<IFilterGraph2>()->FindFilterByName("MP3Enc"), mp3.GetFilter());
    mp3.setFilterGraph(nullptr);
}

namespace {
// Records what the filter's state is once it has been told it is being removed, and whether
// the graph still held it then.
struct WatchedFilter : TFilter {
    using TFilter::TFilter;
    std::optional<FILTER_STATE> stateWhenRemoving;
    bool inGraphWhenRemoving = false;
    void NotifyFilter(TFilterOperation op, int param) override {
        TFilter::NotifyFilter(op, param);
        if (op != foRemoving || !GetFilter()) return;
        stateWhenRemoving = GetFilter()->state();
        const auto all = FilterGraph()->as<IFilterGraph2>()->EnumFilters();
        inGraphWhenRemoving = std::find(all.begin(), all.end(), GetFilter()) != all.end();
    }
};
} // namespace

// A file source keeps its component name when it loads a file; taken out of a running graph it
// is stopped before the graph removes it.
TEST(FilterComponent, AFileSourceKeepsItsNameAndIsStoppedBeforeRemoval) {
    const std::string clip =
        sharedClip("encode", "av4s.avi",
                   "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine -t 4 -c:v mpeg4 "
                   "-c:a libmp3lame");
    ASSERT_FALSE(clip.empty());
    TFilterGraph graph;
    WatchedFilter source("Filter1");
    source.BaseFilter.setMoniker(
        std::make_shared<TMoniker>(TMoniker{sw(platform::dshow::CLSID_AsyncReader)}));
    source.setFilterGraph(&graph);
    graph.setActive(true);
    const FilterPtr live = source.GetFilter();
    ASSERT_TRUE(live);
    ASSERT_EQ(source.query<IFileSourceFilter>()->Load(clip), S_OK);
    EXPECT_EQ(live->name(), "Filter1");
    EXPECT_EQ(graph.as<IFilterGraph2>()->FindFilterByName("Filter1"), live);
    EXPECT_EQ(source.query<IFileSourceFilter>()->curFile(), clip);

    ASSERT_EQ(graph.as<IFilterGraph2>()->Render(findUnconnectedPin(live, PINDIR_OUTPUT)), S_OK);
    ASSERT_TRUE(graph.Play());
    ASSERT_TRUE(waitFor([&] { return live->state() == State_Running; }, 10s));
    source.setFilterGraph(nullptr);
    ASSERT_TRUE(source.stateWhenRemoving.has_value());
    EXPECT_EQ(*source.stateWhenRemoving, State_Stopped);
    EXPECT_TRUE(source.inGraphWhenRemoving);
    EXPECT_EQ(graph.as<IFilterGraph2>()->FindFilterByName("Filter1"), nullptr);
    EXPECT_EQ(source.GetFilter(), nullptr);
    EXPECT_EQ(live->state(), State_Stopped);
}
