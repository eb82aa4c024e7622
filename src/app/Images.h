// The program's pictures, drawn at start-up: the 24 x 24 tool-bar images and the tray icon's
// image list (a screen with a recording dot that pulses when cycled). User-interface thread.
#pragma once

#include <QIcon>
#include <QList>

namespace app {

QIcon playImage();
QIcon captureVideoImage();
QIcon recordScreenImage();
QIcon exitImage();
QList<QIcon> trayImages();

} // namespace app
