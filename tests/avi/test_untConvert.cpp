// The convert window under Xvfb with scripted dialogs: the empty-box checks, the source's
// information in both groups, a conversion to a chosen size and to the source's size, a second
// source in the same window, Stop, and the refusals that leave the buttons idle and the source
// as it was. The files written are read back with ffprobe.
#include "avi/untConvert.h"
#include "support/QtEnvironment.h"
#include "support/Screenshots.h"
#include "ui/Dialogs.h"
#include "ui/UiThread.h"
#include "ui/qt/QtDialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

using namespace avi;
using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("1024x768x24"));

std::string clip(const std::string& name, const std::string& args) {
    return sharedClip("convert-window", name, args);
}

// H.264 and AAC, as a phone or a camera writes them.
std::string mp4(const std::string& name, const std::string& size, int seconds) {
    return clip(name, "-f lavfi -i testsrc=size=" + size + ":rate=25 -f lavfi -i sine=r=44100 -t " +
                          std::to_string(seconds) +
                          " -ac 2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac");
}

double seconds(const std::map<std::string, std::string>& stream) {
    const auto d = stream.find("duration");
    return d == stream.end() ? -1 : std::atof(d->second.c_str());
}

std::string text(const QLineEdit* e) {
    return e->text().toStdString();
}

// The names of the probe graph's filters.
std::vector<std::string> probeGraph(TFrmConvert& w) {
    std::vector<std::string> out;
    if (auto graph = w.job.FilterGraph1.query<platform::dshow::IFilterGraph2>())
        for (const auto& f : graph->EnumFilters())
            out.push_back(f->name());
    return out;
}

std::string checksum(const std::string& path) {
    return run("md5sum < '" + path + "'").out;
}

struct ConvertWindowTest : ::testing::Test {
    void SetUp() override {
        ui::setDialogs(&dialogs);
        dir = scratchDir("convert-window");
    }
    void TearDown() override { ui::setDialogs(nullptr); }

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& box : dialogs.shown())
            out.push_back(box.request.text);
        return out;
    }
    static bool idle(const TFrmConvert& w) {
        return w.SpeedButton1->isEnabled() && !w.SpeedButton4->isEnabled() &&
               w.SpeedButton2->isEnabled();
    }
    void choose(TFrmConvert& w, const std::string& source) {
        dialogs.queueFile(source);
        w.SpeedButton3->click();
    }

    ui::ScriptedDialogs dialogs;
    std::string dir;
};

TEST_F(ConvertWindowTest, ChecksItsBoxesInOrder) {
    TFrmConvert w;
    w.show();
    pump(100);
    EXPECT_TRUE(idle(w));
    w.SpeedButton1->click();
    w.SourceEdit->setText("in.mp4");
    w.SpeedButton1->click();
    EXPECT_EQ(texts(), (std::vector<std::string>{"Please Choose  Convert Source File",
                                                 "Please Input Target File Name"}));
    EXPECT_EQ(w.focusWidget(), w.TargetEdit);
    EXPECT_TRUE(idle(w));
    // The target's dialog, as the form sets it.
    dialogs.queueFile(dir + "/chosen.avi");
    w.SpeedButton5->click();
    ASSERT_EQ(dialogs.fileDialogs().size(), 1u);
    const ui::FileDialogRequest save = dialogs.fileDialogs()[0];
    EXPECT_EQ(save.title, "Convert To Avi");
    EXPECT_EQ(save.fileName, "Convert");
    EXPECT_EQ(save.defaultExt, "avi");
    EXPECT_EQ(save.filter, "*.avi|*.avi");
    EXPECT_EQ(text(w.TargetEdit), dir + "/chosen.avi");
}

