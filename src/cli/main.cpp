// tovamix-cli: the program's main jobs without windows, for scripts and batch work. This file
// only dispatches: each subcommand parses its own options and runs in its own file.
//
//   tovamix-cli record-screen [options] OUTPUT.avi
//   tovamix-cli devices
//   tovamix-cli grab-frame FILE --at SECONDS OUT.bmp
//   tovamix-cli view FILE [--seconds S] [--size WxH] [--full-screen] [--aspect MODE] [--zoom Z]
//                    [--colours B,C,H,S] [--screenshot OUT.png]
//   tovamix-cli cut INPUT --from S --to S OUTPUT.avi
//   tovamix-cli play [--fast|--slow] FILE
//   tovamix-cli snapshot FILE [--at SECONDS] OUTPUT.bmp|OUTPUT.jpg
//   tovamix-cli capture-video --device N|NAME [--format N|WxH@FPS] [--voice [--line NAME]]
//                             [--seconds S] OUT.avi
//   tovamix-cli capture-audio --device N|NAME [--line NAME] [--seconds S] OUT.avi
//   tovamix-cli merge --audio A --video V OUT.avi
//   tovamix-cli split IN --audio-out A.avi --video-out V.avi
//   tovamix-cli link A B OUT.avi
//   tovamix-cli images PIC... --frame-ms N --size WxH [--no-stretch] [--bits 1|4|8|24|32] OUT.avi
//   tovamix-cli info [--json] FILE
//   tovamix-cli convert IN [--size WxH] OUT.avi
//   tovamix-cli dvd-info PATH
//   tovamix-cli dvd-play PATH [--title N] [--chapter N] [--seconds S] [--fast-forward S]
//                        [--save-bookmark FILE] [--restore-bookmark FILE]
//   tovamix-cli recover [--voice] OUTPUT.avi
//   tovamix-cli SUBCOMMAND --help
//
// Exit codes: 0 done, 1 the job failed on the way (the reason is on standard error),
// 2 a bad use (the reason and the usage are on standard error).
#include "Cli.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    CLI::App app("Tovamix: records the screen and works with media files without windows.",
                 "tovamix-cli");
    cli::Run run;
    cli::addRecordScreen(app, run);
    cli::addDevices(app, run);
    cli::addGrabFrame(app, run);
    cli::addView(app, run);
    cli::addCut(app, run);
    cli::addPlay(app, run);
    cli::addSnapshot(app, run);
    cli::addCaptureVideo(app, run);
    cli::addCaptureAudio(app, run);
    cli::addMerge(app, run);
    cli::addSplit(app, run);
    cli::addLink(app, run);
    cli::addImages(app, run);
    cli::addInfo(app, run);
    cli::addConvert(app, run);
    cli::addDvdInfo(app, run);
    cli::addDvdPlay(app, run);
    cli::addRecover(app, run);
    // A first word that names no subcommand is told as an unknown command, below.
    app.allow_extras();
    app.require_subcommand(0, 1);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e); // --help: the usage on standard output
        std::fprintf(stderr, "tovamix-cli: %s\n", e.what());
        // The usage of the subcommand that was chosen, else the program's.
        std::fputs(app.help().c_str(), stderr);
        return cli::ExitBadUse;
    }
    const std::vector<std::string> extras = app.remaining();
    if (!extras.empty())
        return cli::fail("unknown command \"" + extras.front() + "\" (try --help)");
    if (run) return run();
    std::fputs(app.help().c_str(), stderr);
    return cli::ExitBadUse;
}
