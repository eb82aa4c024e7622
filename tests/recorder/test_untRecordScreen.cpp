#include "app/untMain.h"
#include "media/SharedDevices.h"
#include "recorder/untCaptureArea.h"
#include "recorder/untRecordScreen.h"
#include "support/FakePulseServer.h"
#include "support/QtEnvironment.h"
#include "ui/Dialogs.h"
#include "ui/qt/QtDialogs.h"
#include "ui/qt/TrayIcon.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

using namespace recorder;
using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("800x600x24"));

// One stream of a file as ffprobe reads it.
struct Stream {
    std::string type, codec, tag, rate;
    int width = 0, height = 0;
    double duration = 0;
};

std::vector<Stream> probeStreams(const std::string& path) {
    const CommandResult r =
        run("ffprobe -v error -show_entries "
            "stream=codec_type,codec_name,codec_tag_string,r_frame_rate,width,height,duration "
            "-of csv=p=0:nk=0 '" +
            path + "'");
    std::vector<Stream> out;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        Stream s;
        std::istringstream fields(line);
        for (std::string kv; std::getline(fields, kv, ',');) {
            const size_t eq = kv.find('=');
            if (eq == std::string::npos) continue;
            const std::string k = kv.substr(0, eq), v = kv.substr(eq + 1);
            if (k == "codec_type") s.type = v;
            if (k == "codec_name") s.codec = v;
            if (k == "codec_tag_string") s.tag = v;
            if (k == "r_frame_rate") s.rate = v;
            if (k == "width") s.width = std::atoi(v.c_str());
            if (k == "height") s.height = std::atoi(v.c_str());
            if (k == "duration") s.duration = std::atof(v.c_str());
        }
        out.push_back(s);
    }
    return out;
}

const Stream* streamOf(const std::vector<Stream>& streams, const std::string& type) {
    for (const Stream& s : streams)
        if (s.type == type) return &s;
    return nullptr;
}

// A recording merged without voice: one XviD stream of about the seconds recorded.
void expectXvidAlone(const std::string& path, double seconds) {
    const auto streams = probeStreams(path);
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].tag, "XVID");
    EXPECT_NEAR(streams[0].duration, seconds, 0.5);
}

// A saved recording of about `seconds` (as long as its VideoTemp.avi): XviD with MP3 beside
// it, both streams that long, decoding cleanly.
void expectXvidWithMp3(const std::string& out, const std::string& videoTemp, double seconds,
                       double within) {
    const auto streams = probeStreams(out);
    const Stream* video = streamOf(streams, "video");
    const Stream* audio = streamOf(streams, "audio");
    ASSERT_TRUE(video && audio) << run("ffprobe -v error -show_streams '" + out + "'").out;
    EXPECT_EQ(video->codec, "mpeg4");
    EXPECT_EQ(video->tag, "XVID");
    EXPECT_EQ(video->rate, "10/1");
    EXPECT_EQ(audio->codec, "mp3");
    const double recorded = probeStreams(videoTemp).at(0).duration;
    EXPECT_NEAR(recorded, seconds, 0.6);
    EXPECT_NEAR(video->duration, recorded, within);
    EXPECT_NEAR(audio->duration, recorded, within);
    EXPECT_EQ(decodeAll(out).exitCode, 0);
}

bool haveAudioInput() {
    return !platform::dshow::enumerateCategory(platform::dshow::CLSID_AudioInputDeviceCategory)
                .empty();
}

void pressCtrlA() {
    const CommandResult r = run("xdotool key --clearmodifiers ctrl+a");
    ASSERT_EQ(r.exitCode, 0) << r.err;
}

// The main window with the real Record Screen window behind "Record Screen"; the temporary
// folder is a scratch folder of the test's own.
class RecordScreenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tmp = scratchDir(
            "record-screen-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        tmpEnv = std::make_unique<ScopedEnv>("TMPDIR", tmp);
        makeMain();
    }
    // The main window as the program makes it at its start, shown.
    void makeMain() {
        app::ToolWindows tools;
        tools.recordScreen = [this]() -> QWidget* {
            return createRecordScreen({main.get(), main->abfTrayIcon1, main->N42});
        };
        tools.beforeRecordScreenShow = prepareRecordScreen;
        main = std::make_unique<app::TFrmMain>(tools);
        ASSERT_FALSE(main->hotKeyTaken());
        main->show();
        pump(100);
    }
    void TearDown() override {
        if (window()) {
            dialogs.queueAnswer(ui::MsgResult::Ok);
            window()->close();
        }
        pump(100);
        main.reset();
    }
    TFrmRecordScreen* open() {
        main->ActRecordScreen->trigger();
        pump(200);
        return window();
    }
    // Opens the window with "Record Voice" ticked; the save dialog will answer `out`.
    TFrmRecordScreen* openWithVoice(const std::string& out) {
        TFrmRecordScreen* w = open();
        if (w) w->CheckRecordAudio->setChecked(true);
        dialogs.queueFile(out);
        return w;
    }
    TFrmRecordScreen* window() {
        return dynamic_cast<TFrmRecordScreen*>(main->FrmRecordScreen.get());
    }
    // Starts a recording (answering the "Info" box) and lets it run for about ms.
    void record(TFrmRecordScreen* w, int ms) {
        w->ActRecord->trigger();
        ASSERT_EQ(w->stage(), TFrmRecordScreen::Stage::Recording);
        EXPECT_TRUE(main->N42->isEnabled());
        EXPECT_FALSE(w->ActRecord->isEnabled());
        // The worker reads the settings and the area: both are closed while it runs.
        EXPECT_FALSE(w->ActArea->isEnabled());
        EXPECT_FALSE(w->ActOption->isEnabled());
        EXPECT_TRUE(main->abfTrayIcon1->cycling());
        runFor(ms);
    }
    // Chooses the rectangle (100, 80)-(420, 320) with real clicks on the frozen screen.
    void chooseArea(TFrmRecordScreen* w) {
        w->ActArea->trigger();
        pump(1300); // the selection freezes the screen after a second
        ASSERT_TRUE(TFrmCaptureArea::instance().isVisible());
        for (const char* step : {"mousemove 100 80", "click 1", "mousemove 420 320", "click 1"}) {
            ASSERT_EQ(run(std::string("xdotool ") + step).exitCode, 0);
            pump(150);
        }
        ASSERT_TRUE(waitFor([&] { return w->isVisible(); }, 3s));
        EXPECT_TRUE(captureAreaChosen());
        EXPECT_EQ(w->picture().size(), QSize(320, 240));
    }
    bool shown(const std::string& text) {
        for (const auto& s : dialogs.shown())
            if (s.request.text == text) return true;
        return false;
    }
    // The recordings go into the user's own folder in the temporary folder.
    std::string userTemp() const { return tmp + "/tovamix-" + std::to_string(geteuid()); }
    std::string videoTemp() const { return userTemp() + "/VideoTemp.avi"; }
    std::string audioTemp() const { return userTemp() + "/AudioTemp.avi"; }

    ui::ScriptedDialogs dialogs;
    ui::ScopedDialogs useDialogs{dialogs};
    std::string tmp;
    std::unique_ptr<ScopedEnv> tmpEnv;
    std::unique_ptr<app::TFrmMain> main;
};

} // namespace

