#include "CaptureWindow.h"

#include "ui/Dialogs.h"
#include "ui/qt/OuterSize.h"
#include "ui/qt/TrayIcon.h"

#include <QAction>
#include <QComboBox>
#include <QStatusBar>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>

namespace capture {

TCaptureWindow::TCaptureWindow(CaptureHost host, const char* objectName, QSize outerSize)
    : host_(host) {
    setObjectName(objectName);
    setWindowTitle("Capture Video");
    setWindowFlag(Qt::Window);
    ui::keepOuterSize(this, outerSize);
    QFont font("MS Sans Serif");
    font.setPointSize(8);
    setFont(font);
    ActionToolBar1 = new QToolBar(this);
    ActionToolBar1->setObjectName("ActionToolBar1");
    ActionToolBar1->setIconSize(QSize(24, 24));
    ActionToolBar1->setToolButtonStyle(Qt::ToolButtonIconOnly);
    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName("StatusBar");
    StatusBar->setSizeGripEnabled(false);
    Timer.setInterval(1000);
}

void TCaptureWindow::layOut(QWidget* panel) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(ActionToolBar1);
    layout->addWidget(panel, 1);
    layout->addWidget(StatusBar);
}

void TCaptureWindow::watch(CaptureGraphBase& graph) {
    graph.onFailed = [this](const CaptureResult& r) {
        endRecording();
        reportEnded(r);
    };
}

QAction* TCaptureWindow::makeAction(const char* name, const QString& caption, const QIcon& icon) {
    auto* a = new QAction(icon, caption, this);
    a->setObjectName(name);
    a->setToolTip(caption);
    a->setStatusTip(caption);
    addAction(a);
    return a;
}

void TCaptureWindow::fillToolBar(std::initializer_list<QAction*> actions, QAction* close) {
    for (QAction* a : actions)
        ActionToolBar1->addAction(a);
    ActionToolBar1->addSeparator();
    ActionToolBar1->addAction(close);
    ui::keepActionsVisible(ActionToolBar1);
}

void TCaptureWindow::showLines(QComboBox* box, const recorder::InputLines& lines) {
    box->clear();
    for (const std::string& name : lines.names)
        box->addItem(QString::fromStdString(name));
    box->setCurrentIndex(lines.selected);
}

std::string TCaptureWindow::chosenLine(const QComboBox* box) {
    return box->currentIndex() >= 0 ? box->currentText().toStdString() : std::string();
}

void TCaptureWindow::showTime(double seconds) {
    StatusBar->showMessage(QString::fromStdString(recordingTimeText(seconds)));
}

void TCaptureWindow::setTrayCycling(bool on) {
    if (host_.trayIcon) host_.trayIcon->setCycling(on);
}

void TCaptureWindow::reportNothingRecorded(bool wasRecording, const CaptureResult& result) {
    if (wasRecording && !result.fileKept)
        ui::messageBox("Nothing was recorded; the empty file \"" + file_ + "\" is removed.",
                       "Warning", ui::MsgIcon::Warning);
}

void TCaptureWindow::reportEnded(const CaptureResult& r) {
    std::string text = "The recording stopped: " + sentence(r.error) + "\r\n";
    if (r.fileKept) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", std::max(r.videoSeconds, r.voiceSeconds));
        text += "\"" + file_ + "\" keeps the " + seconds + " s recorded up to then.";
    } else {
        text += "Nothing was recorded; the empty file \"" + file_ + "\" is removed.";
    }
    ui::messageBox(text, "Error", ui::MsgIcon::Warning);
}

} // namespace capture
