// The images-to-AVI window ("BMP2AVI"): the user lists picture files, sets the frame size and
// how long each picture stays, and starts; each picture becomes one frame of an XviD AVI written
// by the window's TAviWriter_2. Shown modally by the main window, which frees it. "Start" asks
// for the file, then the pictures are written on a worker thread while the window keeps
// drawing: the bar advances per picture, and "Stop" (or closing the window) ends the file after
// the pictures written so far. "Start" returns when the file is whole.
// The window's members: user-interface thread only.
#pragma once

#include "AviWriter_2.h"

#include <QDialog>

#include <atomic>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QListWidget;
class QProgressBar;
class QSpinBox;
class QToolButton;

namespace avi {

class TFrmBMPTOAVI : public QDialog {
  public:
    explicit TFrmBMPTOAVI(QWidget* owner = nullptr);

    // -- Components, named as the form names them.
    QListWidget* ListBox1; // picture paths, in frame order
    QProgressBar* ProgressBar1;
    QToolButton* SpeedButton1; // "Add Image"
    QToolButton* SpeedButton2; // "Clear List"
    QGroupBox* GroupBox1;      // "Option"
    QSpinBox* SpinEdit1;       // "Frame Width"
    QSpinBox* SpinEdit2;       // "Frame Height"
    QSpinBox* SpinEdit3;       // "Frame Time [ms]"
    QComboBox* ComboBox1;      // "Pixel Format", shown only: frames are built at 24 bits
    QCheckBox* CheckBox1;      // "Stretch Images"
    QToolButton* SpeedButton3; // "Start"
    QToolButton* SpeedButton4; // "Close"
    QToolButton* StopButton;   // "Stop", enabled while the pictures are written
    TAviWriter_2 AviWriter;    // the worker's while the pictures are written

    bool writing() const { return writing_; }

    // The open dialog's filter and the save dialog's, as the window asks for them.
    static std::string pictureDialogFilter();

  private:
    void SpeedButton1Click();
    void SpeedButton2Click();
    void SpeedButton3Click();
    void SpeedButton4Click();
    void setWriting(bool writing);
    void reject() override;
    void closeEvent(QCloseEvent* event) override;

    bool writing_ = false;
    bool closeAfterWriting_ = false;
    std::atomic<bool> stop_{false};
};

} // namespace avi
