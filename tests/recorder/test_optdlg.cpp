#include "recorder/TScreenCam.h"
#include "recorder/optdlg.h"
#include "support/QtEnvironment.h"
#include "ui/Dialogs.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

using namespace recorder;
using namespace testsupport;

namespace {
auto* env = ::testing::AddGlobalTestEnvironment(new QtEnvironment("640x480x24"));

// Shows the dialog modally, lets `act` work on it once it is up, and returns exec()'s result.
int runDialog(TOptionDlg& dlg, const std::function<void()>& act) {
    QTimer::singleShot(50, [&] { act(); });
    return dlg.exec();
}
} // namespace

TEST(OptionMappings, PositionsAndValuesRoundTripAsTheBarsQuantiseThem) {
    using namespace optionmap;
    EXPECT_EQ(recordPosition(100), 419);
    EXPECT_EQ(recordInterval(419), 100);
    EXPECT_EQ(recordPosition(1000), 628);
    EXPECT_EQ(recordInterval(628), 997);
    EXPECT_EQ(recordInterval(1), 1);
    EXPECT_EQ(recordInterval(1000), 60000);
    EXPECT_EQ(recordPosition(60000), 1000);
    EXPECT_EQ(playbackPosition(10), 183);
    EXPECT_EQ(playbackRate(183), 10);
    EXPECT_EQ(playbackPosition(25), 489);
    EXPECT_EQ(playbackRate(489), 25);
    EXPECT_EQ(playbackRate(1), 1);
    EXPECT_EQ(playbackRate(1000), 50);
    EXPECT_EQ(qualityPosition(6550), 66); // 65.5: ties go to the even neighbour
    EXPECT_EQ(quality(66), 6600);
    EXPECT_EQ(qualityPosition(6450), 64);
    EXPECT_LE(recordPosition(0), 1); // the bar raises it to its minimum
}

TEST(OptionMappings, StrToIntAcceptsDecimalIntegersOnly) {
    EXPECT_EQ(strToInt("5"), 5);
    EXPECT_EQ(strToInt(" 12"), 12);
    EXPECT_EQ(strToInt("-3"), -3);
    for (const char* bad : {"", "abc", "5x", "1.5", "-", "99999999999"}) {
        try {
            strToInt(bad);
            ADD_FAILURE() << bad;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("'") + bad + "' is not a valid integer value");
        }
    }
}

TEST(OptionDialog, ShowsTheEngineAndStoresQuantisedValuesOnOk) {
    TScreenCam engine;
    TOptionDlg dlg(engine);
    const int result = runDialog(dlg, [&] {
        EXPECT_EQ(dlg.windowTitle(), "Option");
        EXPECT_EQ(dlg.TrackBarRecord->value(), 419);
        EXPECT_EQ(dlg.TrackBarPlayback->value(), 183);
        EXPECT_EQ(dlg.TrackBarQuality->value(), 66);
        EXPECT_EQ(dlg.EditKeyFrames->text(), "5");
        EXPECT_EQ(dlg.labelmspFrecord->text(), "100 ms");
        EXPECT_EQ(dlg.labelFPSPlayback->text(), "10 fps");
        EXPECT_EQ(dlg.LabelQuality->text(), "66");
        EXPECT_FALSE(dlg.TrackBarQuality->isVisible());
        dlg.TrackBarRecord->setValue(628);
        EXPECT_EQ(dlg.labelmspFrecord->text(), "997 ms");
        dlg.TrackBarPlayback->setValue(489);
        EXPECT_EQ(dlg.labelFPSPlayback->text(), "25 fps");
        dlg.EditKeyFrames->setText("12");
        dlg.Button2->click();
    });
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_EQ(engine.recordInterval, 997);
    EXPECT_EQ(engine.playbackRate, 25);
    EXPECT_EQ(engine.keyFrameInterval, 12);
    EXPECT_EQ(engine.quality, 6600);
}

TEST(OptionDialog, CancelChangesNothing) {
    TScreenCam engine;
    TOptionDlg dlg(engine);
    runDialog(dlg, [&] {
        dlg.TrackBarRecord->setValue(1000);
        dlg.EditKeyFrames->setText("1");
        dlg.Button3->click();
    });
    EXPECT_EQ(engine.recordInterval, 100);
    EXPECT_EQ(engine.keyFrameInterval, 5);
    EXPECT_EQ(engine.quality, 6550);
}

// A key-frame text that is not an integer shows the conversion error; the dialog closes
// and only the quality, stored first, has changed.
TEST(OptionDialog, ABadKeyFrameTextKeepsAllButTheQuality) {
    ui::ScriptedDialogs dialogs;
    ui::ScopedDialogs use(dialogs);
    TScreenCam engine;
    TOptionDlg dlg(engine);
    const int result = runDialog(dlg, [&] {
        dlg.TrackBarRecord->setValue(1000);
        dlg.TrackBarPlayback->setValue(1000);
        dlg.EditKeyFrames->setText("ten");
        dlg.Button2->click();
    });
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_FALSE(dlg.isVisible());
    const auto shown = dialogs.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].request.text, "'ten' is not a valid integer value");
    EXPECT_EQ(engine.quality, 6600);
    EXPECT_EQ(engine.keyFrameInterval, 5);
    EXPECT_EQ(engine.recordInterval, 100);
    EXPECT_EQ(engine.playbackRate, 10);
}
