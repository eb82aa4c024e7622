// tovamix-cli dvd-play: plays a DVD-Video volume without windows through the DVD player's
// graph component, then prints where it is:
//   title=N chapter=C time=H:MM:SS disc=<32 hexadecimal digits>
// In order: the volume is rendered and played; --restore-bookmark resumes a saved place;
// --title (and --chapter) jump there; --fast-forward S runs 8x for S seconds; --seconds S
// plays on; --save-bookmark saves the place reached. A menu prints title=0 chapter=0.
// Exit codes: 0 done, 1 a failure on the way (a refused bookmark: its error), 2 bad use, a
// path that is no DVD-Video volume, or a damaged one ("The DVD is damaged: ...").
#include "Cli.h"

#include "media/TFilterGraph.h"
#include "platform/dshow/dvd/DvdVolume.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

namespace cli {

namespace {

using namespace platform::dshow;

struct DvdPlayArgs {
    std::string path;
    int title = 0;
    int chapter = 0;
    double seconds = 0;
    double fastForward = 0;
    std::string saveBookmark;
    std::string restoreBookmark;
};

// Plays on for a while, with the graph's events delivered.
void playFor(double seconds) {
    QElapsedTimer clock;
    clock.start();
    runUntil([&] { return double(clock.elapsed()) >= seconds * 1000; });
}

// Waits (up to 10 s) until the navigator is in the title.
bool waitForTitle(media::TFilterGraph& graph, int title) {
    QElapsedTimer clock;
    clock.start();
    bool there = false;
    runUntil([&] {
        DVD_PLAYBACK_LOCATION2 where;
        auto info = graph.query<IDvdInfo2>();
        there = info && info->GetCurrentLocation(&where) == S_OK && int(where.TitleNum) == title;
        return there || clock.elapsed() > 10000;
    });
    return there;
}

// libdvdnav (inside rsndvdbin) writes its notices (no CSS library, region mask) to standard
// output; while this lives they go to standard error, so standard output carries only the
// result line.
class NoticesToStandardError {
  public:
    NoticesToStandardError() {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        if (saved_ >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    ~NoticesToStandardError() {
        std::fflush(stdout);
        if (saved_ < 0) return;
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    NoticesToStandardError(const NoticesToStandardError&) = delete;
    NoticesToStandardError& operator=(const NoticesToStandardError&) = delete;

  private:
    int saved_ = -1;
};

int failed(const std::string& message) {
    std::fprintf(stderr, "tovamix-cli: %s\n", message.c_str());
    return 1;
}

// Renders and plays, then takes the steps asked for; *result is the line to print.
int play(const DvdPlayArgs& a, const std::string& volume, std::string* result) {
    media::TFilterGraph graph;
    graph.setMode(media::gmDVD);
    graph.setActive(true);
    try {
        AM_DVD_RENDERSTATUS status;
        const HRESULT h = graph.RenderDvd(&status, volume, AM_DVD_HWDEC_PREFER);
        if (h != S_OK) {
            if (h == S_FALSE && status.bDvdVolInvalid)
                return fail(status.damage.empty() ? a.path + " is no DVD-Video volume"
                                                  : "The DVD is damaged: " + status.damage);
            return failed("cannot play " + a.path + ": " + media::GraphErrorText(h) +
                          (h == S_FALSE ? " (" + std::to_string(status.iNumStreamsFailed) +
                                              " stream(s) failed)"
                                        : ""));
        }
        graph.Play();
        auto control = graph.query<IDvdControl2>();
        if (!control) return failed("the DVD graph has no navigator");
        if (!a.restoreBookmark.empty()) graph.DvdRestoreBookmark(a.restoreBookmark);
        if (a.title > 0) {
            DvdCmdPtr cmd;
            const HRESULT t =
                a.chapter > 1
                    ? control->PlayChapterInTitle(unsigned(a.title), unsigned(a.chapter), 0, &cmd)
                    : control->PlayTitle(unsigned(a.title), 0, &cmd);
            media::CheckGraphResult(t);
            if (cmd) media::CheckGraphResult(cmd->WaitForEnd());
            if (!waitForTitle(graph, a.title))
                return failed("title " + std::to_string(a.title) + " did not start");
        }
        if (a.fastForward > 0) {
            media::CheckGraphResult(control->PlayForwards(8.0, 0, nullptr));
            playFor(a.fastForward);
            control->PlayForwards(1.0, 0, nullptr);
        }
        playFor(a.seconds);
        if (!a.saveBookmark.empty()) graph.DvdSaveBookmark(a.saveBookmark);

        DVD_PLAYBACK_LOCATION2 where;
        auto info = graph.query<IDvdInfo2>();
        if (!info || info->GetCurrentLocation(&where) != S_OK) where = {};
        DvdDiscId disc{};
        readDvdDiscId(volume, &disc);
        char line[160];
        std::snprintf(line, sizeof line, "title=%lu chapter=%lu time=%d:%02d:%02d disc=%s\n",
                      where.TitleNum, where.ChapterNum, where.TimeCode.bHours,
                      where.TimeCode.bMinutes, where.TimeCode.bSeconds, discIdText(disc).c_str());
        *result = line;
    } catch (const std::exception& e) {
        return failed(e.what());
    }
    graph.setActive(false);
    return 0;
}

int dvdPlay(const DvdPlayArgs& a) {
    std::string reason;
    const std::string volume = findDvdVolume(a.path, &reason);
    if (volume.empty()) return fail(a.path + " is no DVD-Video volume: " + reason);
    const auto app = coreApplication();
    std::string result;
    {
        NoticesToStandardError quiet;
        if (const int code = play(a, volume, &result)) return code;
    }
    std::fputs(result.c_str(), stdout);
    std::fflush(stdout);
    return 0;
}

} // namespace

CLI::App* addDvdPlay(CLI::App& app, Run& run) {
    auto args = std::make_shared<DvdPlayArgs>();
    DvdPlayArgs& a = *args;
    CLI::App* sub = app.add_subcommand("dvd-play", "Plays a DVD-Video volume without windows.");
    sub->footer("Prints title=N chapter=C time=H:MM:SS disc=ID where playback got to.\n"
                "Exit codes: 0 done, 1 failed (a refused bookmark), 2 bad use, no DVD-Video "
                "volume or a damaged one.");
    sub->add_option("PATH", a.path, "VIDEO_TS.IFO, a DVD folder, an image or a drive")
        ->required()
        ->type_name("");
    sub->add_option("--title", a.title, "Play this title")
        ->check(CLI::Range(1, 99))
        ->type_name("N");
    sub->add_option("--chapter", a.chapter, "From this chapter of --title")
        ->check(CLI::Range(1, 999))
        ->type_name("N");
    sub->add_option_function<std::string>(
           "--seconds", [&a](const std::string& v) { a.seconds = parseSeconds(v, "--seconds"); },
           "Play on for S seconds")
        ->type_name("S");
    sub->add_option_function<std::string>(
           "--fast-forward",
           [&a](const std::string& v) { a.fastForward = parseSeconds(v, "--fast-forward"); },
           "Run 8x for S seconds")
        ->type_name("S");
    sub->add_option("--save-bookmark", a.saveBookmark, "Save the place reached to FILE")
        ->type_name("FILE");
    sub->add_option("--restore-bookmark", a.restoreBookmark, "Resume the place saved in FILE")
        ->type_name("FILE");
    sub->callback([args, &run] {
        if (args->chapter > 0 && args->title == 0)
            throw CLI::ValidationError("--chapter needs --title");
        run = [args] { return dvdPlay(*args); };
    });
    return sub;
}

} // namespace cli
