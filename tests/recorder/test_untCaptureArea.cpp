#include "recorder/TScreenCam.h"
#include "recorder/untCaptureArea.h"
#include "support/QtEnvironment.h"
#include "ui/UiThread.h"

#include <QWidget>
// After gtest and Qt: Xlib defines macros (None, Bool) that clash with their names.
#include <X11/Xlib.h>

using namespace recorder;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {
auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("640x480x24"));

// Gives the root window a background of coloured 20 x 20 squares. A background (unlike
// drawing on the root) comes back whenever a window that covered it goes away.
void paintRoot() {
    Display* dpy = XOpenDisplay(nullptr);
    ASSERT_TRUE(dpy);
    const Window root = DefaultRootWindow(dpy);
    Pixmap pattern =
        XCreatePixmap(dpy, root, 640, 480, unsigned(DefaultDepth(dpy, DefaultScreen(dpy))));
    GC gc = XCreateGC(dpy, pattern, 0, nullptr);
    for (int y = 0; y < 480; y += 20)
        for (int x = 0; x < 640; x += 20) {
            XSetForeground(dpy, gc, (unsigned long)((x * 7919 + y * 104729) & 0xFFFFFF));
            XFillRectangle(dpy, pattern, gc, x, y, 20, 20);
        }
    XSetWindowBackgroundPixmap(dpy, root, pattern);
    XClearWindow(dpy, root);
    XFreeGC(dpy, gc);
    XFreePixmap(dpy, pattern);
    XSync(dpy, False);
    XCloseDisplay(dpy);
}

void mouse(const std::string& what) {
    const CommandResult r = run("xdotool " + what);
    ASSERT_EQ(r.exitCode, 0) << what << ": " << r.err;
    pump(150);
}

class CaptureAreaTest : public ::testing::Test {
  protected:
    void SetUp() override {
        paintRoot();
        setCaptureAreaChosen(false);
        mainWindow.setWindowTitle("stand-in main window");
        mainWindow.setGeometry(500, 400, 100, 50);
        mainWindow.show();
        pump(100);
    }
    // Opens a selection and waits for the frozen picture.
    void open() {
        finished = -1;
        TFrmCaptureArea::instance().Open(
            {&mainWindow}, [this](const QImage& p) { preview = p; },
            [this](bool chosen) { finished = chosen ? 1 : 0; });
        EXPECT_FALSE(mainWindow.isVisible());
        pump(1300);
        ASSERT_TRUE(TFrmCaptureArea::instance().isVisible());
        ASSERT_TRUE(TFrmCaptureArea::instance().crosshairMode());
    }
    TFrmCaptureArea& area() { return TFrmCaptureArea::instance(); }

    QWidget mainWindow;
    QImage preview;
    int finished = -1;
};

} // namespace

TEST_F(CaptureAreaTest, TheCrosshairFollowsTheMouseWithoutTrails) {
    open();
    const QImage& frozen = area().frozen();
    EXPECT_EQ(frozen.size(), QSize(640, 480));
    EXPECT_EQ(area().geometry(), QRect(0, 0, 640, 480));
    // The stand-in window had been hidden before the screen was frozen.
    EXPECT_EQ(frozen.pixel(550, 420), frozen.pixel(545, 425));
    mouse("mousemove 300 200");
    const QImage& canvas = area().canvas();
    EXPECT_EQ(canvas.pixel(300, 50), frozen.pixel(300, 50) ^ 0x00FFFFFF);
    EXPECT_EQ(canvas.pixel(50, 200), frozen.pixel(50, 200) ^ 0x00FFFFFF);
    mouse("mousemove 350 220");
    mouse("mousemove 120 400");
    // Only the lines through (120, 400) differ from the frozen screen.
    int differing = 0;
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x)
            if (canvas.pixel(x, y) != frozen.pixel(x, y)) {
                ++differing;
                ASSERT_TRUE(x == 120 || y == 400) << x << "," << y;
            }
    EXPECT_EQ(differing, 640 + 480 - 2); // the crossing pixel is inverted twice
    // The first click takes the crosshair away and starts the rubber band.
    mouse("click 1");
    EXPECT_TRUE(area().selecting());
    mouse("mousemove 200 300");
    mouse("mousemove 220 330");
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x)
            if (canvas.pixel(x, y) != frozen.pixel(x, y)) {
                ASSERT_TRUE((x == 120 || x == 220 || y == 400 || y == 330) && x >= 120 &&
                            x <= 220 && y >= 330 && y <= 400)
                    << x << "," << y;
            }
    mouse("key Escape");
}

