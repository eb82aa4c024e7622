// The Record Screen window: records the screen (whole, or a chosen rectangle) with the engine
// into a temporary MS Video 1 file and, when asked, the voice of the first audio input device
// into a second temporary file; on stop it asks for the target and merges both into one AVI,
// re-encoding the video with XviD and the voice with MP3. While recording, the program sits in
// the tray; the recording is stopped with the tray's "Stop Record", the global Ctrl+A or the
// stop button. At most one exists; it frees itself when closed. User-interface thread only.
#pragma once

#include "RecordGraphs.h"
#include "TScreenCam.h"

#include <QImage>
#include <QPointer>
#include <QWidget>
#include <memory>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QScrollArea;
class QToolBar;

namespace ui {
class TTrayIcon;
}

namespace recorder {

// What the window uses of the main window: its place on screen, its tray icon and the tray's
// "Stop Record" item. Any may be null (tests, or no main window).
struct RecordScreenHost {
    QPointer<QWidget> mainWindow;
    ui::TTrayIcon* trayIcon = nullptr;
    QPointer<QAction> stopItem;
};

class TFrmRecordScreen : public QWidget {
  public:
    explicit TFrmRecordScreen(RecordScreenHost host);
    ~TFrmRecordScreen() override;

    // -- Components, named as the form names them.
    QToolBar* ActionToolBar1;
    QAction* ActRecord;
    QAction* ActStop;
    QAction* ActArea;
    QAction* ActOption;
    QAction* SavePicture;
    QAction* ActClose;
    QLabel* Panel1; // its text is the status during the merge
    QWidget* Panel5;
    QCheckBox* CheckRecordAudio;
    QLabel* Label2;
    QComboBox* AudioSample;
    QScrollArea* ImageBox;
    QLabel* Image1;

    VoiceGraph voice;
    MergeGraph merge;
    TScreenCam& engine() { return *engine_; }

    // Where the window is in a recording's life.
    enum class Stage { Idle, Recording, ChoosingTarget, Merging };
    Stage stage() const { return stage_; }
    // The picture Image1 shows (the whole screen, or the chosen rectangle).
    const QImage& picture() const { return picture_; }

    // Binds the first audio input device and lists its input lines.
    void bindVoiceDevice();

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    QAction* makeAction(const char* name, const QString& caption, const QString& hint);
    void showLines(const InputLines& lines);
    void setPicture(const QImage& picture);
    void ActRecordExecute();
    void ActStopExecute();
    void ActAreaExecute();
    void ActOptionExecute();
    void SavePictureExecute();
    void ActCloseExecute();
    void startMerge(const std::string& target);
    void mergeComplete();
    void mergeFailed(const std::string& why);
    // Waits, with the event loop running, until the engine's worker has ended.
    void waitForEngine();
    void setStage(Stage s);

    RecordScreenHost host_;
    std::unique_ptr<TScreenCam> engine_;
    InputLines lines_;
    QImage picture_;
    Stage stage_ = Stage::Idle;
    bool voiceRecorded_ = false;
    std::string target_;
};

// The window as the main window opens it: created when there is none, its voice device bound,
// the capture area forgotten. The caller shows it.
TFrmRecordScreen* createRecordScreen(RecordScreenHost host);

} // namespace recorder
