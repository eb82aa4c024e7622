#include "ModalFamily.h"

#include <QWidget>
#include <QWindow>

namespace ui {

void joinModalFamily(QWidget* window, QWidget* owner) {
    if (!window || !owner) return;
    QWidget* top = owner->window();
    if (top == window) return;
    // Both need their native windows for the one to be made transient for the other.
    window->winId();
    top->winId();
    if (QWindow* handle = window->windowHandle()) handle->setTransientParent(top->windowHandle());
}

} // namespace ui
