// The merge, split and link windows under Xvfb with scripted dialogs: the empty-box checks in
// their order, a job run from the buttons with the bar or label showing, every way of closing
// refused while the job runs, the completion messages with their captions, and the files the
// jobs write read back with ffprobe.
#include "support/QtEnvironment.h"
#include "support/Screenshots.h"
#include "tools/untLink.h"
#include "tools/untmerge.h"
#include "tools/untseparate.h"
#include "ui/Dialogs.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <filesystem>

using namespace tools;
using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("1024x768x24"));

std::string clip(const std::string& name, const std::string& args) {
    return sharedClip("tool-windows", name, args);
}

double seconds(const std::map<std::string, std::string>& stream) {
    const auto d = stream.find("duration");
    return d == stream.end() ? -1 : std::atof(d->second.c_str());
}

struct ToolWindowTest : ::testing::Test {
    void SetUp() override {
        ui::setDialogs(&dialogs);
        dir = scratchDir("tool-windows");
    }
    void TearDown() override { ui::setDialogs(nullptr); }

    // The texts of the message boxes shown so far.
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& box : dialogs.shown())
            out.push_back(box.request.text);
        return out;
    }
    // Once a job shows shownMark (its bar) in a window: a screenshot is kept, and every way of
    // closing the window is tried once.
    struct WhileRunning {
        bool tried = false, stayedOpen = true;
    };
    void tryClosingWhileRunning(TToolForm* w, QToolButton* closeButton, QWidget* shownMark,
                                WhileRunning* seen, const char* shot,
                                QToolButton* startAgain = nullptr) {
        // At the first events the job's loop lets through.
        auto* timer = new QTimer(w);
        timer->setInterval(0);
        QObject::connect(timer, &QTimer::timeout, w, [=] {
            if (seen->tried || !shownMark->isVisible()) return;
            seen->tried = true;
            w->repaint();
            QCoreApplication::processEvents();
            keepShot(shot);
            closeButton->click();
            w->close();  // the title bar
            w->reject(); // Escape
            seen->stayedOpen = w->isVisible();
            if (startAgain) startAgain->click(); // does nothing while the job runs
        });
        timer->start();
    }

    ui::ScriptedDialogs dialogs;
    std::string dir;
};

// The boxes are checked in the order audio, video, target; only the first empty one is told,
// and it gets the focus.
TEST_F(ToolWindowTest, MergeChecksItsBoxesInOrder) {
    TFrmmerge w;
    w.show();
    pump(200);
    w.SpeedButton3->click();
    w.AudioEdit->setText("a.mp3");
    w.SpeedButton3->click();
    w.VideoEdit->setText("v.avi");
    w.SpeedButton3->click();
    EXPECT_EQ(texts(), (std::vector<std::string>{"Please Choose then Audio file",
                                                 "Please Choose The Video file",
                                                 "Please input Save File Name"}));
    EXPECT_EQ(w.focusWidget(), w.MergeEdit);
}

