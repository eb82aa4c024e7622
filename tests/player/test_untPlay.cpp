#include "player/untPlay.h"
#include "support/QtEnvironment.h"
#include "support/Screenshots.h"
#include "ui/Dialogs.h"

#include <QAction>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QStatusBar>
#include <QTime>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <gtest/gtest.h>

#include <chrono>

using namespace player;
using namespace testsupport;
using namespace platform::dshow;
using namespace std::chrono_literals;

namespace {
auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("1280x1024x24"));

constexpr int64_t Second = 10000000;

// 10 s of testsrc2 at 640 x 480, 25 fps, with a tone.
std::string mp4Clip() {
    return sharedClip("player", "testsrc.mp4",
                      "-f lavfi -i testsrc2=s=640x480:r=25 -f lavfi -i sine=f=440:r=44100 -t 10 "
                      "-c:v libx264 -pix_fmt yuv420p -g 25 -c:a aac -shortest");
}
std::string aviClip() {
    return sharedClip("player", "testsrc.avi",
                      "-f lavfi -i testsrc2=s=640x480:r=25 -f lavfi -i sine=f=440:r=44100 -t 10 "
                      "-c:v mjpeg -q:v 3 -c:a pcm_s16le -shortest");
}
std::string toneOnly() {
    return sharedClip("player", "tone.wav", "-f lavfi -i sine=f=440:r=44100 -t 5");
}

std::vector<std::string> boxTexts(const ui::ScriptedDialogs& d) {
    std::vector<std::string> out;
    for (const auto& s : d.shown())
        out.push_back(s.request.text);
    return out;
}

struct Player : ::testing::Test {
    void SetUp() override {
        form = new TFrmPlay;
        form->show();
        ASSERT_TRUE(waitFor([&] { return form->isVisible(); }, 5s));
    }
    void TearDown() override {
        setCutRenderer(renderTimeline);
        if (form) {
            form->close();
            delete form;
        }
    }
    void open(const std::string& file) {
        ASSERT_FALSE(file.empty());
        dialogs.queueFile(file);
        form->ActOpen->trigger();
        ASSERT_TRUE(waitFor([&] { return form->FilterGraph1.State() == 3; }, 10s));
    }
    int64_t position() {
        int64_t p = 0;
        form->FilterGraph1.as<IMediaSeeking>()->GetCurrentPosition(&p);
        return p;
    }
    double rate() {
        double r = 0;
        form->FilterGraph1.as<IMediaSeeking>()->GetRate(&r);
        return r;
    }
    void pauseAt(int64_t at) {
        form->ActPause->trigger();
        ASSERT_TRUE(waitFor([&] { return form->FilterGraph1.State() == 2; }, 5s));
        form->FilterGraph1.as<IMediaSeeking>()->SetPositions(&at, AM_SEEKING_AbsolutePositioning,
                                                             nullptr, 0);
        FILTER_STATE s;
        form->FilterGraph1.as<IMediaControl>()->GetState(5000, &s);
    }
    ui::ScriptedDialogs dialogs;
    ui::ScopedDialogs scoped{dialogs};
    QPointer<TFrmPlay> form;
};

TEST(PlayerTexts, MarksAndStatusLine) {
    struct Case {
        int64_t position;
        const char* mark;
    };
    for (const Case& c : {Case{65 * 60 * Second, "1:5:0:0"}, Case{65 * Second + 400000, "0:1:5:40"},
                          Case{0, "0:0:0:0"},
                          // 25 h 2 min 3.004 s: a time of day wraps past 24 hours.
                          Case{(25 * 3600 + 123) * Second + 40000, "1:2:3:4"}})
        EXPECT_EQ(markText(c.position).toStdString(), c.mark) << c.position;

    const QString status = positionStatusText(65 * 60 * Second, 2 * 3600 * 1000 + 61000);
    EXPECT_TRUE(status.startsWith("1:05:00 Duration: ")) << status.toStdString();
    // The duration as the locale writes a long time, and no time zone after it.
    QString format = QLocale().timeFormat(QLocale::LongFormat).remove('t').trimmed();
    EXPECT_EQ(status.mid(18), QTime(2, 1, 1).toString(format));
    EXPECT_FALSE(status.contains("UTC"));
    EXPECT_EQ(positionStatusText(9 * Second, 0).left(8), "0:00:09 ");
}

