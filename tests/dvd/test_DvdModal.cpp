// The DVD player window as the program runs it: modal (exec()), under a window manager, with
// real mouse input from xdotool. The windows it opens besides itself (the colour controls, the
// full-screen form) must take input while it runs modally and stack above it.
#include "dvd/ColorControl.h"
#include "dvd/DSVideoWindowEx2.h"
#include "dvd/DvdPlay.h"
#include "support/DvdFixture.h"
#include "support/QtEnvironment.h"
#include "support/Screenshots.h"
#include "ui/Dialogs.h"
#include "ui/qt/QtDialogs.h"

#include <QApplication>
#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QMessageBox>
#include <QSlider>
#include <QStatusBar>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace dvd;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {
auto* env = ::testing::AddGlobalTestEnvironment(
    new QtEnvironment("1280x800x24", QtEnvironment::WithWindowManager));

std::string xdotool(const std::string& args) {
    return "xdotool " + args;
}
std::string at(const QPoint& p) {
    return std::to_string(p.x()) + " " + std::to_string(p.y());
}

// Pixels of strong colour (saturation above 100 of 255) in a region of the screen.
int colouredPixels(const QImage& shot, const QRect& region) {
    int n = 0;
    for (int y = region.top(); y <= region.bottom(); y += 4)
        for (int x = region.left(); x <= region.right(); x += 4)
            if (QColor(shot.pixel(x, y)).hsvSaturation() > 100) ++n;
    return n;
}

// The X windows on the root from bottom to top, as the window manager stacks them.
std::vector<unsigned long> stacking() {
    std::vector<unsigned long> ids;
    const CommandResult r = run("xwininfo -root -children");
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const auto hex = line.find("0x");
        if (hex == std::string::npos || line.find("child") != std::string::npos) continue;
        ids.push_back(std::stoul(line.substr(hex), nullptr, 16));
    }
    // xwininfo lists the top-most first.
    std::reverse(ids.begin(), ids.end());
    return ids;
}

// A window's top-left corner on the screen, as the X server has it.
QPoint screenOrigin(unsigned long w) {
    const std::string info = run("xwininfo -id " + std::to_string(w)).out;
    const auto number = [&](const char* label) {
        const auto at = info.find(label);
        return at == std::string::npos ? 0 : std::atoi(info.c_str() + at + std::strlen(label));
    };
    return QPoint(number("Absolute upper-left X:"), number("Absolute upper-left Y:"));
}

// The root's child (a window manager's frame, or the window itself) that holds window w.
unsigned long frameOf(unsigned long w) {
    for (;;) {
        const CommandResult r = run("xwininfo -tree -id " + std::to_string(w));
        const auto at = r.out.find("Parent window id: 0x");
        if (at == std::string::npos) return w;
        const unsigned long parent = std::stoul(r.out.substr(at + 17), nullptr, 16);
        if (r.out.find("(the root window)", at) < r.out.find('\n', at)) return w;
        w = parent;
    }
}

