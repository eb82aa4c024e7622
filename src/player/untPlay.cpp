#include "untPlay.h"

#include "ui/Dialogs.h"
#include "ui/qt/ErrorBox.h"
#include "ui/qt/OuterSize.h"
#include "untSnapShot.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QScreen>
#include <QSlider>
#include <QStatusBar>
#include <QTime>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>
#include <memory>

namespace player {

using namespace platform::dshow;

namespace {

constexpr int LogHeight = 66;
constexpr int Panel3Height = 31;
constexpr int Panel2Height = 42;
constexpr int ProgressRange = 1000;
constexpr int64_t MsPerDay = 86400000;

// The timeline render, unless a test gives a stand-in.
TCutRenderer& cutRenderer() {
    static TCutRenderer renderer = renderTimeline;
    return renderer;
}

// The tool bar's pictures, drawn at start-up: 24 x 24 on a transparent ground.
QIcon drawnIcon(const std::function<void(QPainter&)>& draw) {
    QPixmap pixmap(24, 24);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(30, 30, 60), 1));
    p.setBrush(QColor(40, 110, 190));
    draw(p);
    return QIcon(pixmap);
}

QIcon iconFor(const QString& name) {
    return drawnIcon([name](QPainter& p) {
        if (name == "ActPlay") {
            p.drawPolygon(QPolygonF({QPointF(7, 4), QPointF(20, 12), QPointF(7, 20)}));
        } else if (name == "ActPause") {
            p.drawRect(QRectF(6, 5, 4, 14));
            p.drawRect(QRectF(14, 5, 4, 14));
        } else if (name == "ActStop") {
            p.drawRect(QRectF(6, 6, 12, 12));
        } else if (name == "ActSlow") {
            p.drawPolygon(QPolygonF({QPointF(12, 5), QPointF(3, 12), QPointF(12, 19)}));
            p.drawPolygon(QPolygonF({QPointF(21, 5), QPointF(12, 12), QPointF(21, 19)}));
        } else if (name == "ActFast") {
            p.drawPolygon(QPolygonF({QPointF(3, 5), QPointF(12, 12), QPointF(3, 19)}));
            p.drawPolygon(QPolygonF({QPointF(12, 5), QPointF(21, 12), QPointF(12, 19)}));
        } else if (name == "ActOpen") {
            p.setBrush(QColor(235, 190, 60));
            p.drawPolygon(QPolygonF({QPointF(3, 7), QPointF(9, 7), QPointF(11, 9), QPointF(21, 9),
                                     QPointF(21, 19), QPointF(3, 19)}));
        } else if (name == "ActStep") {
            p.drawPolygon(QPolygonF({QPointF(5, 5), QPointF(15, 12), QPointF(5, 19)}));
            p.drawRect(QRectF(16, 5, 3, 14));
        } else if (name == "ActFullScreen") {
            p.setBrush(Qt::NoBrush);
            p.drawRect(QRectF(3, 5, 18, 14));
            p.setBrush(QColor(40, 110, 190));
            p.drawRect(QRectF(6, 8, 12, 8));
        } else if (name == "ActSnapshot") {
            p.drawRoundedRect(QRectF(3, 7, 18, 12), 2, 2);
            p.setBrush(Qt::white);
            p.drawEllipse(QPointF(12, 13), 4, 4);
        } else if (name == "ActCut") {
            p.setBrush(Qt::NoBrush);
            p.setPen(QPen(QColor(40, 40, 40), 2));
            p.drawEllipse(QPointF(7, 17), 3, 3);
            p.drawEllipse(QPointF(17, 17), 3, 3);
            p.drawLine(QPointF(9, 15), QPointF(18, 4));
            p.drawLine(QPointF(15, 15), QPointF(6, 4));
        } else if (name == "ActClose") {
            p.setPen(QPen(QColor(170, 20, 20), 3, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(6, 6), QPointF(18, 18));
            p.drawLine(QPointF(18, 6), QPointF(6, 18));
        }
    });
}

} // namespace

void setCutRenderer(TCutRenderer renderer) {
    cutRenderer() = std::move(renderer);
}

QString markText(int64_t position) {
    int64_t ms = (position / 10000) % MsPerDay;
    if (ms < 0) ms += MsPerDay;
    const int h = int(ms / 3600000), m = int(ms / 60000 % 60), s = int(ms / 1000 % 60),
              rest = int(ms % 1000);
    return QString::asprintf("%d:%d:%d:%d", h, m, s, rest);
}