TEST_F(Player, FormAsLaidOut) {
    EXPECT_EQ(form->windowTitle(), "Play");
    QStringList order, hints;
    for (QAction* a : form->ActionToolBar1->actions()) {
        order << (a->isSeparator() ? "-" : a->objectName());
        if (!a->isSeparator()) hints << a->toolTip();
    }
    EXPECT_EQ(order,
              (QStringList{"ActPlay", "ActPause", "ActStop", "ActSlow", "ActFast", "ActOpen",
                           "ActStep", "ActFullScreen", "ActSnapshot", "ActCut", "-", "ActClose"}));
    EXPECT_EQ(hints,
              (QStringList{"Play", "Pause", "Stop", "Decrease Speed", "Increase Speed", "Open",
                           "Step Play", "Full Screen", "Capture", "Cutting", "Close"}));
    EXPECT_TRUE(form->Panel2->isHidden());
    EXPECT_TRUE(form->ProgressBar1->isHidden());
    EXPECT_EQ(form->log->height(), 66);
    EXPECT_EQ(form->Panel3->height(), 31);
    EXPECT_EQ(form->CompletionCode, 1);
    EXPECT_EQ(form->SpeedButton1->text(), "Save");
    EXPECT_EQ(form->FilterGraph1.Volume(), 10000);
}

TEST_F(Player, OpenSizesPlaysAndSetsRates) {
    const QSize before = form->frameGeometry().size();
    open(mp4Clip());
    const QRect want = form->sizedGeometry(640, 480);
    EXPECT_EQ(want.width(), 652);
    EXPECT_EQ(want.height(), form->ActionToolBar1->sizeHint().height() + 480 + 66 + 31 +
                                 form->StatusBar->sizeHint().height() + 40);
    ASSERT_TRUE(waitFor([&] { return form->frameGeometry().size() == want.size(); }, 5s))
        << before.width() << "x" << before.height();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(form->frameGeometry().left(), (screen.width() - 652) / 2);
    EXPECT_EQ(form->frameGeometry().top(), (screen.height() - want.height()) / 2);
    // The video area is the video's width between the 6-pixel borders; in height it gets the
    // 40 pixels allowed for the borders and the title bar, less what the frame takes.
    const int frame = form->frameGeometry().height() - form->height();
    EXPECT_EQ(form->VideoWindow1->width(), 640);
    EXPECT_EQ(form->VideoWindow1->height(), 480 + 40 - 12 - frame);
    ASSERT_TRUE(waitFor([&] { return position() > 0; }, 5s));
    keepShot("player_playing");

    form->ActFast->trigger();
    form->ActFast->trigger();
    EXPECT_DOUBLE_EQ(rate(), 1.5);
    form->ActSlow->trigger();
    EXPECT_DOUBLE_EQ(rate(), 0.5);
    // Opening again renders the file again at the graph's own rate.
    dialogs.queueFile(mp4Clip());
    form->ActOpen->trigger();
    EXPECT_DOUBLE_EQ(rate(), 1.0);

    // Play from a stopped graph renders the file once more in place of the old filters.
    ASSERT_TRUE(waitFor([&] { return form->FilterGraph1.State() == 3; }, 5s));
    const size_t filters = form->FilterGraph1.as<IFilterGraph2>()->EnumFilters().size();
    form->ActStop->trigger();
    EXPECT_EQ(form->FilterGraph1.State(), 1);
    form->ActPlay->trigger();
    ASSERT_TRUE(waitFor([&] { return form->FilterGraph1.State() == 3; }, 5s));
    EXPECT_EQ(form->FilterGraph1.as<IFilterGraph2>()->EnumFilters().size(), filters);
    // And from a running one the same.
    form->ActPlay->trigger();
    ASSERT_TRUE(waitFor([&] { return form->FilterGraph1.State() == 3; }, 5s));
    EXPECT_EQ(form->FilterGraph1.as<IFilterGraph2>()->EnumFilters().size(), filters);
    // The seek bar's tick writes the read-out.
    ASSERT_TRUE(
        waitFor([&] { return form->StatusBar->currentMessage().contains("Duration: "); }, 5s));
    EXPECT_TRUE(form->StatusBar->currentMessage().startsWith("0:00:0"));
    // The graph's events are logged one per line.
    EXPECT_FALSE(form->log->toPlainText().isEmpty());
}

