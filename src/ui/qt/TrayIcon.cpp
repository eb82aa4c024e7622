#include "TrayIcon.h"

#include <QApplication>
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
    clickTimer_.setSingleShot(true);
    connect(&clickTimer_, &QTimer::timeout, this, [this] {
        if (menu_) menu_->popup(clickAt_);
    });
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
        if (!timer_.isActive()) cyclingSince_ = std::chrono::steady_clock::now();
        timer_.start();
        showElapsed();
    } else {
        timer_.stop();
        index_ = 0;
        if (!images_.isEmpty()) tray_.setIcon(images_.first());
        tray_.setToolTip(hint_);
    }
}

void TTrayIcon::stepImage() {
    showElapsed();
    if (images_.isEmpty()) return;
    index_ = (index_ + 1) % int(images_.size());
    tray_.setIcon(images_[index_]);
}

void TTrayIcon::showElapsed() {
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::steady_clock::now() - cyclingSince_)
                       .count();
    const QString text = QString("Recording %1:%2:%3")
                             .arg(s / 3600)
                             .arg(s / 60 % 60, 2, 10, QChar('0'))
                             .arg(s % 60, 2, 10, QChar('0'));
    if (tray_.toolTip() != text) tray_.setToolTip(text);
}

void TTrayIcon::setPopupMenu(QMenu* menu) {
    menu_ = menu;
}

void TTrayIcon::activated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Context && menu_) {
        clickTimer_.stop();
        menu_->popup(QCursor::pos());
    } else if (reason == QSystemTrayIcon::Trigger && menu_) {
        // The menu opens where the click was, once no second click has come: the second click
        // of a double click would otherwise land on the menu's first item ("Stop Record").
        clickAt_ = QCursor::pos();
        clickTimer_.start(QApplication::doubleClickInterval());
    } else if (reason == QSystemTrayIcon::DoubleClick) {
        clickTimer_.stop();
        if (menu_) menu_->hide();
        restoreFromTray();
    } else if (reason == QSystemTrayIcon::Trigger && inTray_) {
        restoreFromTray();
    }
}

void TTrayIcon::activate(QSystemTrayIcon::ActivationReason reason) {
    activated(reason);
}

QString TTrayIcon::toolTip() const {
    return tray_.toolTip();
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
