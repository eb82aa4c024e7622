// The video and audio capture windows on the test camera and the tests' sound server: opened
// from the main window's device menus, previewing, recording with voice, the save dialog
// cancelled, another device over the one shown, closing while recording, input lines.
#include "app/untMain.h"
#include "capture/untAudioCapture.h"
#include "capture/untVideoCapture.h"
#include "media/PinPropertyPages.h"
#include "media/SharedDevices.h"
#include "platform/dshow/devices/Devices.h"
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

#include <cstdlib>
#include <filesystem>
#include <set>

using namespace capture;
using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("1280x1024x24"));

bool haveAudioInput() {
    return !platform::dshow::enumerateCategory(platform::dshow::CLSID_AudioInputDeviceCategory)
                .empty();
}

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

double seconds(const std::map<std::string, std::string>& stream) {
    const auto d = stream.find("duration");
    return d == stream.end() ? -1 : std::atof(d->second.c_str());
}

// What ffprobe reads of a file's container.
std::string formatName(const std::string& path) {
    return run("ffprobe -v error -show_entries format=format_name -of csv=p=0 '" + path + "'").out;
}

struct VideoCaptureTest : ::testing::Test {
    void SetUp() override {
        ui::setDialogs(&dialogs);
        camera = deviceIndex(media::CLSID_VideoInputDeviceCategory, "Tovamix Test Camera");
        ASSERT_GE(camera, 0) << "the test camera plugin is not on GST_PLUGIN_PATH";
        dir = scratchDir("video_capture_window");
    }
    void TearDown() override { ui::setDialogs(nullptr); }

    // The window previewing the test camera at format (an index of its list).
    void open(TFrmVideoCapture& w, int device, int format = 1) {
        dialogs.queueChoice(format);
        w.OpenForVideoDevice(device);
        ASSERT_TRUE(waitFor([&] { return showsColourBars(grabbed(w)); }, 10s));
    }
    // "Start Record" into file, running until the graph has recorded for ms milliseconds.
    void record(TFrmVideoCapture& w, const std::string& file, int ms) {
        dialogs.queueFile(file);
        w.ActRecord->trigger();
        ASSERT_TRUE(w.recording());
        ASSERT_TRUE(waitFor([&] { return w.graph.position() * 1000 >= ms; }, 20s));
    }
    bool shown(const std::string& part) {
        for (const auto& box : dialogs.shown())
            if (box.request.text.find(part) != std::string::npos) return true;
        return false;
    }

    ui::ScriptedDialogs dialogs;
    int camera = -1;
    std::string dir;
};

TEST(RecordingTime, ShowsHoursMinutesSecondsAndMillisecondsUnpadded) {
    EXPECT_EQ(recordingTimeText(0), "0:0:0:0");
    EXPECT_EQ(recordingTimeText(65.25), "0:1:5:250");
    EXPECT_EQ(recordingTimeText(3600), "1:0:0:0");
    EXPECT_EQ(recordingTimeText(0.0005), "0:0:0:1");        // to the nearest millisecond
    EXPECT_EQ(recordingTimeText(25 * 3600 + 1), "1:0:1:0"); // of the day
}

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

    // Option, then Cancel: the list offers the format in use, and the camera keeps it.
    dialogs.queueChoice(std::nullopt);
    w->ActOption->trigger();
    ASSERT_EQ(dialogs.listChoices().size(), 2u);
    EXPECT_EQ(dialogs.listChoices()[1].selected, 1);
    ASSERT_TRUE(waitFor([&] { return w->graph.FilterGraph.State() == 3; }, 10s));
    ASSERT_TRUE(waitFor([&] { return showsColourBars(grabbed(*w)); }, 10s));
    EXPECT_EQ(grabbed(*w).size(), QSize(320, 240));
    ASSERT_TRUE(media::CurrentVideoFormat);
    EXPECT_EQ(media::FormatText(media::CurrentVideoFormat->record()), "YUY2  320 x 240  15 fps");
    EXPECT_EQ(w->frameGeometry().width(), 320 + 4);
    main.FrmVideoCapture.close();
}