TEST_F(RecordScreenTest, OpensBelowTheMainWindowWithItsControlsAndThePreview) {
    TFrmRecordScreen* w = open();
    ASSERT_TRUE(w);
    EXPECT_EQ(w->windowTitle(), "Record Screen");
    EXPECT_EQ(w->size(), QSize(606, 477));
    EXPECT_EQ(w->pos(), QPoint(main->x(), main->frameGeometry().bottom() + 1));
    EXPECT_EQ(w->CheckRecordAudio->text(), "Record Voice  ");
    EXPECT_FALSE(w->CheckRecordAudio->isChecked()); // cleared on every show
    EXPECT_EQ(w->Label2->text(), "Voice Source  ");
    EXPECT_TRUE(w->ActRecord->isEnabled());
    EXPECT_FALSE(w->ActStop->isEnabled());
    EXPECT_FALSE(main->N42->isEnabled());
    EXPECT_EQ(main->abfTrayIcon1->popupMenu(), main->PopupMenu1);
    EXPECT_EQ(w->ActStop->shortcut(), QKeySequence("Ctrl+A"));
    QStringList hints;
    for (QAction* a :
         {w->ActRecord, w->ActStop, w->ActArea, w->ActOption, w->SavePicture, w->ActClose})
        hints << a->toolTip();
    EXPECT_EQ(hints, QStringList({"Start Record", "Stop Record", "Select Area", "Option",
                                  "SavePicture", "Close"}));
    // The preview is the whole screen.
    EXPECT_EQ(w->picture().size(), QSize(800, 600));
    // The audio device's input lines are listed, one chosen, when there is an audio device.
    if (haveAudioInput()) {
        EXPECT_GT(w->AudioSample->count(), 0);
        EXPECT_GE(w->AudioSample->currentIndex(), 0);
        EXPECT_GT(media::AudioPinTypes.Count(), 0);
    }
    // A second open shows the same window.
    EXPECT_EQ(open(), w);
}

// The whole road: voice ticked, about 3 s of recording, a real Ctrl+A, the save dialog, the
// merge, "Record Complete!", then the file as other players read it.
TEST_F(RecordScreenTest, RecordsScreenAndVoiceStopsWithCtrlAAndMergesIntoXvidAndMp3) {
    if (!haveAudioInput()) GTEST_SKIP() << "no audio input device (no sound server)";
    const std::string out = tmp + "/RecordScreen.avi";
    TFrmRecordScreen* w = openWithVoice(out);
    ASSERT_TRUE(w);
    record(w, 3000);
    TScreenCam& engine = w->engine();
    ASSERT_TRUE(fs::exists(audioTemp()));
    pressCtrlA();
    ASSERT_TRUE(waitFor([&] { return shown("Record Complete!"); }, 60s));
    EXPECT_TRUE(shown("Now Start Record Screen,Program Minimize \r\nMouse click the taskbar "
                      "icon or Press <Ctrl+A> to Stop Record"));
    (void)engine;
    pump(200);
    EXPECT_FALSE(main->FrmRecordScreen.exists()); // the window closed itself
    EXPECT_FALSE(main->N42->isEnabled());
    EXPECT_FALSE(main->abfTrayIcon1->cycling());

    expectXvidWithMp3(out, videoTemp(), 3.0, 0.5);
    const auto streams = probeStreams(out);
    const Stream* video = streamOf(streams, "video");
    ASSERT_TRUE(video);
    EXPECT_EQ(video->width, 800);
    EXPECT_EQ(video->height, 600);
    // The temporary files stay where they were.
    EXPECT_TRUE(fs::exists(videoTemp()));
    EXPECT_TRUE(fs::exists(audioTemp()));
}

// The live encoder dies mid-way: the stop falls back to the merge of the temporary files, and
// the file still holds every picture and the whole voice.
TEST_F(RecordScreenTest, ALiveEncoderThatDiesMidWayFallsBackToTheMergeAndTheFileIsWhole) {
    if (!haveAudioInput()) GTEST_SKIP() << "no audio input device (no sound server)";
    const std::string out = tmp + "/RecordScreen.avi";
    TFrmRecordScreen* w = openWithVoice(out);
    ASSERT_TRUE(w);
    record(w, 1500);
    ASSERT_TRUE(w->session() && w->session()->liveCompression());
    LiveCompression* live = w->session()->liveCompression();
    EXPECT_GT(live->figures().frames, 0);
    live->killEncoderForTest();
    runFor(1500);
    std::string why;
    EXPECT_TRUE(live->failed(&why));
    EXPECT_NE(why.find("ended unexpectedly"), std::string::npos) << why;
    w->ActStop->trigger();
    ASSERT_TRUE(waitFor([&] { return shown("Record Complete!"); }, 60s));
    pump(200);
    expectXvidWithMp3(out, videoTemp(), 3.0, 0.15);
    // The live file is gone.
    for (const auto& e : fs::directory_iterator(userTemp()))
        EXPECT_NE(e.path().filename().string().rfind(".Live", 0), 0u) << e.path();
}

