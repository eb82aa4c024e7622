// The images-to-AVI window under Xvfb with scripted dialogs: its components and defaults, the
// picture list, the checks of "Start" in their order, the refusal of an output named as a
// listed picture, the overwrite question, a run with the bar following it, and an unreadable
// picture shown as an error with the file closed behind it.
#include "avi/untBMPTOAVI.h"
#include "support/QtEnvironment.h"
#include "support/Screenshots.h"
#include "ui/Dialogs.h"
#include "ui/qt/QtDialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace avi;
using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("1024x768x24"));

std::string colourPicture(const std::string& name, const char* colour, const char* size) {
    return sharedClip("bmp2avi-window", name,
                      std::string("-f lavfi -i color=c=") + colour + ":s=" + size + " -frames:v 1");
}

struct BmpToAviTest : ::testing::Test {
    void SetUp() override {
        ui::setDialogs(&dialogs);
        dir = scratchDir("bmp2avi-window");
        red = colourPicture("red.png", "red", "320x240");
        blue = colourPicture("blue.bmp", "blue", "200x150");
        ASSERT_FALSE(red.empty() || blue.empty());
    }
    void TearDown() override { ui::setDialogs(nullptr); }

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& box : dialogs.shown())
            out.push_back(box.request.text);
        return out;
    }
    static std::vector<std::string> listed(const TFrmBMPTOAVI& w) {
        std::vector<std::string> out;
        for (int i = 0; i < w.ListBox1->count(); ++i)
            out.push_back(w.ListBox1->item(i)->text().toStdString());
        return out;
    }

    ui::ScriptedDialogs dialogs;
    std::string dir, red, blue;
};

TEST_F(BmpToAviTest, ComponentsAndDefaultsAsTheFormHasThem) {
    TFrmBMPTOAVI w;
    EXPECT_EQ(w.windowTitle(), "BMP2AVI");
    EXPECT_EQ(w.SpeedButton1->text(), "Add Image");
    EXPECT_EQ(w.SpeedButton2->text(), "Clear List");
    EXPECT_EQ(w.SpeedButton3->text(), "Start");
    EXPECT_EQ(w.SpeedButton4->text(), "Close");
    EXPECT_EQ(w.GroupBox1->title(), "Option");
    EXPECT_EQ(w.SpinEdit1->value(), 400);
    EXPECT_EQ(w.SpinEdit2->value(), 300);
    EXPECT_EQ(w.SpinEdit3->value(), 1000);
    EXPECT_EQ(w.ComboBox1->count(), 5);
    EXPECT_EQ(w.ComboBox1->itemText(0), "  1 Bit ");
    EXPECT_EQ(w.ComboBox1->itemText(1), "  4 Bit  ");
    EXPECT_EQ(w.ComboBox1->currentText(), "24 Bit");
    EXPECT_TRUE(w.CheckBox1->isChecked());
    EXPECT_EQ(w.CheckBox1->text(), "Stretch Images");
    EXPECT_EQ(w.ListBox1->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(w.AviWriter.Width(), 192);
    EXPECT_EQ(w.AviWriter.Height(), 144);
    EXPECT_EQ(w.AviWriter.FrameTime, 100);
    std::vector<std::string> labels;
    for (const QLabel* l : w.GroupBox1->findChildren<QLabel*>())
        labels.push_back(l->text().toStdString());
    EXPECT_EQ(labels, (std::vector<std::string>{"Frame Width", "Frame Height", "Frame Time [ms]",
                                                "Pixel Format"}));
}

// "Add Image" appends what the dialog returns, in its order, duplicates kept; the dialog
// offers the pictures Qt reads, no metafiles. "Clear List" empties the list.
TEST_F(BmpToAviTest, AddImageAppendsInOrderAndClearEmpties) {
    TFrmBMPTOAVI w;
    w.show();
    dialogs.queueFiles({red, blue});
    w.SpeedButton1->click();
    dialogs.queueFiles({});
    w.SpeedButton1->click(); // cancelled
    dialogs.queueFiles({red});
    w.SpeedButton1->click();
    EXPECT_EQ(listed(w), (std::vector<std::string>{red, blue, red}));
    ASSERT_EQ(dialogs.fileDialogs().size(), 3u);
    const std::string filter = dialogs.fileDialogs()[0].filter;
    for (const char* ext : {"*.bmp", "*.png", "*.jpg", "*.gif"})
        EXPECT_NE(filter.find(ext), std::string::npos) << ext << " in " << filter;
    for (const char* ext : {"*.emf", "*.wmf"})
        EXPECT_EQ(filter.find(ext), std::string::npos) << ext << " in " << filter;
    w.SpeedButton2->click();
    EXPECT_EQ(w.ListBox1->count(), 0);
}

// The checks of "Start" in order: the save dialog cancelled does nothing, an empty list is
// told, an output named as a listed picture is refused before anything is written over, and
// an existing output is asked about (No leaves it).
TEST_F(BmpToAviTest, StartChecksInOrder) {
    TFrmBMPTOAVI w;
    w.show();
    w.SpeedButton3->click(); // the save dialog cancelled
    EXPECT_TRUE(dialogs.shown().empty());
    dialogs.queueFile(dir + "/empty-list.avi");
    w.SpeedButton3->click();
    EXPECT_EQ(texts(), (std::vector<std::string>{"No images selected."}));
    ASSERT_EQ(dialogs.fileDialogs().size(), 2u);
    EXPECT_EQ(dialogs.fileDialogs()[1].filter, "Avi-Files|*.avi");
    EXPECT_EQ(dialogs.fileDialogs()[1].defaultExt, "avi");
    dialogs.clear();

    w.ListBox1->addItem(QString::fromStdString(red));
    w.ListBox1->addItem(QString::fromStdString(blue));
    const auto size = fs::file_size(blue);
    dialogs.queueFile(blue);
    w.SpeedButton3->click();
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].request.icon, ui::MsgIcon::Error);
    EXPECT_NE(texts()[0].find("is one of the listed pictures"), std::string::npos) << texts()[0];
    EXPECT_EQ(fs::file_size(blue), size);
    dialogs.clear();

    const std::string existing = dir + "/existing.avi";
    { std::ofstream(existing) << "keep me"; }
    dialogs.queueFile(existing);
    dialogs.queueAnswer(ui::MsgResult::No);
    w.SpeedButton3->click();
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].request.text, "File exists, overwrite?");
    EXPECT_EQ(dialogs.shown()[0].request.icon, ui::MsgIcon::Warning);
    EXPECT_EQ(dialogs.shown()[0].request.buttons, ui::MsgButtons::YesNo);
    EXPECT_EQ(fs::file_size(existing), 7u);
}

