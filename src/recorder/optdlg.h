// The recording options dialog: the engine's record interval and playback rate on two track
// bars (logarithmic 1 ms..1 min per frame, linear 1..50 fps), the key-frame interval, and the
// compressor quality on a bar that is never shown. Values pass through bar positions, so they
// are quantised on every OK. Modal, created and freed around each use by the Record Screen
// window; it reads and writes the engine directly. User-interface thread only.
#pragma once

#include <QDialog>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;

namespace recorder {

class TScreenCam;

// The bar mappings; nearest() is rounding to the nearest integer, ties to even.
namespace optionmap {
constexpr int RateBarMax = 1000;
constexpr int QualityBarMax = 100;
int recordInterval(int position); // ms per frame, logarithmic 1..60000
int recordPosition(int intervalMs);
int playbackRate(int position); // frames per second, linear 1..50
int playbackPosition(int rate);
int quality(int position); // 0..10000
int qualityPosition(int quality);
} // namespace optionmap

// The platform's decimal string-to-integer conversion: optional blanks, an optional sign and
// decimal digits that fit 32 bits. Throws "'<text>' is not a valid integer value" otherwise.
int strToInt(const QString& text);

class TOptionDlg : public QDialog {
  public:
    explicit TOptionDlg(TScreenCam& engine, QWidget* parent = nullptr);

    QGroupBox* GroupBox1;
    QLabel* Label6;
    QLabel* Label4;
    QLabel* labelmspFrecord;
    QSlider* TrackBarRecord;
    QLabel* Label2;
    QLineEdit* EditKeyFrames;
    QLabel* Label3;
    QGroupBox* GroupBox2;
    QLabel* Label5;
    QLabel* Label7;
    QLabel* labelFPSPlayback;
    QSlider* TrackBarPlayback;
    QGroupBox* GroupBox3; // never shown
    QSlider* TrackBarQuality;
    QLabel* LabelQuality;
    QPushButton* Button2; // OK
    QPushButton* Button3; // Cancel

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void FormShow();
    void TrackBarChange();
    void Button2Click();

    TScreenCam& engine_;
};

} // namespace recorder
