// The video capture window: previews a camera (a device of the main window's " Video Devices"
// menu) and records it, with the voice of the first audio input device when "Record Voice " is
// checked, into an AVI file (XviD video, MP3 sound). It also takes snapshots of the preview
// and lets the user pick the camera's format. At most one exists; the main window makes it and
// runs OpenForVideoDevice on it for every device chosen; it frees itself when closed.
// User-interface thread only.
#pragma once

#include "CaptureWindow.h"
#include "media/TSampleGrabber.h"
#include "controls/TVideoWindow.h"
#include "player/untSnapShot.h"

class QCheckBox;

namespace capture {

class TFrmVideoCapture : public TCaptureWindow {
  public:
    explicit TFrmVideoCapture(CaptureHost host = {});
    ~TFrmVideoCapture() override;

    // -- Components, named as the form names them (and those of TCaptureWindow).
    QAction* ActRecord;
    QAction* ActStop;
    QAction* ActSnapshot;
    QAction* ActOption;
    QAction* ActClose;
    QWidget* Panel1;
    QWidget* Panel2;
    QCheckBox* CheckBox1; // "Record Voice "
    QComboBox* InputLines;
    media::TVideoWindow* VideoWindow;

    // The graph with the camera, the sound device and both encoders (FilterGraph, VideoFilter,
    // AudioFilter, XvidEncoder, MP3Enc), and the grabber the preview goes through.
    VideoCaptureGraph graph;
    media::TSampleGrabber SampleGrabber;

    // The index of the device shown, in the video input category.
    int Tag = 0;

    // Binds device i (stopping a recording first), lists the voice device's input lines, asks
    // for the camera's format, sizes the window to it and starts the preview. Shows the window.
    // Throws ui::EUserMessage naming the device when it cannot be opened.
    void OpenForVideoDevice(int i);
    bool recording() const { return graph.recording(); }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    // Shows the camera's format list, reads the format back, fits the window to it, then
    // previews and plays.
    void chooseFormatAndPreview();
    void ActRecordExecute();
    void ActStopExecute();
    void ActSnapshotExecute();
    void ActOptionExecute();
    void TimerTimer();
    CaptureResult endRecording() override;
    void resetActions();
};

// The snapshot source of the video capture window w (none when w is not one).
player::TSnapshotSource snapshotSourceOf(QWidget* w);

// Runs OpenForVideoDevice(device) on w when it is the video capture window.
void openForVideoDevice(QWidget* w, int device);

} // namespace capture
