// The main window: the launcher with its menus, tool bar, device menus, help links, tray icon
// and the global Ctrl+A hot key that stops a screen recording from anywhere. It opens every
// tool window through one action each and keeps one reference per modeless window.
// User-interface thread only.
#pragma once

#include "ui/qt/ModelessWindow.h"

#include <QMainWindow>
#include <functional>
#include <memory>

class QAction;
class QLabel;
class QMenu;
class QToolBar;

namespace platform::shell {
class GlobalHotKey;
}
namespace media {
class TSysDevEnum;
}
namespace ui {
class TLinkLabel;
class TTrayIcon;
} // namespace ui

namespace app {

extern const char* const DirectXMessage;
extern const char* const ProductUrl;
extern const char* const CodecUrl;
extern const char* const SupportUrl;

// How the tool windows are made. Each is filled in as its window joins the program; an empty
// one leaves its action without a visible effect.
struct ToolWindows {
    // Modeless windows: return a new top-level window (it is made to free itself on close).
    std::function<QWidget*()> player;
    std::function<void(QWidget* player, bool cutPanel)> showCutPanel;
    std::function<QWidget*()> recordScreen;
    // Run on the Record Screen window before every show from the main window.
    std::function<void(QWidget* recordScreen)> beforeRecordScreenShow;
    // The capture windows: videoCapture / audioCapture only make the window; openVideoDevice /
    // openAudioDevice then bind device i on it, new or already shown, at every call.
    std::function<QWidget*()> videoCapture;
    std::function<void(QWidget* window, int device)> openVideoDevice;
    std::function<QWidget*()> audioCapture;
    std::function<void(QWidget* window, int device)> openAudioDevice;
    // Modal windows: create, show modally, free.
    std::function<void(QWidget*owner)> merge, separate, link, convert, bmpToAvi, dvdPlay;
};

class TFrmMain : public QMainWindow {
  public:
    explicit TFrmMain(ToolWindows tools = {});
    ~TFrmMain() override;

    // True when Ctrl+A could not be grabbed because another program holds it: the program
    // must end at once, without showing anything. The program's life follows this window:
    // closing it closes the tool windows (a tool window that refuses keeps it open) and
    // ends the event loop.
    bool hotKeyTaken() const { return hotKeyTaken_; }

    // -- Components, named as the form names them.
    QMenu* MenuOption;
    QMenu* N3; // " Video Devices"
    QMenu* N4; // " Audio Devices "
    QMenu* MenuTools;
    QMenu* MenuHelp;
    QToolBar* ToolBar1;
    QWidget* Panel1;
    QLabel* Label1;
    QLabel* Label2;
    ui::TLinkLabel* LinkProduct;
    ui::TLinkLabel* LinkCodec;
    ui::TLinkLabel* LinkSupport;
    QAction* ActExit;
    QAction* ActRecordScreen;
    QAction* ActVideoCapture;
    QAction* ActPlay;
    QAction* Actmerge;
    QAction* ActSeparate;
    QAction* ActLink;
    QAction* ActCut;
    QAction* ActBMPTOAVI;
    QAction* ActConvert;
    QAction* ActDvdPlay;
    QAction* ActAbout;
    ui::TTrayIcon* abfTrayIcon1;
    QMenu* PopupMenu1;
    QAction* N42; // "Stop Record"

    // The program's device enumerator: made on the video inputs, left on the audio inputs.

    // -- One reference per modeless tool window.
    ui::ModelessWindow FrmPlay;
    ui::ModelessWindow FrmRecordScreen;
    ui::ModelessWindow FrmVideoCapture;
    ui::ModelessWindow FrmAudioCapture;

    // Adds an item to " Video Devices" / " Audio Devices " for device index i.
    void addVideoDevice(const QString& friendlyName, int i);
    void addAudioDevice(const QString& friendlyName, int i);

    // Device menu handlers: open the capture window on device i.
    void OpenForVideoDevice(int i);
    void OpenForAudioDevice(int i);

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void FormCreate();
    void HotKeyMessage();
    void ActPlayExecute();
    void ActCutExecute();
    void ActRecordScreenExecute();
    void ActVideoCaptureExecute();
    void ActmergeExecute();
    void ActSeparateExecute();
    void ActLinkExecute();
    void ActConvertExecute();
    void ActBMPTOAVIExecute();
    void ActDvdPlayExecute();
    void ActAboutExecute();
    void ActExitExecute();
    void N42Click();

    QAction* makeAction(const char* name, const QString& caption);
    void openPlayer(bool cutPanel);
    void runModal(const std::function<void(QWidget*)>& open);

    ToolWindows tools_;
    std::unique_ptr<platform::shell::GlobalHotKey> hotKey_;
    bool hotKeyTaken_ = false;
};

} // namespace app