QString positionStatusText(int64_t position, uint32_t durationMs) {
    const int64_t s = position / 10000000;
    // The locale's long time format names the time zone; a duration has none.
    QString format = QLocale().timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t'));
    format = format.trimmed();
    const QString duration =
        QTime::fromMSecsSinceStartOfDay(int(durationMs % MsPerDay)).toString(format);
    return QString::asprintf("%d:%2.2d:%2.2d Duration: ", int(s / 3600), int(s % 3600 / 60),
                             int(s % 3600 % 60)) +
           duration;
}

TFrmPlay::TFrmPlay(QWidget* parent) : QWidget(parent) {
    setObjectName("FrmPlay");
    setWindowTitle("Play");
    setWindowFlag(Qt::Window);
    QFont font("MS Sans Serif");
    font.setPointSize(8);
    setFont(font);

    ActPlay = makeAction("ActPlay", "Play");
    ActPause = makeAction("ActPause", "Pause");
    ActStop = makeAction("ActStop", "Stop");
    ActOpen = makeAction("ActOpen", "Open");
    ActFast = makeAction("ActFast", "Increase Speed");
    ActSlow = makeAction("ActSlow", "Decrease Speed");
    ActFullScreen = makeAction("ActFullScreen", "Full Screen");
    ActStep = makeAction("ActStep", "Step Play");
    ActClose = makeAction("ActClose", "Close");
    ActSnapshot = makeAction("ActSnapshot", "Capture");
    ActCut = makeAction("ActCut", "Cutting");
    connect(ActPlay, &QAction::triggered, this, ui::guarded([this] { ActPlayExecute(); }));
    connect(ActPause, &QAction::triggered, this, ui::guarded([this] { ActPauseExecute(); }));
    connect(ActStop, &QAction::triggered, this, ui::guarded([this] { ActStopExecute(); }));
    connect(ActOpen, &QAction::triggered, this, ui::guarded([this] { ActOpenExecute(); }));
    connect(ActFast, &QAction::triggered, this, ui::guarded([this] { ActFastExecute(); }));
    connect(ActSlow, &QAction::triggered, this, ui::guarded([this] { ActSlowExecute(); }));
    connect(ActFullScreen, &QAction::triggered, this,
            ui::guarded([this] { ActFullScreenExecute(); }));
    connect(ActStep, &QAction::triggered, this, ui::guarded([this] { ActStepExecute(); }));
    connect(ActClose, &QAction::triggered, this, ui::guarded([this] { ActCloseExecute(); }));
    connect(ActSnapshot, &QAction::triggered, this, ui::guarded([this] { ActSnapshotExecute(); }));
    connect(ActCut, &QAction::triggered, this, ui::guarded([this] { ActCutExecute(); }));

    ActionToolBar1 = new QToolBar(this);
    ActionToolBar1->setObjectName("ActionToolBar1");
    ActionToolBar1->setIconSize(QSize(24, 24));
    ActionToolBar1->setToolButtonStyle(Qt::ToolButtonIconOnly);
    for (QAction* a : {ActPlay, ActPause, ActStop, ActSlow, ActFast, ActOpen, ActStep,
                       ActFullScreen, ActSnapshot, ActCut})
        ActionToolBar1->addAction(a);
    ActionToolBar1->addSeparator();
    ActionToolBar1->addAction(ActClose);
    ui::keepActionsVisible(ActionToolBar1);

    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName("StatusBar");
    StatusBar->setSizeGripEnabled(false);

    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");

    VideoWindow1 = new dvd::TDSVideoWindowEx2(Panel1, "VideoWindow1");
    VideoWindow1->setObjectName("VideoWindow1");
    VideoWindow1->setMinimumSize(1, 1);

    Panel2 = new QWidget(Panel1);
    Panel2->setObjectName("Panel2");
    Panel2->setFixedHeight(Panel2Height);
    auto* startLabel = new QLabel("Start Position(F5)   ", Panel2);
    StartPosEdit = new QLineEdit(Panel2);
    StartPosEdit->setObjectName("StartPosEdit");
    StartPosEdit->setFixedWidth(81);
    auto* endLabel = new QLabel("End Position(F6)   ", Panel2);
    EndPosEdit = new QLineEdit(Panel2);
    EndPosEdit->setObjectName("EndPosEdit");
    EndPosEdit->setFixedWidth(81);
    SpeedButton1 = new QToolButton(Panel2);
    SpeedButton1->setObjectName("SpeedButton1");
    SpeedButton1->setText("Save");
    SpeedButton1->setAutoRaise(true);
    auto* cutGrid = new QGridLayout(Panel2);
    cutGrid->setContentsMargins(2, 0, 2, 0);
    cutGrid->setVerticalSpacing(0);
    cutGrid->addWidget(startLabel, 0, 0);
    cutGrid->addWidget(StartPosEdit, 1, 0);
    cutGrid->addWidget(endLabel, 0, 1);
    cutGrid->addWidget(EndPosEdit, 1, 1);
    cutGrid->addWidget(SpeedButton1, 1, 2);
    cutGrid->setColumnStretch(3, 1);
    Panel2->hide();

    Panel3 = new QWidget(Panel1);
    Panel3->setObjectName("Panel3");
    Panel3->setFixedHeight(Panel3Height);
    DSTrackBar1 = new media::TDSTrackBar(Panel3);
    DSTrackBar1->setObjectName("DSTrackBar1");
    ProgressBar1 = new QProgressBar(Panel3);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setRange(0, ProgressRange);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->hide();
    Panel4 = new QWidget(Panel3);
    Panel4->setObjectName("Panel4");
    Panel4->setFixedWidth(115);
    auto* volumeLabel = new QLabel("Volume", Panel4);
    SoundLevel = new QSlider(Qt::Horizontal, Panel4);
    SoundLevel->setObjectName("SoundLevel");
    SoundLevel->setRange(0, 10000);
    SoundLevel->setTickInterval(1000);
    SoundLevel->setPageStep(1000);
    SoundLevel->setTickPosition(QSlider::TicksAbove);
    auto* volumeRow = new QHBoxLayout(Panel4);
    volumeRow->setContentsMargins(2, 0, 0, 0);
    volumeRow->addWidget(volumeLabel);
    volumeRow->addWidget(SoundLevel, 1);
    // The progress bar lies over the seek bar, in the same cell.
    auto* seekRow = new QGridLayout(Panel3);
    seekRow->setContentsMargins(0, 0, 0, 0);
    seekRow->addWidget(DSTrackBar1, 0, 0);
    seekRow->addWidget(ProgressBar1, 0, 0);
    seekRow->addWidget(Panel4, 0, 1);
    seekRow->setColumnStretch(0, 1);

    log = new QPlainTextEdit(Panel1);
    log->setObjectName("log");
    log->setReadOnly(true);
    log->setFixedHeight(LogHeight);

    auto* panelLayout = new QVBoxLayout(Panel1);
    panelLayout->setContentsMargins(6, 6, 6, 6);
    panelLayout->setSpacing(0);
    panelLayout->addWidget(VideoWindow1, 1);
    panelLayout->addWidget(Panel2);
    panelLayout->addWidget(Panel3);
    panelLayout->addWidget(log);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(ActionToolBar1);
    layout->addWidget(Panel1, 1);
    layout->addWidget(StatusBar);

    FilterGraph1.setMode(media::gmNormal);
    // Painting, timers and the graph's own events go on while a file is rendered; the user's
    // input waits until the file is open.
    FilterGraph1.setWaitStep(
        [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 5); });
    FilterGraph1.setLinearVolume(true);
    FilterGraph1.setGraphEdit(true);
    FilterGraph1.OnDSEvent = [this](media::TFilterGraph*, long event, intptr_t, intptr_t) {
        FilterGraph1DSEvent(event);
    };
    FilterGraph1.OnGraphComplete = [this](media::TFilterGraph*, HRESULT, FilterPtr) {
        FilterGraph1GraphComplete();
    };
    VideoWindow1->setFilterGraph(&FilterGraph1);
    VideoWindow1->setAspectRatio(dvd::rmLetterBox);
    dvd::TColorControl* colours = VideoWindow1->ColorControl();
    colours->setBrightness(750);
    colours->setContrast(10000);
    colours->setHue(0);
    colours->setSaturation(10000);
    colours->setSharpness(5);
    colours->setGamma(1);
    colours->setColorEnable(true);
    DSTrackBar1->setFilterGraph(&FilterGraph1);
    DSTrackBar1->setOnTimer([this](media::TDSTrackBar*, uint32_t pos, uint32_t stop) {
        ui::runGuarded([&] { DSTrackBar1Timer(pos, stop); });
    });
    connect(SoundLevel, &QSlider::valueChanged, this, ui::guarded([this] { SoundLevelChange(); }));
    connect(SpeedButton1, &QToolButton::clicked, this,
            ui::guarded([this] { SpeedButton1Click(); }));
    // The video window's own double click.
    VideoWindow1->installEventFilter(this);

    ui::keepOuterSize(this, QSize(391, 477));
    // Key preview: the window sees key releases before its controls, also those of the video.
    qApp->installEventFilter(this);
}

