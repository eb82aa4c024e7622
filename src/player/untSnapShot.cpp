#include "untSnapShot.h"

#include "media/TSampleGrabber.h"
#include "platform/screen/Dib.h"
#include "ui/Dialogs.h"
#include "ui/qt/DibImage.h"
#include "ui/qt/ErrorBox.h"
#include "ui/qt/OuterSize.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QSaveFile>
#include <QScreen>
#include <QShowEvent>
#include <QToolButton>
#include <QVBoxLayout>
#include <filesystem>

namespace player {

namespace {

constexpr int Panel1Height = 41;

std::function<TSnapshotSource()>& sourceLookup() {
    static std::function<TSnapshotSource()> lookup;
    return lookup;
}

// The picture box: the frame stretched over the whole box.
class TStretchedImage : public QWidget {
  public:
    TStretchedImage(const QImage& picture, QWidget* parent) : QWidget(parent), picture_(picture) {}

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        if (picture_.isNull())
            p.fillRect(rect(), palette().window());
        else
            p.drawImage(rect(), picture_);
    }

  private:
    const QImage& picture_;
};

} // namespace

void setSnapshotSourceLookup(std::function<TSnapshotSource()> lookup) {
    sourceLookup() = std::move(lookup);
}

bool isJpegName(const std::string& path) {
    const QString ext = QString::fromStdString(std::filesystem::path(path).extension().string());
    return ext.compare(".jpg", Qt::CaseInsensitive) == 0 ||
           ext.compare(".jpeg", Qt::CaseInsensitive) == 0;
}

bool savePicture(const QImage& picture, const std::string& path, bool jpeg, std::string* why) {
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly)) {
        *why = file.errorString().toStdString();
        return false;
    }
    // Both formats hold the frame as 24-bit colour.
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    if (!rgb.save(&file, jpeg ? "JPG" : "BMP", jpeg ? 90 : -1)) {
        *why = file.error() != QFileDevice::NoError ? file.errorString().toStdString()
                                                    : std::string("the picture cannot be encoded");
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *why = file.errorString().toStdString();
        return false;
    }
    return true;
}

TFrmSnapShot::TFrmSnapShot(TSnapshotSource fallback, QWidget* parent)
    : QDialog(parent), fallback_(fallback) {
    setObjectName("FrmSnapShot");
    setWindowTitle("Capture");
    setModal(true);
    QFont font("MS Sans Serif");
    font.setPointSize(8);
    setFont(font);

    Panel2 = new QWidget(this);
    Panel2->setObjectName("Panel2");
    Image = new TStretchedImage(picture_, Panel2);
    Image->setObjectName("Image");
    Image->setMinimumSize(1, 1);
    auto* imageLayout = new QVBoxLayout(Panel2);
    imageLayout->setContentsMargins(6, 6, 6, 6);
    imageLayout->addWidget(Image);

    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFixedHeight(Panel1Height);
    SpeedButton1 = new QToolButton(Panel1);
    SpeedButton1->setObjectName("SpeedButton1");
    SpeedButton1->setText("Save");
    SpeedButton1->setAutoRaise(true);
    SpeedButton2 = new QToolButton(Panel1);
    SpeedButton2->setObjectName("SpeedButton2");
    SpeedButton2->setText("Close");
    SpeedButton2->setAutoRaise(true);
    auto* buttons = new QHBoxLayout(Panel1);
    buttons->addStretch(1);
    buttons->addWidget(SpeedButton1);
    buttons->addWidget(SpeedButton2);
    buttons->addStretch(1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Panel2, 1);
    layout->addWidget(Panel1);

    connect(SpeedButton1, &QToolButton::clicked, this,
            ui::guarded([this] { SpeedButton1Click(); }));
    connect(SpeedButton2, &QToolButton::clicked, this, [this] { close(); });
    ui::keepOuterSize(this, QSize(404, 333));
}

void TFrmSnapShot::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) ui::runGuarded([this] { FormShow(); });
    QDialog::showEvent(event);
}

void TFrmSnapShot::FormShow() {
    source_ = fallback_;
    if (sourceLookup())
        if (TSnapshotSource capture = sourceLookup()(); capture.grabber) source_ = capture;
    const QRect desk = ui::availableGeometryFor(this);
    if (source_.videoWindow) {
        // The picture at the video window's size, or smaller where that would leave the
        // screen.
        const QSize outer = ui::fitVideoWindow(source_.videoWindow->size(),
                                               QSize(12, Panel1Height + 36), desk.size());
        ui::keepOuterGeometry(this, ui::centredOn(outer, desk));
    } else {
        move(ui::centredOn(frameGeometry().size(), desk).topLeft());
    }
    picture_ = QImage();
    platform::screen::PackedDib dib;
    if (source_.grabber && source_.grabber->GetBitmap(dib)) picture_ = ui::imageFromDib(dib);
    Image->update();
}

void TFrmSnapShot::SpeedButton1Click() {
    ui::FileDialogRequest request;
    request.defaultExt = "bmp";
    request.fileName = "image";
    request.filter = "BMP|*.BMP|JPG|*.JPG";
    const std::optional<std::string> name = ui::dialogs().saveFile(request);
    if (!name) return;
    if (picture_.isNull()) {
        ui::messageBox("There is no picture to save: the video has shown no frame yet", "Info",
                       ui::MsgIcon::Information);
        return;
    }
    std::string why;
    if (!savePicture(picture_, *name, isJpegName(*name), &why))
        throw ui::EUserMessage("Cannot write \"" + *name + "\": " + why);
}

} // namespace player
