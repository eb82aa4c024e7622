#include "QtMessages.h"

#include <QString>
#include <QtGlobal>
#include <atomic>

namespace ui {

namespace {

std::atomic<QtMessageHandler> previousHandler{nullptr};

void handleMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg &&
        message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    if (QtMessageHandler previous = previousHandler.load()) previous(type, context, message);
}

} // namespace

void quietenQtRuntimeFolderWarning() {
    static const bool installed = [] {
        // Qt hands back its default handler when none was installed before.
        previousHandler.store(qInstallMessageHandler(handleMessage));
        return true;
    }();
    (void)installed;
}

} // namespace ui
