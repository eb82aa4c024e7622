#include "app/UntAbout.h"
#include "app/untMain.h"
#include "platform/dshow/devices/Devices.h"
#include "support/QtEnvironment.h"
#include "ui/Dialogs.h"
#include "ui/qt/ErrorBox.h"
#include "ui/qt/LinkLabel.h"
#include "ui/qt/Shell.h"
#include "ui/qt/TrayIcon.h"

#include <QAction>
#include <QDialog>
#include <QEnterEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

using namespace app;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// One Xvfb and one application for the program; the hot key is grabbed on that server.
auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("1024x768x24"));

QStringList captions(QMenu* menu) {
    QStringList out;
    for (QAction* a : menu->actions())
        out << (a->isSeparator() ? QString("-") : a->text());
    return out;
}

class MainWindowTest : public ::testing::Test {
  protected:
    ui::ScriptedDialogs dialogs;
    ui::ScopedDialogs useDialogs{dialogs};
};

// A stand-in tool window with the stop action the main window looks for.
QWidget* windowWithStop(int* stops) {
    auto* w = new QWidget;
    auto* stop = new QAction(w);
    stop->setObjectName("ActStop");
    QObject::connect(stop, &QAction::triggered, [stops] { ++*stops; });
    w->addAction(stop);
    return w;
}

} // namespace