TEST(DvdModalWindow, ColourFormAndFullScreenTakeInputAndStayAbove) {
    if (!dvdVolumes().ok()) GTEST_SKIP() << "the test discs could not be made";
    if (run("command -v xdotool && command -v xwininfo").exitCode != 0)
        GTEST_SKIP() << "xdotool or xwininfo is not installed";
    ui::ScriptedDialogs dialogs;
    ui::setDialogs(&dialogs);
    setenv("XDG_DATA_HOME", scratchDir("dvd-modal-data/" + std::to_string(getpid())).c_str(), 1);
    TFormDVDPlayer form;
    form.move(20, 20);
    dialogs.queueFile(dvdVolumes().disc1 + "/VIDEO_TS/VIDEO_TS.IFO");

    enum Step {
        Open,
        PlayTitle,
        ShowColours,
        Drag,
        Look,
        ClickElsewhere,
        GoFullScreen,
        CheckAbove,
        Leave,
        Done
    };
    Step step = Open;
    int colouredBefore = -1, colouredAfter = -1, saturation = -1;
    bool hidden = false, fullScreenAbove = false, left = false;
    QElapsedTimer since;
    since.start();
    TColorControlForm* colours = nullptr;
    TDSVideoWindowEx2* video = form.DSVideoWindowEx1;
    const auto next = [&](Step s) {
        step = s;
        since.restart();
    };
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        if (QApplication::activeModalWidget() != &form) return;
        const QRect picture(video->mapToGlobal(QPoint(0, 0)), video->size());
        switch (step) {
        case Open:
            form.OpenClick();
            next(PlayTitle);
            break;
        case PlayTitle:
            // The menu's still is up and the picture runs through the colour mixer: a title
            // (a coloured picture with a white box moving) is played from there.
            if (!video->OverlayReady() || since.elapsed() < 1500) return;
            form.FilterGraph.query<IDvdControl2>()->PlayTitle(1, 0, nullptr);
            next(ShowColours);
            break;
        case ShowColours:
            if (since.elapsed() < 1500) return;
            colouredBefore = colouredPixels(screenshot(), picture.adjusted(8, 8, -8, -8));
            run(xdotool("mousemove " + at(form.ToolButton2->mapToGlobal(QPoint(8, 8))) +
                        " click 1"));
            next(Drag);
            break;
        case Drag: {
            colours = TFormDVDPlayer::colorControlForm();
            if (!colours || !colours->isVisible() || since.elapsed() < 500) return;
            // Where the form is on the screen, as X has it: Qt keeps the place it asked for
            // a frameless window only once the window manager has answered.
            const QPoint origin = screenOrigin(colours->winId());
            QSlider* bar = colours->TrackBar4; // saturation, at 10000 of 20000: the middle
            const QPoint middle = origin + bar->mapTo(colours, bar->rect().center());
            const QPoint leftEnd = origin + bar->mapTo(colours, QPoint(0, bar->height() / 2));
            run(xdotool("mousemove " + at(middle) + " mousedown 1 mousemove " +
                        at(middle - QPoint(20, 0)) + " mousemove " + at(leftEnd - QPoint(30, 0)) +
                        " mouseup 1"));
            next(Look);
            break;
        }
        case Look:
            if (since.elapsed() < 1000) return;
            saturation = colours->TrackBar4->value();
            colouredAfter = colouredPixels(screenshot(), picture.adjusted(8, 8, -8, -8));
            keepShot("dvd-modal-colours");
            next(ClickElsewhere);
            break;
        case ClickElsewhere:
            run(xdotool("mousemove " + at(form.StatusBar->mapToGlobal(QPoint(40, 8))) +
                        " click 1"));
            next(GoFullScreen);
            break;
        case GoFullScreen:
            if (since.elapsed() < 800) return;
            hidden = !colours->isVisible();
            run(xdotool("mousemove " + at(picture.center()) + " click --repeat 2 --delay 80 1"));
            next(CheckAbove);
            break;
        case CheckAbove: {
            if (!video->FullScreen()) {
                if (since.elapsed() > 5000) next(Done);
                return;
            }
            if (since.elapsed() < 1000) return;
            keepShot("dvd-modal-fullscreen");
            const std::vector<unsigned long> order = stacking();
            const auto place = [&](unsigned long w) {
                return std::find(order.begin(), order.end(), frameOf(w)) - order.begin();
            };
            fullScreenAbove = place(video->window()->winId()) > place(form.winId());
            run(xdotool("mousemove " + at(QPoint(640, 400)) + " click --repeat 2 --delay 80 1"));
            next(Leave);
            break;
        }
        case Leave:
            if (video->FullScreen() && since.elapsed() < 5000) return;
            left = !video->FullScreen();
            next(Done);
            break;
        case Done:
            form.close();
            break;
        }
    });
    driver.start(100);
    QTimer::singleShot(90000, &form, [&] { form.close(); });
    form.exec();
    driver.stop();
    ui::setDialogs(nullptr);
    EXPECT_EQ(step, Done);
    EXPECT_GT(colouredBefore, 20) << "the menu's picture has coloured buttons";
    EXPECT_LT(saturation, 3000) << "the drag moved the saturation slider";
    EXPECT_LT(colouredAfter, colouredBefore / 4) << "the picture lost its colour";
    EXPECT_TRUE(hidden) << "the colour form hides when the click goes elsewhere";
    EXPECT_TRUE(fullScreenAbove) << "full screen is stacked above the DVD window";
    EXPECT_TRUE(left) << "a double-click leaves full screen";
}

