#include "ModelessWindow.h"

namespace ui {

QWidget* ModelessWindow::open(QWidget* mainWindow, const std::function<QWidget*()>& create,
                              const std::function<void(QWidget*)>& beforeShow) {
    if (!window_) {
        QWidget* w = create();
        if (!w) return nullptr;
        w->setAttribute(Qt::WA_DeleteOnClose);
        const QRect outer = mainWindow->frameGeometry();
        w->move(outer.left(), outer.top() + outer.height());
        window_ = w;
    }
    if (beforeShow) beforeShow(window_);
    window_->show();
    window_->raise();
    window_->activateWindow();
    return window_;
}

void ModelessWindow::close() {
    if (window_) {
        QWidget* w = window_;
        w->close();
        // A window that refused to close keeps its reference.
        if (!w->isVisible()) window_.clear();
    }
}

} // namespace ui
