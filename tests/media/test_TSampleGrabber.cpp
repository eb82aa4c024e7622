#include "media/TFilterGraph.h"
#include "media/TSampleGrabber.h"
#include "support/QtEnvironment.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

using namespace media;
using namespace testsupport;
using platform::screen::PackedDib;

namespace {
auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("640x480x24"));

// 5 s of 64x48 MPEG-4 video at 25 fps, one flat colour per second: red, green, blue, yellow,
// white; with a tone beside it.
std::string colourClip() {
    const std::string path = sharedClip(
        "grabber-clips", "colours5s.avi",
        "-f lavfi -i color=c=red:s=64x48:r=25:d=1 -f lavfi -i color=c=lime:s=64x48:r=25:d=1 "
        "-f lavfi -i color=c=blue:s=64x48:r=25:d=1 -f lavfi -i color=c=yellow:s=64x48:r=25:d=1 "
        "-f lavfi -i color=c=white:s=64x48:r=25:d=1 -f lavfi -i sine=frequency=440:d=5 "
        "-filter_complex [0][1][2][3][4]concat=n=5[v] -map [v] -map 5 -c:v mpeg4 -q:v 2 "
        "-c:a pcm_s16le");
    EXPECT_FALSE(path.empty()) << "ffmpeg could not make the clip";
    return path;
}

// A renderer that shows nothing, as a graph component.
struct NullRenderer : IGraphFilterProvider {
    explicit NullRenderer(const GUID& major) : major(major) {}
    GUID major;
    FilterPtr live;
    FilterPtr GetFilter() override { return live; }
    std::string GetName() override { return "Null"; }
    void NotifyFilter(TFilterOperation op, int) override {
        if (op == foAdding) live = createNullRenderer(major);
        if (op == foRemoved) live.reset();
    }
    void GraphDestroyed(TFilterGraph*) override {}
};

// Pauses the graph at a moment and waits until it shows the picture there.
void pauseAt(TFilterGraph& graph, double seconds) {
    int64_t at = int64_t(seconds * 1e7);
    graph.as<IMediaSeeking>()->SetPositions(&at, AM_SEEKING_AbsolutePositioning, nullptr,
                                            AM_SEEKING_NoPositioning);
    graph.Pause();
    FILTER_STATE state;
    ASSERT_EQ(graph.as<IMediaControl>()->GetState(20000, &state), S_OK);
}

// The colour of the bitmap's middle pixel, blue-green-red.
std::array<int, 3> middle(const PackedDib& dib) {
    const uint8_t* p = dib.rowFromTop(dib.header().biHeight / 2) + 3 * (dib.header().biWidth / 2);
    return {p[0], p[1], p[2]};
}

void expectColour(const PackedDib& dib, std::array<int, 3> bgr, const char* what) {
    const auto got = middle(dib);
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(got[size_t(i)], bgr[size_t(i)], 24) << what << ", channel " << i;
}

PackedDib marked() {
    PackedDib dib = PackedDib::create(2, 2, 24);
    std::memset(dib.bits(), 7, dib.imageSize());
    return dib;
}

void expectMarked(const PackedDib& dib) {
    ASSERT_TRUE(dib.valid());
    EXPECT_EQ(dib.header().biWidth, 2);
    EXPECT_EQ(dib.header().biHeight, 2);
    for (size_t i = 0; i < dib.imageSize(); ++i)
        ASSERT_EQ(dib.bits()[i], 7) << "byte " << i;
}

} // namespace

