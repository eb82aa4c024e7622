#include "OuterSize.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QToolBar>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <optional>

namespace ui {

namespace {

const char* const KeeperName = "OuterSizeKeeper";

class OuterSizeKeeper : public QObject {
  public:
    OuterSizeKeeper(QWidget* window, QSize outer, bool fixed, std::optional<QPoint> at)
        : QObject(window), window_(window), outer_(outer), fixed_(fixed), at_(at) {
        setObjectName(KeeperName);
        check(true);
        window->installEventFilter(this);
    }
    // A new outer size (and place) for the same window, applied with the frame known so far.
    void keep(QSize outer, bool fixed, std::optional<QPoint> at) {
        outer_ = outer;
        fixed_ = fixed;
        at_ = at;
        check(true);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // Framing moves the client area inside the frame and tells the window its extents;
        // both arrive as one of these.
        switch (event->type()) {
        case QEvent::Show:
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::WindowActivate:
            if (watched == window_) check(false);
            break;
        default:
            break;
        }
        return false;
    }

  private:
    // The frame as far as it is known: its size, and where the client area lies inside it.
    // Unframed, both are zero.
    void check(bool always) {
        const QRect client = window_->geometry();
        const QRect outer = window_->frameGeometry();
        QSize frame = outer.size() - client.size();
        QPoint offset = client.topLeft() - outer.topLeft();
        if (frame.width() < 0 || frame.height() < 0 || offset.x() < 0 || offset.y() < 0) {
            frame = frame_;
            offset = offset_;
        }
        if (always || frame != frame_ || offset != offset_) apply(frame, offset);
    }
    void apply(QSize frame, QPoint offset) {
        frame_ = frame;
        offset_ = offset;
        const QSize client = (outer_ - frame).expandedTo(QSize(1, 1));
        if (fixed_)
            window_->setFixedSize(client);
        else
            window_->resize(client);
        // A top-level's geometry is its client area's: the frame's corner goes where asked
        // once the window manager has said how far inside it the client lies.
        if (at_) window_->setGeometry(QRect(*at_ + offset, window_->size()));
    }

    QWidget* window_;
    QSize outer_;
    bool fixed_;
    std::optional<QPoint> at_;
    QSize frame_{0, 0};
    QPoint offset_{0, 0};
};

void keep(QWidget* window, QSize outer, bool fixed, std::optional<QPoint> at) {
    // One keeper per window: a later size replaces the earlier one, which would otherwise
    // apply its own size again once the frame becomes known.
    if (auto* keeper = window->findChild<QObject*>(KeeperName, Qt::FindDirectChildrenOnly))
        static_cast<OuterSizeKeeper*>(keeper)->keep(outer, fixed, at);
    else
        new OuterSizeKeeper(window, outer, fixed, at);
}

} // namespace

void keepOuterSize(QWidget* window, QSize outer, bool fixed) {
    keep(window, outer, fixed, std::nullopt);
}

void keepOuterGeometry(QWidget* window, const QRect& outer, bool fixed) {
    keep(window, outer.size(), fixed, outer.topLeft());
}

QSize fitVideoWindow(QSize video, QSize chrome, QSize available) {
    const QSize whole = video + chrome;
    if (video.isEmpty() || available.isEmpty() ||
        (whole.width() <= available.width() && whole.height() <= available.height()))
        return whole;
    const double room = std::min(double(available.width() - chrome.width()) / video.width(),
                                 double(available.height() - chrome.height()) / video.height());
    const double scale = std::clamp(room, 0.0, 1.0);
    // Rounded down: a pixel more would put the window's edge a pixel off the screen.
    const QSize scaled(std::max(1, int(std::floor(video.width() * scale))),
                       std::max(1, int(std::floor(video.height() * scale))));
    return scaled + chrome;
}

QRect centredOn(QSize outer, const QRect& available) {
    const int left = available.left() + std::max(0, (available.width() - outer.width()) / 2);
    const int top = available.top() + std::max(0, (available.height() - outer.height()) / 2);
    return QRect(QPoint(left, top), outer);
}

QRect availableGeometryFor(const QWidget* window) {
    QScreen* s = window && window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    return s ? s->availableGeometry() : QRect();
}

void keepOnScreen(QWidget* window, QSize outer) {
    const QRect desk = availableGeometryFor(window);
    if (desk.isEmpty()) return;
    // Where the frame's corner is now (the window's corner while it is not framed yet).
    const QPoint at = window->frameGeometry().topLeft();
    const int x = std::max(desk.left(), std::min(at.x(), desk.right() + 1 - outer.width()));
    const int y = std::max(desk.top(), std::min(at.y(), desk.bottom() + 1 - outer.height()));
    if (QPoint(x, y) != at) keepOuterGeometry(window, QRect(QPoint(x, y), outer));
}

namespace {

class ActionsKeeper : public QObject {
  public:
    explicit ActionsKeeper(QToolBar* bar) : QObject(bar), bar_(bar) {
        bar->installEventFilter(this);
        fit();
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == bar_ &&
            (event->type() == QEvent::Resize || event->type() == QEvent::ActionAdded ||
             event->type() == QEvent::ActionRemoved || event->type() == QEvent::Show))
            fit();
        return false;
    }

  private:
    static constexpr int Largest = 24;
    static constexpr int Smallest = 16;

    // The width the bar's buttons need at one icon size.
    int widthAt(int icon) {
        const QSize kept = bar_->iconSize();
        bar_->setIconSize(QSize(icon, icon));
        const int width = bar_->sizeHint().width();
        bar_->setIconSize(kept);
        return width;
    }
    void fit() {
        if (fitting_) return;
        fitting_ = true;
        bar_->setMinimumWidth(widthAt(Smallest));
        int icon = Largest;
        while (icon > Smallest && widthAt(icon) > bar_->width())
            icon -= 4;
        if (bar_->iconSize() != QSize(icon, icon)) bar_->setIconSize(QSize(icon, icon));
        fitting_ = false;
    }

    QToolBar* bar_;
    bool fitting_ = false;
};

} // namespace

void keepActionsVisible(QToolBar* bar) {
    new ActionsKeeper(bar);
}

} // namespace ui