TEST_F(Player, SizingKeepsALargeVideoOnTheScreenAndCountsTheCutPanel) {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    // Larger than the screen: the video area is scaled down, keeping its aspect, until the
    // whole window fits; smaller: the video's own size.
    const QRect large = form->sizedGeometry(1920, 1080);
    EXPECT_TRUE(screen.contains(large)) << large.width() << "x" << large.height();
    const int chrome = form->sizedGeometry(320, 240).height() - 240;
    EXPECT_NEAR(double(large.width() - 12) / (large.height() - chrome), 1920.0 / 1080, 0.01);
    EXPECT_TRUE(large.width() == screen.width() || large.height() == screen.height());
    EXPECT_EQ(form->sizedGeometry(640, 480).width(), 652);
    const int without = form->sizedGeometry(320, 240).height();
    form->showCutPanel(true);
    EXPECT_EQ(form->sizedGeometry(320, 240).height(), without + 42);
    // The cut action shows and hides the panel and changes the height by its own.
    const int h = form->height();
    form->ActCut->trigger();
    EXPECT_TRUE(form->Panel2->isHidden());
    EXPECT_EQ(form->height(), h - 42);
    form->ActCut->trigger();
    EXPECT_FALSE(form->Panel2->isHidden());
    EXPECT_EQ(form->height(), h);
}

// A 1920 x 1080 video on the 1280 x 1024 screen: the window would be larger than the screen,
// so the video is shown smaller and the whole window, frame included, lies on the screen.
TEST_F(Player, ALargeVideoIsShownSmallerSoTheWholeWindowIsOnTheScreen) {
    open(sharedClip("player", "large1080.avi",
                    "-f lavfi -i testsrc2=s=1920x1080:r=25 -t 2 -c:v mpeg4 -q:v 5"));
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect want = form->sizedGeometry(1920, 1080);
    ASSERT_TRUE(waitFor([&] { return form->frameGeometry() == want; }, 5s))
        << form->frameGeometry().width() << "x" << form->frameGeometry().height();
    EXPECT_TRUE(screen.contains(form->frameGeometry()));
    EXPECT_EQ(form->VideoWindow1->width(), want.width() - 12);
    EXPECT_LT(form->VideoWindow1->width(), 1920);
}

// A file without picture leaves the size, and the video area stays black: a window that lay
// over it (the Open dialog) leaves nothing behind.
TEST_F(Player, AFileWithoutVideoLeavesTheSizeAndABlackVideoArea) {
    const QSize before = form->size();
    open(toneOnly());
    pump(300);
    EXPECT_EQ(form->size(), before);
    const QRect area(form->VideoWindow1->mapToGlobal(QPoint(0, 0)), form->VideoWindow1->size());
    {
        QWidget cover;
        cover.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
        cover.setAutoFillBackground(true);
        cover.setPalette(QPalette(Qt::white));
        cover.setGeometry(area.adjusted(20, 20, -20, -20));
        cover.show();
        pump(300);
    }
    pump(500);
    const QImage shot = screenshot();
    int light = 0;
    for (int y = area.top() + 30; y < area.bottom() - 30; y += 10)
        for (int x = area.left() + 30; x < area.right() - 30; x += 10)
            light += qGray(shot.pixel(x, y)) > 60;
    EXPECT_EQ(light, 0) << "pixels of the covering window left in the video area";
}

// Marks belong to their file: opening another clears them, and the old end mark no longer
// stops playback.
TEST_F(Player, OpeningAnotherFileClearsTheMarks) {
    open(aviClip());
    form->ActCut->trigger();
    form->StartPos = 1 * Second / 2;
    form->EndPos = 1 * Second;
    form->StartPosEdit->setText(markText(form->StartPos));
    form->EndPosEdit->setText(markText(form->EndPos));
    open(mp4Clip());
    EXPECT_EQ(form->StartPos, 0);
    EXPECT_EQ(form->EndPos, 0);
    EXPECT_TRUE(form->StartPosEdit->text().isEmpty());
    EXPECT_TRUE(form->EndPosEdit->text().isEmpty());
    ASSERT_TRUE(waitFor([&] { return position() > 3 * Second / 2; }, 5s));
    EXPECT_EQ(form->FilterGraph1.State(), 3);
}