TEST_F(MainWindowTest, LaysOutMenusToolBarAndHelpPanelAsTheFormHasThem) {
    TFrmMain w;
    ASSERT_FALSE(w.hotKeyTaken());
    w.show();
    pump(100);
    EXPECT_EQ(w.windowTitle(), "Tovamix 2.0.0.4");
    EXPECT_EQ(w.size(), QSize(425, 207));
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(w.frameGeometry().top(), 20);
    EXPECT_EQ(w.frameGeometry().left(), (1024 - w.frameGeometry().width()) / 2);

    QStringList menus;
    for (QAction* a : w.menuBar()->actions())
        menus << a->text();
    EXPECT_EQ(menus,
              (QStringList{" Option", " Video Devices", " Audio Devices ", " Tools ", " Help "}));
    EXPECT_EQ(captions(w.MenuOption),
              (QStringList{"Record Screen", "Capture Video", "Play", "-", "Exit"}));
    EXPECT_EQ(captions(w.MenuTools), (QStringList{"Merge", "Splitter ", "Link", "Cutting", "-",
                                                  "BMP To Avi", "Convert To Avi", "-", "DVDPlay"}));
    EXPECT_EQ(captions(w.MenuHelp), QStringList{"Abourt"});
    // The device menus list the machine's inputs, in the enumerator's order.
    for (auto [menu, category] :
         {std::pair{w.N3, &platform::dshow::CLSID_VideoInputDeviceCategory},
          std::pair{w.N4, &platform::dshow::CLSID_AudioInputDeviceCategory}}) {
        QStringList listed, found;
        for (QAction* a : menu->actions())
            listed << a->text();
        for (const auto& d : platform::dshow::enumerateCategory(*category))
            found << QString::fromStdString(d.friendlyName);
        EXPECT_EQ(listed, found);
    }

    const std::pair<const char*, const char*> actions[] = {{"ActExit", "Exit"},
                                                           {"ActRecordScreen", "Record Screen"},
                                                           {"ActVideoCapture", "Capture Video"},
                                                           {"ActPlay", "PlayBack"},
                                                           {"Actmerge", "Merge"},
                                                           {"ActSeparate", "Video Splitter "},
                                                           {"ActLink", "Video Link"},
                                                           {"ActCut", "Video Cut"},
                                                           {"ActBMPTOAVI", "BMP To Avi"},
                                                           {"ActConvert", "Convert To Avi"},
                                                           {"ActDvdPlay", "DVDPlay"},
                                                           {"ActAbout", "About"}};
    for (const auto& [name, caption] : actions) {
        auto* a = w.findChild<QAction*>(name);
        ASSERT_TRUE(a) << name;
        EXPECT_EQ(a->text(), caption) << name;
    }

    QStringList buttons, hints;
    for (QAction* a : w.ToolBar1->actions()) {
        if (a->isSeparator()) {
            buttons << "-";
            continue;
        }
        auto* b = qobject_cast<QToolButton*>(w.ToolBar1->widgetForAction(a));
        ASSERT_TRUE(b);
        buttons << b->text();
        hints << b->toolTip();
        EXPECT_EQ(b->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
        EXPECT_FALSE(b->icon().isNull());
        EXPECT_GE(b->width(), 79);
        EXPECT_EQ(b->height(), 44);
    }
    EXPECT_EQ(buttons, (QStringList{"Play", "Capture Video", "Record Screen", "-", "Exit"}));
    EXPECT_EQ(hints, (QStringList{"Play", "", "Record Screen", ""}));
    EXPECT_EQ(w.ToolBar1->iconSize(), QSize(24, 24));

    EXPECT_EQ(w.Label1->text(),
              "if get error \"not found codec\" when play or convert, you need install ");
    EXPECT_EQ(w.Label2->text(), "K-Lite Codec Pack ,Click the link below to download and install");
    EXPECT_TRUE(w.Label2->font().bold());
    EXPECT_EQ(w.LinkProduct->text(), QString(ProductUrl));
    EXPECT_EQ(w.LinkCodec->text(), "K-Lite Codec Pack");
    EXPECT_EQ(w.LinkSupport->text(), "More support...");

    EXPECT_EQ(w.abfTrayIcon1->hint(), "Tovamix");
    EXPECT_EQ(w.N42->text(), "Stop Record");
    EXPECT_FALSE(w.N42->isEnabled());
    EXPECT_EQ(w.N42->shortcut(), QKeySequence("Ctrl+A"));
    EXPECT_EQ(w.PopupMenu1->actions(), QList<QAction*>{w.N42});
    EXPECT_EQ(w.abfTrayIcon1->popupMenu(), nullptr); // given by Record Screen only
}

// Ctrl+A pressed anywhere clicks "Stop Record", which stops the recording window, but only
// while the item is enabled.
TEST_F(MainWindowTest, CtrlAStopsTheRecordingOnlyWhileStopRecordIsEnabled) {
    int stops = 0;
    ToolWindows tools;
    tools.recordScreen = [&] { return windowWithStop(&stops); };
    TFrmMain w(tools);
    ASSERT_FALSE(w.hotKeyTaken());
    w.show();
    w.ActRecordScreen->trigger();
    ASSERT_TRUE(w.FrmRecordScreen.exists());
    EXPECT_EQ(w.abfTrayIcon1->popupMenu(), w.PopupMenu1);
    pump(100);

    auto pressCtrlA = [] {
        const CommandResult r = run("xdotool key --clearmodifiers ctrl+a");
        ASSERT_EQ(r.exitCode, 0) << r.err;
        pump(300);
    };
    pressCtrlA();
    EXPECT_EQ(stops, 0);
    w.N42->setEnabled(true);
    pressCtrlA();
    EXPECT_EQ(stops, 1);
    w.N42->setEnabled(false);
    pressCtrlA();
    EXPECT_EQ(stops, 1);
}

// While no recording runs, Ctrl+A reaches the program that has the focus (xev here), as if
// Tovamix were not there; while "Stop Record" is enabled it is Tovamix's and reaches nobody
// else. The grab is held all the time (a second copy still finds the key taken).
TEST_F(MainWindowTest, CtrlAReachesOtherProgramsWhileNoRecordingRuns) {
    if (run("command -v xev").exitCode != 0) GTEST_SKIP() << "xev is not installed";
    int stops = 0;
    ToolWindows tools;
    tools.recordScreen = [&] { return windowWithStop(&stops); };
    TFrmMain w(tools);
    ASSERT_FALSE(w.hotKeyTaken());
    w.show();
    w.ActRecordScreen->trigger();
    pump(100);
    const std::string dir = scratchDir("hotkey-replay");
    const std::string log = dir + "/xev.log";
    const std::string pid =
        run("stdbuf -oL xev -name tovamix-xev -geometry 200x100+500+400 -event keyboard >'" + log +
            "' 2>/dev/null & echo $!")
            .out;
    struct KillOnExit {
        std::string pid;
        ~KillOnExit() { run("kill " + pid + " 2>/dev/null"); }
    } kill{pid.substr(0, pid.find('\n'))};
    std::string xev;
    ASSERT_TRUE(waitFor(
        [&] {
            xev = run("xdotool search --onlyvisible --name 'tovamix-xev|^Event Tester$' | head -1")
                      .out;
            return !xev.empty();
        },
        10s));
    xev = xev.substr(0, xev.find('\n'));
    // What xev printed since the last press (it keeps appending to its log).
    std::uintmax_t seen = 0;
    std::string printed;
    auto pressedAtXev = [&] {
        ASSERT_EQ(run("xdotool windowfocus --sync " + xev).exitCode, 0);
        pump(100);
        seen = std::filesystem::file_size(log);
        ASSERT_EQ(run("xdotool key --clearmodifiers ctrl+a").exitCode, 0);
        pump(400);
        std::ifstream in(log);
        in.seekg(std::streamoff(seen));
        printed.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    // A KeyPress of the A key with Control held (state 0x4).
    auto xevSawA = [&] {
        for (size_t at = printed.find("(keysym 0x61, a)"); at != std::string::npos;
             at = printed.find("(keysym 0x61, a)", at + 1)) {
            const size_t line = printed.rfind('\n', at);
            if (printed.compare(line + 1, 14, "    state 0x4,") == 0) return true;
        }
        return false;
    };
    pressedAtXev();
    EXPECT_TRUE(xevSawA()) << printed;
    EXPECT_EQ(stops, 0);
    w.N42->setEnabled(true);
    pressedAtXev();
    EXPECT_FALSE(xevSawA()) << printed;
    EXPECT_EQ(stops, 1);
    w.N42->setEnabled(false);
    pressedAtXev();
    EXPECT_TRUE(xevSawA()) << printed;
    EXPECT_EQ(stops, 1);
}

TEST_F(MainWindowTest, WrappedActionsReplaceErrorsWithTheDirectXMessage) {
    ToolWindows tools;
    bool dialogAlive = false;
    tools.merge = [&](QWidget* owner) {
        auto dialog = std::make_unique<QDialog>(owner);
        dialogAlive = true;
        QObject::connect(dialog.get(), &QObject::destroyed, [&] { dialogAlive = false; });
        throw std::runtime_error("no such filter");
    };
    tools.bmpToAvi = [](QWidget*) { throw std::runtime_error("Please add pictures"); };
    TFrmMain w(tools);
    w.Actmerge->trigger();
    w.ActBMPTOAVI->trigger();
    w.N3->clear(); // a machine without video devices (the tests' camera is listed otherwise)
    w.ActVideoCapture->trigger();
    EXPECT_FALSE(dialogAlive);
    const auto shown = dialogs.shown();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].request.text, DirectXMessage);
    EXPECT_EQ(shown[0].request.caption, "Tovamix");
    EXPECT_EQ(shown[0].request.icon, ui::MsgIcon::Error);
    EXPECT_EQ(shown[1].request.text, "Please add pictures");
    EXPECT_EQ(shown[2].request.text, "not found Video Device on your Computer\xEF\xBC\x81");
}

