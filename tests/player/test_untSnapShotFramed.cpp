// The snapshot window under a window manager that runs before the application starts, as on
// a desktop: the application learns from the start how the manager tells a window's frame.
#include "player/untSnapShot.h"
#include "support/QtEnvironment.h"

#include <QWidget>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

using namespace player;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {
auto* env = ::testing::AddGlobalTestEnvironment(
    new QtEnvironment("1280x1024x24", QtEnvironment::WithWindowManager));
} // namespace

namespace {
// The size of the window the manager framed a window in (its parent), as the X server has it:
// what the user sees. Qt's own idea of the frame is read once and can be taken while the
// manager's frame is still being made (1 x 1), so the server is asked.
QSize managerFrame(WId window) {
    const std::string tree = run("xwininfo -tree -id " + std::to_string(window)).out;
    const auto at = tree.find("Parent window id: ");
    if (at == std::string::npos) return {};
    const std::string parent = tree.substr(at + 18, tree.find(' ', at + 18) - at - 18);
    const std::string info = run("xwininfo -id " + parent).out;
    auto field = [&](const std::string& name) {
        const auto f = info.find(name);
        return f == std::string::npos ? 0 : std::atoi(info.c_str() + f + name.size());
    };
    return {field("Width: "), field("Height: ")};
}

// Under a window manager the frame is known only after the first show: the window still gets
// the size that follows the video window (312 x 277 outside), not the form's own 404 x 333.
// Where Qt does not learn the manager's frame (openbox started before the application tells
// Qt no frame extents), the client keeps 312 x 277 and the frame lies around it; either way
// the manager's frame is within a border and a title bar of 312 x 277.
TEST(SnapshotFramed, TheOuterSizeFollowsTheVideoWindow) {
    QWidget video;
    video.resize(300, 200);
    TFrmSnapShot form({&video, nullptr});
    form.show();
    QSize frame;
    ASSERT_TRUE(waitFor(
        [&] {
            frame = managerFrame(form.winId());
            const QSize client = form.size();
            return client.width() <= 312 && client.height() <= 277 && frame.width() >= 312 &&
                   frame.width() <= 312 + 12 && frame.height() >= 277 &&
                   frame.height() <= 277 + 40 && frame.height() > client.height();
        },
        10s))
        << "frame " << frame.width() << "x" << frame.height() << ", client " << form.width() << "x"
        << form.height() << "; its window's parents:\n"
        << run("xwininfo -tree -id " + std::to_string(form.winId())).out
        << "the manager: " << run("xprop -root _NET_SUPPORTING_WM_CHECK").out;
    EXPECT_TRUE(form.picture().isNull());
}
} // namespace
