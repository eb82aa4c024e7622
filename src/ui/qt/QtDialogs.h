// Qt implementations of the user-interface seams: message boxes and file dialogs shown as
// Qt windows, and posting to Qt's main thread. Install both at program start, after the
// QApplication exists. A message box asked for from a worker is shown on the user-interface
// thread while the worker waits for the answer.
#pragma once

#include "ui/Dialogs.h"
#include "ui/UiThread.h"

namespace ui {

class QtDialogs : public Dialogs {
  public:
    // This function is thread-safe.
    MsgResult messageBox(const MessageBoxRequest& request) override;
    std::optional<std::string> openFile(const FileDialogRequest& request) override;
    std::optional<std::string> saveFile(const FileDialogRequest& request) override;
};

class QtUiThread : public UiThread {
  public:
    void post(std::function<void()> fn) override;
};

// "AVI files (*.avi)|*.avi|All (*.*)|*.*" -> "AVI files (*.avi);;All (*.*)"
std::string qtFilterOf(const std::string& filter);

} // namespace ui
