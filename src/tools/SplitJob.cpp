#include "EditJobs.h"
#include "FileChecks.h"

#include "media/StoredFilters.h"
#include "platform/dshow/devices/Devices.h"

#include <algorithm>

namespace tools {

using namespace media;

SplitJob::SplitJob() {
    for (TFilterGraph* g : {&FilterGraph1, &FilterGraph2}) {
        g->setMode(gmCapture);
        g->setGraphEdit(true);
        g->setLinearVolume(true);
    }
    setStoredName(Filter1, AviWavSourceName);
    setStoredName(Filter2, AviWavSourceName);
    setStoredName(MP3Enc, Mp3EncoderName);
    setStoredName(DivXEncoder, XvidName);
    for (TFilter* f : {&Filter1, &MP3Enc})
        f->setFilterGraph(&FilterGraph1);
    for (TFilter* f : {&Filter2, &DivXEncoder})
        f->setFilterGraph(&FilterGraph2);
    FilterGraph1.OnDSEvent = [this](TFilterGraph*, long event, intptr_t p1, intptr_t) {
        FilterGraph1DSEvent(event, p1);
    };
    FilterGraph2.OnDSEvent = [this](TFilterGraph*, long event, intptr_t p1, intptr_t) {
        FilterGraph2DSEvent(event, p1);
    };
}

SplitJob::~SplitJob() {
    FilterGraph1.OnDSEvent = nullptr;
    FilterGraph2.OnDSEvent = nullptr;
    // The audio graph first, as a closing window does.
    audio_.clear();
    video_.clear();
    for (TFilter* f : {&Filter1, &MP3Enc, &Filter2, &DivXEncoder})
        f->setFilterGraph(nullptr);
}

JobResult SplitJob::start(const std::string& sourceFile, const std::string& audioFile,
                          const std::string& videoFile) {
    if (running()) return {Outcome::Busy, {}};
    const FileFacts source = examine(sourceFile);
    if (std::string why = refuseMissing(sourceFile, source); !why.empty())
        return {Outcome::Refused, why};
    if (!source.hasAudio || !source.hasVideo)
        return {Outcome::Refused, "The file \"" + sourceFile + "\" holds no " +
                                      (source.hasAudio ? "picture" : "sound") + " to split off."};
    if (std::string why = refuseOutputs({sourceFile}, {audioFile, videoFile}); !why.empty())
        return {Outcome::Refused, why};

    // Both graphs are built before either runs, so a graph that cannot be built leaves no
    // other one writing.
    AudioDone = false;
    VideoDone = false;
    std::string why;
    if (!audio_.build({{&Filter1, sourceFile, &MEDIATYPE_Audio, &MP3Enc, "the sound"}}, audioFile,
                      &why))
        return {Outcome::Failed, why};
    if (!video_.build({{&Filter2, sourceFile, &MEDIATYPE_Video, &DivXEncoder, "the picture"}},
                      videoFile, &why)) {
        audio_.clear();
        return {Outcome::Failed, why};
    }
    // The picture file's XviD codes even sides only: an odd column or row is cropped.
    platform::dshow::cropToCodedSize(DivXEncoder.GetFilter());
    if (!audio_.run(&why)) {
        video_.clear();
        return {Outcome::Failed, why};
    }
    audioRunning_ = true;
    if (!video_.run(&why)) {
        audioRunning_ = false;
        audio_.abandon();
        return {Outcome::Failed, why};
    }
    videoRunning_ = true;
    return {Outcome::Done, {}};
}

void SplitJob::FilterGraph1DSEvent(long event, intptr_t param1) {
    std::string why;
    const TWriteEnd end = audio_.graphEvent(event, param1, &why);
    if (end == TWriteEnd::Failed) return failed(why);
    if (end != TWriteEnd::Completed) return;
    audioRunning_ = false;
    AudioDone = true;
    if (VideoDone && onComplete) onComplete("Info");
}

void SplitJob::FilterGraph2DSEvent(long event, intptr_t param1) {
    std::string why;
    const TWriteEnd end = video_.graphEvent(event, param1, &why);
    if (end == TWriteEnd::Failed) return failed(why);
    if (end != TWriteEnd::Completed) return;
    videoRunning_ = false;
    VideoDone = true;
    if (AudioDone && onComplete) onComplete("info");
}

void SplitJob::failed(const std::string& why) {
    // The other graph stops too; what either left unfinished goes.
    const bool audioRan = audioRunning_, videoRan = videoRunning_;
    audioRunning_ = videoRunning_ = false;
    if (audioRan) audio_.abandon();
    if (videoRan) video_.abandon();
    if (onFailed) onFailed(why);
}

void SplitJob::stop() {
    audio_.stop();
    video_.stop();
    audioRunning_ = videoRunning_ = false;
}

double SplitJob::progress() {
    double slowest = 1;
    bool known = false;
    for (auto [writer, runs] : {std::pair{&audio_, audioRunning_}, {&video_, videoRunning_}}) {
        if (!runs) continue;
        const int64_t duration = writer->duration();
        if (duration <= 0) return 0;
        slowest = std::min(slowest, double(writer->position()) / double(duration));
        known = true;
    }
    return known ? std::clamp(slowest, 0.0, 1.0) : 0;
}

} // namespace tools
