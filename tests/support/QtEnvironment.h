// A private Xvfb and one application object for a whole test program (each CTest case runs
// in its own process, so each gets its own X server, and key grabs never meet). Also a helper
// that runs the event loop for a while.
#pragma once

#include "TestSupport.h"
#include "ui/qt/ErrorBox.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <cstdlib>
#include <memory>
#include <thread>

namespace testsupport {

class QtEnvironment : public ::testing::Environment {
  public:
    // WithWindowManager starts openbox on the Xvfb before the application object, as a desktop
    // has its manager before any program: the application then knows from its start how the
    // manager tells a window's frame.
    enum Manager { NoWindowManager, WithWindowManager };
    explicit QtEnvironment(std::string geometry, Manager manager = NoWindowManager)
        : geometry_(std::move(geometry)), manager_(manager) {}
    void SetUp() override {
        xvfb = std::make_unique<Xvfb>(geometry_);
        ASSERT_TRUE(xvfb->ok());
        setenv("DISPLAY", xvfb->display().c_str(), 1);
        if (manager_ == WithWindowManager) {
            wm = std::make_unique<WindowManager>();
            ASSERT_TRUE(wm->ok()) << "openbox did not start";
        }
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        static int argc = 1;
        static char name[] = "tovamix-test";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<ui::TApplication>(argc, argv);
        ui::TApplication::setApplicationName("Tovamix");
    }
    void TearDown() override {
        app.reset();
        wm.reset();
        xvfb.reset();
    }
    std::unique_ptr<Xvfb> xvfb;
    std::unique_ptr<WindowManager> wm;
    std::unique_ptr<ui::TApplication> app;

  private:
    std::string geometry_;
    Manager manager_;
};

// Runs the event loop for about ms milliseconds (stretched by timeScale() in sanitized runs).
inline void pump(int ms) {
    const auto end = std::chrono::steady_clock::now() + scaled(std::chrono::milliseconds(ms));
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Runs the event loop for ms milliseconds of the clock, never stretched: how long a recording
// runs, which its length is then checked against.
inline void runFor(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Runs the event loop until pred() holds or the timeout (stretched by timeScale() in sanitized
// runs) passes; returns pred().
inline bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    // pred() is asked once per round and its last answer returned: a condition that holds
    // only for a moment (a picture between two repaints) must not pass and then fail.
    const auto end = std::chrono::steady_clock::now() + scaled(timeout);
    bool holds = pred();
    while (!holds && std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        holds = pred();
    }
    return holds;
}

} // namespace testsupport
