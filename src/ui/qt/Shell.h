// Opening a web address with the desktop's default handler. Tests put an opener of their
// own in place. User-interface thread only.
#pragma once

#include <QString>
#include <functional>

namespace ui {

// Opens url; returns false when no handler took it.
bool openUrl(const QString& url);
// Replaces the opener (null restores QDesktopServices::openUrl).
void setUrlOpener(std::function<bool(const QString&)> opener);

} // namespace ui
