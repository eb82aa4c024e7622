#include "Skin.h"

#include <QApplication>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>

namespace ui {

namespace {
bool active = false;
QString previousStyle;
QPalette previousPalette;

QPalette skinPalette() {
    QPalette p;
    p.setColor(QPalette::Window, QColor(0xF3, 0xF4, 0xF6));
    p.setColor(QPalette::WindowText, QColor(0x1F, 0x23, 0x28));
    p.setColor(QPalette::Base, Qt::white);
    p.setColor(QPalette::AlternateBase, QColor(0xEC, 0xEE, 0xF1));
    p.setColor(QPalette::Button, QColor(0xF7, 0xF8, 0xFA));
    p.setColor(QPalette::ButtonText, QColor(0x1F, 0x23, 0x28));
    p.setColor(QPalette::Highlight, QColor(0x2F, 0x6F, 0xDB));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, QColor(0xFF, 0xFF, 0xE1));
    p.setColor(QPalette::ToolTipText, Qt::black);
    // setColor above gives every group the same colour: a disabled control would look
    // exactly like an enabled one. Disabled texts and icons are greyed.
    const QColor grey(0x9A, 0xA0, 0xA6);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text,
                                     QPalette::HighlightedText, QPalette::PlaceholderText})
        p.setColor(QPalette::Disabled, role, grey);
    p.setColor(QPalette::Disabled, QPalette::Base, QColor(0xF3, 0xF4, 0xF6));
    p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0xC8, 0xCC, 0xD2));
    return p;
}
} // namespace

void setSkinActive(bool on) {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!app || on == active) return;
    if (on) {
        previousStyle = QApplication::style()->name();
        previousPalette = QApplication::palette();
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        QApplication::setPalette(skinPalette());
    } else {
        QApplication::setStyle(QStyleFactory::create(previousStyle));
        QApplication::setPalette(previousPalette);
    }
    active = on;
}

bool skinActive() {
    return active;
}

} // namespace ui
