#include "untRecordScreen.h"

#include "Recovery.h"
#include "optdlg.h"
#include "ui/Dialogs.h"
#include "ui/UiThread.h"
#include "ui/qt/ErrorBox.h"
#include "ui/qt/OuterSize.h"
#include "ui/qt/ToolIcons.h"
#include "ui/qt/TrayIcon.h"
#include "untCaptureArea.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QScrollArea>
#include <QThread>
#include <QToolBar>
#include <QVBoxLayout>
#include <chrono>
#include <filesystem>
#include <unistd.h>

namespace recorder {

namespace {

const char* const StartMessage = "Now Start Record Screen,Program Minimize \r\n"
                                 "Mouse click the taskbar icon or Press <Ctrl+A> to Stop Record";

QIcon areaIcon() {
    return ui::drawnIcon([](QPainter& p) {
        p.setPen(QPen(QColor(20, 60, 160), 2, Qt::DashLine));
        p.drawRect(QRectF(3, 5, 18, 14));
        p.setPen(QPen(Qt::black, 1));
        p.drawLine(QPointF(12, 1), QPointF(12, 23));
        p.drawLine(QPointF(1, 12), QPointF(23, 12));
    });
}
QIcon savePictureIcon() {
    return ui::drawnIcon([](QPainter& p) {
        p.setPen(QPen(QColor(40, 40, 40), 1));
        p.setBrush(QColor(110, 170, 230));
        p.drawRect(QRectF(3, 5, 18, 14));
        p.setBrush(QColor(60, 150, 60));
        p.drawPolygon(QPolygonF(
            {QPointF(4, 18), QPointF(10, 10), QPointF(15, 16), QPointF(17, 13), QPointF(20, 18)}));
        p.setBrush(QColor(250, 220, 60));
        p.drawEllipse(QPointF(17, 8), 1.8, 1.8);
    });
}

void removeFile(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

} // namespace

TFrmRecordScreen::TFrmRecordScreen(RecordScreenHost host)
    : host_(std::move(host)), engine_(std::make_unique<TScreenCam>()) {
    setObjectName("FrmRecordScreen");
    setWindowTitle("Record Screen");
    setWindowFlag(Qt::Window);
    ui::keepOuterSize(this, QSize(606, 477));
    QFont font("MS Sans Serif");
    font.setPointSize(8);
    setFont(font);

    ActRecord = makeAction("ActRecord", "Start Record", "Start Record");
    ActRecord->setIcon(ui::recordIcon());
    ActStop = makeAction("ActStop", "Stop Record", "Stop Record");
    ActStop->setIcon(ui::stopIcon());
    ActStop->setShortcut(QKeySequence("Ctrl+A"));
    ActStop->setEnabled(false);
    ActArea = makeAction("ActArea", "Area", "Select Area");
    ActArea->setIcon(areaIcon());
    ActOption = makeAction("ActOption", "Option", "Option");
    ActOption->setIcon(ui::optionIcon());
    SavePicture = makeAction("SavePicture", "SavePicture", "SavePicture");
    SavePicture->setIcon(savePictureIcon());
    ActClose = makeAction("ActClose", "Close", "Close");
    ActClose->setIcon(ui::closeIcon());
    connect(ActRecord, &QAction::triggered, this, ui::guarded([this] { ActRecordExecute(); }));
    connect(ActStop, &QAction::triggered, this, ui::guarded([this] { ActStopExecute(); }));
    connect(ActArea, &QAction::triggered, this, ui::guarded([this] { ActAreaExecute(); }));
    connect(ActOption, &QAction::triggered, this, ui::guarded([this] { ActOptionExecute(); }));
    connect(SavePicture, &QAction::triggered, this, ui::guarded([this] { SavePictureExecute(); }));
    connect(ActClose, &QAction::triggered, this, ui::guarded([this] { ActCloseExecute(); }));

    ActionToolBar1 = new QToolBar(this);
    ActionToolBar1->setObjectName("ActionToolBar1");
    ActionToolBar1->setIconSize(QSize(24, 24));
    ActionToolBar1->setToolButtonStyle(Qt::ToolButtonIconOnly);
    for (QAction* a : {ActRecord, ActStop, ActArea, ActOption, SavePicture})
        ActionToolBar1->addAction(a);
    ActionToolBar1->addSeparator();
    ActionToolBar1->addAction(ActClose);

    Panel1 = new QLabel(this);
    Panel1->setObjectName("Panel1");
    Panel1->setAlignment(Qt::AlignCenter);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(1);
    Panel1->setContentsMargins(4, 4, 4, 4);
    QFont bold = Panel1->font();
    bold.setBold(true);
    Panel1->setFont(bold);

    Panel5 = new QWidget(Panel1);
    Panel5->setObjectName("Panel5");
    CheckRecordAudio = new QCheckBox("Record Voice  ", Panel5);
    CheckRecordAudio->setObjectName("CheckRecordAudio");
    CheckRecordAudio->setChecked(true);
    Label2 = new QLabel("Voice Source  ", Panel5);
    Label2->setObjectName("Label2");
    AudioSample = new QComboBox(Panel5);
    AudioSample->setObjectName("AudioSample");
    AudioSample->setMinimumWidth(220);
    auto* voiceRow = new QHBoxLayout(Panel5);
    voiceRow->setContentsMargins(4, 4, 4, 4);
    voiceRow->addWidget(CheckRecordAudio);
    voiceRow->addSpacing(16);
    voiceRow->addWidget(Label2);
    voiceRow->addWidget(AudioSample);
    voiceRow->addStretch(1);

    // The preview shows the picture at its own size; a large screen scrolls.
    ImageBox = new QScrollArea(Panel1);
    ImageBox->setObjectName("ImageBox");
    ImageBox->setFrameShape(QFrame::NoFrame);
    Image1 = new QLabel;
    Image1->setObjectName("Image1");
    ImageBox->setWidget(Image1);

    auto* panelLayout = new QVBoxLayout(Panel1);
    panelLayout->setContentsMargins(4, 4, 4, 4);
    panelLayout->addWidget(Panel5, 0, Qt::AlignTop);
    panelLayout->addWidget(ImageBox, 1);
    panelLayout->addStretch(0);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(ActionToolBar1);
    layout->addWidget(Panel1, 1);

    // The tool bar follows the engine: settings and area are open again once its worker ended.
    engine_->onRecordEnd = [this](int) { updateActions(); };
    if (host_.trayIcon) host_.trayIcon->addCompanion(this);
    merge.onComplete = [this] { mergeComplete(); };
    merge.onFailed = [this](const std::string& why) { mergeFailed(why); };
}

TFrmRecordScreen::~TFrmRecordScreen() {
    // The engine is never freed while its worker still writes.
    if (engine_ && engine_->hasWorker()) {
        engine_->stopRecording();
        waitForEngine();
    }
}

QAction* TFrmRecordScreen::makeAction(const char* name, const QString& caption,
                                      const QString& hint) {
    auto* a = new QAction(caption, this);
    a->setObjectName(name);
    a->setToolTip(hint);
    a->setStatusTip(hint);
    addAction(a);
    return a;
}

void TFrmRecordScreen::setStage(Stage s) {
    stage_ = s;
    if (s == Stage::Idle && session_) session_->end();
    updateActions();
}

void TFrmRecordScreen::updateActions() {
    const Stage s = stage_;
    // Not while merging: a new recording would replace the files the merge reads.
    ActRecord->setEnabled(s == Stage::Idle || s == Stage::ChoosingTarget);
    ActStop->setEnabled(s == Stage::Starting || s == Stage::Recording);
    // "Stop Record" in the tray, and so Ctrl+A, only once the engine and the voice run.
    if (host_.stopItem) host_.stopItem->setEnabled(s == Stage::Recording);
    // The worker reads the settings and the capture area while it runs (also for the rest of
    // its last pass after a stop): they change only while the engine is idle.
    const bool engineIdle = engine_ && !engine_->hasWorker();
    const bool settable = engineIdle && (s == Stage::Idle || s == Stage::Merging);
    ActArea->setEnabled(settable);
    ActOption->setEnabled(settable);
}

void TFrmRecordScreen::prepareOpen() {
    setCaptureAreaChosen(false);
    if (isVisible() && stage_ == Stage::Idle) {
        try {
            setPicture(grabScreen());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tovamix: no preview: %s\n", e.what());
        }
    }
}

void TFrmRecordScreen::bindVoiceDevice() {
    std::string why;
    if (!voice.bindDevice(&lines_, &why) && !why.empty())
        std::fprintf(stderr, "tovamix: no voice recording: %s\n", why.c_str());
    showLines(lines_);
}

void TFrmRecordScreen::showLines(const InputLines& lines) {
    AudioSample->clear();
    for (const std::string& name : lines.names)
        AudioSample->addItem(QString::fromStdString(name));
    AudioSample->setCurrentIndex(lines.selected);
}

void TFrmRecordScreen::setPicture(const QImage& picture) {
    picture_ = picture;
    Image1->setPixmap(QPixmap::fromImage(picture));
    Image1->resize(picture.size());
}

void TFrmRecordScreen::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // A window coming back from the minimised state is not shown anew.
    if (event->spontaneous()) return;
    if (!captureAreaChosen()) {
        try {
            setPicture(grabScreen());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tovamix: no preview: %s\n", e.what());
        }
    }
    CheckRecordAudio->setChecked(false);
}

void TFrmRecordScreen::ActRecordExecute() {
    if (stage_ != Stage::Idle && stage_ != Stage::ChoosingTarget) return;
    // One recording at a time in the folder of temporary recordings (another window, a
    // tovamix-cli): the second one would write over the first one's files.
    if (!session_) session_ = std::make_unique<RecordingSession>(*engine_, voice);
    if (std::string busy; !session_->lock(&busy))
        throw ui::EUserMessage("The screen cannot be recorded now: " + busy + ".");
    const QPointer<TFrmRecordScreen> self(this);
    setStage(Stage::Starting);
    // A start that fails on the way (the temporary folder refused, the engine not started)
    // brings the windows back and leaves the window idle; the error box then says why.
    struct BackToIdle {
        TFrmRecordScreen* w;
        QPointer<TFrmRecordScreen> self;
        ~BackToIdle() {
            if (!w || !self || w->closing_ || w->stage_ != Stage::Starting) return;
            w->voice.stop();
            w->comeBackFromTray();
            w->setStage(Stage::Idle);
        }
    } backToIdle{this, self};
    if (!voice.FilterGraph.Active()) voice.FilterGraph.setActive(true);
    ui::messageBox(StartMessage, "Info", ui::MsgIcon::Information);
    if (!stillOpen(self)) {
        backToIdle.w = nullptr;
        return;
    }
    goToTray();

    const bool withVoice = CheckRecordAudio->isChecked();
    bool haveDevice = false;
    if (withVoice) {
        std::string why;
        const std::string chosen =
            AudioSample->currentIndex() >= 0 ? AudioSample->currentText().toStdString() : "";
        haveDevice = voice.prepare(&lines_, chosen, &why);
        if (haveDevice) showLines(lines_);
        if (!why.empty()) {
            ui::messageBox("The voice cannot be recorded: " + why +
                               ".\r\nThe screen is recorded without it.",
                           "Warning", ui::MsgIcon::Warning);
            if (!stillOpen(self)) {
                backToIdle.w = nullptr;
                return;
            }
        }
    }
    const std::string videoFile = videoTempPath();
    const std::string audioFile = audioTempPath();
    // The last recording's worker may still be finishing its pass (up to a tenth of a long
    // record interval): it closes its file before a new one is started, with the window alive.
    waitForEngine();
    if (!stillOpen(self)) {
        backToIdle.w = nullptr;
        return;
    }
    engine_->areaFlag = captureAreaChosen();
    // The session removes the last recording's files, starts the voice, the engine and the
    // live compression, and writes the manifest.
    RecordingSession::Options options;
    options.area = &TFrmCaptureArea::instance();
    options.voice = withVoice && haveDevice && voice.deviceBound();
    options.joinVoice = AudioSample->currentIndex() >= 0;
    options.live = compressWhileRecording;
    options.whileWaiting = [] {
        ui::defaultEventQueue().processPending();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    };
    if (std::string why; !session_->start(options, &why))
        throw std::runtime_error("The screen recording could not be started.");
    voiceRecorded_ = session_->voiceRecorded();
    if (withVoice && !options.voice) removeFile(audioFile);
    if (host_.trayIcon) host_.trayIcon->setCycling(true);
    setStage(Stage::Recording);
}

void TFrmRecordScreen::goToTray() {
    if (host_.trayIcon) {
        host_.trayIcon->minimizeToTray();
        if (host_.trayIcon->trayAvailable()) return; // this window went with the main window
    }
    showMinimized();
}

void TFrmRecordScreen::comeBackFromTray() {
    if (host_.trayIcon) host_.trayIcon->restoreFromTray();
    showNormal();
    raise();
    activateWindow();
}

void TFrmRecordScreen::ActStopExecute() {
    // Refused until the recording has started: a stop pressed while the "Info" box or the voice
    // warning is open would otherwise ask for a target before anything was recorded.
    if (stage_ != Stage::Recording) return;
    setStage(Stage::Stopping);
    engine_->stopRecording();
    if (host_.trayIcon) host_.trayIcon->setCycling(false);
    // The windows come back at once; the voice is finished behind "finishing...", the window
    // painting meanwhile (a late sound device is waited for up to a few seconds).
    comeBackFromTray();
    const QPointer<TFrmRecordScreen> self(this);
    if (voiceRecorded_) {
        ImageBox->hide();
        Panel1->setText("finishing...");
        Panel1->repaint();
        session_->stop([] { QCoreApplication::processEvents(QEventLoop::AllEvents, 20); });
        if (!self) return;
        Panel1->setText("");
        ImageBox->show();
    } else {
        session_->stop();
    }
    setStage(Stage::ChoosingTarget);
    if (closeAfterStop_) {
        close();
        return;
    }
    merge.clear();
    setCaptureAreaChosen(false);

    ui::FileDialogRequest request;
    request.filter = "avi|*.avi";
    request.defaultExt = "avi";
    request.fileName = "RecordScreen";
    const std::optional<std::string> target = ui::dialogs().saveFile(request);
    if (!stillOpen(self)) return;
    if (!target) {
        setStage(Stage::Idle);
        return;
    }
    // The video file is complete only once the engine's worker has ended.
    waitForEngine();
    if (!stillOpen(self)) return;
    // The recording was compressed while it ran: only its tail is left, then the file goes to
    // its name. Otherwise (or when that fails) the temporary files are merged.
    if (session_ && session_->live()) {
        target_ = *target;
        setStage(Stage::Merging);
        finishingLive_ = true;
        ImageBox->hide();
        Panel1->setText("compressing data...");
        Panel1->repaint();
        std::string why;
        const bool done = session_->finishLive(
            *target, AudioSample->currentIndex() >= 0,
            [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 20); }, &why);
        finishingLive_ = false;
        if (!self) return;
        if (done) {
            mergeComplete();
            return;
        }
        std::fprintf(stderr, "tovamix: %s; compressing the temporary files instead\n", why.c_str());
        setStage(Stage::ChoosingTarget);
    }
    startMerge(*target);
}

