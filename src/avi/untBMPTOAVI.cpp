#include "untBMPTOAVI.h"

#include "ImagesToAvi.h"
#include "ui/Dialogs.h"
#include "ui/qt/ErrorBox.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QScreen>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

#include <climits>
#include <exception>
#include <thread>

namespace avi {

namespace {

QSpinBox* spinEdit(QWidget* parent, const char* name, int value) {
    auto* edit = new QSpinBox(parent);
    edit->setObjectName(name);
    edit->setRange(INT_MIN, INT_MAX); // unbounded, as the form has it
    edit->setValue(value);
    return edit;
}

QToolButton* button(QWidget* parent, const char* name, const QString& caption) {
    auto* b = new QToolButton(parent);
    b->setObjectName(name);
    b->setText(caption);
    b->setAutoRaise(true);
    b->setMinimumWidth(75);
    return b;
}

} // namespace

std::string TFrmBMPTOAVI::pictureDialogFilter() {
    return pictureFilter();
}

TFrmBMPTOAVI::TFrmBMPTOAVI(QWidget* owner) : QDialog(owner) {
    setObjectName("FrmBMPTOAVI");
    setWindowTitle("BMP2AVI");
    setModal(true);
    resize(600, 400);
    // Centred on the desktop, as the other tool windows are.
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));

    ListBox1 = new QListWidget(this);
    ListBox1->setObjectName("ListBox1");
    ListBox1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    SpeedButton1 = button(this, "SpeedButton1", "Add Image");
    SpeedButton2 = button(this, "SpeedButton2", "Clear List");

    GroupBox1 = new QGroupBox("Option", this);
    GroupBox1->setObjectName("GroupBox1");
    SpinEdit1 = spinEdit(GroupBox1, "SpinEdit1", 400);
    SpinEdit2 = spinEdit(GroupBox1, "SpinEdit2", 300);
    SpinEdit3 = spinEdit(GroupBox1, "SpinEdit3", 1000);
    ComboBox1 = new QComboBox(GroupBox1);
    ComboBox1->setObjectName("ComboBox1");
    ComboBox1->addItems({"  1 Bit ", "  4 Bit  ", "  8 Bit", "24 Bit", "32 Bit"});
    ComboBox1->setCurrentIndex(3);
    CheckBox1 = new QCheckBox("Stretch Images", GroupBox1);
    CheckBox1->setObjectName("CheckBox1");
    CheckBox1->setChecked(true);
    auto* options = new QGridLayout(GroupBox1);
    const auto row = [&](int at, const char* label, QWidget* field) {
        auto* caption = new QLabel(label, GroupBox1);
        caption->setBuddy(field);
        options->addWidget(caption, at, 0);
        options->addWidget(field, at, 1);
    };
    row(0, "Frame Width", SpinEdit1);
    row(1, "Frame Height", SpinEdit2);
    row(2, "Frame Time [ms]", SpinEdit3);
    row(3, "Pixel Format", ComboBox1);
    options->addWidget(CheckBox1, 4, 0, 1, 2);
    options->setRowStretch(5, 1);

    SpeedButton3 = button(this, "SpeedButton3", "Start");
    SpeedButton4 = button(this, "SpeedButton4", "Close");
    StopButton = button(this, "StopButton", "Stop");
    StopButton->setEnabled(false);

    auto* listButtons = new QHBoxLayout;
    listButtons->addWidget(SpeedButton1);
    listButtons->addWidget(SpeedButton2);
    listButtons->addStretch(1);
    auto* left = new QVBoxLayout;
    left->addWidget(ListBox1, 1);
    left->addLayout(listButtons);
    auto* top = new QHBoxLayout;
    top->addLayout(left, 1);
    top->addWidget(GroupBox1);
    auto* strip = new QHBoxLayout;
    strip->addStretch(1);
    strip->addWidget(SpeedButton3);
    strip->addWidget(StopButton);
    strip->addWidget(SpeedButton4);
    auto* column = new QVBoxLayout(this);
    column->addLayout(top, 1);
    column->addWidget(ProgressBar1);
    column->addLayout(strip);

    // The component as the form stores it.
    AviWriter.setHeight(144);
    AviWriter.setWidth(192);
    AviWriter.FrameTime = 100;
    AviWriter.Stretch = true;
    AviWriter.setPixelFormat(TPixelFormat::pf24bit);

    connect(SpeedButton1, &QToolButton::clicked, this,
            ui::guarded([this] { SpeedButton1Click(); }));
    connect(SpeedButton2, &QToolButton::clicked, this,
            ui::guarded([this] { SpeedButton2Click(); }));
    connect(SpeedButton3, &QToolButton::clicked, this,
            ui::guarded([this] { SpeedButton3Click(); }));
    connect(SpeedButton4, &QToolButton::clicked, this,
            ui::guarded([this] { SpeedButton4Click(); }));
    connect(StopButton, &QToolButton::clicked, this, [this] { stop_ = true; });
}

