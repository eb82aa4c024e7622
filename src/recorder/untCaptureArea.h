// Choosing the rectangle to record: a borderless window covering the whole screen shows a
// frozen picture of it; a crosshair follows the mouse, the first click starts a rubber band,
// the second stores the rectangle as this (then hidden) window's bounds and sets the
// program-wide capture-area-chosen flag. The screen engine reads the rectangle through
// captureBounds() from its worker. One window for the program, created on first use and
// reused. User-interface thread only, except captureBounds().
#pragma once

#include "TScreenCam.h"

#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <mutex>
#include <vector>

namespace recorder {

// The capture-area-chosen flag: true while the chosen rectangle, not the whole screen, is to be
// recorded. User-interface thread only.
bool captureAreaChosen();
void setCaptureAreaChosen(bool chosen);

// The whole screen as a picture, through the same grab the engine records with. Throws with
// the reason when the screen cannot be read.
QImage grabScreen();

class TFrmCaptureArea : public QWidget, public CaptureAreaSource {
  public:
    // The program's one selection window (created on first use).
    static TFrmCaptureArea& instance();

    // Starts a selection: hides the given windows; one second later freezes the screen and
    // shows it. preview receives the picture of the chosen rectangle; finished(chosen) runs
    // when the selection ends (false: cancelled with Escape). Both may be empty.
    void Open(std::vector<QWidget*> windowsToHide, std::function<void(const QImage&)> preview,
              std::function<void(bool chosen)> finished = {});

    // The chosen rectangle (this window's bounds). This function is thread-safe.
    Rect captureBounds() const override;

    // -- For tests: the frozen picture as now drawn on (crosshair, rubber band) and as grabbed.
    const QImage& canvas() const { return canvas_; }
    const QImage& frozen() const { return frozen_; }
    bool selecting() const { return selecting_; }
    bool crosshairMode() const { return crosshairMode_; }

    QWidget* Image1;
    QTimer* Timer1;

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    TFrmCaptureArea();
    friend class CaptureImage;
    void Timer1Timer();
    void Image1MouseMove(QPoint p);
    void Image1MouseDown(QPoint p);
    void finish(bool chosen);
    void drawCrosshair(QPoint p);
    void drawRubberBand(QPoint a, QPoint b);
    void invertHLine(int y, int x0, int x1);
    void invertVLine(int x, int y0, int y1);

    QImage frozen_;
    QImage canvas_;
    bool crosshairMode_ = false;
    bool selecting_ = false;
    QPoint crosshair_{-1, -1};
    QPoint first_, last_, second_;
    std::vector<QPointer<QWidget>> hidden_;
    std::function<void(const QImage&)> preview_;
    std::function<void(bool)> finished_;

    mutable std::mutex mutex_;
    Rect bounds_; // protected by mutex_
};

} // namespace recorder
