#include "untCaptureArea.h"

#include "platform/screen/Screen.h"
#include "ui/qt/DibImage.h"
#include "ui/qt/ErrorBox.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace recorder {

namespace {
bool chosenFlag = false;
// The red, green and blue bits of a pixel: flipping them inverts its colour and keeps alpha.
constexpr QRgb ColourBits = 0x00FFFFFF;
} // namespace

QImage grabScreen() {
    std::string error;
    auto screen = platform::screen::ScreenConnection::open(&error);
    if (!screen) throw std::runtime_error("Cannot read the screen: " + error);
    const auto m = screen->metrics();
    platform::screen::ScreenImage image;
    if (!screen->grab({0, 0, m.width, m.height}, image, &error))
        throw std::runtime_error("Cannot read the screen: " + error);
    auto dib = platform::screen::PackedDib::create(m.width, m.height, 32);
    if (!dib.valid() || screen->toDib(image, dib) == 0)
        throw std::runtime_error("Cannot read the screen: out of memory");
    return ui::imageFromDib(dib);
}

bool captureAreaChosen() {
    return chosenFlag;
}
void setCaptureAreaChosen(bool chosen) {
    chosenFlag = chosen;
}

// The picture: paints the canvas at 1:1 and reports the mouse in picture coordinates.
class CaptureImage : public QWidget {
  public:
    explicit CaptureImage(TFrmCaptureArea* owner) : QWidget(owner), owner_(owner) {
        setObjectName("Image1");
        setMouseTracking(true);
        setCursor(Qt::CrossCursor);
    }

  protected:
    void paintEvent(QPaintEvent* e) override {
        QPainter p(this);
        p.drawImage(e->rect(), owner_->canvas_, e->rect());
    }
    void mouseMoveEvent(QMouseEvent* e) override {
        ui::runGuarded([&] { owner_->Image1MouseMove(e->position().toPoint()); });
    }
    void mousePressEvent(QMouseEvent* e) override {
        ui::runGuarded([&] { owner_->Image1MouseDown(e->position().toPoint()); });
    }

  private:
    TFrmCaptureArea* owner_;
};

TFrmCaptureArea& TFrmCaptureArea::instance() {
    static QPointer<TFrmCaptureArea> window;
    if (!window) window = new TFrmCaptureArea;
    return *window;
}

TFrmCaptureArea::TFrmCaptureArea()
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setObjectName("FrmCaptureArea");
    Image1 = new CaptureImage(this);
    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(1000);
    Timer1->setSingleShot(true);
    connect(Timer1, &QTimer::timeout, this, [this] { ui::runGuarded([this] { Timer1Timer(); }); });
}

void TFrmCaptureArea::Open(std::vector<QWidget*> windowsToHide,
                           std::function<void(const QImage&)> preview,
                           std::function<void(bool)> finished) {
    preview_ = std::move(preview);
    finished_ = std::move(finished);
    hidden_.clear();
    for (QWidget* w : windowsToHide) {
        if (w && w->isVisible()) {
            hidden_.push_back(w);
            w->hide();
        }
    }
    Timer1->start();
}

void TFrmCaptureArea::Timer1Timer() {
    Timer1->stop();
    try {
        frozen_ = grabScreen();
    } catch (const std::exception& e) {
        // Nothing to choose from: say why, then bring back the windows hidden for the
        // selection, so the program is not left without a visible window.
        ui::showException(e);
        finish(false);
        return;
    }
    canvas_ = frozen_;
    // The picture must start at the screen's top-left so picture and screen coordinates agree.
    setGeometry(0, 0, frozen_.width(), frozen_.height());
    Image1->setGeometry(0, 0, frozen_.width(), frozen_.height());
    showFullScreen();
    raise();
    activateWindow();
    grabKeyboard();
    QApplication::beep();
    crosshair_ = QPoint(-1, -1);
    selecting_ = false;
    crosshairMode_ = true;
}

void TFrmCaptureArea::invertHLine(int y, int x0, int x1) {
    if (y < 0 || y >= canvas_.height()) return;
    if (x0 > x1) std::swap(x0, x1);
    x0 = std::max(x0, 0);
    x1 = std::min(x1, canvas_.width() - 1);
    auto* row = reinterpret_cast<QRgb*>(canvas_.scanLine(y));
    for (int x = x0; x <= x1; ++x)
        row[x] ^= ColourBits;
    Image1->update(QRect(x0, y, x1 - x0 + 1, 1));
}