// A merge from the buttons: the audio file chosen through the browse button, the bar shown
// while the graph writes, Close, the title bar and Escape refused with the window's message,
// then "Marge complete"; the picture is copied packet for packet and the sound is the MP3's.
TEST_F(ToolWindowTest, MergeRunsWithItsBarAndRefusesToCloseUntilItEnds) {
    const std::string video =
        clip("merge-v.avi", "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=r=44100 "
                            "-t 4 -c:v mpeg4 -vtag XVID -bf 2 -c:a libmp3lame");
    const std::string audio =
        clip("merge-a.mp3", "-f lavfi -i sine=f=660:r=44100 -t 6 -c:a libmp3lame");
    ASSERT_FALSE(video.empty() || audio.empty());
    const std::string out = dir + "/merged.avi";
    fs::remove(out);
    TFrmmerge w;
    w.show();
    pump(200);
    dialogs.queueFile(audio);
    w.SpeedButton1->click();
    EXPECT_EQ(w.AudioEdit->text().toStdString(), audio);
    ASSERT_EQ(dialogs.fileDialogs().size(), 1u);
    EXPECT_EQ(dialogs.fileDialogs()[0].title, "Open Audio File");
    w.VideoEdit->setText(QString::fromStdString(video));
    w.MergeEdit->setText(QString::fromStdString(out));
    WhileRunning seen;
    tryClosingWhileRunning(&w, w.SpeedButton4, w.ProgressBar1, &seen, "merge_running",
                           w.SpeedButton3);
    w.SpeedButton3->click();
    EXPECT_TRUE(seen.tried);
    EXPECT_TRUE(seen.stayedOpen);
    EXPECT_FALSE(w.ProgressBar1->isVisible());
    const auto shown = dialogs.shown();
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back().request.text, "Marge complete");
    EXPECT_EQ(shown.back().request.caption, "prompt");
    const std::vector<std::string> told = texts();
    EXPECT_EQ(std::count(told.begin(), told.end(), "Mergeing data, please wait close"), 3);
    EXPECT_EQ(std::count(told.begin(), told.end(), "Marge complete"), 1);
    EXPECT_EQ(
        run("ffmpeg -v error -i '" + out + "' -map 0:v -c copy -f framemd5 - | grep -v '^#'").out,
        run("ffmpeg -v error -i '" + video + "' -map 0:v -c copy -f framemd5 - | grep -v '^#'")
            .out);
    EXPECT_NEAR(seconds(probeStream(out, "a:0")), 6.0, 0.1);
    EXPECT_TRUE(w.isVisible());
    w.SpeedButton4->click();
    EXPECT_FALSE(w.isVisible());
}

// A split from the buttons: "Spilting..." while both graphs run, closing refused, then "Split
// complete" and the window closes; one MP3 stream in one file, one XviD stream in the other.
TEST_F(ToolWindowTest, SplitWritesBothFilesThenSaysSoAndCloses) {
    const std::string in =
        clip("split.avi", "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=r=44100 "
                          "-t 4 -c:v mpeg4 -vtag XVID -c:a pcm_s16le");
    ASSERT_FALSE(in.empty());
    const std::string a = dir + "/split-a.avi", v = dir + "/split-v.avi";
    TFrmseparate w;
    w.show();
    pump(200);
    EXPECT_FALSE(w.Label3->isVisible());
    w.SeparateEdit->setText(QString::fromStdString(in));
    w.AudioEdit->setText(QString::fromStdString(a));
    w.VideoEdit->setText(QString::fromStdString(v));
    w.SpeedButton3->click();
    EXPECT_TRUE(w.Label3->isVisible());
    w.repaint();
    keepShot("split_running");
    w.SpeedButton4->click();
    w.close();
    EXPECT_TRUE(w.isVisible());
    EXPECT_NE(texts().at(0), "");
    EXPECT_EQ(texts().at(0), "Split data..., please wait close");
    ASSERT_TRUE(waitFor([&] { return !w.isVisible(); }, 30s));
    const auto shown = dialogs.shown();
    EXPECT_EQ(shown.back().request.text, "Split complete");
    EXPECT_TRUE(shown.back().request.caption == "Info" || shown.back().request.caption == "info");
    EXPECT_EQ(probeStream(a, "a:0").at("codec_name"), "mp3");
    EXPECT_TRUE(probeStream(a, "v:0").empty());
    EXPECT_EQ(probeStream(v, "v:0").at("codec_tag_string"), "XVID");
    EXPECT_TRUE(probeStream(v, "a:0").empty());
}

