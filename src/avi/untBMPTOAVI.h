// The images-to-AVI window ("BMP2AVI"): the user lists picture files, sets the frame size and
// how long each picture stays, and starts; each picture becomes one frame of an XviD AVI written
// by the window's TAviWriter_2. Shown modally by the main window, which frees it. The run
// happens inside "Start" on the user-interface thread; the bar advances per picture.
// User-interface thread only.
#pragma once

#include "AviWriter_2.h"

#include <QDialog>

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
    TAviWriter_2 AviWriter;

    // The open dialog's filter and the save dialog's, as the window asks for them.
    static std::string pictureDialogFilter();

  private:
    void SpeedButton1Click();
    void SpeedButton2Click();
    void SpeedButton3Click();
    void SpeedButton4Click();
};

} // namespace avi
