#include "TDSTrackBar.h"

#include "ui/qt/ErrorBox.h"

#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionSlider>

namespace media {

namespace {
constexpr int64_t UnitsPerMillisecond = 10000; // positions are in 100-ns units
} // namespace

TDSTrackBar::TDSTrackBar(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    setObjectName("DSTrackBar");
    setRange(0, 0);
    setTickPosition(QSlider::TicksBelow);
    connect(&timer_, &QTimer::timeout, this, [this] { ui::runGuarded([this] { tick(); }); });
}

TDSTrackBar::~TDSTrackBar() {
    timer_.stop();
    setFilterGraph(nullptr);
}

void TDSTrackBar::setFilterGraph(TFilterGraph* g) {
    if (g == graph_) return;
    if (graph_) graph_->detachListener(this);
    seeking_.reset();
    timerEnabled_ = false;
    graph_ = g;
    if (graph_) {
        graph_->attachListener(this);
        if (graph_->Active()) seeking_ = graph_->query<IMediaSeeking>();
    }
    updateTimer();
}

void TDSTrackBar::setTimerInterval(int ms) {
    timerInterval_ = std::max(ms, 0);
    updateTimer();
}

void TDSTrackBar::setOnTimer(TTimerEvent handler) {
    onTimer_ = std::move(handler);
    updateTimer();
}

void TDSTrackBar::updateTimer() {
    timer_.stop();
    if (timerInterval_ != 0 && timerEnabled_) timer_.start(timerInterval_);
}

void TDSTrackBar::ControlNotify(int code, int param) {
    switch (code) {
    case ccPlay:
        timerEnabled_ = isEnabled();
        updateTimer();
        break;
    case ccPause:
    case ccStop:
        timerEnabled_ = false;
        updateTimer();
        break;
    case ccActivation:
        seeking_ = param == 1 && graph_ ? graph_->query<IMediaSeeking>() : nullptr;
        break;
    default:
        break;
    }
}

void TDSTrackBar::GraphNotify(long event, intptr_t, intptr_t) {
    // A new clock: back to the start, up to the end.
    if (event != EC_CLOCK_CHANGED || !seeking_) return;
    int64_t duration = 0;
    if (FAILED(seeking_->GetDuration(&duration))) return;
    int64_t start = 0;
    seeking_->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &duration,
                           AM_SEEKING_NoPositioning);
}

void TDSTrackBar::GraphDestroyed(TFilterGraph* graph) {
    if (graph != graph_) return;
    graph_ = nullptr;
    seeking_.reset();
    timerEnabled_ = false;
    updateTimer();
}

void TDSTrackBar::tick() {
    if (!seeking_ || leftDown_ || timerInterval_ <= 0) return;
    int64_t duration = 0, current = 0;
    if (FAILED(seeking_->GetDuration(&duration)) || FAILED(seeking_->GetCurrentPosition(&current)))
        return;
    const auto currentPos = uint32_t(std::max<int64_t>(current, 0) / UnitsPerMillisecond);
    const auto stopPos = uint32_t(std::max<int64_t>(duration, 0) / UnitsPerMillisecond);
    setMinimum(0);
    setMaximum(int(stopPos / uint32_t(timerInterval_)));
    setValue(int(currentPos / uint32_t(timerInterval_)));
    if (onTimer_) onTimer_(this, currentPos, stopPos);
}

void TDSTrackBar::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        leftDown_ = true;
        // A press anywhere on the bar puts the thumb there, not a page further.
        QStyleOptionSlider option;
        initStyleOption(&option);
        const QRect groove =
            style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
        const QRect handle =
            style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
        if (!handle.contains(event->position().toPoint())) {
            const int span = groove.width() - handle.width();
            const int x = int(event->position().x()) - groove.x() - handle.width() / 2;
            setValue(QStyle::sliderValueFromPosition(minimum(), maximum(), x, span));
        }
    }
    QSlider::mousePressEvent(event);
}

void TDSTrackBar::mouseReleaseEvent(QMouseEvent* event) {
    QSlider::mouseReleaseEvent(event);
    const bool left = event->button() == Qt::LeftButton;
    if (left && seeking_) ui::runGuarded([this] { seekToThumb(); });
    leftDown_ = false;
}

void TDSTrackBar::seekToThumb() {
    // An empty bar (no reading yet, or a graph without duration) has nowhere to seek to.
    if (maximum() <= 0) return;
    int64_t stop = 0;
    if (FAILED(seeking_->GetStopPosition(&stop))) return;
    int64_t position = stop * int64_t(value()) / int64_t(maximum());
    seeking_->SetPositions(&position, AM_SEEKING_AbsolutePositioning, &stop,
                           AM_SEEKING_NoPositioning);
}

} // namespace media
