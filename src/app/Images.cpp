#include "Images.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace app {

namespace {

QPixmap canvas() {
    QPixmap p(24, 24);
    p.fill(Qt::transparent);
    return p;
}

// A small monitor: frame, screen and stand.
void drawMonitor(QPainter& g, const QColor& screen) {
    g.setPen(QPen(QColor(0x37, 0x41, 0x51), 1.5));
    g.setBrush(screen);
    g.drawRoundedRect(QRectF(2.5, 3.5, 19, 13), 2, 2);
    g.setBrush(QColor(0x37, 0x41, 0x51));
    g.drawRect(QRectF(10, 17, 4, 2.5));
    g.drawRoundedRect(QRectF(6.5, 19.5, 11, 2), 1, 1);
}

} // namespace

QIcon playImage() {
    QPixmap p = canvas();
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    g.setPen(Qt::NoPen);
    g.setBrush(QColor(0x16, 0xA3, 0x4A));
    g.drawEllipse(QRectF(1.5, 1.5, 21, 21));
    QPainterPath tri;
    tri.moveTo(9.5, 7);
    tri.lineTo(17.5, 12);
    tri.lineTo(9.5, 17);
    tri.closeSubpath();
    g.setBrush(Qt::white);
    g.drawPath(tri);
    return QIcon(p);
}

QIcon captureVideoImage() {
    QPixmap p = canvas();
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    g.setPen(Qt::NoPen);
    g.setBrush(QColor(0x37, 0x41, 0x51));
    g.drawRoundedRect(QRectF(1.5, 6, 15, 12), 2.5, 2.5);
    QPainterPath lens;
    lens.moveTo(16.5, 10.5);
    lens.lineTo(22.5, 7);
    lens.lineTo(22.5, 17);
    lens.lineTo(16.5, 13.5);
    lens.closeSubpath();
    g.drawPath(lens);
    g.setBrush(QColor(0xEF, 0x44, 0x44));
    g.drawEllipse(QRectF(4, 8.5, 4, 4));
    return QIcon(p);
}

QIcon recordScreenImage() {
    QPixmap p = canvas();
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    drawMonitor(g, QColor(0x3B, 0x82, 0xF6));
    g.setPen(Qt::NoPen);
    g.setBrush(QColor(0xEF, 0x44, 0x44));
    g.drawEllipse(QRectF(8.5, 6.5, 7, 7));
    return QIcon(p);
}

QIcon exitImage() {
    QPixmap p = canvas();
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    QPen pen(QColor(0xDC, 0x26, 0x26), 2.6, Qt::SolidLine, Qt::RoundCap);
    g.setPen(pen);
    g.drawArc(QRectF(4, 4.5, 16, 16), 120 * 16, 300 * 16);
    g.drawLine(QPointF(12, 2.5), QPointF(12, 11));
    return QIcon(p);
}

QList<QIcon> trayImages() {
    QList<QIcon> images;
    for (int step = 0; step < 4; ++step) {
        QPixmap p = canvas();
        QPainter g(&p);
        g.setRenderHint(QPainter::Antialiasing);
        drawMonitor(g, QColor(0x3B, 0x82, 0xF6));
        g.setPen(Qt::NoPen);
        const double r = 2.0 + step; // the dot grows, then starts over
        g.setBrush(QColor(0xEF, 0x44, 0x44, 255 - step * 40));
        g.drawEllipse(QPointF(12, 10), r, r);
        images << QIcon(p);
    }
    return images;
}

} // namespace app
