// The colour settings of an overlay video window's picture: brightness, contrast, hue,
// saturation, sharpness, gamma and colour on/off, pushed to the overlay and read back
// (TColorControl); which of them the overlay can change (TDSVideoWindowEx2Caps); and the small
// borderless window with four sliders and a check box that edits them while video plays
// (TColorControlForm).
//
// The settings reach the picture only while the overlay is ready: the video window has an
// overlay connection and the overlay mixer reports it active. A value set at another time is
// kept and goes to the picture at the next start of the graph.
//
// User-interface thread only.
#pragma once

#include "platform/dshow/elements/OverlayMixer.h"

#include <QCheckBox>
#include <QColor>
#include <QLabel>
#include <QPointer>
#include <QSlider>
#include <QToolButton>
#include <QWidget>
#include <cstdint>
#include <memory>

namespace dvd {

// The colour of a 0x00BBGGRR value (a colour key, say).
QColor colorOf(uint32_t bgr);

using namespace platform::dshow;

class TDSVideoWindowEx2;

class TColorControl {
  public:
    explicit TColorControl(TDSVideoWindowEx2* owner);

    // Setters check the range (an error with the value's message when outside; the stored
    // value is kept), store a new value and apply all settings. Getters refresh the settings
    // from the overlay first.
    int32_t Brightness();
    void setBrightness(int32_t v);
    int32_t Contrast();
    void setContrast(int32_t v);
    int32_t Hue();
    void setHue(int32_t v);
    int32_t Saturation();
    void setSaturation(int32_t v);
    int32_t Sharpness();
    void setSharpness(int32_t v);
    int32_t Gamma();
    void setGamma(int32_t v);
    bool ColorEnable();
    void setColorEnable(bool v);

    // The overlay's own defaults (published ones until the overlay reported its own); their
    // flags tell which settings the overlay can change.
    const DDCOLORCONTROL& hardwareDefaults() const { return defaults_; }
    // Copies the seven values from the overlay's defaults, then applies them.
    void RestoreDefault();
    // Keeps the overlay's current colours as its defaults.
    void ReadDefault();
    // Pushes the seven settings to the overlay.
    void UpdateColorControls();
    // Reads the seven settings back from the overlay (fixed values when it refuses).
    void GetColorControls();
    // The overlay mixer's first input pin, while the overlay is ready; else null.
    std::shared_ptr<IMixerPinConfig2> overlayPin() const;

  private:
    void setValue(int32_t& field, int32_t v, int32_t low, int32_t high, const char* message);

    TDSVideoWindowEx2* owner_;
    int32_t brightness_ = 750;
    int32_t contrast_ = 10000;
    int32_t hue_ = 0;
    int32_t saturation_ = 10000;
    int32_t sharpness_ = 5;
    int32_t gamma_ = 1;
    bool colorEnable_ = true;
    DDCOLORCONTROL defaults_;
};

// What the overlay video window can do with its picture.
class TDSVideoWindowEx2Caps {
  public:
    explicit TDSVideoWindowEx2Caps(TDSVideoWindowEx2* owner) : owner_(owner) {}
    bool CanOverlayGraphic() const;
    bool CanControlBrigtness() const { return can(DDCOLOR_BRIGHTNESS); }
    bool CanControlContrast() const { return can(DDCOLOR_CONTRAST); }
    bool CanControlHue() const { return can(DDCOLOR_HUE); }
    bool CanControlSaturation() const { return can(DDCOLOR_SATURATION); }
    bool CanControlSharpness() const { return can(DDCOLOR_SHARPNESS); }
    bool CanControlGamma() const { return can(DDCOLOR_GAMMA); }
    bool CanControlColorEnabled() const { return can(DDCOLOR_COLORENABLE); }

  private:
    bool can(uint32_t flag) const;
    TDSVideoWindowEx2* owner_;
};

// Borderless and on top, in the colour key of the video window (so that overlay video shows
// through its background) inside a lime round-rectangle outline. Hides when it loses focus.
class TColorControlForm : public QWidget {
  public:
    explicit TColorControlForm(TDSVideoWindowEx2* video, QWidget* parent = nullptr);

    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QSlider* TrackBar1; // brightness
    QSlider* TrackBar2; // contrast
    QSlider* TrackBar3; // hue
    QSlider* TrackBar4; // saturation
    QCheckBox* CheckBox1;
    QToolButton* SpeedButton1;

    void TrackBar1Change();
    void TrackBar2Change();
    void TrackBar3Change();
    void TrackBar4Change();
    void CheckBox1Click();
    void SpeedButton1Click();
    // Takes the key colour, centres the form over the video window and loads the controls.
    void FormShow();
    void FormDeactivate();
    // The video window whose colours the form edits (null: none; an open form closes). A form
    // that outlives its window is bound again to the next one before it shows.
    void setVideoWindow(TDSVideoWindowEx2* video);
    TDSVideoWindowEx2* videoWindow() const;

  protected:
    void showEvent(QShowEvent* e) override;
    void changeEvent(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

  private:
    void loadControls();
    QPointer<TDSVideoWindowEx2> video_;
    QColor key_;
};

} // namespace dvd
