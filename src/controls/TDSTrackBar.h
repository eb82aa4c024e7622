// The seek bar: a track bar that follows the position of a playing graph and seeks it where the
// user lets go of it. While the graph plays, every TimerInterval milliseconds the bar reads the
// position and the duration, shows them on its own scale (milliseconds / TimerInterval, so
// seconds by default) and calls OnTimer with both in milliseconds; paused, stopped or held
// down by the left button it stands still. Releasing the left button seeks to the proportional
// position. The bar listens to its graph (activation, play, pause, stop, the clock change).
//
// A control of the windows: it is built from Qt Widgets, so it lives in its own library
// (tovamix_media_controls) above tovamix_media. User-interface thread only.
#pragma once

#include "media/TFilterGraph.h"

#include <QSlider>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>

namespace media {

class TDSTrackBar : public QSlider, public IGraphListener {
  public:
    explicit TDSTrackBar(QWidget* parent = nullptr);
    // Stops the timer and leaves the graph.
    ~TDSTrackBar() override;

    TFilterGraph* FilterGraph() const { return graph_; }
    // Leaves the old graph, follows g (null: none).
    void setFilterGraph(TFilterGraph* g);
    // Milliseconds between two readings (default 1000); 0 stops the readings.
    int TimerInterval() const { return timerInterval_; }
    void setTimerInterval(int ms);
    // Called on every reading with the position and the duration in milliseconds.
    using TTimerEvent = std::function<void(TDSTrackBar*, uint32_t currentPos, uint32_t stopPos)>;
    void setOnTimer(TTimerEvent handler);
    // True while readings are taken: between a play and the next pause or stop.
    bool timerRunning() const { return timer_.isActive(); }

    void GraphNotify(long event, intptr_t param1, intptr_t param2) override;
    void ControlNotify(int code, int param) override;
    void GraphDestroyed(TFilterGraph* graph) override;

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    void updateTimer();
    void tick();
    void seekToThumb();

    TFilterGraph* graph_ = nullptr;
    std::shared_ptr<IMediaSeeking> seeking_; // held while the graph is active
    int timerInterval_ = 1000;
    TTimerEvent onTimer_;
    QTimer timer_;
    bool timerEnabled_ = false;
    bool leftDown_ = false;
};

} // namespace media