// Both information groups from the chosen source; the conversion at the size typed in, at the
// source's rate, with "Convert Complete!" and the buttons back to idle; nothing shown by the
// probe graph.
TEST_F(ConvertWindowTest, ShowsTheSourceThenConvertsItToTheChosenSize) {
    const std::string source = mp4("in-640.mp4", "640x360", 10);
    ASSERT_FALSE(source.empty());
    const std::string out = dir + "/converted-320.avi";
    fs::remove(out);
    TFrmConvert w;
    w.show();
    pump(100);
    choose(w, source);
    ASSERT_EQ(dialogs.fileDialogs().size(), 1u);
    EXPECT_EQ(dialogs.fileDialogs()[0].filter, ConvertOpenFilter);
    EXPECT_EQ(text(w.SourceEdit), source);
    EXPECT_EQ(text(w.Edit2), "Video");
    EXPECT_EQ(text(w.Edit4), "00:10");
    EXPECT_EQ(text(w.Edit5), "H264");
    EXPECT_EQ(text(w.Edit6), "640");
    EXPECT_EQ(text(w.Edit7), "360");
    EXPECT_EQ(text(w.Edit8), "24");
    EXPECT_EQ(text(w.Edit9), "Intel Conferencing");
    EXPECT_EQ(text(w.Edit23), "Audio");
    EXPECT_EQ(text(w.Edit11), "44100");
    EXPECT_EQ(text(w.Edit13), "2");
    EXPECT_EQ(text(w.Edit20), "640");
    EXPECT_EQ(text(w.Edit21), "360");
    EXPECT_FALSE(w.Edit2->isEnabled());
    w.repaint();
    pump(100);
    keepShot("convert_info");

    w.Edit20->setText("320");
    w.Edit21->setText("240");
    w.TargetEdit->setText(QString::fromStdString(out));
    const std::set<std::string> before = foreignTopLevelWindows();
    std::set<std::string> stray;
    bool sawBusy = false;
    auto* look = new QTimer(&w);
    QObject::connect(look, &QTimer::timeout, &w, [&] {
        for (const std::string& s : foreignTopLevelWindows())
            if (!before.count(s)) stray.insert(s);
        if (w.ProgressBar1->isVisible())
            sawBusy = sawBusy || (!w.SpeedButton1->isEnabled() && w.SpeedButton4->isEnabled() &&
                                  !w.SpeedButton2->isEnabled());
    });
    look->start(50);
    w.SpeedButton1->click();
    look->stop();
    EXPECT_TRUE(stray.empty()) << *stray.begin();
    EXPECT_TRUE(sawBusy);
    ASSERT_FALSE(dialogs.shown().empty());
    EXPECT_EQ(dialogs.shown().back().request.text, "Convert Complete!");
    EXPECT_TRUE(idle(w));
    EXPECT_FALSE(w.ProgressBar1->isVisible());
    const auto video = probeStream(out, "v:0");
    EXPECT_EQ(video.at("codec_name"), "mpeg4");
    EXPECT_EQ(video.at("codec_tag_string"), "XVID");
    EXPECT_EQ(video.at("width"), "320");
    EXPECT_EQ(video.at("height"), "240");
    EXPECT_EQ(video.at("r_frame_rate"), "25/1");
    EXPECT_NEAR(seconds(video), 10.0, 0.2);
    const auto audio = probeStream(out, "a:0");
    EXPECT_EQ(audio.at("codec_name"), "mp3");
    EXPECT_NEAR(seconds(audio), 10.0, 0.2);
    EXPECT_EQ(decodeAll(out).err, "");
}

// A second, shorter source in the same window gets its own length (the probe graph is cleared
// first), and an emptied width keeps the source's size.
TEST_F(ConvertWindowTest, ASecondSourceGetsItsOwnLengthAndAClearedSizeKeepsTheSources) {
    const std::string first = mp4("first.mp4", "320x240", 4);
    const std::string second = mp4("second.mp4", "176x144", 2);
    ASSERT_FALSE(first.empty() || second.empty());
    TFrmConvert w;
    w.show();
    pump(100);
    choose(w, first);
    const std::string out1 = dir + "/first.avi", out2 = dir + "/second.avi";
    w.TargetEdit->setText(QString::fromStdString(out1));
    w.SpeedButton1->click();
    ASSERT_EQ(texts().back(), "Convert Complete!");
    const std::vector<std::string> afterFirst = probeGraph(w);
    EXPECT_EQ(std::count(afterFirst.begin(), afterFirst.end(), "MP3Enc"), 1);
    choose(w, second);
    EXPECT_EQ(text(w.Edit4), "00:02");
    w.Edit20->clear();
    w.Edit21->setText("64");
    w.TargetEdit->setText(QString::fromStdString(out2));
    w.SpeedButton1->click();
    ASSERT_EQ(texts().back(), "Convert Complete!");
    // The probe graph holds the second source's chain alone, the MP3 encoder kept.
    EXPECT_EQ(probeGraph(w).size(), afterFirst.size());
    const auto v1 = probeStream(out1, "v:0");
    EXPECT_NEAR(seconds(v1), 4.0, 0.2);
    const auto v2 = probeStream(out2, "v:0");
    EXPECT_EQ(v2.at("width"), "176");
    EXPECT_EQ(v2.at("height"), "144");
    EXPECT_NEAR(seconds(v2), 2.0, 0.2);
    EXPECT_NEAR(seconds(probeStream(out2, "a:0")), 2.0, 0.2);
}