// Stops one after the other from the tray menu's "Stop Record", a real Ctrl+A and the main
// window's close (the program's exit), with and without voice, saved or not: every stop
// returns, every saved file is whole, and a recording ended by the exit is a whole temporary
// file. TOVAMIX_STOP_LOOP=N runs N stops instead of six (the long run under
// AddressSanitizer).
TEST_F(RecordScreenTest, StopsFromTheTrayCtrlAAndTheExitOneAfterTheOther) {
    const char* loop = std::getenv("TOVAMIX_STOP_LOOP");
    const int stops = loop ? std::atoi(loop) : 6;
    const bool voice = haveAudioInput();
    for (int i = 0; i < stops; ++i) {
        SCOPED_TRACE("stop " + std::to_string(i));
        TFrmRecordScreen* w = open();
        ASSERT_TRUE(w);
        w->CheckRecordAudio->setChecked(voice && i % 2 == 0);
        const std::string out = tmp + "/loop.avi";
        fs::remove(out);
        const bool save = i % 4 < 2;
        dialogs.clear();
        if (save)
            dialogs.queueFile(out);
        else
            dialogs.queueFile(std::nullopt); // the save dialog cancelled
        record(w, 400);
        const int path = i % 3;
        if (path == 0) {
            main->N42->trigger(); // the tray menu's "Stop Record"
        } else if (path == 1) {
            pressCtrlA();
        } else {
            main->close(); // the program's exit while recording
            EXPECT_FALSE(main->FrmRecordScreen.exists());
            EXPECT_EQ(decodeAll(videoTemp()).exitCode, 0);
            main.reset();
            makeMain();
            continue;
        }
        if (save) {
            ASSERT_TRUE(waitFor([&] { return shown("Record Complete!"); }, 60s));
            pump(100);
            const auto streams = probeStreams(out);
            ASSERT_TRUE(streamOf(streams, "video")) << out;
            EXPECT_EQ(streamOf(streams, "audio") != nullptr, voice && i % 2 == 0);
            EXPECT_EQ(decodeAll(out).exitCode, 0);
        } else {
            ASSERT_TRUE(waitFor(
                [&] { return !window() || w->stage() == TFrmRecordScreen::Stage::Idle; }, 30s));
            EXPECT_FALSE(fs::exists(out));
        }
    }
}

TEST_F(RecordScreenTest, WithoutVoiceNoVoiceFileIsWrittenAndTheResultHasNoSound) {
    TFrmRecordScreen* w = open();
    ASSERT_TRUE(w);
    ASSERT_EQ(temporaryFolder(), userTemp()); // made on first use
    { std::ofstream(audioTemp()) << "an older voice file"; }
    const std::string out = tmp + "/silent.avi";
    dialogs.queueFile(out);
    record(w, 1500);
    pressCtrlA();
    ASSERT_TRUE(waitFor([&] { return shown("Record Complete!"); }, 60s));
    // An earlier voice file is neither replaced nor joined in.
    std::ifstream old(audioTemp());
    std::string content;
    std::getline(old, content);
    EXPECT_EQ(content, "an older voice file");
    expectXvidAlone(out, 1.5);
}

TEST_F(RecordScreenTest, CancellingTheSaveDialogKeepsTheRecordingsAndTheWindow) {
    TFrmRecordScreen* w = open();
    ASSERT_TRUE(w);
    const bool voice = haveAudioInput();
    w->CheckRecordAudio->setChecked(voice);
    dialogs.queueFile(std::nullopt);
    record(w, 1200);
    main->N42->trigger(); // the tray's "Stop Record"
    pump(300);
    ASSERT_EQ(window(), w);
    EXPECT_EQ(w->stage(), TFrmRecordScreen::Stage::Idle);
    EXPECT_TRUE(w->ActRecord->isEnabled());
    EXPECT_FALSE(w->ActStop->isEnabled());
    EXPECT_FALSE(main->N42->isEnabled());
    EXPECT_FALSE(w->engine().hasWorker() && w->engine().frameLoopRunning());
    ASSERT_TRUE(w->engine().waitUntilIdle(10s) || !w->engine().hasWorker());
    pump(200);
    // Both temporary files are complete recordings.
    ASSERT_TRUE(fs::exists(videoTemp()));
    EXPECT_EQ(decodeAll(videoTemp()).exitCode, 0);
    if (voice) {
        const auto streams = probeStreams(audioTemp());
        ASSERT_EQ(streams.size(), 1u);
        EXPECT_EQ(streams[0].type, "audio");
        EXPECT_NEAR(streams[0].duration, 1.2, 0.5);
    }
    // Ctrl+A with no recording running does nothing.
    const size_t asked = dialogs.fileDialogs().size();
    pressCtrlA();
    pump(400);
    EXPECT_EQ(dialogs.fileDialogs().size(), asked);
    EXPECT_EQ(w->stage(), TFrmRecordScreen::Stage::Idle);
}

