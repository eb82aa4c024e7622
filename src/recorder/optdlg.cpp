#include "optdlg.h"

#include "TScreenCam.h"
#include "ui/qt/ErrorBox.h"
#include "ui/qt/OuterSize.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <cmath>

namespace recorder {

namespace optionmap {

namespace {
// Nearest integer, ties to even (the default rounding mode). Values beyond int, such as the
// position of a 0 ms interval, end at the int limits and the bar raises them to its range.
int nearest(double v) {
    if (std::isnan(v)) return INT_MIN;
    return int(std::clamp(std::nearbyint(v), double(INT_MIN), double(INT_MAX)));
}
const double Log60000 = std::log10(60000.0);
} // namespace

int recordInterval(int position) {
    return nearest(std::pow(10.0, Log60000 * (position - 1) / (RateBarMax - 1)));
}
int recordPosition(int intervalMs) {
    return nearest(std::log10(double(intervalMs)) * (RateBarMax - 1) / Log60000 + 1);
}
int playbackRate(int position) {
    return nearest(49.0 * (position - 1) / (RateBarMax - 1) + 1);
}
int playbackPosition(int rate) {
    return nearest(double(rate - 1) * (RateBarMax - 1) / 49.0);
}
int quality(int position) {
    return nearest(double(position) * 10000.0 / QualityBarMax);
}
int qualityPosition(int q) {
    return nearest(double(q) * QualityBarMax / 10000.0);
}

} // namespace optionmap

int strToInt(const QString& text) {
    const QString t = text.trimmed();
    bool ok = !t.isEmpty();
    for (int i = 0; ok && i < t.size(); ++i)
        ok = t[i].isDigit() || (i == 0 && (t[i] == '-' || t[i] == '+') && t.size() > 1);
    long long v = 0;
    if (ok) v = t.toLongLong(&ok);
    if (!ok || v < INT_MIN || v > INT_MAX)
        throw std::runtime_error("'" + text.toStdString() + "' is not a valid integer value");
    return int(v);
}

namespace {
QSlider* rateBar(QWidget* parent, const char* name, int min, int max) {
    auto* bar = new QSlider(Qt::Horizontal, parent);
    bar->setObjectName(name);
    bar->setRange(min, max);
    bar->setTickPosition(QSlider::NoTicks);
    return bar;
}
QLabel* label(QWidget* parent, const char* name, const QString& text) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    return l;
}
} // namespace

