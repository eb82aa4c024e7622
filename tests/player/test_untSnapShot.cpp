#include "player/untPlay.h"
#include "player/untSnapShot.h"
#include "support/QtEnvironment.h"
#include "support/Screenshots.h"
#include "ui/Dialogs.h"
#include "ui/qt/QtDialogs.h"
#include "media/TSampleGrabber.h"
#include "platform/screen/Dib.h"
#include "ui/qt/DibImage.h"

#include <QFile>
#include <QFileDialog>
#include <QImageReader>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

#include <filesystem>

#include <chrono>
#include <cmath>
#include <cstdlib>

using namespace player;
using namespace testsupport;
using namespace platform::dshow;
using namespace std::chrono_literals;

namespace {
auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("1280x1024x24"));

std::string clip() {
    return sharedClip("snapshot", "testsrc.mp4",
                      "-f lavfi -i testsrc2=s=640x480:r=25 -f lavfi -i sine=f=440:r=44100 -t 10 "
                      "-c:v libx264 -pix_fmt yuv420p -g 25 -c:a aac -shortest");
}

// Mean absolute difference per channel between a picture and packed top-down RGB24.
double meanDifference(const QImage& picture, const std::vector<unsigned char>& rgb, int w, int h) {
    const QImage p = picture.convertToFormat(QImage::Format_RGB888);
    if (p.width() != w || p.height() != h) return 255;
    double sum = 0;
    for (int y = 0; y < h; ++y) {
        const uchar* line = p.constScanLine(y);
        for (int x = 0; x < w * 3; ++x)
            sum += std::abs(int(line[x]) - int(rgb[size_t(y) * w * 3 + x]));
    }
    return sum / (double(w) * h * 3);
}

// The player paused on the picture at 2.0 s.
struct Snapshot : ::testing::Test {
    void SetUp() override {
        player = std::make_unique<TFrmPlay>();
        player->show();
        ASSERT_FALSE(clip().empty());
        dialogs.queueFile(clip());
        player->ActOpen->trigger();
        ASSERT_TRUE(waitFor([&] { return player->FilterGraph1.State() == 3; }, 10s));
        auto seeking = player->FilterGraph1.as<IMediaSeeking>();
        int64_t p = 0;
        ASSERT_TRUE(
            waitFor([&] { return seeking->GetCurrentPosition(&p) == S_OK && p > 5000000; }, 5s));
        player->ActPause->trigger();
        ASSERT_TRUE(waitFor([&] { return player->FilterGraph1.State() == 2; }, 5s));
        // The picture at 2.0 s is in the grabber once the paused graph has taken it in place
        // of the one it paused on.
        const QImage before = grabbed();
        int64_t at = 20000000;
        player->FilterGraph1.as<IMediaSeeking>()->SetPositions(&at, AM_SEEKING_AbsolutePositioning,
                                                               nullptr, 0);
        ASSERT_TRUE(waitFor([&] { return grabbed() != before; }, 5s));
        dialogs.clear();
    }
    void TearDown() override { setSnapshotSourceLookup({}); }
    QImage grabbed() {
        platform::screen::PackedDib dib;
        return player->SampleGrabber.GetBitmap(dib) ? ui::imageFromDib(dib) : QImage();
    }
    TSnapshotSource playerSource() { return {player->VideoWindow1, &player->SampleGrabber}; }

    ui::ScriptedDialogs dialogs;
    ui::ScopedDialogs scoped{dialogs};
    std::unique_ptr<TFrmPlay> player;
};

TEST_F(Snapshot, ShowsTheCurrentFrameAndSavesItAtItsOwnSize) {
    TFrmSnapShot form(playerSource());
    form.show();
    ASSERT_TRUE(waitFor([&] { return form.isVisible(); }, 5s));
    EXPECT_EQ(form.windowTitle(), "Capture");
    // The window follows the video window on screen; the picture is the frame's own size.
    const QSize video = player->VideoWindow1->size();
    ASSERT_TRUE(waitFor(
        [&] {
            return form.frameGeometry().size() == QSize(video.width() + 12, video.height() + 77);
        },
        5s))
        << form.frameGeometry().width() << "x" << form.frameGeometry().height();
    ASSERT_FALSE(form.picture().isNull());
    EXPECT_EQ(form.picture().size(), QSize(640, 480));
    int w = 0, h = 0;
    const std::vector<unsigned char> frame50 = decodeFrameRgb(clip(), 50, w, h);
    ASSERT_EQ(w, 640);
    const double near50 = meanDifference(form.picture(), frame50, w, h);
    const std::vector<unsigned char> frame45 = decodeFrameRgb(clip(), 45, w, h);
    EXPECT_LT(near50, 3.0);
    // testsrc2 moves every picture: the frame 5 pictures away is plainly further off.
    EXPECT_LT(near50 * 2, meanDifference(form.picture(), frame45, w, h));
    pump(300);
    keepShot("snapshot_window");

    const std::string dir = scratchDir("snapshot_save");
    dialogs.queueFile(dir + "/image.bmp");
    form.SpeedButton1->click();
    QImage bmp(QString::fromStdString(dir + "/image.bmp"), "BMP");
    EXPECT_EQ(bmp.size(), QSize(640, 480));
    EXPECT_EQ(bmp.convertToFormat(QImage::Format_RGB888),
              form.picture().convertToFormat(QImage::Format_RGB888));

    // A .jpg name writes a real JPEG.
    dialogs.queueFile(dir + "/image.JPG");
    form.SpeedButton1->click();
    QFile jpg(QString::fromStdString(dir + "/image.JPG"));
    ASSERT_TRUE(jpg.open(QIODevice::ReadOnly));
    const QByteArray head = jpg.read(2);
    EXPECT_EQ(head, QByteArray("\xFF\xD8", 2));
    jpg.seek(0);
    EXPECT_EQ(QImageReader(&jpg).size(), QSize(640, 480));
    EXPECT_TRUE(dialogs.shown().empty());

    // A name that cannot be written shows the error box; the window stays.
    dialogs.queueFile(dir + "/no/such/folder/image.bmp");
    form.SpeedButton1->click();
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].request.icon, ui::MsgIcon::Error);
    EXPECT_NE(dialogs.shown()[0].request.text.find("no/such/folder/image.bmp"), std::string::npos);
    EXPECT_TRUE(form.isVisible());
}

