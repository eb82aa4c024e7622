#include "platform/dshow/elements/OverlayMixer.h"
#include "platform/dshow/elements/SampleGrabber.h"
#include "support/TestSupport.h"

#include <gst/gst.h>
#include <gtest/gtest.h>
// After GoogleTest, whose names Xlib's macros would replace.
#include <X11/Xlib.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

using namespace platform::dshow;
using namespace testsupport;

namespace {

using Clock = std::chrono::steady_clock;

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds within) {
    const auto deadline = Clock::now() + within;
    do {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (Clock::now() < deadline);
    return false;
}

HRESULT connect(IFilterGraph2& graph, const FilterPtr& from, const FilterPtr& to) {
    return graph.ConnectDirect(findUnconnectedPin(from, PINDIR_OUTPUT),
                               findUnconnectedPin(to, PINDIR_INPUT));
}

// Colour bars of a size and pixel aspect, as a filter whose output is free.
FilterPtr addBars(IFilterGraph2& graph, int width, int height, int parN = 1, int parD = 1) {
    FilterPtr src = createElementFilter("videotestsrc", "Bars");
    FilterPtr caps = createElementFilter("capsfilter", "Format");
    EXPECT_TRUE(src && caps);
    GstCaps* c = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width",
                                     G_TYPE_INT, width, "height", G_TYPE_INT, height,
                                     "pixel-aspect-ratio", GST_TYPE_FRACTION, parN, parD,
                                     "framerate", GST_TYPE_FRACTION, 25, 1, nullptr);
    g_object_set(caps->native(), "caps", c, nullptr);
    gst_caps_unref(c);
    EXPECT_EQ(graph.AddFilter(src, "Bars"), S_OK);
    EXPECT_EQ(graph.AddFilter(caps, "Format"), S_OK);
    EXPECT_EQ(connect(graph, src, caps), S_OK);
    return caps;
}

std::shared_ptr<IMixerPinConfig2> mixerPin(const FilterPtr& mixer) {
    for (const PinPtr& p : mixer->pins())
        if (p->direction() == PINDIR_INPUT) return queryInterface<IMixerPinConfig2>(p);
    return nullptr;
}

void pause(IFilterGraph2& graph) {
    auto control = queryInterface<IMediaControl>(graph.shared_from_this());
    ASSERT_TRUE(SUCCEEDED(control->Pause()));
    FILTER_STATE state;
    ASSERT_EQ(control->GetState(20000, &state), S_OK);
}

void stop(IFilterGraph2& graph) {
    queryInterface<IMediaControl>(graph.shared_from_this())->Stop();
}

// The four crop margins of the mixer's videocrop: left, right, top, bottom.
std::array<int, 4> cropOf(const FilterPtr& mixer) {
    std::array<int, 4> out{-1, -1, -1, -1};
    GstIterator* it = gst_bin_iterate_elements(GST_BIN(mixer->native()));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        auto* e = GST_ELEMENT(g_value_get_object(&item));
        if (g_str_equal(GST_OBJECT_NAME(gst_element_get_factory(e)), "videocrop"))
            g_object_get(e, "left", &out[0], "right", &out[1], "top", &out[2], "bottom", &out[3],
                         nullptr);
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return out;
}

// The largest difference between the colour channels of any pixel of a 24-bit picture.
int largestChannelSpread(const std::vector<uint8_t>& image) {
    int spread = 0;
    for (size_t i = 0; i + 2 < image.size(); i += 3) {
        const int b = image[i], g = image[i + 1], r = image[i + 2];
        spread = std::max({spread, std::abs(r - g), std::abs(g - b), std::abs(r - b)});
    }
    return spread;
}

// An X window for a renderer to draw into.
struct OwnerWindow {
    Display* display = XOpenDisplay(nullptr);
    Window window = 0;
    OwnerWindow() {
        if (!display) return;
        window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 320, 240, 0, 0, 0);
        XMapWindow(display, window);
        XSync(display, False);
    }
    ~OwnerWindow() {
        if (!display) return;
        XDestroyWindow(display, window);
        XCloseDisplay(display);
    }
};

