// Program start: the application object titled "Tovamix", the Qt implementations of the
// user-interface seams, the main window, the message loop. The program reads no arguments.
#include "ui/qt/QtDialogs.h"
#include "untMain.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Tovamix");
    QApplication::setApplicationDisplayName("Tovamix");
    ui::QtDialogs dialogs;
    ui::QtUiThread uiThread;
    ui::setDialogs(&dialogs);
    ui::setUiThread(&uiThread);

    app::TFrmMain window;
    window.show();
    const int rc = app.exec();
    ui::setUiThread(nullptr);
    ui::setDialogs(nullptr);
    return rc;
}