TEST_F(Snapshot, NoFrameWritesNothingAndSaysSo) {
    // A grabber on a graph that has played nothing holds no frame.
    media::TFilterGraph idle;
    media::TSampleGrabber grabber;
    grabber.setFilterGraph(&idle);
    idle.setActive(true);
    TFrmSnapShot form({player->VideoWindow1, &grabber});
    form.show();
    EXPECT_TRUE(form.picture().isNull());
    const std::string path = scratchDir("snapshot_none") + "/image.bmp";
    dialogs.queueFile(path);
    form.SpeedButton1->click();
    EXPECT_FALSE(fileExists(path));
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_NE(dialogs.shown()[0].request.text.find("no picture"), std::string::npos);
    grabber.setFilterGraph(nullptr);
}

// The video capture window's source wins over the opener's when the lookup gives one.
TEST_F(Snapshot, TheCaptureWindowsSourceWins) {
    QWidget capture;
    capture.resize(200, 150);
    setSnapshotSourceLookup([&] { return TSnapshotSource{&capture, &player->SampleGrabber}; });
    TFrmSnapShot form(playerSource());
    form.show();
    EXPECT_EQ(form.source().videoWindow, &capture);
    ASSERT_TRUE(waitFor([&] { return form.frameGeometry().size() == QSize(212, 227); }, 5s));
    // A lookup that finds no capture window leaves the opener's.
    setSnapshotSourceLookup([] { return TSnapshotSource{}; });
    TFrmSnapShot second(playerSource());
    second.show();
    EXPECT_EQ(second.source().videoWindow, player->VideoWindow1);
}

// The player's Capture action opens the window modally and frees it when it closes.
TEST_F(Snapshot, PlayersCaptureOpensModally) {
    bool shown = false;
    QTimer::singleShot(300, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* s = dynamic_cast<TFrmSnapShot*>(w); s && s->isVisible()) {
                shown = !s->picture().isNull();
                s->SpeedButton2->click();
            }
    });
    player->ActSnapshot->trigger();
    EXPECT_TRUE(shown);
    for (QWidget* w : QApplication::topLevelWidgets())
        EXPECT_FALSE(dynamic_cast<TFrmSnapShot*>(w) && w->isVisible());
}

} // namespace

namespace {
// With the real save dialog: choosing the JPG filter and keeping the proposed bare name "image"
// writes a JPEG named image.jpg (extensions the dialog adds are lower case).
TEST_F(Snapshot, TheJpgFilterOfTheRealDialogWritesAJpeg) {
    ui::QtDialogs qt;
    ui::ScopedDialogs real(qt);
    const std::string dir = scratchDir("snapshot_filter");
    // An earlier run's picture would get the dialog's question before it is replaced.
    std::filesystem::remove(dir + "/image.jpg");
    TFrmSnapShot form(playerSource());
    form.show();
    ASSERT_TRUE(waitFor([&] { return form.isVisible(); }, 5s));
    bool answered = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible() && !answered) {
                answered = true;
                d->setDirectory(QString::fromStdString(dir));
                d->selectNameFilter("JPG (*.JPG)");
                QMetaObject::invokeMethod(d, "accept", Qt::QueuedConnection);
            }
    });
    poll.start(50);
    form.SpeedButton1->click();
    poll.stop();
    ASSERT_TRUE(answered);
    QFile jpg(QString::fromStdString(dir + "/image.jpg"));
    ASSERT_TRUE(jpg.open(QIODevice::ReadOnly)) << "the name gets the filter's extension";
    EXPECT_EQ(jpg.read(2), QByteArray("\xFF\xD8", 2));
}
} // namespace
