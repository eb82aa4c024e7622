// What the merge, split and link subcommands share: SIGINT and SIGTERM turned into a stop, the
// progress lines on standard error, and the exit code of a job's result. Main thread.
#pragma once

#include "Cli.h"

#include "player/TimelineRender.h"
#include "tools/EditJobs.h"

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <exception>
#include <cstdio>
#include <memory>
#include <string>

namespace cli {

// Holds SIGINT and SIGTERM while it lives: they set stopRequested() instead of ending the
// program, and the job then stops as Link's Stop does.
class StopSignals {
  public:
    StopSignals() {
        flag().store(false);
        struct sigaction action {};
        action.sa_handler = [](int) { flag().store(true); };
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &int_);
        sigaction(SIGTERM, &action, &term_);
    }
    ~StopSignals() {
        sigaction(SIGINT, &int_, nullptr);
        sigaction(SIGTERM, &term_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    static bool stopRequested() { return flag().load(); }

  private:
    static std::atomic<bool>& flag() {
        static std::atomic<bool> f{false};
        return f;
    }
    struct sigaction int_ {
    }, term_{};
};

// Progress hooks for a job that waits in the render loop: "<verb> <percent>%" lines at most
// twice a second, Qt's events between waits, and a stop signal written into completionCode.
// (The loop itself stops a job that makes no progress; the job's result says so.)
inline player::TRenderHooks progressHooks(const char* verb, long& completionCode) {
    struct Shown {
        int percent = -1;
        std::chrono::steady_clock::time_point at{};
    };
    auto shown = std::make_shared<Shown>();
    player::TRenderHooks hooks;
    hooks.progress = [verb, shown](int64_t position, int64_t duration) {
        const int percent = player::progressValue(position, duration, 100);
        const auto now = std::chrono::steady_clock::now();
        if (percent != shown->percent && now - shown->at >= std::chrono::milliseconds(500)) {
            std::fprintf(stderr, "%s %d%%\n", verb, percent);
            shown->percent = percent;
            shown->at = now;
        }
    };
    hooks.processEvents = [&completionCode] {
        QCoreApplication::processEvents();
        if (StopSignals::stopRequested() && completionCode == 0) completionCode = 1;
    };
    return hooks;
}

// The exit code of a job that did not complete, its reason written: 2 for a refusal (nothing
// written), 1 for a failure or a stop.
inline int jobExit(const tools::JobResult& r, const std::string& job) {
    switch (r.outcome) {
    case tools::Outcome::Refused:
        return fail(r.error);
    case tools::Outcome::Failed:
        std::fprintf(stderr, "tovamix-cli: the %s failed: %s\n", job.c_str(), r.error.c_str());
        return 1;
    case tools::Outcome::Stopped:
        if (!r.error.empty())
            std::fprintf(stderr, "tovamix-cli: the %s stopped: %s\n", job.c_str(), r.error.c_str());
        else
            std::fprintf(stderr, "tovamix-cli: the %s was stopped; what was written is kept\n",
                         job.c_str());
        return 1;
    default:
        return 0;
    }
}

// Runs a job's call; an error raised on the way (a window would show it in the standard error
// box) is a failure with its text.
template <class F> tools::JobResult guarded(F&& f) {
    try {
        return f();
    } catch (const std::exception& e) {
        return {tools::Outcome::Failed, e.what()};
    }
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace cli
