// The snapshot window under a window manager that runs before the application starts, as on
// a desktop: the application learns from the start how the manager tells a window's frame.
#include "player/untSnapShot.h"
#include "support/QtEnvironment.h"

#include <QWidget>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

using namespace player;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {
auto* env = ::testing::AddGlobalTestEnvironment(
    new QtEnvironment("1280x1024x24", QtEnvironment::WithWindowManager));
} // namespace

namespace {
// Under a window manager the frame is known only after the first show: the window still gets
// the size that follows the video window, not the form's own 404 x 333.
TEST(SnapshotFramed, TheOuterSizeFollowsTheVideoWindow) {
    QWidget video;
    video.resize(300, 200);
    TFrmSnapShot form({&video, nullptr});
    form.show();
    ASSERT_TRUE(waitFor(
        [&] {
            return form.frameGeometry().size() == QSize(312, 277) &&
                   form.frameGeometry().height() > form.height();
        },
        10s))
        << form.frameGeometry().width() << "x" << form.frameGeometry().height() << ", client "
        << form.width() << "x" << form.height() << "; its window's parents:\n"
        << run("xwininfo -tree -id " + std::to_string(form.winId())).out
        << "the manager: " << run("xprop -root _NET_SUPPORTING_WM_CHECK").out;
    EXPECT_TRUE(form.picture().isNull());
}
} // namespace
