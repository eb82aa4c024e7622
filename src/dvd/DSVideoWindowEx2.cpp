#include "DSVideoWindowEx2.h"

#include "controls/TRendererWindow.h"
#include "platform/screen/ScreenSaver.h"
#include "ui/qt/ModalFamily.h"
#include "ui/qt/ErrorBox.h"

#include <QBoxLayout>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <cstdio>

namespace dvd {

using media::CheckGraphResult;

namespace {
constexpr int IdleCheckMs = 100;
constexpr int ActiveCheckMs = 20;
constexpr int ActiveWaitMs = 10000;

bool isOverlayMixer(const FilterPtr& f) {
    GUID clsid;
    return f && f->GetClassID(&clsid) == S_OK &&
           (clsid == CLSID_OverlayMixer || clsid == CLSID_OverlayMixer2);
}

PinPtr pinOf(const FilterPtr& f, PIN_DIRECTION dir, const char* name = nullptr) {
    if (!f) return nullptr;
    for (const PinPtr& p : f->pins())
        if (p->direction() == dir && (!name || p->name() == name)) return p;
    return nullptr;
}

bool anyConnected(const FilterPtr& f, PIN_DIRECTION dir) {
    for (const PinPtr& p : f->pins())
        if (p->direction() == dir && p->connectedTo()) return true;
    return false;
}
} // namespace

// -- TOverlayCallback

HRESULT TOverlayCallback::OnUpdateOverlay(bool, uint32_t, bool, bool) {
    return S_OK;
}

HRESULT TOverlayCallback::OnUpdateColorKey(const COLORKEY* key, uint32_t) {
    if (owner_ && key) owner_->colorKeyChanged(key->HighColorValue);
    return S_OK;
}

HRESULT TOverlayCallback::OnUpdateSize(long, long, long arWidth, long arHeight) {
    if (owner_) owner_->sizeChanged(arWidth, arHeight);
    return S_OK;
}

// -- The full-screen form: borderless, over the monitor; closing it returns the window to
// normal playback first.

class TDSVideoWindowEx2::FullScreenForm : public QWidget {
  public:
    explicit FullScreenForm(TDSVideoWindowEx2* owner)
        : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), owner_(owner) {
        setObjectName(owner->objectName() + "FullScreen");
        setWindowTitle(owner->windowTitle());
        QPalette p = palette();
        p.setColor(QPalette::Window, Qt::black);
        setPalette(p);
        setAutoFillBackground(true);
    }

  protected:
    void closeEvent(QCloseEvent* e) override {
        owner_->NormalPlayback();
        QWidget::closeEvent(e);
    }

  private:
    TDSVideoWindowEx2* owner_;
};

// -- TDSVideoWindowEx2

TDSVideoWindowEx2::TDSVideoWindowEx2(QWidget* parent, std::string name)
    : QWidget(parent), name_(std::move(name)), colorControl_(this), caps_(this),
      colorKey_(rgbColor(16, 0, 16)) {
    setObjectName(QString::fromStdString(name_));
    resize(320, 240);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    fullScreenForm_ = std::make_unique<FullScreenForm>(this);
    lastMouseTime_.start();
    idleTimer_.setInterval(IdleCheckMs);
    connect(&idleTimer_, &QTimer::timeout, this,
            [this] { ui::runGuarded([this] { idleCheck(); }); });
    idleTimer_.start();
    activeTimer_.setInterval(ActiveCheckMs);
    connect(&activeTimer_, &QTimer::timeout, this, [this] {
        ui::runGuarded([this] {
            if (colorControl_.overlayPin()) {
                activeTimer_.stop();
                colorControl_.UpdateColorControls();
            } else if (!overlayReady_ || activeWait_.elapsed() > ActiveWaitMs) {
                activeTimer_.stop();
            }
        });
    });
}

