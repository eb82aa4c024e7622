#include "media/PinPropertyPages.h"
#include "media/TBaseFilter.h"
#include "media/TMediaType.h"
#include "support/QtEnvironment.h"
#include "ui/qt/QtDialogs.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <optional>

using namespace media;
using namespace testsupport;

namespace {
auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("640x480x24"));

// The list is shown through the dialogs seam; these tests look at the real Qt window.
class QtDialogsInstalled : public ::testing::Environment {
  public:
    void SetUp() override { ui::setDialogs(&qt_); }
    void TearDown() override { ui::setDialogs(nullptr); }

  private:
    ui::QtDialogs qt_;
};
auto* dialogsEnv = ::testing::AddGlobalTestEnvironment(new QtDialogsInstalled);

AM_MEDIA_TYPE fromCaps(const std::string& caps) {
    AM_MEDIA_TYPE mt;
    EXPECT_TRUE(mediaTypeFromCaps(caps, mt)) << caps;
    return mt;
}

const char* const CameraCaps[] = {
    "video/x-raw, format=YUY2, width=640, height=480, framerate=30/1",
    "video/x-raw, format=YUY2, width=320, height=240, framerate=15/1",
    "video/x-raw, format=I420, width=640, height=480, framerate=30/1",
    "video/x-raw, format=BGR, width=320, height=240, framerate=30000/1001",
};

// A pin without stream configuration.
class PlainPin : public virtual IPin {
  public:
    PIN_DIRECTION direction() const override { return PINDIR_OUTPUT; }
    std::string name() const override { return "Capture"; }
    std::shared_ptr<IBaseFilter> filter() const override { return nullptr; }
    std::shared_ptr<IPin> connectedTo() const override { return nullptr; }
    HRESULT Disconnect() override { return S_FALSE; }
    std::string mediaTypes() const override { return {}; }
    void* native() const override { return nullptr; }
};

// A capture pin with the camera's formats; remembers what was set.
class ConfigPin : public PlainPin, public IAMStreamConfig {
  public:
    std::vector<AM_MEDIA_TYPE> caps;
    int current = 0;
    int setCalls = 0;
    HRESULT setResult = S_OK;
    AM_MEDIA_TYPE lastSet;
    std::optional<AM_MEDIA_TYPE> reported; // what GetFormat says, if not caps[current]

    HRESULT GetFormat(AM_MEDIA_TYPE* mt) override {
        *mt = reported ? *reported : caps.at(size_t(current));
        return S_OK;
    }
    HRESULT SetFormat(const AM_MEDIA_TYPE& mt) override {
        ++setCalls;
        lastSet = mt;
        return setResult;
    }
    HRESULT GetNumberOfCapabilities(int* count) override {
        *count = int(caps.size());
        return S_OK;
    }
    HRESULT GetStreamCaps(int index, AM_MEDIA_TYPE* mt) override {
        if (index < 0 || index >= int(caps.size())) return E_INVALIDARG;
        *mt = caps[size_t(index)];
        return S_OK;
    }
};

std::shared_ptr<ConfigPin> cameraPin() {
    auto pin = std::make_shared<ConfigPin>();
    for (const char* c : CameraCaps)
        pin->caps.push_back(fromCaps(c));
    pin->current = 2;
    return pin;
}

// Runs act on the modal dialog as soon as it shows (the call that shows it blocks). The
// application owns the timer, so one whose dialog never showed goes with it.
void whenDialogShows(std::function<void(QDialog*)> act) {
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        act(dialog);
    });
    timer->start();
}

struct Seen {
    QString name;
    QString title;
    QStringList rows;
    int selected = -1;
};

Seen look(QDialog* d) {
    Seen s;
    s.name = d->objectName();
    s.title = d->windowTitle();
    auto* list = d->findChild<QListWidget*>("Items");
    if (!list) return s;
    for (int i = 0; i < list->count(); ++i)
        s.rows << list->item(i)->text();
    s.selected = list->currentRow();
    return s;
}

void press(QDialog* d, QDialogButtonBox::StandardButton which) {
    d->findChild<QDialogButtonBox*>()->button(which)->click();
}
} // namespace

TEST(PinPropertyPages, FormatsReadAsOneLineEach) {
    struct Case {
        std::string caps, text;
    } cases[] = {
        {CameraCaps[0], "YUY2  640 x 480  30 fps"},
        {CameraCaps[2], "I420  640 x 480  30 fps"},
        {CameraCaps[3], "RGB24  320 x 240  29.97 fps"},
        {"video/x-raw, format=BGRx, width=160, height=120", "RGB32  160 x 120"},
        {"image/jpeg, width=1280, height=720, framerate=25/1", "MJPG  1280 x 720  25 fps"},
        {"audio/x-raw, format=S16LE, layout=interleaved, rate=44100, channels=2",
         "PCM  44100 Hz  16 bit  stereo"},
        {"audio/x-raw, format=U8, layout=interleaved, rate=8000, channels=1",
         "PCM  8000 Hz  8 bit  mono"},
        {"audio/x-raw, format=S16LE, layout=interleaved, rate=48000, channels=6",
         "PCM  48000 Hz  16 bit  6 channels"},
        {"audio/mpeg, mpegversion=1, layer=3, rate=44100, channels=2", "MP3  44100 Hz  stereo"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatText(fromCaps(c.caps)), c.text) << c.caps;
    // A format block cut short still names the subtype and reads nothing past its end.
    AM_MEDIA_TYPE cut = fromCaps(CameraCaps[0]);
    cut.format.resize(20);
    EXPECT_EQ(FormatText(cut), "YUY2");
}

TEST(PinPropertyPages, NoPinOrNoStreamConfigShowsNothing) {
    bool shown = false;
    whenDialogShows([&](QDialog* d) {
        shown = true;
        d->reject();
    });
    EXPECT_EQ(ShowPinPropertyPages(nullptr), S_FALSE);
    EXPECT_EQ(ShowPinPropertyPages(std::make_shared<PlainPin>()), E_NOINTERFACE);
    pump(100);
    EXPECT_FALSE(shown);
    // Leave no timer behind for the next test.
    if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) d->reject();
}

