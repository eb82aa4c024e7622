// tovamix-cli snapshot: the picture a video file shows at a moment, saved as the snapshot
// window saves it: at the frame's own size, a JPEG for a .jpg or .jpeg name, else a 24-bit
// BMP; the file is replaced only once the whole picture is written. Prints one line:
//   width=W height=H format=bmp|jpeg at=S output=OUTPUT
// No display is needed: the file plays through a graph that shows nothing.
#include "Cli.h"

#include "platform/screen/Dib.h"
#include "platform/vfw/OutputFile.h"
#include "player/untSnapShot.h"
#include "ui/qt/DibImage.h"

#include <QCoreApplication>
#include <QString>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace cli {

namespace {

struct SnapshotArgs {
    std::string file;
    double at = 0;
    std::string output;
};

int snapshot(const SnapshotArgs& a) {
    std::string why;
    if (!platform::vfw::checkWritable(a.output, &why))
        return fail("cannot write " + a.output + ": " + why);
    const auto app = coreApplication();
    platform::screen::PackedDib dib;
    int64_t position = 0;
    if (const int code = grabPicture(a.file, a.at, dib, position)) return code;
    const QImage picture = ui::imageFromDib(dib);
    const bool jpeg = player::isJpegName(a.output);
    if (picture.isNull() || !player::savePicture(picture, a.output, jpeg, &why)) {
        std::fprintf(stderr, "tovamix-cli: cannot write %s: %s\n", a.output.c_str(),
                     picture.isNull() ? "the picture has no colour depth a bitmap of ours has"
                                      : why.c_str());
        return 1;
    }
    std::printf("width=%d height=%d format=%s at=%s output=%s\n", picture.width(), picture.height(),
                jpeg ? "jpeg" : "bmp", secondsText(position).c_str(), resultText(a.output).c_str());
    return 0;
}

} // namespace

CLI::App* addSnapshot(CLI::App& app, Run& run) {
    auto args = std::make_shared<SnapshotArgs>();
    SnapshotArgs& s = *args;
    CLI::App* sub = app.add_subcommand(
        "snapshot",
        "Saves the picture a video file shows at a moment as the snapshot window does.");
    sub->footer("Prints width=W height=H format=bmp|jpeg at=S output=OUTPUT on standard output.\n"
                "OUTPUT ends in .bmp, .jpg or .jpeg; a moment past the end is a bad use.");
    sub->add_option("FILE", s.file, "The media file")->required()->type_name("");
    sub->add_option_function<std::string>(
           "--at", [&s](const std::string& v) { s.at = parseSeconds(v, "--at"); },
           "The moment, in seconds from the start (default 0)")
        ->type_name("SECONDS");
    sub->add_option_function<std::string>(
           "OUTPUT",
           [&s](const std::string& v) {
               const QString ext =
                   QString::fromStdString(std::filesystem::path(v).extension().string());
               if (ext.compare(".bmp", Qt::CaseInsensitive) != 0 && !player::isJpegName(v))
                   throw CLI::ValidationError("OUTPUT must end in .bmp, .jpg or .jpeg, not \"" + v +
                                              "\"");
               s.output = v;
           },
           "The picture file to write")
        ->required()
        ->type_name("");
    sub->callback([args, &run] { run = [args] { return snapshot(*args); }; });
    return sub;
}

} // namespace cli