void TFrmRecordScreen::startMerge(const std::string& target) {
    target_ = target;
    std::string videoFile, audioFile;
    try {
        videoFile = videoTempPath();
        audioFile = audioTempPath();
    } catch (const std::exception& e) {
        mergeFailed(e.what(), false);
        return;
    }
    const bool withVoice =
        voiceRecorded_ && AudioSample->currentIndex() >= 0 && voiceFileUsable(audioFile);
    std::string why;
    if (!merge.start(videoFile, withVoice ? audioFile : "", target, &why)) {
        mergeFailed(why);
        return;
    }
    setStage(Stage::Merging);
    ImageBox->hide();
    Panel1->setText("compressing data...");
    Panel1->repaint();
}

void TFrmRecordScreen::mergeComplete() {
    if (stage_ != Stage::Merging) return;
    if (session_) session_->saved();
    Panel1->setText("");
    setStage(Stage::Idle);
    ui::messageBox("Record Complete!", QApplication::applicationName().toStdString());
    close();
}

void TFrmRecordScreen::mergeFailed(const std::string& why, bool merged) {
    Panel1->setText("");
    ImageBox->show();
    setStage(Stage::Idle);
    // What this merge wrote of the target is unusable; a target it never touched stays as it
    // was. The temporary recordings stay.
    if (merged && merge.targetWritten()) removeFile(target_);
    std::string reason = why;
    while (!reason.empty() && reason.back() == '.')
        reason.pop_back();
    std::string kept;
    try {
        kept = ".\r\nThe recordings are kept in \"" + videoTempPath() + "\"" +
               (voiceRecorded_ ? " and \"" + audioTempPath() + "\"" : std::string());
    } catch (const std::exception&) {
    }
    ui::messageBox("The recording could not be saved as \"" + target_ + "\": " + reason + kept +
                       ".",
                   "Error", ui::MsgIcon::Warning);
}

