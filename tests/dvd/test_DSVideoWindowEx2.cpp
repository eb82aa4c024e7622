#include "dvd/DSVideoWindowEx2.h"
#include "media/TSampleGrabber.h"
#include "support/QtEnvironment.h"
#include "support/Screenshots.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QScreen>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>

using namespace dvd;
using namespace media;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {
auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("640x480x24"));

// 10 s of flat red at 16:9 (128 x 72), without sound.
std::string wideRedClip() {
    const std::string path = sharedClip("overlaywindow", "red169.avi",
                                        "-f lavfi -i color=c=red:s=128x72:r=25 -t 10 -c:v mpeg4 "
                                        "-q:v 2");
    EXPECT_FALSE(path.empty());
    return path;
}

// 720 x 576, red with a green middle half (180, 144, 360 x 288).
std::string centredClip() {
    const std::string path =
        sharedClip("overlaywindow", "centre720.avi",
                   "-f lavfi -i color=c=red:s=720x576:r=25 -vf "
                   "drawbox=x=180:y=144:w=360:h=288:color=lime:t=fill -t 10 -c:v mpeg4 -q:v 2");
    EXPECT_FALSE(path.empty());
    return path;
}

bool green(QRgb c) {
    return qGreen(c) > 200 && qRed(c) < 60 && qBlue(c) < 60;
}
bool black(QRgb c) {
    return qRed(c) < 30 && qGreen(c) < 30 && qBlue(c) < 30;
}
bool grey(QRgb c) {
    return std::abs(qRed(c) - qGreen(c)) < 12 && std::abs(qGreen(c) - qBlue(c)) < 12 &&
           qRed(c) > 40;
}

// Whether every sampled point of area (2 pixels in) has the colour.
bool covered(const QImage& shot, const QRect& area, bool (*colour)(QRgb)) {
    const QRect in = area.adjusted(2, 2, -3, -3);
    for (const QPoint p : {in.topLeft(), in.topRight(), in.bottomLeft(), in.bottomRight(),
                           in.center(), QPoint(in.center().x(), in.top())})
        if (!colour(shot.pixel(p))) return false;
    return true;
}

// A white form with the overlay video window at (40, 30), 320 x 240, on a graph with a
// sample grabber, as the player holds them.
struct OverlayForm : ::testing::Test {
    void SetUp() override {
        form.setGeometry(0, 0, 640, 480);
        QPalette p = form.palette();
        p.setColor(QPalette::Window, Qt::white);
        form.setPalette(p);
        form.setAutoFillBackground(true);
        video = new TDSVideoWindowEx2(&form);
        video->move(40, 30);
        form.show();
        ASSERT_TRUE(waitFor([&] { return form.isVisible(); }, 5s));
        pump(200);
        before = foreignTopLevelWindows();
        graph.setActive(true);
        grabber.setFilterGraph(&graph);
        video->setFilterGraph(&graph);
    }
    void TearDown() override {
        graph.Stop();
        delete video;
        grabber.setFilterGraph(nullptr);
    }
    bool shows(const QRect& area, bool (*colour)(QRgb), std::chrono::milliseconds t = 8s) {
        return waitFor([&] { return covered(screenshot(), area, colour); }, t);
    }
    QRect inForm(const QRect& r) const { return r.translated(40, 30); }

    TFilterGraph graph;
    TSampleGrabber grabber;
    QWidget form;
    TDSVideoWindowEx2* video = nullptr;
    std::set<std::string> before;
};

PinPtr inputOf(const FilterPtr& f) {
    for (const PinPtr& p : f->pins())
        if (p->direction() == PINDIR_INPUT) return p;
    return nullptr;
}

} // namespace

// A new window: 320 x 240, letter-box, no zoom, the published colour settings and key.
TEST(OverlayWindowDefaults, NewWindow) {
    TDSVideoWindowEx2 video;
    EXPECT_EQ(video.size(), QSize(320, 240));
    EXPECT_EQ(video.AspectRatio(), rmLetterBox);
    EXPECT_EQ(video.DigitalZoom(), 0);
    EXPECT_EQ(video.ColorKey(), rgbColor(16, 0, 16));
    EXPECT_TRUE(video.focusPolicy() & Qt::TabFocus);
    EXPECT_FALSE(video.OverlayReady());
    EXPECT_FALSE(video.Caps()->CanOverlayGraphic());
    TColorControl* c = video.ColorControl();
    EXPECT_EQ(c->Brightness(), 750);
    EXPECT_EQ(c->Contrast(), 10000);
    EXPECT_EQ(c->Saturation(), 10000);
    EXPECT_TRUE(c->ColorEnable());
}