DDCOLORCONTROL colors(uint32_t flags, long b, long c, long h, long s, long enable) {
    DDCOLORCONTROL cc;
    cc.dwFlags = flags;
    cc.lBrightness = int32_t(b);
    cc.lContrast = int32_t(c);
    cc.lHue = int32_t(h);
    cc.lSaturation = int32_t(s);
    cc.lSharpness = 5;
    cc.lGamma = 1;
    cc.lColorEnable = int32_t(enable);
    return cc;
}

TEST(OverlayMixer, ColourSettingsComeBackExactlyAndBadRecordsAreRefused) {
    FilterPtr mixer = createOverlayMixer();
    ASSERT_TRUE(mixer);
    GUID clsid;
    ASSERT_EQ(mixer->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_OverlayMixer);
    auto pin = mixerPin(mixer);
    ASSERT_TRUE(pin);

    DDCOLORCONTROL got;
    ASSERT_EQ(pin->GetOverlaySurfaceColorControls(&got), S_OK);
    EXPECT_EQ(got.dwFlags, 0x4Fu);
    EXPECT_EQ(got.lBrightness, 750);
    EXPECT_EQ(got.lContrast, 10000);
    EXPECT_EQ(got.lHue, 0);
    EXPECT_EQ(got.lSaturation, 10000);
    EXPECT_EQ(got.lColorEnable, 1);

    const long cases[][5] = {{0, 0, -180, 0, 1},
                             {10000, 20000, 180, 20000, 1},
                             {751, 9999, 1, 10001, 0},
                             {1234, 5678, -91, 4321, 1},
                             {750, 10000, 0, 10000, 1}};
    for (const auto& c : cases) {
        const DDCOLORCONTROL set = colors(0x7F, c[0], c[1], c[2], c[3], c[4]);
        ASSERT_EQ(pin->SetOverlaySurfaceColorControls(&set), S_OK);
        DDCOLORCONTROL back;
        ASSERT_EQ(pin->GetOverlaySurfaceColorControls(&back), S_OK);
        EXPECT_EQ(back.lBrightness, c[0]);
        EXPECT_EQ(back.lContrast, c[1]);
        EXPECT_EQ(back.lHue, c[2]);
        EXPECT_EQ(back.lSaturation, c[3]);
        EXPECT_EQ(back.lColorEnable, c[4]);
    }

    // Only the flagged values are taken.
    const DDCOLORCONTROL hueOnly = colors(DDCOLOR_HUE, 9, 9, 45, 9, 0);
    ASSERT_EQ(pin->SetOverlaySurfaceColorControls(&hueOnly), S_OK);
    ASSERT_EQ(pin->GetOverlaySurfaceColorControls(&got), S_OK);
    EXPECT_EQ(got.lHue, 45);
    EXPECT_EQ(got.lBrightness, 750);
    EXPECT_EQ(got.lColorEnable, 1);

    // Refused, and nothing of them kept.
    DDCOLORCONTROL wrongSize = colors(0x7F, 1, 1, 1, 1, 1);
    wrongSize.dwSize = 39;
    EXPECT_EQ(pin->SetOverlaySurfaceColorControls(&wrongSize), E_INVALIDARG);
    DDCOLORCONTROL readWrong;
    readWrong.dwSize = 39;
    EXPECT_EQ(pin->GetOverlaySurfaceColorControls(&readWrong), E_INVALIDARG);
    const DDCOLORCONTROL sharpnessAlone = colors(DDCOLOR_SHARPNESS | DDCOLOR_GAMMA, 1, 1, 1, 1, 1);
    EXPECT_EQ(pin->SetOverlaySurfaceColorControls(&sharpnessAlone), E_INVALIDARG);
    const DDCOLORCONTROL outOfRange = colors(0x7F, 750, 10000, 181, 10000, 1);
    EXPECT_EQ(pin->SetOverlaySurfaceColorControls(&outOfRange), E_INVALIDARG);
    ASSERT_EQ(pin->GetOverlaySurfaceColorControls(&got), S_OK);
    EXPECT_EQ(got.lHue, 45);
    EXPECT_EQ(got.lBrightness, 750);
}

