// The one seam through which the program asks the user something: message boxes, the
// standard error box, the open and save file dialogs and the choice of one line from a list.
// Windows and engines call dialogs(); the program start installs the implementation: QtDialogs for
// people, ConsoleDialogs where there is no user-interface thread (the CLI), ScriptedDialogs in
// tests.
//
// messageBox() and reportError() may be called from any thread; an implementation that shows
// windows does so on the user-interface thread while the calling worker waits.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ui {

enum class MsgIcon { None, Information, Warning, Error, Question };
enum class MsgButtons { Ok, OkCancel, AbortRetryIgnore, YesNoCancel, YesNo, RetryCancel };
// The values the platform's message boxes return.
enum class MsgResult {
    None = 0,
    Ok = 1,
    Cancel = 2,
    Abort = 3,
    Retry = 4,
    Ignore = 5,
    Yes = 6,
    No = 7
};

struct MessageBoxRequest {
    std::string text;
    std::string caption;
    MsgIcon icon = MsgIcon::None;
    MsgButtons buttons = MsgButtons::Ok;
    // The button chosen by Enter, and the answer where nobody can be asked. None: the
    // first button of the set.
    MsgResult defaultButton = MsgResult::None;
};

struct FileDialogRequest {
    std::string title;
    std::string filter;     // "AVI files (*.avi)|*.avi|All files (*.*)|*.*"
    std::string defaultExt; // "avi": appended when the chosen name has no extension
    std::string fileName;   // proposed name
    std::string initialDir;
};

// A choice of one line from a list, as the settings frame of a capture pin asks for a format.
struct ListChoiceRequest {
    std::string title;
    std::string label; // above the list: "Output format:"
    std::vector<std::string> items;
    int selected = -1; // the line chosen when the list opens; -1 for none
    std::string name;  // the window's object name, by which tests find it
};

// The buttons of a set, in the order they are shown.
std::vector<MsgResult> buttonsOf(MsgButtons buttons);
// The default button of a request, resolved against its set.
MsgResult defaultAnswer(const MessageBoxRequest& request);
// "Ok", "Cancel", ...
const char* resultName(MsgResult result);
const char* iconName(MsgIcon icon);

class Dialogs {
  public:
    virtual ~Dialogs() = default;
    // This function is thread-safe.
    virtual MsgResult messageBox(const MessageBoxRequest& request) = 0;
    // The application's standard error box: the text, the error icon and an OK button.
    // This function is thread-safe.
    virtual void reportError(const std::string& text) = 0;
    // Empty when the user cancels. User-interface thread only.
    virtual std::optional<std::string> openFile(const FileDialogRequest& request) = 0;
    // Several existing files chosen at once, in the order the dialog gives them; empty when
    // the user cancels. User-interface thread only.
    virtual std::vector<std::string> openFiles(const FileDialogRequest& request) = 0;
    virtual std::optional<std::string> saveFile(const FileDialogRequest& request) = 0;
    // The index of the chosen line; empty when the user cancels. User-interface thread only.
    virtual std::optional<int> chooseFromList(const ListChoiceRequest& request) = 0;
};

// The implementation in use; ConsoleDialogs until one is installed.
Dialogs& dialogs();
// Installs d (not owned; null goes back to the console one). Call before any worker runs.
void setDialogs(Dialogs* d);

// Shorthand for the usual call.
MsgResult messageBox(const std::string& text, const std::string& caption,
                     MsgIcon icon = MsgIcon::None, MsgButtons buttons = MsgButtons::Ok,
                     MsgResult defaultButton = MsgResult::None);
// Reports an error to the user through the implementation in use. This function is
// thread-safe.
void reportError(const std::string& text);

// No user-interface thread: each box is written to standard error as one line and answered
// with its default button, an error is written as "error: TEXT"; file dialogs and list
// choices are cancelled.
class ConsoleDialogs : public Dialogs {
  public:
    MsgResult messageBox(const MessageBoxRequest& request) override;
    void reportError(const std::string& text) override;
    std::optional<std::string> openFile(const FileDialogRequest& request) override;
    std::vector<std::string> openFiles(const FileDialogRequest& request) override;
    std::optional<std::string> saveFile(const FileDialogRequest& request) override;
    std::optional<int> chooseFromList(const ListChoiceRequest& request) override;
};

// For tests: answers in turn from queued answers (the default button when the queue is
// empty; a cancel for files and list choices) and records every box and dialog asked for.
// An error is recorded as the box it shows: caption "Error", the error icon, OK.
// This class is thread-safe.
class ScriptedDialogs : public Dialogs {
  public:
    struct Shown {
        MessageBoxRequest request;
        MsgResult answer;
    };

    void queueAnswer(MsgResult answer);
    void queueFile(std::optional<std::string> path);
    // The answer of the next multi-select open dialog (empty: cancelled).
    void queueFiles(std::vector<std::string> paths);
    void queueChoice(std::optional<int> index);

    MsgResult messageBox(const MessageBoxRequest& request) override;
    void reportError(const std::string& text) override;
    std::optional<std::string> openFile(const FileDialogRequest& request) override;
    std::vector<std::string> openFiles(const FileDialogRequest& request) override;
    std::optional<std::string> saveFile(const FileDialogRequest& request) override;
    std::optional<int> chooseFromList(const ListChoiceRequest& request) override;

    std::vector<Shown> shown() const;
    std::vector<FileDialogRequest> fileDialogs() const;
    std::vector<ListChoiceRequest> listChoices() const;
    void clear();

  private:
    std::optional<std::string> nextFile(const FileDialogRequest& request);

    mutable std::mutex mutex_;
    // -- All the following fields are protected by mutex_.
    std::deque<MsgResult> answers_;
    std::deque<std::optional<std::string>> files_;
    std::deque<std::vector<std::string>> fileLists_;
    std::deque<std::optional<int>> choices_;
    std::vector<Shown> shown_;
    std::vector<FileDialogRequest> fileDialogs_;
    std::vector<ListChoiceRequest> listChoices_;
};

// Installs a dialogs implementation for the life of a scope, then puts the previous back.
class ScopedDialogs {
  public:
    explicit ScopedDialogs(Dialogs& d);
    ~ScopedDialogs();
    ScopedDialogs(const ScopedDialogs&) = delete;
    ScopedDialogs& operator=(const ScopedDialogs&) = delete;

  private:
    Dialogs* previous_;
};

} // namespace ui
