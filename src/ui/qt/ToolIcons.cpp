#include "ToolIcons.h"

#include <QPainter>
#include <QPixmap>

namespace ui {

QIcon drawnIcon(const std::function<void(QPainter&)>& draw) {
    QPixmap pixmap(24, 24);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
    return QIcon(pixmap);
}

QIcon recordIcon() {
    return drawnIcon([](QPainter& p) {
        p.setPen(QPen(QColor(120, 0, 0), 1));
        p.setBrush(QColor(220, 30, 30));
        p.drawEllipse(QRectF(4, 4, 16, 16));
    });
}

QIcon stopIcon() {
    return drawnIcon([](QPainter& p) {
        p.setPen(QPen(QColor(30, 30, 30), 1));
        p.setBrush(QColor(70, 70, 90));
        p.drawRect(QRectF(5, 5, 14, 14));
    });
}

// A camera: body, lens and flash.
QIcon snapshotIcon() {
    return drawnIcon([](QPainter& p) {
        p.setPen(QPen(QColor(30, 30, 30), 1));
        p.setBrush(QColor(90, 90, 100));
        p.drawRoundedRect(QRectF(2, 7, 20, 13), 2, 2);
        p.drawRect(QRectF(7, 4, 7, 3));
        p.setBrush(QColor(120, 180, 240));
        p.drawEllipse(QPointF(12, 13.5), 4.5, 4.5);
        p.setBrush(QColor(250, 220, 60));
        p.drawRect(QRectF(17, 9, 3, 2));
    });
}

QIcon optionIcon() {
    return drawnIcon([](QPainter& p) {
        p.setPen(QPen(QColor(60, 60, 60), 2));
        for (int y : {6, 12, 18})
            p.drawLine(QPointF(3, y), QPointF(21, y));
        p.setBrush(QColor(240, 180, 40));
        p.drawEllipse(QPointF(8, 6), 2.5, 2.5);
        p.drawEllipse(QPointF(16, 12), 2.5, 2.5);
        p.drawEllipse(QPointF(10, 18), 2.5, 2.5);
    });
}

QIcon closeIcon() {
    return drawnIcon([](QPainter& p) {
        p.setPen(QPen(QColor(170, 20, 20), 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(6, 6), QPointF(18, 18));
        p.drawLine(QPointF(18, 6), QPointF(6, 18));
    });
}

} // namespace ui