TEST_F(Player, StepPausedAndRunning) {
    open(aviClip());
    // Running: the step pauses the graph; no end mark, so only the box shows the position.
    ASSERT_TRUE(waitFor([&] { return position() > 5000000; }, 5s));
    form->ActStep->trigger();
    EXPECT_EQ(form->FilterGraph1.State(), 2);
    EXPECT_EQ(form->EndPos, 0);
    const int64_t first = position();
    EXPECT_EQ(form->EndPosEdit->text(), markText(first));
    // Paused with an end mark: the mark follows one picture on.
    form->EndPos = 1;
    form->ActStep->trigger();
    EXPECT_NEAR((form->EndPos - first) / 1e4, 40.0, 1.0);
    EXPECT_EQ(form->EndPosEdit->text(), markText(form->EndPos));
}

TEST_F(Player, EndMarkStopsPlayback) {
    open(aviClip());
    form->EndPos = 2 * Second;
    // The tick at or after the mark stops the graph; without the mark it would run 10 s.
    ASSERT_TRUE(waitFor([&] { return form->FilterGraph1.State() == 1; }, 6s));
    EXPECT_GE(position() == 0 ? 2 * Second : position(), 2 * Second);
}

// F5 and F6 reach the window while the video has the focus, as real keys.
TEST_F(Player, MarkKeysWithThePanelShownAndHidden) {
    open(aviClip());
    form->activateWindow();
    form->VideoWindow1->setFocus();
    ASSERT_TRUE(waitFor([&] { return QApplication::focusWidget() == form->VideoWindow1; }, 5s));
    const auto press = [](const char* key) {
        ASSERT_EQ(run(std::string("xdotool key ") + key).exitCode, 0);
    };
    press("F5");
    pump(300);
    EXPECT_TRUE(form->StartPosEdit->text().isEmpty());

    form->ActCut->trigger();
    form->VideoWindow1->setFocus();
    ASSERT_TRUE(waitFor([&] { return position() > 1 * Second; }, 5s));
    press("F5");
    ASSERT_TRUE(waitFor([&] { return !form->StartPosEdit->text().isEmpty(); }, 5s));
    EXPECT_GT(form->StartPos, 0);
    EXPECT_EQ(form->StartPosEdit->text(), markText(form->StartPos));
    ASSERT_TRUE(waitFor([&] { return position() > form->StartPos + 5000000; }, 5s));
    press("F6");
    ASSERT_TRUE(waitFor([&] { return !form->EndPosEdit->text().isEmpty(); }, 5s));
    EXPECT_GT(form->EndPos, form->StartPos);
    keepShot("player_cut_panel");
}

// A real double click on the picture goes full screen and back; the end of the file leaves
// full screen too.
TEST_F(Player, DoubleClickGoesFullScreenAndTheEndComesBack) {
    open(aviClip());
    const auto doubleClick = [&] {
        const QPoint at = form->VideoWindow1->mapToGlobal(form->VideoWindow1->rect().center());
        ASSERT_EQ(run("xdotool mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()) +
                      " click --repeat 2 --delay 80 1")
                      .exitCode,
                  0);
    };
    doubleClick();
    ASSERT_TRUE(waitFor([&] { return form->VideoWindow1->FullScreen(); }, 5s));
    doubleClick();
    ASSERT_TRUE(waitFor([&] { return !form->VideoWindow1->FullScreen(); }, 5s));
    form->ActFullScreen->trigger();
    ASSERT_TRUE(form->VideoWindow1->FullScreen());
    int64_t near = 9 * Second;
    ASSERT_EQ(form->FilterGraph1.as<IMediaSeeking>()->SetPositions(
                  &near, AM_SEEKING_AbsolutePositioning, nullptr, 0),
              S_OK);
    ASSERT_TRUE(waitFor([&] { return !form->VideoWindow1->FullScreen(); }, 10s))
        << "at " << position() << ", state " << form->FilterGraph1.State() << ", events:\n"
        << form->log->toPlainText().toStdString();
    EXPECT_NE(form->log->toPlainText().indexOf("EC_COMPLETE"), -1);
}

TEST_F(Player, SaveWithEmptyBoxesSaysSo) {
    form->showCutPanel(true);
    form->SpeedButton1->click();
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].request.text, "Please set the Start Postion and End Postion");
    EXPECT_EQ(dialogs.shown()[0].request.icon, ui::MsgIcon::Error);
    EXPECT_TRUE(dialogs.fileDialogs().empty());
}

