#include "DvdPlay.h"

#include "ColorControl.h"
#include "ui/qt/ModalFamily.h"
#include "ui/Dialogs.h"
#include "ui/qt/ErrorBox.h"
#include "ui/qt/ToolIcons.h"

#include <QActionGroup>
#include <QDir>
#include <QFileInfo>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace dvd {

namespace {

constexpr const char* ErrorCaption = "Error";

// Kept for the whole run, as one form serves every DVD window; it is bound to the window that
// shows it and let go when that window closes.
QPointer<TColorControlForm>& sharedColorForm() {
    static QPointer<TColorControlForm> form;
    return form;
}

// The tool buttons' pictures; the hints name the commands.
QIcon iconFor(const QString& name) {
    return ui::drawnIcon([name](QPainter& p) {
        const auto triangle = [&p](qreal from, qreal to) {
            p.drawPolygon(QPolygonF({QPointF(from, 5), QPointF(to, 12), QPointF(from, 19)}));
        };
        if (name == "btPlay") {
            triangle(7, 20);
        } else if (name == "btPause") {
            p.drawRect(QRectF(6, 5, 4, 14));
            p.drawRect(QRectF(14, 5, 4, 14));
        } else if (name == "btStop") {
            p.drawRect(QRectF(6, 6, 12, 12));
        } else if (name == "btRewind") {
            triangle(12, 3);
            triangle(21, 12);
        } else if (name == "btFastForward") {
            triangle(3, 12);
            triangle(12, 21);
        } else if (name == "btPreviousChapter") {
            p.drawRect(QRectF(4, 5, 3, 14));
            triangle(19, 8);
        } else if (name == "btNextChapter") {
            triangle(5, 16);
            p.drawRect(QRectF(17, 5, 3, 14));
        } else if (name == "btFrameStep") {
            triangle(5, 15);
            p.drawRect(QRectF(16, 5, 3, 14));
        } else if (name == "btRootMenu") {
            for (int row = 0; row < 3; ++row)
                p.drawRect(QRectF(5, 5 + row * 5.5, 14, 3));
        } else if (name == "btFullScreen") {
            p.setBrush(Qt::NoBrush);
            p.drawRect(QRectF(3, 5, 18, 14));
            p.setBrush(QColor(40, 110, 190));
            p.drawRect(QRectF(6, 8, 12, 8));
        } else {
            // The colour controls: three overlapping discs.
            p.setBrush(QColor(220, 60, 60));
            p.drawEllipse(QRectF(3, 4, 11, 11));
            p.setBrush(QColor(60, 180, 60));
            p.drawEllipse(QRectF(10, 4, 11, 11));
            p.setBrush(QColor(60, 90, 220));
            p.drawEllipse(QRectF(6.5, 10, 11, 11));
        }
    });
}

void error(const std::string& text) {
    ui::messageBox(text, ErrorCaption, ui::MsgIcon::Error);
}

} // namespace

