// The native window a video renderer draws into, made with the renderer by the controls that
// show video (the video window, the overlay video window). Qt paints nothing there: the
// picture is the renderer's, and a paint asks the renderer to draw its last picture again.
// Mouse and key input over it goes on to its control, as if the video were part of it.
//
// User-interface thread only.
#pragma once

#include <QWidget>
#include <functional>
#include <string>

namespace media {

class TRendererWindow : public QWidget {
  public:
    // A hidden native child of parent named "VideoRenderer", titled title, whose input goes
    // to control.
    TRendererWindow(QWidget* control, QWidget* parent, const std::string& title);
    // Runs the gone handler first: the renderer must stop drawing before the X window goes,
    // else its next picture ends the program with an X error.
    ~TRendererWindow() override;

    // Asks the renderer to draw again.
    void setRepaint(std::function<void()> repaint) { repaint_ = std::move(repaint); }
    // Runs when the window is destroyed while still attached (its Qt parent went first).
    void setOnGone(std::function<void()> gone) { gone_ = std::move(gone); }
    // Forgets the control and both handlers; the control is going.
    void detach();
    QPaintEngine* paintEngine() const override { return nullptr; }

  protected:
    void paintEvent(QPaintEvent*) override;
    bool event(QEvent* e) override;

  private:
    QWidget* control_;
    std::function<void()> repaint_;
    std::function<void()> gone_;
};

} // namespace media