// "Capture Video" opens the first device inside its own wrapping: a device that fails to open
// gives the wrapping's message, as the other launching actions do.
TEST_F(MainWindowTest, CaptureVideoReportsAFailingDeviceWithTheDirectXMessage) {
    ToolWindows tools;
    std::vector<int> opened;
    tools.videoCapture = [] { return new QWidget; };
    tools.openVideoDevice = [&](QWidget*, int device) {
        opened.push_back(device);
        throw std::runtime_error("the device is busy");
    };
    TFrmMain w(tools);
    w.N3->clear();
    w.addVideoDevice("First Camera", 0);
    w.addVideoDevice("Second Camera", 1);
    w.ActVideoCapture->trigger();
    EXPECT_EQ(opened, std::vector<int>{0});
    const auto shown = dialogs.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].request.text, DirectXMessage);
}

TEST_F(MainWindowTest, ExitAsksFirstAndCancelKeepsTheProgramRunning) {
    TFrmMain w;
    w.show();
    dialogs.queueAnswer(ui::MsgResult::Cancel);
    w.ActExit->trigger();
    EXPECT_TRUE(w.isVisible());
    const auto shown = dialogs.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].request.text, "Sure to Exit?");
    EXPECT_EQ(shown[0].request.caption, "info");
    EXPECT_EQ(shown[0].request.icon, ui::MsgIcon::Question);
    EXPECT_EQ(shown[0].request.buttons, ui::MsgButtons::OkCancel);
    EXPECT_EQ(shown[0].request.defaultButton, ui::MsgResult::Cancel);
    // OK closes the main window, and that ends the event loop: the program's life follows
    // the main window, whatever other windows are still shown.
    QWidget other;
    other.show();
    dialogs.queueAnswer(ui::MsgResult::Ok);
    QTimer::singleShot(0, &w, [&] { w.ActExit->trigger(); });
    QTimer::singleShot(5000, [] { QCoreApplication::exit(7); }); // never reached when it ends
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_FALSE(w.isVisible());
}