// A run: the spin edits and the check box set the writer, the bar ends at the number of
// pictures, no message follows, and the AVI has a frame per picture at the rounded size.
TEST_F(BmpToAviTest, StartWritesOneFramePerPicture) {
    TFrmBMPTOAVI w;
    w.show();
    dialogs.queueFiles({red, blue, red, blue});
    w.SpeedButton1->click();
    w.SpinEdit1->setValue(330);
    w.SpinEdit2->setValue(250);
    w.SpinEdit3->setValue(500);
    w.CheckBox1->setChecked(false);
    const std::string out = dir + "/run.avi";
    { std::ofstream(out) << "old"; }
    dialogs.queueFile(out);
    dialogs.queueAnswer(ui::MsgResult::Yes);
    pump(200);
    keepShot("bmp2avi-with-list");
    w.SpeedButton3->click();
    EXPECT_EQ(texts(), (std::vector<std::string>{"File exists, overwrite?"}));
    EXPECT_EQ(w.ProgressBar1->maximum(), 4);
    EXPECT_EQ(w.ProgressBar1->value(), 4);
    EXPECT_EQ(w.AviWriter.Width(), 320);
    EXPECT_EQ(w.AviWriter.Height(), 240);
    EXPECT_FALSE(w.AviWriter.Stretch);
    expectVideoStream(out, {"mpeg4", "XVID", "2/1", 320, 240});
    EXPECT_EQ(probeStream(out, "v:0").at("nb_read_packets"), "4");
    EXPECT_EQ(decodeAll(out).exitCode, 0);
}

// An unreadable picture is shown as an error naming it; the file keeps the frames before it.
TEST_F(BmpToAviTest, UnreadablePictureIsShownAndTheFileClosed) {
    const std::string bad = dir + "/broken.png";
    { std::ofstream(bad) << "not a PNG"; }
    TFrmBMPTOAVI w;
    w.show();
    w.ListBox1->addItem(QString::fromStdString(red));
    w.ListBox1->addItem(QString::fromStdString(bad));
    w.ListBox1->addItem(QString::fromStdString(blue));
    const std::string out = dir + "/broken-run.avi";
    fs::remove(out);
    dialogs.queueFile(out);
    w.SpeedButton3->click();
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].request.icon, ui::MsgIcon::Error);
    EXPECT_NE(texts()[0].find(bad), std::string::npos) << texts()[0];
    EXPECT_EQ(w.ProgressBar1->value(), 1);
    EXPECT_EQ(probeStream(out, "v:0").at("nb_read_packets"), "1");
    EXPECT_EQ(decodeAll(out).exitCode, 0);
}

