// The DVD player window (TFormDVDPlayer): plays a DVD-Video volume from the drive the navigator
// finds or from a chosen VIDEO_TS.IFO, with play, pause, stop, frame step, chapter skip, 8x
// both ways, the root and title menus (buttons chosen with the mouse over the video), full
// screen, aspect modes, digital zoom, one bookmark per user and the colour controls.
//
// The graph component builds the graph and delivers the DVD events; navigation commands go
// straight to the navigator, which ignores those its domain does not allow. The main window
// creates it, shows it modally and frees it. User-interface thread only.
#pragma once

#include "DSVideoWindowEx2.h"
#include "media/TFilterGraph.h"

#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSlider>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <array>
#include <string>

namespace dvd {

class TColorControlForm;

class TFormDVDPlayer : public QDialog {
  public:
    explicit TFormDVDPlayer(QWidget* parent = nullptr);
    ~TFormDVDPlayer() override;

    TFilterGraph FilterGraph;
    QFrame* Panel1;
    TDSVideoWindowEx2* DSVideoWindowEx1;
    QLabel* Panel2;
    QStatusBar* StatusBar;
    std::array<QLabel*, 4> StatusPanels{};
    QToolBar* ToolBar1;
    QToolButton *btPreviousChapter, *btRewind, *btPause, *btPlay, *btStop, *btFastForward,
        *btNextChapter, *btRootMenu, *btFullScreen, *btFrameStep, *ToolButton2;
    QSlider* TrackBar1;
    QMenuBar* MainMenu;
    QMenu* Popup;
    // The "Color Controls" items of the main menu and of the popup menu.
    QAction* ColorControlsItem;
    QAction* PopupColorControlsItem;

    // -- Handlers.
    void PlayClick();
    void OpenClick();
    void PauseClick();
    void StopClick();
    void FrameStepClick();
    void NextChapterClick();
    void PreviousChapterClick();
    void FastForwardClick();
    void RewindClick();
    void RootMenuClick();
    void TitleMenuClick();
    void FullScreenClick();
    void AspectRatioClick(int tag);
    void TrackBar1Change();
    void ColorControlsClick();
    void SaveBookmarkClick();
    void RestoreBookmarkClick();
    void ExitClick();
    void DSVideoWindowEx1ColorKeyChanged();
    void DSVideoWindowEx1MouseMove(const QPoint& globalPos);
    void DSVideoWindowEx1MouseUp(const QPoint& globalPos);
    void FilterGraphDVDDomainChange(int domain);
    void FilterGraphDVDTitleChange(int title);
    void FilterGraphDVDChapterStart(int chapter);
    void FilterGraphDVDCurrentHMSFTime(int hours, int minutes, int seconds);

    // Starts playback: resumes an active graph at normal speed, else builds the graph for the
    // volume (empty: the drive the navigator finds) and reports a partial build.
    void Play(const std::string& volume);
    // The bookmark file: "bookmark.bmk" in the user's data folder.
    static std::string bookmarkPath();
    // The form every DVD window shares for the run (null until the first "Color Controls").
    static TColorControlForm* colorControlForm();
    // The text of status panel i (0 time, 1 title, 2 chapter).
    QString panelText(int i) const { return StatusPanels[size_t(i)]->text(); }

  protected:
    void done(int result) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QToolButton* makeButton(const char* name, const char* hint, void (TFormDVDPlayer::*handler)());
    QAction* addItem(QMenu* menu, const QString& caption, void (TFormDVDPlayer::*handler)());
    void fillPlaybackMenu(QMenu* menu);
    QMenu* fillAspectMenu(QMenu* menu, const QString& caption);
    std::shared_ptr<IDvdControl2> navigator() const;
    // The video window's point under a global position, in the renderer window.
    bool rendererPoint(const QPoint& globalPos, QPoint* at) const;
    void placePanel2();
    void enableColorControls();
    void showStartError(const AM_DVD_RENDERSTATUS& status);

    std::vector<QAction*> aspectItems_; // both menus', tags in data()
};

} // namespace dvd
