// A system-wide hot key: a passive grab of a key with modifiers on the X root window, over a
// connection of its own, so the key reaches us whichever window has the focus. A grab that
// the server refuses because another client holds the same key means the key is taken (a
// second copy of the program, for instance).
//
// User-interface thread only: presses are read through a QSocketNotifier on the connection
// and reported by the activated() signal.
#pragma once

#include <QObject>
#include <memory>
#include <string>

class QSocketNotifier;

namespace platform::shell {

class GlobalHotKey : public QObject {
    Q_OBJECT
  public:
    enum class Result { Registered, Taken, Failed };

    // Grabs Control + the key of `keysym` (an X keysym, 'a' for the A key) on the root window of
    // $DISPLAY, whatever the state of Caps Lock and Num Lock. On Taken or Failed the object holds
    // no grab and `error` says why.
    GlobalHotKey(unsigned keysym, Result& result, std::string* error = nullptr,
                 QObject* parent = nullptr);
    ~GlobalHotKey() override;

  signals:
    void activated();

  private:
    void readEvents();
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace platform::shell
