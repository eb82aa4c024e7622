// What the video and audio capture windows share: the tray host, the tool bar built from
// actions, the list of input lines, the status bar's time and the messages about a recording
// that ended by itself or recorded nothing. User-interface thread only.
#pragma once

#include "CaptureGraphs.h"

#include <QTimer>
#include <QWidget>
#include <initializer_list>

class QAction;
class QComboBox;
class QStatusBar;
class QToolBar;

namespace ui {
class TTrayIcon;
}

namespace capture {

// What the capture windows use of the main window: its tray icon, which cycles while they
// record. May be null (tests, or no main window).
struct CaptureHost {
    ui::TTrayIcon* trayIcon = nullptr;
};

class TCaptureWindow : public QWidget {
  public:
    // -- Components both windows have, named as the forms name them.
    QToolBar* ActionToolBar1;
    QStatusBar* StatusBar;
    QTimer Timer; // every second while recording: the time in the status bar

  protected:
    TCaptureWindow(CaptureHost host, const char* objectName, QSize outerSize);

    // The window's column: the tool bar, panel (taking the rest) and the status bar.
    void layOut(QWidget* panel);
    // A recording of graph that ends by itself (a device lost, the disk full) is ended as
    // "Stop Record" ends one, and the user is told why and what became of the file.
    void watch(CaptureGraphBase& graph);
    // What every way out of a recording runs: the tray stops cycling, the timer and the
    // actions are reset, and the file is finished.
    virtual CaptureResult endRecording() = 0;

    // An action of the window with its caption as hint too.
    QAction* makeAction(const char* name, const QString& caption, const QIcon& icon);
    // Fills the tool bar: actions, a separator, then close.
    void fillToolBar(std::initializer_list<QAction*> actions, QAction* close);
    static void showLines(QComboBox* box, const recorder::InputLines& lines);
    // The chosen line's name, or empty when none is chosen.
    static std::string chosenLine(const QComboBox* box);
    // Status bar text for a running time.
    void showTime(double seconds);
    void setTrayCycling(bool on);
    // After a stop: says so when the recording left nothing (its empty file is gone).
    void reportNothingRecorded(bool wasRecording, const CaptureResult& result);
    // After a recording ended by itself: why, and what became of the file.
    void reportEnded(const CaptureResult& result);

    CaptureHost host_;
    std::string file_; // the file being recorded
    bool closing_ = false;
};

} // namespace capture
