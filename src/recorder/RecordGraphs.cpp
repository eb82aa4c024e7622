#include "RecordGraphs.h"

#include "media/StoredFilters.h"
#include "media/SharedDevices.h"
#include "media/TMediaType.h"
#include "platform/vfw/AviFile.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>

namespace recorder {

using namespace media;

namespace {

// How long a stop waits for a device that hands over its sound late; such devices are seen
// up to 2-3 s behind. The wait is taken in steps of VoiceStopStepMs.
constexpr auto VoiceStopWait = std::chrono::milliseconds(4000);
constexpr long VoiceStopStepMs = 50;

} // namespace

// -- The voice graph.

VoiceGraph::VoiceGraph() {
    FilterGraph.setMode(gmCapture);
    FilterGraph.setGraphEdit(true);
}

InputLines readInputLines(const FilterPtr& device, bool applyFormat) {
    InputLines lines;
    TPinList pins(device);
    for (int i = 0; i < pins.Count();) {
        if (pins.PinInfo(i).dir != PINDIR_OUTPUT) {
            ++i;
            continue;
        }
        if (applyFormat) {
            if (auto config = queryInterface<IAMStreamConfig>(pins.Item(i));
                config && AudioPinTypes.Count() > 0)
                config->SetFormat(AudioPinTypes.Item(0).record());
        } else {
            AudioPinTypes.Enumerate(pins.Item(i));
        }
        pins.Delete(i);
    }
    for (int i = 0; i < pins.Count(); ++i) {
        lines.names.push_back(pins.PinInfo(i).name);
        lines.pins.push_back(pins.Item(i));
        bool enabled = false;
        if (auto mixer = queryInterface<IAMAudioInputMixer>(pins.Item(i));
            mixer && mixer->get_Enable(&enabled) == S_OK && enabled)
            lines.selected = i;
    }
    return lines;
}

bool VoiceGraph::bindDevice(InputLines* lines, std::string* why) {
    TSysDevEnum& devices = deviceEnumerator();
    devices.SelectCategory(CLSID_AudioInputDeviceCategory);
    *lines = {};
    if (devices.Count() == 0) {
        if (why) *why = "no audio input device is installed";
        return false;
    }
    FilterGraph.setActive(false);
    FilterGraph.ClearGraph();
    AudioFilter.setFilterGraph(&FilterGraph);
    AudioFilter.BaseFilter.setMoniker(devices.GetMoniker(0));
    deviceName_ = devices.Item(0).FriendlyName;
    FilterGraph.setActive(true);
    if (!AudioFilter.GetFilter()) {
        if (why) *why = AudioFilter.bindError();
        FilterGraph.setActive(false);
        return false;
    }
    *lines = readInputLines(AudioFilter.GetFilter(), false);
    FilterGraph.setActive(false);
    return true;
}

bool VoiceGraph::prepare(InputLines* lines, const std::string& chosenLine, std::string* why) {
    TSysDevEnum& devices = deviceEnumerator();
    devices.SelectCategory(CLSID_AudioInputDeviceCategory);
    if (devices.Count() == 0) return false;
    if (!AudioFilter.GetFilter()) {
        // Listed, but gone since it was bound (unplugged, or its server went away).
        if (why) {
            *why = AudioFilter.bindError();
            if (why->empty()) *why = "the sound device cannot be opened";
        }
        return false;
    }
    *lines = readInputLines(AudioFilter.GetFilter(), true);
    enableInputLine(lines, chosenLine);
    return true;
}

void enableInputLine(InputLines* lines, const std::string& chosenLine) {
    // The user's pick wins over whatever line the device had on; the list is read afresh,
    // so the pick is found by name. A line the device refuses leaves its own line on.
    const auto chosen = std::find(lines->names.begin(), lines->names.end(), chosenLine);
    const int line = !chosenLine.empty() && chosen != lines->names.end()
                         ? int(chosen - lines->names.begin())
                         : lines->selected;
    if (line >= 0)
        if (auto mixer = queryInterface<IAMAudioInputMixer>(lines->pins[size_t(line)]);
            mixer && SUCCEEDED(mixer->put_Enable(true)))
            lines->selected = line;
}

HRESULT VoiceGraph::record(const std::string& fileName) {
    return attempt([&]() -> HRESULT {
        auto builder = FilterGraph.as<ICaptureGraphBuilder2>();
        std::error_code ec;
        std::filesystem::remove(fileName, ec);
        FilterPtr mux, writer;
        HRESULT h = builder->SetOutputFileName(MEDIASUBTYPE_Avi, fileName, &mux, &writer);
        if (FAILED(h)) return h;
        h = builder->RenderStream(nullptr, nullptr, AudioFilter.GetFilter(), nullptr, mux);
        if (FAILED(h)) return h;
        return FilterGraph.Play() ? S_OK : S_FALSE;
    });
}

VoiceResult VoiceGraph::stop(const std::function<void()>& whileWaiting) {
    VoiceResult result;
    result.device = deviceName_;
    std::shared_ptr<IAMStreamControl> control;
    if (FilterPtr device = AudioFilter.GetFilter())
        for (const PinPtr& pin : device->pins())
            if (pin->direction() == PINDIR_OUTPUT)
                if ((control = queryInterface<IAMStreamControl>(pin))) break;
    // The stop instant is now; the graph keeps running until the sound recorded before it has
    // come, and the file then ends there. The wait is taken in short steps, so the caller's
    // windows keep answering; a device that delivers nothing more is waited for no longer than
    // one that is late.
    if (control && SUCCEEDED(control->StopAt(nullptr))) {
        int64_t stopTime = 0, delivered = 0;
        control->GetInfo(&stopTime, &delivered);
        const int64_t deliveredAtStop = delivered;
        const auto giveUp = std::chrono::steady_clock::now() + VoiceStopWait;
        bool reached = false;
        while (!(reached = control->WaitForStop(VoiceStopStepMs) == S_OK) &&
               std::chrono::steady_clock::now() < giveUp)
            if (whileWaiting) whileWaiting();
        control->GetInfo(&stopTime, &delivered);
        result.recorded = stopTime >= 0;
        result.wallClock = double(std::max<int64_t>(stopTime, 0)) / 1e7;
        result.delivered = double(delivered) / 1e7;
        result.stalled = result.recorded && !reached && delivered == deliveredAtStop;
    }
    // Ends the file without waiting on the device: silence fills up to the stop instant.
    attempt([&] { return FilterGraph.Stop() ? S_OK : S_FALSE; });
    FilterGraph.setActive(false);
    if (result.stalled && result.delivered < 0.9 * result.wallClock)
        std::fprintf(stderr,
                     "warning: the sound device \"%s\" delivered nothing after %.1f s; the voice "
                     "is silence from there to the stop at %.1f s\n",
                     result.device.c_str(), result.delivered, result.wallClock);
    else if (result.shortOfSound())
        std::fprintf(stderr,
                     "warning: the sound device \"%s\" delivered %.1f s of sound in %.1f s; the "
                     "rest of the voice recording is silence\n",
                     result.device.c_str(), result.delivered, result.wallClock);
    return result;
}

std::shared_ptr<IAMSoundTap> VoiceGraph::soundTap() {
    if (FilterPtr device = AudioFilter.GetFilter())
        for (const PinPtr& pin : device->pins())
            if (pin->direction() == PINDIR_OUTPUT)
                if (auto tap = queryInterface<IAMSoundTap>(pin)) return tap;
    return nullptr;
}

bool VoiceGraph::pcmFormat(int* rate, int* channels, int* bits) {
    if (AudioPinTypes.Count() == 0) return false;
    // A wave format: tag, channels, samples a second, bytes a second, block, bits.
    const std::vector<uint8_t>& f = AudioPinTypes.Item(0).record().format;
    if (f.size() < 16) return false;
    const auto u16 = [&](size_t at) { return int(f[at] | f[at + 1] << 8); };
    if (u16(0) != 1) return false; // PCM
    *channels = u16(2);
    *rate = int(uint32_t(f[4]) | uint32_t(f[5]) << 8 | uint32_t(f[6]) << 16 | uint32_t(f[7]) << 24);
    *bits = u16(14);
    return *rate > 0 && *channels > 0;
}

bool voiceFileUsable(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec) && platform::vfw::aviFileHasSamples(path);
}

