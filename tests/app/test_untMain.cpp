#include "app/UntAbout.h"
#include "app/untMain.h"
#include "platform/dshow/Devices.h"
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
#include <thread>

using namespace app;
using namespace testsupport;

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
    dialogs.queueAnswer(ui::MsgResult::Ok);
    w.ActExit->trigger();
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
    tools.audioCapture = [](int) { return new QWidget; };
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

TEST_F(MainWindowTest, TrayIconCyclesItsImagesEvery200MsWhileSwitchedOn) {
    TFrmMain w;
    ui::TTrayIcon* tray = w.abfTrayIcon1;
    EXPECT_EQ(tray->imageIndex(), 0);
    tray->setCycling(true);
    pump(450); // two steps
    EXPECT_TRUE(tray->cycling());
    EXPECT_EQ(tray->imageIndex(), 2);
    tray->setCycling(false);
    EXPECT_EQ(tray->imageIndex(), 0);
    pump(250);
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