TEST_F(RecordScreenTest, ClosingIsRefusedWhileMergingAndStopsARunningRecording) {
    TFrmRecordScreen* w = open();
    ASSERT_TRUE(w);
    // Closing in the middle of a recording stops the engine and keeps a complete file.
    record(w, 800);
    w->ActClose->trigger();
    pump(200);
    EXPECT_FALSE(main->FrmRecordScreen.exists());
    EXPECT_FALSE(main->N42->isEnabled());
    EXPECT_EQ(main->abfTrayIcon1->popupMenu(), nullptr);
    EXPECT_EQ(decodeAll(videoTemp()).exitCode, 0);

    w = open();
    ASSERT_TRUE(w);
    w->compressWhileRecording = false; // the temporary files are merged after the stop
    dialogs.queueFile(tmp + "/merged.avi");
    record(w, 3000);
    w->ActStop->trigger();
    // The merge's end arrives through the event loop, which has not run since it started.
    ASSERT_EQ(w->stage(), TFrmRecordScreen::Stage::Merging);
    w->ActClose->trigger();
    EXPECT_TRUE(shown("compressing data, please wait close"));
    EXPECT_EQ(window(), w);
    EXPECT_EQ(w->Panel1->text(), "compressing data...");
    EXPECT_FALSE(w->ImageBox->isVisible());
    // Closing the main window is refused with it: the program keeps running.
    main->close();
    EXPECT_TRUE(main->isVisible());
    EXPECT_EQ(window(), w);
    ASSERT_TRUE(waitFor([&] { return shown("Record Complete!"); }, 60s));
}

TEST_F(RecordScreenTest, AFailedMergeIsReportedAndTheRecordingsAreKept) {
    TFrmRecordScreen* w = open();
    ASSERT_TRUE(w);
    dialogs.queueFile(tmp + "/no-such-folder/out.avi");
    record(w, 800);
    w->ActStop->trigger();
    pump(200);
    ASSERT_EQ(window(), w);
    EXPECT_EQ(w->stage(), TFrmRecordScreen::Stage::Idle);
    EXPECT_TRUE(w->ActRecord->isEnabled());
    bool reported = false;
    for (const auto& s : dialogs.shown())
        reported |= s.request.caption == "Error" &&
                    s.request.text.find("no-such-folder/out.avi") != std::string::npos &&
                    s.request.text.find(videoTemp()) != std::string::npos;
    EXPECT_TRUE(reported);
    EXPECT_EQ(decodeAll(videoTemp()).exitCode, 0);
    EXPECT_TRUE(w->ImageBox->isVisible());

    // A merge that fails before writing anything leaves an existing target as it was.
    w->compressWhileRecording = false;
    const std::string precious = tmp + "/precious.avi";
    { std::ofstream(precious) << "an earlier recording"; }
    w->merge.XvidEncoder.BaseFilter.setMoniker(std::make_shared<media::TMoniker>(
        media::TMoniker{"@device:cm:{33D9A760-90C8-11D0-BD43-00A0C911CE86}\\no-such-codec"}));
    dialogs.queueFile(precious);
    record(w, 600);
    w->ActStop->trigger();
    pump(200);
    EXPECT_EQ(w->stage(), TFrmRecordScreen::Stage::Idle);
    std::ifstream in(precious);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "an earlier recording");
}

TEST_F(RecordScreenTest, SavePictureWritesJpegForJpgNamesAndBitmapsOtherwise) {
    TFrmRecordScreen* w = open();
    ASSERT_TRUE(w);
    auto head = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        char b[2] = {};
        in.read(b, 2);
        return std::string(b, 2);
    };
    dialogs.queueFile(tmp + "/shot.JPG");
    w->SavePicture->trigger();
    EXPECT_EQ(head(tmp + "/shot.JPG"), "\xFF\xD8");
    dialogs.queueFile(tmp + "/shot.bmp");
    w->SavePicture->trigger();
    EXPECT_EQ(head(tmp + "/shot.bmp"), "BM");
    const auto requests = dialogs.fileDialogs();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().filter, "BMP|*.BMP|JPG|*.JPG");
    EXPECT_EQ(requests.back().defaultExt, "bmp");
    EXPECT_EQ(requests.back().fileName, "image");
}

TEST_F(RecordScreenTest, AChosenAreaIsRecordedOnceThenTheWholeScreenAgain) {
    TFrmRecordScreen* w = open();
    ASSERT_TRUE(w);
    chooseArea(w);
    EXPECT_FALSE(w->CheckRecordAudio->isChecked()); // cleared again when shown

    auto recordOnce = [&] {
        dialogs.queueFile(std::nullopt);
        record(w, 600);
        w->ActStop->trigger();
        ASSERT_TRUE(w->engine().waitUntilIdle(10s) || !w->engine().hasWorker());
        pump(200);
    };
    recordOnce();
    auto first = probeStreams(videoTemp());
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].width, 320);
    EXPECT_EQ(first[0].height, 240);
    EXPECT_FALSE(captureAreaChosen());
    recordOnce();
    auto second = probeStreams(videoTemp());
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].width, 800);
    EXPECT_EQ(second[0].height, 600);
}

// A voice device that cannot be opened any more (unplugged after the window listed it) is
// reported, and the screen is still recorded.
TEST_F(RecordScreenTest, AVoiceDeviceThatIsGoneIsReportedAndTheScreenStillRecorded) {
    if (!haveAudioInput()) GTEST_SKIP() << "no audio input device (no sound server)";
    TFrmRecordScreen* w = open();
    ASSERT_TRUE(w);
    w->voice.AudioFilter.BaseFilter.setMoniker(std::make_shared<media::TMoniker>(
        media::TMoniker{"@device:pnp:{33D9A762-90C8-11D0-BD43-00A0C911CE86}\\Unplugged Mic"}));
    w->CheckRecordAudio->setChecked(true);
    dialogs.queueFile(tmp + "/no-voice.avi");
    record(w, 1000);
    bool warned = false;
    for (const auto& s : dialogs.shown())
        warned |= s.request.caption == "Warning" &&
                  s.request.text.find("Unplugged Mic") != std::string::npos &&
                  s.request.text.find("recorded without it") != std::string::npos;
    EXPECT_TRUE(warned);
    pressCtrlA();
    ASSERT_TRUE(waitFor([&] { return shown("Record Complete!"); }, 60s));
    const auto streams = probeStreams(tmp + "/no-voice.avi");
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].type, "video");
}