// The rendered video runs decoder -> grabber -> overlay mixer -> the window's renderer;
// letter-box fits 16:9 into 320 x 240 with 30-row bars, stretch and crop fill the window, and
// the picture follows a move. The renderer opens no window of its own.
TEST_F(OverlayForm, AspectModesPlaceThePicture) {
    ASSERT_EQ(graph.RenderFile(wideRedClip()), S_OK);
    ASSERT_TRUE(graph.Play());
    ASSERT_TRUE(shows(inForm({0, 30, 320, 180}), isRed));
    EXPECT_TRUE(video->OverlayReady());
    EXPECT_TRUE(video->OverlayVisible());
    EXPECT_EQ(video->VideoRect(), QRect(0, 30, 320, 180));
    EXPECT_TRUE(covered(screenshot(), inForm({0, 0, 320, 28}), black)) << "the top bar";
    EXPECT_TRUE(covered(screenshot(), inForm({0, 212, 320, 28}), black)) << "the bottom bar";
    const PinPtr fed = inputOf(video->OverlayMixer())->connectedTo();
    ASSERT_TRUE(fed);
    GUID clsid;
    fed->filter()->GetClassID(&clsid);
    EXPECT_EQ(clsid, CLSID_SampleGrabber) << "the grabber feeds the mixer";
    EXPECT_EQ(inputOf(video->GetFilter())->connectedTo()->filter(), video->OverlayMixer());

    keepShot("overlay-letterbox");

    // Paused, the picture is drawn again at its new size at once.
    graph.Pause();
    ASSERT_TRUE(waitFor([&] { return graph.State() == 2; }, 3s));
    video->setAspectRatio(rmStretched);
    EXPECT_TRUE(shows(inForm({0, 0, 320, 240}), isRed));
    ASSERT_TRUE(graph.Play());
    video->setAspectRatio(rmCrop);
    EXPECT_TRUE(shows(inForm({0, 0, 320, 240}), isRed));
    long w = 0, h = 0;
    EXPECT_TRUE(waitFor(
        [&] {
            return queryInterface<IBasicVideo>(video->GetFilter())->GetVideoSize(&w, &h) == S_OK &&
                   w == 96 && h == 72;
        },
        3s))
        << "the mixer trims 128 x 72 to the window's 4:3: " << w << "x" << h;
    video->move(200, 100);
    EXPECT_TRUE(shows(QRect(200, 100, 320, 240), isRed));
    EXPECT_EQ(foreignTopLevelWindows(), before);
}

// Ten full-screen round trips while playing: the same X window moves into the borderless form
// and back, without an X error (which would end the test program); entering twice does not
// nest and leaving restores the place and size.
TEST_F(OverlayForm, FullScreenAndBackWhilePlaying) {
    ASSERT_EQ(graph.RenderFile(wideRedClip()), S_OK);
    ASSERT_TRUE(graph.Play());
    ASSERT_TRUE(shows(inForm({0, 30, 320, 180}), isRed));
    const WId handle = video->rendererWindow()->winId();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    for (int i = 0; i < 10; ++i) {
        video->StartFullScreen();
        video->StartFullScreen();
        ASSERT_TRUE(video->FullScreen());
        // 640 x 480 is 4:3: the 16:9 picture is 640 x 360 at row 60.
        ASSERT_TRUE(shows({0, 60, screen.width(), 360}, isRed)) << "round " << i;
        ASSERT_TRUE(covered(screenshot(), {0, 0, screen.width(), 58}, black)) << "round " << i;
        if (i == 0) keepShot("overlay-fullscreen");
        video->NormalPlayback();
        ASSERT_EQ(video->geometry(), QRect(40, 30, 320, 240)) << "round " << i;
        ASSERT_TRUE(shows(inForm({0, 30, 320, 180}), isRed)) << "round " << i;
        ASSERT_TRUE(waitFor([] { return !isRed(screenshot().pixel(500, 400)); }, 3s))
            << "round " << i;
    }
    EXPECT_EQ(video->rendererWindow()->winId(), handle);
    EXPECT_EQ(foreignTopLevelWindows(), before);
}

