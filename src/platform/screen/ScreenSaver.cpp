#include "ScreenSaver.h"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

namespace platform::screen {

namespace {
int holds = 0;
Display* display = nullptr; // open while the screen saver is suspended
} // namespace

void holdScreenSaver(bool hold) {
    if (hold) {
        if (holds++ > 0) return;
        display = XOpenDisplay(nullptr);
        int event = 0, error = 0;
        if (display && XScreenSaverQueryExtension(display, &event, &error)) {
            XScreenSaverSuspend(display, True);
            XFlush(display);
        } else if (display) {
            XCloseDisplay(display);
            display = nullptr;
        }
        return;
    }
    if (holds == 0 || --holds > 0) return;
    if (display) {
        XScreenSaverSuspend(display, False);
        XCloseDisplay(display);
        display = nullptr;
    }
}

bool screenSaverSuspended() {
    return display != nullptr;
}

} // namespace platform::screen
