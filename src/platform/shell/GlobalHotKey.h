// A system-wide hot key: a passive grab of a key with modifiers on the X root window, over a
// connection of its own, so the key reaches us whichever window has the focus. A grab that
// the server refuses because another client holds the same key means the key is taken (a
// second copy of the program, for instance).
//
// The grab is synchronous: each press freezes the keyboard until it is decided on. While the
// key is consumed (setConsuming(true)) the press is ours and activated() is raised; otherwise
// it is replayed to the window that has the focus, as if the grab were not there (so Ctrl+A is
// "select all" everywhere else while nothing is to be stopped). The decision is taken on a
// thread of the object's own from an atomic flag, never waiting on the user-interface thread:
// a frozen keyboard would be worse than a lost key.
//
// Construction, setConsuming() and destruction on the user-interface thread; activated() is
// raised there (queued from the decision thread).
#pragma once

#include <QObject>
#include <memory>
#include <string>

namespace platform::shell {

class GlobalHotKey : public QObject {
    Q_OBJECT
  public:
    enum class Result { Registered, Taken, Failed };

    // Grabs Control + the key of `keysym` (an X keysym, 'a' for the A key) on the root window of
    // $DISPLAY, whatever the state of Caps Lock and Num Lock. On Taken or Failed the object holds
    // no grab and `error` says why. Presses are replayed until setConsuming(true).
    GlobalHotKey(unsigned keysym, Result& result, std::string* error = nullptr,
                 QObject* parent = nullptr);
    ~GlobalHotKey() override;

    // Whether a press is taken (and activated() raised) or passed on to the focused window.
    void setConsuming(bool consume);
    bool consuming() const;

  signals:
    void activated();

  private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace platform::shell
