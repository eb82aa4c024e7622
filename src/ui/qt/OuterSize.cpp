#include "OuterSize.h"

#include <QEvent>
#include <QWidget>

namespace ui {

namespace {

const char* const KeeperName = "OuterSizeKeeper";

class OuterSizeKeeper : public QObject {
  public:
    OuterSizeKeeper(QWidget* window, QSize outer, bool fixed)
        : QObject(window), window_(window), outer_(outer), fixed_(fixed) {
        setObjectName(KeeperName);
        apply(QSize(0, 0));
        window->installEventFilter(this);
    }
    // A new outer size for the same window, applied with the frame known so far.
    void keep(QSize outer, bool fixed) {
        outer_ = outer;
        fixed_ = fixed;
        apply(frame_);
        check();
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
            if (watched == window_) check();
            break;
        default:
            break;
        }
        return false;
    }

  private:
    void check() {
        const QSize frame = window_->frameGeometry().size() - window_->geometry().size();
        if (frame != frame_ && frame.width() >= 0 && frame.height() >= 0) apply(frame);
    }
    void apply(QSize frame) {
        frame_ = frame;
        const QSize client = (outer_ - frame).expandedTo(QSize(1, 1));
        if (fixed_)
            window_->setFixedSize(client);
        else
            window_->resize(client);
    }

    QWidget* window_;
    QSize outer_;
    bool fixed_;
    QSize frame_{0, 0};
};

} // namespace

void keepOuterSize(QWidget* window, QSize outer, bool fixed) {
    // One keeper per window: a later size replaces the earlier one, which would otherwise
    // apply its own size again once the frame becomes known.
    if (auto* keeper = window->findChild<QObject*>(KeeperName, Qt::FindDirectChildrenOnly))
        static_cast<OuterSizeKeeper*>(keeper)->keep(outer, fixed);
    else
        new OuterSizeKeeper(window, outer, fixed);
}

} // namespace ui