// Start Record with voice, three seconds, Stop Record: an XviD + MP3 AVI of three seconds
// whatever the dialog's filter or extension (an ".asf" name holds AVI), the time moving in the
// status bar and the tray cycling while recording only.
TEST_F(VideoCaptureTest, RecordsTheCameraWithVoiceIntoAnAvi) {
    if (!haveAudioInput()) GTEST_SKIP() << "no audio input device (no sound server)";
    app::TFrmMain* mainPtr = nullptr;
    app::TFrmMain main(captureTools(&mainPtr));
    mainPtr = &main;
    QAction* item = menuItem(main.N3, "Tovamix Test Camera");
    ASSERT_TRUE(item);
    dialogs.queueChoice(1); // YUY2 320 x 240 15 fps
    item->trigger();
    auto* w = dynamic_cast<TFrmVideoCapture*>(main.FrmVideoCapture.get());
    ASSERT_TRUE(w);
    ASSERT_TRUE(waitFor([&] { return showsColourBars(grabbed(*w)); }, 10s));
    EXPECT_GT(w->InputLines->count(), 0);
    ASSERT_TRUE(w->CheckBox1->isChecked());

    const std::string out = dir + "/voice.asf";
    fs::remove(out);
    record(*w, out, 3000);
    EXPECT_TRUE(main.abfTrayIcon1->cycling());
    EXPECT_FALSE(w->ActRecord->isEnabled());
    EXPECT_FALSE(w->ActSnapshot->isEnabled());
    ASSERT_TRUE(waitFor([&] { return w->StatusBar->currentMessage().startsWith("0:0:2:"); }, 3s))
        << w->StatusBar->currentMessage().toStdString();
    // The preview goes on while recording.
    const QImage before = grabbed(*w);
    EXPECT_TRUE(waitFor([&] { return grabbed(*w) != before; }, 2s));
    keepShot("video_capture_recording");
    w->ActStop->trigger();
    EXPECT_FALSE(w->recording());
    EXPECT_FALSE(main.abfTrayIcon1->cycling());
    EXPECT_TRUE(w->ActRecord->isEnabled());
    EXPECT_TRUE(w->ActSnapshot->isEnabled());
    EXPECT_FALSE(w->ActStop->isEnabled());

    EXPECT_NE(formatName(out).find("avi"), std::string::npos);
    const auto video = probeStream(out, "v:0");
    const auto voice = probeStream(out, "a:0");
    EXPECT_EQ(video.at("codec_name"), "mpeg4");
    EXPECT_EQ(video.at("codec_tag_string"), "XVID");
    EXPECT_EQ(video.at("width"), "320");
    EXPECT_EQ(video.at("r_frame_rate"), "15/1");
    EXPECT_EQ(voice.at("codec_name"), "mp3");
    EXPECT_NEAR(seconds(video), 3.0, 0.5);
    EXPECT_NEAR(seconds(voice), 3.0, 0.5);
    EXPECT_EQ(decodeAll(out).err, "");
    main.FrmVideoCapture.close();
}

// Cancelling the save dialog leaves "Start Record" off and "Stop Record" on, until the stop;
// nothing is recorded and nothing is said.
TEST_F(VideoCaptureTest, CancellingTheSaveDialogLeavesStopRecordUntilItIsPressed) {
    TFrmVideoCapture w;
    open(w, camera);
    dialogs.queueFile(std::nullopt);
    w.ActRecord->trigger();
    EXPECT_FALSE(w.recording());
    EXPECT_FALSE(w.ActRecord->isEnabled());
    EXPECT_TRUE(w.ActStop->isEnabled());
    w.ActStop->trigger();
    EXPECT_TRUE(w.ActRecord->isEnabled());
    EXPECT_FALSE(w.ActStop->isEnabled());
    EXPECT_TRUE(dialogs.shown().empty());
}

// Another device chosen in the menu rebinds the shown window where it stands; "Option" then
// stays on that device. A recording under way is finished first, as a whole file.
TEST_F(VideoCaptureTest, AnotherDeviceRebindsTheWindowWhereItStands) {
    ScopedEnv faults{"TOVAMIX_TEST_CAMERA_FAULTS", "1"};
    app::TFrmMain* mainPtr = nullptr;
    app::TFrmMain main(captureTools(&mainPtr));
    mainPtr = &main;
    main.show();
    QAction* first = menuItem(main.N3, "Tovamix Test Camera");
    QAction* second = menuItem(main.N3, "Tovamix Slow Camera");
    ASSERT_TRUE(first && second);
    dialogs.queueChoice(1);
    first->trigger();
    auto* w = dynamic_cast<TFrmVideoCapture*>(main.FrmVideoCapture.get());
    ASSERT_TRUE(w);
    ASSERT_TRUE(waitFor([&] { return showsColourBars(grabbed(*w)); }, 10s));
    w->move(200, 400);
    pump(100);
    const QPoint place = w->pos();
    w->CheckBox1->setChecked(false);
    const std::string out = dir + "/switched.avi";
    record(*w, out, 1000);

    dialogs.queueChoice(0);
    second->trigger();
    EXPECT_EQ(main.FrmVideoCapture.get(), w);
    EXPECT_EQ(w->pos(), place);
    EXPECT_EQ(w->Tag, second->data().toInt());
    EXPECT_EQ(w->graph.videoDeviceName(), "Tovamix Slow Camera");
    EXPECT_FALSE(w->recording());
    EXPECT_TRUE(w->ActRecord->isEnabled());
    EXPECT_NEAR(seconds(probeStream(out, "v:0")), 1.0, 0.5);
    EXPECT_EQ(decodeAll(out).err, "");
    ASSERT_TRUE(waitFor([&] { return w->graph.FilterGraph.State() == 3; }, 10s));

    dialogs.queueChoice(0);
    w->ActOption->trigger();
    EXPECT_EQ(w->graph.videoDeviceName(), "Tovamix Slow Camera");
    ASSERT_TRUE(waitFor([&] { return w->graph.FilterGraph.State() == 3; }, 10s));
    main.FrmVideoCapture.close();
}

