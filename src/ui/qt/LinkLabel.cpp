#include "LinkLabel.h"

#include "ErrorBox.h"
#include "Shell.h"

#include <QMouseEvent>

namespace ui {

TLinkLabel::TLinkLabel(const QString& caption, const QString& url, QWidget* parent)
    : QLabel(caption, parent), url_(url) {
    setColour(Qt::black);
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
}

void TLinkLabel::setColour(const QColor& c) {
    QPalette p = palette();
    p.setColor(QPalette::WindowText, c);
    setPalette(p);
}

void TLinkLabel::enterEvent(QEnterEvent* event) {
    setColour(QColor(0, 0, 255));
    setCursor(Qt::PointingHandCursor);
    QLabel::enterEvent(event);
}

void TLinkLabel::leaveEvent(QEvent* event) {
    setColour(Qt::black);
    unsetCursor();
    QLabel::leaveEvent(event);
}

void TLinkLabel::mousePressEvent(QMouseEvent* event) {
    runGuarded([this] {
        if (!openUrl(url_)) throw std::runtime_error("No program could open " + url_.toStdString());
    });
    event->accept();
}

} // namespace ui