TFormDVDPlayer::TFormDVDPlayer(QWidget* parent) : QDialog(parent) {
    setObjectName("FormDVDPlayer");
    setWindowTitle("DVD Play");
    setWindowFlag(Qt::WindowMaximizeButtonHint);
    resize(640, 560);

    FilterGraph.setMode(media::gmDVD);
    FilterGraph.setGraphEdit(true);
    FilterGraph.setLinearVolume(true);

    // -- Tool bar.
    ToolBar1 = new QToolBar(this);
    ToolBar1->setObjectName("ToolBar1");
    btPreviousChapter =
        makeButton("btPreviousChapter", "PreviousChapter", &TFormDVDPlayer::PreviousChapterClick);
    btRewind = makeButton("btRewind", "Rewind", &TFormDVDPlayer::RewindClick);
    btPause = makeButton("btPause", "Pause", &TFormDVDPlayer::PauseClick);
    btPlay = makeButton("btPlay", "Play", &TFormDVDPlayer::PlayClick);
    btStop = makeButton("btStop", "Stop", &TFormDVDPlayer::StopClick);
    btFastForward = makeButton("btFastForward", "FastForward", &TFormDVDPlayer::FastForwardClick);
    btNextChapter = makeButton("btNextChapter", "NextChapter", &TFormDVDPlayer::NextChapterClick);
    ToolBar1->addSeparator();
    btRootMenu = makeButton("btRootMenu", "RootMenu", &TFormDVDPlayer::RootMenuClick);
    btFullScreen = makeButton("btFullScreen", "FullScreen", &TFormDVDPlayer::FullScreenClick);
    btFullScreen->setCheckable(true);
    btFrameStep = makeButton("btFrameStep", "FrameStep", &TFormDVDPlayer::FrameStepClick);
    ToolButton2 = makeButton("ToolButton2", "Color Controls", &TFormDVDPlayer::ColorControlsClick);
    ToolButton2->setEnabled(false);
    ToolBar1->addSeparator();
    TrackBar1 = new QSlider(Qt::Horizontal, this);
    TrackBar1->setObjectName("TrackBar1");
    TrackBar1->setToolTip("Digital Zoom");
    TrackBar1->setRange(0, 99);
    TrackBar1->setTickInterval(5);
    TrackBar1->setTickPosition(QSlider::TicksBelow);
    TrackBar1->setFixedWidth(150);
    ToolBar1->addWidget(TrackBar1);
    connect(TrackBar1, &QSlider::valueChanged, this, ui::guarded([this] { TrackBar1Change(); }));

    // -- The video.
    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    DSVideoWindowEx1 = new TDSVideoWindowEx2(Panel1, "DSVideoWindowEx1");
    DSVideoWindowEx1->setObjectName("DSVideoWindowEx1");
    DSVideoWindowEx1->setMinimumSize(1, 1);
    auto* videoLayout = new QVBoxLayout(Panel1);
    videoLayout->setContentsMargins(6, 6, 6, 6);
    videoLayout->addWidget(DSVideoWindowEx1);
    // Over the video: a native window of its own, so that it stays above the renderer's.
    Panel2 = new QLabel("0:00:00", Panel1);
    Panel2->setObjectName("Panel2");
    Panel2->setAttribute(Qt::WA_NativeWindow);
    Panel2->setAutoFillBackground(true);
    QPalette timePalette = Panel2->palette();
    timePalette.setColor(QPalette::Window, Qt::black);
    timePalette.setColor(QPalette::WindowText, QColor(0, 255, 0));
    Panel2->setPalette(timePalette);
    QFont bold = Panel2->font();
    bold.setBold(true);
    Panel2->setFont(bold);
    Panel2->setContentsMargins(2, 1, 2, 1);
    Panel2->adjustSize();
    DSVideoWindowEx1->installEventFilter(this);

    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName("StatusBar");
    StatusBar->setSizeGripEnabled(false);
    const int widths[] = {100, 60, 80, 0};
    for (size_t i = 0; i < StatusPanels.size(); ++i) {
        StatusPanels[i] = new QLabel(StatusBar);
        StatusPanels[i]->setObjectName(QString("StatusPanel%1").arg(i));
        if (widths[i]) StatusPanels[i]->setFixedWidth(widths[i]);
        StatusBar->addWidget(StatusPanels[i], widths[i] ? 0 : 1);
    }

    // -- Menus.
    MainMenu = new QMenuBar(this);
    MainMenu->setObjectName("MainMenu");
    QMenu* file = MainMenu->addMenu("&File");
    addItem(file, "&Open", &TFormDVDPlayer::OpenClick);
    addItem(file, "&Exit", &TFormDVDPlayer::ExitClick);
    fillPlaybackMenu(MainMenu->addMenu("&Playback"));
    QMenu* options = MainMenu->addMenu("&Options");
    addItem(options, "&Full screen", &TFormDVDPlayer::FullScreenClick);
    ColorControlsItem = addItem(options, "Color Controls", &TFormDVDPlayer::ColorControlsClick);
    ColorControlsItem->setEnabled(false);
    fillAspectMenu(options, "AspectRatio");
    QMenu* bookmarks = options->addMenu("&Bookmarks");
    addItem(bookmarks, "&Save bookmark", &TFormDVDPlayer::SaveBookmarkClick);
    addItem(bookmarks, "&Restore bookmark", &TFormDVDPlayer::RestoreBookmarkClick);

    Popup = new QMenu(this);
    Popup->setObjectName("Popup");
    fillPlaybackMenu(Popup);
    Popup->addSeparator();
    addItem(Popup, "&Full screen", &TFormDVDPlayer::FullScreenClick);
    PopupColorControlsItem = addItem(Popup, "Color Controls", &TFormDVDPlayer::ColorControlsClick);
    PopupColorControlsItem->setEnabled(false);
    fillAspectMenu(Popup, "AspetcRatio");
    QMenu* popupBookmarks = Popup->addMenu("&Bookmarks");
    addItem(popupBookmarks, "&Save bookmark", &TFormDVDPlayer::SaveBookmarkClick);
    addItem(popupBookmarks, "&Restore bookmark", &TFormDVDPlayer::RestoreBookmarkClick);
    DSVideoWindowEx1->setPopupMenu(Popup);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setMenuBar(MainMenu);
    layout->addWidget(ToolBar1);
    layout->addWidget(Panel1, 1);
    layout->addWidget(StatusBar);

    // -- The video window's settings and the graph's events.
    DSVideoWindowEx1->setFilterGraph(&FilterGraph);
    DSVideoWindowEx1->setAspectRatio(rmLetterBox);
    DSVideoWindowEx1->setAutoHideCursor(3000);
    DSVideoWindowEx1->setDigitalZoom(0);
    DSVideoWindowEx1->setNoScreenSaver(true);
    TColorControl* colours = DSVideoWindowEx1->ColorControl();
    colours->setBrightness(750);
    colours->setContrast(10000);
    colours->setHue(0);
    colours->setSaturation(10000);
    colours->setSharpness(5);
    colours->setGamma(1);
    colours->setColorEnable(true);
    // The renderer's window is raised over the video as it shows; the label goes above it.
    DSVideoWindowEx1->OnOverlayVisible = [this](TDSVideoWindowEx2*, bool) { placePanel2(); };
    DSVideoWindowEx1->OnVideoPlaced = [this](TDSVideoWindowEx2*) { placePanel2(); };
    DSVideoWindowEx1->OnColorKeyChanged = [this](TDSVideoWindowEx2*) {
        ui::runGuarded([this] { DSVideoWindowEx1ColorKeyChanged(); });
    };
    FilterGraph.OnDSEvent = [this](TFilterGraph*, long event, intptr_t domain, intptr_t) {
        if (event == EC_DVD_DOMAIN_CHANGE) FilterGraphDVDDomainChange(int(domain));
    };
    FilterGraph.OnDVDTitleChange = [this](TFilterGraph*, int title) {
        FilterGraphDVDTitleChange(title);
    };
    FilterGraph.OnDVDChapterStart = [this](TFilterGraph*, int chapter) {
        FilterGraphDVDChapterStart(chapter);
    };
    FilterGraph.OnDVDCurrentHMSFTime = [this](TFilterGraph*, std::array<uint8_t, 4> t,
                                              media::TDVDTimeCode) {
        FilterGraphDVDCurrentHMSFTime(t[0], t[1], t[2]);
    };
}