TDSVideoWindowEx2::~TDSVideoWindowEx2() {
    destroying_ = true;
    idleTimer_.stop();
    activeTimer_.stop();
    if (cursorHidden_) showCursor();
    if (fullScreen_) NormalPlayback();
    setFilterGraph(nullptr);
    releaseOverlay();
    if (renderer_) renderer_->Stop();
    if (window_) window_->put_Owner(0);
    if (rendererWindow_) {
        rendererWindow_->detach();
        delete rendererWindow_;
    }
    if (screenSaverHeld_) platform::screen::holdScreenSaver(false);
}

void TDSVideoWindowEx2::setFilterGraph(TFilterGraph* g) {
    media::switchGraph(graph_, g, this, this);
}

void TDSVideoWindowEx2::GraphDestroyed(TFilterGraph* graph) {
    if (graph != graph_) return;
    graph_ = nullptr;
    releaseOverlay();
    renderer_.reset();
    window_.reset();
    basicVideo_.reset();
}

std::shared_ptr<IFilterGraph2> TDSVideoWindowEx2::graphBuilder() const {
    return graph_ ? graph_->query<IFilterGraph2>() : nullptr;
}

QWidget* TDSVideoWindowEx2::rendererWindow() const {
    return rendererWindow_;
}

QRect TDSVideoWindowEx2::SourceRect() const {
    long l = 0, t = 0, w = 0, h = 0;
    if (!basicVideo_ || FAILED(basicVideo_->GetSourcePosition(&l, &t, &w, &h))) return {};
    return QRect(int(l), int(t), int(w), int(h));
}

// -- The renderer, as the graph's provider

void TDSVideoWindowEx2::NotifyFilter(media::TFilterOperation operation, int) {
    switch (operation) {
    case media::foAdding:
        renderer_ = createVideoRenderer();
        if (!renderer_) throw media::EDirectShowException(E_FAIL);
        // The renderer's window is made with the renderer and given to it at once, before the
        // graph pauses, so the renderer never opens a window of its own.
        if (!rendererWindow_) {
            rendererWindow_ =
                new media::TRendererWindow(this, parentWidget() ? parentWidget() : this, name_);
            rendererWindow_->setRepaint([this] {
                if (window_) window_->Repaint();
            });
            rendererWindow_->setOnGone([this] {
                releaseOverlay();
                if (renderer_) renderer_->Stop();
                if (window_) window_->put_Owner(0);
                rendererWindow_ = nullptr;
            });
        }
        setupTried_ = false;
        break;
    case media::foAdded:
        window_ = queryInterface<IVideoWindow>(renderer_);
        basicVideo_ = queryInterface<IBasicVideo>(renderer_);
        if (!window_) throw media::EDirectShowException(E_NOINTERFACE);
        CheckGraphResult(window_->put_Owner(rendererWindow_->winId()));
        break;
    case media::foRemoving:
        releaseOverlay();
        break;
    case media::foRemoved:
        if (window_) window_->put_Owner(0);
        if (rendererWindow_) rendererWindow_->hide();
        window_.reset();
        basicVideo_.reset();
        renderer_.reset();
        videoShowing_ = false;
        updateScreenSaver();
        break;
    case media::foRefresh:
        break;
    }
}

// -- Graph events

void TDSVideoWindowEx2::ControlNotify(int code, int) {
    switch (code) {
    case media::ccRenderFile:
    case media::ccRenderDvd:
        // The video then reaches the renderer through the mixer as the graph is built; a
        // built DVD graph cannot be rewired, as its source starts over when it stops.
        addMixerBeforeRender();
        break;
    case media::ccPlay:
    case media::ccPause:
    case media::ccStop:
    case media::ccFileRendered:
    case media::ccDvdRendered:
        graphStateChanged(code);
        break;
    default:
        break;
    }
}

void TDSVideoWindowEx2::GraphNotify(long event, intptr_t, intptr_t) {
    if (event == EC_VIDEO_SIZE_CHANGED) applyZoom();
}