void TFrmRecordScreen::waitForEngine() {
    while (engine_ && engine_->hasWorker()) {
        ui::defaultEventQueue().processPending();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (engine_ && engine_->hasWorker()) QThread::msleep(5);
    }
}

void TFrmRecordScreen::ActAreaExecute() {
    if (!engine_ || engine_->hasWorker()) return; // a running worker reads the area
    std::vector<QWidget*> hide{this};
    if (host_.mainWindow) hide.push_back(host_.mainWindow);
    TFrmCaptureArea::instance().Open(hide, [this](const QImage& p) { setPicture(p); });
}

void TFrmRecordScreen::ActOptionExecute() {
    if (!engine_ || engine_->hasWorker()) return; // a running worker reads the settings
    TOptionDlg dialog(*engine_, this);
    dialog.exec();
}

void TFrmRecordScreen::SavePictureExecute() {
    ui::FileDialogRequest request;
    request.filter = "BMP|*.BMP|JPG|*.JPG";
    request.defaultExt = "bmp";
    request.fileName = "image";
    const std::optional<std::string> name = ui::dialogs().saveFile(request);
    if (!name) return;
    const std::string ext = std::filesystem::path(*name).extension().string();
    const bool jpeg = QString::fromStdString(ext).compare(".jpg", Qt::CaseInsensitive) == 0 ||
                      QString::fromStdString(ext).compare(".jpeg", Qt::CaseInsensitive) == 0;
    if (!picture_.save(QString::fromStdString(*name), jpeg ? "JPG" : "BMP"))
        throw ui::EUserMessage("Cannot write \"" + *name + "\"");
}

