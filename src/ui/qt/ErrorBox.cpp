#include "ErrorBox.h"

#include "ui/Dialogs.h"

namespace ui {

void showErrorText(const std::string& text) {
    const QString title =
        QCoreApplication::instance() ? QApplication::applicationName() : QString();
    messageBox(text, title.isEmpty() ? "Error" : title.toStdString(), MsgIcon::Error,
               MsgButtons::Ok);
}

void showException(const std::exception& e) {
    showErrorText(e.what());
}

void runGuarded(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        showException(e);
    } catch (...) {
        showErrorText("An unknown error occurred.");
    }
}

void runWrapped(const std::function<void()>& fn, const std::string& replacementText) {
    try {
        fn();
    } catch (const EUserMessage&) {
        throw;
    } catch (...) {
        throw std::runtime_error(replacementText);
    }
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        showException(e);
    } catch (...) {
        showErrorText("An unknown error occurred.");
    }
    return false;
}

} // namespace ui
