#include "TRendererWindow.h"

#include <QCoreApplication>
#include <QEvent>

namespace media {

TRendererWindow::TRendererWindow(QWidget* control, QWidget* parent, const std::string& title)
    : QWidget(parent), control_(control) {
    setObjectName("VideoRenderer");
    setWindowTitle(QString::fromStdString(title));
    setAttribute(Qt::WA_NativeWindow);
    setAttribute(Qt::WA_DontCreateNativeAncestors);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_PaintOnScreen);
    setMouseTracking(true);
    hide();
}

TRendererWindow::~TRendererWindow() {
    if (gone_) {
        auto gone = std::move(gone_);
        gone();
    }
}

void TRendererWindow::detach() {
    control_ = nullptr;
    repaint_ = nullptr;
    gone_ = nullptr;
}

void TRendererWindow::paintEvent(QPaintEvent*) {
    if (repaint_) repaint_();
}

bool TRendererWindow::event(QEvent* e) {
    switch (e->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ContextMenu:
        if (control_) {
            QCoreApplication::sendEvent(control_, e);
            return true;
        }
        break;
    default:
        break;
    }
    return QWidget::event(e);
}

} // namespace media
