// The split window: writes the sound of an AVI file through MP3 into one new AVI file and its
// picture through XviD into another, both graphs running side by side; when both have ended
// it says so and closes. Shown modally by the main window, which frees it. It does not close
// while either graph runs. User-interface thread only.
#pragma once

#include "EditJobs.h"
#include "ToolForm.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QToolButton;

namespace tools {

class TFrmseparate : public TToolForm {
  public:
    explicit TFrmseparate(QWidget* owner = nullptr);

    // -- Components, named as the form names them.
    QGroupBox* GroupBox2; // "Source File"
    QLineEdit* SeparateEdit;
    QToolButton* SpeedButton5;
    QGroupBox* GroupBox1; // "Target File"
    QLineEdit* AudioEdit;
    QToolButton* SpeedButton1;
    QLineEdit* VideoEdit;
    QToolButton* SpeedButton2;
    QLabel* Label3;            // "Spilting..."
    QToolButton* SpeedButton3; // "Split"
    QToolButton* SpeedButton4; // "Close"

    // The audio graph (FilterGraph1: Filter1, MP3Enc) and the video graph (FilterGraph2:
    // Filter2, DivXEncoder), with AudioDone and VideoDone.
    SplitJob job;

  protected:
    void showEvent(QShowEvent* event) override;
    bool closable() const override { return job.closable(); }
    void sayBusy() override;
    void clearGraphs() override;

  private:
    void SpeedButton3Click();
    void SpeedButton4Click();
    void splitComplete(const std::string& caption);
    void splitFailed(const std::string& why);
};

} // namespace tools