void TFrmRecordScreen::ActCloseExecute() {
    if (stage_ == Stage::Merging || merge.running() || finishingLive_) {
        ui::messageBox("compressing data, please wait close",
                       QApplication::applicationName().toStdString());
        return;
    }
    close();
}

void TFrmRecordScreen::closeEvent(QCloseEvent* event) {
    // Closing while the merge runs would leave the target half written.
    if (stage_ == Stage::Merging && (merge.running() || finishingLive_)) {
        ui::messageBox("compressing data, please wait close",
                       QApplication::applicationName().toStdString());
        event->ignore();
        return;
    }
    // The voice is being finished by the stop on the stack below: the close follows it.
    if (stage_ == Stage::Stopping) {
        closeAfterStop_ = true;
        event->ignore();
        return;
    }
    closing_ = true;
    if (stage_ == Stage::Starting || stage_ == Stage::Recording) {
        const bool recording = stage_ == Stage::Recording;
        engine_->stopRecording();
        if (session_ && recording)
            session_->stop();
        else
            voice.stop();
        if (host_.trayIcon) {
            host_.trayIcon->setCycling(false);
            host_.trayIcon->restoreFromTray();
        }
        if (recording) {
            // Not saved: the files stay for a later recovery, and the user is told where.
            waitForEngine();
            if (session_) session_->end();
            try {
                std::fprintf(stderr,
                             "tovamix: the recording was stopped before it was saved; it is kept "
                             "in \"%s\"%s%s%s (tovamix-cli recover%s OUTPUT.avi saves it)\n",
                             videoTempPath().c_str(), voiceRecorded_ ? " and \"" : "",
                             voiceRecorded_ ? audioTempPath().c_str() : "",
                             voiceRecorded_ ? "\"" : "", voiceRecorded_ ? " --voice" : "");
            } catch (const std::exception&) {
            }
        }
        setStage(Stage::Idle);
    }
    if (host_.trayIcon) host_.trayIcon->setPopupMenu(nullptr);
    if (host_.stopItem) host_.stopItem->setEnabled(false);
    voice.FilterGraph.setActive(false);
    voice.FilterGraph.ClearGraph();
    if (engine_->hasWorker()) {
        engine_->stopRecording();
        waitForEngine();
    }
    session_.reset(); // it drives the engine: it goes first
    engine_.reset();
    if (host_.trayIcon) host_.trayIcon->removeCompanion(this);
    event->accept();
}

