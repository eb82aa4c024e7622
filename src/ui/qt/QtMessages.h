// Qt's messages on standard error, less one that tells the user nothing. Called by main()
// (and the command-line tool) before the application object is made, on the main thread.
//
// Making a QGuiApplication, Qt looks for a Wayland display's socket in the runtime folder
// (QStandardPaths::RuntimeLocation). Where XDG_RUNTIME_DIR is unset (a plain shell, su, CI, a
// cron job) it then warns "XDG_RUNTIME_DIR not set", makes $TMPDIR/runtime-<user> (mode 0700,
// owner checked) and looks there. Nothing is wrong: without a runtime folder there is no
// Wayland session, and the X11 display is used. The variable is not set for Qt instead: the
// sound server's client finds its socket through the same variable, and a runtime folder of
// ours would hide the sound server from it.
#pragma once

namespace ui {

// Installs a Qt message handler that drops the warning above and passes every other message
// (among them Qt's warnings about a runtime folder it cannot use) to the handler before it.
// Once only; later calls do nothing. The handler itself is thread-safe.
void quietenQtRuntimeFolderWarning();

} // namespace ui
