// The overlay video window: a control that shows the video of a TFilterGraph through an
// overlay mixer, with letter-box, stretch and crop aspect modes, a digital zoom, full screen,
// automatic cursor hiding and colour controls. The player and the DVD window each hold one.
//
// As the graph's video renderer provider it puts a video renderer into the graph, drawing into
// a native child window ("VideoRenderer") of the control's parent made with it. Before a file
// is rendered it puts an overlay mixer into the graph, so the video runs decoder -> (sample
// grabber) -> mixer -> renderer; a graph built otherwise has the path to the renderer moved
// through a new mixer while the graph is stopped. The renderer window covers the video
// rectangle (letter-box: the native aspect fitted into the control; else the whole control),
// the control paints the colour key under it. The mixer's callback object (TOverlayCallback)
// tells the colour key and the video's size.
//
// A control of the windows; user-interface thread only.
#pragma once

#include "ColorControl.h"
#include "media/TFilterGraph.h"

#include <QElapsedTimer>
#include <QMenu>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace media {
class TRendererWindow;
}

namespace dvd {

using media::IGraphFilterProvider;
using media::IGraphListener;
using media::TFilterGraph;

enum TRatioModes { rmStretched = 0, rmLetterBox = 1, rmCrop = 2 };

class TDSVideoWindowEx2;

// The overlay mixer's callback object; it forgets its window when the window lets it go.
class TOverlayCallback : public IDDrawExclModeVideoCallback {
  public:
    explicit TOverlayCallback(TDSVideoWindowEx2* owner) : owner_(owner) {}
    void forget() { owner_ = nullptr; }
    HRESULT OnUpdateOverlay(bool before, uint32_t flags, bool oldVisible, bool newVisible) override;
    HRESULT OnUpdateColorKey(const COLORKEY* key, uint32_t color) override;
    HRESULT OnUpdateSize(long width, long height, long arWidth, long arHeight) override;

  private:
    TDSVideoWindowEx2* owner_;
};

class TDSVideoWindowEx2 : public QWidget, public IGraphFilterProvider, public IGraphListener {
  public:
    // A black control of 320 x 240 that takes the focus, with colour key RGB(16, 0, 16).
    explicit TDSVideoWindowEx2(QWidget* parent = nullptr, std::string name = "DSVideoWindowEx2");
    // Leaves full screen and the graph; the renderer stops before its window goes.
    ~TDSVideoWindowEx2() override;

    TFilterGraph* FilterGraph() const { return graph_; }
    void setFilterGraph(TFilterGraph* g);

    TRatioModes AspectRatio() const { return aspect_; }
    void setAspectRatio(TRatioModes mode);
    int DigitalZoom() const { return zoom_; }
    // 0 .. 99, else an error with the zoom's message.
    void setDigitalZoom(int zoom);
    // Milliseconds without mouse activity after which the cursor hides over the video (0:
    // never).
    int AutoHideCursor() const { return autoHideCursor_; }
    void setAutoHideCursor(int ms) { autoHideCursor_ = ms; }
    bool FullScreenTopMost() const { return fullScreenTopMost_; }
    void setFullScreenTopMost(bool on) { fullScreenTopMost_ = on; }
    // Keeps the screen saver and display power saving off while video shows.
    bool NoScreenSaver() const { return noScreenSaver_; }
    void setNoScreenSaver(bool on);
    TColorControl* ColorControl() { return &colorControl_; }
    TDSVideoWindowEx2Caps* Caps() { return &caps_; }
    // The menu shown on a context-menu request in full screen.
    void setPopupMenu(QMenu* menu) { popupMenu_ = menu; }

    void StartFullScreen();
    void NormalPlayback();
    bool FullScreen() const { return fullScreen_; }

    // -- State, for the windows and the tests.
    bool OverlayReady() const { return overlayReady_; }
    bool OverlayVisible() const { return overlayVisible_; }
    uint32_t ColorKey() const { return colorKey_; }
    // Where the video shows in the control (the colour key's area); empty while unknown.
    QRect VideoRect() const { return videoRect_; }
    // The renderer's source rectangle (left, top, width, height); empty while unknown.
    QRect SourceRect() const;
    bool CursorHidden() const { return cursorHidden_; }
    QWidget* rendererWindow() const;
    std::shared_ptr<IVideoWindow> VideoWindow() const { return window_; }
    FilterPtr OverlayMixer() const { return mixer_; }
    // The overlay mixer's first input pin (null when there is no mixer).
    std::shared_ptr<IMixerPinConfig2> mixerPin() const { return mixerPin_; }
    // Keeps the overlay's colours as its defaults, once per overlay set-up, before any
    // setting of ours reaches it (the colour control calls it before each push).
    void takeOverlayDefaults();
    // The graph's filter interface (null while inactive).
    std::shared_ptr<IFilterGraph2> graphBuilder() const;

