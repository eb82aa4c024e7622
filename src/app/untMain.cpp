#include "untMain.h"

#include "ui/Dialogs.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace app {

TFrmMain::TFrmMain() : engine_(std::make_unique<recorder::TScreenCam>(this)) {
    setObjectName("FrmMain");
    setWindowTitle("Tovamix 2.0.0.4");
    ActRecord = new QPushButton("Record Screen", this);
    ActRecord->setObjectName("ActRecord");
    ActStop = new QPushButton("Stop Record", this);
    ActStop->setObjectName("ActStop");
    ActStop->setEnabled(false);
    LabelStatus = new QLabel("Ready", this);
    LabelStatus->setObjectName("LabelStatus");
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(ActRecord);
    buttons->addWidget(ActStop);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(LabelStatus);
    resize(425, 207);

    TimerStatus = new QTimer(this);
    TimerStatus->setInterval(200);
    connect(TimerStatus, &QTimer::timeout, this, [this] { TimerStatusTimer(); });
    connect(ActRecord, &QPushButton::clicked, this, [this] { ActRecordExecute(); });
    connect(ActStop, &QPushButton::clicked, this, [this] { ActStopExecute(); });
    engine_->onRecordEnd = [this](int result) { RecordEnded(result); };
}

TFrmMain::~TFrmMain() = default;

void TFrmMain::ActRecordExecute() {
    auto path = ui::dialogs().saveFile(
        {"Save the recording", "AVI files (*.avi)|*.avi", "avi", "recording.avi", ""});
    if (!path) return;
    fileName_ = *path;
    engine_->startRecording(nullptr, fileName_);
    ActRecord->setEnabled(false);
    ActStop->setEnabled(true);
    TimerStatus->start();
}

void TFrmMain::ActStopExecute() {
    engine_->stopRecording();
    ActStop->setEnabled(false);
}

void TFrmMain::TimerStatusTimer() {
    LabelStatus->setText(QString("Recording: %1 frames, %2 s")
                             .arg(engine_->samplesWritten())
                             .arg(engine_->recordedMilliseconds() / 1000.0, 0, 'f', 1));
}

void TFrmMain::RecordEnded(int result) {
    TimerStatus->stop();
    ActRecord->setEnabled(true);
    ActStop->setEnabled(false);
    LabelStatus->setText(result ? QString("Saved %1 frames to %2")
                                      .arg(engine_->samplesWritten())
                                      .arg(QString::fromStdString(fileName_))
                                : QString("The recording failed"));
}

} // namespace app
