// A top-level window's outer size, title bar and borders included, as the forms give it. The
// client area is the outer size less the frame the window manager draws; that frame is known
// only once the window manager has framed the window, so the client size is set again then.
// Without a window manager there is no frame and the two sizes are the same.
// User-interface thread only.
#pragma once

#include <QSize>

class QWidget;

namespace ui {

// Gives window the outer size now and keeps it as the frame becomes known. With fixed the
// window cannot be resized by the user (its client size is fixed at outer less the frame).
// Called again on the same window, the new size replaces the one kept.
void keepOuterSize(QWidget* window, QSize outer, bool fixed = false);

} // namespace ui