// One window per kind, placed below the main window, shown again rather than made twice; the
// media actions close the other media windows first (the cut leaves audio capture open).
TEST_F(MainWindowTest, ModelessWindowsAreKeptOnceAndCloseEachOther) {
    int players = 0, stops = 0;
    std::vector<bool> cutPanel;
    ToolWindows tools;
    tools.player = [&] {
        ++players;
        return new QWidget;
    };
    tools.showCutPanel = [&](QWidget*, bool shown) { cutPanel.push_back(shown); };
    tools.audioCapture = [] { return new QWidget; };
    tools.recordScreen = [&] { return windowWithStop(&stops); };
    TFrmMain w(tools);
    w.show();
    pump(50);

    w.ActPlay->trigger();
    QWidget* player = w.FrmPlay.get();
    ASSERT_TRUE(player);
    w.ActPlay->trigger();
    EXPECT_EQ(w.FrmPlay.get(), player);
    EXPECT_EQ(players, 1);
    EXPECT_EQ(player->pos(), QPoint(w.frameGeometry().left(), w.frameGeometry().bottom() + 1));
    EXPECT_TRUE(player->testAttribute(Qt::WA_DeleteOnClose));

    w.OpenForAudioDevice(0);
    pump(20);
    EXPECT_FALSE(w.FrmPlay.exists());
    ASSERT_TRUE(w.FrmAudioCapture.exists());
    w.ActCut->trigger();
    pump(20);
    EXPECT_TRUE(w.FrmAudioCapture.exists());
    EXPECT_TRUE(w.FrmPlay.exists());
    EXPECT_EQ(players, 2);
    w.ActPlay->trigger();
    pump(20);
    EXPECT_FALSE(w.FrmAudioCapture.exists());
    EXPECT_EQ(cutPanel, (std::vector<bool>{false, false, true, false}));

    w.ActRecordScreen->trigger();
    pump(20);
    EXPECT_FALSE(w.FrmPlay.exists());
    EXPECT_TRUE(w.FrmRecordScreen.exists());
    // Closing a window clears its reference.
    w.FrmRecordScreen.get()->close();
    pump(20);
    EXPECT_FALSE(w.FrmRecordScreen.exists());
}

TEST_F(MainWindowTest, LinkLabelsTurnBlueUnderTheMouseAndOpenTheirAddress) {
    TFrmMain w;
    w.show();
    pump(50);
    QStringList opened;
    ui::setUrlOpener([&](const QString& url) {
        opened << url;
        return true;
    });
    ui::TLinkLabel* link = w.LinkCodec;
    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QCoreApplication::sendEvent(link, &enter);
    EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(link, &leave);
    EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(0, 0, 0));
    EXPECT_FALSE(link->testAttribute(Qt::WA_SetCursor));
    QTest::mouseClick(w.LinkSupport, Qt::LeftButton);
    QTest::mouseClick(w.LinkProduct, Qt::LeftButton);
    QTest::mouseClick(w.LinkCodec, Qt::LeftButton);
    EXPECT_EQ(opened, (QStringList{SupportUrl, ProductUrl, CodecUrl}));
    ui::setUrlOpener(nullptr);
}

TEST_F(MainWindowTest, AboutShowsTheVersionAndCloses) {
    TFrmMain w;
    w.show();
    QString caption, version;
    int width = 0;
    QTimer::singleShot(200, [&] {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* about = dynamic_cast<TFrmAbout*>(top); about && about->isVisible()) {
                caption = about->windowTitle();
                width = about->width();
                version = about->LabelVersion->text();
                about->ButtonClose->click();
            }
    });
    w.ActAbout->trigger(); // modal: returns once Close was pressed
    EXPECT_EQ(caption, "About");
    EXPECT_EQ(width, 580);
    EXPECT_EQ(version, "Tovamix Version 2.0.0.4");
}

TEST_F(MainWindowTest, AnErrorEscapingAnEventHandlerReachesTheErrorBox) {
    struct Thrower : QObject {
        bool event(QEvent* e) override {
            if (e->type() == QEvent::User) throw std::runtime_error("Error Creating AVI file");
            return QObject::event(e);
        }
    } thrower;
    QEvent e(QEvent::User);
    QCoreApplication::sendEvent(&thrower, &e);
    const auto shown = dialogs.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].request.text, "Error Creating AVI file");
    EXPECT_EQ(shown[0].request.icon, ui::MsgIcon::Error);
}

// Two real processes: the second finds Ctrl+A taken and ends at once, showing nothing.
TEST(SingleInstance, ASecondCopyEndsAtOnceWithStatusZero) {
    Xvfb x("800x600x24");
    ASSERT_TRUE(x.ok());
    const std::string d = "DISPLAY=" + x.display() + " ";
    const CommandResult first = run(d + TOVAMIX + " >/dev/null 2>&1 & echo $!");
    const std::string pid = first.out.substr(0, first.out.find('\n'));
    std::string windows;
    for (int i = 0; i < 100 && windows.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        windows = run(d + "xdotool search --onlyvisible --name 'Tovamix 2.0.0.4'").out;
    }
    ASSERT_FALSE(windows.empty()) << "the first copy never showed its window";
    const auto start = std::chrono::steady_clock::now();
    const CommandResult second = run(d + TOVAMIX);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(run(d + "xdotool search --onlyvisible --name 'Tovamix 2.0.0.4'").out, windows);
    run("kill " + pid);
}

