// A top-level window's outer size, title bar and borders included, as the forms give it. The
// client area is the outer size less the frame the window manager draws; that frame is known
// only once the window manager has framed the window, so the client size is set again then.
// Without a window manager there is no frame and the two sizes are the same.
// User-interface thread only.
#pragma once

#include <QRect>
#include <QSize>

class QScreen;
class QToolBar;
class QWidget;

namespace ui {

// Gives window the outer size now and keeps it as the frame becomes known. With fixed the
// window cannot be resized by the user (its client size is fixed at outer less the frame).
// Called again on the same window, the new size replaces the one kept.
void keepOuterSize(QWidget* window, QSize outer, bool fixed = false);
// The same, and the frame's top-left corner at outer's: the window is placed again when the
// frame becomes known, so that the frame (not the client area) lands there.
void keepOuterGeometry(QWidget* window, const QRect& outer, bool fixed = false);

// The outer size of a window that shows a video: the video's own size plus chrome (everything
// of the outer size that is not the video area: borders, bars, panels, the frame), as long as
// that fits in available; beyond it the video area is scaled down, keeping its aspect, until
// the whole window does. The video area never goes below one pixel; chrome larger than the
// screen is the caller's to avoid.
QSize fitVideoWindow(QSize video, QSize chrome, QSize available);

// A rectangle of the given outer size centred on available; one larger than available keeps
// its top-left corner (title bar, tool bar) on it.
QRect centredOn(QSize outer, const QRect& available);

// Moves a window of the given outer size by as little as it takes to lie wholly on its
// screen's available geometry (its top-left corner first where it is larger).
void keepOnScreen(QWidget* window, QSize outer);

// The part of the screen windows may use (the desktop less the panels): the window's screen,
// else the primary one; empty without a screen.
QRect availableGeometryFor(const QWidget* window);

// Keeps every action of a tool bar on it: when the bar is narrower than its buttons at their
// icon size, the icons shrink (down to 16 pixels), and the bar never gets narrower than its
// buttons at 16 pixels, so nothing folds into an overflow menu. Its window's minimum width
// follows through the layout.
void keepActionsVisible(QToolBar* bar);

} // namespace ui
