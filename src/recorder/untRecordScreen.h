// The Record Screen window: records the screen (whole, or a chosen rectangle) with the engine
// into a temporary MS Video 1 file and, when asked, the voice of the first audio input device
// into a second temporary file; on stop it asks for the target and merges both into one AVI,
// re-encoding the video with XviD and the voice with MP3. While recording, the program sits in
// the tray; the recording is stopped with the tray's "Stop Record", the global Ctrl+A or the
// stop button. At most one exists; it frees itself when closed. User-interface thread only.
#pragma once

#include "RecordGraphs.h"
#include "RecordingSession.h"
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
    // Compress while recording, so the file is ready soon after the stop; off, the temporary
    // files are merged after the stop, as the merge graph does whenever the live file fails.
    bool compressWhileRecording = true;
    TScreenCam& engine() { return *engine_; }
    // The recording from its start until it is saved or given up; null while idle.
    RecordingSession* session() { return session_.get(); }

    // Where the window is in a recording's life. Starting runs from "Start Record" until the
    // engine and the voice run; a stop is refused until then.
    // Stopping: the windows are back, the voice is being finished ("finishing...").
    enum class Stage { Idle, Starting, Recording, Stopping, ChoosingTarget, Merging };
    Stage stage() const { return stage_; }
    // The picture Image1 shows (the whole screen, or the chosen rectangle).
    const QImage& picture() const { return picture_; }

    // Binds the first audio input device and lists its input lines.
    void bindVoiceDevice();
    // Run by the main window before every show: forgets the chosen rectangle, so the next
    // recording is of the whole screen, and shows the whole screen when already open.
    void prepareOpen();

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
    // merged: the merge graph ran (and may have written the target); false when it never
    // started.
    void mergeFailed(const std::string& why, bool merged = true);
    // Waits, with the event loop running, until the engine's worker has ended.
    void waitForEngine();
    void setStage(Stage s);
    void updateActions();
    // The window leaves the screen with the main window while recording (into the tray where
    // there is one) and comes back with it.
    void goToTray();
    void comeBackFromTray();
    // False when the window was closed while a nested event loop (a message box, a wait) ran.
    bool stillOpen(const QPointer<TFrmRecordScreen>& self) const { return self && !closing_; }

    RecordScreenHost host_;
    std::unique_ptr<TScreenCam> engine_;
    InputLines lines_;
    QImage picture_;
    Stage stage_ = Stage::Idle;
    bool closing_ = false;
    bool closeAfterStop_ = false; // a close asked for while Stopping, done once it ends
    bool voiceRecorded_ = false;
    // The recording from its start until it is saved or given up (the window idle again):
    // the folder's lock, the manifest, the live compression.
    std::unique_ptr<RecordingSession> session_;
    bool finishingLive_ = false; // the live file's tail is being finished
    std::string target_;
};

// The window as the main window opens it: created when there is none, its voice device bound,
// the capture area forgotten. The caller shows it.
TFrmRecordScreen* createRecordScreen(RecordScreenHost host);
// Run by the main window before every show of the window: see TFrmRecordScreen::prepareOpen.
void prepareRecordScreen(QWidget* window);

// At start-up: when the folder of temporary recordings holds a recording that was never saved
// (the program was killed, crashed or logged out, or its save was cancelled), asks whether to
// save it now ("Prompt", Yes / No); Yes asks for the file and compresses the recovered
// temporary files into it, reporting "Record Complete!" or why not; No is remembered, and the
// files stay for `tovamix-cli recover`. Does nothing while another recording runs.
void offerRecovery();

} // namespace recorder