TFormDVDPlayer::~TFormDVDPlayer() {
    // The video window outlives this form's members for a moment: it calls nothing of it.
    DSVideoWindowEx1->OnOverlayVisible = nullptr;
    DSVideoWindowEx1->OnVideoPlaced = nullptr;
    if (TColorControlForm* form = sharedColorForm();
        form && form->videoWindow() == DSVideoWindowEx1)
        form->setVideoWindow(nullptr);
    DSVideoWindowEx1->removeEventFilter(this);
    DSVideoWindowEx1->setFilterGraph(nullptr);
    FilterGraph.setActive(false);
}

QToolButton* TFormDVDPlayer::makeButton(const char* name, const char* hint,
                                        void (TFormDVDPlayer::*handler)()) {
    auto* b = new QToolButton(this);
    b->setObjectName(name);
    b->setToolTip(hint);
    b->setStatusTip(hint);
    b->setText(hint);
    b->setIcon(iconFor(name));
    b->setIconSize(QSize(24, 24));
    b->setToolButtonStyle(Qt::ToolButtonIconOnly);
    b->setAutoRaise(true);
    ToolBar1->addWidget(b);
    connect(b, &QToolButton::clicked, this, ui::guarded([this, handler] { (this->*handler)(); }));
    return b;
}

QAction* TFormDVDPlayer::addItem(QMenu* menu, const QString& caption,
                                 void (TFormDVDPlayer::*handler)()) {
    QAction* a = menu->addAction(caption);
    connect(a, &QAction::triggered, this, ui::guarded([this, handler] { (this->*handler)(); }));
    return a;
}

