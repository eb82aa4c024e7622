#include "Cli.h"

#include "platform/screen/Screen.h"
#include "ui/UiThread.h"
#include "ui/qt/QtMessages.h"

#include <QApplication>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <memory>

namespace cli {

double parseSeconds(const std::string& v, const std::string& option) {
    char* end = nullptr;
    const double s = std::strtod(v.c_str(), &end);
    if (v.empty() || *end || !std::isfinite(s) || s < 0 || s > 1e9)
        throw CLI::ValidationError(option + " needs a number of seconds from 0, not \"" + v + "\"");
    return s;
}

std::string secondsText(int64_t units) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", double(units) / 1e7);
    return text;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "tovamix-cli: %s\n", message.c_str());
    return ExitBadUse;
}

int needDisplay(const std::string& job) {
    if (!std::getenv("DISPLAY")) return fail(job + " needs an X display ($DISPLAY is not set)");
    // The probe stays connected: a server whose last client leaves resets, and refuses the
    // toolkit's connection that follows meanwhile.
    static std::unique_ptr<platform::screen::ScreenConnection> probe;
    std::string why;
    if (!probe) probe = platform::screen::ScreenConnection::open(&why);
    if (!probe) return fail(job + " needs an X display: " + why);
    return 0;
}

QApplication* application() {
    static int argc = 1;
    static char name[] = "tovamix-cli";
    static char* argv[] = {name, nullptr};
    ui::quietenQtRuntimeFolderWarning();
    static QApplication* app = new QApplication(argc, argv);
    return app;
}

bool readBack(const std::string& path, platform::vfw::AviSummary* summary) {
    std::string why;
    if (platform::vfw::readAviSummary(path, summary, &why)) return true;
    std::fprintf(stderr, "tovamix-cli: cannot read %s back: %s\n", path.c_str(), why.c_str());
    return false;
}

std::unique_ptr<QCoreApplication> coreApplication() {
    if (QCoreApplication::instance()) return nullptr;
    static int argc = 1;
    static char name[] = "tovamix-cli";
    static char* argv[] = {name, nullptr};
    return std::make_unique<QCoreApplication>(argc, argv);
}

void runUntil(const std::function<bool()>& done) {
    auto& queue = ui::defaultEventQueue();
    while (!done()) {
        queue.processPending();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (!done()) queue.runUntil(done, std::chrono::milliseconds(10));
    }
}

std::string resultText(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out;
}

} // namespace cli