// Zoom 50 on 720 x 576 shows the middle half of the picture; it is kept when set before the
// video's size is known; a zoom out of range is refused with its message.
TEST_F(OverlayForm, DigitalZoomShowsTheCentre) {
    video->setAspectRatio(rmStretched);
    video->setDigitalZoom(50);
    ASSERT_EQ(graph.RenderFile(centredClip()), S_OK);
    ASSERT_TRUE(graph.Play());
    EXPECT_TRUE(shows(inForm({0, 0, 320, 240}), green));
    EXPECT_EQ(video->SourceRect(), QRect(180, 144, 360, 288));
    keepShot("overlay-zoom50");
    try {
        video->setDigitalZoom(100);
        ADD_FAILURE() << "zoom 100 was taken";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Value 100 out of range. Value must bee between 0 -> 99");
    }
    EXPECT_EQ(video->DigitalZoom(), 50);
    video->setDigitalZoom(0);
    EXPECT_EQ(video->SourceRect(), QRect(0, 0, 720, 576));
    EXPECT_TRUE(shows(inForm({2, 2, 60, 60}), isRed)) << "the whole picture again";
    video->setDigitalZoom(99);
    EXPECT_EQ(video->SourceRect(), QRect(356, 285, 8, 6)) << "a source of at least 1 x 1";
}

// A colour set while no overlay is active is kept and reaches the picture at the next run;
// the overlay then reports its own defaults, which "Reset to Default" brings back; values
// out of range are refused with their message and change nothing.
TEST_F(OverlayForm, ColoursReachThePictureAndResetRestoresTheOverlaysDefaults) {
    TColorControl* c = video->ColorControl();
    c->setSaturation(0);
    ASSERT_EQ(graph.RenderFile(wideRedClip()), S_OK);
    ASSERT_TRUE(graph.Play());
    EXPECT_TRUE(shows(inForm({0, 30, 320, 180}), grey));
    EXPECT_EQ(c->Saturation(), 0);
    EXPECT_TRUE(video->Caps()->CanOverlayGraphic());
    EXPECT_TRUE(video->Caps()->CanControlHue());
    EXPECT_TRUE(video->Caps()->CanControlColorEnabled());
    EXPECT_FALSE(video->Caps()->CanControlSharpness()) << "the overlay's own flags";
    EXPECT_FALSE(video->Caps()->CanControlGamma());

    for (int hue : {-180, 180}) {
        c->setHue(hue);
        EXPECT_EQ(c->Hue(), hue);
    }
    try {
        c->setHue(181);
        ADD_FAILURE() << "hue 181 was taken";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Value 181 out of range. Value must bee between -180 -> 180");
    }
    EXPECT_EQ(c->Hue(), 180);
    EXPECT_THROW(c->setBrightness(10001), std::exception);
    EXPECT_THROW(c->setGamma(0), std::exception);

    c->RestoreDefault();
    EXPECT_EQ(c->Saturation(), 10000);
    EXPECT_EQ(c->Hue(), 0);
    EXPECT_TRUE(shows(inForm({0, 30, 320, 180}), isRed));
    c->setColorEnable(false);
    EXPECT_TRUE(shows(inForm({0, 30, 320, 180}), grey)) << "colours off";
}

// With AutoHideCursor 3000 the cursor hides about 3 s after the last movement over the video
// and comes back at the next one; a click on the picture reaches the control.
TEST_F(OverlayForm, CursorHidesWhenIdleAndClicksReachTheControl) {
    struct Clicks : QObject {
        int count = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::MouseButtonPress) ++count;
            return false;
        }
    } clicks;
    video->installEventFilter(&clicks);
    std::vector<bool> shown;
    video->OnCursorShowHide = [&shown](TDSVideoWindowEx2*, bool visible) {
        shown.push_back(visible);
    };
    ASSERT_EQ(graph.RenderFile(wideRedClip()), S_OK);
    ASSERT_TRUE(graph.Play());
    ASSERT_TRUE(shows(inForm({0, 30, 320, 180}), isRed));
    video->setAutoHideCursor(3000);
    ASSERT_EQ(run("xdotool mousemove 200 150").exitCode, 0);
    ASSERT_TRUE(waitFor([&] { return !video->CursorHidden(); }, 1s));
    const auto moved = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitFor([&] { return video->CursorHidden(); }, 6s));
    const auto idle = std::chrono::steady_clock::now() - moved;
    EXPECT_GE(idle, 2800ms);
    EXPECT_LE(idle, 4500ms);
    EXPECT_EQ(video->rendererWindow()->cursor().shape(), Qt::BlankCursor);
    ASSERT_EQ(run("xdotool mousemove 210 160").exitCode, 0);
    EXPECT_TRUE(waitFor([&] { return !video->CursorHidden(); }, 3s));
    EXPECT_EQ(shown, (std::vector<bool>{false, true}));

    ASSERT_EQ(run("xdotool mousemove 200 150 click 1").exitCode, 0);
    EXPECT_TRUE(waitFor([&] { return clicks.count > 0; }, 3s));
}