void TDSVideoWindowEx2::graphStateChanged(int code) {
    if (!renderer_) return;
    const bool rendered = code == media::ccFileRendered || code == media::ccDvdRendered;
    if (rendered || !setupTried_) {
        setupTried_ = true;
        setupOverlay();
    }
    attachVideo();
    if (code == media::ccPlay || code == media::ccPause) {
        videoShowing_ = true;
        if (overlayReady_ && !overlayVisible_) setOverlayVisible(true);
    } else if (code == media::ccStop) {
        videoShowing_ = false;
        if (overlayReady_ && overlayVisible_) setOverlayVisible(false);
    }
    // The settings go to the picture at every start, pause, stop and render, once the overlay
    // is active: the graph changes state after this notification.
    if (overlayReady_) syncColoursWhenActive();
    updateScreenSaver();
}

void TDSVideoWindowEx2::setOverlayVisible(bool visible) {
    overlayVisible_ = visible;
    update();
    if (OnOverlayVisible) OnOverlayVisible(this, visible);
}

void TDSVideoWindowEx2::addMixerBeforeRender() {
    const auto graph = graphBuilder();
    if (!graph || !renderer_) return;
    for (const FilterPtr& f : graph->EnumFilters())
        if (isOverlayMixer(f)) return;
    if (const FilterPtr mixer = createOverlayMixer())
        CheckGraphResult(graph->AddFilter(mixer, "Overlay Mixer"));
}

void TDSVideoWindowEx2::forgetMixer() {
    if (excl_) excl_->SetCallbackInterface(nullptr, 0);
    if (callback_) callback_->forget();
    mixer_.reset();
    mixerPin_.reset();
    excl_.reset();
    callback_.reset();
    overlayReady_ = false;
}

bool TDSVideoWindowEx2::setupOverlay() {
    forgetMixer();
    const auto graph = graphBuilder();
    if (!graph || !renderer_) return false;

    FilterPtr found;
    for (const FilterPtr& f : graph->EnumFilters())
        if (isOverlayMixer(f)) {
            found = f;
            break;
        }
    std::vector<Change> log;
    std::vector<FilterPtr> added;
    bool ok = false;
    if (found) {
        // A mixer already in the graph serves when it feeds this window's renderer from a
        // connected input, or when neither is connected yet: the graph links the decoder's
        // video through it to the renderer once the stream appears.
        const PinPtr out = pinOf(found, PINDIR_OUTPUT, "Output");
        const PinPtr rendererIn = pinOf(renderer_, PINDIR_INPUT);
        const PinPtr peer = out ? out->connectedTo() : nullptr;
        const bool feedsRenderer = peer && peer->filter() == renderer_;
        const bool pending = out && !peer && rendererIn && !rendererIn->connectedTo() &&
                             !anyConnected(found, PINDIR_INPUT);
        ok = (feedsRenderer && anyConnected(found, PINDIR_INPUT)) || pending;
        if (ok) mixer_ = found;
    } else {
        ok = rewireThroughMixer(graph, log, added);
    }
    if (ok) {
        excl_ = queryInterface<IDDrawExclModeVideo>(mixer_);
        if (const PinPtr in = pinOf(mixer_, PINDIR_INPUT))
            mixerPin_ = queryInterface<IMixerPinConfig2>(in);
        ok = excl_ && mixerPin_;
    }
    if (ok) {
        callback_ = std::make_shared<TOverlayCallback>(this);
        ok = SUCCEEDED(excl_->SetCallbackInterface(callback_, 0));
    }
    if (!ok) {
        undo(graph, log, added);
        forgetMixer();
        return false;
    }
    mixerPin_->SetAspectRatioMode(AM_ASPECT_RATIO_MODE(aspect_));
    overlayReady_ = true;
    needDefaults_ = true;
    return true;
}