void TFrmBMPTOAVI::SpeedButton1Click() {
    ui::FileDialogRequest request;
    request.filter = pictureDialogFilter();
    for (const std::string& path : ui::dialogs().openFiles(request))
        ListBox1->addItem(QString::fromStdString(path));
}

void TFrmBMPTOAVI::SpeedButton2Click() {
    ListBox1->clear();
}

void TFrmBMPTOAVI::SpeedButton3Click() {
    ui::FileDialogRequest save;
    save.filter = "Avi-Files|*.avi";
    save.defaultExt = "avi";
    const std::optional<std::string> chosen = ui::dialogs().saveFile(save);
    if (!chosen) return;
    AviWriter.filename = *chosen;
    const std::string title = QApplication::applicationName().toStdString();
    if (AviWriter.filename.empty()) {
        ui::messageBox("Choose an output file name first", title);
        return;
    }
    if (ListBox1->count() == 0) {
        ui::messageBox("No images selected.", title);
        return;
    }
    ImagesSettings settings;
    for (int i = 0; i < ListBox1->count(); ++i)
        settings.pictures.push_back(ListBox1->item(i)->text().toStdString());
    settings.output = AviWriter.filename;
    // Written over, the picture would be gone before it is read.
    if (const std::string refusal = refuseOutput(settings.pictures, settings.output);
        !refusal.empty())
        throw ui::EUserMessage(refusal);
    if (QFileInfo::exists(QString::fromStdString(settings.output)) &&
        ui::messageBox("File exists, overwrite?", "Warning", ui::MsgIcon::Warning,
                       ui::MsgButtons::YesNo) != ui::MsgResult::Yes)
        return;
    settings.width = SpinEdit1->value();
    settings.height = SpinEdit2->value();
    settings.frameTime = SpinEdit3->value();
    settings.stretch = CheckBox1->isChecked();
    settings.pixelFormat = AviWriter.PixelFormat();
    ProgressBar1->setRange(0, int(settings.pictures.size()));
    ProgressBar1->setValue(0);

    // The pictures are loaded, scaled and compressed on a worker; this loop keeps the window
    // drawing and answering meanwhile. The worker's progress and its end come back as queued
    // calls (dropped should the window be gone, which it cannot be before this returns).
    stop_ = false;
    setWriting(true);
    QEventLoop loop;
    std::exception_ptr failure;
    int written = 0;
    std::thread worker([&] {
        try {
            written = writeImages(
                AviWriter, settings,
                [this](int done) {
                    QMetaObject::invokeMethod(
                        this, [this, done] { ProgressBar1->setValue(done); }, Qt::QueuedConnection);
                },
                &stop_);
        } catch (...) {
            failure = std::current_exception();
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    setWriting(false);
    // The bar already shows the last picture done: the worker's calls came before its end.
    const bool stopped = stop_ && written < int(settings.pictures.size());
    const bool closing = closeAfterWriting_;
    if (closing) {
        closeAfterWriting_ = false;
        QMetaObject::invokeMethod(this, &QDialog::reject, Qt::QueuedConnection);
    }
    if (failure) std::rethrow_exception(failure);
    if (stopped && !closing)
        ui::messageBox(written > 0 ? "Stopped: " + settings.output + " holds the first " +
                                         std::to_string(written) + " of " +
                                         std::to_string(settings.pictures.size()) + " pictures."
                                   : "Stopped before the first picture: nothing was written.",
                       title);
}

void TFrmBMPTOAVI::setWriting(bool writing) {
    writing_ = writing;
    // While the pictures are written, the list and the options are the worker's.
    for (QWidget* w : {static_cast<QWidget*>(SpeedButton1), static_cast<QWidget*>(SpeedButton2),
                       static_cast<QWidget*>(SpeedButton3), static_cast<QWidget*>(GroupBox1),
                       static_cast<QWidget*>(ListBox1)})
        w->setEnabled(!writing);
    StopButton->setEnabled(writing);
}

void TFrmBMPTOAVI::reject() {
    // Escape or the frame's close while writing: the file is ended first, then the window goes.
    if (writing_) {
        stop_ = true;
        closeAfterWriting_ = true;
        return;
    }
    QDialog::reject();
}

void TFrmBMPTOAVI::closeEvent(QCloseEvent* event) {
    if (writing_) {
        stop_ = true;
        closeAfterWriting_ = true;
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void TFrmBMPTOAVI::SpeedButton4Click() {
    close();
}

} // namespace avi