TFrmPlay::~TFrmPlay() {
    qApp->removeEventFilter(this);
    DSTrackBar1->setFilterGraph(nullptr);
    VideoWindow1->setFilterGraph(nullptr);
    SampleGrabber.setFilterGraph(nullptr);
    FilterGraph1.setActive(false);
}

QAction* TFrmPlay::makeAction(const char* name, const QString& caption) {
    auto* a = new QAction(iconFor(name), caption, this);
    a->setObjectName(name);
    a->setToolTip(caption);
    a->setStatusTip(caption);
    addAction(a);
    return a;
}

void TFrmPlay::showCutPanel(bool shown) {
    Panel2->setVisible(shown);
}

void TFrmPlay::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous()) return;
    resetMarks();
    if (!rendering_) CompletionCode = 1;
}

bool TFrmPlay::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonDblClick && watched == VideoWindow1) {
        ui::runGuarded([this] { ActFullScreenExecute(); });
        return true;
    }
    if (event->type() != QEvent::KeyRelease || !watched->isWidgetType()) return false;
    // A key event travels from the focus widget up to its window: take it once, where it
    // starts, whether the focus is in this window or in the video shown full screen.
    auto* target = static_cast<QWidget*>(watched);
    QWidget* focus = QApplication::focusWidget();
    if (focus ? target != focus : target != this) return false;
    const bool ours = target->window() == this || target == VideoWindow1 ||
                      VideoWindow1->isAncestorOf(target) ||
                      target->window() == VideoWindow1->window();
    auto* key = static_cast<QKeyEvent*>(event);
    if (ours && !key->isAutoRepeat()) ui::runGuarded([&] { FormKeyUp(key->key()); });
    return false;
}

