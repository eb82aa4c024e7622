// Top-level windows that belong to another window without being its children: a form that
// outlives the window that shows it (the DVD player's colour controls), or one a widget moves
// into and out of (a video window's full-screen form). A window made without a parent is no
// part of any window's family: under a modal window (a window the program runs with exec())
// Qt gives it no input, and the window manager may stack it below. User-interface thread only.
#pragma once

class QWidget;

namespace ui {

// Makes the top-level `window` transient for the window that holds `owner`: a modal owner
// then lets it take input, and the window manager keeps it above the owner. Called after the
// window's flags are set (setting them makes a new native window) and before it is shown.
void joinModalFamily(QWidget* window, QWidget* owner);

} // namespace ui