// A double click on the tray icon while recording brings the windows back and never opens
// the menu under the second click (whose first item is "Stop Record"); a single click opens
// it once the double-click interval has passed, the right button at once. While the icon
// cycles, its hint counts the recording's time.
TEST_F(MainWindowTest, ADoubleClickOnTheTrayIconNeverStopsTheRecording) {
    int stops = 0;
    ToolWindows tools;
    tools.recordScreen = [&] { return windowWithStop(&stops); };
    TFrmMain w(tools);
    w.show();
    w.ActRecordScreen->trigger();
    ASSERT_TRUE(w.FrmRecordScreen.exists());
    w.N42->setEnabled(true); // as while a recording runs
    ui::TTrayIcon* tray = w.abfTrayIcon1;
    tray->setCycling(true);
    EXPECT_EQ(tray->toolTip(), "Recording 0:00:00");
    const int interval = QApplication::doubleClickInterval();

    tray->activate(QSystemTrayIcon::Trigger);
    pump(30);
    tray->activate(QSystemTrayIcon::DoubleClick);
    runFor(interval + 200);
    EXPECT_FALSE(w.PopupMenu1->isVisible());
    EXPECT_EQ(stops, 0);
    EXPECT_TRUE(w.isVisible());

    tray->activate(QSystemTrayIcon::Trigger);
    pump(30);
    EXPECT_FALSE(w.PopupMenu1->isVisible()) << "opened before a second click could come";
    runFor(interval + 200);
    EXPECT_TRUE(w.PopupMenu1->isVisible());
    w.PopupMenu1->hide();

    tray->activate(QSystemTrayIcon::Context);
    pump(50);
    EXPECT_TRUE(w.PopupMenu1->isVisible());
    w.PopupMenu1->hide();
    EXPECT_EQ(stops, 0);

    runFor(1000); // over a second and a half in all, on the clock
    const QString counted = tray->toolTip();
    EXPECT_TRUE(counted.startsWith("Recording 0:00:0") && counted != "Recording 0:00:00")
        << counted.toStdString();
    tray->setCycling(false);
    EXPECT_EQ(tray->toolTip(), "Tovamix");
}

TEST_F(MainWindowTest, TrayIconCyclesItsImagesEvery200MsWhileSwitchedOn) {
    TFrmMain w;
    ui::TTrayIcon* tray = w.abfTrayIcon1;
    EXPECT_EQ(tray->imageIndex(), 0);
    tray->setCycling(true);
    runFor(450); // two steps, on the clock
    EXPECT_TRUE(tray->cycling());
    EXPECT_EQ(tray->imageIndex(), 2);
    tray->setCycling(false);
    EXPECT_EQ(tray->imageIndex(), 0);
    runFor(250);
    EXPECT_EQ(tray->imageIndex(), 0);
    // Without a tray on this desktop, minimising is an ordinary minimise.
    EXPECT_FALSE(tray->trayAvailable());
    w.show();
    tray->minimizeToTray();
    pump(100);
    EXPECT_FALSE(tray->inTray());
    tray->restoreFromTray();
    pump(100);
    EXPECT_TRUE(w.isVisible());
}

namespace {

// Polls pred() until it holds or the timeout (stretched in sanitized runs) passes; for a
// program in another process, whose windows and window manager take their time.
bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5s) {
    const auto end = std::chrono::steady_clock::now() + scaled(timeout);
    bool holds = pred();
    while (!holds && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(100ms);
        holds = pred();
    }
    return holds;
}

