// The video window: a control over whose area the graph's video is shown. As a provider it
// puts a video renderer into its TFilterGraph under its component name; the renderer draws
// into a native child window ("VideoRenderer") made with it, whose X window is given to the
// renderer at once, so the renderer never opens a window of its own. When the graph plays the
// renderer window is placed over the control's area and follows its moves and resizes; full
// screen moves it into a borderless top-level form over the screen, and back. The X window
// the renderer holds is moved, never recreated under it.
//
// A control of the windows: built from Qt Widgets, in tovamix_media_controls. User-interface
// thread only.
#pragma once

#include "media/TFilterGraph.h"

#include <QTimer>
#include <QWidget>
#include <memory>
#include <string>

namespace media {

class TRendererWindow;

class TVideoWindow : public QWidget, public IGraphFilterProvider, public IGraphListener {
  public:
    // A black control of 160 x 120 that can take the focus.
    explicit TVideoWindow(QWidget* parent = nullptr, std::string name = "VideoWindow");
    // Leaves the graph; a renderer that still draws is stopped before its window goes.
    ~TVideoWindow() override;

    TFilterGraph* FilterGraph() const { return graph_; }
    // Leaves the old graph, joins g (null: none); an active graph gets the renderer at once.
    void setFilterGraph(TFilterGraph* g);

    bool FullScreen() const { return fullScreen_; }
    // Stored always; applied at once while the renderer shows video, else at the next play.
    void setFullScreen(bool on);
    bool FullScreenTopMost() const { return fullScreenTopMost_; }
    void setFullScreenTopMost(bool on);
    // The renderer's window while there is one, else the control's own.
    WId VideoHandle();
    // The renderer's window (null while the graph is not active).
    QWidget* rendererWindow() const;
    // The live renderer's window interface (null while the graph is not active).
    std::shared_ptr<IVideoWindow> VideoWindow() const { return window_; }

    void setVisible(bool visible) override;

    // -- IGraphFilterProvider
    FilterPtr GetFilter() override { return live_; }
    std::string GetName() override { return name_; }
    void NotifyFilter(TFilterOperation operation, int param = 0) override;
    // -- IGraphListener
    void GraphNotify(long event, intptr_t param1, intptr_t param2) override;
    void ControlNotify(int code, int param) override;
    void GraphDestroyed(TFilterGraph* graph) override;

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

  private:
    bool rendererConnected() const;
    // Shows the video over the control's area, or over the screen in full screen.
    void applyPlacement();
    // Places the renderer window over the control while it is shown in the control's parent.
    void followControl();
    // Stops the renderer and takes its window away from it (before that window goes).
    void releaseRenderer();

    std::string name_;
    TFilterGraph* graph_ = nullptr;
    FilterPtr live_;
    std::shared_ptr<IVideoWindow> window_;
    TRendererWindow* renderer_ = nullptr; // owned by its Qt parent, or by this while hidden
    std::unique_ptr<QWidget> fullScreenForm_;
    QTimer placeTimer_; // waits, after a play, for the renderer to be connected
    bool fullScreen_ = false;
    bool fullScreenTopMost_ = false;
    bool placed_ = false; // the video has been placed since the renderer was made
    bool inFullScreen_ = false;
};

} // namespace media
