#include "untAudioCapture.h"

#include "media/SharedDevices.h"
#include "ui/Dialogs.h"
#include "ui/qt/ErrorBox.h"
#include "ui/qt/ToolIcons.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QStatusBar>
#include <QToolBar>
#include <QVBoxLayout>

namespace capture {

using namespace media;

TFrmAudioCapture::TFrmAudioCapture(CaptureHost host)
    : TCaptureWindow(host, "FrmAudioCapture", QSize(423, 146)) {
    ActRecord = makeAction("ActRecord", "Start Record", ui::recordIcon());
    ActStop = makeAction("ActStop", "Stop Record", ui::stopIcon());
    ActStop->setEnabled(false);
    ActClose = makeAction("ActClose", "Close", ui::closeIcon());
    connect(ActRecord, &QAction::triggered, this, ui::guarded([this] { ActRecordExecute(); }));
    connect(ActStop, &QAction::triggered, this, ui::guarded([this] { ActStopExecute(); }));
    connect(ActClose, &QAction::triggered, this, [this] { close(); });
    fillToolBar({ActRecord, ActStop}, ActClose);

    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    Panel2 = new QWidget(Panel1);
    Panel2->setObjectName("Panel2");
    Label1 = new QLabel("Voice Source", Panel2);
    Label1->setObjectName("Label1");
    QFont bold = Label1->font();
    bold.setBold(true);
    Label1->setFont(bold);
    InputLines = new QComboBox(Panel2);
    InputLines->setObjectName("InputLines");
    InputLines->setFixedWidth(112);
    auto* row = new QHBoxLayout(Panel2);
    row->setContentsMargins(8, 8, 8, 8);
    row->addWidget(Label1);
    row->addWidget(InputLines);
    row->addStretch(1);
    auto* panelLayout = new QVBoxLayout(Panel1);
    panelLayout->setContentsMargins(0, 0, 0, 0);
    panelLayout->addWidget(Panel2);
    panelLayout->addStretch(1);

    layOut(Panel1);

    connect(&Timer, &QTimer::timeout, this, ui::guarded([this] { TimerTimer(); }));
    watch(graph);
}

TFrmAudioCapture::~TFrmAudioCapture() {
    graph.onFailed = nullptr;
    if (graph.recording()) endRecording();
}

void TFrmAudioCapture::OpenForAudioDevice(int i) {
    // Another device while recording: the recording is finished first, not cut off.
    if (graph.recording()) endRecording();
    recorder::InputLines lines;
    std::string why;
    if (!graph.bindAudioDevice(i, &lines, &why)) {
        InputLines->clear();
        throw ui::EUserMessage(sentence(why));
    }
    showLines(InputLines, lines);
}

void TFrmAudioCapture::ActRecordExecute() {
    ActRecord->setEnabled(false);
    ActStop->setEnabled(true);
    graph.FilterGraph.Stop();
    graph.FilterGraph.setActive(false);

    ui::FileDialogRequest request;
    request.defaultExt = "avi";
    request.fileName = "Audio";
    request.filter = "avi|*.avi";
    const QPointer<TFrmAudioCapture> self(this);
    const std::optional<std::string> file = ui::dialogs().saveFile(request);
    // Cancelled: the actions stay as they are until "Stop Record".
    if (!self || closing_ || !file) return;

    std::string why;
    recorder::InputLines lines;
    file_ = *file;
    if (!graph.record(*file, chosenLine(InputLines), &lines, &why)) {
        ActStop->setEnabled(false);
        ActRecord->setEnabled(true);
        throw ui::EUserMessage("The recording could not start: " + sentence(why));
    }
    showLines(InputLines, lines);
    showTime(0);
    setTrayCycling(true);
    Timer.start();
}

CaptureResult TFrmAudioCapture::endRecording() {
    setTrayCycling(false);
    Timer.stop();
    ActStop->setEnabled(false);
    ActRecord->setEnabled(true);
    const CaptureResult result = graph.stop();
    graph.FilterGraph.setActive(false);
    return result;
}

void TFrmAudioCapture::ActStopExecute() {
    const bool wasRecording = graph.recording();
    reportNothingRecorded(wasRecording, endRecording());
}

void TFrmAudioCapture::TimerTimer() {
    if (graph.FilterGraph.Active()) showTime(graph.position());
}

void TFrmAudioCapture::closeEvent(QCloseEvent* event) {
    closing_ = true;
    // A recording is finished as a whole file before the device goes.
    if (graph.recording()) endRecording();
    graph.FilterGraph.setActive(false);
    graph.FilterGraph.ClearGraph();
    event->accept();
}

void openForAudioDevice(QWidget* w, int device) {
    if (auto* capture = dynamic_cast<TFrmAudioCapture*>(w)) capture->OpenForAudioDevice(device);
}

} // namespace capture
