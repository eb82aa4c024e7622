// The convert window ("Convert To Avi"): shows what a chosen media file holds, lets the user
// set the output picture size and converts the file into an AVI (XviD video, MP3 sound)
// through the timeline render, the bar following it. Stop ends a conversion early with a
// whole file. Shown modally by the main window, which frees it; it does not close while
// converting. User-interface thread only.
#pragma once

#include "ConvertJob.h"

#include "tools/ToolForm.h"

class QGroupBox;
class QLineEdit;
class QProgressBar;
class QToolButton;

namespace avi {

inline constexpr const char* ConvertOpenFilter =
    "All (*.mpg;*.mpeg;*.avi;*.qt;*.mov;*.wmv;*.3gp;*.mp4)|*.mpg;*.mpeg;*.avi;*.qt;*.mov;*.wmv;"
    "*.3gp;*.mp4|*.mpg|*.mpg|*.mpeg|*mpeg|*.avi|*.avi|*.qt|*.qt|*.mov|*.mov|*.wmv|*.wmv|*.3gp|"
    "*.3gp|*.mp4|*.mp4";

class TFrmConvert : public tools::TToolForm {
  public:
    explicit TFrmConvert(QWidget* owner = nullptr);

    // -- Components, named as the form names them.
    QGroupBox* GroupBox1; // "Source File"
    QLineEdit* SourceEdit;
    QToolButton* SpeedButton3;
    QGroupBox* GroupBox2; // "Video Info"
    QLineEdit *Edit2, *Edit4, *Edit5, *Edit6, *Edit7, *Edit8, *Edit9;
    QGroupBox* GroupBox3; // "Audio Info"
    QLineEdit *Edit23, *Edit10, *Edit11, *Edit12, *Edit13;
    QGroupBox* GroupBox4; // "Target File"
    QLineEdit* TargetEdit;
    QToolButton* SpeedButton5;
    QGroupBox* GroupBox5; // "Parameters"
    QLineEdit *Edit20, *Edit21;
    QProgressBar* ProgressBar1;
    QToolButton* SpeedButton1; // "Convert"
    QToolButton* SpeedButton4; // "Stop"
    QToolButton* SpeedButton2; // "Close"

    // The probe graph (FilterGraph1) with MP3Enc, the completion code.
    TConvertJob job;
    // The information of the last chosen source.
    EnumVid Info;

  protected:
    void showEvent(QShowEvent* event) override;
    bool closable() const override { return !job.running(); }
    void sayBusy() override;
    void clearGraphs() override;

  private:
    void SpeedButton3Click();
    void SpeedButton5Click();
    void SpeedButton1Click();
    void SpeedButton4Click();
    void showInfo();
    void setIdle();
    QLineEdit* infoRow(QGroupBox* box, const QString& label, const char* name, bool enabled);
};

} // namespace avi
