#include "TimelineRender.h"

#include "media/TBaseFilter.h"
#include "media/TFilterGraph.h"
#include "platform/dshow/devices/Devices.h"
#include "platform/dshow/timeline/Timeline.h"
#include "platform/vfw/AviFile.h"
#include "platform/vfw/StagedFile.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <utility>
#include <vector>
#include <cstdio>
#include <sys/stat.h>

namespace player {

using namespace platform::dshow;

namespace {

constexpr long WaitSliceMs = 100;

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// Raises the refusal with the graph's text for a failed timeline call.
void require(HRESULT h, const std::string& what) {
    if (FAILED(h)) throw ERenderRefused(what + ": " + media::GraphErrorText(h));
}

// The video group's type: RGB24 pictures of w x h with a video-info block whose only filled
// part is the bitmap header (bottom-up, 24 bits).
AM_MEDIA_TYPE videoGroupType(long w, long h) {
    AM_MEDIA_TYPE mt;
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_RGB24;
    mt.bFixedSizeSamples = 1;
    mt.bTemporalCompression = 0;
    const int64_t imageSize = (int64_t(w) * 24 + 31) / 32 * 4 * h;
    mt.lSampleSize = uint32_t(imageSize);
    mt.formattype = FORMAT_VideoInfo;
    mt.format.assign(88, 0);
    auto put = [&mt](size_t at, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            mt.format[at + size_t(i)] = uint8_t(v >> (8 * i));
    };
    constexpr size_t header = 48;
    put(header + 0, 40, 4);                   // biSize
    put(header + 4, uint32_t(w), 4);          // biWidth
    put(header + 8, uint32_t(h), 4);          // biHeight: positive, bottom-up
    put(header + 12, 1, 2);                   // biPlanes
    put(header + 14, 24, 2);                  // biBitCount
    put(header + 20, uint32_t(imageSize), 4); // biSizeImage
    return mt;
}

AM_MEDIA_TYPE audioGroupType() {
    AM_MEDIA_TYPE mt;
    mt.majortype = MEDIATYPE_Audio;
    return mt;
}

void addGroup(IAMTimeline& timeline, const AM_MEDIA_TYPE& type,
              const std::vector<TTimelineClip>& clips) {
    TimelineObjPtr group;
    require(timeline.CreateEmptyNode(&group, TIMELINE_MAJOR_TYPE_GROUP), "cannot make a group");
    auto groupInterface = queryInterface<IAMTimelineGroup>(group);
    auto composition = queryInterface<IAMTimelineComp>(group);
    if (!groupInterface || !composition) throw ERenderRefused("cannot make a group");
    require(groupInterface->SetMediaType(type), "cannot set the group's type");
    require(timeline.AddGroup(group), "cannot add the group");
    for (const TTimelineClip& clip : clips) {
        TimelineObjPtr track, source;
        require(timeline.CreateEmptyNode(&track, TIMELINE_MAJOR_TYPE_TRACK), "cannot make a track");
        require(composition->VTrackInsBefore(track, clip.trackPriority), "cannot add a track");
        auto trackInterface = queryInterface<IAMTimelineTrack>(track);
        require(timeline.CreateEmptyNode(&source, TIMELINE_MAJOR_TYPE_SOURCE),
                "cannot make a source");
        auto sourceInterface = queryInterface<IAMTimelineSrc>(source);
        if (!trackInterface || !sourceInterface) throw ERenderRefused("cannot make a source");
        require(source->SetStartStop(clip.timelineStart, clip.timelineStop),
                "cannot place " + clip.file);
        require(sourceInterface->SetMediaName(clip.file), "cannot use " + clip.file);
        require(sourceInterface->SetMediaTimes(clip.mediaStart, clip.mediaStop),
                "cannot take the stretch of " + clip.file);
        require(trackInterface->SrcAdd(source), "cannot add " + clip.file);
    }
}

// The first compressor of a category whose friendly name the rule takes, bound to a filter.
FilterPtr findEncoder(const GUID& category, const std::function<bool(const std::string&)>& rule) {
    media::TSysDevEnum devices(category);
    for (int i = 0; i < devices.Count(); ++i)
        if (rule(devices.Item(i).FriendlyName)) return devices.GetBaseFilter(i);
    return nullptr;
}

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (std::filesystem::equivalent(a, b, ec)) return true;
    return std::filesystem::absolute(a, ec).lexically_normal() ==
           std::filesystem::absolute(b, ec).lexically_normal();
}

// The error an aborted graph reported, from its event queue (S_OK when none is queued).
HRESULT queuedError(IMediaEventEx& events) {
    long code = 0;
    intptr_t p1 = 0, p2 = 0;
    HRESULT error = S_OK;
    while (events.GetEvent(&code, &p1, &p2, 0) == S_OK) {
        if (code == EC_ERRORABORT && FAILED(HRESULT(p1)) && error == S_OK) error = HRESULT(p1);
        events.FreeEventParams(code, p1, p2);
    }
    return error;
}

// Removes an output this render wrote, when it is a regular file.
void removeOutput(const std::string& path) {
    struct stat st {};
    std::error_code ec;
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) std::filesystem::remove(path, ec);
}