// The program itself, started in the background on a display of the test's own, driven with
// real input as a person would drive it.
class RunningProgram {
  public:
    // Starts with no recording left in tmp by an earlier run (the program would offer to save
    // it), unless keepRecordings.
    RunningProgram(const std::string& display, const std::string& tmp, const std::string& errFile,
                   bool keepRecordings = false)
        : d_("DISPLAY=" + display + " ") {
        if (!keepRecordings)
            std::filesystem::remove_all(tmp + "/tovamix-" + std::to_string(geteuid()));
        // The sound server of the tests stays in reach though the runtime folder moves.
        std::string pulse = run("pactl info 2>/dev/null | sed -n 's/^Server String: //p'").out;
        pulse = pulse.substr(0, pulse.find('\n'));
        if (!pulse.empty()) pulse = "PULSE_SERVER='" + pulse + "' ";
        const CommandResult r = run(d_ + pulse + "TMPDIR='" + tmp + "' XDG_RUNTIME_DIR='" + tmp +
                                    "' " + TOVAMIX + " >/dev/null 2>'" + errFile + "' & echo $!");
        pid_ = r.out.substr(0, r.out.find('\n'));
    }
    ~RunningProgram() {
        if (alive()) run("kill -9 " + pid_);
    }
    // A process that has ended but is not yet reaped (a zombie) counts as ended.
    bool alive() const {
        std::ifstream stat("/proc/" + pid_ + "/stat");
        std::string line;
        if (!std::getline(stat, line)) return false;
        const size_t paren = line.rfind(')');
        return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] != 'Z';
    }
    // The first visible window whose name matches the pattern exactly, waited for.
    std::string window(const std::string& name, std::chrono::milliseconds timeout = 10s) const {
        std::string id;
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (id.empty() && std::chrono::steady_clock::now() < end) {
            id = run(d_ + "xdotool search --onlyvisible --name '^" + name + "$'").out;
            id = id.substr(0, id.find('\n'));
            if (id.empty()) std::this_thread::sleep_for(100ms);
        }
        return id;
    }
    // Names of this program's visible windows.
    std::string visibleWindows() const {
        return run("export " + d_ + "; for w in $(xdotool search --onlyvisible --pid " + pid_ +
                   "); do xdotool getwindowname $w; done")
            .out;
    }
    // Whether the window manager lists the window among its clients, as task bars show them
    // (a minimised window stays listed; a window gone into the tray does not).
    bool listed(const std::string& window) const {
        const std::string list = run(d_ + "xprop -root _NET_CLIENT_LIST").out;
        char hex[32];
        std::snprintf(hex, sizeof hex, "0x%lx", std::strtoul(window.c_str(), nullptr, 10));
        return list.find(std::string(hex) + ",") != std::string::npos ||
               list.find(std::string(hex) + "\n") != std::string::npos;
    }
    void click(const std::string& window, int x, int y) const {
        ASSERT_EQ(run(d_ + "xdotool mousemove --window " + window + " " + std::to_string(x) + " " +
                      std::to_string(y) + " click 1")
                      .exitCode,
                  0);
    }
    void key(const std::string& keys) const {
        ASSERT_EQ(run(d_ + "xdotool key --clearmodifiers " + keys).exitCode, 0);
    }
    // The window's outer size: its client size plus the frame the window manager draws.
    QSize outerSize(const std::string& window) const {
        const std::string geometry = run(d_ + "xwininfo -id " + window).out;
        auto field = [&](const std::string& name) {
            const size_t at = geometry.find(name);
            return at == std::string::npos ? -1 : std::atoi(geometry.c_str() + at + name.size());
        };
        int l = 0, r = 0, t = 0, b = 0;
        std::sscanf(run(d_ + "xprop -id " + window + " _NET_FRAME_EXTENTS").out.c_str(),
                    "_NET_FRAME_EXTENTS(CARDINAL) = %d, %d, %d, %d", &l, &r, &t, &b);
        return QSize(field("Width: ") + l + r, field("Height: ") + t + b);
    }
    void signal(const std::string& name) const { run("kill -" + name + " " + pid_); }
    // Waits until the process has ended; how long it took.
    std::chrono::milliseconds waitForEnd(std::chrono::milliseconds timeout) const {
        const auto start = std::chrono::steady_clock::now();
        while (alive() && std::chrono::steady_clock::now() - start < timeout)
            std::this_thread::sleep_for(20ms);
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
    }

  private:
    std::string d_;
    std::string pid_;
};

// Where the program keeps its screen recording under the temporary folder tmp.
std::string findVideoTemp(const std::string& tmp) {
    const std::string found = run("find '" + tmp + "' -name VideoTemp.avi -type f | head -1").out;
    return found.substr(0, found.find('\n'));
}

// Positions inside the windows, from their forms: the main window's "Record Screen" and
// "Exit" buttons, and the Record Screen window's "Start Record" button.
constexpr int CaptureVideoButtonX = 133, RecordScreenButtonX = 237, ExitButtonX = 335,
              MainButtonsY = 42;
constexpr int StartRecordX = 20, StartRecordY = 19, StopRecordX = 53;

} // namespace

// Opens Record Screen from the main window and starts a recording with real clicks and keys;
// once its video file has been written for over a second, *video names it (empty on failure).
void startRecording(const RunningProgram& program, const std::string& tmp, std::string* main,
                    std::string* video) {
    *main = program.window("Tovamix 2.0.0.4");
    ASSERT_FALSE(main->empty()) << "the program never showed its window";
    program.click(*main, RecordScreenButtonX, MainButtonsY);
    const std::string recordScreen = program.window("Record Screen");
    ASSERT_FALSE(recordScreen.empty());
    program.click(recordScreen, StartRecordX, StartRecordY);
    ASSERT_FALSE(program.window("Info").empty());
    program.key("Return");
    for (int i = 0; i < 100 && video->empty(); ++i) {
        std::this_thread::sleep_for(100ms);
        *video = findVideoTemp(tmp);
    }
    if (!video->empty()) std::this_thread::sleep_for(1200ms);
}

