// The program's windows as the main window opens them: every tool window the main window
// launches, wired to the main window's tray icon and stop item, and the snapshot's source (the
// video capture window's frame whenever that window exists). The program's start uses it, and
// so do the tests that open the windows the way the program does. User-interface thread only.
#pragma once

#include "untMain.h"

namespace app {

// The tool windows of a main window that is made afterwards: *main must point to it before any
// of them opens. While the object lives, snapshots look up the capture window of *main.
class ProgramWindows {
  public:
    explicit ProgramWindows(TFrmMain*& main);
    ~ProgramWindows();
    ProgramWindows(const ProgramWindows&) = delete;
    ProgramWindows& operator=(const ProgramWindows&) = delete;

    const ToolWindows& tools() const { return tools_; }

  private:
    ToolWindows tools_;
};

} // namespace app