TEST_F(CaptureAreaTest, EitherDragDirectionChoosesTheSameRectangle) {
    QRect chosen[2];
    const char* drags[2][2] = {{"mousemove 100 50 click 1", "mousemove 500 350 click 1"},
                               {"mousemove 500 350 click 1", "mousemove 100 50 click 1"}};
    for (int i = 0; i < 2; ++i) {
        setCaptureAreaChosen(false);
        open();
        mouse(drags[i][0]);
        mouse(drags[i][1]);
        EXPECT_EQ(finished, 1);
        EXPECT_TRUE(captureAreaChosen());
        EXPECT_FALSE(area().isVisible());
        EXPECT_TRUE(mainWindow.isVisible());
        const Rect r = area().captureBounds();
        chosen[i] = QRect(r.x, r.y, r.w, r.h);
        EXPECT_EQ(preview, area().frozen().copy(chosen[i]));
    }
    EXPECT_EQ(chosen[0], QRect(100, 50, 400, 300));
    EXPECT_EQ(chosen[1], chosen[0]);
}

TEST_F(CaptureAreaTest, ASecondClickOnTheSameRowOrColumnIsIgnored) {
    open();
    mouse("mousemove 100 100 click 1");
    mouse("mousemove 100 250 click 1"); // same column
    mouse("mousemove 300 100 click 1"); // same row
    EXPECT_TRUE(area().selecting());
    EXPECT_EQ(finished, -1);
    EXPECT_FALSE(captureAreaChosen());
    mouse("mousemove 300 250 click 1");
    EXPECT_EQ(finished, 1);
    const Rect r = area().captureBounds();
    EXPECT_EQ(QRect(r.x, r.y, r.w, r.h), QRect(100, 100, 200, 150));
}

TEST_F(CaptureAreaTest, EscapeCancelsAndKeepsTheFlagAndTheOldRectangle) {
    open();
    mouse("mousemove 10 10 click 1");
    mouse("mousemove 60 70 click 1");
    ASSERT_EQ(finished, 1);
    open();
    mouse("mousemove 200 200 click 1");
    mouse("key Escape");
    EXPECT_EQ(finished, 0);
    EXPECT_TRUE(captureAreaChosen());
    EXPECT_FALSE(area().isVisible());
    EXPECT_TRUE(mainWindow.isVisible());
    const Rect r = area().captureBounds();
    EXPECT_EQ(QRect(r.x, r.y, r.w, r.h), QRect(10, 10, 50, 60));
}

// After a selection the engine records exactly that rectangle of the screen.
TEST_F(CaptureAreaTest, ARecordingAfterASelectionHasTheChosenSizeAndPicture) {
    open();
    mouse("mousemove 100 50 click 1");
    mouse("mousemove 500 350 click 1");
    ASSERT_TRUE(captureAreaChosen());
    mouse("mousemove 630 470"); // keep the drawn cursor out of the rectangle

    TScreenCam engine;
    engine.quality = 10000; // so that only the 5-bit colour depth loses detail
    engine.areaFlag = captureAreaChosen();
    const std::string path = scratchDir("capturearea") + "/selection.avi";
    engine.startRecording(&area(), path);
    std::this_thread::sleep_for(500ms);
    engine.stopRecording();
    ASSERT_TRUE(engine.waitUntilIdle(10s));
    ASSERT_EQ(engine.lastResult(), 1);

    int w = 0, h = 0;
    const auto rgb = decodeFrameRgb(path, 0, w, h);
    ASSERT_EQ(w, 400);
    ASSERT_EQ(h, 300);
    ASSERT_FALSE(rgb.empty());
    const QImage& screen = area().frozen();
    int worst = 0, wx = 0, wy = 0;
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 400; ++x) {
            const QRgb s = screen.pixel(100 + x, 50 + y);
            const unsigned char* d = &rgb[(size_t(y) * 400 + size_t(x)) * 3];
            const int e = std::max(
                {std::abs(qRed(s) - d[0]), std::abs(qGreen(s) - d[1]), std::abs(qBlue(s) - d[2])});
            if (e > worst) worst = e, wx = x, wy = y;
        }
    SCOPED_TRACE("worst at " + std::to_string(wx) + "," + std::to_string(wy));
    // MS Video 1 keeps 5 bits a channel.
    EXPECT_LE(worst, 8);
}