void TFrmCaptureArea::invertVLine(int x, int y0, int y1) {
    if (x < 0 || x >= canvas_.width()) return;
    if (y0 > y1) std::swap(y0, y1);
    y0 = std::max(y0, 0);
    y1 = std::min(y1, canvas_.height() - 1);
    for (int y = y0; y <= y1; ++y)
        reinterpret_cast<QRgb*>(canvas_.scanLine(y))[x] ^= ColourBits;
    Image1->update(QRect(x, y0, 1, y1 - y0 + 1));
}

// Inverting pen: the vertical and the horizontal line are each inverted once (their crossing
// pixel twice, like two strokes of an inverting pen), so drawing again restores the picture.
void TFrmCaptureArea::drawCrosshair(QPoint p) {
    if (p.x() < 0 && p.y() < 0) return;
    invertVLine(p.x(), 0, canvas_.height() - 1);
    invertHLine(p.y(), 0, canvas_.width() - 1);
}

// The outline between two corners, every pixel inverted exactly once.
void TFrmCaptureArea::drawRubberBand(QPoint a, QPoint b) {
    const int x0 = std::min(a.x(), b.x()), x1 = std::max(a.x(), b.x());
    const int y0 = std::min(a.y(), b.y()), y1 = std::max(a.y(), b.y());
    invertHLine(y0, x0, x1);
    if (y1 != y0) invertHLine(y1, x0, x1);
    if (y1 - y0 > 1) {
        invertVLine(x0, y0 + 1, y1 - 1);
        if (x1 != x0) invertVLine(x1, y0 + 1, y1 - 1);
    }
}

void TFrmCaptureArea::Image1MouseMove(QPoint p) {
    if (selecting_) {
        drawRubberBand(first_, last_);
        drawRubberBand(first_, p);
        last_ = p;
    } else if (crosshairMode_) {
        drawCrosshair(crosshair_);
        drawCrosshair(p);
        crosshair_ = p;
    }
}

void TFrmCaptureArea::Image1MouseDown(QPoint p) {
    if (!crosshairMode_ && !selecting_) return; // not showing a picture
    if (!selecting_) {
        crosshairMode_ = false;
        drawCrosshair(crosshair_);
        crosshair_ = QPoint(-1, -1);
        first_ = last_ = p;
        selecting_ = true;
        drawRubberBand(first_, last_);
        return;
    }
    // A rectangle without width or height cannot be recorded: keep the band and wait.
    if (p.x() == first_.x() || p.y() == first_.y()) return;
    setCaptureAreaChosen(true);
    second_ = p;
    selecting_ = false;
    drawRubberBand(first_, last_);
    const QRect chosen(
        QPoint(std::min(first_.x(), second_.x()), std::min(first_.y(), second_.y())),
        QSize(std::abs(second_.x() - first_.x()), std::abs(second_.y() - first_.y())));
    if (preview_) preview_(frozen_.copy(chosen));
    releaseKeyboard();
    hide();
    setGeometry(chosen);
    {
        std::lock_guard lock(mutex_);
        bounds_ = Rect{chosen.x(), chosen.y(), chosen.width(), chosen.height()};
    }
    finish(true);
}

void TFrmCaptureArea::keyPressEvent(QKeyEvent* event) {
    if (event->key() != Qt::Key_Escape || (!crosshairMode_ && !selecting_)) {
        QWidget::keyPressEvent(event);
        return;
    }
    // Cancelled: the flag and the stored rectangle stay as they were.
    crosshairMode_ = selecting_ = false;
    releaseKeyboard();
    hide();
    {
        std::lock_guard lock(mutex_);
        setGeometry(bounds_.x, bounds_.y, std::max(bounds_.w, 1), std::max(bounds_.h, 1));
    }
    finish(false);
}

void TFrmCaptureArea::finish(bool chosen) {
    for (auto& w : hidden_)
        if (w) w->show();
    hidden_.clear();
    if (finished_) finished_(chosen);
}

Rect TFrmCaptureArea::captureBounds() const {
    std::lock_guard lock(mutex_);
    return bounds_;
}

} // namespace recorder
