#include "untLink.h"

#include "ui/Dialogs.h"
#include "ui/qt/ErrorBox.h"

#include <QApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QToolButton>

namespace tools {

TFrmLink::TFrmLink(QWidget* owner) : TToolForm(owner, "FrmLink", "Link", QSize(557, 358)) {
    GroupBox1 = groupBox("GroupBox1", "Source File");
    VideoEdit1 = fileRow(GroupBox1, "Link One", "VideoEdit1", "SpeedButton1", &SpeedButton1);
    VideoEdit2 = fileRow(GroupBox1, "Link Two", "VideoEdit2", "SpeedButton2", &SpeedButton2);
    GroupBox2 = groupBox("GroupBox2", "Target File");
    MergeEdit = fileRow(GroupBox2, "File Name", "MergeEdit", "SpeedButton5", &SpeedButton5);
    ProgressBar1 = progressBar("ProgressBar1");
    addToPanel(new QWidget(Panel2)); // the room left below
    SpeedButton3 = stripButton("SpeedButton3", "Link");
    SpeedButton6 = stripButton("SpeedButton6", "Stop");
    SpeedButton4 = stripButton("SpeedButton4", "Close");

    for (auto [button, box] : {std::pair{SpeedButton1, VideoEdit1}, {SpeedButton2, VideoEdit2}})
        connect(button, &QToolButton::clicked, this, ui::guarded([this, box = box] {
                    browseOpen(box, "Open Video File", "AVI|*.avi");
                }));
    connect(SpeedButton5, &QToolButton::clicked, this, ui::guarded([this] {
                browseSave(MergeEdit,
                           "\xE5\x90\x88\xE5\xB9\xB6\xE6\x96\x87\xE4\xBB\xB6\xE5\x90\x8D", "",
                           "avi", "Link");
            }));
    connect(SpeedButton3, &QToolButton::clicked, this,
            ui::guarded([this] { SpeedButton3Click(); }));
    connect(SpeedButton6, &QToolButton::clicked, this,
            ui::guarded([this] { SpeedButton6Click(); }));
    connect(SpeedButton4, &QToolButton::clicked, this, [this] { close(); });
}

void TFrmLink::SpeedButton3Click() {
    requireName(VideoEdit1, "Please Choose The Link File!");
    requireName(VideoEdit2, "Please Choose The Link File!");
    requireName(MergeEdit, "Please Set  Target File Name!");
    SpeedButton3->setEnabled(false);
    SpeedButton6->setEnabled(true);
    SpeedButton4->setEnabled(false);
    const JobResult r =
        job.link(text(VideoEdit1), text(VideoEdit2), text(MergeEdit), barHooks(ProgressBar1));
    // The buttons stay as they are until Stop, also after a link that ended by itself.
    switch (r.outcome) {
    case Outcome::Stopped:
        // Stopped by itself (the source gave no more data): said as such, not as complete.
        if (!r.error.empty()) {
            ui::messageBox(r.error, LinkCompleteCaption, ui::MsgIcon::Warning);
            break;
        }
        [[fallthrough]]; // the file holds what was written up to the stop
    case Outcome::Done:
        ui::messageBox(LinkCompleteText, LinkCompleteCaption, ui::MsgIcon::Information);
        break;
    case Outcome::Refused:
    case Outcome::Failed:
        throw ui::EUserMessage(r.error);
    case Outcome::Busy:
        break;
    }
}

void TFrmLink::SpeedButton6Click() {
    job.Stop();
    SpeedButton3->setEnabled(true);
    SpeedButton6->setEnabled(false);
    SpeedButton4->setEnabled(true);
}

void TFrmLink::sayBusy() {
    ui::messageBox("Linking, please stop it or wait before closing",
                   QApplication::applicationName().toStdString());
}

void TFrmLink::clearGraphs() {
    // The second measuring graph first.
    for (media::TFilterGraph* g : {&job.FilterGraph2, &job.FilterGraph1}) {
        g->setActive(false);
        g->ClearGraph();
    }
}

} // namespace tools
