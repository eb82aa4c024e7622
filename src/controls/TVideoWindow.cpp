#include "TVideoWindow.h"

#include "TRendererWindow.h"
#include "ui/qt/ModalFamily.h"

#include <QGuiApplication>
#include <QPalette>
#include <QScreen>
#include <QWindow>

namespace media {

TVideoWindow::TVideoWindow(QWidget* parent, std::string name)
    : QWidget(parent), name_(std::move(name)) {
    setObjectName(QString::fromStdString(name_));
    resize(160, 120);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::black);
    setPalette(p);
    setAutoFillBackground(true);
    setFocusPolicy(Qt::StrongFocus);
    placeTimer_.setInterval(20);
    connect(&placeTimer_, &QTimer::timeout, this, [this] {
        if (!live_) {
            placeTimer_.stop();
        } else if (rendererConnected()) {
            placeTimer_.stop();
            applyPlacement();
        }
    });
}

TVideoWindow::~TVideoWindow() {
    setFilterGraph(nullptr);
    releaseRenderer();
    if (renderer_) {
        renderer_->detach();
        delete renderer_;
    }
}

void TVideoWindow::setFilterGraph(TFilterGraph* g) {
    switchGraph(graph_, g, this, this);
}

void TVideoWindow::GraphDestroyed(TFilterGraph* graph) {
    if (graph != graph_) return;
    graph_ = nullptr;
    releaseRenderer();
    live_.reset();
    window_.reset();
}

void TVideoWindow::NotifyFilter(TFilterOperation operation, int) {
    switch (operation) {
    case foAdding:
        live_ = createVideoRenderer();
        if (!live_) throw EDirectShowException(E_FAIL);
        // The renderer's window is made with the renderer and given to it at once, before
        // the graph pauses, so the renderer never opens a window of its own.
        if (!renderer_) {
            renderer_ = new TRendererWindow(this, parentWidget() ? parentWidget() : this, name_);
            renderer_->setRepaint([this] {
                if (window_) window_->Repaint();
            });
            // Destroyed with a parent before the control.
            renderer_->setOnGone([this] {
                releaseRenderer();
                renderer_ = nullptr;
            });
        }
        placed_ = false;
        break;
    case foAdded:
        window_ = queryInterface<IVideoWindow>(live_);
        if (!window_) throw EDirectShowException(E_NOINTERFACE);
        CheckGraphResult(window_->put_Owner(renderer_->winId()));
        // Owning the window shows it; until the video is placed it stays hidden, as Qt has
        // it: shown at its default corner it would cover the controls there (a format list
        // is asked for before the preview starts).
        if (!placed_) window_->put_Visible(false);
        break;
    case foRemoving:
        if (live_) {
            CheckGraphResult(live_->Stop());
            for (const PinPtr& pin : live_->pins())
                CheckGraphResult(pin->Disconnect());
        }
        break;
    case foRemoved:
        releaseRenderer();
        window_.reset();
        live_.reset();
        break;
    case foRefresh:
        break;
    }
}

void TVideoWindow::releaseRenderer() {
    placeTimer_.stop();
    if (live_) live_->Stop();
    if (window_) window_->put_Owner(0);
    if (renderer_ && renderer_->isVisible()) {
        renderer_->hide();
        // The control under the renderer is painted black again: Qt left the area the
        // renderer covered unpainted.
        update();
    }
    placed_ = false;
    inFullScreen_ = false;
}

bool TVideoWindow::rendererConnected() const {
    if (!live_) return false;
    for (const PinPtr& pin : live_->pins())
        if (pin->connectedTo()) return true;
    return false;
}

void TVideoWindow::ControlNotify(int code, int param) {
    if (code == ccPlay) {
        // A decoder links its outputs to the renderer only once the graph runs: the video is
        // placed as soon as the renderer is connected.
        if (rendererConnected())
            applyPlacement();
        else if (live_)
            placeTimer_.start();
    } else if (code == ccStop || (code == ccActivation && param == 0)) {
        placeTimer_.stop();
    }
}