// Recordings one after the other in one program leave no descriptor open: the graphs and
// device monitors of each free their buses (a pair of sockets each), the live compression its
// file. What the first recording opens for good (the grabber's display connection, the
// sound server's) is counted after it.
TEST_F(RecordScreenTest, RecordingsOneAfterTheOtherLeaveNoDescriptorOpen) {
    if (!haveAudioInput()) GTEST_SKIP() << "no audio input device (no sound server)";
    auto descriptors = [] {
        int n = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd"))
            ++n;
        return n;
    };
    auto completed = [&] {
        int n = 0;
        for (const auto& s : dialogs.shown())
            n += s.request.text == "Record Complete!";
        return n;
    };
    auto recordOnce = [&](int i) {
        TFrmRecordScreen* w = open();
        ASSERT_TRUE(w);
        w->CheckRecordAudio->setChecked(true);
        dialogs.queueFile(tmp + "/fd-" + std::to_string(i) + ".avi");
        const int before = completed();
        record(w, 300);
        w->ActStop->trigger();
        ASSERT_TRUE(waitFor([&] { return completed() > before; }, 30s));
        pump(100);
    };
    recordOnce(0);
    const int first = descriptors();
    for (int i = 1; i <= 20; ++i)
        recordOnce(i);
    pump(300);
    EXPECT_LE(descriptors(), first)
        << "descriptors after one recording: " << first << "\n"
        << run("ls -l /proc/" + std::to_string(getpid()) + "/fd | sed 's/.*-> //' | sort | uniq -c")
               .out;
}

// A recording that ended without being saved (the window closed while recording, as at a
// logout) is offered at the next start: "Yes" and a name save it with its voice; the offer is
// not made again. "No" is remembered too.
TEST_F(RecordScreenTest, AnUnsavedRecordingIsOfferedAtTheNextStart) {
    auto prompts = [&] {
        int n = 0;
        for (const auto& s : dialogs.shown())
            n += s.request.caption == "Prompt";
        return n;
    };
    TFrmRecordScreen* w = open();
    ASSERT_TRUE(w);
    w->CheckRecordAudio->setChecked(haveAudioInput());
    record(w, 1500);
    w->ActClose->trigger(); // stops the recording and keeps its files, unsaved
    pump(200);
    ASSERT_FALSE(main->FrmRecordScreen.exists());

    const std::string offered = tmp + "/offered.avi";
    fs::remove(offered);
    dialogs.queueAnswer(ui::MsgResult::Yes);
    dialogs.queueFile(offered);
    offerRecovery();
    EXPECT_EQ(prompts(), 1);
    EXPECT_TRUE(shown("Record Complete!"));
    const auto video = expectVideoStream(offered, {"mpeg4", "XVID", "10/1"});
    EXPECT_NEAR(std::stod(video.at("duration")), 1.5, 0.4);
    if (haveAudioInput()) {
        const auto [videoSeconds, voiceSeconds] = streamDurations(offered);
        EXPECT_NEAR(voiceSeconds, videoSeconds, 0.3);
    }
    offerRecovery(); // saved: nothing to offer
    EXPECT_EQ(prompts(), 1);

    w = open();
    ASSERT_TRUE(w);
    record(w, 600);
    w->ActClose->trigger();
    pump(200);
    dialogs.queueAnswer(ui::MsgResult::No);
    const size_t fileDialogs = dialogs.fileDialogs().size();
    offerRecovery();
    EXPECT_EQ(prompts(), 2);
    EXPECT_EQ(dialogs.fileDialogs().size(), fileDialogs);
    offerRecovery(); // declined: not asked again
    EXPECT_EQ(prompts(), 2);
    EXPECT_TRUE(fs::exists(videoTemp())); // kept for tovamix-cli recover
}

// With "Record Voice  " ticked but no voice source line chosen, the voice is recorded but not
// joined in.
TEST_F(RecordScreenTest, WithNoVoiceLineChosenTheVoiceIsRecordedButNotMerged) {
    if (!haveAudioInput()) GTEST_SKIP() << "no audio input device (no sound server)";
    TFrmRecordScreen* w = open();
    ASSERT_TRUE(w);
    w->CheckRecordAudio->setChecked(true);
    dialogs.queueFile(tmp + "/unmerged.avi");
    record(w, 1200);
    w->AudioSample->setCurrentIndex(-1);
    pressCtrlA();
    ASSERT_TRUE(waitFor([&] { return shown("Record Complete!"); }, 60s));
    const auto voice = probeStreams(audioTemp());
    ASSERT_EQ(voice.size(), 1u);
    EXPECT_EQ(voice[0].type, "audio");
    const auto merged = probeStreams(tmp + "/unmerged.avi");
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0].type, "video");
}

// A sound card with a microphone and a line input: the voice source list shows both with the
// card's active one chosen; the line the user picks is the one the card records from.
TEST_F(RecordScreenTest, TheVoiceSourcePickedInTheListIsTheOneTheCardRecordsFrom) {
    if (!haveAudioInput()) GTEST_SKIP() << "no audio input device (no sound server)";
    FakePulseServer card({{"analog-input-mic", "Microphone"}, {"analog-input-linein", "Line In"}},
                         "analog-input-linein");
    TFrmRecordScreen* w = open();
    ASSERT_TRUE(w);
    ASSERT_EQ(w->AudioSample->count(), 2);
    EXPECT_EQ(w->AudioSample->itemText(0), "Microphone");
    EXPECT_EQ(w->AudioSample->itemText(1), "Line In");
    EXPECT_EQ(w->AudioSample->currentIndex(), 1);

    w->AudioSample->setCurrentIndex(0);
    w->CheckRecordAudio->setChecked(true);
    const std::string out = tmp + "/microphone.avi";
    dialogs.queueFile(out);
    record(w, 1500);
    EXPECT_EQ(card.active(), "analog-input-mic");
    ASSERT_EQ(card.switches().size(), 1u);
    EXPECT_EQ(card.switches()[0].second, "analog-input-mic");
    // The list is read again when recording starts and shows the line now on.
    EXPECT_EQ(w->AudioSample->currentIndex(), 0);
    pressCtrlA();
    ASSERT_TRUE(waitFor([&] { return shown("Record Complete!"); }, 60s));
    const auto merged = probeStreams(out);
    EXPECT_TRUE(streamOf(merged, "audio"));
    EXPECT_TRUE(streamOf(merged, "video"));
}

