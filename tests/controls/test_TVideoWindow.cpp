#include "controls/TVideoWindow.h"
#include "support/QtEnvironment.h"
#include "support/Screenshots.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QScreen>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <sstream>

using namespace media;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {
auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("640x480x24"));

// 10 s of flat red at 64x48, far smaller than any area it is shown in, without sound.
std::string redClip() {
    const std::string path = sharedClip("videowindow", "red10s.avi",
                                        "-f lavfi -i color=c=red:s=64x48:r=25 -t 10 -c:v mpeg4 "
                                        "-q:v 2");
    EXPECT_FALSE(path.empty());
    return path;
}

// Whether the picture covers the area: red at its corners (2 pixels in) and its middle, and
// not red just outside its right and bottom edges.
bool fills(const QImage& shot, const QRect& area) {
    const QRect in = area.adjusted(2, 2, -3, -3);
    for (const QPoint p :
         {in.topLeft(), in.topRight(), in.bottomLeft(), in.bottomRight(), in.center()})
        if (!isRed(shot.pixel(p))) return false;
    const QPoint right(area.right() + 3, area.center().y());
    const QPoint below(area.center().x(), area.bottom() + 3);
    for (const QPoint p : {right, below})
        if (shot.rect().contains(p) && isRed(shot.pixel(p))) return false;
    return true;
}

// A white form with the video window at (40, 30), 300 x 200, on a graph with the clip.
struct VideoForm : ::testing::Test {
    void SetUp() override {
        form.setGeometry(0, 0, 640, 480);
        QPalette p = form.palette();
        p.setColor(QPalette::Window, Qt::white);
        form.setPalette(p);
        form.setAutoFillBackground(true);
        video = new TVideoWindow(&form);
        video->setGeometry(40, 30, 300, 200);
        form.show();
        ASSERT_TRUE(waitFor([&] { return form.isVisible(); }, 5s));
        pump(200);
        before = foreignTopLevelWindows();
        ASSERT_FALSE(before.empty());
        graph.setActive(true);
        video->setFilterGraph(&graph);
        ASSERT_EQ(graph.RenderFile(redClip()), S_OK);
    }
    void TearDown() override {
        graph.Stop();
        delete video;
    }
    bool showsIn(const QRect& area, std::chrono::milliseconds timeout = 8s) {
        return waitFor([&] { return fills(screenshot(), area); }, timeout);
    }
    QRect screenArea() const { return QGuiApplication::primaryScreen()->geometry(); }

    TFilterGraph graph;
    QWidget form;
    TVideoWindow* video = nullptr;
    std::set<std::string> before;
};

} // namespace

// Playing, the picture (64 x 48) is scaled to fill the control's area, and follows the
// control when it is resized and when it is moved; the renderer draws into the window made
// for it, so no window of its own appears.
TEST_F(VideoForm, PictureFillsTheControlAndFollowsResizesAndMoves) {
    ASSERT_TRUE(graph.Play());
    EXPECT_TRUE(showsIn(QRect(40, 30, 300, 200)));
    keepShot("videowindow-normal");
    EXPECT_EQ(video->rendererWindow()->objectName(), "VideoRenderer");
    EXPECT_EQ(video->VideoHandle(), video->rendererWindow()->winId());
    uintptr_t owner = 0;
    ASSERT_EQ(video->VideoWindow()->get_Owner(&owner), S_OK);
    EXPECT_EQ(owner, uintptr_t(video->VideoHandle()));
    EXPECT_EQ(foreignTopLevelWindows(), before);

    video->resize(200, 150);
    EXPECT_TRUE(showsIn(QRect(40, 30, 200, 150)));
    video->move(300, 250);
    EXPECT_TRUE(showsIn(QRect(300, 250, 200, 150)));
    EXPECT_TRUE(waitFor([] { return !isRed(screenshot().pixel(100, 100)); }, 3s))
        << "the old place is uncovered";
    EXPECT_EQ(foreignTopLevelWindows(), before);
}

// Full screen moves the same X window into a borderless form over the screen and back, again
// and again while the video plays, without an X error (which would end the test program).
TEST_F(VideoForm, FullScreenAndBackWhilePlaying) {
    ASSERT_TRUE(graph.Play());
    ASSERT_TRUE(showsIn(QRect(40, 30, 300, 200)));
    const WId handle = video->VideoHandle();
    for (int i = 0; i < 10; ++i) {
        video->setFullScreen(true);
        ASSERT_TRUE(showsIn(screenArea())) << "round " << i;
        if (i == 0) keepShot("videowindow-fullscreen");
        video->setFullScreen(false);
        ASSERT_TRUE(showsIn(QRect(40, 30, 300, 200))) << "round " << i;
        ASSERT_TRUE(waitFor([] { return !isRed(screenshot().pixel(500, 400)); }, 3s))
            << "round " << i;
    }
    EXPECT_EQ(video->VideoHandle(), handle);
}