TOptionDlg::TOptionDlg(TScreenCam& engine, QWidget* parent) : QDialog(parent), engine_(engine) {
    setObjectName("OptionDlg");
    setWindowTitle("Option");
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    ui::keepOuterSize(this, QSize(451, 304), true);

    GroupBox1 = new QGroupBox("Recording parameters", this);
    GroupBox1->setObjectName("GroupBox1");
    Label6 = label(GroupBox1, "Label6", "1 ms / Frame");
    Label4 = label(GroupBox1, "Label4", "1 min. / Frame");
    labelmspFrecord = label(GroupBox1, "labelmspFrecord", QString());
    labelmspFrecord->setAlignment(Qt::AlignCenter);
    TrackBarRecord = rateBar(GroupBox1, "TrackBarRecord", 1, optionmap::RateBarMax);
    Label2 = label(GroupBox1, "Label2", "Set key frames every");
    EditKeyFrames = new QLineEdit(GroupBox1);
    EditKeyFrames->setObjectName("EditKeyFrames");
    EditKeyFrames->setFixedWidth(60);
    Label3 = label(GroupBox1, "Label3", "frames");
    auto* g1 = new QGridLayout(GroupBox1);
    g1->addWidget(labelmspFrecord, 0, 0, 1, 3);
    g1->addWidget(Label6, 1, 0);
    g1->addWidget(TrackBarRecord, 1, 1);
    g1->addWidget(Label4, 1, 2);
    auto* keys = new QHBoxLayout;
    keys->addWidget(Label2);
    keys->addWidget(EditKeyFrames);
    keys->addWidget(Label3);
    keys->addStretch();
    g1->addLayout(keys, 2, 0, 1, 3);

    GroupBox2 = new QGroupBox("Playback framerate", this);
    GroupBox2->setObjectName("GroupBox2");
    Label5 = label(GroupBox2, "Label5", "1 fps");
    Label7 = label(GroupBox2, "Label7", "50 fps");
    labelFPSPlayback = label(GroupBox2, "labelFPSPlayback", QString());
    labelFPSPlayback->setAlignment(Qt::AlignCenter);
    TrackBarPlayback = rateBar(GroupBox2, "TrackBarPlayback", 1, optionmap::RateBarMax);
    auto* g2 = new QGridLayout(GroupBox2);
    g2->addWidget(labelFPSPlayback, 0, 0, 1, 3);
    g2->addWidget(Label5, 1, 0);
    g2->addWidget(TrackBarPlayback, 1, 1);
    g2->addWidget(Label7, 1, 2);
    // The end labels take the same width in both groups so the bars line up.
    for (QLabel* l : {Label6, Label4, Label5, Label7})
        l->setMinimumWidth(90);
    Label4->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label7->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    GroupBox3 = new QGroupBox("Quality", this);
    GroupBox3->setObjectName("GroupBox3");
    TrackBarQuality = rateBar(GroupBox3, "TrackBarQuality", 0, optionmap::QualityBarMax);
    LabelQuality = label(GroupBox3, "LabelQuality", QString());
    auto* g3 = new QHBoxLayout(GroupBox3);
    g3->addWidget(TrackBarQuality);
    g3->addWidget(LabelQuality);
    GroupBox3->hide();

    Button2 = new QPushButton("OK", this);
    Button2->setObjectName("Button2");
    Button2->setDefault(true);
    Button3 = new QPushButton("Cancel", this);
    Button3->setObjectName("Button3");
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(Button2);
    buttons->addWidget(Button3);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(GroupBox1);
    layout->addWidget(GroupBox2);
    layout->addWidget(GroupBox3);
    layout->addStretch();
    layout->addLayout(buttons);

    for (QSlider* bar : {TrackBarRecord, TrackBarPlayback, TrackBarQuality})
        connect(bar, &QSlider::valueChanged, this, [this] { TrackBarChange(); });
    // The dialog closes with OK before the values are stored, so an error while storing
    // still closes it.
    connect(Button2, &QPushButton::clicked, this, [this] {
        accept();
        ui::runGuarded([this] { Button2Click(); });
    });
    connect(Button3, &QPushButton::clicked, this, &QDialog::reject);
}

void TOptionDlg::showEvent(QShowEvent* event) {
    FormShow();
    QDialog::showEvent(event);
}

void TOptionDlg::FormShow() {
    TrackBarRecord->setValue(optionmap::recordPosition(engine_.recordInterval));
    TrackBarPlayback->setValue(optionmap::playbackPosition(engine_.playbackRate));
    EditKeyFrames->setText(QString::number(engine_.keyFrameInterval));
    TrackBarQuality->setValue(optionmap::qualityPosition(engine_.quality));
    TrackBarChange();
}

void TOptionDlg::TrackBarChange() {
    labelmspFrecord->setText(
        QString::asprintf("%d ms", optionmap::recordInterval(TrackBarRecord->value())));
    labelFPSPlayback->setText(
        QString::asprintf("%d fps", optionmap::playbackRate(TrackBarPlayback->value())));
    LabelQuality->setText(QString::number(TrackBarQuality->value()));
}

void TOptionDlg::Button2Click() {
    // A recording's worker reads these while it runs; they change only while it is idle.
    if (engine_.hasWorker()) return;
    engine_.quality = optionmap::quality(TrackBarQuality->value());
    engine_.keyFrameInterval = strToInt(EditKeyFrames->text());
    engine_.recordInterval = optionmap::recordInterval(TrackBarRecord->value());
    engine_.playbackRate = optionmap::playbackRate(TrackBarPlayback->value());
}

} // namespace recorder