// "Exit" then OK while a recording runs: the recording is stopped, its file finished, and the
// program ends at once, with the Record Screen window open; the hot key is free again.
TEST(ProgramLife, ExitDuringARecordingEndsTheProgramAndKeepsTheRecording) {
    Xvfb x("1024x768x24");
    ASSERT_TRUE(x.ok());
    const std::string tmp = scratchDir("program-exit");
    run("chmod 700 '" + tmp + "'");
    RunningProgram program(x.display(), tmp, tmp + "/stderr");
    std::string main, video;
    // Without a tray the windows stay on this screen (there is no window manager to
    // minimise them), so "Exit" can be pressed while the engine records.
    startRecording(program, tmp, &main, &video);
    ASSERT_FALSE(video.empty());
    program.click(main, ExitButtonX, MainButtonsY);
    ASSERT_FALSE(program.window("info").empty());
    program.key("shift+Tab space"); // OK; Cancel is the default button
    const auto took = program.waitForEnd(10s);
    EXPECT_FALSE(program.alive());
    EXPECT_LT(took, 2s);
    std::printf("the program ended %lld ms after OK\n", static_cast<long long>(took.count()));
    // The recording is a whole file of more than a second.
    EXPECT_EQ(decodeAll(video).exitCode, 0);
    EXPECT_GT(std::atof(probeVideo(video)["duration"].c_str()), 1.0);
    // The hot key is free: a new copy starts and stays.
    RunningProgram again(x.display(), tmp, tmp + "/stderr2");
    EXPECT_FALSE(again.window("Tovamix 2.0.0.4").empty());
    EXPECT_TRUE(again.alive());
}

