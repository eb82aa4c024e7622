// The bookkeeping of a modeless tool window: at most one exists, it is created on demand,
// placed directly below the main window, shown again instead of created twice, and the
// reference clears itself when the window closes and frees itself. User-interface thread.
#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>

namespace ui {

class ModelessWindow {
  public:
    QWidget* get() const { return window_.data(); }
    bool exists() const { return !window_.isNull(); }

    // Creates the window with create() when there is none (it is made to free itself on
    // close) and places its top-left corner at the main window's bottom-left; then runs
    // beforeShow (if given) on the window, new or existing, and shows it.
    QWidget* open(QWidget* mainWindow, const std::function<QWidget*()>& create,
                  const std::function<void(QWidget*)>& beforeShow = {});
    // Closes the window, which frees it, if there is one.
    void close();

  private:
    QPointer<QWidget> window_;
};

} // namespace ui