// A temporary folder that others could write into is refused: the start fails with the
// reason, and the windows come back with "Start Record" ready again.
TEST_F(RecordScreenTest, ARefusedTemporaryFolderStopsTheStartAndBringsTheWindowsBack) {
    TFrmRecordScreen* w = open();
    ASSERT_TRUE(w);
    fs::create_directories(userTemp());
    fs::permissions(userTemp(), fs::perms::all);
    w->ActRecord->trigger();
    EXPECT_EQ(w->stage(), TFrmRecordScreen::Stage::Idle);
    EXPECT_TRUE(w->ActRecord->isEnabled());
    EXPECT_FALSE(w->ActStop->isEnabled());
    EXPECT_FALSE(main->N42->isEnabled());
    EXPECT_FALSE(w->engine().hasWorker());
    EXPECT_TRUE(w->isVisible() && !w->isMinimized());
    EXPECT_TRUE(main->isVisible() && !main->isMinimized());
    const auto boxes = dialogs.shown();
    ASSERT_FALSE(boxes.empty());
    EXPECT_NE(boxes.back().request.text.find(userTemp()), std::string::npos)
        << boxes.back().request.text;
    fs::permissions(userTemp(), fs::perms::owner_all);
}

// "Record Screen" pressed again while the window is open forgets the chosen rectangle: the
// preview and the next recording are of the whole screen.
TEST_F(RecordScreenTest, OpeningTheWindowAgainAfterAreaRecordsTheWholeScreen) {
    TFrmRecordScreen* w = open();
    ASSERT_TRUE(w);
    chooseArea(w);
    EXPECT_EQ(open(), w);
    EXPECT_FALSE(captureAreaChosen());
    EXPECT_EQ(w->picture().size(), QSize(800, 600));
    dialogs.queueFile(std::nullopt);
    record(w, 600);
    w->ActStop->trigger();
    ASSERT_TRUE(w->engine().waitUntilIdle(10s) || !w->engine().hasWorker());
    pump(200);
    const auto streams = probeStreams(videoTemp());
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].width, 800);
    EXPECT_EQ(streams[0].height, 600);
    // Once the engine is idle again, the area and the options are open again.
    EXPECT_TRUE(w->ActArea->isEnabled());
    EXPECT_TRUE(w->ActOption->isEnabled());
}

// A screen that cannot be read when the selection starts: the error is shown, and the windows
// hidden for the selection come back.
TEST_F(RecordScreenTest, AFailedGrabDuringAreaIsReportedAndTheWindowsComeBack) {
    TFrmRecordScreen* w = open();
    ASSERT_TRUE(w);
    {
        ScopedEnv noScreen("DISPLAY", ":59999"); // the grab opens a connection of its own
        w->ActArea->trigger();
        EXPECT_FALSE(w->isVisible());
        EXPECT_FALSE(main->isVisible());
        ASSERT_TRUE(waitFor([&] { return !dialogs.shown().empty(); }, 5s));
    }
    const auto boxes = dialogs.shown();
    EXPECT_NE(boxes.back().request.text.find("Cannot read the screen"), std::string::npos);
    EXPECT_EQ(boxes.back().request.icon, ui::MsgIcon::Error);
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(main->isVisible());
    EXPECT_FALSE(TFrmCaptureArea::instance().isVisible());
    EXPECT_FALSE(captureAreaChosen());
}

// Closing the main window while recording ends the recording as the Record Screen window's
// close does: the worker is joined and the temporary recording is a whole file.
TEST_F(RecordScreenTest, ClosingTheMainWindowWhileRecordingFinishesTheRecording) {
    TFrmRecordScreen* w = open();
    ASSERT_TRUE(w);
    record(w, 1200);
    main->close();
    EXPECT_FALSE(main->isVisible());
    EXPECT_FALSE(main->FrmRecordScreen.exists());
    EXPECT_EQ(decodeAll(videoTemp()).exitCode, 0);
    EXPECT_NEAR(probeStreams(videoTemp()).at(0).duration, 1.2, 0.5);
}

namespace {

// The same window with the real Qt dialogs: a timer answers each box as it appears, while the
// box's own event loop runs, where a hot key or a timer can fire.
class RealDialogsTest : public RecordScreenTest {
  protected:
    void SetUp() override {
        RecordScreenTest::SetUp();
        ui::setUiThread(&uiThread);
        QObject::connect(&driver, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || !answer || modal == answering) return;
            // A dialog answered here may open another (its event loop runs inside answer):
            // that one is answered by a later tick, never twice by nested ticks.
            QWidget* outer = answering;
            answering = modal;
            answer(modal);
            answering = outer;
        });
        driver.start(30);
    }
    void TearDown() override {
        driver.stop();
        answer = nullptr;
        RecordScreenTest::TearDown();
        ui::setUiThread(nullptr);
    }
    static void click(QMessageBox* box, QMessageBox::StandardButton button) {
        if (QAbstractButton* b = box->button(button)) b->click();
    }

    // Answers a box nobody expected with its default button, and remembers its text.
    void answerUnexpected(QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            unexpected.push_back(box->text().toStdString());
            if (QPushButton* b = box->defaultButton()) b->click();
        }
    }

    // Called with the active modal window (a box or a file dialog) every 30 ms.
    std::function<void(QWidget*)> answer;
    QWidget* answering = nullptr;
    std::vector<std::string> unexpected;
    QTimer driver;
    ui::QtUiThread uiThread;
    ui::QtDialogs realDialogs;
    ui::ScopedDialogs useRealDialogs{realDialogs};
};

} // namespace

