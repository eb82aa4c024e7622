#include "TrayIcon.h"

#include <QCursor>
#include <QEvent>
#include <QMenu>
#include <QWidget>

namespace ui {

TTrayIcon::TTrayIcon(QWidget* window) : QObject(window), window_(window) {
    timer_.setInterval(200);
    connect(&timer_, &QTimer::timeout, this, [this] { stepImage(); });
    connect(&tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason r) { activated(r); });
    window_->installEventFilter(this);
}

void TTrayIcon::show() {
    if (trayAvailable() && !images_.isEmpty()) tray_.show();
}

bool TTrayIcon::trayAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TTrayIcon::setHint(const QString& hint) {
    hint_ = hint;
    tray_.setToolTip(hint);
}

void TTrayIcon::setImages(const QList<QIcon>& images) {
    images_ = images;
    index_ = 0;
    if (!images_.isEmpty()) tray_.setIcon(images_.first());
}

void TTrayIcon::setCycling(bool on) {
    if (on) {
        timer_.start();
    } else {
        timer_.stop();
        index_ = 0;
        if (!images_.isEmpty()) tray_.setIcon(images_.first());
    }
}

void TTrayIcon::stepImage() {
    if (images_.isEmpty()) return;
    index_ = (index_ + 1) % int(images_.size());
    tray_.setIcon(images_[index_]);
}

void TTrayIcon::setPopupMenu(QMenu* menu) {
    menu_ = menu;
}

void TTrayIcon::activated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger && menu_) {
        menu_->popup(QCursor::pos());
    } else if (reason == QSystemTrayIcon::DoubleClick ||
               (reason == QSystemTrayIcon::Trigger && inTray_)) {
        restoreFromTray();
    }
}

void TTrayIcon::addCompanion(QWidget* w) {
    if (w && !companions_.contains(w)) companions_.append(w);
}

void TTrayIcon::removeCompanion(QWidget* w) {
    companions_.removeAll(w);
    hiddenCompanions_.removeAll(w);
}

void TTrayIcon::minimizeToTray() {
    if (inTray_) return;
    if (!trayAvailable()) {
        window_->showMinimized();
        return;
    }
    // Hidden at once rather than minimised first: the window manager's answer to a minimise
    // can come after the window has gone, and Qt then shows the window again.
    inTray_ = true;
    hideCompanions();
    window_->hide();
}

void TTrayIcon::hideCompanions() {
    for (const QPointer<QWidget>& w : companions_)
        if (w && w->isVisible()) {
            hiddenCompanions_.append(w);
            w->hide();
        }
}

void TTrayIcon::restoreFromTray() {
    inTray_ = false;
    window_->showNormal();
    window_->raise();
    window_->activateWindow();
    const QList<QPointer<QWidget>> back = hiddenCompanions_;
    hiddenCompanions_.clear();
    for (const QPointer<QWidget>& w : back)
        if (w) w->show();
}

bool TTrayIcon::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_ && event->type() == QEvent::WindowStateChange &&
        window_->isMinimized() && trayAvailable() && !inTray_) {
        // Hidden after the state change has been handled, so the task-bar entry goes away.
        inTray_ = true;
        hideCompanions();
        QTimer::singleShot(0, window_, [w = window_] { w->hide(); });
    }
    return QObject::eventFilter(watched, event);
}

} // namespace ui