void TFrmPlay::OpenFile(const std::string& name) {
    // Marks belong to the file they were set in: one left from the file before would stop
    // this one early and cut the wrong stretch.
    resetMarks();
    fileName_ = name;
    FilterGraph1.setActive(false);
    SampleGrabber.setFilterGraph(&FilterGraph1);
    FilterGraph1.setActive(true);
    // Open plays right after rendering: the pictures the render prerolled are the first shown.
    if (auto startup = FilterGraph1.query<IGraphStartup>()) startup->KeepPrerolled(true);
    FilterGraph1.ClearGraph();
    {
        // The window keeps repainting while the render waits for the first pictures; a close
        // meanwhile waits until the render is done.
        opening_ = true;
        struct Opened {
            TFrmPlay* form;
            ~Opened() { form->opening_ = false; }
        } opened{this};
        FilterGraph1.RenderFile(name);
    }
    if (closeAfterOpen_) {
        closeAfterOpen_ = false;
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
        return;
    }
    long w = 0, h = 0;
    if (auto basic = FilterGraph1.query<IBasicVideo>())
        if (FAILED(basic->GetVideoSize(&w, &h))) w = h = 0;
    if (w > 0) {
        ui::keepOuterGeometry(this, sizedGeometry(w, h));
    }
    FilterGraph1.Play();
}

QRect TFrmPlay::sizedGeometry(long videoWidth, long videoHeight) const {
    // Everything but the video: the 6-pixel borders, the bars and panels, and 40 pixels for
    // the frame the window manager draws.
    int chromeHeight = ActionToolBar1->sizeHint().height() + LogHeight + Panel3Height +
                       StatusBar->sizeHint().height() + 40;
    if (!Panel2->isHidden()) chromeHeight += Panel2Height;
    const QRect desk = ui::availableGeometryFor(this);
    // A video larger than the screen is shown smaller, so that the seek bar, the volume and
    // the log stay in reach.
    const QSize outer = ui::fitVideoWindow(QSize(int(videoWidth), int(videoHeight)),
                                           QSize(12, chromeHeight), desk.size());
    return ui::centredOn(outer, desk);
}

void TFrmPlay::ActOpenExecute() {
    const std::optional<std::string> name = ui::dialogs().openFile({});
    if (!name) return;
    OpenFile(*name);
}