// Under a window manager, with the real picture dialog: two pictures typed into its name box
// with real keys are both listed, in the order typed; the framed window is kept as a screenshot.
TEST_F(BmpToAviTest, TheRealPictureDialogTakesSeveralFiles) {
    if (run("command -v openbox").exitCode != 0) GTEST_SKIP() << "openbox is not installed";
    if (run("command -v xdotool").exitCode != 0) GTEST_SKIP() << "xdotool is not installed";
    WindowManager wm;
    ASSERT_TRUE(wm.ok()) << "openbox did not start";
    ui::QtDialogs qt;
    ui::ScopedDialogs real(qt);
    TFrmBMPTOAVI w;
    w.show();
    ASSERT_TRUE(waitFor([&] { return w.isActiveWindow(); }, 10s));
    bool typed = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            auto* d = qobject_cast<QFileDialog*>(top);
            if (!d || !d->isVisible() || !d->isActiveWindow() || typed) continue;
            typed = true;
            d->setDirectory(QString::fromStdString(dir));
            const std::string names = "\"" + fs::path(blue).filename().string() + "\" \"" +
                                      fs::path(red).filename().string() + "\"";
            run("xdotool type --delay 20 '" + names + "' && xdotool key Return");
        }
    });
    poll.start(50);
    w.SpeedButton1->click();
    poll.stop();
    EXPECT_TRUE(typed);
    const auto same = [](const std::string& a, const std::string& b) {
        return fs::equivalent(a, b);
    };
    const std::vector<std::string> got = listed(w);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(same(got[0], blue)) << got[0];
    EXPECT_TRUE(same(got[1], red)) << got[1];
    pump(300);
    keepShot("bmp2avi-framed");
}

} // namespace

// 500 pictures: the window keeps answering while they are written (a 10 ms timer never waits
// 200 ms), the bar follows, and Stop at half ends the file as a whole AVI of the frames
// written so far.
TEST_F(BmpToAviTest, StopAtHalfKeepsTheFramesWrittenAndTheWindowAnswersAllAlong) {
    const std::string pictures = dir + "/many";
    fs::create_directories(pictures);
    ASSERT_EQ(run("ffmpeg -v error -y -f lavfi -i testsrc2=s=800x600:r=25 -frames:v 500 "
                  "-start_number 1 '" +
                  pictures + "/p%03d.jpg'")
                  .exitCode,
              0);
    TFrmBMPTOAVI w;
    w.show();
    for (int i = 1; i <= 500; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "/p%03d.jpg", i);
        w.ListBox1->addItem(QString::fromStdString(pictures + name));
    }
    w.SpinEdit1->setValue(640);
    w.SpinEdit2->setValue(480);
    w.SpinEdit3->setValue(40);
    const std::string out = dir + "/stopped-half.avi";
    fs::remove(out);
    dialogs.queueFile(out);
    auto lastTick = std::chrono::steady_clock::now();
    double longestWait = 0;
    int stoppedAt = -1;
    bool stopEnabledWhileWriting = false, startDisabledWhileWriting = false;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const auto now = std::chrono::steady_clock::now();
        longestWait = std::max(longestWait, milliseconds(now - lastTick));
        lastTick = now;
        if (stoppedAt < 0 && w.ProgressBar1->value() >= 250) {
            stopEnabledWhileWriting = w.StopButton->isEnabled();
            startDisabledWhileWriting = !w.SpeedButton3->isEnabled();
            stoppedAt = w.ProgressBar1->value();
            w.StopButton->click();
        }
    });
    probe.start(10);
    lastTick = std::chrono::steady_clock::now();
    w.SpeedButton3->click();
    probe.stop();
    ASSERT_GE(stoppedAt, 250) << "the run ended before half";
    EXPECT_LT(longestWait, scaled(std::chrono::milliseconds(200)).count());
    EXPECT_TRUE(stopEnabledWhileWriting);
    EXPECT_TRUE(startDisabledWhileWriting);
    EXPECT_TRUE(w.SpeedButton3->isEnabled());
    EXPECT_FALSE(w.StopButton->isEnabled());
    EXPECT_FALSE(w.writing());
    const int written = w.ProgressBar1->value();
    EXPECT_GE(written, stoppedAt);
    EXPECT_LT(written, 500);
    ASSERT_EQ(texts().size(), 1u);
    EXPECT_EQ(texts()[0], "Stopped: " + out + " holds the first " + std::to_string(written) +
                              " of 500 pictures.");
    expectVideoStream(out, {"mpeg4", "XVID", "25/1", 640, 480});
    EXPECT_EQ(probeStream(out, "v:0").at("nb_read_packets"), std::to_string(written));
    EXPECT_EQ(decodeAll(out).exitCode, 0);
}

// Closing the window while it writes stops the run first: the window goes once the file is
// whole.
TEST_F(BmpToAviTest, ClosingWhileWritingEndsTheFileThenTheWindow) {
    TFrmBMPTOAVI w;
    for (int i = 0; i < 200; ++i)
        w.ListBox1->addItem(QString::fromStdString(i % 2 ? red : blue));
    const std::string out = dir + "/closed.avi";
    fs::remove(out);
    dialogs.queueFile(out);
    QTimer::singleShot(0, &w, [&] {
        QTimer::singleShot(0, &w, [&] {
            waitFor([&] { return w.ProgressBar1->value() >= 5; }, 10s);
            w.close();
            EXPECT_TRUE(w.isVisible()) << "gone before the file was ended";
        });
        w.SpeedButton3->click();
    });
    w.exec();
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.writing());
    EXPECT_TRUE(texts().empty()) << texts()[0];
    const int written = std::stoi(probeStream(out, "v:0").at("nb_read_packets"));
    EXPECT_GE(written, 5);
    EXPECT_LT(written, 200);
    EXPECT_EQ(decodeAll(out).exitCode, 0);
}
