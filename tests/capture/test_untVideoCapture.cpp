// The video and audio capture windows on the test camera and the tests' sound server: opened
// from the main window's device menus, previewing, recording with voice, the save dialog
// cancelled, another device over the one shown, closing while recording, input lines.
#include "app/untMain.h"
#include "capture/untAudioCapture.h"
#include "capture/untVideoCapture.h"
#include "media/SharedDevices.h"
#include "platform/screen/Dib.h"
#include "support/FakePulseServer.h"
#include "support/QtEnvironment.h"
#include "support/Screenshots.h"
#include "ui/Dialogs.h"
#include "ui/qt/DibImage.h"
#include "ui/qt/QtDialogs.h"
#include "ui/qt/TrayIcon.h"

#include <QApplication>
#include <QDialog>
#include <QTimer>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QMenu>
#include <QStatusBar>
#include <gtest/gtest.h>

#include <filesystem>

using namespace capture;
using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("1280x1024x24"));

// The index of a device of a category by its name, -1 when it is not listed.
int deviceIndex(const media::GUID& category, const std::string& name) {
    std::vector<std::string> names;
    findDevice(category, "", &names);
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return int(i);
    return -1;
}

// The picture the preview last passed through the grabber.
QImage grabbed(TFrmVideoCapture& w) {
    platform::screen::PackedDib dib;
    return w.SampleGrabber.GetBitmap(dib) ? ui::imageFromDib(dib) : QImage();
}

// Whether a picture shows the test camera's colour bars: many colours along a row.
bool showsColourBars(const QImage& picture) {
    if (picture.isNull()) return false;
    std::set<QRgb> colours;
    const int y = picture.height() / 3;
    for (int x = 0; x < picture.width(); x += 8)
        colours.insert(picture.pixel(x, y) & 0xF0F0F0);
    return colours.size() >= 5;
}

struct VideoCaptureTest : ::testing::Test {
    void SetUp() override {
        ui::setDialogs(&dialogs);
        camera = deviceIndex(media::CLSID_VideoInputDeviceCategory, "Tovamix Test Camera");
        ASSERT_GE(camera, 0) << "the test camera plugin is not on GST_PLUGIN_PATH";
        dir = scratchDir("video_capture_window");
    }
    void TearDown() override { ui::setDialogs(nullptr); }

    ui::ScriptedDialogs dialogs;
    int camera = -1;
    std::string dir;
};

// The windows as the program makes them, on the main window's device menus.
app::ToolWindows captureTools(app::TFrmMain** main) {
    app::ToolWindows tools;
    tools.videoCapture = [main]() -> QWidget* {
        return new TFrmVideoCapture({(*main)->abfTrayIcon1});
    };
    tools.openVideoDevice = openForVideoDevice;
    tools.audioCapture = [main]() -> QWidget* {
        return new TFrmAudioCapture({(*main)->abfTrayIcon1});
    };
    tools.openAudioDevice = openForAudioDevice;
    return tools;
}

QAction* menuItem(QMenu* menu, const std::string& text) {
    for (QAction* a : menu->actions())
        if (a->text().toStdString() == text) return a;
    return nullptr;
}

TEST_F(VideoCaptureTest, OpensFromTheDeviceMenuOnTheChosenFormatAndPreviews) {
    app::TFrmMain* mainPtr = nullptr;
    app::TFrmMain main(captureTools(&mainPtr));
    mainPtr = &main;
    main.show();
    QAction* item = menuItem(main.N3, "Tovamix Test Camera");
    ASSERT_TRUE(item);
    dialogs.queueChoice(1); // YUY2 320 x 240 15 fps
    item->trigger();
    auto* w = dynamic_cast<TFrmVideoCapture*>(main.FrmVideoCapture.get());
    ASSERT_TRUE(w);
    ASSERT_EQ(dialogs.listChoices().size(), 1u);
    ASSERT_TRUE(waitFor([&] { return w->graph.FilterGraph.State() == 3; }, 10s));
    ASSERT_TRUE(waitFor([&] { return showsColourBars(grabbed(*w)); }, 10s));
    EXPECT_EQ(w->frameGeometry().width(), 320 + 4);
    EXPECT_EQ(grabbed(*w).size(), QSize(320, 240));
    pump(1000);
    keepShot("video_capture_menu");
    // The preview is on the screen, not only in the grabber.
    const QImage shot = screenshot();
    const QPoint at = w->VideoWindow->mapToGlobal(w->VideoWindow->rect().center());
    std::set<QRgb> colours;
    for (int x = -150; x < 150; x += 10)
        colours.insert(shot.pixel(at.x() + x, at.y() - 40) & 0xF0F0F0);
    EXPECT_GE(colours.size(), 5u);
    main.FrmVideoCapture.close();
}

} // namespace
