// The player window: opens one media file into its graph and plays it in the overlay video
// window, with pause, stop, a fast (1.5) and a slow (0.5) rate, frame stepping, full screen, a
// volume slider, a seek bar with a position/duration read-out in the status line, a log of the
// graph's events, snapshots of the current frame, and a cut panel: F5 and F6 mark a start and
// an end, Save writes that stretch of the file as a new AVI through the timeline render.
//
// At most one exists (the main window keeps it); it frees itself when closed. While a cut
// renders, the render's wait loop runs inside Save on this window: the window is never freed
// then; a close stops the render and the window closes once the loop has ended.
// User-interface thread only.
#pragma once

#include "TimelineRender.h"
#include "dvd/DSVideoWindowEx2.h"
#include "controls/TDSTrackBar.h"
#include "media/TFilterGraph.h"
#include "media/TSampleGrabber.h"

#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>

class QAction;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QSlider;
class QStatusBar;
class QToolBar;
class QToolButton;

namespace player {

// Renders a cut: the routine of TimelineRender.h, or a caller's stand-in.
using TCutRenderer =
    std::function<TRenderResult(const TExportRequest&, long& completionCode, const TRenderHooks&)>;
// The routine every player's Save runs: renderTimeline, unless a test gives a stand-in.
void setCutRenderer(TCutRenderer renderer);

// A mark box's text: the position (100-ns units) as a time of day, "h:m:s:ms" unpadded;
// 24 hours and more wrap around.
QString markText(int64_t position);
// The status line of a seek-bar tick: "h:mm:ss Duration: <duration as a time of day in the
// locale's long time format, without its time zone>".
QString positionStatusText(int64_t position, uint32_t durationMs);

class TFrmPlay : public QWidget {
  public:
    explicit TFrmPlay(QWidget* parent = nullptr);
    ~TFrmPlay() override;

    // -- Components, named as the form names them.
    QToolBar* ActionToolBar1;
    QAction* ActPlay;
    QAction* ActPause;
    QAction* ActStop;
    QAction* ActSlow;
    QAction* ActFast;
    QAction* ActOpen;
    QAction* ActStep;
    QAction* ActFullScreen;
    QAction* ActSnapshot;
    QAction* ActCut;
    QAction* ActClose;
    QStatusBar* StatusBar;
    QWidget* Panel1;
    QPlainTextEdit* log;
    QWidget* Panel3;
    media::TDSTrackBar* DSTrackBar1;
    QWidget* Panel4;
    QSlider* SoundLevel;
    QProgressBar* ProgressBar1;
    QWidget* Panel2;
    QLineEdit* StartPosEdit;
    QLineEdit* EndPosEdit;
    QToolButton* SpeedButton1;
    dvd::TDSVideoWindowEx2* VideoWindow1;
    media::TFilterGraph FilterGraph1;
    media::TSampleGrabber SampleGrabber;

    // -- Window state (100-ns units; 0: not marked).
    int64_t StartPos = 0;
    int64_t EndPos = 0;
    // 0 while a cut renders; Stop writes 1 to end it.
    long CompletionCode = 1;
    bool VolumeChanged = false;

    // The file last opened ("" before the first Open).
    const std::string& fileName() const { return fileName_; }
    bool rendering() const { return rendering_; }
    // Shows or hides the cut panel without changing the window's size (the main window's
    // "PlayBack" and "Video Cut").
    void showCutPanel(bool shown);
    // Open's steps after its dialog: renders name into the graph, sizes the window to the
    // video, plays. Errors of the graph are raised.
    void OpenFile(const std::string& name);

    // Where the window goes after Open; public for the tests of sizing.
    QRect sizedGeometry(long videoWidth, long videoHeight) const;

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QAction* makeAction(const char* name, const QString& caption);
    void ActPlayExecute();
    void ActPauseExecute();
    void ActStopExecute();
    void ActOpenExecute();
    void ActFastExecute();
    void ActSlowExecute();
    void ActFullScreenExecute();
    void ActStepExecute();
    void ActCloseExecute();
    void ActSnapshotExecute();
    void ActCutExecute();
    void FormKeyUp(int key);
    void SoundLevelChange();
    void SpeedButton1Click();
    void FilterGraph1DSEvent(long event);
    void FilterGraph1GraphComplete();
    void DSTrackBar1Timer(uint32_t currentPos, uint32_t stopPos);
    void setRate(double rate);
    int64_t currentPosition();
    void resetMarks();
    void reportCut(const TRenderResult& result);

    std::string fileName_;
    // The position the End box shows after a step without an end mark (0: none).
    int64_t steppedEnd_ = 0;
    bool rendering_ = false;
    // Open's render runs (the window's events are processed meanwhile); a close then waits.
    bool opening_ = false;
    bool closeAfterOpen_ = false;
    bool closeAfterRender_ = false;
};

} // namespace player
