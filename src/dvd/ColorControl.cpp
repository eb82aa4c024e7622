#include "ColorControl.h"

#include "DSVideoWindowEx2.h"
#include "ui/qt/ErrorBox.h"

#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <cstdio>

namespace dvd {

namespace {

// The defaults the overlay reports until it has reported its own.
DDCOLORCONTROL publishedDefaults() {
    DDCOLORCONTROL c;
    c.dwSize = sizeof(DDCOLORCONTROL);
    c.dwFlags = 0x7F;
    c.lBrightness = 750;
    c.lContrast = 10000;
    c.lHue = 0;
    c.lSaturation = 10000;
    c.lSharpness = 5;
    c.lGamma = 1;
    c.lColorEnable = 1;
    return c;
}

} // namespace

QColor colorOf(uint32_t bgr) {
    return QColor(int(bgr & 0xFF), int(bgr >> 8 & 0xFF), int(bgr >> 16 & 0xFF));
}

TColorControl::TColorControl(TDSVideoWindowEx2* owner)
    : owner_(owner), defaults_(publishedDefaults()) {}

std::shared_ptr<IMixerPinConfig2> TColorControl::overlayPin() const {
    if (!owner_ || !owner_->OverlayReady()) return nullptr;
    const auto graph = owner_->graphBuilder();
    if (!graph) return nullptr;
    for (const FilterPtr& f : graph->EnumFilters()) {
        GUID clsid;
        if (f->GetClassID(&clsid) != S_OK ||
            (clsid != CLSID_OverlayMixer && clsid != CLSID_OverlayMixer2))
            continue;
        for (const PinPtr& pin : f->pins())
            if (pin->direction() == PINDIR_INPUT) {
                auto config = queryInterface<IMixerPinConfig2>(pin);
                return config && config->IsOverlayActive() == S_OK ? config : nullptr;
            }
    }
    return nullptr;
}

void TColorControl::UpdateColorControls() {
    const auto pin = overlayPin();
    if (!pin) return;
    // The overlay's own colours are its defaults: they are kept before ours replace them.
    owner_->takeOverlayDefaults();
    DDCOLORCONTROL c;
    c.dwSize = sizeof(DDCOLORCONTROL);
    c.dwFlags = 0x7F;
    c.lBrightness = brightness_;
    c.lContrast = contrast_;
    c.lHue = hue_;
    c.lSaturation = saturation_;
    c.lSharpness = sharpness_;
    c.lGamma = gamma_;
    c.lColorEnable = colorEnable_ ? 1 : 0;
    c.dwReserved1 = 0;
    pin->SetOverlaySurfaceColorControls(&c);
}

void TColorControl::GetColorControls() {
    const auto pin = overlayPin();
    if (!pin) return;
    DDCOLORCONTROL c{};
    c.dwSize = sizeof(DDCOLORCONTROL);
    if (SUCCEEDED(pin->GetOverlaySurfaceColorControls(&c))) {
        brightness_ = c.lBrightness;
        contrast_ = c.lContrast;
        hue_ = c.lHue;
        saturation_ = c.lSaturation;
        sharpness_ = c.lSharpness;
        gamma_ = c.lGamma;
        colorEnable_ = c.lColorEnable != 0;
    } else {
        brightness_ = 750;
        contrast_ = 10000;
        hue_ = 0;
        saturation_ = 10000;
        sharpness_ = 5;
        gamma_ = 1;
        colorEnable_ = true;
    }
}

void TColorControl::ReadDefault() {
    const auto pin = overlayPin();
    if (!pin) return;
    DDCOLORCONTROL c{};
    c.dwSize = sizeof(DDCOLORCONTROL);
    if (SUCCEEDED(pin->GetOverlaySurfaceColorControls(&c))) defaults_ = c;
}

void TColorControl::RestoreDefault() {
    brightness_ = defaults_.lBrightness;
    contrast_ = defaults_.lContrast;
    hue_ = defaults_.lHue;
    saturation_ = defaults_.lSaturation;
    sharpness_ = defaults_.lSharpness;
    gamma_ = defaults_.lGamma;
    colorEnable_ = defaults_.lColorEnable != 0;
    UpdateColorControls();
}

void TColorControl::setValue(int32_t& field, int32_t v, int32_t low, int32_t high,
                             const char* message) {
    if (v < low || v > high) {
        char text[128];
        std::snprintf(text, sizeof text, message, int(v));
        throw ui::EUserMessage(text);
    }
    if (field != v) field = v;
    UpdateColorControls();
}

int32_t TColorControl::Brightness() {
    GetColorControls();
    return brightness_;
}
void TColorControl::setBrightness(int32_t v) {
    setValue(brightness_, v, 0, 10000, "Value %d out of range. Value must bee between 0 -> 10.000");
}
int32_t TColorControl::Contrast() {
    GetColorControls();
    return contrast_;
}
void TColorControl::setContrast(int32_t v) {
    setValue(contrast_, v, 0, 20000, "Value %d out of range. Value must bee between 0 -> 20.000");
}
int32_t TColorControl::Hue() {
    GetColorControls();
    return hue_;
}
void TColorControl::setHue(int32_t v) {
    setValue(hue_, v, -180, 180, "Value %d out of range. Value must bee between -180 -> 180");
}
int32_t TColorControl::Saturation() {
    GetColorControls();
    return saturation_;
}
void TColorControl::setSaturation(int32_t v) {
    setValue(saturation_, v, 0, 20000, "Value %d out of range. Value must bee between 0 -> 20.000");
}
int32_t TColorControl::Sharpness() {
    GetColorControls();
    return sharpness_;
}
void TColorControl::setSharpness(int32_t v) {
    setValue(sharpness_, v, 0, 10, "Value %d out of range. Value must bee between 0 -> 10");
}
int32_t TColorControl::Gamma() {
    GetColorControls();
    return gamma_;
}
void TColorControl::setGamma(int32_t v) {
    setValue(gamma_, v, 1, 500, "Value %d out of range. Value must bee between 1 -> 500");
}
bool TColorControl::ColorEnable() {
    GetColorControls();
    return colorEnable_;
}
void TColorControl::setColorEnable(bool v) {
    colorEnable_ = v;
    UpdateColorControls();
}

// -- TDSVideoWindowEx2Caps

bool TDSVideoWindowEx2Caps::CanOverlayGraphic() const {
    return owner_ && owner_->OverlayReady();
}

bool TDSVideoWindowEx2Caps::can(uint32_t flag) const {
    return owner_ && (owner_->ColorControl()->hardwareDefaults().dwFlags & flag) != 0;
}

// -- TColorControlForm

TColorControlForm::TColorControlForm(TDSVideoWindowEx2* video, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), video_(video),
      key_(colorOf(rgbColor(16, 0, 16))) {
    setObjectName("ColorControlForm");
    setWindowTitle("Color Controls");
    // Light writing on the dark key colour.
    QPalette text = palette();
    text.setColor(QPalette::WindowText, Qt::white);
    text.setColor(QPalette::ButtonText, Qt::white);
    setPalette(text);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 12);
    auto slider = [this, layout](QLabel*& label, const char* text, QSlider*& bar, const char* name,
                                 int low, int high, int tick, int position) {
        label = new QLabel(text, this);
        label->setObjectName(QString(name).replace("TrackBar", "Label"));
        bar = new QSlider(Qt::Horizontal, this);
        bar->setObjectName(name);
        bar->setRange(low, high);
        bar->setTickPosition(QSlider::TicksBelow);
        bar->setTickInterval(tick);
        bar->setPageStep(tick);
        bar->setValue(position);
        layout->addWidget(label);
        layout->addWidget(bar);
    };
    slider(Label1, "Brightness", TrackBar1, "TrackBar1", 0, 10000, 1000, 750);
    slider(Label2, "Contrast", TrackBar2, "TrackBar2", 0, 20000, 2000, 10000);
    slider(Label3, "Hue", TrackBar3, "TrackBar3", -180, 180, 36, 0);
    slider(Label4, "Saturation", TrackBar4, "TrackBar4", 0, 20000, 2000, 10000);
    CheckBox1 = new QCheckBox("Utilized colors", this);
    CheckBox1->setObjectName("CheckBox1");
    CheckBox1->setChecked(true);
    layout->addWidget(CheckBox1);
    SpeedButton1 = new QToolButton(this);
    SpeedButton1->setObjectName("SpeedButton1");
    SpeedButton1->setText("Reset to Default");
    SpeedButton1->setAutoRaise(true);
    layout->addWidget(SpeedButton1);
    resize(260, 250);

