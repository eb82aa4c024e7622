// tovamix-cli link: the link window's job without its window. A then B go through the timeline
// render into OUT.avi (XviD video, MP3 sound). Prints once the file is closed:
//   first_seconds=<d1> second_seconds=<d2> seconds=<s> elapsed=<s> output=<OUT>
#include "EditTools.h"

#include "platform/vfw/AviFile.h"

#include <memory>

namespace cli {

namespace {

struct LinkArgs {
    std::string first, second, output;
};

int link(const LinkArgs& a) {
    const auto app = coreApplication();
    const auto started = std::chrono::steady_clock::now();
    StopSignals stopSignals;
    tools::LinkJob job;
    player::TRenderHooks hooks = progressHooks("linking", job.CompletionCode);
    const tools::JobResult r =
        guarded([&] { return job.link(a.first, a.second, a.output, hooks); });
    if (!r.ok()) return jobExit(r, "link");
    platform::vfw::AviSummary s;
    if (!readBack(a.output, &s)) return 1;
    std::printf("first_seconds=%s second_seconds=%s seconds=%.3f elapsed=%.3f output=%s\n",
                secondsText(job.d1).c_str(), secondsText(job.d2).c_str(), s.seconds,
                secondsSince(started), resultText(a.output).c_str());
    return 0;
}

} // namespace

CLI::App* addLink(CLI::App& app, Run& run) {
    auto args = std::make_shared<LinkArgs>();
    CLI::App* sub = app.add_subcommand(
        "link", "Writes two media files one after the other into a new AVI (XviD, MP3).");
    sub->footer("Prints first_seconds=S second_seconds=S seconds=S elapsed=S output=OUT.avi once\n"
                "the file is closed; progress goes to standard error. Ctrl+C stops the link as\n"
                "the window's Stop does and keeps what was written (exit code 1).");
    sub->add_option("A", args->first, "The first file")->required()->type_name("");
    sub->add_option("B", args->second, "The second file")->required()->type_name("");
    sub->add_option("OUT.avi", args->output, "The AVI file to write")->required()->type_name("");
    sub->callback([args, &run] { run = [args] { return link(*args); }; });
    return sub;
}

} // namespace cli