// A full screen asked for before playing applies at the play; mouse input on the picture
// reaches the control.
TEST_F(VideoForm, FullScreenBeforePlayAndClicksReachTheControl) {
    struct Clicks : QObject {
        int count = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::MouseButtonPress) ++count;
            return false;
        }
    } clicks;
    video->installEventFilter(&clicks);
    video->setFullScreen(true);
    ASSERT_TRUE(graph.Play());
    EXPECT_TRUE(showsIn(screenArea()));
    ASSERT_EQ(run("xdotool mousemove 320 240 click 1").exitCode, 0);
    EXPECT_TRUE(waitFor([&] { return clicks.count > 0; }, 3s));
    video->setFullScreen(false);
    EXPECT_TRUE(showsIn(QRect(40, 30, 300, 200)));
}

// A video window destroyed while the video plays stops its renderer before its X window goes;
// the graph goes on without it.
TEST_F(VideoForm, DestroyedWhilePlaying) {
    ASSERT_TRUE(graph.Play());
    ASSERT_TRUE(showsIn(QRect(40, 30, 300, 200)));
    delete video;
    video = nullptr;
    EXPECT_TRUE(waitFor([] { return !isRed(screenshot().pixel(190, 130)); }, 3s));
    EXPECT_TRUE(graph.Stop());
    EXPECT_TRUE(graph.Play());
    pump(300);
}

// Each close of a playing video stops the renderer and takes its window away from it. Done
// again and again for three seconds, the renderer keeps nothing of the window it was told to
// leave: no thread of the sink looks at it afterwards (ximagesink's own X event thread used to
// read the window it had just dropped, and ended the program one time in a few hundred closes).
// Given its window back, it draws there again.
TEST_F(VideoForm, RendererLetsGoOfItsWindowAgainAndAgain) {
    ASSERT_TRUE(graph.Play());
    ASSERT_TRUE(showsIn(QRect(40, 30, 300, 200)));
    const FilterPtr renderer = video->GetFilter();
    const std::shared_ptr<IVideoWindow> window = video->VideoWindow();
    ASSERT_TRUE(renderer && window);
    const uintptr_t handle = uintptr_t(video->VideoHandle());
    ASSERT_EQ(renderer->Stop(), S_OK);
    int rounds = 0;
    const auto until = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_EQ(window->put_Owner(0), S_OK);
        ASSERT_EQ(window->put_Owner(handle), S_OK);
        ++rounds;
    }
    EXPECT_GT(rounds, 50);
    uintptr_t owner = 0;
    ASSERT_EQ(window->get_Owner(&owner), S_OK);
    EXPECT_EQ(owner, handle);
    EXPECT_EQ(foreignTopLevelWindows(), before) << "the renderer opened a window of its own";
    ASSERT_TRUE(graph.Stop());
    ASSERT_TRUE(graph.Play());
    EXPECT_TRUE(showsIn(QRect(40, 30, 300, 200)));
}

// A form destroyed while the video plays, its renderer window going before the control (the
// control raised above it): the renderer stops before its X window goes.
TEST(VideoWindowForm, FormDestroyedWhilePlaying) {
    TFilterGraph graph;
    auto* form = new QWidget;
    form->setGeometry(0, 0, 640, 480);
    auto* video = new TVideoWindow(form);
    video->setGeometry(40, 30, 300, 200);
    form->show();
    graph.setActive(true);
    video->setFilterGraph(&graph);
    ASSERT_EQ(graph.RenderFile(redClip()), S_OK);
    ASSERT_TRUE(graph.Play());
    ASSERT_TRUE(waitFor([&] { return fills(screenshot(), QRect(40, 30, 300, 200)); }, 8s));
    video->raise();
    delete form;
    pump(300);
    EXPECT_TRUE(graph.Stop());
}

// Playing videos closed one after the other, as a user goes through files: forms destroyed
// while their video plays, the renderer's window going before the control or after it, and
// the graph going on each time. No close leaves the program with a crash or an X error.
TEST(VideoWindowForm, FormsDestroyedWhilePlayingOneAfterAnother) {
    TFilterGraph graph;
    graph.setActive(true);
    for (int round = 0; round < 12; ++round) {
        auto* form = new QWidget;
        form->setGeometry(0, 0, 640, 480);
        auto* video = new TVideoWindow(form);
        video->setGeometry(40, 30, 300, 200);
        form->show();
        video->setFilterGraph(&graph);
        ASSERT_EQ(graph.RenderFile(redClip()), S_OK) << "round " << round;
        ASSERT_TRUE(graph.Play()) << "round " << round;
        ASSERT_TRUE(waitFor([&] { return fills(screenshot(), QRect(40, 30, 300, 200)); }, 8s))
            << "round " << round;
        // Every other round the control lies above its renderer window, which then goes first.
        if (round % 2) video->raise();
        delete form;
        pump(50);
        EXPECT_TRUE(graph.Stop()) << "round " << round;
        graph.ClearGraph();
    }
}
