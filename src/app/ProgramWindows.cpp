#include "ProgramWindows.h"

#include "avi/untBMPTOAVI.h"
#include "avi/untConvert.h"
#include "capture/untAudioCapture.h"
#include "capture/untVideoCapture.h"
#include "dvd/DvdPlay.h"
#include "player/untPlay.h"
#include "recorder/untRecordScreen.h"
#include "tools/untLink.h"
#include "tools/untmerge.h"
#include "tools/untseparate.h"

namespace app {

ProgramWindows::ProgramWindows(TFrmMain*& main) {
    tools_.recordScreen = [&main]() -> QWidget* {
        return recorder::createRecordScreen({main, main->abfTrayIcon1, main->N42});
    };
    tools_.beforeRecordScreenShow = recorder::prepareRecordScreen;
    tools_.player = []() -> QWidget* { return new player::TFrmPlay; };
    tools_.showCutPanel = [](QWidget* w, bool cutPanel) {
        if (auto* p = dynamic_cast<player::TFrmPlay*>(w)) p->showCutPanel(cutPanel);
    };
    tools_.videoCapture = [&main]() -> QWidget* {
        return new capture::TFrmVideoCapture({main->abfTrayIcon1});
    };
    tools_.openVideoDevice = capture::openForVideoDevice;
    tools_.audioCapture = [&main]() -> QWidget* {
        return new capture::TFrmAudioCapture({main->abfTrayIcon1});
    };
    tools_.openAudioDevice = capture::openForAudioDevice;
    // The editing tools: made, shown modally, freed.
    tools_.merge = [](QWidget* owner) { tools::TFrmmerge(owner).exec(); };
    tools_.separate = [](QWidget* owner) { tools::TFrmseparate(owner).exec(); };
    tools_.link = [](QWidget* owner) { tools::TFrmLink(owner).exec(); };
    tools_.bmpToAvi = [](QWidget* owner) { avi::TFrmBMPTOAVI(owner).exec(); };
    tools_.convert = [](QWidget* owner) { avi::TFrmConvert(owner).exec(); };
    tools_.dvdPlay = [](QWidget* owner) { dvd::TFormDVDPlayer(owner).exec(); };
    player::setSnapshotSourceLookup([&main] {
        return main ? capture::snapshotSourceOf(main->FrmVideoCapture.get())
                    : player::TSnapshotSource{};
    });
}

ProgramWindows::~ProgramWindows() {
    player::setSnapshotSourceLookup({});
}

} // namespace app