// Colour bars through the mixer to a grabber: unchanged they are colourful; with the colours
// off, or the saturation at zero, every pixel is grey; brightness takes them to black and white.
TEST(OverlayMixer, ColoursOffOrNoSaturationGreyThePicture) {
    auto graph = createFilterGraph();
    FilterPtr bars = addBars(*graph, 320, 240);
    FilterPtr mixer = createOverlayMixer();
    FilterPtr grabber = createSampleGrabber();
    FilterPtr sink = createNullRenderer(MEDIATYPE_Video);
    ASSERT_EQ(graph->AddFilter(mixer, "Overlay Mixer"), S_OK);
    ASSERT_EQ(graph->AddFilter(grabber, "Grabber"), S_OK);
    ASSERT_EQ(graph->AddFilter(sink, "Null"), S_OK);
    ASSERT_EQ(connect(*graph, bars, mixer), S_OK);
    ASSERT_EQ(connect(*graph, mixer, grabber), S_OK);
    ASSERT_EQ(connect(*graph, grabber, sink), S_OK);
    auto grab = queryInterface<ISampleGrabber>(grabber);
    ASSERT_EQ(grab->SetBufferSamples(true), S_OK);
    auto pin = mixerPin(mixer);

    auto spreadAfterPause = [&] {
        pause(*graph);
        AM_MEDIA_TYPE mt;
        std::vector<uint8_t> image;
        EXPECT_EQ(grab->GetCurrentImage(&mt, &image), S_OK);
        stop(*graph);
        return image.empty() ? -1 : largestChannelSpread(image);
    };
    EXPECT_GT(spreadAfterPause(), 150) << "the bars should be colourful";

    const DDCOLORCONTROL off = colors(0x7F, 750, 10000, 0, 10000, 0);
    ASSERT_EQ(pin->SetOverlaySurfaceColorControls(&off), S_OK);
    const int offSpread = spreadAfterPause();
    EXPECT_GE(offSpread, 0);
    EXPECT_LE(offSpread, 4);
    DDCOLORCONTROL got;
    ASSERT_EQ(pin->GetOverlaySurfaceColorControls(&got), S_OK);
    EXPECT_EQ(got.lSaturation, 10000) << "colours off keep the saturation setting";
    EXPECT_EQ(got.lColorEnable, 0);

    const DDCOLORCONTROL noSaturation = colors(0x7F, 750, 10000, 0, 0, 1);
    ASSERT_EQ(pin->SetOverlaySurfaceColorControls(&noSaturation), S_OK);
    const int greySpread = spreadAfterPause();
    EXPECT_GE(greySpread, 0);
    EXPECT_LE(greySpread, 4);

    // Brightness spans the whole range on both sides of its default (750): 0 is the darkest
    // the mixer gives, 10000 the brightest (before, 0 darkened by 7.5% only).
    const auto meanAfterPause = [&] {
        pause(*graph);
        AM_MEDIA_TYPE mt;
        std::vector<uint8_t> image;
        EXPECT_EQ(grab->GetCurrentImage(&mt, &image), S_OK);
        stop(*graph);
        double sum = 0;
        for (uint8_t v : image)
            sum += v;
        return image.empty() ? -1.0 : sum / double(image.size());
    };
    const double plain = meanAfterPause();
    for (const long brightness : {0L, 10000L}) {
        const DDCOLORCONTROL set = colors(0x7F, brightness, 10000, 0, 10000, 1);
        ASSERT_EQ(pin->SetOverlaySurfaceColorControls(&set), S_OK);
        const double mean = meanAfterPause();
        // The mixer's darkest and brightest keep the bars' colours: about 35 and 225 of 255.
        if (brightness == 0)
            EXPECT_LT(mean, plain / 3) << "brightness 0 darkens fully; unchanged " << plain;
        else
            EXPECT_GT(mean, plain + (255 - plain) * 0.7)
                << "brightness 10000 brightens fully; unchanged " << plain;
    }
}

