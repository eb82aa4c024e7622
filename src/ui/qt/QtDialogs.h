// Qt implementations of the user-interface seams: message boxes, the standard error box, file
// dialogs and list choices shown as Qt windows, and posting to Qt's main thread. Install both at
// program start, after the QApplication exists. A message box asked for from a worker is shown on
// the user-interface thread while the worker waits for the answer.
#pragma once

#include "ui/Dialogs.h"
#include "ui/UiThread.h"

namespace ui {

class QtDialogs : public Dialogs {
  public:
    // This function is thread-safe.
    MsgResult messageBox(const MessageBoxRequest& request) override;
    // This function is thread-safe.
    void reportError(const std::string& text) override;
    std::optional<std::string> openFile(const FileDialogRequest& request) override;
    std::vector<std::string> openFiles(const FileDialogRequest& request) override;
    std::optional<std::string> saveFile(const FileDialogRequest& request) override;
    // A modal dialog over the active window: the label, the list with the request's line
    // chosen, OK and Cancel; a double click on a line takes it.
    std::optional<int> chooseFromList(const ListChoiceRequest& request) override;
};

class QtUiThread : public UiThread {
  public:
    void post(std::function<void()> fn) override;
};

// "AVI files (*.avi)|*.avi|All (*.*)|*.*" -> "AVI files (*.avi);;All (*.*)"
std::string qtFilterOf(const std::string& filter);
// The extension a chosen filter names first: "JPG (*.JPG)" -> "JPG"; empty for "All (*.*)" or
// an entry without one. A save dialog gives it to a name typed without an extension.
std::string extensionOfFilter(const std::string& qtFilterEntry);

} // namespace ui
