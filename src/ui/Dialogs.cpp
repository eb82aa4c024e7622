#include "Dialogs.h"

#include <atomic>
#include <cstdio>

namespace ui {

namespace {
ConsoleDialogs consoleDialogs;
std::atomic<Dialogs*> currentDialogs{nullptr};
} // namespace

std::vector<MsgResult> buttonsOf(MsgButtons buttons) {
    switch (buttons) {
    case MsgButtons::Ok:
        return {MsgResult::Ok};
    case MsgButtons::OkCancel:
        return {MsgResult::Ok, MsgResult::Cancel};
    case MsgButtons::AbortRetryIgnore:
        return {MsgResult::Abort, MsgResult::Retry, MsgResult::Ignore};
    case MsgButtons::YesNoCancel:
        return {MsgResult::Yes, MsgResult::No, MsgResult::Cancel};
    case MsgButtons::YesNo:
        return {MsgResult::Yes, MsgResult::No};
    case MsgButtons::RetryCancel:
        return {MsgResult::Retry, MsgResult::Cancel};
    }
    return {MsgResult::Ok};
}

MsgResult defaultAnswer(const MessageBoxRequest& request) {
    const std::vector<MsgResult> set = buttonsOf(request.buttons);
    for (MsgResult r : set)
        if (r == request.defaultButton) return r;
    return set.front();
}

const char* resultName(MsgResult result) {
    switch (result) {
    case MsgResult::None:
        return "None";
    case MsgResult::Ok:
        return "Ok";
    case MsgResult::Cancel:
        return "Cancel";
    case MsgResult::Abort:
        return "Abort";
    case MsgResult::Retry:
        return "Retry";
    case MsgResult::Ignore:
        return "Ignore";
    case MsgResult::Yes:
        return "Yes";
    case MsgResult::No:
        return "No";
    }
    return "None";
}

const char* iconName(MsgIcon icon) {
    switch (icon) {
    case MsgIcon::None:
        return "";
    case MsgIcon::Information:
        return "information";
    case MsgIcon::Warning:
        return "warning";
    case MsgIcon::Error:
        return "error";
    case MsgIcon::Question:
        return "question";
    }
    return "";
}

Dialogs& dialogs() {
    Dialogs* d = currentDialogs.load();
    return d ? *d : consoleDialogs;
}

void setDialogs(Dialogs* d) {
    currentDialogs.store(d);
}

MsgResult messageBox(const std::string& text, const std::string& caption, MsgIcon icon,
                     MsgButtons buttons, MsgResult defaultButton) {
    return dialogs().messageBox({text, caption, icon, buttons, defaultButton});
}

void reportError(const std::string& text) {
    dialogs().reportError(text);
}

MsgResult ConsoleDialogs::messageBox(const MessageBoxRequest& request) {
    const MsgResult answer = defaultAnswer(request);
    const char* icon = iconName(request.icon);
    std::fprintf(stderr, "[%s%s%s] %s (answered %s)\n", request.caption.c_str(), *icon ? ", " : "",
                 icon, request.text.c_str(), resultName(answer));
    std::fflush(stderr);
    return answer;
}

void ConsoleDialogs::reportError(const std::string& text) {
    std::fprintf(stderr, "error: %s\n", text.c_str());
    std::fflush(stderr);
}

std::optional<std::string> ConsoleDialogs::openFile(const FileDialogRequest&) {
    return std::nullopt;
}
std::vector<std::string> ConsoleDialogs::openFiles(const FileDialogRequest&) {
    return {};
}
std::optional<std::string> ConsoleDialogs::saveFile(const FileDialogRequest&) {
    return std::nullopt;
}
std::optional<int> ConsoleDialogs::chooseFromList(const ListChoiceRequest&) {
    return std::nullopt;
}

void ScriptedDialogs::queueAnswer(MsgResult answer) {
    std::lock_guard lock(mutex_);
    answers_.push_back(answer);
}

void ScriptedDialogs::queueFile(std::optional<std::string> path) {
    std::lock_guard lock(mutex_);
    files_.push_back(std::move(path));
}

void ScriptedDialogs::queueFiles(std::vector<std::string> paths) {
    std::lock_guard lock(mutex_);
    fileLists_.push_back(std::move(paths));
}

void ScriptedDialogs::queueChoice(std::optional<int> index) {
    std::lock_guard lock(mutex_);
    choices_.push_back(index);
}

MsgResult ScriptedDialogs::messageBox(const MessageBoxRequest& request) {
    std::lock_guard lock(mutex_);
    MsgResult answer = defaultAnswer(request);
    if (!answers_.empty()) {
        answer = answers_.front();
        answers_.pop_front();
    }
    shown_.push_back({request, answer});
    return answer;
}

void ScriptedDialogs::reportError(const std::string& text) {
    std::lock_guard lock(mutex_);
    shown_.push_back({{text, "Error", MsgIcon::Error, MsgButtons::Ok}, MsgResult::Ok});
}

std::optional<std::string> ScriptedDialogs::nextFile(const FileDialogRequest& request) {
    std::lock_guard lock(mutex_);
    fileDialogs_.push_back(request);
    if (files_.empty()) return std::nullopt;
    auto path = std::move(files_.front());
    files_.pop_front();
    return path;
}

std::optional<std::string> ScriptedDialogs::openFile(const FileDialogRequest& r) {
    return nextFile(r);
}
std::vector<std::string> ScriptedDialogs::openFiles(const FileDialogRequest& request) {
    std::lock_guard lock(mutex_);
    fileDialogs_.push_back(request);
    if (fileLists_.empty()) return {};
    std::vector<std::string> paths = std::move(fileLists_.front());
    fileLists_.pop_front();
    return paths;
}
std::optional<std::string> ScriptedDialogs::saveFile(const FileDialogRequest& r) {
    return nextFile(r);
}

std::optional<int> ScriptedDialogs::chooseFromList(const ListChoiceRequest& r) {
    std::lock_guard lock(mutex_);
    listChoices_.push_back(r);
    if (choices_.empty()) return std::nullopt;
    const std::optional<int> index = choices_.front();
    choices_.pop_front();
    return index;
}

std::vector<ScriptedDialogs::Shown> ScriptedDialogs::shown() const {
    std::lock_guard lock(mutex_);
    return shown_;
}

std::vector<FileDialogRequest> ScriptedDialogs::fileDialogs() const {
    std::lock_guard lock(mutex_);
    return fileDialogs_;
}

std::vector<ListChoiceRequest> ScriptedDialogs::listChoices() const {
    std::lock_guard lock(mutex_);
    return listChoices_;
}

void ScriptedDialogs::clear() {
    std::lock_guard lock(mutex_);
    answers_.clear();
    files_.clear();
    fileLists_.clear();
    choices_.clear();
    shown_.clear();
    fileDialogs_.clear();
    listChoices_.clear();
}

ScopedDialogs::ScopedDialogs(Dialogs& d) : previous_(currentDialogs.load()) {
    setDialogs(&d);
}
ScopedDialogs::~ScopedDialogs() {
    setDialogs(previous_);
}

} // namespace ui