// SIGTERM (a logout) while recording: the program stops the recording as Ctrl+A does, keeps
// its files unsaved and names them; the next start offers to save it ("Prompt").
TEST(ProgramLife, SigtermDuringARecordingKeepsItAndTheNextStartOffersIt) {
    Xvfb x("1024x768x24");
    ASSERT_TRUE(x.ok());
    const std::string tmp = scratchDir("program-sigterm");
    run("chmod 700 '" + tmp + "'");
    std::string video;
    {
        RunningProgram program(x.display(), tmp, tmp + "/stderr");
        std::string main;
        startRecording(program, tmp, &main, &video);
        ASSERT_FALSE(video.empty());
        program.signal("TERM");
        program.waitForEnd(10s);
        EXPECT_FALSE(program.alive());
    }
    std::ifstream err(tmp + "/stderr");
    const std::string said((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
    EXPECT_NE(said.find("it is kept in \"" + video + "\""), std::string::npos) << said;
    EXPECT_EQ(decodeAll(video).exitCode, 0);
    EXPECT_GT(std::atof(probeVideo(video)["duration"].c_str()), 1.0);

    RunningProgram again(x.display(), tmp, tmp + "/stderr2", true);
    EXPECT_FALSE(again.window("Prompt").empty()) << again.visibleWindows();
    again.key("Escape"); // "No": kept for tovamix-cli recover
    EXPECT_FALSE(again.window("Tovamix 2.0.0.4").empty());
    EXPECT_TRUE(again.alive());
}

// With a tray and a window manager: the windows have their outer sizes, the icon appears only
// in the copy that goes on, and while recording nothing of ours but the icon is on screen.
TEST(ProgramLife, WhileRecordingOnlyTheTrayIconIsLeftAndTheStopBringsTheWindowsBack) {
    if (run("command -v openbox && command -v trayer").exitCode != 0)
        GTEST_SKIP() << "openbox and trayer are not installed";
    Xvfb x("1024x768x24");
    ASSERT_TRUE(x.ok());
    const std::string d = "DISPLAY=" + x.display() + " ";
    const std::string tmp = scratchDir("program-tray");
    run("chmod 700 '" + tmp + "'");
    WindowManager wm(x.display());
    ASSERT_TRUE(wm.ok()) << "openbox did not start";
    const std::string tray = run(d + "trayer --edge bottom --align right --widthtype pixel "
                                     "--width 120 >/dev/null 2>&1 & echo $!")
                                 .out;
    struct KillOnExit {
        std::string pid;
        ~KillOnExit() { run("kill " + pid + " 2>/dev/null"); }
    } killTray{tray.substr(0, tray.find('\n'))};
    std::string trayShown;
    for (int i = 0; i < 100 && trayShown.empty(); ++i) {
        std::this_thread::sleep_for(100ms);
        trayShown = run(d + "xdotool search --onlyvisible --class trayer").out;
    }
    ASSERT_FALSE(trayShown.empty()) << "the tray never appeared";

    RunningProgram program(x.display(), tmp, tmp + "/stderr");
    const std::string main = program.window("Tovamix 2.0.0.4");
    ASSERT_FALSE(main.empty());
    eventually([&] { return program.outerSize(main) == QSize(425, 207); });
    EXPECT_EQ(program.outerSize(main), QSize(425, 207));
    // A second copy ends at once and silently: no icon, no warning about one.
    const CommandResult second =
        run(d + "TMPDIR='" + tmp + "' XDG_RUNTIME_DIR='" + tmp + "' " + TOVAMIX);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.err, "");

    program.click(main, RecordScreenButtonX, MainButtonsY);
    const std::string recordScreen = program.window("Record Screen");
    ASSERT_FALSE(recordScreen.empty());
    eventually([&] { return program.outerSize(recordScreen) == QSize(606, 477); });
    EXPECT_EQ(program.outerSize(recordScreen), QSize(606, 477));
    program.click(recordScreen, StartRecordX, StartRecordY);
    ASSERT_FALSE(program.window("Info").empty());
    program.key("Return");
    eventually([&] { return !program.listed(main) && !program.listed(recordScreen); });
    EXPECT_FALSE(program.listed(main));
    EXPECT_FALSE(program.listed(recordScreen));
    std::string whileRecording;
    eventually([&] {
        whileRecording = program.visibleWindows();
        return whileRecording.find("Tovamix") != std::string::npos;
    });
    EXPECT_NE(whileRecording.find("Tovamix"), std::string::npos) << "no tray icon";
    EXPECT_EQ(whileRecording.find("Tovamix 2.0.0.4"), std::string::npos) << whileRecording;
    EXPECT_EQ(whileRecording.find("Record Screen"), std::string::npos) << whileRecording;

    program.key("ctrl+a");
    EXPECT_FALSE(program.window("Save As").empty());
    std::string afterStop;
    eventually([&] {
        afterStop = program.visibleWindows();
        return afterStop.find("Tovamix 2.0.0.4") != std::string::npos &&
               afterStop.find("Record Screen") != std::string::npos && program.listed(main) &&
               program.listed(recordScreen);
    });
    EXPECT_NE(afterStop.find("Tovamix 2.0.0.4"), std::string::npos) << afterStop;
    EXPECT_NE(afterStop.find("Record Screen"), std::string::npos) << afterStop;
    EXPECT_TRUE(program.listed(main));
    EXPECT_TRUE(program.listed(recordScreen));
    program.key("Escape");
    std::this_thread::sleep_for(300ms);
    std::ifstream err(tmp + "/stderr");
    const std::string said((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
    EXPECT_EQ(said.find("No Icon set"), std::string::npos) << said;
}

// "Capture Video" with real dialogs and real input: the camera's format list answered with
// Return, "Start Record", a name typed into the save dialog, "Stop Record" three seconds on:
// the file is the camera and the voice in XviD and MP3.
TEST(ProgramLife, CaptureVideoRecordsTheCameraThroughTheRealDialogs) {
    Xvfb x("1024x768x24");
    ASSERT_TRUE(x.ok());
    const std::string tmp = scratchDir("program-capture");
    run("chmod 700 '" + tmp + "'");
    const std::string out = tmp + "/camera.avi";
    std::filesystem::remove(out);
    RunningProgram program(x.display(), tmp, tmp + "/stderr");
    const std::string main = program.window("Tovamix 2.0.0.4");
    ASSERT_FALSE(main.empty()) << "the program never showed its window";
    program.click(main, CaptureVideoButtonX, MainButtonsY);
    ASSERT_FALSE(program.window("Capture").empty()) << "no format list";
    std::this_thread::sleep_for(300ms); // shown a moment before it has the keyboard
    program.key("Down Return");         // YUY2 320 x 240 15 fps
    const std::string capture = program.window("Capture Video");
    ASSERT_FALSE(capture.empty());
    std::this_thread::sleep_for(500ms);
    program.click(capture, StartRecordX, StartRecordY);
    const std::string save = program.window("Save As");
    ASSERT_FALSE(save.empty()) << program.visibleWindows();
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(run("DISPLAY=" + x.display() + " xdotool type --delay 5 '" + out + "'").exitCode, 0);
    program.key("Return");
    std::this_thread::sleep_for(3s);
    program.click(capture, StopRecordX, StartRecordY);
    ASSERT_TRUE(waitFor([&] { return !probeStream(out, "a:0").empty(); }, 10s))
        << program.visibleWindows() << run("cat '" + tmp + "/stderr'").out;
    const auto video = probeStream(out, "v:0");
    EXPECT_EQ(video.at("codec_tag_string"), "XVID");
    EXPECT_EQ(video.at("width"), "320");
    // The camera's graph starts after the dialog has closed: a moment later in a sanitized
    // build (0.4-0.7 s more), which the recording then lacks at its start.
    const double seconds = std::atof(video.at("duration").c_str());
    EXPECT_GT(seconds, 3.0 - 0.6 * timeScale());
    EXPECT_LT(seconds, 3.6);
    EXPECT_EQ(probeStream(out, "a:0").at("codec_name"), "mp3");
    EXPECT_TRUE(program.alive());
}
