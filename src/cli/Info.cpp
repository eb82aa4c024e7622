// tovamix-cli info: what the convert window shows about a media file, without the window.
//   Video Info / Media Major Type : Video / Duration : 00:10 / ... / Audio Info / ...
// one line each (the window's groups and labels), or with --json one object keyed by the
// record's field names. A missing file ("FILE NOT FOUND") or one that cannot be read as media
// ("ERROR") is shown all the same, and exits 1.
#include "Cli.h"
#include "tools/FileChecks.h"

#include "avi/MediaInfo.h"

#include <cstdio>
#include <memory>

namespace cli {

namespace {

struct InfoArgs {
    std::string file;
    bool json = false;
};

int info(const InfoArgs& a) {
    const avi::EnumVid record = avi::ReadMediaInfo(a.file);
    const std::string shown =
        a.json ? avi::MediaInfoJson(record) + "\n" : avi::MediaInfoText(record);
    std::fputs(shown.c_str(), stdout);
    std::fflush(stdout);
    if (record.VideoMajorType == avi::FileNotFoundText) {
        std::fprintf(stderr, "tovamix-cli: %s: %s\n", avi::FileNotFoundText, a.file.c_str());
        return 1;
    }
    if (const std::string why = tools::refuseUnreadable(a.file);
        !why.empty() && record.VideoMajorType == avi::ErrorText) {
        std::fprintf(stderr, "tovamix-cli: %s: %s\n", avi::ErrorText, why.c_str());
        return 1;
    }
    if (record.VideoMajorType == avi::ErrorText) {
        std::fprintf(stderr, "tovamix-cli: %s: %s cannot be read as media\n", avi::ErrorText,
                     a.file.c_str());
        return 1;
    }
    return 0;
}

} // namespace

CLI::App* addInfo(CLI::App& app, Run& run) {
    auto args = std::make_shared<InfoArgs>();
    CLI::App* sub = app.add_subcommand(
        "info", "Shows the codecs, sizes and rates of a media file's video and sound.");
    sub->footer("Exit code 1 when the file is missing (FILE NOT FOUND) or cannot be read as\n"
                "media (ERROR).");
    sub->add_flag("--json", args->json, "One JSON object keyed by field name");
    sub->add_option("FILE", args->file, "The media file")->required()->type_name("");
    sub->callback([args, &run] { run = [args] { return info(*args); }; });
    return sub;
}

} // namespace cli