// Moves the connection that feeds the renderer through a new overlay mixer. Only a stopped
// graph is rewired: its streams are not flowing then.
bool TDSVideoWindowEx2::rewireThroughMixer(const std::shared_ptr<IFilterGraph2>& graph,
                                           std::vector<Change>& log,
                                           std::vector<FilterPtr>& added) {
    const PinPtr rendererIn = pinOf(renderer_, PINDIR_INPUT);
    const PinPtr upstream = rendererIn ? rendererIn->connectedTo() : nullptr;
    if (!upstream) return false;
    FILTER_STATE state = State_Running;
    const auto control = queryInterface<IMediaControl>(graph);
    if (!control || FAILED(control->GetState(0, &state)) || state != State_Stopped) return false;

    if (FAILED(rendererIn->Disconnect())) return false;
    log.push_back({false, upstream, rendererIn});
    const FilterPtr mixer = createOverlayMixer();
    if (!mixer || FAILED(graph->AddFilter(mixer, "Overlay Mixer"))) return false;
    added.push_back(mixer);
    const PinPtr mixerIn = pinOf(mixer, PINDIR_INPUT);
    const PinPtr mixerOut = pinOf(mixer, PINDIR_OUTPUT, "Output");
    if (!mixerIn || !mixerOut) return false;
    if (FAILED(graph->ConnectDirect(upstream, mixerIn)) &&
        FAILED(graph->Connect(upstream, mixerIn)))
        return false;
    log.push_back({true, upstream, mixerIn});
    if (FAILED(graph->ConnectDirect(mixerOut, rendererIn))) return false;
    log.push_back({true, mixerOut, rendererIn});
    mixer_ = mixer;
    return true;
}

void TDSVideoWindowEx2::undo(const std::shared_ptr<IFilterGraph2>& graph,
                             const std::vector<Change>& log, const std::vector<FilterPtr>& added) {
    for (auto it = log.rbegin(); it != log.rend(); ++it) {
        if (it->connected)
            it->out->Disconnect();
        else
            graph->ConnectDirect(it->out, it->in);
    }
    for (const FilterPtr& f : added)
        graph->RemoveFilter(f);
}

void TDSVideoWindowEx2::takeOverlayDefaults() {
    if (!needDefaults_ || !colorControl_.overlayPin()) return;
    needDefaults_ = false;
    colorControl_.ReadDefault();
}

void TDSVideoWindowEx2::syncColoursWhenActive() {
    activeWait_.start();
    activeTimer_.start();
}

void TDSVideoWindowEx2::releaseOverlay() {
    activeTimer_.stop();
    if (overlayReady_ && colorControl_.overlayPin()) colorControl_.RestoreDefault();
    if (renderer_) renderer_->Stop();
    if (mixer_)
        for (const PinPtr& p : mixer_->pins())
            p->Disconnect();
    if (renderer_)
        for (const PinPtr& p : renderer_->pins())
            p->Disconnect();
    forgetMixer();
    overlayVisible_ = false;
}

// -- Placing the video

void TDSVideoWindowEx2::attachVideo() {
    if (!rendererWindow_ || !window_) return;
    const WId before = rendererWindow_->winId();
    QWidget* host = parentWidget() ? parentWidget() : this;
    if (rendererWindow_->parentWidget() != host) rendererWindow_->setParent(host);
    placeRenderer();
    rendererWindow_->show();
    rendererWindow_->raise();
    // Qt moves a native child between parents with its X window; should it ever make a new
    // one, the renderer is told before drawing again.
    if (rendererWindow_->winId() != before)
        CheckGraphResult(window_->put_Owner(rendererWindow_->winId()));
    window_->put_Visible(true);
    if (OnVideoPlaced) OnVideoPlaced(this);
}

void TDSVideoWindowEx2::placeRenderer() {
    if (!rendererWindow_ || !window_) return;
    const QRect area = videoRect_.isEmpty() ? rect() : videoRect_;
    const QRect inHost = parentWidget() ? area.translated(pos()) : area;
    rendererWindow_->setGeometry(inHost);
    CheckGraphResult(window_->SetWindowPosition(inHost.x(), inHost.y(), std::max(1, inHost.width()),
                                                std::max(1, inHost.height())));
}

void TDSVideoWindowEx2::recomputeVideoRect() {
    const int cw = width(), ch = height();
    if (aspect_ == rmLetterBox && arWidth_ > 0 && arHeight_ > 0) {
        const long long h = static_cast<long long>(cw) * arHeight_ / arWidth_;
        if (h <= ch) {
            videoRect_ = QRect(0, int((ch - h) / 2), cw, int(h));
        } else {
            const long long w = static_cast<long long>(ch) * arWidth_ / arHeight_;
            videoRect_ = QRect(int((cw - w) / 2), 0, int(w), ch);
        }
    } else {
        videoRect_ = rect();
    }
}