// The sources' sizes when the render starts, so a source cut short while it is read (a file
// still being truncated, replaced, or on a disk that failed) can be told from one that ends
// where it says.
std::vector<std::pair<std::string, uintmax_t>>
sourceSizes(const std::vector<TTimelineClip>& clips) {
    std::vector<std::pair<std::string, uintmax_t>> sizes;
    for (const TTimelineClip& clip : clips) {
        std::error_code ec;
        const uintmax_t size = std::filesystem::file_size(clip.file, ec);
        if (!ec) sizes.emplace_back(clip.file, size);
    }
    return sizes;
}

// The first source that is now shorter than it was, or an empty text.
std::string shrunkSource(const std::vector<std::pair<std::string, uintmax_t>>& sizes) {
    for (const auto& [file, size] : sizes) {
        std::error_code ec;
        const uintmax_t now = std::filesystem::file_size(file, ec);
        if (ec || now < size) return file;
    }
    return {};
}

// The streams asked for that the finished file holds no data of: "picture", "sound", both
// joined with " and ", or empty when each has some.
std::string missingStreams(const std::string& path, const TStreams& asked) {
    platform::vfw::AviSummary summary;
    const bool read = platform::vfw::readAviSummary(path, &summary, nullptr);
    const bool noPicture = asked.hasVideo && (!read || summary.videoPictures <= 0);
    const bool noSound =
        asked.hasAudio && (!read || !summary.hasAudio || summary.audioSeconds <= 0);
    if (noPicture && noSound) return "picture and sound";
    return noPicture ? "picture" : noSound ? "sound" : "";
}

} // namespace

namespace {

// "made no progress for 10 s (at 2.0 s)"
std::string stalledFor(int64_t position) {
    char text[96];
    std::snprintf(text, sizeof text, "made no progress for %lld s (at %.1f s)",
                  static_cast<long long>(StallLimit.count()),
                  double(std::max<int64_t>(0, position)) / 1e7);
    return text;
}

} // namespace

std::string stoppedBeforeDataText(const TRenderResult& result) {
    const std::string what = result.unwritten.empty() || result.unwritten == "picture and sound"
                                 ? "anything"
                                 : "its " + result.unwritten;
    if (result.stalledAt >= 0)
        return stalledFor(result.stalledAt) + ", before " + what + " was written: no file was made";
    return "was stopped before " + what + " was written: no file was made";
}

std::string renderErrorText(const TRenderResult& result) {
    return result.problem.empty() ? media::GraphErrorText(result.error) : result.problem;
}

TStreams detectStreams(const std::string& file) {
    TStreams s;
    auto det = createMediaDet();
    long count = 0;
    if (!det || FAILED(det->put_Filename(file)) || FAILED(det->get_OutputStreams(&count))) return s;
    for (long i = 0; i < count; ++i) {
        GUID type = GUID_NULL;
        if (FAILED(det->put_CurrentStream(i)) || FAILED(det->get_StreamType(&type))) continue;
        if (type == MEDIATYPE_Audio) s.hasAudio = true;
        if (type == MEDIATYPE_Video) s.hasVideo = true;
    }
    return s;
}

