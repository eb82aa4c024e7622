#include "untConvert.h"

#include "ui/Dialogs.h"
#include "ui/qt/ErrorBox.h"

#include <QApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QToolButton>

namespace avi {

TFrmConvert::TFrmConvert(QWidget* owner)
    : TToolForm(owner, "FrmConvert", "Convert To Avi", QSize(557, 560)) {
    GroupBox1 = groupBox("GroupBox1", "Source File");
    SourceEdit = fileRow(GroupBox1, "File Name", "SourceEdit", "SpeedButton3", &SpeedButton3);

    // The two information groups side by side.
    auto* infoRowWidget = new QWidget(Panel2);
    auto* infoLayout = new QHBoxLayout(infoRowWidget);
    infoLayout->setContentsMargins(0, 0, 0, 0);
    GroupBox2 = new QGroupBox("Video Info", infoRowWidget);
    GroupBox2->setObjectName("GroupBox2");
    GroupBox2->setLayout(new QGridLayout);
    GroupBox3 = new QGroupBox("Audio Info", infoRowWidget);
    GroupBox3->setObjectName("GroupBox3");
    GroupBox3->setLayout(new QGridLayout);
    infoLayout->addWidget(GroupBox2, 1);
    infoLayout->addWidget(GroupBox3, 1);
    addToPanel(infoRowWidget);
    Edit2 = infoRow(GroupBox2, "Media Major Type :", "Edit2", false);
    Edit4 = infoRow(GroupBox2, "Duration :", "Edit4", false);
    Edit5 = infoRow(GroupBox2, "FourCC :", "Edit5", false);
    Edit6 = infoRow(GroupBox2, "Frame Width :", "Edit6", false);
    Edit7 = infoRow(GroupBox2, "Frame Height :", "Edit7", false);
    Edit8 = infoRow(GroupBox2, "Bit Depth :", "Edit8", false);
    Edit9 = infoRow(GroupBox2, "Compressor :", "Edit9", false);
    Edit23 = infoRow(GroupBox3, "Media Major Type :", "Edit23", false);
    Edit10 = infoRow(GroupBox3, "Audio Format :", "Edit10", false);
    Edit11 = infoRow(GroupBox3, "Hertz :", "Edit11", false);
    Edit12 = infoRow(GroupBox3, "Bitrate :", "Edit12", false);
    Edit13 = infoRow(GroupBox3, "Channels :", "Edit13", false);
    static_cast<QGridLayout*>(GroupBox3->layout())->setRowStretch(5, 1);

    GroupBox4 = groupBox("GroupBox4", "Target File");
    TargetEdit = fileRow(GroupBox4, "File Name", "TargetEdit", "SpeedButton5", &SpeedButton5);
    GroupBox5 = groupBox("GroupBox5", "Parameters");
    Edit20 = infoRow(GroupBox5, "Frame Width :", "Edit20", true);
    Edit21 = infoRow(GroupBox5, "Frame Height :", "Edit21", true);
    ProgressBar1 = progressBar("ProgressBar1");
    addToPanel(new QWidget(Panel2)); // the room left below
    SpeedButton1 = stripButton("SpeedButton1", "Convert");
    SpeedButton4 = stripButton("SpeedButton4", "Stop");
    SpeedButton2 = stripButton("SpeedButton2", "Close");

    connect(SpeedButton3, &QToolButton::clicked, this,
            ui::guarded([this] { SpeedButton3Click(); }));
    connect(SpeedButton5, &QToolButton::clicked, this,
            ui::guarded([this] { SpeedButton5Click(); }));
    connect(SpeedButton1, &QToolButton::clicked, this,
            ui::guarded([this] { SpeedButton1Click(); }));
    connect(SpeedButton4, &QToolButton::clicked, this,
            ui::guarded([this] { SpeedButton4Click(); }));
    connect(SpeedButton2, &QToolButton::clicked, this, [this] { close(); });
    setIdle();
}

QLineEdit* TFrmConvert::infoRow(QGroupBox* box, const QString& label, const char* name,
                                bool enabled) {
    auto* grid = static_cast<QGridLayout*>(box->layout());
    const int row = grid->count() / 2;
    auto* edit = new QLineEdit(box);
    edit->setObjectName(name);
    edit->setEnabled(enabled);
    auto* caption = new QLabel(label, box);
    caption->setBuddy(edit);
    grid->addWidget(caption, row, 0);
    grid->addWidget(edit, row, 1);
    return edit;
}

void TFrmConvert::showEvent(QShowEvent* event) {
    setIdle();
    TToolForm::showEvent(event);
}

void TFrmConvert::setIdle() {
    SpeedButton1->setEnabled(true);
    SpeedButton4->setEnabled(false);
    SpeedButton2->setEnabled(true);
}

void TFrmConvert::SpeedButton3Click() {
    ui::FileDialogRequest request;
    request.filter = ConvertOpenFilter;
    const auto name = ui::dialogs().openFile(request);
    if (!name) return;
    SourceEdit->setText(QString::fromStdString(*name));
    Info = ReadMediaInfo(text(SourceEdit));
    showInfo();
}

void TFrmConvert::showInfo() {
    const auto put = [](QLineEdit* edit, const std::string& value) {
        edit->setText(QString::fromStdString(value));
    };
    put(Edit2, Info.VideoMajorType);
    put(Edit4, Info.Duration);
    put(Edit5, Info.VideoFourCC);
    put(Edit6, Info.VideoWidth);
    put(Edit20, Info.VideoWidth);
    put(Edit7, Info.VideoHeight);
    put(Edit21, Info.VideoHeight);
    put(Edit8, Info.VideoBitDepth);
    put(Edit9, Info.VideoCodecName);
    put(Edit23, Info.AudioMajorType);
    put(Edit10, Info.AudioFormatName);
    put(Edit11, Info.AudioSampleRate);
    put(Edit12, Info.AudioBitRate);
    put(Edit13, Info.AudioChannels);
}

void TFrmConvert::SpeedButton5Click() {
    browseSave(TargetEdit, "Convert To Avi", "*.avi|*.avi", "avi", "Convert");
}

void TFrmConvert::SpeedButton1Click() {
    requireName(SourceEdit, "Please Choose  Convert Source File");
    requireName(TargetEdit, "Please Input Target File Name");
    SpeedButton4->setEnabled(true);
    SpeedButton1->setEnabled(false);
    SpeedButton2->setEnabled(false);
    // However the conversion ends (done, stopped, refused, failed, or an error escaping it),
    // the buttons go back.
    struct Idle {
        TFrmConvert* form;
        ~Idle() { form->setIdle(); }
    } idle{this};
    const tools::JobResult r = job.convert(text(SourceEdit), text(TargetEdit), text(Edit20),
                                           text(Edit21), barHooks(ProgressBar1));
    // The render has ended: the buttons are idle while its message is shown.
    setIdle();
    switch (r.outcome) {
    case tools::Outcome::Stopped:
        // Stopped by itself (the source gave no more data): said as such, not as complete.
        if (!r.error.empty()) {
            ui::messageBox(r.error, QApplication::applicationName().toStdString(),
                           ui::MsgIcon::Warning);
            break;
        }
        [[fallthrough]]; // the file holds what was written up to the stop
    case tools::Outcome::Done:
        ui::messageBox(ConvertCompleteText, QApplication::applicationName().toStdString());
        break;
    case tools::Outcome::Refused:
    case tools::Outcome::Failed:
        throw ui::EUserMessage(r.error);
    case tools::Outcome::Busy:
        break;
    }
}

void TFrmConvert::SpeedButton4Click() {
    // The loop ends within one wait; the buttons go back when the conversion has ended.
    job.Stop();
    SpeedButton4->setEnabled(false);
}

void TFrmConvert::sayBusy() {
    ui::messageBox("Converting, please stop it or wait before closing",
                   QApplication::applicationName().toStdString());
}

void TFrmConvert::clearGraphs() {
    job.FilterGraph1.setActive(false);
    job.FilterGraph1.ClearGraph();
}

} // namespace avi
