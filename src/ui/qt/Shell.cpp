#include "Shell.h"

#include <QDesktopServices>
#include <QUrl>

namespace ui {

namespace {
std::function<bool(const QString&)>& opener() {
    static std::function<bool(const QString&)> current;
    return current;
}
} // namespace

bool openUrl(const QString& url) {
    if (opener()) return opener()(url);
    return QDesktopServices::openUrl(QUrl(url));
}

void setUrlOpener(std::function<bool(const QString&)> o) {
    opener() = std::move(o);
}

} // namespace ui