void offerRecovery() {
    auto manifest = unsavedRecording();
    if (!manifest) return;
    const ui::MsgResult answer = ui::messageBox(
        "A screen recording " + describeRecording(*manifest) + ", was not saved.\r\nSave it now?",
        "Prompt", ui::MsgIcon::Question, ui::MsgButtons::YesNo, ui::MsgResult::Yes);
    if (answer != ui::MsgResult::Yes) {
        manifest->declined = true;
        writeManifest(*manifest);
        return;
    }
    ui::FileDialogRequest request;
    request.filter = "avi|*.avi";
    request.defaultExt = "avi";
    request.fileName = "RecordScreen";
    const std::optional<std::string> target = ui::dialogs().saveFile(request);
    if (!target) return; // asked again at the next start
    std::string busy;
    const auto lock = RecordingLock::acquire(&busy);
    PreparedRecovery prepared;
    std::string why;
    bool ok = lock != nullptr && prepareRecovery(manifest->voice, &prepared, &why);
    if (!lock) why = busy;
    if (ok) {
        std::fprintf(stderr, "tovamix: %s", prepared.notes.c_str());
        MergeGraph merge;
        bool ended = false;
        merge.onComplete = [&] { ended = true; };
        merge.onFailed = [&](const std::string& reason) {
            why = reason;
            ended = true;
            ok = false;
        };
        ok = merge.start(prepared.videoCopy, prepared.voice ? prepared.audioCopy : "", *target,
                         &why);
        while (ok && !ended) {
            ui::defaultEventQueue().processPending();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            if (!ended) QThread::msleep(5);
        }
        if (!ok && merge.targetWritten()) removeFile(*target);
        merge.clear();
        prepared.removeCopies();
    }
    if (!ok) {
        ui::messageBox("The recording could not be saved as \"" + *target + "\": " + why + ".",
                       "Error", ui::MsgIcon::Warning);
        return;
    }
    manifest->saved = true;
    writeManifest(*manifest);
    ui::messageBox("Record Complete!", QApplication::applicationName().toStdString());
}

void prepareRecordScreen(QWidget* window) {
    if (auto* w = dynamic_cast<TFrmRecordScreen*>(window)) w->prepareOpen();
}

TFrmRecordScreen* createRecordScreen(RecordScreenHost host) {
    auto* w = new TFrmRecordScreen(std::move(host));
    w->Image1->setVisible(true);
    w->bindVoiceDevice();
    w->prepareOpen();
    return w;
}

} // namespace recorder