// Ctrl+A pressed while the "Info" box is still open does nothing: no save dialog, no stop of a
// recording that has not started. The recording then starts, and Ctrl+A stops it.
TEST_F(RealDialogsTest, CtrlADuringTheInfoBoxOpensNoDialogAndLaterStopsTheRecording) {
    TFrmRecordScreen* w = open();
    ASSERT_TRUE(w);
    const std::string out = tmp + "/real-dialogs.avi";
    fs::remove(out); // the save dialog would ask before replacing it
    bool pressed = false, infoAnswered = false, savedDuringInfo = false, complete = false;
    std::chrono::steady_clock::time_point pressedAt;
    answer = [&](QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            if (box->text().startsWith("Now Start Record Screen")) {
                if (!pressed) {
                    pressCtrlA();
                    pressed = true;
                    pressedAt = std::chrono::steady_clock::now();
                } else if (std::chrono::steady_clock::now() - pressedAt > 800ms) {
                    infoAnswered = true;
                    click(box, QMessageBox::Ok);
                }
            } else if (box->text() == "Record Complete!") {
                complete = true;
                click(box, QMessageBox::Ok);
            } else {
                answerUnexpected(box);
            }
        } else if (auto* save = qobject_cast<QFileDialog*>(modal)) {
            savedDuringInfo |= !infoAnswered;
            save->selectFile(QString::fromStdString(out));
            static_cast<QDialog*>(save)->accept(); // as its Save button does
        }
    };
    w->ActRecord->trigger(); // returns once the box is answered and the recording runs
    EXPECT_TRUE(pressed);
    EXPECT_FALSE(savedDuringInfo);
    ASSERT_EQ(w->stage(), TFrmRecordScreen::Stage::Recording);
    EXPECT_TRUE(main->N42->isEnabled());
    runFor(1000);
    pressCtrlA();
    ASSERT_TRUE(waitFor([&] { return complete; }, 60s));
    EXPECT_TRUE(unexpected.empty()) << unexpected.front();
    expectXvidAlone(out, 1.0);
}

// Enter on the proposed name "RecordScreen" where "RecordScreen.avi" exists: the real dialog
// asks before replacing it (the extension is the dialog's own, so its check sees the final
// name), and "No" (Escape) keeps the earlier recording as it was.
TEST_F(RealDialogsTest, EnterOnTheProposedNameAsksBeforeReplacingAnEarlierRecording) {
    const std::string earlier = tmp + "/RecordScreen.avi";
    {
        std::ofstream f(earlier, std::ios::binary);
        f << "an earlier recording";
    }
    bool entered = false, asked = false, cancelled = false;
    std::string question;
    answer = [&](QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            asked = true;
            question = box->text().toStdString();
            run("xdotool key --clearmodifiers Escape"); // the box's "No"
        } else if (auto* save = qobject_cast<QFileDialog*>(modal)) {
            if (!save->isActiveWindow()) { // keys go to the window that has the focus
                save->activateWindow();
                return;
            }
            if (!entered) {
                entered = true;
                run("xdotool key --clearmodifiers Return");
            } else if (asked && !cancelled) {
                cancelled = true;
                run("xdotool key --clearmodifiers Escape"); // the dialog's Cancel
            }
        }
    };
    ui::FileDialogRequest request; // as "Stop Record" asks
    request.filter = "avi|*.avi";
    request.defaultExt = "avi";
    request.fileName = "RecordScreen";
    request.initialDir = tmp;
    const std::optional<std::string> chosen = ui::dialogs().saveFile(request);
    EXPECT_TRUE(entered);
    EXPECT_TRUE(asked) << "replaced without asking";
    EXPECT_NE(question.find("RecordScreen.avi"), std::string::npos) << question;
    EXPECT_FALSE(chosen.has_value()) << *chosen;
    std::ifstream f(earlier, std::ios::binary);
    const std::string kept((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, "an earlier recording");
}

// Stop, cancel the save dialog, and start again at once with a minute per frame: the last
// worker takes up to a tenth of that to notice the stop, and the window keeps answering
// meanwhile instead of waiting for it.
TEST_F(RealDialogsTest, StartingAgainWhileTheLastWorkerEndsKeepsTheWindowAnswering) {
    TFrmRecordScreen* w = open();
    ASSERT_TRUE(w);
    w->engine().recordInterval = 60000;
    answer = [&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box && box->text().startsWith("Now Start Record Screen"))
            click(box, QMessageBox::Ok);
        else if (auto* save = qobject_cast<QFileDialog*>(modal))
            save->reject();
        else
            answerUnexpected(modal);
    };
    w->ActRecord->trigger();
    ASSERT_EQ(w->stage(), TFrmRecordScreen::Stage::Recording);
    ASSERT_TRUE(waitFor([&] { return w->engine().frameLoopRunning(); }, 5s));
    pump(300);
    w->ActStop->trigger();
    ASSERT_EQ(w->stage(), TFrmRecordScreen::Stage::Idle);
    ASSERT_TRUE(w->engine().hasWorker()); // asleep for up to six seconds

    // A small window asks for a repaint every 50 ms; each answer is timed.
    struct Probe : QWidget {
        bool pending = false;
        std::chrono::steady_clock::time_point asked;
        std::chrono::milliseconds slowest{0};
        int answered = 0;
        void ask() {
            if (pending) return;
            pending = true;
            asked = std::chrono::steady_clock::now();
            update();
        }
        void settle() {
            if (!pending) return;
            slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - asked));
        }
        void paintEvent(QPaintEvent*) override {
            settle();
            if (pending) ++answered;
            pending = false;
        }
    } probe;
    probe.resize(40, 40);
    probe.show();
    pump(100);
    QTimer ask;
    QObject::connect(&ask, &QTimer::timeout, [&] { probe.ask(); });
    ask.start(50);
    const auto started = std::chrono::steady_clock::now();
    w->ActRecord->trigger(); // waits for the last worker with the event loop running
    const auto took = std::chrono::steady_clock::now() - started;
    ask.stop();
    probe.settle();
    EXPECT_EQ(w->stage(), TFrmRecordScreen::Stage::Recording);
    EXPECT_GT(probe.answered, 10);
    EXPECT_GT(took, 1s) << "the last worker had ended already; nothing was measured";
    EXPECT_LT(probe.slowest, 200ms);
    std::printf(
        "the start waited %lld ms for the last worker; slowest repaint %lld ms\n",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
        static_cast<long long>(probe.slowest.count()));
    EXPECT_TRUE(w->engine().recording());
    EXPECT_TRUE(unexpected.empty()) << unexpected.front();
}