void TFormDVDPlayer::fillPlaybackMenu(QMenu* menu) {
    addItem(menu, "&Play", &TFormDVDPlayer::PlayClick);
    addItem(menu, "P&ause", &TFormDVDPlayer::PauseClick);
    addItem(menu, "&Stop", &TFormDVDPlayer::StopClick);
    addItem(menu, "Step &Forward", &TFormDVDPlayer::FrameStepClick);
    QMenu* goTo = menu->addMenu("&Go To");
    addItem(goTo, "&Next Chapter", &TFormDVDPlayer::NextChapterClick);
    addItem(goTo, "&Previous Chapter", &TFormDVDPlayer::PreviousChapterClick);
    QMenu* speed = menu->addMenu("Pla&y Speed");
    addItem(speed, "&Fast Forward", &TFormDVDPlayer::FastForwardClick);
    addItem(speed, "&Rewind", &TFormDVDPlayer::RewindClick);
    addItem(menu, "&Menu (Root)", &TFormDVDPlayer::RootMenuClick);
    addItem(menu, "&Title Menu", &TFormDVDPlayer::TitleMenuClick);
}

QMenu* TFormDVDPlayer::fillAspectMenu(QMenu* menu, const QString& caption) {
    QMenu* aspect = menu->addMenu(caption);
    auto* group = new QActionGroup(aspect);
    const char* names[] = {"Stretched", "Letter Box", "Crop"};
    for (int tag = 0; tag < 3; ++tag) {
        QAction* a = aspect->addAction(names[tag]);
        a->setCheckable(true);
        a->setChecked(tag == rmLetterBox);
        a->setData(tag);
        group->addAction(a);
        aspectItems_.push_back(a);
        connect(a, &QAction::triggered, this, ui::guarded([this, tag] { AspectRatioClick(tag); }));
    }
    return aspect;
}

std::shared_ptr<IDvdControl2> TFormDVDPlayer::navigator() const {
    return FilterGraph.query<IDvdControl2>();
}

// -- Play, open, stop, pause.

void TFormDVDPlayer::PlayClick() {
    Play("");
}

void TFormDVDPlayer::Play(const std::string& volume) {
    if (FilterGraph.Active()) {
        FilterGraph.Play();
        if (auto nav = navigator()) nav->PlayForwards(1.0, 0, nullptr);
        enableColorControls();
        return;
    }
    FilterGraph.setActive(true);
    AM_DVD_RENDERSTATUS status;
    HRESULT h = S_OK;
    try {
        h = FilterGraph.RenderDvd(&status, volume, AM_DVD_HWDEC_PREFER);
    } catch (...) {
        // A graph left active and empty would make every later Play a mere resume.
        FilterGraph.ClearGraph();
        FilterGraph.setActive(false);
        throw;
    }
    if (h == S_OK) {
        FilterGraph.Play();
        if (auto nav = navigator()) {
            nav->SetOption(DVD_NotifyParentalLevelChange, false);
            nav->SetOption(DVD_HMSF_TimeCodeEvents, true);
        }
        enableColorControls();
        return;
    }
    if (h == S_FALSE)
        showStartError(status);
    else if (h == VFW_E_DVD_RENDERFAIL)
        error("Some basic error occurred in building the graph.\rPossibilities include the DVD "
              "Navigator filter or the video or audio renderer not instantiating,\ra trivial "
              "connection or pin enumeration failing, or none of the streams rendering.");
    FilterGraph.ClearGraph();
    // Inactive again, so that the next Play builds the graph anew (a disc inserted later).
    FilterGraph.setActive(false);
}

void TFormDVDPlayer::showStartError(const AM_DVD_RENDERSTATUS& status) {
    if (status.hrVPEStatus != S_OK) error(media::GraphErrorText(status.hrVPEStatus));
    if (status.bDvdVolInvalid)
        error(status.damage.empty() ? "The specified DVD volume to be played does not exist."
                                    : "The DVD is damaged: " + status.damage);
    if (status.bDvdVolUnknown) error("No DVD volume is specified or isn't found.");
    if (status.bNoLine21In)
        error("The video decoder doesn't produce line 21 (closed captioning) data.");
    if (status.bNoLine21Out)
        error("The video decoder can't be shown as closed captioning on video due to a problem "
              "with graph building.");
    if (status.iNumStreamsFailed > 0) error("Can't render one or more stream.");
}

