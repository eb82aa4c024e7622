// The tray-icon component: a hint, a list of images it can cycle through every 200 ms (the hint
// then says "Recording h:mm:ss", counted from the start of the cycling), a pop-up menu opened
// by a left click (once the double-click interval has passed without a second click, so a
// double click brings the windows back and never lands on an item of the menu) or at once by
// the right button, and minimise-to-tray (while the watched window is
// minimised it is hidden, so its task-bar entry is gone, and the tray icon stands for it).
// Companion windows (the tool windows of the program) leave the screen with the watched
// window and come back with it. Where the desktop has no tray the window minimises as usual
// and the rest does nothing visible. The icon appears only once show() is called, after its
// images are set. User-interface thread only.
#pragma once

#include <QIcon>
#include <QList>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

#include <chrono>

class QMenu;
class QWidget;

namespace ui {

class TTrayIcon : public QObject {
  public:
    explicit TTrayIcon(QWidget* window);

    // Puts the icon into the tray (where there is one). Call once the images are set.
    void show();
    bool visible() const { return tray_.isVisible(); }

    void setHint(const QString& hint);
    QString hint() const { return hint_; }
    void setImages(const QList<QIcon>& images);
    int imageIndex() const { return index_; }
    // Steps through the images every 200 ms while on, the hint showing the time since it was
    // switched on; back to the first image and the hint when off.
    void setCycling(bool on);
    bool cycling() const { return timer_.isActive(); }
    // The menu a left or right click opens; null for none. Not owned.
    void setPopupMenu(QMenu* menu);
    QMenu* popupMenu() const { return menu_; }

    // As the tray reports a click on the icon (tests drive the component with it).
    void activate(QSystemTrayIcon::ActivationReason reason);
    // The text the icon shows on hovering: the hint, or "Recording h:mm:ss" while cycling.
    QString toolTip() const;

    bool trayAvailable() const;
    // Hides the watched window and its companions into the tray (or minimises it where there
    // is no tray).
    void minimizeToTray();
    // Shows the watched window again, normal and active.
    void restoreFromTray();
    bool inTray() const { return inTray_; }
    // Windows that go into the tray with the watched window and come back with it.
    void addCompanion(QWidget* w);
    void removeCompanion(QWidget* w);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void stepImage();
    void activated(QSystemTrayIcon::ActivationReason reason);
    void hideCompanions();
    void showElapsed();

    QWidget* window_;
    QSystemTrayIcon tray_;
    QTimer timer_;
    QList<QIcon> images_;
    int index_ = 0;
    QString hint_;
    QPointer<QMenu> menu_;
    QTimer clickTimer_; // a left click waits this long for a second one
    QPoint clickAt_;
    std::chrono::steady_clock::time_point cyclingSince_;
    bool inTray_ = false;
    QList<QPointer<QWidget>> companions_;
    QList<QPointer<QWidget>> hiddenCompanions_; // hidden by going into the tray
};

} // namespace ui
