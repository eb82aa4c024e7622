#include "untMain.h"

#include "Images.h"
#include "UntAbout.h"
#include "media/SharedDevices.h"
#include "platform/shell/GlobalHotKey.h"
#include "ui/Dialogs.h"
#include "ui/qt/ErrorBox.h"
#include "ui/qt/LinkLabel.h"
#include "ui/qt/OuterSize.h"
#include "ui/qt/Skin.h"
#include "ui/qt/TrayIcon.h"

#include <QAction>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <cstdio>

namespace app {

const char* const DirectXMessage =
    "Program run need Directx9 or later,check Directx9 is installed on your computer";
const char* const ProductUrl = "https://tovamix.example.org/";
// How to install the GStreamer, FFmpeg, Xvid and LAME codecs on a Linux desktop.
const char* const CodecUrl =
    "https://gstreamer.freedesktop.org/documentation/installing/on-linux.html";
const char* const SupportUrl = "https://tovamix.example.org/support/";

namespace {
constexpr unsigned KeysymA = 0x61; // XK_a
} // namespace

TFrmMain::TFrmMain(ToolWindows tools) : tools_(std::move(tools)) {
    setObjectName("FrmMain");
    setWindowTitle("Tovamix 2.0.0.4");
    // System menu and minimise only: no maximise, no resizing.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    ui::keepOuterSize(this, QSize(425, 207), true);
    // The form's small dialog font (8 points), so captions fit the 79 x 44 buttons.
    QFont small = font();
    small.setPointSize(8);
    setFont(small);

    ActExit = makeAction("ActExit", "Exit");
    ActRecordScreen = makeAction("ActRecordScreen", "Record Screen");
    ActVideoCapture = makeAction("ActVideoCapture", "Capture Video");
    ActPlay = makeAction("ActPlay", "PlayBack");
    Actmerge = makeAction("Actmerge", "Merge");
    ActSeparate = makeAction("ActSeparate", "Video Splitter ");
    ActLink = makeAction("ActLink", "Video Link");
    ActCut = makeAction("ActCut", "Video Cut");
    ActBMPTOAVI = makeAction("ActBMPTOAVI", "BMP To Avi");
    ActConvert = makeAction("ActConvert", "Convert To Avi");
    ActDvdPlay = makeAction("ActDvdPlay", "DVDPlay");
    ActAbout = makeAction("ActAbout", "About");
    ActPlay->setIcon(playImage());
    ActVideoCapture->setIcon(captureVideoImage());
    ActRecordScreen->setIcon(recordScreenImage());
    ActExit->setIcon(exitImage());

    connect(ActExit, &QAction::triggered, this, ui::guarded([this] { ActExitExecute(); }));
    connect(ActRecordScreen, &QAction::triggered, this,
            ui::guarded([this] { ActRecordScreenExecute(); }));
    connect(ActVideoCapture, &QAction::triggered, this,
            ui::guarded([this] { ActVideoCaptureExecute(); }));
    connect(ActPlay, &QAction::triggered, this, ui::guarded([this] { ActPlayExecute(); }));
    connect(Actmerge, &QAction::triggered, this, ui::guarded([this] { ActmergeExecute(); }));
    connect(ActSeparate, &QAction::triggered, this, ui::guarded([this] { ActSeparateExecute(); }));
    connect(ActLink, &QAction::triggered, this, ui::guarded([this] { ActLinkExecute(); }));
    connect(ActCut, &QAction::triggered, this, ui::guarded([this] { ActCutExecute(); }));
    connect(ActBMPTOAVI, &QAction::triggered, this, ui::guarded([this] { ActBMPTOAVIExecute(); }));
    connect(ActConvert, &QAction::triggered, this, ui::guarded([this] { ActConvertExecute(); }));
    connect(ActDvdPlay, &QAction::triggered, this, ui::guarded([this] { ActDvdPlayExecute(); }));
    connect(ActAbout, &QAction::triggered, this, ui::guarded([this] { ActAboutExecute(); }));

    // Menu items that carry a caption of their own run their action.
    auto item = [](QMenu* menu, const QString& caption, QAction* action) {
        QAction* a = menu->addAction(caption);
        a->setObjectName("Menu" + action->objectName());
        a->setIcon(action->icon());
        QObject::connect(a, &QAction::triggered, action, &QAction::trigger);
        QObject::connect(action, &QAction::changed, a,
                         [a, action] { a->setEnabled(action->isEnabled()); });
        return a;
    };
    QMenuBar* MainMenu = menuBar();
    MainMenu->setObjectName("MainMenu");
    MenuOption = MainMenu->addMenu(" Option");
    MenuOption->setObjectName("MenuOption");
    item(MenuOption, "Record Screen", ActRecordScreen);
    item(MenuOption, "Capture Video", ActVideoCapture);
    item(MenuOption, "Play", ActPlay);
    MenuOption->addSeparator();
    item(MenuOption, "Exit", ActExit);
    N3 = MainMenu->addMenu(" Video Devices");
    N3->setObjectName("N3");
    N4 = MainMenu->addMenu(" Audio Devices ");
    N4->setObjectName("N4");
    MenuTools = MainMenu->addMenu(" Tools ");
    MenuTools->setObjectName("MenuTools");
    item(MenuTools, "Merge", Actmerge);
    item(MenuTools, "Splitter ", ActSeparate);
    item(MenuTools, "Link", ActLink);
    item(MenuTools, "Cutting", ActCut);
    MenuTools->addSeparator();
    item(MenuTools, "BMP To Avi", ActBMPTOAVI);
    item(MenuTools, "Convert To Avi", ActConvert);
    MenuTools->addSeparator();
    item(MenuTools, "DVDPlay", ActDvdPlay);
    MenuHelp = MainMenu->addMenu(" Help ");
    MenuHelp->setObjectName("MenuHelp");
    item(MenuHelp, "Abourt", ActAbout);

    ToolBar1 = new QToolBar(this);
    ToolBar1->setObjectName("ToolBar1");
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setIconSize(QSize(24, 24));
    ToolBar1->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    auto button = [this](const QString& caption, QAction* action, const QString& hint) {
        auto* b = new QToolButton(ToolBar1);
        b->setObjectName("ToolButton" + action->objectName());
        b->setText(caption);
        b->setIcon(action->icon());
        b->setToolTip(hint);
        b->setAutoRaise(true);
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        // 79 x 44 as the form has them, wider only where a caption would not fit otherwise.
        b->setStyleSheet("QToolButton { padding: 1px; }");
        b->setMinimumSize(79, 44);
        b->setMaximumHeight(44);
        connect(b, &QToolButton::clicked, action, &QAction::trigger);
        ToolBar1->addWidget(b);
    };
    button("Play", ActPlay, "Play");
    button("Capture Video", ActVideoCapture, QString());
    button("Record Screen", ActRecordScreen, "Record Screen");
    ToolBar1->addSeparator();
    button("Exit", ActExit, QString());

    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    Label1 = new QLabel("if get error \"not found codec\" when play or convert, you need install ",
                        Panel1);
    Label1->setObjectName("Label1");
    Label1->setWordWrap(true);
    Label2 = new QLabel("K-Lite Codec Pack ,Click the link below to download and install", Panel1);
    Label2->setObjectName("Label2");
    QFont bold = Label2->font();
    bold.setBold(true);
    Label2->setFont(bold);
    Label2->setWordWrap(true);
    LinkProduct = new ui::TLinkLabel(ProductUrl, ProductUrl, Panel1);
    LinkProduct->setObjectName("LinkProduct");
    LinkCodec = new ui::TLinkLabel("K-Lite Codec Pack", CodecUrl, Panel1);
    LinkCodec->setObjectName("LinkCodec");
    LinkSupport = new ui::TLinkLabel("More support...", SupportUrl, Panel1);
    LinkSupport->setObjectName("LinkSupport");
    auto* links = new QHBoxLayout;
    links->addWidget(LinkCodec);
    links->addSpacing(16);
    links->addWidget(LinkSupport);
    links->addStretch();
    auto* panel = new QVBoxLayout(Panel1);
    panel->setContentsMargins(8, 2, 8, 4);
    panel->setSpacing(2);
    panel->addWidget(Label1);
    panel->addWidget(Label2);
    panel->addLayout(links);
    panel->addWidget(LinkProduct);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(ToolBar1);
    layout->addWidget(Panel1, 1);
    setCentralWidget(central);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    N42 = PopupMenu1->addAction("Stop Record");
    N42->setObjectName("N42");
    N42->setShortcut(QKeySequence("Ctrl+A"));
    N42->setEnabled(false);
    connect(N42, &QAction::triggered, this, ui::guarded([this] { N42Click(); }));
    abfTrayIcon1 = new ui::TTrayIcon(this);
    abfTrayIcon1->setObjectName("abfTrayIcon1");
    abfTrayIcon1->setHint("Tovamix");
    abfTrayIcon1->setImages(trayImages());

    FormCreate();
}

TFrmMain::~TFrmMain() {
    FrmPlay.close();
    FrmRecordScreen.close();
    FrmVideoCapture.close();
    FrmAudioCapture.close();
    media::DeviceEnumerator.reset();
    media::VideoPinTypes.Clear();
    media::AudioPinTypes.Clear();
    media::CurrentVideoFormat.reset();
}

QAction* TFrmMain::makeAction(const char* name, const QString& caption) {
    auto* a = new QAction(caption, this);
    a->setObjectName(name);
    return a;
}

void TFrmMain::FormCreate() {
    platform::shell::GlobalHotKey::Result result;
    std::string error;
    hotKey_ = std::make_unique<platform::shell::GlobalHotKey>(KeysymA, result, &error);
    if (result == platform::shell::GlobalHotKey::Result::Taken) {
        hotKeyTaken_ = true; // another copy holds Ctrl+A: the program ends, silently
        return;
    }
    if (result == platform::shell::GlobalHotKey::Result::Failed) {
        // Without the hot key the program still works; the tray and the window stop recordings.
        std::fprintf(stderr, "tovamix: Ctrl+A is not available: %s\n", error.c_str());
    } else {
        connect(hotKey_.get(), &platform::shell::GlobalHotKey::activated, this,
                [this] { HotKeyMessage(); });
        // Ctrl+A is ours only while "Stop Record" can be clicked; otherwise it goes on to the
        // window that has the focus ("select all" in every other program).
        hotKey_->setConsuming(N42->isEnabled());
        connect(N42, &QAction::changed, this, [this] {
            if (hotKey_) hotKey_->setConsuming(N42->isEnabled());
        });
    }
    // Only a copy that goes on shows its icon.
    abfTrayIcon1->show();

    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    move((screen.width() - frameGeometry().width()) / 2, 20);

    auto& devices = media::DeviceEnumerator;
    devices = std::make_unique<media::TSysDevEnum>(platform::dshow::CLSID_VideoInputDeviceCategory);
    for (int i = 0; i < devices->Count(); ++i)
        addVideoDevice(QString::fromStdString(devices->Item(i).FriendlyName), i);
    devices->SelectCategory(platform::dshow::CLSID_AudioInputDeviceCategory);
    for (int i = 0; i < devices->Count(); ++i)
        addAudioDevice(QString::fromStdString(devices->Item(i).FriendlyName), i);
}

void TFrmMain::showEvent(QShowEvent* event) {
    ui::setSkinActive(true);
    QMainWindow::showEvent(event);
}

void TFrmMain::closeEvent(QCloseEvent* event) {
    // The tool windows close as their own close sequences say (a running recording is stopped
    // and its file finished); one that refuses, such as a merge in progress, keeps the program.
    for (ui::ModelessWindow* w : {&FrmPlay, &FrmRecordScreen, &FrmVideoCapture, &FrmAudioCapture})
        w->close();
    for (ui::ModelessWindow* w : {&FrmPlay, &FrmRecordScreen, &FrmVideoCapture, &FrmAudioCapture})
        if (w->exists()) {
            event->ignore();
            return;
        }
    ui::setSkinActive(false);
    QMainWindow::closeEvent(event);
    abfTrayIcon1->setCycling(false);
    QCoreApplication::quit();
}

void TFrmMain::addVideoDevice(const QString& friendlyName, int i) {
    QAction* a = N3->addAction(friendlyName);
    a->setData(i);
    connect(a, &QAction::triggered, this, ui::guarded([this, i] { OpenForVideoDevice(i); }));
}

void TFrmMain::addAudioDevice(const QString& friendlyName, int i) {
    QAction* a = N4->addAction(friendlyName);
    a->setData(i);
    connect(a, &QAction::triggered, this, ui::guarded([this, i] { OpenForAudioDevice(i); }));
}

void TFrmMain::OpenForVideoDevice(int i) {
    if (!tools_.videoCapture) return;
    FrmPlay.close();
    FrmRecordScreen.close();
    FrmAudioCapture.close();
    QWidget* w = FrmVideoCapture.open(this, tools_.videoCapture);
    if (w && tools_.openVideoDevice) tools_.openVideoDevice(w, i);
}

void TFrmMain::OpenForAudioDevice(int i) {
    if (!tools_.audioCapture) return;
    FrmPlay.close();
    FrmRecordScreen.close();
    FrmVideoCapture.close();
    QWidget* w = FrmAudioCapture.open(this, tools_.audioCapture);
    if (w && tools_.openAudioDevice) tools_.openAudioDevice(w, i);
}

void TFrmMain::HotKeyMessage() {
    // The hot key clicks "Stop Record"; a disabled item does nothing.
    N42->trigger();
}

void TFrmMain::N42Click() {
    if (!N42->isEnabled()) return;
    if (QWidget* w = FrmRecordScreen.get())
        if (auto* stop = w->findChild<QAction*>("ActStop")) stop->trigger();
}

void TFrmMain::openPlayer(bool cutPanel) {
    if (!tools_.player) return;
    QWidget* w = FrmPlay.open(this, tools_.player);
    if (w && tools_.showCutPanel) tools_.showCutPanel(w, cutPanel);
}

void TFrmMain::runModal(const std::function<void(QWidget*)>& open) {
    if (open) open(this);
}

void TFrmMain::ActPlayExecute() {
    ui::runWrapped(
        [this] {
            FrmVideoCapture.close();
            FrmAudioCapture.close();
            FrmRecordScreen.close();
            openPlayer(false);
        },
        DirectXMessage);
}

void TFrmMain::ActCutExecute() {
    ui::runWrapped(
        [this] {
            FrmVideoCapture.close();
            FrmRecordScreen.close();
            openPlayer(true);
        },
        DirectXMessage);
}

void TFrmMain::ActRecordScreenExecute() {
    ui::runWrapped(
        [this] {
            FrmVideoCapture.close();
            FrmAudioCapture.close();
            FrmPlay.close();
            abfTrayIcon1->setPopupMenu(PopupMenu1);
            if (tools_.recordScreen)
                FrmRecordScreen.open(this, tools_.recordScreen, tools_.beforeRecordScreenShow);
        },
        DirectXMessage);
}

void TFrmMain::ActVideoCaptureExecute() {
    ui::runWrapped(
        [this] {
            const QList<QAction*> devices = N3->actions();
            if (devices.isEmpty())
                throw ui::EUserMessage("not found Video Device on your Computer\xEF\xBC\x81");
            // Opened here, not through the item's own handler, so a failure is replaced by
            // the wrapping's message like those of the other launching actions.
            OpenForVideoDevice(devices.first()->data().toInt());
        },
        DirectXMessage);
}

void TFrmMain::ActmergeExecute() {
    ui::runWrapped([this] { runModal(tools_.merge); }, DirectXMessage);
}

void TFrmMain::ActSeparateExecute() {
    ui::runWrapped([this] { runModal(tools_.separate); }, DirectXMessage);
}

void TFrmMain::ActLinkExecute() {
    ui::runWrapped([this] { runModal(tools_.link); }, DirectXMessage);
}

void TFrmMain::ActConvertExecute() {
    ui::runWrapped([this] { runModal(tools_.convert); }, DirectXMessage);
}

void TFrmMain::ActBMPTOAVIExecute() {
    runModal(tools_.bmpToAvi);
}

void TFrmMain::ActDvdPlayExecute() {
    runModal(tools_.dvdPlay);
}

void TFrmMain::ActAboutExecute() {
    TFrmAbout about(this);
    about.exec();
}

void TFrmMain::ActExitExecute() {
    if (ui::messageBox("Sure to Exit?", "info", ui::MsgIcon::Question, ui::MsgButtons::OkCancel,
                       ui::MsgResult::Cancel) == ui::MsgResult::Ok)
        close();
}

} // namespace app