// Stop ends the conversion within 200 ms; the file is whole, and the buttons come back when
// the conversion has ended.
TEST_F(ConvertWindowTest, StopEndsTheConversionQuicklyWithAWholeFile) {
    // A Stop finishes the pictures already read ahead (up to two seconds of them wait in
    // the graph's queues), so its time is that of decoding and encoding them: at 640 x 360
    // that is well inside the limit on any machine, where 1280 x 720 took 150 to 290 ms on
    // two cores.
    const std::string source = mp4("long360.mp4", "640x360", 60);
    ASSERT_FALSE(source.empty());
    const std::string out = dir + "/stopped.avi";
    TFrmConvert w;
    w.show();
    pump(100);
    choose(w, source);
    w.TargetEdit->setText(QString::fromStdString(out));
    std::chrono::steady_clock::time_point stoppedAt{}, idleAt{};
    bool stopLeftOthersDisabled = false;
    // The bar has its room from the start: the window keeps its size when it appears.
    const QSize idleSize = w.size();
    QSize runningSize;
    auto* timer = new QTimer(&w);
    QObject::connect(timer, &QTimer::timeout, &w, [&] {
        if (stoppedAt == std::chrono::steady_clock::time_point{} && w.ProgressBar1->isVisible() &&
            w.ProgressBar1->value() > 20) {
            runningSize = w.size();
            keepShot("convert_running");
            stoppedAt = std::chrono::steady_clock::now();
            w.SpeedButton4->click();
            stopLeftOthersDisabled = !w.SpeedButton1->isEnabled() && !w.SpeedButton2->isEnabled() &&
                                     !w.SpeedButton4->isEnabled();
        }
    });
    timer->start(10);
    w.SpeedButton1->click();
    idleAt = std::chrono::steady_clock::now();
    timer->stop();
    ASSERT_NE(stoppedAt, std::chrono::steady_clock::time_point{}) << "the conversion ended first";
    EXPECT_LT(milliseconds(idleAt - stoppedAt), scaled(200ms).count());
    EXPECT_TRUE(stopLeftOthersDisabled);
    EXPECT_EQ(runningSize, idleSize);
    EXPECT_EQ(w.size(), idleSize);
    EXPECT_TRUE(idle(w));
    EXPECT_EQ(texts().back(), "Convert Complete!");
    const auto video = probeStream(out, "v:0");
    EXPECT_EQ(video.at("codec_tag_string"), "XVID");
    EXPECT_GT(seconds(video), 0.5);
    EXPECT_LT(seconds(video), 59.0);
    EXPECT_EQ(decodeAll(out).err, "");
}

// Each refusal names its file, leaves the buttons idle and the source as it was, and writes
// nothing.
TEST_F(ConvertWindowTest, RefusalsLeaveTheButtonsIdleAndTheSourceIntact) {
    const std::string source =
        clip("source.avi", "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi "
                           "-i sine=r=44100 -t 2 -c:v libxvid -vtag XVID "
                           "-c:a pcm_s16le");
    ASSERT_FALSE(source.empty());
    const std::string sum = checksum(source);
    const std::string random = dir + "/random.mp4";
    run("head -c 50000 /dev/urandom > '" + random + "'");
    const std::string linkToSource = dir + "/link-to-source.avi";
    fs::remove(linkToSource);
    fs::create_symlink(source, linkToSource);
    const std::string out = dir + "/refused.avi";
    fs::remove(out);
    TFrmConvert w;
    w.show();
    pump(100);
    struct Case {
        std::string source, target, width, height, named;
    } cases[] = {
        {source, source, "160", "120", source},
        {source, linkToSource, "160", "120", linkToSource},
        {dir + "/missing.mp4", out, "", "", dir + "/missing.mp4"},
        {random, out, "", "", random},
        {source, out, "0", "120", "0 x 120"},
        {source, out, "160", "8191", "160 x 8191"},
        {source, out, "16O", "120", "16O x 120"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target + " " + c.width);
        dialogs.clear();
        w.SourceEdit->setText(QString::fromStdString(c.source));
        w.TargetEdit->setText(QString::fromStdString(c.target));
        w.Edit20->setText(QString::fromStdString(c.width));
        w.Edit21->setText(QString::fromStdString(c.height));
        w.SpeedButton1->click();
        ASSERT_EQ(dialogs.shown().size(), 1u);
        EXPECT_EQ(dialogs.shown()[0].request.icon, ui::MsgIcon::Error);
        EXPECT_NE(dialogs.shown()[0].request.text.find(c.named), std::string::npos)
            << dialogs.shown()[0].request.text;
        EXPECT_TRUE(idle(w));
        EXPECT_FALSE(fs::exists(out));
        EXPECT_EQ(checksum(source), sum);
    }
}