    connect(TrackBar1, &QSlider::valueChanged, this, ui::guarded([this] { TrackBar1Change(); }));
    connect(TrackBar2, &QSlider::valueChanged, this, ui::guarded([this] { TrackBar2Change(); }));
    connect(TrackBar3, &QSlider::valueChanged, this, ui::guarded([this] { TrackBar3Change(); }));
    connect(TrackBar4, &QSlider::valueChanged, this, ui::guarded([this] { TrackBar4Change(); }));
    connect(CheckBox1, &QCheckBox::toggled, this, ui::guarded([this] { CheckBox1Click(); }));
    connect(SpeedButton1, &QToolButton::clicked, this,
            ui::guarded([this] { SpeedButton1Click(); }));
}

void TColorControlForm::TrackBar1Change() {
    if (video_) video_->ColorControl()->setBrightness(TrackBar1->value());
}
void TColorControlForm::TrackBar2Change() {
    if (video_) video_->ColorControl()->setContrast(TrackBar2->value());
}
void TColorControlForm::TrackBar3Change() {
    if (video_) video_->ColorControl()->setHue(TrackBar3->value());
}
void TColorControlForm::TrackBar4Change() {
    if (video_) video_->ColorControl()->setSaturation(TrackBar4->value());
}
void TColorControlForm::CheckBox1Click() {
    if (video_) video_->ColorControl()->setColorEnable(CheckBox1->isChecked());
}
void TColorControlForm::SpeedButton1Click() {
    if (!video_) return;
    video_->ColorControl()->RestoreDefault();
    loadControls();
}

