// Program start: the application object titled "Tovamix", the Qt implementations of the
// user-interface seams, the main window, the message loop. The program reads no arguments.
// A second copy finds Ctrl+A taken and ends at once, silently, before any window shows.
#include "ui/qt/ErrorBox.h"
#include "ui/qt/QtDialogs.h"
#include "ui/qt/QtMessages.h"
#include "ProgramWindows.h"
#include "recorder/untRecordScreen.h"
#include "untMain.h"

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// SIGTERM (a logout, a shutdown), SIGINT and SIGHUP end the program as its Exit does: a running
// recording is stopped and its temporary files finished (and named on standard error) rather
// than left cut off. The handler only writes a byte into a pipe; the main window is closed on
// the user-interface thread when the pipe is read.
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    const int saved = errno;
    if (write(signalPipe[1], &byte, 1) < 0) {
        // Full pipe: a close is already on its way.
    }
    errno = saved;
}

void closeOnTerminationSignals(QWidget* window) {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char bytes[16];
        while (read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        std::fprintf(stderr, "tovamix: ending on a signal\n");
        window->close();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &action, nullptr);
}

} // namespace

int main(int argc, char** argv) {
    ui::quietenQtRuntimeFolderWarning();
    ui::TApplication app(argc, argv);
    ui::TApplication::setApplicationName("Tovamix");
    // The program ends when the main window closes, not when the last visible window does:
    // while recording, every window of ours may be in the tray.
    ui::TApplication::setQuitOnLastWindowClosed(false);
    ui::QtDialogs dialogs;
    ui::QtUiThread uiThread;
    ui::setDialogs(&dialogs);
    ui::setUiThread(&uiThread);

    int rc = 0;
    {
        app::TFrmMain* main = nullptr;
        app::ProgramWindows windows(main);
        app::TFrmMain window(windows.tools());
        main = &window;
        if (window.hotKeyTaken()) return 0;
        closeOnTerminationSignals(&window);
        window.show();
        // A recording the last run could not save is offered once the window is up.
        QTimer::singleShot(0, &window, [] { recorder::offerRecovery(); });
        rc = app.exec();
    }
    ui::setUiThread(nullptr);
    ui::setDialogs(nullptr);
    return rc;
}