void TVideoWindow::GraphNotify(long event, intptr_t, intptr_t) {
    constexpr long EC_PALETTE_CHANGED = 0x09;
    if (event == EC_PALETTE_CHANGED && renderer_ && rendererConnected()) applyPlacement();
}

void TVideoWindow::setFullScreen(bool on) {
    fullScreen_ = on;
    if (window_ && rendererConnected()) applyPlacement();
}

void TVideoWindow::setFullScreenTopMost(bool on) {
    fullScreenTopMost_ = on;
    if (fullScreen_ && window_ && rendererConnected()) applyPlacement();
}

void TVideoWindow::applyPlacement() {
    if (!renderer_ || !window_) return;
    const WId before = renderer_->winId();
    if (fullScreen_) {
        QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
        const QRect area = screen->geometry();
        Qt::WindowFlags flags = Qt::Window | Qt::FramelessWindowHint;
        if (fullScreenTopMost_) flags |= Qt::WindowStaysOnTopHint;
        if (!fullScreenForm_) {
            fullScreenForm_ = std::make_unique<QWidget>(nullptr, flags);
            fullScreenForm_->setObjectName(QString::fromStdString(name_) + "FullScreen");
            fullScreenForm_->setAttribute(Qt::WA_NativeWindow);
            QPalette p = fullScreenForm_->palette();
            p.setColor(QPalette::Window, Qt::black);
            fullScreenForm_->setPalette(p);
            fullScreenForm_->setAutoFillBackground(true);
        } else if (fullScreenForm_->windowFlags() != flags) {
            fullScreenForm_->setWindowFlags(flags);
        }
        fullScreenForm_->setGeometry(area);
        // Above the window the video came from, taking input while that window runs modally.
        ui::joinModalFamily(fullScreenForm_.get(), this);
        fullScreenForm_->show();
        if (renderer_->parentWidget() != fullScreenForm_.get())
            renderer_->setParent(fullScreenForm_.get());
        renderer_->setGeometry(0, 0, area.width(), area.height());
        CheckGraphResult(window_->SetWindowPosition(0, 0, area.width(), area.height()));
        inFullScreen_ = true;
    } else {
        QWidget* host = parentWidget() ? parentWidget() : this;
        if (renderer_->parentWidget() != host) renderer_->setParent(host);
        inFullScreen_ = false;
        followControl();
        if (fullScreenForm_) fullScreenForm_->hide();
    }
    placed_ = true;
    window_->put_Visible(true);
    renderer_->show();
    renderer_->raise();
    // Qt skips the raise when its own list already has the renderer on top, yet native
    // siblings made after it (Qt makes a native child's siblings native too) lie above it on
    // the screen: the renderer's own window is raised as well.
    if (QWindow* native = renderer_->windowHandle()) native->raise();
    // Qt moves a native child between parents with its X window; should it ever make a new
    // one, the renderer is told before drawing again.
    if (renderer_->winId() != before) CheckGraphResult(window_->put_Owner(renderer_->winId()));
}

void TVideoWindow::followControl() {
    if (!renderer_ || !window_ || inFullScreen_) return;
    const QRect area = parentWidget() ? geometry() : rect();
    renderer_->setGeometry(area);
    CheckGraphResult(window_->SetWindowPosition(area.x(), area.y(), std::max(1, area.width()),
                                                std::max(1, area.height())));
}

void TVideoWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (placed_) followControl();
}

void TVideoWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    if (placed_) followControl();
}

void TVideoWindow::setVisible(bool visible) {
    QWidget::setVisible(visible);
    if (renderer_ && placed_ && !inFullScreen_) renderer_->setVisible(visible);
}

WId TVideoWindow::VideoHandle() {
    return renderer_ ? renderer_->winId() : winId();
}

QWidget* TVideoWindow::rendererWindow() const {
    return renderer_;
}

} // namespace media
