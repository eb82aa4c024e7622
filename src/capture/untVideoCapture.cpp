#include "untVideoCapture.h"

#include "media/PinPropertyPages.h"
#include "media/SharedDevices.h"
#include "ui/Dialogs.h"
#include "ui/qt/ErrorBox.h"
#include "ui/qt/OuterSize.h"
#include "ui/qt/ToolIcons.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QHBoxLayout>
#include <QPointer>
#include <QStatusBar>
#include <QToolBar>
#include <QVBoxLayout>
#include <cstdio>

namespace capture {

using namespace media;

TFrmVideoCapture::TFrmVideoCapture(CaptureHost host)
    : TCaptureWindow(host, "FrmVideoCapture", QSize(415, 368)) {
    ActRecord = makeAction("ActRecord", "Start Record", ui::recordIcon());
    ActStop = makeAction("ActStop", "Stop Record", ui::stopIcon());
    ActStop->setEnabled(false);
    ActSnapshot = makeAction("ActSnapshot", "Capture", ui::snapshotIcon());
    ActOption = makeAction("ActOption", "Option", ui::optionIcon());
    ActClose = makeAction("ActClose", "Close", ui::closeIcon());
    connect(ActRecord, &QAction::triggered, this, ui::guarded([this] { ActRecordExecute(); }));
    connect(ActStop, &QAction::triggered, this, ui::guarded([this] { ActStopExecute(); }));
    connect(ActSnapshot, &QAction::triggered, this, ui::guarded([this] { ActSnapshotExecute(); }));
    connect(ActOption, &QAction::triggered, this, ui::guarded([this] { ActOptionExecute(); }));
    connect(ActClose, &QAction::triggered, this, [this] { close(); });

    fillToolBar({ActRecord, ActStop, ActSnapshot, ActOption}, ActClose);

    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    Panel2 = new QWidget(Panel1);
    Panel2->setObjectName("Panel2");
    Panel2->setFixedHeight(41);
    CheckBox1 = new QCheckBox("Record Voice ", Panel2);
    CheckBox1->setObjectName("CheckBox1");
    QFont bold = CheckBox1->font();
    bold.setBold(true);
    CheckBox1->setFont(bold);
    CheckBox1->setChecked(true);
    InputLines = new QComboBox(Panel2);
    InputLines->setObjectName("InputLines");
    InputLines->setFixedWidth(112);
    auto* voiceRow = new QHBoxLayout(Panel2);
    voiceRow->setContentsMargins(4, 4, 4, 4);
    voiceRow->addWidget(CheckBox1);
    voiceRow->addWidget(InputLines);
    voiceRow->addStretch(1);

    VideoWindow = new TVideoWindow(Panel1, "VideoWindow");
    VideoWindow->setFilterGraph(&graph.FilterGraph);
    SampleGrabber.setFilterGraph(&graph.FilterGraph);

    auto* panelLayout = new QVBoxLayout(Panel1);
    panelLayout->setContentsMargins(4, 4, 4, 4);
    panelLayout->setSpacing(0);
    panelLayout->addWidget(Panel2);
    panelLayout->addWidget(VideoWindow, 1);

    layOut(Panel1);

    connect(&Timer, &QTimer::timeout, this, ui::guarded([this] { TimerTimer(); }));
    watch(graph);
}

TFrmVideoCapture::~TFrmVideoCapture() {
    graph.onFailed = nullptr;
    if (graph.recording()) endRecording();
    // The controls leave the graph before it goes.
    SampleGrabber.setFilterGraph(nullptr);
    VideoWindow->setFilterGraph(nullptr);
}

void TFrmVideoCapture::OpenForVideoDevice(int i) {
    // Another device while recording: the recording is finished first, not cut off.
    if (graph.recording()) endRecording();
    Tag = i;
    // The voice always comes from the first audio input device, when there is one.
    deviceEnumerator().SelectCategory(CLSID_AudioInputDeviceCategory);
    if (deviceEnumerator().Count() > 0) {
        recorder::InputLines lines;
        std::string why;
        if (graph.bindAudioDevice(0, &lines, &why))
            showLines(InputLines, lines);
        else
            std::fprintf(stderr, "tovamix: no voice: %s\n", why.c_str());
    }
    show();
    std::string why;
    if (!graph.openVideoDevice(i, &why)) throw ui::EUserMessage(sentence(why));
    chooseFormatAndPreview();
}

void TFrmVideoCapture::chooseFormatAndPreview() {
    const QPointer<TFrmVideoCapture> self(this);
    const HRESULT settled = ShowPinPropertyPages(graph.videoPin());
    if (!self || closing_) return;
    if (FAILED(settled) && settled != E_NOINTERFACE)
        ui::messageBox("The format could not be set: " + GraphErrorText(settled), "Warning",
                       ui::MsgIcon::Warning);
    std::string why;
    if (FAILED(graph.readFormats(&why))) {
        graph.FilterGraph.setActive(false);
        throw ui::EUserMessage(sentence(why));
    }
    int width = 0, height = 0;
    if (CurrentVideoFormat && videoFormatSize(CurrentVideoFormat->record(), &width, &height)) {
        // The video's size plus the borders, the bars, the voice row and 44 pixels for the
        // frame; a format larger than the screen is previewed smaller.
        const QSize chrome(4, Panel2->height() + ActionToolBar1->sizeHint().height() +
                                  StatusBar->sizeHint().height() + 44);
        const QRect desk = ui::availableGeometryFor(this);
        const QSize outer = ui::fitVideoWindow(QSize(width, height), chrome, desk.size());
        ui::keepOuterSize(this, outer);
        ui::keepOnScreen(this, outer);
    }
    if (!graph.preview(&SampleGrabber, VideoWindow, &why)) throw ui::EUserMessage(sentence(why));
}

void TFrmVideoCapture::resetActions() {
    ActStop->setEnabled(false);
    ActRecord->setEnabled(true);
    ActSnapshot->setEnabled(true);
}

void TFrmVideoCapture::ActRecordExecute() {
    ActRecord->setEnabled(false);
    ActSnapshot->setEnabled(false);
    ActStop->setEnabled(true);
    graph.FilterGraph.Stop();
    graph.FilterGraph.setActive(false);

    ui::FileDialogRequest request;
    request.defaultExt = "avi";
    request.fileName = "Capture";
    request.filter = "AVI|*.AVI|ASF|*.ASF";
    const QPointer<TFrmVideoCapture> self(this);
    const std::optional<std::string> file = ui::dialogs().saveFile(request);
    // Cancelled: the actions stay as they are until "Stop Record".
    if (!self || closing_ || !file) return;

    const bool voice = CheckBox1->isChecked();
    if (voice && graph.audioDeviceName().empty()) {
        resetActions();
        throw ui::EUserMessage("The voice cannot be recorded: there is no audio input device. "
                               "Clear \"Record Voice \" to record the camera alone.");
    }
    const std::string line = chosenLine(InputLines);
    // The whole name, whatever its length: the container is AVI whatever the filter chosen.
    std::string why;
    file_ = *file;
    if (!graph.record(*file, voice, line, &SampleGrabber, VideoWindow, &why)) {
        resetActions();
        throw ui::EUserMessage("The recording could not start: " + sentence(why));
    }
    showTime(0);
    setTrayCycling(true);
    Timer.start();
}

CaptureResult TFrmVideoCapture::endRecording() {
    setTrayCycling(false);
    Timer.stop();
    resetActions();
    const CaptureResult result = graph.stop();
    graph.FilterGraph.setActive(false);
    return result;
}

void TFrmVideoCapture::ActStopExecute() {
    const bool wasRecording = graph.recording();
    reportNothingRecorded(wasRecording, endRecording());
}

void TFrmVideoCapture::TimerTimer() {
    if (!graph.FilterGraph.Active()) return;
    showTime(graph.position());
}

void TFrmVideoCapture::ActSnapshotExecute() {
    if (!SampleGrabber.FilterGraph()) return;
    player::TFrmSnapShot snapshot({VideoWindow, &SampleGrabber}, this);
    snapshot.exec();
}

void TFrmVideoCapture::ActOptionExecute() {
    if (graph.recording()) endRecording();
    std::string why;
    if (!graph.openVideoDevice(Tag, &why)) throw ui::EUserMessage(sentence(why));
    // The device is bound afresh: it starts from the format in use, so that the list shows
    // that one and a Cancel keeps it.
    graph.applyCurrentFormat();
    chooseFormatAndPreview();
}

void TFrmVideoCapture::closeEvent(QCloseEvent* event) {
    closing_ = true;
    // A recording is finished as a whole file before the devices go.
    if (graph.recording()) endRecording();
    graph.FilterGraph.setActive(false);
    graph.FilterGraph.ClearGraph();
    event->accept();
}

player::TSnapshotSource snapshotSourceOf(QWidget* w) {
    if (auto* capture = dynamic_cast<TFrmVideoCapture*>(w))
        return {capture->VideoWindow, &capture->SampleGrabber};
    return {};
}

void openForVideoDevice(QWidget* w, int device) {
    if (auto* capture = dynamic_cast<TFrmVideoCapture*>(w)) capture->OpenForVideoDevice(device);
}

} // namespace capture