// Closing while recording finishes the file and stops the tray's cycling.
TEST_F(VideoCaptureTest, ClosingWhileRecordingFinishesTheFile) {
    app::TFrmMain* mainPtr = nullptr;
    app::TFrmMain main(captureTools(&mainPtr));
    mainPtr = &main;
    QAction* item = menuItem(main.N3, "Tovamix Test Camera");
    ASSERT_TRUE(item);
    dialogs.queueChoice(1);
    item->trigger();
    auto* w = dynamic_cast<TFrmVideoCapture*>(main.FrmVideoCapture.get());
    ASSERT_TRUE(w);
    ASSERT_TRUE(waitFor([&] { return showsColourBars(grabbed(*w)); }, 10s));
    // A name longer than 255 characters is used whole.
    const std::string folder = dir + "/" + std::string(120, 'f');
    fs::create_directories(folder);
    const std::string out = folder + "/" + std::string(150, 'n') + ".avi";
    ASSERT_GT(out.size(), 255u);
    record(*w, out, 1500);
    ASSERT_TRUE(main.abfTrayIcon1->cycling());
    w->ActClose->trigger();
    pump(50);
    EXPECT_FALSE(main.FrmVideoCapture.exists());
    EXPECT_FALSE(main.abfTrayIcon1->cycling());
    EXPECT_NEAR(seconds(probeStream(out, "v:0")), 1.5, 0.5);
    EXPECT_EQ(decodeAll(out).err, "");
}

// A camera lost while recording: the recording stops by itself, the file keeps what came before
// and the user is told why; the actions are as after "Stop Record".
TEST_F(VideoCaptureTest, ALostCameraEndsTheRecordingWithAWholeFileAndSaysWhy) {
    ScopedEnv faults{"TOVAMIX_TEST_CAMERA_FAULTS", "1"};
    const int failing =
        deviceIndex(media::CLSID_VideoInputDeviceCategory, "Tovamix Failing Camera");
    ASSERT_GE(failing, 0);
    TFrmVideoCapture w;
    open(w, failing, 0);
    w.CheckBox1->setChecked(false);
    const std::string out = dir + "/lost.avi";
    dialogs.queueFile(out);
    w.ActRecord->trigger();
    ASSERT_TRUE(waitFor([&] { return !w.recording(); }, 10s));
    ASSERT_TRUE(waitFor([&] { return shown("The recording stopped"); }, 5s));
    EXPECT_TRUE(shown(out));
    EXPECT_TRUE(w.ActRecord->isEnabled());
    EXPECT_FALSE(w.ActStop->isEnabled());
    EXPECT_FALSE(w.Timer.isActive());
    EXPECT_GT(seconds(probeStream(out, "v:0")), 0.5);
    EXPECT_EQ(decodeAll(out).err, "");
}

// A busy camera, an output that cannot be written and "Record Voice " without a sound device
// each give an error naming the device or the file and why; the actions are ready again.
TEST_F(VideoCaptureTest, FailuresNameTheDeviceOrTheFileAndWhy) {
    ScopedEnv faults{"TOVAMIX_TEST_CAMERA_FAULTS", "1"};
    auto failure = [](const std::function<void()>& step) -> std::string {
        try {
            step();
        } catch (const ui::EUserMessage& e) {
            return e.what();
        }
        return {};
    };
    TFrmVideoCapture w;
    const int busy = deviceIndex(media::CLSID_VideoInputDeviceCategory, "Tovamix Busy Camera");
    ASSERT_GE(busy, 0);
    dialogs.queueChoice(0);
    const std::string busyText = failure([&] { w.OpenForVideoDevice(busy); });
    EXPECT_NE(busyText.find("Tovamix Busy Camera"), std::string::npos) << busyText;
    EXPECT_NE(busyText.find("busy"), std::string::npos) << busyText;

    // The faulty cameras are listed too: the test camera's index is looked up again.
    open(w, deviceIndex(media::CLSID_VideoInputDeviceCategory, "Tovamix Test Camera"));
    w.CheckBox1->setChecked(false);
    const std::string unwritable = dir + "/no such folder/x.avi";
    dialogs.queueFile(unwritable);
    w.ActRecord->trigger(); // the error goes to the error box
    const auto boxes = dialogs.shown();
    ASSERT_FALSE(boxes.empty());
    EXPECT_NE(boxes.back().request.text.find(unwritable), std::string::npos)
        << boxes.back().request.text;
    EXPECT_FALSE(w.recording());
    EXPECT_TRUE(w.ActRecord->isEnabled());
    EXPECT_FALSE(w.ActStop->isEnabled());
}

