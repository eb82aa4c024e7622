// The audio capture window: records an audio input device (a device of the main window's
// " Audio Devices " menu), from the input line the user picks, into an AVI file holding one MP3
// stream. Nothing plays while it is idle. At most one exists; the main window makes it and runs
// OpenForAudioDevice on it for every device chosen; it frees itself when closed.
// User-interface thread only.
#pragma once

#include "CaptureWindow.h"

class QComboBox;
class QLabel;

namespace capture {

class TFrmAudioCapture : public TCaptureWindow {
  public:
    explicit TFrmAudioCapture(CaptureHost host = {});
    ~TFrmAudioCapture() override;

    // -- Components, named as the form names them (and those of TCaptureWindow).
    QAction* ActRecord;
    QAction* ActStop;
    QAction* ActClose;
    QWidget* Panel1;
    QWidget* Panel2;
    QLabel* Label1; // "Voice Source"
    QComboBox* InputLines;

    // The graph with the sound device and the MP3 encoder (FilterGraph, AudioFilter, MP3Enc).
    AudioCaptureGraph graph;

    // Binds device i (finishing a recording first) and lists its input lines. Throws
    // ui::EUserMessage naming the device when it cannot be opened.
    void OpenForAudioDevice(int i);
    bool recording() const { return graph.recording(); }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void ActRecordExecute();
    void ActStopExecute();
    void TimerTimer();
    CaptureResult endRecording() override;
};

// Runs OpenForAudioDevice(device) on w when it is the audio capture window.
void openForAudioDevice(QWidget* w, int device);

} // namespace capture
