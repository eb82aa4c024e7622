#include "CaptureGraphs.h"

#include "media/StoredFilters.h"
#include "media/PinPropertyPages.h"
#include "media/SharedDevices.h"
#include "media/TMediaType.h"
#include "platform/vfw/AviFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>

namespace capture {

using namespace media;

namespace {

// The device `index` of a category bound into filter; false with why naming it.
bool bindDevice(TFilterGraph& graph, TFilter& filter, const GUID& category, int index,
                std::string* name, std::string* why) {
    TSysDevEnum& devices = deviceEnumerator();
    devices.SelectCategory(category);
    graph.setActive(false);
    if (index < 0 || index >= devices.Count()) {
        if (why) *why = "no device " + std::to_string(index);
        return false;
    }
    *name = devices.Item(index).FriendlyName;
    filter.setFilterGraph(&graph);
    filter.BaseFilter.setMoniker(devices.GetMoniker(index));
    graph.setActive(true);
    if (!filter.GetFilter()) {
        // A device listed a moment ago may be gone (unplugged, its server away).
        if (why) {
            *why = "cannot open \"" + *name + "\"";
            if (!filter.bindError().empty()) *why += ": " + filter.bindError();
        }
        graph.setActive(false);
        return false;
    }
    return true;
}

} // namespace

int findDevice(const GUID& category, const std::string& indexOrName,
               std::vector<std::string>* names) {
    TSysDevEnum& devices = deviceEnumerator();
    devices.SelectCategory(category);
    std::vector<std::string> all;
    for (int i = 0; i < devices.Count(); ++i)
        all.push_back(devices.Item(i).FriendlyName);
    if (names) *names = all;
    const auto byName = std::find(all.begin(), all.end(), indexOrName);
    if (byName != all.end()) return int(byName - all.begin());
    char* end = nullptr;
    errno = 0;
    const long i = std::strtol(indexOrName.c_str(), &end, 10);
    if (indexOrName.empty() || *end || errno || i < 0 || i >= long(all.size())) return -1;
    return int(i);
}

std::string recordingTimeText(double seconds) {
    const int64_t ms = std::max<int64_t>(0, int64_t(seconds * 1000 + 0.5)) % (24 * 3600 * 1000);
    char text[64];
    std::snprintf(text, sizeof text, "%d:%d:%d:%d", int(ms / 3600000), int(ms / 60000 % 60),
                  int(ms / 1000 % 60), int(ms % 1000));
    return text;
}

bool videoFormatSize(const AM_MEDIA_TYPE& mt, int* width, int* height) {
    // The bitmap header sits 48 bytes into a video-info block; its width and height follow
    // its own size field.
    constexpr size_t header = 48;
    if (mt.format.size() < header + 12) return false;
    int32_t w = 0, h = 0;
    std::memcpy(&w, mt.format.data() + header + 4, 4);
    std::memcpy(&h, mt.format.data() + header + 8, 4);
    *width = w;
    *height = h == INT32_MIN ? INT32_MAX : std::abs(h);
    return true;
}

std::string sentence(std::string why) {
    while (!why.empty() && why.back() == '.')
        why.pop_back();
    if (!why.empty() && why[0] >= 'a' && why[0] <= 'z') why[0] = char(why[0] - 'a' + 'A');
    return why + ".";
}

// -- The parts both graphs share.

CaptureGraphBase::CaptureGraphBase() {
    FilterGraph.setMode(gmCapture);
    FilterGraph.setGraphEdit(true);
    FilterGraph.setLinearVolume(true);
    setStoredName(MP3Enc, Mp3EncoderName);
    FilterGraph.OnDSEvent = [this](TFilterGraph*, long event, intptr_t p1, intptr_t) {
        graphEvent(event, p1);
    };
}

CaptureGraphBase::~CaptureGraphBase() {
    FilterGraph.OnDSEvent = nullptr;
    stop();
    for (TFilter* f : {&AudioFilter, &MP3Enc})
        f->setFilterGraph(nullptr);
}

bool CaptureGraphBase::bindAudioDevice(int index, recorder::InputLines* lines, std::string* why) {
    if (!bindDevice(FilterGraph, AudioFilter, CLSID_AudioInputDeviceCategory, index, &audioName_,
                    why))
        return false;
    const recorder::InputLines read = recorder::readInputLines(AudioFilter.GetFilter(), false);
    if (lines) *lines = read;
    FilterGraph.setActive(false);
    return true;
}

bool CaptureGraphBase::prepareVoice(const std::string& line, recorder::InputLines* lines,
                                    std::string* why) {
    if (!AudioFilter.GetFilter()) {
        forget(why, "cannot open the sound device \"" + audioName_ + "\"" +
                        (AudioFilter.bindError().empty() ? "" : ": " + AudioFilter.bindError()));
        return false;
    }
    if (AudioPinTypes.Count() == 0) {
        forget(why, "the sound device \"" + audioName_ + "\" offers no format");
        return false;
    }
    recorder::InputLines read = recorder::readInputLines(AudioFilter.GetFilter(), true);
    recorder::enableInputLine(&read, line);
    if (lines) *lines = read;
    return true;
}

void CaptureGraphBase::forget(std::string* why, const std::string& text) {
    if (why) *why = text;
    attempt([&] { return FilterGraph.Stop() ? S_OK : S_FALSE; });
    FilterGraph.setActive(false);
    // A file that was never written to is not left behind.
    std::error_code ec;
    if (!file_.empty() && writer_) {
        auto sink = queryInterface<IFileSinkFilter>(writer_);
        if (sink && sink->fileWritten() && !platform::vfw::aviFileHasSamples(file_))
            std::filesystem::remove(file_, ec);
    }
    writer_.reset();
    file_.clear();
    recording_ = false;
}

bool CaptureGraphBase::openFile(const std::string& file, FilterPtr* mux, std::string* why) {
    FilterPtr writer;
    const HRESULT h = attempt([&] {
        return FilterGraph.as<ICaptureGraphBuilder2>()->SetOutputFileName(MEDIASUBTYPE_Avi, file,
                                                                          mux, &writer);
    });
    if (FAILED(h)) {
        forget(why, "cannot write \"" + file + "\": " + GraphErrorText(h));
        return false;
    }
    file_ = file;
    writer_ = writer;
    return true;
}

bool CaptureGraphBase::connectVoice(const FilterPtr& mux, std::string* why) {
    if (!MP3Enc.GetFilter()) {
        forget(why, "cannot open the MP3 encoder: " + MP3Enc.bindError());
        return false;
    }
    const HRESULT h = attempt([&] {
        return FilterGraph.as<ICaptureGraphBuilder2>()->RenderStream(
            nullptr, nullptr, AudioFilter.GetFilter(), MP3Enc.GetFilter(), mux);
    });
    if (FAILED(h)) {
        forget(why, "the voice branch does not connect: " + GraphErrorText(h));
        return false;
    }
    return true;
}

bool CaptureGraphBase::start(std::string* why) {
    error_.clear();
    recording_ = true;
    const HRESULT h = attempt([&] { return FilterGraph.Play() ? S_OK : E_FAIL; });
    if (FAILED(h)) {
        forget(why, GraphErrorText(h));
        return false;
    }
    return true;
}

double CaptureGraphBase::position() {
    auto seeking = FilterGraph.query<IMediaSeeking>();
    int64_t now = 0;
    if (!seeking || FAILED(seeking->GetCurrentPosition(&now))) return 0;
    return double(now) / 1e7;
}

CaptureResult CaptureGraphBase::stop() {
    CaptureResult result;
    if (!recording_) return result;
    result.recordingSeconds = position();
    result.error = error_;
    // The streams end and the file gets its index before the graph goes.
    attempt([&] { return FilterGraph.Stop() ? S_OK : S_FALSE; });
    result.recordingSeconds = std::max(result.recordingSeconds, position());
    FilterGraph.setActive(false);
    recording_ = false;
    platform::vfw::AviSummary summary;
    const bool written = !file_.empty() && platform::vfw::aviFileHasSamples(file_) &&
                         platform::vfw::readAviSummary(file_, &summary, nullptr);
    if (written) {
        result.fileKept = true;
        result.pictures = summary.videoPictures;
        result.emptyFrames = std::max<int64_t>(0, summary.videoFrames - summary.videoPictures);
        result.videoSeconds = summary.videoSeconds;
        result.voiceSeconds = summary.audioSeconds;
    } else if (!file_.empty()) {
        std::error_code ec;
        std::filesystem::remove(file_, ec);
    }
    file_.clear();
    writer_.reset();
    return result;
}

void CaptureGraphBase::graphEvent(long event, intptr_t param1) {
    if (event != EC_ERRORABORT || !recording_) return;
    // An error while recording (a device lost, the disk full): the recording stops, and what
    // was written up to it is finished as a whole file.
    error_ = GraphErrorText(HRESULT(param1));
    const CaptureResult result = stop();
    if (onFailed) onFailed(result);
}

// -- The video capture graph.

VideoCaptureGraph::VideoCaptureGraph() {
    setStoredName(XvidEncoder, XvidName);
    // The camera's voice goes through the "MPEG Layer-3" audio codec (the same LAME encoder
    // the audio window takes as a filter).
    setStoredName(MP3Enc, Mp3CompressorName);
}

VideoCaptureGraph::~VideoCaptureGraph() {
    stop();
    for (TFilter* f : {&VideoFilter, &XvidEncoder})
        f->setFilterGraph(nullptr);
}

bool VideoCaptureGraph::openVideoDevice(int index, std::string* why) {
    return bindDevice(FilterGraph, VideoFilter, CLSID_VideoInputDeviceCategory, index, &videoName_,
                      why);
}

PinPtr VideoCaptureGraph::videoPin() {
    if (!VideoFilter.GetFilter()) return nullptr;
    TPinList pins(VideoFilter.GetFilter());
    return pins.Count() ? pins.First() : nullptr;
}

bool VideoCaptureGraph::applyCurrentFormat() {
    const PinPtr pin = videoPin();
    auto config = pin ? queryInterface<IAMStreamConfig>(pin) : nullptr;
    return config && CurrentVideoFormat &&
           SUCCEEDED(config->SetFormat(CurrentVideoFormat->record()));
}

HRESULT VideoCaptureGraph::readFormats(std::string* why) {
    const PinPtr pin = videoPin();
    auto config = pin ? queryInterface<IAMStreamConfig>(pin) : nullptr;
    if (!config) {
        if (why) *why = "\"" + videoName_ + "\" has no capture format";
        return E_NOINTERFACE;
    }
    VideoPinTypes.Enumerate(pin);
    AM_MEDIA_TYPE mt;
    const HRESULT h = config->GetFormat(&mt);
    if (SUCCEEDED(h))
        CurrentVideoFormat = std::make_unique<TMediaType>(mt);
    else if (why)
        *why = "\"" + videoName_ + "\" does not tell its format: " + GraphErrorText(h);
    return h;
}

bool VideoCaptureGraph::bindVideoDevice(int index, std::string* why) {
    if (!openVideoDevice(index, why)) return false;
    const bool read = SUCCEEDED(readFormats(why));
    FilterGraph.setActive(false);
    return read;
}

bool VideoCaptureGraph::cameraOpen(std::string* why) {
    if (VideoFilter.GetFilter()) return true;
    forget(why, "cannot open \"" + videoName_ + "\"" +
                    (VideoFilter.bindError().empty() ? "" : ": " + VideoFilter.bindError()));
    return false;
}

bool VideoCaptureGraph::preview(IGraphFilterProvider* intermediate, IGraphFilterProvider* sink,
                                std::string* why) {
    if (!FilterGraph.Active()) FilterGraph.setActive(true);
    if (!cameraOpen(why)) return false;
    const FilterPtr via = intermediate ? intermediate->GetFilter() : nullptr;
    const FilterPtr to = sink ? sink->GetFilter() : nullptr;
    const HRESULT h = attempt([&] {
        return FilterGraph.as<ICaptureGraphBuilder2>()->RenderStream(
            &PIN_CATEGORY_PREVIEW, nullptr, VideoFilter.GetFilter(), via, to);
    });
    if (FAILED(h)) {
        forget(why, "the preview of \"" + videoName_ + "\" does not connect: " + GraphErrorText(h));
        return false;
    }
    const HRESULT run = attempt([&] { return FilterGraph.Play() ? S_OK : E_FAIL; });
    if (FAILED(run)) {
        forget(why, "\"" + videoName_ + "\" does not start: " + GraphErrorText(run));
        return false;
    }
    return true;
}

std::vector<std::string> VideoCaptureGraph::formats() const {
    std::vector<std::string> out;
    for (int i = 0; i < VideoPinTypes.Count(); ++i)
        out.push_back(FormatText(VideoPinTypes.Item(i).record()));
    return out;
}

bool VideoCaptureGraph::setFormat(int index) {
    if (index < 0 || index >= VideoPinTypes.Count()) return false;
    CurrentVideoFormat = std::make_unique<TMediaType>(VideoPinTypes.Item(index).record());
    return true;
}

bool VideoCaptureGraph::record(const std::string& file, bool voice, const std::string& line,
                               IGraphFilterProvider* previewIntermediate,
                               IGraphFilterProvider* previewSink, std::string* why) {
    attempt([&] { return FilterGraph.Stop() ? S_OK : S_FALSE; });
    FilterGraph.setActive(false);
    for (TFilter* f : {&VideoFilter, &XvidEncoder})
        f->setFilterGraph(&FilterGraph);
    for (TFilter* f : {&AudioFilter, &MP3Enc})
        f->setFilterGraph(voice ? &FilterGraph : nullptr);
    FilterGraph.setActive(true);
    if (!cameraOpen(why)) return false;
    if (!XvidEncoder.GetFilter()) {
        forget(why, "cannot open the XviD encoder: " + XvidEncoder.bindError());
        return false;
    }
    if (voice && !prepareVoice(line, nullptr, why)) return false;
    if (CurrentVideoFormat)
        if (auto config =
                queryInterface<IAMStreamConfig>(TPinList(VideoFilter.GetFilter()).First())) {
            const HRESULT h = config->SetFormat(CurrentVideoFormat->record());
            if (FAILED(h)) {
                forget(why, "\"" + videoName_ + "\" refuses its format: " + GraphErrorText(h));
                return false;
            }
        }
    FilterPtr mux;
    if (!openFile(file, &mux, why)) return false;
    auto builder = FilterGraph.as<ICaptureGraphBuilder2>();
    if (previewSink && previewSink->GetFilter()) {
        const FilterPtr via = previewIntermediate ? previewIntermediate->GetFilter() : nullptr;
        const HRESULT h = attempt([&] {
            return builder->RenderStream(&PIN_CATEGORY_PREVIEW, nullptr, VideoFilter.GetFilter(),
                                         via, previewSink->GetFilter());
        });
        if (FAILED(h)) {
            forget(why, "the preview branch does not connect: " + GraphErrorText(h));
            return false;
        }
    }
    const HRESULT h = attempt([&] {
        return builder->RenderStream(&PIN_CATEGORY_CAPTURE, nullptr, VideoFilter.GetFilter(),
                                     XvidEncoder.GetFilter(), mux);
    });
    if (FAILED(h)) {
        forget(why, "the video capture branch does not connect: " + GraphErrorText(h));
        return false;
    }
    if (voice && !connectVoice(mux, why)) return false;
    return start(why);
}

// -- The audio capture graph.

bool AudioCaptureGraph::record(const std::string& file, const std::string& line,
                               recorder::InputLines* lines, std::string* why) {
    attempt([&] { return FilterGraph.Stop() ? S_OK : S_FALSE; });
    FilterGraph.setActive(false);
    for (TFilter* f : {&AudioFilter, &MP3Enc})
        f->setFilterGraph(&FilterGraph);
    FilterGraph.setActive(true);
    if (!prepareVoice(line, lines, why)) return false;
    FilterPtr mux;
    if (!openFile(file, &mux, why)) return false;
    if (!connectVoice(mux, why)) return false;
    return start(why);
}

} // namespace capture