void TFrmPlay::ActPlayExecute() {
    if (!FilterGraph1.Active()) {
        ActOpenExecute();
        return;
    }
    switch (FilterGraph1.State()) {
    case 1:
        // The previous filters go first, so the file is in the graph (and plays) once.
        FilterGraph1.ClearGraph();
        FilterGraph1.RenderFile(fileName_);
        FilterGraph1.Play();
        break;
    case 2:
        FilterGraph1.Play();
        break;
    default:
        FilterGraph1.Stop();
        FilterGraph1.ClearGraph();
        FilterGraph1.RenderFile(fileName_);
        FilterGraph1.Play();
        break;
    }
}

void TFrmPlay::ActPauseExecute() {
    if (FilterGraph1.State() == 3) FilterGraph1.Pause();
}

void TFrmPlay::ActStopExecute() {
    if (FilterGraph1.State() == 3) FilterGraph1.Stop();
    // A running cut ends too, also when the cut panel was hidden meanwhile.
    if (!Panel2->isHidden() || rendering_) CompletionCode = 1;
}

void TFrmPlay::setRate(double rate) {
    if (!FilterGraph1.Active()) return;
    if (auto seeking = FilterGraph1.query<IMediaSeeking>()) seeking->SetRate(rate);
}

void TFrmPlay::ActFastExecute() {
    setRate(1.5);
}

void TFrmPlay::ActSlowExecute() {
    setRate(0.5);
}

int64_t TFrmPlay::currentPosition() {
    int64_t p = 0;
    if (auto seeking = FilterGraph1.query<IMediaSeeking>()) seeking->GetCurrentPosition(&p);
    return p;
}

void TFrmPlay::ActStepExecute() {
    if (!FilterGraph1.Active()) return;
    if (auto step = FilterGraph1.query<IVideoFrameStep>()) step->Step(1);
    // The step completes as the graph settles on the new picture: its position is then the
    // stepped one.
    if (auto control = FilterGraph1.query<IMediaControl>()) {
        FILTER_STATE s;
        control->GetState(2000, &s);
    }
    const int64_t p = currentPosition();
    // The end mark follows the step where there is one; without one the box shows the
    // stepped position, which Save cuts to (playback keeps running past it).
    if (EndPos > 0) EndPos = p;
    steppedEnd_ = p;
    EndPosEdit->setText(markText(p));
}

void TFrmPlay::ActFullScreenExecute() {
    if (VideoWindow1->FullScreen())
        VideoWindow1->NormalPlayback();
    else
        VideoWindow1->StartFullScreen();
}

void TFrmPlay::ActSnapshotExecute() {
    if (!FilterGraph1.Active() || !SampleGrabber.FilterGraph()) return;
    auto snapshot = std::make_unique<TFrmSnapShot>(TSnapshotSource{VideoWindow1, &SampleGrabber});
    snapshot->exec();
}

void TFrmPlay::ActCutExecute() {
    const bool shown = !Panel2->isHidden();
    Panel2->setVisible(!shown);
    resize(width(), height() + (shown ? -Panel2Height : Panel2Height));
}

void TFrmPlay::ActCloseExecute() {
    if (CompletionCode == 0)
        ActStopExecute();
    else
        close();
}

void TFrmPlay::closeEvent(QCloseEvent* event) {
    // The render's loop runs inside Save on this window: the window goes only after it.
    if (rendering_) {
        ActStopExecute();
        CompletionCode = 1;
        closeAfterRender_ = true;
        event->ignore();
        return;
    }
    if (opening_) {
        closeAfterOpen_ = true;
        event->ignore();
        return;
    }
    if (VideoWindow1->FullScreen()) VideoWindow1->NormalPlayback();
    FilterGraph1.setActive(false);
    FilterGraph1.ClearGraph();
    QWidget::closeEvent(event);
}

void TFrmPlay::FormKeyUp(int key) {
    if (Panel2->isHidden() || !FilterGraph1.Active()) return;
    if (key == Qt::Key_F5) {
        StartPos = currentPosition();
        StartPosEdit->setText(markText(StartPos));
    } else if (key == Qt::Key_F6) {
        EndPos = currentPosition();
        steppedEnd_ = 0;
        EndPosEdit->setText(markText(EndPos));
    }
}

void TFrmPlay::SoundLevelChange() {
    FilterGraph1.setVolume(SoundLevel->value());
    VolumeChanged = true;
}