// A render that runs until its completion code is written, processing events meanwhile, as
// the timeline render's wait loop does.
struct LoopingRender {
    int calls = 0;
    TExportRequest request;
    std::function<void()> during; // run once inside the loop
    TRenderResult operator()(const TExportRequest& r, long& code, const TRenderHooks& hooks) {
        ++calls;
        request = r;
        hooks.started(10 * Second);
        code = 0;
        bool ran = false;
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (code == 0 && std::chrono::steady_clock::now() < end) {
            hooks.progress(5 * Second, 10 * Second);
            hooks.processEvents();
            if (!ran && during) {
                ran = true;
                during();
            }
        }
        hooks.finished();
        TRenderResult result;
        result.completionCode = code;
        result.stopped = true;
        return result;
    }
};

struct PlayerCut : Player {
    void SetUp() override {
        Player::SetUp();
        open(aviClip());
        form->ActCut->trigger();
        form->StartPos = 1 * Second;
        form->EndPos = 3 * Second;
        form->StartPosEdit->setText("0:0:1:0");
        form->EndPosEdit->setText("0:0:3:0");
        output = scratchDir("playercut") + "/Cut.avi";
        dialogs.queueFile(output);
        setCutRenderer([this](const TExportRequest& r, long& code, const TRenderHooks& h) {
            return render(r, code, h);
        });
    }
    LoopingRender render;
    std::string output;
};

TEST_F(PlayerCut, SaveFillsTheRequestAndReportsAfterAStop) {
    bool barShown = false, statusShown = false;
    int value = -1;
    render.during = [&] {
        barShown = form->ProgressBar1->isVisible();
        value = form->ProgressBar1->value();
        statusShown = form->StatusBar->currentMessage() == "Cutting...";
        // A second Save while the render runs does nothing.
        form->SpeedButton1->click();
        form->ActStop->trigger();
    };
    form->SpeedButton1->click();
    EXPECT_EQ(render.calls, 1);
    EXPECT_TRUE(barShown);
    EXPECT_EQ(value, 500);
    EXPECT_TRUE(statusShown);
    const auto& req = render.request;
    EXPECT_EQ(req.detectionFile, aviClip());
    EXPECT_EQ(req.outputFile, output);
    EXPECT_EQ(req.videoWidth, 640);
    EXPECT_EQ(req.videoHeight, 480);
    ASSERT_EQ(req.clips.size(), 1u);
    EXPECT_EQ(req.clips[0].timelineStart, 0);
    EXPECT_EQ(req.clips[0].timelineStop, 2 * Second);
    EXPECT_EQ(req.clips[0].mediaStart, 1 * Second);
    EXPECT_EQ(req.clips[0].mediaStop, 3 * Second);
    EXPECT_EQ(req.clips[0].trackPriority, 0);
    ASSERT_TRUE(req.videoEncoderRule);
    EXPECT_TRUE(req.videoEncoderRule("xViD MPEG-4 Codec"));
    EXPECT_FALSE(req.videoEncoderRule("MPEG-4 XVID"));
    ASSERT_EQ(dialogs.fileDialogs().size(), 2u);
    EXPECT_EQ(dialogs.fileDialogs()[1].title, "保存文件");
    EXPECT_EQ(dialogs.fileDialogs()[1].defaultExt, "avi");
    EXPECT_EQ(dialogs.fileDialogs()[1].fileName, "Cut");

    EXPECT_EQ(boxTexts(dialogs), std::vector<std::string>{"Cut Complete!"});
    EXPECT_TRUE(form->ProgressBar1->isHidden());
    EXPECT_TRUE(form->StatusBar->currentMessage().isEmpty());
    EXPECT_EQ(form->StartPos, 0);
    EXPECT_EQ(form->EndPos, 0);
    EXPECT_TRUE(form->StartPosEdit->text().isEmpty());
    EXPECT_TRUE(form->EndPosEdit->text().isEmpty());
    EXPECT_EQ(form->CompletionCode, 1);
}

// Step without an end mark fills the End box; Save then cuts to the position the box shows.
TEST_F(PlayerCut, StepThenSaveCutsToTheSteppedPosition) {
    form->EndPos = 0;
    form->EndPosEdit->clear();
    ASSERT_TRUE(waitFor([&] { return position() > 2 * Second; }, 5s));
    form->ActStep->trigger();
    const int64_t stepped = position();
    EXPECT_EQ(form->EndPosEdit->text(), markText(stepped));
    render.during = [&] { form->ActStop->trigger(); };
    form->SpeedButton1->click();
    ASSERT_EQ(render.calls, 1) << "Save refused: "
                               << (boxTexts(dialogs).empty() ? "" : boxTexts(dialogs)[0]);
    ASSERT_EQ(render.request.clips.size(), 1u);
    EXPECT_EQ(render.request.clips[0].mediaStart, 1 * Second);
    EXPECT_EQ(render.request.clips[0].mediaStop, stepped);
    EXPECT_EQ(render.request.clips[0].timelineStop, stepped - 1 * Second);
}

