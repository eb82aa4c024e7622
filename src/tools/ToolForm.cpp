#include "ToolForm.h"

#include "ui/Dialogs.h"
#include "ui/qt/ErrorBox.h"
#include "ui/qt/OuterSize.h"
#include "ui/qt/ToolIcons.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QScreen>
#include <QToolButton>
#include <QVBoxLayout>

namespace tools {

namespace {

constexpr int BarRange = 1000;

// An open folder, for the browse buttons.
QIcon folderIcon() {
    return ui::drawnIcon([](QPainter& p) {
        p.setPen(QPen(QColor(150, 110, 20), 1));
        p.setBrush(QColor(240, 200, 80));
        p.drawRect(QRectF(3, 7, 18, 12));
        p.drawRect(QRectF(3, 5, 7, 2));
    });
}

} // namespace

TToolForm::TToolForm(QWidget* owner, const char* objectName, const QString& caption, QSize outer)
    : QDialog(owner) {
    setObjectName(objectName);
    setWindowTitle(caption);
    setModal(true);
    QFont font("MS Sans Serif");
    font.setPointSize(8);
    setFont(font);
    // Centred on the desktop, the frame included (placed again once the frame is known).
    ui::keepOuterGeometry(this, ui::centredOn(outer, ui::availableGeometryFor(nullptr)));

    Panel2 = new QWidget(this);
    Panel2->setObjectName("Panel2");
    auto* column = new QVBoxLayout(Panel2);
    column->setContentsMargins(8, 8, 8, 8);
    column->setSpacing(8);
    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFixedHeight(41);
    auto* strip = new QHBoxLayout(Panel1);
    strip->setContentsMargins(8, 4, 8, 4);
    strip->addStretch(1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Panel2, 1);
    layout->addWidget(Panel1);
}

void TToolForm::reject() {
    if (!closable()) {
        sayBusy();
        return;
    }
    clearGraphs();
    QDialog::reject();
}

void TToolForm::closeEvent(QCloseEvent* event) {
    if (!closable()) {
        event->ignore();
        sayBusy();
        return;
    }
    clearGraphs();
    QDialog::closeEvent(event);
}

QGroupBox* TToolForm::groupBox(const char* name, const QString& caption) {
    auto* box = new QGroupBox(caption, Panel2);
    box->setObjectName(name);
    auto* grid = new QGridLayout(box);
    grid->setColumnStretch(1, 1);
    addToPanel(box);
    return box;
}

QLineEdit* TToolForm::fileRow(QGroupBox* box, const QString& label, const char* boxName,
                              const char* buttonName, QToolButton** browse) {
    auto* grid = static_cast<QGridLayout*>(box->layout());
    const int row = grid->rowCount() == 1 && !grid->itemAtPosition(0, 0) ? 0 : grid->rowCount();
    auto* name = new QLineEdit(box);
    name->setObjectName(boxName);
    QFont song("宋体");
    song.setPixelSize(15);
    name->setFont(song);
    auto* button = new QToolButton(box);
    button->setObjectName(buttonName);
    button->setAutoRaise(true);
    button->setIcon(folderIcon());
    button->setToolTip("Browse");
    auto* caption = new QLabel(label, box);
    caption->setBuddy(name);
    grid->addWidget(caption, row, 0);
    grid->addWidget(name, row, 1);
    grid->addWidget(button, row, 2);
    *browse = button;
    return name;
}

QToolButton* TToolForm::stripButton(const char* name, const QString& caption) {
    auto* button = new QToolButton(Panel1);
    button->setObjectName(name);
    button->setText(caption);
    button->setAutoRaise(true);
    button->setMinimumWidth(75);
    static_cast<QHBoxLayout*>(Panel1->layout())->addWidget(button);
    return button;
}

QProgressBar* TToolForm::progressBar(const char* name) {
    auto* bar = new QProgressBar(Panel2);
    bar->setObjectName(name);
    bar->setRange(0, BarRange);
    bar->setTextVisible(false);
    // Hidden between jobs, the bar keeps its room: the window must not grow when it appears.
    QSizePolicy policy = bar->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    bar->setSizePolicy(policy);
    bar->hide();
    addToPanel(bar);
    return bar;
}

void TToolForm::addToPanel(QWidget* w) {
    auto* column = static_cast<QVBoxLayout*>(Panel2->layout());
    column->addWidget(w);
}

player::TRenderHooks TToolForm::barHooks(QProgressBar* bar) {
    player::TRenderHooks hooks;
    hooks.started = [bar](int64_t) {
        bar->setValue(0);
        bar->show();
    };
    hooks.progress = [bar](int64_t position, int64_t duration) {
        bar->setValue(player::progressValue(position, duration, BarRange));
    };
    hooks.finished = [bar] { bar->hide(); };
    hooks.processEvents = [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 50); };
    return hooks;
}

void TToolForm::requireName(QLineEdit* box, const char* message) {
    if (!box->text().isEmpty()) return;
    box->setFocus();
    throw ui::EUserMessage(message);
}

std::string TToolForm::text(const QLineEdit* box) {
    return box->text().toStdString();
}

void TToolForm::browseOpen(QLineEdit* box, const std::string& title, const std::string& filter,
                           const std::string& defaultExt) {
    ui::FileDialogRequest request;
    request.title = title;
    request.filter = filter;
    request.defaultExt = defaultExt;
    if (const auto name = ui::dialogs().openFile(request))
        box->setText(QString::fromStdString(*name));
}

void TToolForm::browseSave(QLineEdit* box, const std::string& title, const std::string& filter,
                           const std::string& defaultExt, const std::string& fileName) {
    ui::FileDialogRequest request;
    request.title = title;
    request.filter = filter;
    request.defaultExt = defaultExt;
    request.fileName = fileName;
    if (const auto name = ui::dialogs().saveFile(request))
        box->setText(QString::fromStdString(*name));
}

} // namespace tools