void TFrmPlay::FilterGraph1DSEvent(long event) {
    log->appendPlainText(QString::fromStdString(media::GraphEventText(event)));
}

void TFrmPlay::FilterGraph1GraphComplete() {
    if (VideoWindow1->FullScreen()) VideoWindow1->NormalPlayback();
}

void TFrmPlay::DSTrackBar1Timer(uint32_t, uint32_t stopPos) {
    const int64_t p = currentPosition();
    StatusBar->showMessage(positionStatusText(p, stopPos));
    if (EndPos > 0 && p >= EndPos) FilterGraph1.Stop();
    if (VolumeChanged) {
        if (auto window = VideoWindow1->VideoWindow()) window->Repaint();
        VideoWindow1->update();
        VolumeChanged = false;
    }
}

void TFrmPlay::resetMarks() {
    StartPos = 0;
    EndPos = 0;
    steppedEnd_ = 0;
    StartPosEdit->clear();
    EndPosEdit->clear();
}

void TFrmPlay::SpeedButton1Click() {
    // Save's render loop runs the event loop: a second press lands here meanwhile.
    if (rendering_) return;
    if (StartPosEdit->text().isEmpty() || EndPosEdit->text().isEmpty())
        throw ui::EUserMessage("Please set the Start Postion and End Postion");
    ui::FileDialogRequest dialog;
    dialog.defaultExt = "avi";
    dialog.fileName = "Cut";
    dialog.title = "保存文件";
    const std::optional<std::string> output = ui::dialogs().saveFile(dialog);
    if (!output) return;
    if (!cutRenderer()) throw ui::EUserMessage("Cutting needs the timeline render engine");

    TExportRequest request;
    request.detectionFile = fileName_;
    if (auto basic = FilterGraph1.query<IBasicVideo>())
        if (FAILED(basic->GetVideoSize(&request.videoWidth, &request.videoHeight)))
            request.videoWidth = request.videoHeight = 0;
    // The end the box shows: the mark, else the position a step showed.
    const int64_t end = EndPos > 0 ? EndPos : steppedEnd_;
    TTimelineClip clip;
    clip.file = fileName_;
    clip.timelineStart = 0;
    clip.timelineStop = end - StartPos;
    clip.mediaStart = StartPos;
    clip.mediaStop = end;
    clip.trackPriority = 0;
    request.clips.push_back(clip);
    request.outputFile = *output;
    request.videoEncoderRule = playerVideoEncoderRule;

    QPointer<TFrmPlay> self(this);
    TRenderHooks hooks;
    hooks.started = [this](int64_t) {
        ProgressBar1->setValue(0);
        ProgressBar1->show();
        ProgressBar1->raise();
    };
    hooks.progress = [this](int64_t position, int64_t duration) {
        ProgressBar1->setValue(progressValue(position, duration, ProgressRange));
    };
    hooks.finished = [this] { ProgressBar1->hide(); };
    hooks.processEvents = [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 50); };

    StatusBar->showMessage("Cutting...");
    rendering_ = true;
    closeAfterRender_ = false;
    TRenderResult result;
    try {
        result = cutRenderer()(request, CompletionCode, hooks);
    } catch (const ERenderRefused& e) {
        rendering_ = false;
        CompletionCode = 1;
        ProgressBar1->hide();
        StatusBar->clearMessage();
        throw ui::EUserMessage(e.what());
    } catch (...) {
        rendering_ = false;
        if (CompletionCode == 0) CompletionCode = 1;
        ProgressBar1->hide();
        StatusBar->clearMessage();
        throw;
    }
    rendering_ = false;
    if (CompletionCode == 0) CompletionCode = 1;
    reportCut(result);
    if (self && closeAfterRender_) close();
}

void TFrmPlay::reportCut(const TRenderResult& result) {
    ProgressBar1->hide();
    StatusBar->clearMessage();
    resetMarks();
    if (FAILED(result.error))
        ui::reportError("The cut to the new file failed: " + renderErrorText(result));
    else if (result.nothingWritten)
        ui::messageBox("The cut " + stoppedBeforeDataText(result) + ".",
                       QApplication::applicationName().toStdString(), ui::MsgIcon::Warning);
    else if (result.stalledAt >= 0)
        ui::messageBox("The cut " + stallText(result.stalledAt) + ".",
                       QApplication::applicationName().toStdString(), ui::MsgIcon::Warning);
    else
        ui::messageBox("Cut Complete!", QApplication::applicationName().toStdString());
}

} // namespace player
