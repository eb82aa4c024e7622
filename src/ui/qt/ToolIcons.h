// The pictures of the recording windows' tool bars (record, stop, snapshot, options, close),
// drawn at start-up: 24 x 24 on a transparent ground. The Record Screen window and the capture
// windows show the same picture for the same command. User-interface thread only.
#pragma once

#include <QIcon>
#include <functional>

class QPainter;

namespace ui {

// A 24 x 24 antialiased picture drawn by draw on a transparent ground.
QIcon drawnIcon(const std::function<void(QPainter&)>& draw);

QIcon recordIcon();
QIcon stopIcon();
QIcon snapshotIcon();
QIcon optionIcon();
QIcon closeIcon();

} // namespace ui
