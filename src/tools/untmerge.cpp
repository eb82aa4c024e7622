#include "untmerge.h"

#include "ui/Dialogs.h"
#include "ui/qt/ErrorBox.h"

#include <QApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QToolButton>

namespace tools {

TFrmmerge::TFrmmerge(QWidget* owner)
    : TToolForm(owner, "Frmmerge", "Video Audio Merge", QSize(542, 353)) {
    GroupBox1 = groupBox("GroupBox1", "Source File");
    AudioEdit = fileRow(GroupBox1, "Audio File", "AudioEdit", "SpeedButton1", &SpeedButton1);
    VideoEdit = fileRow(GroupBox1, "Video File", "VideoEdit", "SpeedButton2", &SpeedButton2);
    GroupBox2 = groupBox("GroupBox2", "Target File");
    MergeEdit = fileRow(GroupBox2, "File Name", "MergeEdit", "SpeedButton5", &SpeedButton5);
    ProgressBar1 = progressBar("ProgressBar1");
    addToPanel(new QWidget(Panel2)); // the room left below
    SpeedButton3 = stripButton("SpeedButton3", "Merge");
    SpeedButton4 = stripButton("SpeedButton4", "Close");

    connect(SpeedButton1, &QToolButton::clicked, this,
            ui::guarded([this] { browseOpen(AudioEdit, "Open Audio File", "Mp3;wav|*.Mp3;wav"); }));
    connect(SpeedButton2, &QToolButton::clicked, this,
            ui::guarded([this] { browseOpen(VideoEdit, "Open Video File", "AVI|*.avi"); }));
    connect(SpeedButton5, &QToolButton::clicked, this, ui::guarded([this] {
                browseSave(MergeEdit,
                           "\xE5\x90\x88\xE5\xB9\xB6\xE6\x96\x87\xE4\xBB\xB6\xE5\x90\x8D", "",
                           "avi", "Merge");
            }));
    connect(SpeedButton3, &QToolButton::clicked, this,
            ui::guarded([this] { SpeedButton3Click(); }));
    connect(SpeedButton4, &QToolButton::clicked, this,
            ui::guarded([this] { SpeedButton4Click(); }));
}

void TFrmmerge::SpeedButton3Click() {
    requireName(AudioEdit, "Please Choose then Audio file");
    requireName(VideoEdit, "Please Choose The Video file");
    requireName(MergeEdit, "Please input Save File Name");
    const JobResult r =
        job.merge(text(AudioEdit), text(VideoEdit), text(MergeEdit), barHooks(ProgressBar1));
    switch (r.outcome) {
    case Outcome::Done:
        ui::messageBox(MergeCompleteText, MergeCompleteCaption);
        break;
    case Outcome::Refused:
    case Outcome::Failed:
        throw ui::EUserMessage(r.error);
    case Outcome::Stopped:
        // Stopped by itself (the source gave no more data): said so; a Stop says nothing.
        if (!r.error.empty()) ui::messageBox(r.error, MergeCompleteCaption, ui::MsgIcon::Warning);
        break;
    case Outcome::Busy:
        break;
    }
}

void TFrmmerge::SpeedButton4Click() {
    if (job.running())
        sayBusy();
    else
        close();
}

void TFrmmerge::sayBusy() {
    ui::messageBox(MergeBusyText, QApplication::applicationName().toStdString());
}

void TFrmmerge::clearGraphs() {
    job.FilterGraph2.setActive(false);
    job.FilterGraph2.ClearGraph();
}

} // namespace tools
