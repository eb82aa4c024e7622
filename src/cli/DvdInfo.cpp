// tovamix-cli dvd-info: what a DVD-Video volume holds, read from its IFO files. One line per
// title, then a summary:
//   title=N chapters=C duration=S.sss starts=0.000,10.000,... audio=ac3:2ch:en,... subtitles=en,...
//   titles=T chapters=C duration=S.sss disc=<32 hexadecimal digits>
// PATH is a VIDEO_TS.IFO file, a folder holding (or being) VIDEO_TS, an image or a drive.
// Exit 2 for a bad use or a path that is no DVD-Video volume.
#include "Cli.h"

#include "platform/dshow/dvd/DvdVolume.h"

#include <cstdio>
#include <memory>
#include <string>

namespace cli {

namespace {

using namespace platform::dshow;

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", s);
    return text;
}

int dvdInfo(const std::string& path) {
    std::string reason;
    const std::string volume = findDvdVolume(path, &reason);
    if (volume.empty()) return fail(path + " is no DVD-Video volume: " + reason);
    DvdVolumeInfo info;
    std::string error;
    if (!readDvdVolume(volume, &info, &error)) return fail("The DVD is damaged: " + error);
    size_t chapters = 0;
    double duration = 0;
    for (const DvdTitleInfo& t : info.titles) {
        std::string starts, audio, subtitles;
        for (double s : t.chapterStarts)
            starts += (starts.empty() ? "" : ",") + seconds(s);
        for (const DvdAudioInfo& a : t.audio)
            audio += (audio.empty() ? "" : ",") + a.format + ":" + std::to_string(a.channels) +
                     "ch:" + a.language;
        for (const std::string& s : t.subtitles)
            subtitles += (subtitles.empty() ? "" : ",") + s;
        std::printf("title=%d chapters=%zu duration=%s starts=%s audio=%s subtitles=%s\n", t.number,
                    t.chapterStarts.size(), seconds(t.duration).c_str(), starts.c_str(),
                    audio.c_str(), subtitles.c_str());
        chapters += t.chapterStarts.size();
        duration += t.duration;
    }
    std::printf("titles=%zu chapters=%zu duration=%s disc=%s\n", info.titles.size(), chapters,
                seconds(duration).c_str(), discIdText(info.discId).c_str());
    return 0;
}

} // namespace

CLI::App* addDvdInfo(CLI::App& app, Run& run) {
    auto path = std::make_shared<std::string>();
    CLI::App* sub = app.add_subcommand("dvd-info", "Lists the titles of a DVD-Video volume.");
    sub->footer("Prints one line per title (chapters, duration, chapter starts, sound and\n"
                "subpicture streams), then titles=T chapters=C duration=S disc=ID.\n"
                "Exit codes: 0 done, 2 bad use, no DVD-Video volume or a damaged one.");
    sub->add_option("PATH", *path, "VIDEO_TS.IFO, a DVD folder, an image or a drive")
        ->required()
        ->type_name("");
    sub->callback([path, &run] { run = [path] { return dvdInfo(*path); }; });
    return sub;
}

} // namespace cli
