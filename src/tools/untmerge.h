// The merge window: puts the picture of a video file and the sound of an MP3 or WAV file side
// by side into a new AVI file, both copied as they are. Shown modally by the main window, which
// frees it. While a merge runs the bar follows it and the window does not close.
// User-interface thread only.
#pragma once

#include "EditJobs.h"
#include "ToolForm.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QToolButton;

namespace tools {

class TFrmmerge : public TToolForm {
  public:
    explicit TFrmmerge(QWidget* owner = nullptr);

    // -- Components, named as the form names them.
    QGroupBox* GroupBox1; // "Source File"
    QLineEdit* AudioEdit;
    QToolButton* SpeedButton1;
    QLineEdit* VideoEdit;
    QToolButton* SpeedButton2;
    QGroupBox* GroupBox2; // "Target File"
    QLineEdit* MergeEdit;
    QToolButton* SpeedButton5;
    QProgressBar* ProgressBar1;
    QToolButton* SpeedButton3; // "Merge"
    QToolButton* SpeedButton4; // "Close"

    // The graph (FilterGraph2) and its two file sources (Filter1, Filter2).
    MergeJob job;

  protected:
    bool closable() const override { return job.closable(); }
    void sayBusy() override;
    void clearGraphs() override;

  private:
    void SpeedButton3Click();
    void SpeedButton4Click();
};

} // namespace tools