TEST(TSampleGrabber, GivesTheColourShownAtEachMoment) {
    TFilterGraph graph;
    TSampleGrabber grabber;
    NullRenderer video(MEDIATYPE_Video), sound(MEDIATYPE_Audio);
    grabber.setFilterGraph(&graph);
    graph.attachProvider(&video);
    graph.attachProvider(&sound);
    graph.setActive(true);
    ASSERT_EQ(graph.RenderFile(colourClip()), S_OK);

    const struct {
        double at;
        std::array<int, 3> bgr;
        const char* name;
    } cases[] = {{0.5, {0, 0, 255}, "red at 0.5 s"},
                 {2.5, {255, 0, 0}, "blue at 2.5 s"},
                 {4.5, {255, 255, 255}, "white at 4.5 s"},
                 {1.5, {0, 255, 0}, "green at 1.5 s after a seek back"}};
    for (const auto& c : cases) {
        pauseAt(graph, c.at);
        PackedDib dib;
        ASSERT_TRUE(grabber.GetBitmap(dib)) << c.name;
        EXPECT_EQ(dib.header().biWidth, 64);
        EXPECT_EQ(dib.header().biHeight, 48);
        EXPECT_EQ(dib.header().biBitCount, 24);
        EXPECT_EQ(dib.header().biSizeImage, 64u * 3 * 48);
        expectColour(dib, c.bgr, c.name);
    }
    // The connected type: RGB24, an 88-byte video-info block, the header 48 bytes in, with a
    // positive height.
    AM_MEDIA_TYPE mt;
    ASSERT_EQ(grabber.SampleGrabber()->GetConnectedMediaType(&mt), S_OK);
    EXPECT_TRUE(mt.subtype == MEDIASUBTYPE_RGB24);
    EXPECT_TRUE(mt.formattype == FORMAT_VideoInfo);
    ASSERT_EQ(mt.format.size(), 88u);
    int32_t height;
    std::memcpy(&height, mt.format.data() + 48 + 8, 4);
    EXPECT_EQ(height, 48);
    graph.Stop();
    graph.setActive(false);
    graph.detachProvider(&video);
    graph.detachProvider(&sound);
}

// The graph's own renderer comes after the grabber: the video never goes around it, and the
// filters tell their classes.
TEST(TSampleGrabber, VideoRunsThroughTheGrabberIntoTheRenderer) {
    TFilterGraph graph;
    TSampleGrabber grabber;
    grabber.setFilterGraph(&graph);
    graph.setActive(true);
    ASSERT_EQ(graph.RenderFile(colourClip()), S_OK);
    pauseAt(graph, 1.0);
    GUID cls;
    ASSERT_EQ(grabber.GetFilter()->GetClassID(&cls), S_OK);
    EXPECT_TRUE(cls == CLSID_SampleGrabber);
    ASSERT_TRUE(grabber.InPin()->connectedTo());
    const PinPtr next = grabber.OutPin()->connectedTo();
    ASSERT_TRUE(next);
    // Through the converter the renderer may put first, into the video renderer.
    FilterPtr renderer;
    for (const FilterPtr& f : graph.as<IFilterGraph2>()->EnumFilters())
        if (f->GetClassID(&cls) == S_OK && cls == CLSID_VideoRenderer) renderer = f;
    ASSERT_TRUE(renderer);
    EXPECT_EQ(next->filter()->native(), renderer->native());
    PackedDib dib;
    EXPECT_TRUE(grabber.GetBitmap(dib));
    graph.Stop();
    graph.setActive(false);
}

TEST(TSampleGrabber, NoPictureLeavesTheBitmapAsItWas) {
    PackedDib dib = marked();
    {
        // Before a picture has passed: the grabber in the active graph, no file yet.
        TFilterGraph graph;
        TSampleGrabber grabber;
        NullRenderer video(MEDIATYPE_Video), sound(MEDIATYPE_Audio);
        grabber.setFilterGraph(&graph);
        graph.attachProvider(&video);
        graph.attachProvider(&sound);
        EXPECT_FALSE(grabber.GetBitmap(dib)) << "without a graph";
        graph.setActive(true);
        EXPECT_FALSE(grabber.GetBitmap(dib)) << "before a picture";
        ASSERT_EQ(graph.RenderFile(colourClip()), S_OK);
        EXPECT_FALSE(grabber.GetBitmap(dib, nullptr, 0)) << "without a buffer";
        expectMarked(dib);
        // After deactivation, though a picture had passed.
        pauseAt(graph, 1.0);
        PackedDib shown;
        ASSERT_TRUE(grabber.GetBitmap(shown));
        // Deactivated while paused: the grabber is stopped while the renderer after it still
        // holds the picture it shows, which must not hold up the stop.
        graph.setActive(false);
        EXPECT_FALSE(grabber.GetBitmap(dib)) << "after deactivation";
        expectMarked(dib);
        graph.detachProvider(&video);
        graph.detachProvider(&sound);
    }
    {
        // A grabber of sound.
        TFilterGraph graph;
        TSampleGrabber grabber;
        grabber.MediaType.record().majortype = MEDIATYPE_Audio;
        NullRenderer video(MEDIATYPE_Video), sound(MEDIATYPE_Audio);
        grabber.setFilterGraph(&graph);
        graph.attachProvider(&video);
        graph.attachProvider(&sound);
        graph.setActive(true);
        ASSERT_EQ(graph.RenderFile(colourClip()), S_OK);
        pauseAt(graph, 1.0);
        ASSERT_TRUE(grabber.InPin()->connectedTo()) << "the sound goes through the grabber";
        AM_MEDIA_TYPE mt;
        ASSERT_EQ(grabber.SampleGrabber()->GetConnectedMediaType(&mt), S_OK);
        EXPECT_TRUE(mt.majortype == MEDIATYPE_Audio);
        EXPECT_FALSE(grabber.GetBitmap(dib)) << "sound";
        expectMarked(dib);
        graph.Stop();
        graph.setActive(false);
        graph.detachProvider(&video);
        graph.detachProvider(&sound);
    }
}