void TColorControlForm::loadControls() {
    if (!video_) return;
    TColorControl* c = video_->ColorControl();
    CheckBox1->setChecked(c->ColorEnable());
    TrackBar4->setValue(c->Saturation());
    TrackBar3->setValue(c->Hue());
    TrackBar2->setValue(c->Contrast());
    TrackBar1->setValue(c->Brightness());
}

void TColorControlForm::setVideoWindow(TDSVideoWindowEx2* video) {
    video_ = video;
    if (!video_ && isVisible()) close();
}

TDSVideoWindowEx2* TColorControlForm::videoWindow() const {
    return video_;
}

void TColorControlForm::FormShow() {
    if (!video_) return;
    key_ = colorOf(video_->ColorKey());
    // Centred over the video window, in screen coordinates.
    const QPoint origin = video_->mapToGlobal(QPoint(0, 0));
    move(origin.x() + video_->width() / 2 - width() / 2,
         origin.y() + video_->height() / 2 - height() / 2);
    loadControls();
    update();
}

void TColorControlForm::FormDeactivate() {
    close();
}

void TColorControlForm::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    ui::runGuarded([this] { FormShow(); });
    activateWindow();
}

void TColorControlForm::changeEvent(QEvent* e) {
    QWidget::changeEvent(e);
    if (e->type() == QEvent::ActivationChange && isVisible() && !isActiveWindow()) FormDeactivate();
}

void TColorControlForm::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    // The window is the round rectangle: its corners let what is below show.
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 16, 16);
    setMask(QRegion(shape.toFillPolygon().toPolygon()));
}

void TColorControlForm::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0, 255, 0), 2));
    p.setBrush(key_);
    p.drawRoundedRect(rect().adjusted(1, 1, -1, -1), 16, 16);
}

} // namespace dvd
