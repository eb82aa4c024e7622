#include "EditJobs.h"
#include "FileChecks.h"

namespace tools {

using namespace media;

JobResult renderJob(const player::TExportRequest& request, long& completionCode,
                    const player::TRenderHooks& hooks) {
    player::TRenderResult result;
    try {
        result = player::renderTimeline(request, completionCode, hooks);
    } catch (const player::ERenderRefused& e) {
        return {Outcome::Refused, e.what()};
    }
    if (FAILED(result.error))
        return {Outcome::Failed, "Writing \"" + request.outputFile +
                                     "\" failed: " + player::renderErrorText(result)};
    if (result.nothingWritten)
        return {Outcome::Stopped, "Writing \"" + request.outputFile + "\" " +
                                      player::stoppedBeforeDataText(result) + "."};
    if (result.stalledAt >= 0)
        return {Outcome::Stopped,
                "Writing \"" + request.outputFile + "\" " + player::stallText(result.stalledAt)};
    return {result.stopped ? Outcome::Stopped : Outcome::Done, {}};
}

LinkJob::LinkJob() {
    for (TFilterGraph* g : {&FilterGraph1, &FilterGraph2}) {
        g->setMode(gmCapture);
        g->setGraphEdit(true);
        g->setLinearVolume(true);
    }
    FilterGraph1.attachProvider(&video1_);
    FilterGraph1.attachProvider(&sound1_);
    FilterGraph2.attachProvider(&video2_);
    FilterGraph2.attachProvider(&sound2_);
}

LinkJob::~LinkJob() {
    // The second measuring graph first, as a closing window does.
    for (TFilterGraph* g : {&FilterGraph2, &FilterGraph1}) {
        g->setActive(false);
        g->ClearGraph();
    }
    FilterGraph1.detachProvider(&video1_);
    FilterGraph1.detachProvider(&sound1_);
    FilterGraph2.detachProvider(&video2_);
    FilterGraph2.detachProvider(&sound2_);
}

bool LinkJob::measure(TFilterGraph& graph, const std::string& file, int64_t* duration, long* width,
                      long* height, std::string* why) {
    *duration = 0;
    // Cleared first: a second link in the same window measures the files named now.
    graph.setActive(false);
    graph.ClearGraph();
    try {
        graph.setActive(true);
        const HRESULT h = graph.RenderFile(file);
        if (FAILED(h)) {
            *why = "Cannot read \"" + file + "\": " + GraphErrorText(h);
            return false;
        }
        if (auto seeking = graph.query<IMediaSeeking>()) seeking->GetDuration(duration);
        if (auto basic = graph.query<IBasicVideo>()) basic->GetVideoSize(width, height);
    } catch (const EDirectShowException& e) {
        *why = "Cannot read \"" + file + "\": " + e.what();
        return false;
    }
    if (*duration <= 0) {
        *why = "The length of \"" + file + "\" is unknown.";
        return false;
    }
    return true;
}

JobResult LinkJob::link(const std::string& firstFile, const std::string& secondFile,
                        const std::string& target, const player::TRenderHooks& hooks) {
    if (running_) return {Outcome::Busy, {}};
    const FileFacts first = examine(firstFile);
    if (std::string why = refuseMissing(firstFile, first); !why.empty())
        return {Outcome::Refused, why};
    const FileFacts second = examine(secondFile);
    if (std::string why = refuseMissing(secondFile, second); !why.empty())
        return {Outcome::Refused, why};
    for (const auto& [file, facts] : {std::pair{&firstFile, &first}, {&secondFile, &second}})
        if (!facts->hasVideo && !facts->hasAudio)
            return {Outcome::Refused, "The file \"" + *file + "\" holds no picture or sound."};
    if (std::string why = refuseOutputs({firstFile, secondFile}, {target}); !why.empty())
        return {Outcome::Refused, why};

    running_ = true;
    struct Idle {
        bool& running;
        ~Idle() { running = false; }
    } idle{running_};
    // -- 5: both lengths; the picture size is the first file's, or the second's when the
    // first has none. A renderer that shows nothing learns no size: the detector's counts.
    std::string why;
    long w1 = 0, h1 = 0, w2 = 0, h2 = 0;
    if (!measure(FilterGraph1, firstFile, &d1, &w1, &h1, &why) ||
        !measure(FilterGraph2, secondFile, &d2, &w2, &h2, &why))
        return {Outcome::Refused, why};
    player::TExportRequest request;
    request.detectionFile = firstFile;
    request.moreDetectionFiles = {secondFile};
    if (first.hasVideo) {
        request.videoWidth = w1 > 0 ? w1 : first.width;
        request.videoHeight = h1 > 0 ? h1 : first.height;
    } else {
        request.videoWidth = w2 > 0 ? w2 : second.width;
        request.videoHeight = h2 > 0 ? h2 : second.height;
    }
    // -- 6, 7: two tracks, each appended; the second file starts where the first ends.
    request.clips.push_back({firstFile, 0, d1, 0, d1, -1});
    request.clips.push_back({secondFile, d1, d1 + d2, 0, d2, -1});
    request.outputFile = target;
    request.videoEncoderRule = player::linkVideoEncoderRule;
    // -- 8, 9.
    return renderJob(request, CompletionCode, hooks);
}

} // namespace tools