TEST(OverlayMixer, NativeVideoPropsGiveTheDisplayAspect) {
    struct Case {
        int width, height, parN, parD;
        long arW, arH;
    };
    for (const Case& c : {Case{720, 576, 16, 15, 4, 3}, Case{640, 360, 1, 1, 16, 9}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        auto graph = createFilterGraph();
        FilterPtr bars = addBars(*graph, c.width, c.height, c.parN, c.parD);
        FilterPtr mixer = createOverlayMixer();
        FilterPtr sink = createNullRenderer(MEDIATYPE_Video);
        ASSERT_EQ(graph->AddFilter(mixer, "Overlay Mixer"), S_OK);
        ASSERT_EQ(graph->AddFilter(sink, "Null"), S_OK);
        ASSERT_EQ(connect(*graph, bars, mixer), S_OK);
        ASSERT_EQ(connect(*graph, mixer, sink), S_OK);
        auto video = queryInterface<IDDrawExclModeVideo>(mixer);
        ASSERT_TRUE(video);
        long w = 0, h = 0, arW = 0, arH = 0;
        EXPECT_EQ(video->GetNativeVideoProps(&w, &h, &arW, &arH), VFW_E_NOT_CONNECTED);
        pause(*graph);
        ASSERT_EQ(video->GetNativeVideoProps(&w, &h, &arW, &arH), S_OK);
        EXPECT_EQ(w, c.width);
        EXPECT_EQ(h, c.height);
        EXPECT_EQ(arW, c.arW);
        EXPECT_EQ(arH, c.arH);
        stop(*graph);
    }
}

// A renderer drawing into an X window: crop mode trims the picture to the window's aspect and
// follows the window's size; the overlay is active only while paused with an owner window.
TEST(OverlayMixer, CropFollowsTheRendererWindowAndOverlayIsActiveWithAnOwner) {
    OwnerWindow owner;
    ASSERT_TRUE(owner.display) << "needs an X display";
    auto graph = createFilterGraph();
    FilterPtr bars = addBars(*graph, 640, 360);
    FilterPtr mixer = createOverlayMixer();
    FilterPtr renderer = createVideoRenderer();
    ASSERT_EQ(graph->AddFilter(mixer, "Overlay Mixer"), S_OK);
    ASSERT_EQ(graph->AddFilter(renderer, "Video Renderer"), S_OK);
    auto window = queryInterface<IVideoWindow>(renderer);
    auto basic = queryInterface<IBasicVideo>(renderer);
    ASSERT_EQ(window->SetWindowPosition(0, 0, 320, 240), S_OK);
    auto pin = mixerPin(mixer);
    ASSERT_EQ(pin->SetAspectRatioMode(AM_ARMODE_CROP), S_OK);
    ASSERT_EQ(connect(*graph, bars, mixer), S_OK);
    ASSERT_EQ(connect(*graph, mixer, renderer), S_OK);

    EXPECT_EQ(pin->IsOverlayActive(), S_FALSE) << "stopped";
    pause(*graph);
    EXPECT_EQ(pin->IsOverlayActive(), S_FALSE) << "no owner window";
    long w = 0, h = 0;
    ASSERT_TRUE(waitFor([&] { return basic->GetVideoSize(&w, &h) == S_OK && w == 480; },
                        std::chrono::seconds(10)))
        << w << "x" << h;
    EXPECT_EQ(h, 360);
    EXPECT_EQ(cropOf(mixer), (std::array<int, 4>{80, 80, 0, 0}));

    ASSERT_EQ(window->put_Owner(owner.window), S_OK);
    EXPECT_EQ(pin->IsOverlayActive(), S_OK);

    // A square window: the paused picture is drawn again, trimmed to a square.
    ASSERT_EQ(window->SetWindowPosition(0, 0, 300, 300), S_OK);
    EXPECT_TRUE(waitFor([&] { return basic->GetVideoSize(&w, &h) == S_OK && w == 360; },
                        std::chrono::seconds(10)))
        << w << "x" << h;
    EXPECT_EQ(h, 360);
    // A tall window trims the height.
    ASSERT_EQ(window->SetWindowPosition(0, 0, 100, 400), S_OK);
    EXPECT_EQ(cropOf(mixer), (std::array<int, 4>{275, 275, 0, 0}));
    ASSERT_EQ(window->SetWindowPosition(0, 0, 640, 180), S_OK);
    EXPECT_EQ(cropOf(mixer), (std::array<int, 4>{0, 0, 90, 90}));
    ASSERT_EQ(pin->SetAspectRatioMode(AM_ARMODE_LETTER_BOX), S_OK);
    EXPECT_EQ(cropOf(mixer), (std::array<int, 4>{0, 0, 0, 0}));

    // ximagesink has no colour key of its own (Xvfb has no Xv).
    if (window->sinkName() == "ximagesink") {
        COLORKEY key;
        uint32_t color = 0;
        ASSERT_EQ(pin->GetColorKey(&key, &color), S_OK);
        EXPECT_EQ(key.KeyType, CK_RGB);
        EXPECT_EQ(key.LowColorValue, 0x00100010u);
        EXPECT_EQ(color, 0x00100010u);
    }
    stop(*graph);
    EXPECT_EQ(pin->IsOverlayActive(), S_FALSE) << "stopped again";
    window->put_Owner(0);
}

struct Recorder : IDDrawExclModeVideoCallback {
    std::vector<std::string> calls;
    std::thread::id thread;
    HRESULT OnUpdateOverlay(bool, uint32_t, bool, bool) override { return S_OK; }
    HRESULT OnUpdateColorKey(const COLORKEY* key, uint32_t color) override {
        thread = std::this_thread::get_id();
        char text[64];
        snprintf(text, sizeof text, "key %u %06x %06x", key->KeyType, key->HighColorValue, color);
        calls.emplace_back(text);
        return S_OK;
    }
    HRESULT OnUpdateSize(long w, long h, long arW, long arH) override {
        calls.push_back("size " + std::to_string(w) + " " + std::to_string(h) + " " +
                        std::to_string(arW) + ":" + std::to_string(arH));
        return S_OK;
    }
};

// The callback learns the key and the size through the dispatcher only, and a callback that
// was removed before its queued task ran is not called.
TEST(OverlayMixer, CallbackRunsThroughTheDispatcherAndNeverAfterRemoval) {
    std::mutex lock;
    std::deque<std::function<void()>> queue;
    setUserInterfaceDispatcher([&](std::function<void()> task) {
        std::lock_guard l(lock);
        queue.push_back(std::move(task));
    });
    auto queued = [&] {
        std::lock_guard l(lock);
        return queue.size();
    };
    auto drain = [&] {
        std::deque<std::function<void()>> tasks;
        {
            std::lock_guard l(lock);
            tasks.swap(queue);
        }
        for (auto& t : tasks)
            t();
    };

    auto graph = createFilterGraph();
    FilterPtr bars = addBars(*graph, 640, 360);
    FilterPtr mixer = createOverlayMixer();
    FilterPtr sink = createNullRenderer(MEDIATYPE_Video);
    ASSERT_EQ(graph->AddFilter(mixer, "Overlay Mixer"), S_OK);
    ASSERT_EQ(graph->AddFilter(sink, "Null"), S_OK);
    ASSERT_EQ(connect(*graph, bars, mixer), S_OK);
    ASSERT_EQ(connect(*graph, mixer, sink), S_OK);
    auto video = queryInterface<IDDrawExclModeVideo>(mixer);

    auto first = std::make_shared<Recorder>();
    ASSERT_EQ(video->SetCallbackInterface(first, 0), S_OK);
    EXPECT_EQ(queued(), 0u) << "the size is not known yet";
    pause(*graph);
    ASSERT_TRUE(waitFor([&] { return queued() > 0; }, std::chrono::seconds(10)));
    EXPECT_TRUE(first->calls.empty()) << "called outside the dispatcher";
    drain();
    const std::vector<std::string> expected{"key 2 100010 100010", "size 640 360 16:9"};
    EXPECT_EQ(first->calls, expected);
    EXPECT_EQ(first->thread, std::this_thread::get_id());

    // Registered while the size is known: told at once, through the queue.
    auto second = std::make_shared<Recorder>();
    ASSERT_EQ(video->SetCallbackInterface(second, 0), S_OK);
    EXPECT_EQ(queued(), 1u);
    drain();
    EXPECT_EQ(second->calls, expected);
    EXPECT_EQ(first->calls.size(), 2u);

    // Removed with its task still queued.
    auto removed = std::make_shared<Recorder>();
    ASSERT_EQ(video->SetCallbackInterface(removed, 0), S_OK);
    ASSERT_EQ(video->SetCallbackInterface(nullptr, 0), S_OK);
    drain();
    EXPECT_TRUE(removed->calls.empty());
    EXPECT_EQ(second->calls.size(), 2u);

    stop(*graph);
    setUserInterfaceDispatcher(nullptr);
}

// A file rendered in a graph holding a mixer and a grabber, added in that order: the picture
// goes decoder -> grabber -> mixer -> the video renderer a window added.
TEST(OverlayMixer, RenderFilePutsTheMixerRightBeforeTheRenderer) {
    const std::string clip = sharedClip("overlay-mixer", "bars.avi",
                                        "-f lavfi -i testsrc=s=320x240:r=25:d=1 -c:v mpeg4 -q:v 3");
    ASSERT_FALSE(clip.empty());
    OwnerWindow owner;
    auto graph = createFilterGraph();
    FilterPtr mixer = createOverlayMixer();
    FilterPtr grabber = createSampleGrabber();
    FilterPtr renderer = createVideoRenderer();
    ASSERT_EQ(graph->AddFilter(mixer, "Overlay Mixer"), S_OK);
    ASSERT_EQ(graph->AddFilter(grabber, "SampleGrabber"), S_OK);
    ASSERT_EQ(graph->AddFilter(renderer, "Video Renderer"), S_OK);
    if (owner.display) queryInterface<IVideoWindow>(renderer)->put_Owner(owner.window);
    ASSERT_EQ(graph->RenderFile(clip), S_OK);
    // The decoder gives its streams again each time the graph starts; they are linked then.
    ASSERT_EQ(queryInterface<ISampleGrabber>(grabber)->SetBufferSamples(true), S_OK);
    pause(*graph);

    auto peerOf = [](const FilterPtr& f, PIN_DIRECTION dir) -> PinPtr {
        for (const PinPtr& p : f->pins())
            if (p->direction() == dir) return p->connectedTo();
        return nullptr;
    };
    const PinPtr intoGrabber = peerOf(grabber, PINDIR_INPUT);
    ASSERT_TRUE(intoGrabber);
    EXPECT_NE(intoGrabber->filter(), mixer);
    const PinPtr afterGrabber = peerOf(grabber, PINDIR_OUTPUT);
    ASSERT_TRUE(afterGrabber);
    EXPECT_EQ(afterGrabber->filter(), mixer);
    EXPECT_EQ(afterGrabber->name(), "Input0");
    const PinPtr afterMixer = peerOf(mixer, PINDIR_OUTPUT);
    ASSERT_TRUE(afterMixer);
    EXPECT_EQ(afterMixer->filter(), renderer);

    // And the picture flows through all of them.
    AM_MEDIA_TYPE mt;
    std::vector<uint8_t> image;
    EXPECT_EQ(queryInterface<ISampleGrabber>(grabber)->GetCurrentImage(&mt, &image), S_OK);
    long w = 0, h = 0;
    EXPECT_EQ(queryInterface<IBasicVideo>(renderer)->GetVideoSize(&w, &h), S_OK);
    EXPECT_EQ(w, 320);
    stop(*graph);
    queryInterface<IVideoWindow>(renderer)->put_Owner(0);
}

} // namespace