// "Capture" shows the snapshot window with the camera's picture at its own size.
TEST_F(VideoCaptureTest, CaptureShowsTheCamerasPictureInTheSnapshotWindow) {
    TFrmVideoCapture w;
    open(w, camera, 1);
    QImage picture;
    QTimer::singleShot(500, [&] {
        if (auto* d = dynamic_cast<player::TFrmSnapShot*>(QApplication::activeModalWidget())) {
            picture = d->picture();
            d->reject();
        }
    });
    w.ActSnapshot->trigger();
    EXPECT_EQ(picture.size(), QSize(320, 240));
    EXPECT_TRUE(showsColourBars(picture));
}

struct AudioCaptureTest : VideoCaptureTest {
    // The recording's time when stop() was asked for, and how long the stop took (seconds).
    static std::pair<double, double> timedStop(CaptureGraphBase& graph,
                                               const std::function<void()>& stop) {
        const double at = graph.position();
        const auto t0 = std::chrono::steady_clock::now();
        stop();
        return {at, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count()};
    }
    // The file holds the sound up to the stop: at least what had been recorded when it was
    // asked for, at most what came in while the streams ended.
    static void expectRecordedToTheStop(double file, double recorded, double stopping) {
        EXPECT_GE(file, recorded - 0.15);
        EXPECT_LE(file, recorded + stopping + 0.15);
    }
};

// The card's lines are listed with the active one chosen; the line picked is switched on and
// recorded from, into one MP3 stream; a device without lines still records.
TEST_F(AudioCaptureTest, RecordsThePickedLineIntoAnMp3Avi) {
    if (!haveAudioInput()) GTEST_SKIP() << "no audio input device (no sound server)";
    FakePulseServer card({{"analog-input-mic", "Microphone"}, {"analog-input-linein", "Line In"}},
                         "analog-input-linein");
    TFrmAudioCapture w;
    w.show();
    w.OpenForAudioDevice(0);
    ASSERT_EQ(w.InputLines->count(), 2);
    EXPECT_EQ(w.InputLines->itemText(0), "Microphone");
    EXPECT_EQ(w.InputLines->currentIndex(), 1);
    EXPECT_FALSE(w.graph.FilterGraph.Active()); // nothing runs while idle
    w.InputLines->setCurrentIndex(0);
    const std::string out = dir + "/line.avi";
    dialogs.queueFile(out);
    w.ActRecord->trigger();
    ASSERT_TRUE(w.recording());
    EXPECT_EQ(card.active(), "analog-input-mic");
    ASSERT_TRUE(waitFor([&] { return w.graph.position() >= 2.0; }, 10s));
    ASSERT_TRUE(waitFor([&] { return w.StatusBar->currentMessage().startsWith("0:0:1:"); }, 3s));
    keepShot("audio_capture_recording");
    const auto [recorded, stopping] = timedStop(w.graph, [&] { w.ActStop->trigger(); });
    EXPECT_TRUE(w.ActRecord->isEnabled());
    const auto voice = probeStream(out, "a:0");
    EXPECT_EQ(voice.at("codec_name"), "mp3");
    expectRecordedToTheStop(seconds(voice), recorded, stopping);
    EXPECT_TRUE(probeStream(out, "v:0").empty());
    EXPECT_EQ(decodeAll(out).err, "");
}

// Without a line chosen no line is switched, and the device records from the line it has on.
TEST_F(AudioCaptureTest, WithoutALineChosenNothingIsSwitchedAndItStillRecords) {
    if (!haveAudioInput()) GTEST_SKIP() << "no audio input device (no sound server)";
    FakePulseServer card({{"analog-input-mic", "Microphone"}, {"analog-input-linein", "Line In"}},
                         "analog-input-linein");
    TFrmAudioCapture w;
    w.show();
    w.OpenForAudioDevice(0);
    w.InputLines->setCurrentIndex(-1);
    const std::string out = dir + "/nolines.avi";
    dialogs.queueFile(out);
    w.ActRecord->trigger();
    ASSERT_TRUE(w.recording());
    EXPECT_TRUE(card.switches().empty());
    ASSERT_TRUE(waitFor([&] { return w.graph.position() >= 1.0; }, 10s));
    const auto [recorded, stopping] = timedStop(w.graph, [&] { w.close(); });
    expectRecordedToTheStop(seconds(probeStream(out, "a:0")), recorded, stopping);
}

} // namespace