TEST(TSampleGrabber, OnBufferGetsPicturesWhileAssignedAndNoneAfter) {
    TFilterGraph graph;
    TSampleGrabber grabber;
    NullRenderer video(MEDIATYPE_Video), sound(MEDIATYPE_Audio);
    grabber.setFilterGraph(&graph);
    graph.attachProvider(&video);
    graph.attachProvider(&sound);
    graph.setActive(true);
    ASSERT_EQ(graph.RenderFile(colourClip()), S_OK);

    std::atomic<int> calls{0}, wrongLength{0};
    std::atomic<bool> removed{false}, calledAfterRemoval{false};
    grabber.setOnBuffer([&](TSampleGrabber* sender, double, void* buffer, int length) {
        if (removed) calledAfterRemoval = true;
        if (sender != &grabber || !buffer || length != 64 * 3 * 48) ++wrongLength;
        ++calls;
    });
    graph.Play();
    ASSERT_TRUE(waitFor([&] { return calls >= 10; }, std::chrono::seconds(10)));
    grabber.setOnBuffer(nullptr);
    removed = true;
    const int atRemoval = calls;
    // Half a second more of playing.
    auto seeking = graph.as<IMediaSeeking>();
    int64_t from = 0;
    seeking->GetCurrentPosition(&from);
    ASSERT_TRUE(waitFor(
        [&] {
            int64_t now = 0;
            seeking->GetCurrentPosition(&now);
            return now >= from + 5000000;
        },
        std::chrono::seconds(10)));
    EXPECT_EQ(calls, atRemoval);
    EXPECT_FALSE(calledAfterRemoval);
    EXPECT_EQ(wrongLength, 0);
    graph.Stop();
    graph.setActive(false);
    graph.detachProvider(&video);
    graph.detachProvider(&sound);
}

// A 24-bit picture 321 pixels wide whose header gives no image size: rows of 964 bytes.
TEST(TSampleGrabber, ImageSizeFromTheRowsWhenTheHeaderHasNone) {
    AM_MEDIA_TYPE mt;
    mt.majortype = MEDIATYPE_Video;
    mt.formattype = FORMAT_VideoInfo;
    mt.format.assign(88, 0);
    platform::screen::BitmapInfoHeader h;
    h.biWidth = 321;
    h.biHeight = 241;
    h.biBitCount = 24;
    h.biSizeImage = 0;
    std::memcpy(mt.format.data() + 48, &h, sizeof h);
    std::vector<uint8_t> pixels(964 * 241 + 100);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = uint8_t(i * 7);
    PackedDib dib;
    ASSERT_TRUE(bitmapFromType(mt, pixels.data(), pixels.size(), dib));
    EXPECT_EQ(dib.stride(), 964u);
    EXPECT_EQ(dib.header().biSizeImage, 964u * 241);
    EXPECT_EQ(std::memcmp(dib.bits(), pixels.data(), 964 * 241), 0);
    // A caller's buffer shorter than the picture fills what it has.
    PackedDib part;
    ASSERT_TRUE(bitmapFromType(mt, pixels.data(), 1000, part));
    EXPECT_EQ(std::memcmp(part.bits(), pixels.data(), 1000), 0);
    EXPECT_EQ(part.bits()[1000], 0);
    // Another format block is refused.
    mt.format.resize(90);
    PackedDib none;
    EXPECT_FALSE(bitmapFromType(mt, pixels.data(), pixels.size(), none));
    EXPECT_FALSE(none.valid());
}