// -- The merge graph.

MergeGraph::MergeGraph() {
    FilterGraph2.setMode(gmCapture);
    FilterGraph2.setGraphEdit(true);
    setStoredName(Filter1, FileSourceName);
    setStoredName(Filter2, FileSourceName);
    setStoredName(XvidEncoder, XvidName);
    setStoredName(MP3Enc, Mp3EncoderName);
    for (TFilter* f : {&Filter1, &Filter2, &XvidEncoder, &MP3Enc})
        f->setFilterGraph(&FilterGraph2);
    FilterGraph2.OnDSEvent = [this](TFilterGraph*, long event, intptr_t p1, intptr_t) {
        graphEvent(event, p1);
    };
}

MergeGraph::~MergeGraph() {
    FilterGraph2.OnDSEvent = nullptr;
    clear();
    for (TFilter* f : {&Filter1, &Filter2, &XvidEncoder, &MP3Enc})
        f->setFilterGraph(nullptr);
}

void MergeGraph::clear() {
    writer_.clear();
}

bool MergeGraph::start(const std::string& videoFile, const std::string& audioFile,
                       const std::string& target, std::string* why) {
    std::vector<TWriteStream> streams{{&Filter1, videoFile, nullptr, &XvidEncoder, "the video"}};
    if (!audioFile.empty()) streams.push_back({&Filter2, audioFile, nullptr, &MP3Enc, "the voice"});
    return writer_.build(streams, target, why) && writer_.run(why);
}

bool MergeGraph::targetWritten() const {
    return writer_.targetWritten();
}

double MergeGraph::progress() {
    const int64_t duration = writer_.duration();
    if (duration <= 0) return 0;
    return std::clamp(double(writer_.position()) / double(duration), 0.0, 1.0);
}

void MergeGraph::graphEvent(long event, intptr_t param1) {
    std::string why;
    const TWriteEnd end = writer_.graphEvent(event, param1, &why);
    if (end == TWriteEnd::Completed && onComplete) onComplete();
    if (end == TWriteEnd::Failed && onFailed) onFailed(why);
}

} // namespace recorder