// The dialog lists the pin's formats under the pin's name with the current one chosen; OK
// applies the chosen one and gives back what SetFormat said, Cancel changes nothing.
TEST(PinPropertyPages, OkAppliesTheChosenFormatAndCancelChangesNothing) {
    auto pin = cameraPin();
    Seen seen;
    whenDialogShows([&](QDialog* d) {
        seen = look(d);
        d->grab().save(QString::fromStdString(scratchDir("pin-pages") + "/dialog.png"));
        d->findChild<QListWidget*>("Items")->setCurrentRow(1);
        press(d, QDialogButtonBox::Ok);
    });
    EXPECT_EQ(ShowPinPropertyPages(pin), S_OK);
    EXPECT_EQ(seen.name, "PinPropertyPages");
    EXPECT_EQ(seen.title, "Capture");
    EXPECT_EQ(seen.rows, QStringList({"YUY2  640 x 480  30 fps", "YUY2  320 x 240  15 fps",
                                      "I420  640 x 480  30 fps", "RGB24  320 x 240  29.97 fps"}));
    EXPECT_EQ(seen.selected, 2);
    ASSERT_EQ(pin->setCalls, 1);
    EXPECT_EQ(pin->lastSet.format, pin->caps[1].format);
    EXPECT_TRUE(pin->lastSet.subtype == MEDIASUBTYPE_YUY2);

    // A refused format: the result comes back unchanged.
    pin->setResult = VFW_E_NOT_STOPPED;
    whenDialogShows([&](QDialog* d) { press(d, QDialogButtonBox::Ok); });
    EXPECT_EQ(ShowPinPropertyPages(pin), VFW_E_NOT_STOPPED);
    EXPECT_EQ(pin->setCalls, 2);
    EXPECT_EQ(pin->lastSet.format, pin->caps[2].format); // the current one, left as it was

    whenDialogShows([&](QDialog* d) {
        d->findChild<QListWidget*>("Items")->setCurrentRow(0);
        press(d, QDialogButtonBox::Cancel);
    });
    EXPECT_EQ(ShowPinPropertyPages(pin), S_FALSE);
    EXPECT_EQ(pin->setCalls, 2);
}

// A pin whose current format differs from its listed one only in fields the user does not
// pick (here the image size) still shows that entry as chosen.
TEST(PinPropertyPages, TheCurrentFormatIsFoundByWhatTheUserSees) {
    auto pin = cameraPin();
    AM_MEDIA_TYPE negotiated = pin->caps[1];
    negotiated.lSampleSize += 16;
    negotiated.format[68] ^= 0x10; // biSizeImage
    pin->reported = negotiated;
    Seen seen;
    whenDialogShows([&](QDialog* d) {
        seen = look(d);
        press(d, QDialogButtonBox::Cancel);
    });
    EXPECT_EQ(ShowPinPropertyPages(pin), S_FALSE);
    EXPECT_EQ(seen.selected, 1);
}

// The test camera's capture pin: its formats listed in its order, the first one current, and
// the one picked is what the pin then reports.
TEST(PinPropertyPages, TheTestCamerasCapturePinTakesThePickedFormat) {
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    int index = -1;
    for (int i = 0; i < devices.Count(); ++i)
        if (devices.Item(i).FriendlyName == "Tovamix Test Camera") index = i;
    ASSERT_GE(index, 0) << "is GST_PLUGIN_PATH set to the tests' plugin folder?";
    FilterPtr camera = devices.GetBaseFilter(index);
    ASSERT_TRUE(camera);
    TPinList pins(camera);
    PinPtr capture;
    for (int i = 0; i < pins.Count(); ++i)
        if (pins.PinInfo(i).name == "Capture") capture = pins.Item(i);
    ASSERT_TRUE(capture);
    auto config = queryInterface<IAMStreamConfig>(capture);
    ASSERT_TRUE(config);

    Seen seen;
    whenDialogShows([&](QDialog* d) {
        seen = look(d);
        d->grab().save(QString::fromStdString(scratchDir("pin-pages") + "/camera.png"));
        d->findChild<QListWidget*>("Items")->setCurrentRow(1);
        press(d, QDialogButtonBox::Ok);
    });
    EXPECT_EQ(ShowPinPropertyPages(capture), S_OK);
    EXPECT_EQ(seen.title, "Capture");
    EXPECT_EQ(seen.rows, QStringList({"YUY2  640 x 480  30 fps", "YUY2  320 x 240  15 fps",
                                      "I420  640 x 480  30 fps", "RGB24  320 x 240  30 fps"}));
    EXPECT_EQ(seen.selected, 0);
    AM_MEDIA_TYPE now;
    ASSERT_EQ(config->GetFormat(&now), S_OK);
    EXPECT_EQ(FormatText(now), "YUY2  320 x 240  15 fps");
}