namespace {
// A second of voice, as the voice graph writes it.
std::string secondOfVoice() {
    return sharedClip("merge", "still-voice.avi", "-f lavfi -i sine -t 1 -c:a pcm_s16le");
}
} // namespace

// A very short recording (a second of a still screen, a file of under 8 KiB) is merged whole,
// with its sound: read as a stream, the AVI reader lost every frame of such a file.
TEST(MergeGraphTest, AVeryShortRecordingIsMergedWhole) {
    const std::string video = sharedClip("merge", "still.avi",
                                         "-f lavfi -i color=c=gray:size=100x76:rate=10 -t 1 "
                                         "-c:v msvideo1");
    const std::string audio = secondOfVoice();
    ASSERT_FALSE(video.empty() || audio.empty());
    ASSERT_LT(fs::file_size(video), 8192u);
    const std::string out = scratchDir("merge") + "/merged.avi";
    MergeGraph merge;
    bool complete = false;
    std::string failure;
    merge.onComplete = [&] { complete = true; };
    merge.onFailed = [&](const std::string& why) { failure = why.empty() ? "failed" : why; };
    std::string why;
    ASSERT_TRUE(merge.start(video, audio, out, &why)) << why;
    ASSERT_TRUE(waitFor([&] { return complete || !failure.empty(); }, 30s));
    EXPECT_EQ(failure, "");
    merge.clear();
    const auto streams = probeStreams(out);
    const Stream* v = streamOf(streams, "video");
    const Stream* a = streamOf(streams, "audio");
    ASSERT_TRUE(v && a);
    EXPECT_EQ(v->tag, "XVID");
    EXPECT_NEAR(v->duration, 1.0, 0.15);
    EXPECT_NEAR(a->duration, 1.0, 0.15);
}

// The target is created or emptied only when merged data reach it: a merge that fails before
// leaves it as it was and says it did not write it; one that runs says it did.
TEST(MergeGraphTest, TheTargetIsTouchedOnlyByAMergeThatWritesIt) {
    const std::string video = sharedClip("merge", "still.avi",
                                         "-f lavfi -i color=c=gray:size=100x76:rate=10 -t 1 "
                                         "-c:v msvideo1");
    ASSERT_FALSE(video.empty());
    const std::string dir = scratchDir("merge-target");
    const std::string out = dir + "/earlier.avi", notAvi = dir + "/not-avi.avi";
    auto contents = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    std::ofstream(out) << "an earlier recording";
    std::ofstream(notAvi) << "not a video at all";
    MergeGraph merge;
    bool complete = false;
    std::string failure;
    merge.onComplete = [&] { complete = true; };
    merge.onFailed = [&](const std::string& w) { failure = w.empty() ? "failed" : w; };
    std::string why;
    EXPECT_FALSE(merge.start(dir + "/missing.avi", "", out, &why));
    EXPECT_FALSE(merge.targetWritten());
    EXPECT_EQ(contents(out), "an earlier recording");
    // A source that cannot be decoded fails once the graph runs, before any data are written.
    if (merge.start(notAvi, "", out, &why)) {
        ASSERT_TRUE(waitFor([&] { return complete || !failure.empty(); }, 30s));
    }
    EXPECT_FALSE(complete);
    EXPECT_FALSE(merge.targetWritten());
    EXPECT_EQ(contents(out), "an earlier recording");
    // A link at the target's place is refused before anything runs.
    const std::string link = dir + "/link.avi";
    fs::remove(link);
    fs::create_symlink(out, link);
    EXPECT_FALSE(merge.start(video, "", link, &why));
    EXPECT_NE(why.find("cannot write \"" + link + "\""), std::string::npos) << why;
    EXPECT_FALSE(merge.targetWritten());
    EXPECT_EQ(contents(out), "an earlier recording");

    failure.clear();
    ASSERT_TRUE(merge.start(video, "", out, &why)) << why;
    ASSERT_TRUE(waitFor([&] { return complete || !failure.empty(); }, 30s));
    EXPECT_EQ(failure, "");
    EXPECT_TRUE(merge.targetWritten());
    merge.clear();
    EXPECT_EQ(probeVideo(out).at("codec_tag_string"), "XVID");
}

// A voice recording stopped before the sound device delivered anything has its stream and no
// sound; it is not joined in (the AVI reader of the merge refuses such a file).
TEST(MergeGraphTest, AVoiceFileWithoutSoundIsLeftOut) {
    const std::string none = sharedClip("merge", "no-sound.avi",
                                        "-f lavfi -i anullsrc=r=44100:cl=stereo -t 0 "
                                        "-c:a pcm_s16le");
    const std::string voice = secondOfVoice();
    ASSERT_FALSE(none.empty() || voice.empty());
    EXPECT_FALSE(voiceFileUsable(none));
    EXPECT_TRUE(voiceFileUsable(voice));
    EXPECT_FALSE(voiceFileUsable(scratchDir("merge") + "/missing.avi"));
    EXPECT_FALSE(voiceFileUsable(scratchDir("merge"))); // a folder
}
