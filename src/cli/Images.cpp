// tovamix-cli images: the images-to-AVI window's job without its window. Every picture becomes
// one frame of an XviD AVI of the given frame size (rounded down to multiples of 16) and frame
// time, stretched to the frame or centred on black. An existing OUT.avi is replaced. Prints
// once the file is closed:
//   frames=<n> size=<W>x<H> frame_ms=<N> keyframe_every=<k> output=<OUT.avi>
// A picture that cannot be read ends the job with its name (exit 1); OUT.avi then holds the
// frames before it.
#include "Cli.h"

#include "avi/ImagesToAvi.h"

#include <QCoreApplication>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>

namespace cli {

namespace {

struct ImagesArgs {
    std::vector<std::string> files; // the pictures, then OUT.avi
    int frameMs = 0;
    std::string size;
    bool noStretch = false;
    int bits = 24;
};

int images(const ImagesArgs& a) {
    const auto app = coreApplication();
    avi::ImagesSettings settings;
    settings.pictures.assign(a.files.begin(), a.files.end() - 1);
    settings.output = a.files.back();
    std::smatch m;
    std::regex_match(a.size, m, std::regex("(\\d{1,9})x(\\d{1,9})"));
    settings.width = std::stoi(m[1]);
    settings.height = std::stoi(m[2]);
    settings.frameTime = a.frameMs;
    settings.stretch = !a.noStretch;
    settings.pixelFormat = avi::pixelFormatOfBits(a.bits);
    for (const std::string& picture : settings.pictures) {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(picture, ec))
            return fail("no picture file " + picture);
    }
    if (const std::string refusal = avi::refuseOutput(settings.pictures, settings.output);
        !refusal.empty())
        return fail(refusal);

    avi::TAviWriter_2 writer;
    try {
        avi::writeImages(writer, settings);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tovamix-cli: %s\n", e.what());
        return 1;
    }
    std::printf("frames=%zu size=%dx%d frame_ms=%d keyframe_every=%d output=%s\n",
                settings.pictures.size(), writer.Width(), writer.Height(), writer.FrameTime,
                std::max(1, avi::keyFrameEveryFor(writer.FrameTime)),
                resultText(settings.output).c_str());
    return 0;
}

} // namespace

CLI::App* addImages(CLI::App& app, Run& run) {
    auto args = std::make_shared<ImagesArgs>();
    CLI::App* sub = app.add_subcommand(
        "images", "Makes an XviD AVI slide show: one frame per picture, in the order given.");
    sub->footer("Prints frames=N size=WxH frame_ms=N keyframe_every=K output=OUT.avi once the\n"
                "file is closed. The size is rounded down to multiples of 16.");
    sub->add_option("PIC... OUT.avi", args->files, "The pictures, then the AVI file to write")
        ->required()
        ->expected(2, -1)
        ->type_name("");
    sub->add_option("--frame-ms", args->frameMs, "How long each picture shows, in milliseconds")
        ->required()
        ->check(CLI::PositiveNumber)
        ->type_name("N");
    sub->add_option("--size", args->size, "The frame size, at least 16x16")
        ->required()
        ->check(CLI::Validator(
            [](std::string& value) -> std::string {
                std::smatch m;
                if (!std::regex_match(value, m, std::regex("(\\d{1,9})x(\\d{1,9})")))
                    return "the size is WIDTHxHEIGHT, as 400x300";
                if (std::stoi(m[1]) < 16 || std::stoi(m[2]) < 16)
                    return "the frame is at least 16x16 pixels";
                return {};
            },
            "WxH"))
        ->type_name("WxH");
    sub->add_flag("--no-stretch", args->noStretch,
                  "Centre each picture on black at its own size instead of stretching it");
    sub->add_option("--bits", args->bits, "Bits per pixel of the frames the compressor takes")
        ->check(CLI::IsMember({1, 4, 8, 24, 32}))
        ->type_name("1|4|8|24|32");
    sub->callback([args, &run] { run = [args] { return images(*args); }; });
    return sub;
}

} // namespace cli