void TFormDVDPlayer::enableColorControls() {
    ToolButton2->setEnabled(true);
    ColorControlsItem->setEnabled(true);
    PopupColorControlsItem->setEnabled(true);
}

void TFormDVDPlayer::OpenClick() {
    ui::FileDialogRequest request;
    request.title = "Open";
    request.filter = "VIDEO_TS.IFO|VIDEO_TS.IFO|IFO Files|*.IFO";
    const auto chosen = ui::dialogs().openFile(request);
    if (!chosen) return;
    FilterGraph.ClearGraph();
    FilterGraph.setActive(false);
    Play(*chosen);
}

void TFormDVDPlayer::StopClick() {
    FilterGraph.Stop();
}

void TFormDVDPlayer::PauseClick() {
    FilterGraph.Pause();
}

void TFormDVDPlayer::FrameStepClick() {
    if (auto step = FilterGraph.query<IVideoFrameStep>()) step->Step(1);
}

// -- Navigation: commands the navigator refuses in its domain are ignored.

void TFormDVDPlayer::NextChapterClick() {
    if (auto nav = navigator()) nav->PlayNextChapter(0, nullptr);
}

void TFormDVDPlayer::PreviousChapterClick() {
    if (auto nav = navigator()) nav->PlayPrevChapter(0, nullptr);
}

void TFormDVDPlayer::FastForwardClick() {
    if (auto nav = navigator()) nav->PlayForwards(8.0, 0, nullptr);
}

void TFormDVDPlayer::RewindClick() {
    if (auto nav = navigator()) nav->PlayBackwards(8.0, 0, nullptr);
}

void TFormDVDPlayer::RootMenuClick() {
    if (auto nav = navigator()) nav->ShowMenu(DVD_MENU_Root, 0, nullptr);
}

void TFormDVDPlayer::TitleMenuClick() {
    if (auto nav = navigator()) nav->ShowMenu(DVD_MENU_Title, 0, nullptr);
}

bool TFormDVDPlayer::rendererPoint(const QPoint& globalPos, QPoint* at) const {
    // The navigator takes points of the renderer's window, which covers the letter box only.
    QWidget* renderer = DSVideoWindowEx1->rendererWindow();
    if (!renderer || !renderer->isVisible()) return false;
    *at = renderer->mapFromGlobal(globalPos);
    return renderer->rect().contains(*at);
}

void TFormDVDPlayer::DSVideoWindowEx1MouseMove(const QPoint& globalPos) {
    QPoint at;
    if (!rendererPoint(globalPos, &at)) return;
    if (auto nav = navigator()) nav->SelectAtPosition(at.x(), at.y());
}

void TFormDVDPlayer::DSVideoWindowEx1MouseUp(const QPoint& globalPos) {
    QPoint at;
    if (!rendererPoint(globalPos, &at)) return;
    if (auto nav = navigator()) nav->ActivateAtPosition(at.x(), at.y());
}

// -- The video window.

void TFormDVDPlayer::FullScreenClick() {
    if (DSVideoWindowEx1->FullScreen())
        DSVideoWindowEx1->NormalPlayback();
    else
        DSVideoWindowEx1->StartFullScreen();
    btFullScreen->setChecked(DSVideoWindowEx1->FullScreen());
}

void TFormDVDPlayer::AspectRatioClick(int tag) {
    DSVideoWindowEx1->setAspectRatio(TRatioModes(tag));
    for (QAction* a : aspectItems_)
        if (a->data().toInt() == tag) a->setChecked(true);
}

void TFormDVDPlayer::TrackBar1Change() {
    DSVideoWindowEx1->setDigitalZoom(TrackBar1->value());
}

void TFormDVDPlayer::DSVideoWindowEx1ColorKeyChanged() {
    const uint32_t key = DSVideoWindowEx1->ColorKey();
    QPalette p = Panel1->palette();
    p.setColor(QPalette::Window,
               QColor(int(key & 0xFF), int(key >> 8 & 0xFF), int(key >> 16 & 0xFF)));
    Panel1->setPalette(p);
    Panel1->setAutoFillBackground(true);
}