// The cut from the window through the real timeline render: "Cut Complete!", the marks
// cleared, a file as long as the marked stretch (one frame either way), and the window's
// events flow all along (a 10 ms timer never waits 300 ms).
TEST_F(Player, CutFromTheWindowWritesTheMarkedStretch) {
    open(mp4Clip());
    form->ActCut->trigger();
    form->StartPos = 2 * Second;
    form->EndPos = 5 * Second;
    form->StartPosEdit->setText("0:0:2:0");
    form->EndPosEdit->setText("0:0:5:0");
    const std::string output = scratchDir("playercut-real") + "/Cut.avi";
    dialogs.queueFile(output);
    QTimer tick;
    auto last = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration longest{};
    bool shot = false;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const auto now = std::chrono::steady_clock::now();
        longest = std::max(longest, now - last);
        last = now;
        if (!shot && form->ProgressBar1->isVisible() && form->ProgressBar1->value() > 100) {
            keepShot("player-mid-cut");
            shot = true;
        }
    });
    tick.start(10);
    form->SpeedButton1->click();
    tick.stop();
    EXPECT_LT(longest, scaled(300ms));
    EXPECT_EQ(boxTexts(dialogs), std::vector<std::string>{"Cut Complete!"});
    EXPECT_EQ(form->StartPos, 0);
    EXPECT_EQ(form->EndPos, 0);
    EXPECT_TRUE(form->StartPosEdit->text().isEmpty());
    EXPECT_TRUE(form->ProgressBar1->isHidden());
    const int frames = std::stoi("0" + probeStream(output, "v:0")["nb_read_packets"]);
    EXPECT_NEAR(frames, 75, 1);
    EXPECT_EQ(probeStream(output, "a:0")["codec_name"], "mp3");
}

TEST_F(PlayerCut, StopEndsTheRenderAfterThePanelWasHidden) {
    render.during = [&] {
        form->ActCut->trigger();
        form->ActStop->trigger();
    };
    form->SpeedButton1->click();
    EXPECT_EQ(form->CompletionCode, 1);
    EXPECT_EQ(boxTexts(dialogs), std::vector<std::string>{"Cut Complete!"});
}

TEST_F(PlayerCut, ClosingDuringTheRenderStopsItAndClosesAfterTheLoop) {
    bool stayed = false;
    render.during = [&] {
        form->close(); // the title bar's close
        pump(50);
        stayed = form && form->isVisible();
    };
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->SpeedButton1->click();
    EXPECT_TRUE(stayed);
    EXPECT_EQ(boxTexts(dialogs), std::vector<std::string>{"Cut Complete!"});
    ASSERT_TRUE(waitFor([&] { return form.isNull(); }, 5s));
}

TEST_F(PlayerCut, CloseActionStopsTheRenderAndKeepsTheWindow) {
    render.during = [&] { form->ActClose->trigger(); };
    form->SpeedButton1->click();
    EXPECT_EQ(boxTexts(dialogs), std::vector<std::string>{"Cut Complete!"});
    EXPECT_TRUE(form->isVisible());
}

TEST_F(PlayerCut, RefusalsAndGraphErrorsAreShownAsErrors) {
    setCutRenderer([](const TExportRequest&, long&, const TRenderHooks&) -> TRenderResult {
        throw ERenderRefused("No XviD video encoder is installed");
    });
    form->SpeedButton1->click();
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].request.text, "No XviD video encoder is installed");
    EXPECT_EQ(dialogs.shown()[0].request.icon, ui::MsgIcon::Error);
    EXPECT_TRUE(form->StatusBar->currentMessage().isEmpty());
    EXPECT_EQ(form->CompletionCode, 1);

    dialogs.clear();
    dialogs.queueFile(output);
    setCutRenderer([](const TExportRequest&, long& code, const TRenderHooks&) {
        code = EC_ERRORABORT;
        TRenderResult r;
        r.completionCode = code;
        r.error = E_FAIL;
        return r;
    });
    form->SpeedButton1->click();
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_NE(dialogs.shown()[0].request.text, "Cut Complete!");
    EXPECT_EQ(dialogs.shown()[0].request.icon, ui::MsgIcon::Error);
}

} // namespace
