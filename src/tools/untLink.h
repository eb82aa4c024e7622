// The link window: writes two files one after the other into a new AVI file (XviD and MP3)
// through the timeline render, the bar following it. Stop ends a link early with a whole file.
// Shown modally by the main window, which frees it. It does not close while linking.
// User-interface thread only.
#pragma once

#include "EditJobs.h"
#include "ToolForm.h"

class QGroupBox;
class QLineEdit;
class QProgressBar;
class QToolButton;

namespace tools {

class TFrmLink : public TToolForm {
  public:
    explicit TFrmLink(QWidget* owner = nullptr);

    // -- Components, named as the form names them.
    QGroupBox* GroupBox1; // "Source File"
    QLineEdit* VideoEdit1;
    QToolButton* SpeedButton1;
    QLineEdit* VideoEdit2;
    QToolButton* SpeedButton2;
    QGroupBox* GroupBox2; // "Target File"
    QLineEdit* MergeEdit;
    QToolButton* SpeedButton5;
    QProgressBar* ProgressBar1;
    QToolButton* SpeedButton3; // "Link"
    QToolButton* SpeedButton6; // "Stop"
    QToolButton* SpeedButton4; // "Close"

    // The measuring graphs (FilterGraph1, FilterGraph2), CompletionCode and the durations.
    LinkJob job;

  protected:
    bool closable() const override { return job.closable(); }
    void sayBusy() override;
    void clearGraphs() override;

  private:
    void SpeedButton3Click();
    void SpeedButton6Click();
};

} // namespace tools