bool playerVideoEncoderRule(const std::string& friendlyName) {
    std::string head = friendlyName.substr(0, 4);
    std::transform(head.begin(), head.end(), head.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    return head == "XVID";
}

bool linkVideoEncoderRule(const std::string& friendlyName) {
    return friendlyName == "Xvid MPEG-4 Codec";
}

bool audioEncoderRule(const std::string& friendlyName) {
    const std::string name = lower(friendlyName);
    return name.find("mpeg layer-3") != std::string::npos ||
           name.find("lame mp3") != std::string::npos;
}

int progressValue(int64_t position, int64_t duration, int range) {
    if (duration <= 0 || range <= 0) return 0;
    const int64_t p = std::clamp<int64_t>(position, 0, duration);
    return int(static_cast<__int128>(p) * range / duration);
}

std::string stallText(int64_t position) {
    return stalledFor(position) +
           ": the source gives no more data; what was written up to there is kept";
}

bool waitForGraph(long& completionCode, const std::function<long(long timeoutMs)>& waitSlice,
                  const std::function<bool(int64_t* position, int64_t* duration)>& where,
                  const TRenderHooks& hooks, int64_t* stalledAt,
                  const std::function<int64_t()>& written) {
    if (stalledAt) *stalledAt = -1;
    bool ownCode = false;
    int64_t lastPosition = -1, lastWritten = -1;
    auto moved = std::chrono::steady_clock::now();
    while (completionCode == 0) {
        if (const long code = waitSlice(WaitSliceMs); code != 0) {
            completionCode = code;
            ownCode = true;
        }
        int64_t position = 0, duration = 0;
        const bool known = where(&position, &duration);
        if (known && hooks.progress) hooks.progress(position, duration);
        if (hooks.processEvents) hooks.processEvents();
        const auto now = std::chrono::steady_clock::now();
        const int64_t holds = written ? written() : -1;
        if (!known || position != lastPosition || holds != lastWritten) {
            lastPosition = known ? position : lastPosition;
            lastWritten = holds;
            moved = now;
        } else if (completionCode == 0 && now - moved >= StallLimit) {
            // Stopped as the caller's Stop would: the file is ended where it stands.
            completionCode = 1;
            if (stalledAt) *stalledAt = position;
        }
    }
    return ownCode;
}

TRenderResult renderTimeline(const TExportRequest& request, long& completionCode,
                             const TRenderHooks& hooks) {
    // -- What can be told before anything is built.
    if (request.clips.empty()) throw ERenderRefused("Nothing to render: no stretch was given.");
    for (const TTimelineClip& clip : request.clips) {
        if (clip.mediaStop <= clip.mediaStart)
            throw ERenderRefused("The end position must come after the start position.");
        if (!request.outputFile.empty() && sameFile(clip.file, request.outputFile))
            throw ERenderRefused("The output file " + request.outputFile +
                                 " is a file being read: choose another name.");
    }
    if (request.outputFile.empty()) throw ERenderRefused("No output file was given.");
    // -- The sources read (their streams, lengths and own zero) while the window keeps drawing.
    std::vector<std::string> files{request.detectionFile};
    files.insert(files.end(), request.moreDetectionFiles.begin(), request.moreDetectionFiles.end());
    for (const TTimelineClip& clip : request.clips)
        files.push_back(clip.file);
    prepareSources(files, hooks.processEvents);
    TStreams streams = detectStreams(request.detectionFile);
    for (const std::string& file : request.moreDetectionFiles) {
        const TStreams more = detectStreams(file);
        streams.hasVideo = streams.hasVideo || more.hasVideo;
        streams.hasAudio = streams.hasAudio || more.hasAudio;
    }
    if (!streams.hasVideo && !streams.hasAudio)
        throw ERenderRefused("Nothing to render: no video or sound was found in " +
                             request.detectionFile + ".");

    // -- The timeline: the video group, then the audio group.
    auto timeline = createTimeline();
    if (!timeline) throw ERenderRefused("The timeline services are missing.");
    if (streams.hasVideo) {
        if (request.videoWidth <= 0 || request.videoHeight <= 0)
            throw ERenderRefused("The size of the video is unknown.");
        if (const std::string why = renderMemoryRefusal(request.videoWidth, request.videoHeight);
            !why.empty())
            throw ERenderRefused("The picture is too large for this machine: " + why + ".");
        addGroup(*timeline, videoGroupType(request.videoWidth, request.videoHeight), request.clips);
    }
    if (streams.hasAudio) addGroup(*timeline, audioGroupType(), request.clips);

    // -- 1. The render engine's graph.
    auto engine = createRenderEngine();
    struct Scrap {
        std::shared_ptr<IRenderEngine> engine;
        ~Scrap() {
            if (engine) engine->ScrapIt();
        }
    } scrap{engine};
    std::shared_ptr<IGraphBuilder> graph;
    require(engine->SetTimelineObject(timeline), "cannot render the timeline");
    require(engine->ConnectFrontEnd(), "cannot render the timeline");
    require(engine->GetFilterGraph(&graph), "cannot render the timeline");
    if (!graph) throw ERenderRefused("cannot render the timeline");

    // -- 2. The encoders, both needed whatever the source holds.
    FilterPtr videoEncoder =
        findEncoder(CLSID_VideoCompressorCategory,
                    request.videoEncoderRule ? request.videoEncoderRule : playerVideoEncoderRule);
    if (!videoEncoder) throw ERenderRefused("No XviD video encoder is installed.");
    // XviD codes whole chroma samples only: a picture of an odd side loses its last column or
    // row, cropped (not padded with a dark edge, not scaled).
    platform::dshow::cropToCodedSize(videoEncoder);
    FilterPtr audioEncoder = findEncoder(CLSID_AudioCompressorCategory, audioEncoderRule);
    if (!audioEncoder) throw ERenderRefused("No MP3 audio encoder is installed.");
    require(graph->AddFilter(videoEncoder, "MyVideoEncoder"), "cannot use the video encoder");
    require(graph->AddFilter(audioEncoder, "MyAudioEncoder"), "cannot use the audio encoder");

    // -- 3. The AVI multiplexer and the file writer.
    auto builder = createCaptureGraphBuilder();
    FilterPtr mux, writer;
    require(builder->SetFiltergraph(graph), "cannot build the render graph");
    require(builder->SetOutputFileName(MEDIASUBTYPE_Avi, request.outputFile, &mux, &writer),
            "cannot write " + request.outputFile);
    // The target passed the writer's checks; the file is written beside it and moved there
    // once whole, so a render that fails, is stopped before any data or is killed leaves an
    // earlier file of that name as it was.
    platform::vfw::StagedFile output(request.outputFile);
    if (output.staged())
        if (const auto sink = queryInterface<IFileSinkFilter>(writer))
            require(sink->SetFileName(output.path()), "cannot write " + request.outputFile);

    // -- 4, 5. Each group through its encoder; every group must reach one.
    long groups = 0;
    timeline->GetGroupCount(&groups);
    for (long i = 0; i < groups; ++i) {
        PinPtr pin;
        if (FAILED(engine->GetGroupOutputPin(i, &pin)) || !pin) continue;
        if (streams.hasVideo) builder->RenderStream(nullptr, nullptr, pin, videoEncoder, mux);
        if (streams.hasAudio) builder->RenderStream(nullptr, nullptr, pin, audioEncoder, mux);
        if (!pin->connectedTo())
            throw ERenderRefused("Nothing to render: a stream of the timeline reaches no "
                                 "encoder.");
    }
    engine->RenderOutputPins();

    // -- 6. Control, events, position; the length.
    auto control = queryInterface<IMediaControl>(graph);
    auto events = queryInterface<IMediaEventEx>(graph);
    auto seeking = queryInterface<IMediaSeeking>(graph);
    if (!control || !events || !seeking) throw ERenderRefused("cannot build the render graph");
    TRenderResult result;
    seeking->GetDuration(&result.duration);
    // -- 7. The caller shows the bar at 0 over the length.
    if (hooks.started) hooks.started(result.duration);

    // -- 8, 9. Run, and wait for the end or the caller's Stop.
    const auto sizes = sourceSizes(request.clips);
    completionCode = 0;
    const HRESULT ran = control->Run();
    if (FAILED(ran)) {
        result.error = ran;
        completionCode = EC_ERRORABORT;
    }
    bool ownCode = FAILED(ran);
    if (!ownCode)
        ownCode = waitForGraph(
            completionCode,
            [&events](long timeoutMs) {
                long code = 0;
                return events->WaitForCompletion(timeoutMs, &code) == S_OK ? code : 0L;
            },
            [&seeking, &result](int64_t* position, int64_t* duration) {
                *duration = result.duration;
                return SUCCEEDED(seeking->GetCurrentPosition(position));
            },
            hooks, &result.stalledAt,
            [&output] {
                // The file grows with every picture the encoder finishes.
                struct stat st {};
                return ::stat(output.path().c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
            });
    result.completionCode = completionCode;
    result.stopped = !ownCode;

    // -- 10. Stop (a stopped render still ends its file properly), hide the bar.
    // An element that failed reports it even when the streams still came to their end (a
    // write that failed ends one stream early): the file is then not what was asked for.
    // After the caller's Stop only the errors from before it count: ending the streams may
    // make a source the render had not reached yet complain.
    HRESULT queued = result.stopped ? queuedError(*events) : S_OK;
    control->Stop();
    if (!result.stopped) queued = queuedError(*events);
    if (result.error == S_OK && FAILED(queued))
        result.error = queued;
    else if (result.error == S_OK && completionCode != EC_COMPLETE && ownCode)
        result.error = E_FAIL;
    // The graph goes before the output is looked at: its writer closes the file as it goes.
    const auto sink = queryInterface<IFileSinkFilter>(writer);
    bool written = sink && sink->fileWritten();
    control.reset();
    events.reset();
    seeking.reset();
    builder.reset();
    mux.reset();
    writer.reset();
    videoEncoder.reset();
    audioEncoder.reset();
    graph.reset();
    engine->ScrapIt();
    scrap.engine.reset();
    // A render that ended as asked must hold data of every stream it was asked for: a
    // stretch too short for a picture of its source, say, would otherwise give a file of
    // sound alone, reported as complete.
    if (SUCCEEDED(result.error) && !result.stopped && written)
        if (const std::string shrunk = shrunkSource(sizes); !shrunk.empty()) {
            platform::vfw::AviSummary summary;
            platform::vfw::readAviSummary(output.path(), &summary, nullptr);
            char reached[96];
            std::snprintf(reached, sizeof reached, "the new file ended at %.1f s of %.1f s",
                          summary.seconds, double(result.duration) / 1e7);
            result.error = E_FAIL;
            result.problem = "the input " + shrunk +
                             " was cut short while it was read: " + reached + "; it was removed";
        }
    if (SUCCEEDED(result.error) && !result.stopped && written)
        if (const std::string missing = missingStreams(output.path(), streams); !missing.empty()) {
            result.error = E_FAIL;
            result.problem = "the new file holds no " + missing +
                             " (nothing of it fell in the stretch, or it could not be read); "
                             "it was removed";
        }
    // A stopped render keeps what it wrote, but only as a file of every stream it was asked
    // for: stopped before its first picture, a cut would leave sound alone.
    if (SUCCEEDED(result.error) && result.stopped && written)
        if (std::string missing = missingStreams(output.path(), streams); !missing.empty()) {
            result.unwritten = std::move(missing);
            if (!output.staged()) removeOutput(request.outputFile);
            written = false;
        }
    if (FAILED(result.error) && written && !output.staged()) removeOutput(request.outputFile);
    if (SUCCEEDED(result.error) && written) {
        if (std::string why; !output.commit(&why)) {
            result.error = E_FAIL;
            result.problem = why;
        }
    }
    // Stopped before any data (or before data of every stream): no file was made, and an
    // earlier file of that name stays.
    result.nothingWritten = result.stopped && SUCCEEDED(result.error) && !written;
    output.discard();
    if (hooks.finished) hooks.finished();
    return result;
}

} // namespace player