void TDSVideoWindowEx2::sizeChanged(long arWidth, long arHeight) {
    arWidth_ = arWidth;
    arHeight_ = arHeight;
    recomputeVideoRect();
    if (rendererWindow_ && rendererWindow_->isVisible()) placeRenderer();
    update();
}

void TDSVideoWindowEx2::colorKeyChanged(uint32_t color) {
    colorKey_ = color;
    if (OnColorKeyChanged) OnColorKeyChanged(this);
    update();
}

void TDSVideoWindowEx2::setAspectRatio(TRatioModes mode) {
    if (mixer_ && renderer_ && mixerPin_) {
        if (FAILED(mixerPin_->SetAspectRatioMode(AM_ASPECT_RATIO_MODE(mode)))) return;
    }
    aspect_ = mode;
    recomputeVideoRect();
    if (rendererWindow_ && rendererWindow_->isVisible()) placeRenderer();
    update();
}

void TDSVideoWindowEx2::setDigitalZoom(int zoom) {
    if (zoom < 0 || zoom > 99) {
        char text[96];
        std::snprintf(text, sizeof text, "Value %d out of range. Value must bee between 0 -> 99",
                      zoom);
        throw ui::EUserMessage(text);
    }
    zoom_ = zoom;
    applyZoom();
}

// A centre crop of the picture: zoom z keeps (100 - z)% of its width, at its aspect.
void TDSVideoWindowEx2::applyZoom() {
    if (!basicVideo_ || FAILED(basicVideo_->SetDefaultSourcePosition())) return;
    long l = 0, t = 0, w = 0, h = 0;
    if (FAILED(basicVideo_->GetSourcePosition(&l, &t, &w, &h)) || w <= 0 || h <= 0) return;
    if (zoom_ == 0) return;
    const long width = std::max(1L, w - zoom_ * w / 100);
    const long height = std::max(1L, width * h / w);
    basicVideo_->SetSourcePosition((w - width) / 2, (h - height) / 2, width, height);
}

// -- Full screen

void TDSVideoWindowEx2::StartFullScreen() {
    if (fullScreen_) return;
    rememberedParent_ = parentWidget();
    rememberedGeometry_ = geometry();
    rememberedLayoutIndex_ = -1;
    if (rememberedParent_ && rememberedParent_->layout())
        rememberedLayoutIndex_ = rememberedParent_->layout()->indexOf(this);
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    const QRect area = screen->geometry();
    Qt::WindowFlags flags = Qt::Window | Qt::FramelessWindowHint;
    if (fullScreenTopMost_) flags |= Qt::WindowStaysOnTopHint;
    if (fullScreenForm_->windowFlags() != flags) fullScreenForm_->setWindowFlags(flags);
    fullScreenForm_->setGeometry(area);
    // Above the window it came from, and taking input while that window runs modally.
    ui::joinModalFamily(fullScreenForm_.get(), this);
    // A window of fixed size in its parent fills the screen all the same.
    rememberedMinimum_ = minimumSize();
    rememberedMaximum_ = maximumSize();
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    setParent(fullScreenForm_.get());
    setGeometry(0, 0, area.width(), area.height());
    show();
    fullScreen_ = true;
    fullScreenForm_->show();
    fullScreenForm_->raise();
    fullScreenForm_->activateWindow();
    recomputeVideoRect();
    attachVideo();
    setFocus();
}

void TDSVideoWindowEx2::NormalPlayback() {
    if (!fullScreen_) return;
    if (cursorHidden_) showCursor();
    fullScreen_ = false;
    QWidget* parent = rememberedParent_;
    setParent(parent);
    setMinimumSize(rememberedMinimum_);
    setMaximumSize(rememberedMaximum_);
    auto* box = parent ? qobject_cast<QBoxLayout*>(parent->layout()) : nullptr;
    if (box && rememberedLayoutIndex_ >= 0)
        box->insertWidget(rememberedLayoutIndex_, this);
    else
        setGeometry(rememberedGeometry_);
    show();
    fullScreenForm_->hide();
    if (destroying_) return;
    recomputeVideoRect();
    attachVideo();
    setOverlayVisible(true);
}

