// The application's standard error box and the handler wrappers that lead every escaping
// error to it. Handlers are connected through guarded(), so an exception never crosses Qt's
// event loop; TApplication::notify() catches whatever slips past a handler all the same.
// User-interface thread only.
#pragma once

#include <QApplication>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

namespace ui {

// An error whose text is meant for the user as it stands: wrapped actions let it through
// unchanged instead of replacing it.
class EUserMessage : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Shows the standard error box: the error's text, the application's title as caption, the
// error icon and an OK button.
void showException(const std::exception& e);
void showErrorText(const std::string& text);

// Runs fn; an error escaping it goes to the standard error box.
void runGuarded(const std::function<void()>& fn);
template <class F> auto guarded(F fn) {
    return [fn = std::move(fn)](auto&&...) { runGuarded(fn); };
}

// Runs fn; any error escaping it, except an EUserMessage, is replaced by one with
// replacementText.
void runWrapped(const std::function<void()>& fn, const std::string& replacementText);

class TApplication : public QApplication {
  public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

} // namespace ui
