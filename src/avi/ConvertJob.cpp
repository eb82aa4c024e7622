#include "ConvertJob.h"

#include "media/StoredFilters.h"
#include "tools/FileChecks.h"

#include <charconv>

namespace avi {

using namespace media;

long frameSide(const std::string& text) {
    long v = 0;
    const char* end = text.data() + text.size();
    const auto [p, ec] = std::from_chars(text.data(), end, v);
    if (ec != std::errc() || p != end || v < 1 || v > MaxFrameSize) return 0;
    return v;
}

TConvertJob::TConvertJob() {
    FilterGraph1.setMode(gmCapture);
    FilterGraph1.setGraphEdit(true);
    FilterGraph1.setLinearVolume(true);
    FilterGraph1.attachProvider(&video_);
    FilterGraph1.attachProvider(&sound_);
    setStoredName(MP3Enc, Mp3EncoderName);
    MP3Enc.setFilterGraph(&FilterGraph1);
    FilterGraph1.setActive(true);
}

TConvertJob::~TConvertJob() {
    FilterGraph1.setActive(false);
    MP3Enc.setFilterGraph(nullptr);
    FilterGraph1.detachProvider(&video_);
    FilterGraph1.detachProvider(&sound_);
}

bool TConvertJob::probe(const std::string& source, int64_t* duration, long* width, long* height,
                        std::string* why) {
    *duration = 0;
    try {
        // Cleared first (the encoder filter stays): a second conversion in the same window
        // measures the file named now, not both.
        FilterGraph1.setActive(true);
        FilterGraph1.ClearGraph();
        const HRESULT h = FilterGraph1.RenderFile(source);
        if (FAILED(h)) {
            *why = "Cannot read \"" + source + "\": " + GraphErrorText(h);
            return false;
        }
        if (auto seeking = FilterGraph1.query<IMediaSeeking>()) seeking->GetDuration(duration);
        if (auto basic = FilterGraph1.query<IBasicVideo>()) basic->GetVideoSize(width, height);
        FilterGraph1.Stop();
    } catch (const EDirectShowException& e) {
        *why = "Cannot read \"" + source + "\": " + e.what();
        return false;
    }
    if (*duration <= 0) {
        *why = "The length of \"" + source + "\" is unknown.";
        return false;
    }
    return true;
}

tools::JobResult TConvertJob::convert(const std::string& source, const std::string& target,
                                      const std::string& widthText, const std::string& heightText,
                                      const player::TRenderHooks& hooks) {
    using tools::Outcome;
    if (running_) return {Outcome::Busy, {}};
    facts_ = {};
    // -- What can be told before anything is built: the source as the detector reads it now
    // (the file named in the source box, whatever was chosen before), the size, the target.
    if (std::string why = tools::refuseUnreadable(source); !why.empty())
        return {Outcome::Refused, why};
    facts_.info = ReadMediaInfo(source);
    const EnumVid& info = facts_.info;
    if (info.VideoMajorType == FileNotFoundText)
        return {Outcome::Refused, "The file \"" + source + "\" does not exist."};
    if (info.VideoMajorType == ErrorText)
        return {Outcome::Refused, "The file \"" + source + "\" cannot be read as media."};
    facts_.hasVideo = !info.VideoMajorType.empty();
    facts_.hasAudio = !info.AudioMajorType.empty();
    if (!facts_.hasVideo && !facts_.hasAudio)
        return {Outcome::Refused, "The file \"" + source + "\" holds no picture or sound."};
    long width = 0, height = 0;
    if (facts_.hasVideo && !widthText.empty() && !heightText.empty()) {
        width = frameSide(widthText);
        height = frameSide(heightText);
        if (!width || !height)
            return {Outcome::Refused, "The frame size " + widthText + " x " + heightText +
                                          " cannot be used: width and height must be whole "
                                          "numbers from 1 to " +
                                          std::to_string(MaxFrameSize) + "."};
    }
    if (std::string why = tools::refuseOutputs({source}, {target}); !why.empty())
        return {Outcome::Refused, why};

    running_ = true;
    struct Idle {
        bool& running;
        ~Idle() { running = false; }
    } idle{running_};
    // -- The source's length and, unless the boxes give one, its picture size. A renderer that
    // shows nothing learns no size: then the detector's.
    std::string why;
    long nativeWidth = 0, nativeHeight = 0;
    if (!probe(source, &facts_.duration, &nativeWidth, &nativeHeight, &why))
        return {Outcome::Refused, why};
    if (facts_.hasVideo && !width) {
        width = nativeWidth > 0 ? nativeWidth : frameSide(info.VideoWidth);
        height = nativeHeight > 0 ? nativeHeight : frameSide(info.VideoHeight);
        if (width < 1 || width > MaxFrameSize || height < 1 || height > MaxFrameSize)
            return {Outcome::Refused, "The picture size of \"" + source + "\" (" + info.VideoWidth +
                                          " x " + info.VideoHeight + ") cannot be written."};
    }
    facts_.width = width;
    facts_.height = height;

    // -- One track of one clip per group: the whole source.
    player::TExportRequest request;
    request.detectionFile = source;
    request.videoWidth = width;
    request.videoHeight = height;
    request.clips.push_back({source, 0, facts_.duration, 0, facts_.duration, 0});
    request.outputFile = target;
    request.videoEncoderRule = player::playerVideoEncoderRule;
    return tools::renderJob(request, CompletionCode, hooks);
}

} // namespace avi