// -- Painting and input

void TDSVideoWindowEx2::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    if (overlayReady_ && overlayVisible_ && !videoRect_.isEmpty())
        p.fillRect(videoRect_, colorOf(colorKey_));
    p.end();
    if (OnPaint) OnPaint(this);
}

void TDSVideoWindowEx2::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    recomputeVideoRect();
    if (rendererWindow_ && rendererWindow_->isVisible()) placeRenderer();
}

void TDSVideoWindowEx2::moveEvent(QMoveEvent* e) {
    QWidget::moveEvent(e);
    if (rendererWindow_ && rendererWindow_->isVisible()) placeRenderer();
}

void TDSVideoWindowEx2::hideEvent(QHideEvent* e) {
    QWidget::hideEvent(e);
    if (cursorHidden_) showCursor();
    if (rendererWindow_ && !fullScreen_) rendererWindow_->hide();
    updateScreenSaver();
}

void TDSVideoWindowEx2::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    if (rendererWindow_ && window_ && renderer_ && setupTried_) attachVideo();
    updateScreenSaver();
}

void TDSVideoWindowEx2::closeEvent(QCloseEvent* e) {
    if (cursorHidden_) showCursor();
    QWidget::closeEvent(e);
}

void TDSVideoWindowEx2::mouseMoveEvent(QMouseEvent* e) {
    const QPoint at = e->globalPosition().toPoint();
    if (at != lastMousePos_) mouseActivity(at);
    QWidget::mouseMoveEvent(e);
}

void TDSVideoWindowEx2::mousePressEvent(QMouseEvent* e) {
    mouseActivity(e->globalPosition().toPoint());
    QWidget::mousePressEvent(e);
}

void TDSVideoWindowEx2::mouseReleaseEvent(QMouseEvent* e) {
    mouseActivity(e->globalPosition().toPoint());
    QWidget::mouseReleaseEvent(e);
}

void TDSVideoWindowEx2::contextMenuEvent(QContextMenuEvent* e) {
    if (fullScreen_ && popupMenu_) {
        popupMenu_->popup(QCursor::pos());
        e->accept();
        return;
    }
    e->ignore();
}

// -- The cursor and the screen saver

void TDSVideoWindowEx2::mouseActivity(const QPoint& globalPos) {
    lastMousePos_ = globalPos;
    lastMouseTime_.restart();
    if (cursorHidden_) showCursor();
}

void TDSVideoWindowEx2::idleCheck() {
    if (autoHideCursor_ <= 0 || cursorHidden_ || !isVisible()) return;
    if (lastMouseTime_.elapsed() < autoHideCursor_) return;
    rememberedCursor_ = cursor();
    setCursor(Qt::BlankCursor);
    if (rendererWindow_) rendererWindow_->setCursor(Qt::BlankCursor);
    cursorHidden_ = true;
    // The pointer is put where it is, so that the new shape shows without a move.
    QCursor::setPos(QCursor::pos());
    if (OnCursorShowHide) OnCursorShowHide(this, false);
}

void TDSVideoWindowEx2::showCursor() {
    setCursor(rememberedCursor_);
    if (rendererWindow_) rendererWindow_->unsetCursor();
    cursorHidden_ = false;
    if (OnCursorShowHide) OnCursorShowHide(this, true);
}

void TDSVideoWindowEx2::setNoScreenSaver(bool on) {
    noScreenSaver_ = on;
    updateScreenSaver();
}

void TDSVideoWindowEx2::updateScreenSaver() {
    const bool hold = noScreenSaver_ && videoShowing_ && renderer_ && isVisible() && !destroying_;
    if (hold == screenSaverHeld_) return;
    screenSaverHeld_ = hold;
    platform::screen::holdScreenSaver(hold);
}

} // namespace dvd