// A source without sound is refused at once with its name; nothing is written.
TEST_F(ToolWindowTest, SplitOfAFileWithoutSoundIsRefusedAtOnce) {
    const std::string in = clip("silent.avi", "-f lavfi -i testsrc=size=320x240:rate=25 -t 2 "
                                              "-c:v mpeg4 -vtag XVID");
    ASSERT_FALSE(in.empty());
    const std::string a = dir + "/silent-a.avi", v = dir + "/silent-v.avi";
    fs::remove(a);
    fs::remove(v);
    TFrmseparate w;
    w.show();
    pump(200);
    w.SeparateEdit->setText(QString::fromStdString(in));
    w.AudioEdit->setText(QString::fromStdString(a));
    w.VideoEdit->setText(QString::fromStdString(v));
    w.SpeedButton3->click();
    ASSERT_EQ(texts().size(), 1u);
    EXPECT_NE(texts()[0].find(in), std::string::npos) << texts()[0];
    EXPECT_FALSE(w.Label3->isVisible());
    EXPECT_FALSE(fs::exists(a) || fs::exists(v));
    EXPECT_TRUE(w.isVisible());
}

// Link: the checks, the buttons while linking and after, closing refused while it runs, no
// stray window from the measuring graphs, "Link Complete" with its caption and icon, and the
// two files one after the other at the first one's size.
TEST_F(ToolWindowTest, LinkJoinsTwoFilesAndKeepsItsButtonsUntilStop) {
    const std::string one =
        clip("link1-pcm.avi", "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=r=44100 "
                              "-t 3 -c:v mpeg4 -vtag XVID -c:a pcm_s16le");
    const std::string two =
        clip("link2-pcm.avi", "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=r=44100 "
                              "-t 2 -c:v mpeg4 -vtag XVID -c:a pcm_s16le");
    ASSERT_FALSE(one.empty() || two.empty());
    const std::string out = dir + "/linked.avi";
    TFrmLink w;
    w.show();
    pump(200);
    w.SpeedButton3->click();
    w.VideoEdit1->setText(QString::fromStdString(one));
    w.SpeedButton3->click();
    w.VideoEdit2->setText(QString::fromStdString(two));
    w.SpeedButton3->click();
    EXPECT_EQ(texts(), (std::vector<std::string>{"Please Choose The Link File!",
                                                 "Please Choose The Link File!",
                                                 "Please Set  Target File Name!"}));
    dialogs.clear();
    w.MergeEdit->setText(QString::fromStdString(out));
    WhileRunning seen;
    // The windows of others before the link (Qt's own hidden ones among them) are not stray.
    const std::set<std::string> before = foreignTopLevelWindows();
    std::set<std::string> stray;
    auto* look = new QTimer(&w);
    QObject::connect(look, &QTimer::timeout, &w, [&] {
        for (const std::string& s : foreignTopLevelWindows())
            if (!before.count(s)) stray.insert(s);
    });
    look->start(200);
    tryClosingWhileRunning(&w, w.SpeedButton4, w.ProgressBar1, &seen, "link_running");
    w.SpeedButton3->click();
    look->stop();
    EXPECT_TRUE(seen.tried);
    EXPECT_TRUE(seen.stayedOpen);
    EXPECT_TRUE(stray.empty()) << *stray.begin();
    const auto shown = dialogs.shown();
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back().request.text, "Link Complete");
    EXPECT_EQ(shown.back().request.caption, "Prompt");
    EXPECT_EQ(shown.back().request.icon, ui::MsgIcon::Information);
    // After a link the buttons stay as they were while linking, until Stop.
    EXPECT_FALSE(w.SpeedButton3->isEnabled());
    EXPECT_FALSE(w.SpeedButton4->isEnabled());
    EXPECT_TRUE(w.SpeedButton6->isEnabled());
    w.SpeedButton6->click();
    EXPECT_TRUE(w.SpeedButton3->isEnabled() && w.SpeedButton4->isEnabled());
    EXPECT_FALSE(w.SpeedButton6->isEnabled());
    const auto video = probeStream(out, "v:0");
    EXPECT_EQ(video.at("codec_tag_string"), "XVID");
    EXPECT_EQ(video.at("width"), "320");
    EXPECT_NEAR(seconds(video), 5.0, 0.08);
    EXPECT_EQ(probeStream(out, "a:0").at("codec_name"), "mp3");
}

} // namespace
