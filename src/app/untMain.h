// The launcher window. For now it records the whole screen into a file the user names
// (start and stop buttons); its menus, tool bar and tray icon come with the main-window work.
// User-interface thread only.
#pragma once

#include "recorder/TScreenCam.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <memory>

namespace app {

class TFrmMain : public QWidget {
  public:
    TFrmMain();
    ~TFrmMain() override;

  private:
    void ActRecordExecute();
    void ActStopExecute();
    void RecordEnded(int result);
    void TimerStatusTimer();

    std::unique_ptr<recorder::TScreenCam> engine_;
    QPushButton* ActRecord;
    QPushButton* ActStop;
    QLabel* LabelStatus;
    QTimer* TimerStatus;
    std::string fileName_;
};

} // namespace app