// A graph built without the window's knowledge has its source linked straight to the
// renderer. A running graph is never rewired: the set-up fails and leaves the connections as
// they were. In a stopped graph the play moves the video through a new mixer.
TEST_F(OverlayForm, SetUpRewiresAStoppedGraphAndLeavesARunningOneAlone) {
    grabber.setFilterGraph(nullptr);
    auto buildDirect = [this] {
        auto builder = graph.query<IFilterGraph2>();
        const FilterPtr source = createElementFilter("videotestsrc");
        EXPECT_EQ(builder->AddFilter(source, "Source"), S_OK);
        EXPECT_EQ(builder->ConnectDirect(source->pins().front(), inputOf(video->GetFilter())),
                  S_OK);
        return source;
    };
    FilterPtr source = buildDirect();
    ASSERT_EQ(graph.query<IMediaControl>()->Run(), S_OK);
    graph.Pause(); // the change may still be under way
    EXPECT_FALSE(video->OverlayReady());
    EXPECT_EQ(inputOf(video->GetFilter())->connectedTo()->filter(), source)
        << "connections as before";
    for (const FilterPtr& f : graph.query<IFilterGraph2>()->EnumFilters()) {
        GUID clsid;
        f->GetClassID(&clsid);
        EXPECT_NE(clsid, CLSID_OverlayMixer) << "no mixer left behind";
    }
    ASSERT_TRUE(graph.Stop());

    graph.setActive(false);
    graph.setActive(true);
    source = buildDirect();
    ASSERT_TRUE(graph.Play());
    EXPECT_TRUE(video->OverlayReady());
    ASSERT_TRUE(video->OverlayMixer());
    EXPECT_EQ(inputOf(video->GetFilter())->connectedTo()->filter(), video->OverlayMixer());
    EXPECT_EQ(inputOf(video->OverlayMixer())->connectedTo()->filter(), source);
    EXPECT_TRUE(waitFor(
        [&] {
            return !black(screenshot().pixel(inForm({0, 0, 320, 240}).center()));
        },
        5s));
}

// The colour form: in the key colour, centred over the video window, loaded from the current
// settings; its sliders set them, "Reset to Default" brings the defaults back, and it hides
// when it loses the focus.
TEST_F(OverlayForm, ColourFormEditsTheSettings) {
    ASSERT_EQ(graph.RenderFile(wideRedClip()), S_OK);
    ASSERT_TRUE(graph.Play());
    ASSERT_TRUE(shows(inForm({0, 30, 320, 180}), isRed));
    ASSERT_TRUE(waitFor([&] { return video->ColorControl()->overlayPin() != nullptr; }, 3s));
    video->ColorControl()->setBrightness(2000);
    TColorControlForm colours(video);
    colours.show();
    ASSERT_TRUE(waitFor([&] { return colours.isVisible(); }, 3s));
    const QPoint centre = video->mapToGlobal(QPoint(160, 120));
    EXPECT_LE((colours.geometry().center() - centre).manhattanLength(), 2);
    EXPECT_EQ(colours.TrackBar1->value(), 2000);
    EXPECT_EQ(colours.CheckBox1->text(), "Utilized colors");
    EXPECT_EQ(colours.SpeedButton1->text(), "Reset to Default");
    pump(300);
    keepShot("colour-form");

    colours.TrackBar4->setValue(0);
    EXPECT_EQ(video->ColorControl()->Saturation(), 0);
    // The form covers the middle of the video; its left edge shows.
    EXPECT_TRUE(shows(inForm({0, 40, 26, 160}), grey));
    colours.SpeedButton1->click();
    EXPECT_EQ(colours.TrackBar4->value(), 10000);
    EXPECT_EQ(colours.TrackBar1->value(), 750);
    EXPECT_EQ(video->ColorControl()->Brightness(), 750);

    form.activateWindow();
    run("xdotool mousemove 600 450 click 1");
    EXPECT_TRUE(waitFor([&] { return !colours.isVisible(); }, 3s)) << "hidden on deactivation";
}