// A message the window shows while its picture is in full screen (a bookmark that cannot be
// read, asked for from the picture's menu) is stacked above the full-screen form, where the
// user sees it, and takes the Return key.
TEST(DvdModalWindow, AMessageShownInFullScreenStacksAboveIt) {
    if (!dvdVolumes().ok()) GTEST_FAIL() << "the test discs could not be made";
    if (run("command -v xdotool && command -v xwininfo").exitCode != 0)
        GTEST_SKIP() << "xdotool or xwininfo is not installed";
    ui::QtDialogs realDialogs;
    ui::setDialogs(&realDialogs);
    setenv("XDG_DATA_HOME", scratchDir("dvd-modal-box/" + std::to_string(getpid())).c_str(), 1);
    {
        std::filesystem::create_directories(
            std::filesystem::path(TFormDVDPlayer::bookmarkPath()).parent_path());
        std::ofstream damaged(TFormDVDPlayer::bookmarkPath(), std::ios::binary | std::ios::trunc);
        damaged << std::string(600, '\x5a');
    }
    TFormDVDPlayer form;
    form.move(20, 20);
    TDSVideoWindowEx2* video = form.DSVideoWindowEx1;
    enum Step { Open, FullScreen, Restore, Box, Done } step = Open;
    bool boxAbove = false, answered = false;
    std::string boxText;
    QElapsedTimer since;
    since.start();
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        switch (step) {
        case Open:
            if (modal != &form) return;
            form.Play(dvdVolumes().disc1 + "/VIDEO_TS/VIDEO_TS.IFO");
            step = FullScreen;
            since.restart();
            break;
        case FullScreen:
            if (!video->OverlayReady() || since.elapsed() < 1000) return;
            video->StartFullScreen();
            step = Restore;
            since.restart();
            break;
        case Restore:
            if (!video->FullScreen() || since.elapsed() < 1000) return;
            step = Box;
            since.restart();
            // Outside this handler: the message runs a loop of its own, in which this timer
            // must fire again.
            QTimer::singleShot(0, &form, [&form] {
                for (QAction* a : form.Popup->actions())
                    if (a->text().contains("Restore")) a->trigger();
                for (QMenu* m : form.Popup->findChildren<QMenu*>())
                    for (QAction* a : m->actions())
                        if (a->text().contains("Restore")) a->trigger();
            });
            break;
        case Box:
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                if (since.elapsed() < 1000) return;
                boxText = box->text().toStdString();
                keepShot("dvd-modal-fullscreen-message");
                const std::vector<unsigned long> order = stacking();
                const auto place = [&](unsigned long w) {
                    return std::find(order.begin(), order.end(), frameOf(w)) - order.begin();
                };
                boxAbove = place(box->winId()) > place(video->window()->winId());
                run(xdotool("key --window " + std::to_string(box->winId()) + " Return"));
                step = Done;
                since.restart();
            } else if (since.elapsed() > 8000) {
                std::fprintf(stderr, "no message box; modal: %s\n",
                             modal ? modal->metaObject()->className() : "none");
                step = Done;
            }
            break;
        case Done:
            if (modal != &form && since.elapsed() < 5000) return;
            answered = modal == &form;
            form.close();
            break;
        }
    });
    driver.start(100);
    QTimer::singleShot(60000, &form, [&] { form.close(); });
    form.exec();
    driver.stop();
    ui::setDialogs(nullptr);
    EXPECT_NE(boxText.find("bookmark"), std::string::npos) << boxText;
    EXPECT_TRUE(boxAbove) << "the message is stacked above the full-screen picture";
    EXPECT_TRUE(answered) << "Return answers the message";
}

} // namespace
