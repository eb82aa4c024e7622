// Looking at the screen in tests of windows that show video: the root window as an image,
// screenshots kept for a person to look at, the colours the tests look for, and the X
// top-level windows that belong to no widget of the test program.
#pragma once

#include "TestSupport.h"

#include <QApplication>
#include <QImage>
#include <QScreen>
#include <QString>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

namespace testsupport {

inline QImage screenshot() {
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage();
}

// Keeps a screenshot as TOVAMIX_SHOTS/name.png when that folder is given.
inline void keepShot(const char* name) {
    if (const char* dir = std::getenv("TOVAMIX_SHOTS"))
        screenshot().save(QString("%1/%2.png").arg(dir, name));
}

inline bool isRed(QRgb c) {
    return qRed(c) > 200 && qGreen(c) < 60 && qBlue(c) < 60;
}

// The direct children of the root window that belong to no top-level widget of this program:
// a renderer that opened a window of its own would show here.
inline std::set<std::string> foreignTopLevelWindows() {
    std::set<std::string> ours;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->internalWinId()) {
            char id[32];
            std::snprintf(id, sizeof id, "0x%llx", static_cast<unsigned long long>(w->winId()));
            ours.insert(id);
        }
    std::set<std::string> out;
    std::istringstream lines(run("xwininfo -root -children").out);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("     0x") != 0) continue;
        const std::string id = line.substr(5, line.find(' ', 5) - 5);
        if (!ours.count(id)) out.insert(id);
    }
    return out;
}

} // namespace testsupport
