#include "untseparate.h"

#include "ui/Dialogs.h"
#include "ui/qt/ErrorBox.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

namespace tools {

TFrmseparate::TFrmseparate(QWidget* owner)
    : TToolForm(owner, "Frmseparate", "Splitter", QSize(542, 353)) {
    GroupBox2 = groupBox("GroupBox2", "Source File");
    SeparateEdit = fileRow(GroupBox2, "", "SeparateEdit", "SpeedButton5", &SpeedButton5);
    GroupBox1 = groupBox("GroupBox1", "Target File");
    AudioEdit = fileRow(GroupBox1, "Audio File", "AudioEdit", "SpeedButton1", &SpeedButton1);
    VideoEdit = fileRow(GroupBox1, "Video File", "VideoEdit", "SpeedButton2", &SpeedButton2);
    Label3 = new QLabel("Spilting...", Panel2);
    Label3->setObjectName("Label3");
    QFont bold = Label3->font();
    bold.setBold(true);
    Label3->setFont(bold);
    Label3->setStyleSheet("color: red");
    Label3->hide();
    addToPanel(Label3);
    addToPanel(new QWidget(Panel2)); // the room left below
    SpeedButton3 = stripButton("SpeedButton3", "Split");
    SpeedButton4 = stripButton("SpeedButton4", "Close");

    connect(SpeedButton5, &QToolButton::clicked, this,
            ui::guarded([this] { browseOpen(SeparateEdit, "", "*.avi|*.avi", "*.avi"); }));
    connect(SpeedButton1, &QToolButton::clicked, this, ui::guarded([this] {
                browseSave(AudioEdit, "Save Audio File", "avi|*.avi", "avi", "Audio");
            }));
    connect(SpeedButton2, &QToolButton::clicked, this,
            ui::guarded([this] { browseSave(VideoEdit, "Save Video File", "", "avi", "Video"); }));
    connect(SpeedButton3, &QToolButton::clicked, this,
            ui::guarded([this] { SpeedButton3Click(); }));
    connect(SpeedButton4, &QToolButton::clicked, this,
            ui::guarded([this] { SpeedButton4Click(); }));
    job.onComplete = [this](const std::string& caption) { splitComplete(caption); };
    job.onFailed = [this](const std::string& why) { splitFailed(why); };
}

void TFrmseparate::showEvent(QShowEvent* event) {
    TToolForm::showEvent(event);
    Label3->hide();
}

void TFrmseparate::SpeedButton3Click() {
    requireName(SeparateEdit, "Please Choose Source File");
    requireName(AudioEdit, "Please Choose a Output Audio File");
    requireName(VideoEdit, "Please Choose a Output Video File");
    const JobResult r = job.start(text(SeparateEdit), text(AudioEdit), text(VideoEdit));
    if (r.outcome == Outcome::Refused || r.outcome == Outcome::Failed)
        throw ui::EUserMessage(r.error);
    if (r.outcome == Outcome::Done) Label3->show();
}

void TFrmseparate::splitComplete(const std::string& caption) {
    ui::messageBox(SplitCompleteText, caption);
    Label3->hide();
    close();
}

void TFrmseparate::splitFailed(const std::string& why) {
    Label3->hide();
    ui::showErrorText(why);
}

void TFrmseparate::SpeedButton4Click() {
    if (!job.closable())
        sayBusy();
    else
        close();
}

void TFrmseparate::sayBusy() {
    ui::messageBox(SplitBusyText, QApplication::applicationName().toStdString());
}

void TFrmseparate::clearGraphs() {
    // The audio graph first.
    for (media::TFilterGraph* g : {&job.FilterGraph1, &job.FilterGraph2}) {
        g->setActive(false);
        g->ClearGraph();
    }
}

} // namespace tools
