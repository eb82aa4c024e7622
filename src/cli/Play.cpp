// tovamix-cli play: plays a media file to its end in the player window, as the player's Open
// and Play do (the same window, its own graph and components). Every graph event is printed as
// the player logs it, one line each, then a summary:
//   complete=<0|1> events=<n> seconds=<wall time> first_frame_ms=<Open to the first picture>
// --fast and --slow press the player's rate buttons (1.5 and 0.5) right after Open.
// Needs an X display.
#include "Cli.h"

#include "player/untPlay.h"

#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace cli {

namespace {

using namespace platform::dshow;

// How long the position may stand still before the playback counts as stalled.
constexpr long StallLimitMs = 10000;

struct PlayArgs {
    std::string file;
    bool fast = false;
    bool slow = false;
};

int play(const PlayArgs& a) {
    if (const int code = needDisplay("play")) return code;
    struct stat st;
    if (stat(a.file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return fail("cannot play " + a.file + ": no such file");
    application();

    player::TFrmPlay form;
    bool complete = false, aborted = false;
    int events = 0;
    const auto logEvent = form.FilterGraph1.OnDSEvent;
    form.FilterGraph1.OnDSEvent = [&](media::TFilterGraph* g, long event, intptr_t p1,
                                      intptr_t p2) {
        logEvent(g, event, p1, p2);
        ++events;
        std::printf("%s\n", media::GraphEventText(event).c_str());
        std::fflush(stdout);
        if (event == EC_ERRORABORT || event == EC_USERABORT) aborted = true;
    };
    const auto onComplete = form.FilterGraph1.OnGraphComplete;
    form.FilterGraph1.OnGraphComplete = [&](media::TFilterGraph* g, HRESULT h, FilterPtr r) {
        onComplete(g, h, r);
        complete = true;
    };
    form.show();

    QElapsedTimer clock;
    clock.start();
    try {
        form.OpenFile(a.file);
    } catch (const std::exception& e) {
        return fail("cannot play " + a.file + ": " + e.what());
    }
    if (a.fast) form.ActFast->trigger();
    if (a.slow) form.ActSlow->trigger();

    int64_t duration = 0;
    if (auto seeking = form.FilterGraph1.query<IMediaSeeking>()) seeking->GetDuration(&duration);
    const double rate = a.fast ? 1.5 : a.slow ? 0.5 : 1.0;
    // Time enough for the whole file at its rate, and for a slow start.
    const qint64 limit = qint64(double(duration) / 1e4 / rate * 1.5) + 20000;
    auto quality = queryInterface<IQualProp>(form.VideoWindow1->GetFilter());
    qint64 firstFrame = -1;
    // A stream that stops moving (a broken file the demuxer stalls on) ends the wait too.
    int64_t lastPosition = -1;
    qint64 movedAt = 0;
    bool stalled = false;
    runUntil([&] {
        if (firstFrame < 0 && quality) {
            int drawn = 0;
            if (quality->get_FramesDrawn(&drawn) == S_OK && drawn > 0) firstFrame = clock.elapsed();
        }
        // Only a position the graph knows counts; where it knows none, the time limit holds.
        int64_t position = -1;
        auto seeking = form.FilterGraph1.query<IMediaSeeking>();
        if (!seeking || seeking->GetCurrentPosition(&position) != S_OK ||
            position != lastPosition) {
            lastPosition = position;
            movedAt = clock.elapsed();
        }
        stalled = clock.elapsed() - movedAt > qint64(StallLimitMs);
        return complete || aborted || stalled || clock.elapsed() > limit;
    });
    const double seconds = double(clock.elapsed()) / 1000;
    if (!complete && !aborted && stalled)
        std::fprintf(stderr, "tovamix-cli: %s stopped moving at %s s for %lld s\n", a.file.c_str(),
                     secondsText(std::max<int64_t>(0, lastPosition)).c_str(),
                     static_cast<long long>(StallLimitMs / 1000));
    else if (!complete && !aborted)
        std::fprintf(stderr, "tovamix-cli: %s did not reach its end in %.0f s\n", a.file.c_str(),
                     double(limit) / 1000);
    form.close();
    std::printf("complete=%d events=%d seconds=%.3f first_frame_ms=%lld\n", complete ? 1 : 0,
                events, seconds, static_cast<long long>(firstFrame));
    return complete ? 0 : 1;
}

} // namespace

CLI::App* addPlay(CLI::App& app, Run& run) {
    auto args = std::make_shared<PlayArgs>();
    PlayArgs& p = *args;
    CLI::App* sub =
        app.add_subcommand("play", "Plays a media file to its end in the player window.");
    sub->footer("Prints every graph event as the player logs it, then\n"
                "complete=0|1 events=N seconds=S first_frame_ms=MS. Needs an X display.\n"
                "Exit codes: 0 played to the end, 1 failed or stopped short, 2 bad use.");
    auto* fast = sub->add_flag("--fast", p.fast, "Plays at the player's fast rate (1.5)");
    auto* slow = sub->add_flag("--slow", p.slow, "Plays at the player's slow rate (0.5)");
    fast->excludes(slow);
    sub->add_option("FILE", p.file, "The media file")->required()->type_name("");
    sub->callback([args, &run] { run = [args] { return play(*args); }; });
    return sub;
}

} // namespace cli