TColorControlForm* TFormDVDPlayer::colorControlForm() {
    return sharedColorForm();
}

void TFormDVDPlayer::ColorControlsClick() {
    QPointer<TColorControlForm>& form = sharedColorForm();
    if (!form) form = new TColorControlForm(DSVideoWindowEx1);
    form->setVideoWindow(DSVideoWindowEx1);
    // The form outlives this window (one form per run): it joins this window's family, so
    // that it takes input while this window runs modally, and stays above it.
    ui::joinModalFamily(form, this);
    form->show();
}

void TFormDVDPlayer::placePanel2() {
    Panel2->move(DSVideoWindowEx1->geometry().topLeft() + QPoint(8, 8));
    Panel2->raise();
}

// -- DVD events.

// In a menu there is no title, chapter or time to show: the status bar says "Menu" rather than
// keep the last title's.
void TFormDVDPlayer::FilterGraphDVDDomainChange(int domain) {
    if (domain != DVD_DOMAIN_VideoManagerMenu && domain != DVD_DOMAIN_VideoTitleSetMenu) return;
    StatusPanels[0]->clear();
    StatusPanels[1]->setText("Menu");
    StatusPanels[2]->clear();
}

void TFormDVDPlayer::FilterGraphDVDTitleChange(int title) {
    StatusPanels[1]->setText(QString("Title %1").arg(title));
}

void TFormDVDPlayer::FilterGraphDVDChapterStart(int chapter) {
    StatusPanels[2]->setText(QString("Chapter %1").arg(chapter));
}

void TFormDVDPlayer::FilterGraphDVDCurrentHMSFTime(int hours, int minutes, int seconds) {
    const QString text = QString::asprintf("%d:%2.2d:%2.2d", hours, minutes, seconds);
    StatusPanels[0]->setText(text);
    // Panel1's caption lies under the video; the label over the video shows the time.
    Panel1->setAccessibleName(text);
    Panel2->setText(text);
    Panel2->adjustSize();
    placePanel2();
}

// -- Bookmarks.

std::string TFormDVDPlayer::bookmarkPath() {
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    return QDir(dir).filePath("bookmark.bmk").toStdString();
}

void TFormDVDPlayer::SaveBookmarkClick() {
    if (!FilterGraph.Active()) return;
    QDir().mkpath(QFileInfo(QString::fromStdString(bookmarkPath())).absolutePath());
    FilterGraph.DvdSaveBookmark(bookmarkPath());
}

void TFormDVDPlayer::RestoreBookmarkClick() {
    FilterGraph.DvdRestoreBookmark(bookmarkPath());
}

// -- Closing.

void TFormDVDPlayer::ExitClick() {
    close();
}

void TFormDVDPlayer::done(int result) {
    // Every way of closing (the close box, Escape, "Exit") ends here.
    if (DSVideoWindowEx1->FullScreen()) DSVideoWindowEx1->NormalPlayback();
    btFullScreen->setChecked(false);
    ui::runGuarded([this] {
        FilterGraph.setActive(false);
        FilterGraph.ClearGraph();
    });
    if (TColorControlForm* form = sharedColorForm();
        form && form->videoWindow() == DSVideoWindowEx1)
        form->setVideoWindow(nullptr);
    QDialog::done(result);
}

bool TFormDVDPlayer::eventFilter(QObject* watched, QEvent* event) {
    if (watched != DSVideoWindowEx1) return false;
    switch (event->type()) {
    case QEvent::MouseMove:
        ui::runGuarded([&] {
            DSVideoWindowEx1MouseMove(static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
        });
        break;
    case QEvent::MouseButtonRelease:
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
            ui::runGuarded([&] {
                DSVideoWindowEx1MouseUp(
                    static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
            });
        break;
    case QEvent::MouseButtonDblClick:
        ui::runGuarded([this] { FullScreenClick(); });
        return true;
    case QEvent::ContextMenu:
        // In full screen the video window opens the popup itself.
        if (!DSVideoWindowEx1->FullScreen()) {
            Popup->popup(static_cast<QContextMenuEvent*>(event)->globalPos());
            return true;
        }
        break;
    case QEvent::Resize:
    case QEvent::Move:
        placePanel2();
        break;
    default:
        break;
    }
    return false;
}

} // namespace dvd