    // -- Events.
    std::function<void(TDSVideoWindowEx2*)> OnColorKeyChanged;
    std::function<void(TDSVideoWindowEx2*, bool visible)> OnOverlayVisible;
    // The renderer's window was placed and raised over this window (at every state change of
    // the graph): what must stay above the video is raised again.
    std::function<void(TDSVideoWindowEx2*)> OnVideoPlaced;
    std::function<void(TDSVideoWindowEx2*)> OnPaint;
    std::function<void(TDSVideoWindowEx2*, bool visible)> OnCursorShowHide;

    // -- IGraphFilterProvider
    FilterPtr GetFilter() override { return renderer_; }
    std::string GetName() override { return name_; }
    void NotifyFilter(media::TFilterOperation operation, int param = 0) override;
    // -- IGraphListener
    void GraphNotify(long event, intptr_t param1, intptr_t param2) override;
    void ControlNotify(int code, int param) override;
    void GraphDestroyed(TFilterGraph* graph) override;

  protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void moveEvent(QMoveEvent* e) override;
    void hideEvent(QHideEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;

  private:
    friend class TOverlayCallback;
    class FullScreenForm;
    // One change the overlay set-up made to the graph, undone when the set-up fails.
    struct Change {
        bool connected; // true: the set-up made this connection; false: it broke it
        PinPtr out, in;
    };

    // -- Graph events.
    void graphStateChanged(int code);
    // Tries the overlay set-up when it has not been tried since the renderer was made.
    void trySetup();
    bool setupOverlay();
    bool rewireThroughMixer(const std::shared_ptr<IFilterGraph2>& graph, std::vector<Change>& log,
                            std::vector<FilterPtr>& added);
    void undo(const std::shared_ptr<IFilterGraph2>& graph, const std::vector<Change>& log,
              const std::vector<FilterPtr>& added);
    // Puts an overlay mixer into a graph about to be rendered.
    void addMixerBeforeRender();
    // Reads the overlay's colour defaults and applies the settings once the overlay is
    // active (the decoder may link the mixer only once the graph runs).
    void syncColoursWhenActive();
    // Unregisters the callback and lets the mixer and its interfaces go.
    void forgetMixer();
    void releaseOverlay();
    void setOverlayVisible(bool visible);

    // -- Placing the video.
    void attachVideo();
    void placeRenderer();
    void recomputeVideoRect();
    void applyZoom();
    void colorKeyChanged(uint32_t color);
    void sizeChanged(long arWidth, long arHeight);

    // -- The cursor and the screen saver.
    void mouseActivity(const QPoint& globalPos);
    void idleCheck();
    void showCursor();
    void updateScreenSaver();

    std::string name_;
    TFilterGraph* graph_ = nullptr;
    FilterPtr renderer_;
    std::shared_ptr<IVideoWindow> window_;
    std::shared_ptr<IBasicVideo> basicVideo_;
    FilterPtr mixer_;
    std::shared_ptr<IMixerPinConfig2> mixerPin_;
    std::shared_ptr<IDDrawExclModeVideo> excl_;
    std::shared_ptr<TOverlayCallback> callback_;
    media::TRendererWindow* rendererWindow_ = nullptr; // owned by its Qt parent
    std::unique_ptr<FullScreenForm> fullScreenForm_;
    TColorControl colorControl_;
    TDSVideoWindowEx2Caps caps_;
    QPointer<QMenu> popupMenu_;

    TRatioModes aspect_ = rmLetterBox;
    int zoom_ = 0;
    int autoHideCursor_ = 0;
    bool fullScreenTopMost_ = false;
    bool noScreenSaver_ = false;
    bool screenSaverHeld_ = false;

    bool setupTried_ = false;
    bool needDefaults_ = false; // the overlay's colour defaults are still to be read
    bool videoShowing_ = false; // between a play or pause and the next stop
    bool overlayReady_ = false;
    bool overlayVisible_ = false;
    bool fullScreen_ = false;
    bool destroying_ = false;
    QPointer<QWidget> rememberedParent_;
    QRect rememberedGeometry_;
    QSize rememberedMinimum_, rememberedMaximum_;
    int rememberedLayoutIndex_ = -1;
    QRect videoRect_;
    long arWidth_ = 0, arHeight_ = 0; // the video's display aspect, 0 while unknown
    uint32_t colorKey_;
    QPoint lastMousePos_;
    QElapsedTimer lastMouseTime_;
    bool cursorHidden_ = false;
    QCursor rememberedCursor_;
    QTimer idleTimer_;   // the cursor's idle check, every 100 ms
    QTimer activeTimer_; // waits for the overlay to become active after a state change
    QElapsedTimer activeWait_;
};

} // namespace dvd