// With the real Qt dialogs, answered while their own event loops run: the source chosen in
// the open dialog, and the completion box shown with the window already idle (Stop does
// nothing there, and a second Convert could start at once).
TEST_F(ConvertWindowTest, RealDialogsSourceChosenAndCompletionShownWithTheButtonsIdle) {
    const std::string source = mp4("real.mp4", "320x240", 2);
    ASSERT_FALSE(source.empty());
    const std::string out = dir + "/real.avi";
    ui::QtDialogs realDialogs;
    ui::ScopedDialogs useReal(realDialogs);
    ui::QtUiThread uiThread;
    ui::setUiThread(&uiThread);
    struct Restore {
        ~Restore() { ui::setUiThread(nullptr); }
    } restore;
    TFrmConvert w;
    w.show();
    pump(100);
    bool chosen = false, completeSeen = false, idleDuringBox = false;
    std::vector<std::string> others;
    QTimer driver;
    QWidget* answering = nullptr;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == &w || modal == answering) return;
        answering = modal;
        if (auto* open = qobject_cast<QFileDialog*>(modal)) {
            // As a user does: the whole name typed into the name box, then Open.
            if (auto* name = open->findChild<QLineEdit*>("fileNameEdit")) {
                name->setText(QString::fromStdString(source));
                static_cast<QDialog*>(open)->accept();
                chosen = true;
            }
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            if (box->text() == "Convert Complete!") {
                completeSeen = true;
                idleDuringBox = idle(w);
                w.SpeedButton4->click(); // disabled: nothing happens
            } else {
                others.push_back(box->text().toStdString());
            }
            box->button(QMessageBox::Ok)->click();
        }
        answering = nullptr;
    });
    driver.start(30);
    w.SpeedButton3->click();
    EXPECT_TRUE(chosen);
    EXPECT_EQ(text(w.SourceEdit), source);
    EXPECT_EQ(text(w.Edit2), "Video");
    w.TargetEdit->setText(QString::fromStdString(out));
    w.SpeedButton1->click();
    driver.stop();
    EXPECT_TRUE(completeSeen);
    EXPECT_TRUE(idleDuringBox);
    EXPECT_TRUE(others.empty()) << others.front();
    EXPECT_EQ(w.job.CompletionCode, 1); // the graph's own end, not a Stop
    EXPECT_NEAR(seconds(probeStream(out, "v:0")), 2.0, 0.2);
}

// A source that stops giving data (an AVI cut off after its first 10 KB): the window's
// conversion stops itself after the stall limit and says so in a warning, naming the stream
// never written, instead of waiting for ever or saying "Convert Complete!"; no file is left.
TEST_F(ConvertWindowTest, AStalledSourceEndsWithAWarningAndNoFile) {
    const std::string source = dir + "/cut-off.avi", out = dir + "/stalled.avi";
    ASSERT_EQ(run("ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine "
                  "-t 3 -c:v mjpeg -c:a libmp3lame '" +
                  dir + "/whole.avi' && head -c 10242 '" + dir + "/whole.avi' > '" + source + "'")
                  .exitCode,
              0);
    std::filesystem::remove(out);
    ui::QtDialogs realDialogs;
    ui::ScopedDialogs useReal(realDialogs);
    TFrmConvert w;
    w.show();
    pump(100);
    std::string warning;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !warning.empty()) return;
        warning = box->text().toStdString();
        icon = box->icon();
        keepShot("convert-stalled-warning");
        box->button(QMessageBox::Ok)->click();
    });
    driver.start(50);
    dialogs.queueFile(source);
    {
        ui::ScopedDialogs scripted(dialogs);
        w.SpeedButton3->click();
    }
    w.TargetEdit->setText(QString::fromStdString(out));
    w.SpeedButton1->click();
    driver.stop();
    EXPECT_NE(warning.find("made no progress for 10 s"), std::string::npos) << warning;
    EXPECT_NE(warning.find("before its picture was written: no file was made"), std::string::npos)
        << warning;
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_FALSE(fileExists(out));
    EXPECT_TRUE(idle(w));
}

} // namespace
