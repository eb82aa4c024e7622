#include "platform/dshow/devices/CaptureDevice.h"
#include "platform/dshow/graph/GraphServices.h"

#include "platform/dshow/base/GstRef.h"
#include "platform/dshow/base/MediaTypes.h"
#include "platform/dshow/devices/PulseSources.h"
#include "platform/dshow/elements/SoundEndElement.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>

namespace platform::dshow {

namespace {

std::string capsText(const GstCaps* caps) {
    gchar* t = gst_caps_to_string(caps);
    std::string s = t ? t : "";
    g_free(t);
    return s;
}

// The end of a camera's recording at a chosen running time: pictures that start at it or
// later (to the nearest half picture: a picture stamped a moment early still belongs to the
// slot after the stop) are dropped on the device's output. A stop time belongs to one run:
// the run streaming when it was set, or the next one when none was. The probe on the
// output runs on the device's streaming thread; this class is thread-safe.
class PictureEnd {
  public:
    // Sets the stop time for the run whose stream start is run (0: the next run to start).
    void setStopTime(GstClockTime stopTime, uint32_t run) {
        std::lock_guard lock(m_);
        stopTime_ = stopTime;
        stopRun_ = run;
        reached_ = false;
        if (run != 0 && run == run_ && GST_CLOCK_TIME_IS_VALID(lastEnd_) && lastEnd_ > stopTime)
            reached_ = true;
        if (reached_) changed_.notify_all();
    }
    bool waitForStop(std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_);
        if (!GST_CLOCK_TIME_IS_VALID(stopTime_)) return false;
        return changed_.wait_for(lock, timeout, [this] { return reached_; });
    }
    // The stop time (none while unset) and the end of the last picture passed on in this run.
    void info(GstClockTime* stopTime, GstClockTime* delivered) {
        std::lock_guard lock(m_);
        *stopTime = stopRun_ == run_ || stopRun_ == 0 ? stopTime_ : GST_CLOCK_TIME_NONE;
        *delivered = GST_CLOCK_TIME_IS_VALID(lastEnd_) ? lastEnd_ : 0;
    }

    // A new run: its stream start's sequence number.
    void started(uint32_t run) {
        std::lock_guard lock(m_);
        run_ = run;
        lastEnd_ = GST_CLOCK_TIME_NONE;
        if (stopRun_ == 0 && GST_CLOCK_TIME_IS_VALID(stopTime_)) stopRun_ = run;
    }
    // The end of the stream: whoever waits for the stop waits no longer.
    void ended() {
        std::lock_guard lock(m_);
        if (GST_CLOCK_TIME_IS_VALID(stopTime_) && stopRun_ == run_) reached_ = true;
        changed_.notify_all();
    }
    // Whether a picture from start (running time) for duration is kept.
    bool keep(GstClockTime start, GstClockTime duration) {
        std::lock_guard lock(m_);
        const bool stopping = GST_CLOCK_TIME_IS_VALID(stopTime_) && stopRun_ == run_;
        const GstClockTime half = GST_CLOCK_TIME_IS_VALID(duration) ? duration / 2 : 0;
        if (stopping && start + half >= stopTime_) {
            if (!reached_) {
                reached_ = true;
                changed_.notify_all();
            }
            return false;
        }
        lastEnd_ = start + (GST_CLOCK_TIME_IS_VALID(duration) ? duration : 0);
        return true;
    }

  private:
    std::mutex m_;
    std::condition_variable changed_;
    // All the following fields are protected by m_.
    GstClockTime stopTime_ = GST_CLOCK_TIME_NONE;
    uint32_t stopRun_ = 0; // the run the stop time belongs to; 0: the next one
    uint32_t run_ = 0;     // the run streaming now (its stream start's sequence number)
    GstClockTime lastEnd_ = GST_CLOCK_TIME_NONE;
    bool reached_ = false;
};

// The sequence number of the stream start a pad carries (the run it streams), 0 for none.
uint32_t runOf(GstPad* pad) {
    GstEvent* start = gst_pad_get_sticky_event(pad, GST_EVENT_STREAM_START, 0);
    if (!start) return 0;
    const uint32_t run = gst_event_get_seqnum(start);
    gst_event_unref(start);
    return run;
}

// Watches a camera's output for its picture end: drops what comes from the stop time on.
void watchPictureEnd(GstPad* out, const std::shared_ptr<PictureEnd>& end) {
    gst_pad_add_probe(
        out, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
        [](GstPad* pad, GstPadProbeInfo* info, gpointer data) -> GstPadProbeReturn {
            PictureEnd& e = **static_cast<std::shared_ptr<PictureEnd>*>(data);
            if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
                GstEvent* ev = GST_PAD_PROBE_INFO_EVENT(info);
                if (GST_EVENT_TYPE(ev) == GST_EVENT_STREAM_START)
                    e.started(gst_event_get_seqnum(ev));
                else if (GST_EVENT_TYPE(ev) == GST_EVENT_EOS)
                    e.ended();
                return GST_PAD_PROBE_OK;
            }
            GstBuffer* buf = GST_PAD_PROBE_INFO_BUFFER(info);
            if (!GST_BUFFER_PTS_IS_VALID(buf)) return GST_PAD_PROBE_OK;
            GstClockTime start = GST_BUFFER_PTS(buf);
            if (GstEvent* seg = gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0)) {
                const GstSegment* segment = nullptr;
                gst_event_parse_segment(seg, &segment);
                if (segment->format == GST_FORMAT_TIME)
                    start = gst_segment_to_running_time(segment, GST_FORMAT_TIME, start);
                gst_event_unref(seg);
            }
            if (!GST_CLOCK_TIME_IS_VALID(start)) return GST_PAD_PROBE_OK;
            return e.keep(start, GST_BUFFER_DURATION(buf)) ? GST_PAD_PROBE_OK : GST_PAD_PROBE_DROP;
        },
        new std::shared_ptr<PictureEnd>(end),
        [](gpointer data) { delete static_cast<std::shared_ptr<PictureEnd>*>(data); });
}

// What the pins of one capture filter share: its bin, its format filter and the device's
// formats. Pins are made afresh whenever they are asked for, so they keep this alive.
struct CaptureState {
    // Takes references to the elements and over the reference to caps.
    CaptureState(GstElement* b, GstElement* f, GstElement* e, GstCaps* caps)
        : bin(ElementRef::ref(b)), formatFilter(ElementRef::ref(f)), soundEnd(ElementRef::ref(e)),
          deviceCaps(caps) {}
    ElementRef bin;
    ElementRef formatFilter;
    ElementRef soundEnd; // of a sound device; null for pictures
    CapsRef deviceCaps;
    std::vector<std::string> formats;
    std::shared_ptr<PictureEnd> pictureEnd; // of a camera; null for sound
};

// The running time of a playing element now; none when it is not playing.
GstClockTime runningTimeNow(GstElement* element) {
    if (GST_STATE(element) != GST_STATE_PLAYING) return GST_CLOCK_TIME_NONE;
    const GstRef<GstClock> clock(gst_element_get_clock(element));
    if (!clock) return GST_CLOCK_TIME_NONE;
    const GstClockTime now = gst_clock_get_time(clock);
    const GstClockTime base = gst_element_get_base_time(element);
    return now >= base ? now - base : 0;
}

class CapturePin : public GstPin, public IAMStreamConfig {
  public:
    CapturePin(GstPad* pad, std::weak_ptr<IBaseFilter> f, std::shared_ptr<CaptureState> state)
        : GstPin(pad, std::move(f)), state_(std::move(state)) {}

    HRESULT GetFormat(AM_MEDIA_TYPE* mt) override {
        if (!mt) return E_POINTER;
        GstCaps* chosenCaps = nullptr;
        g_object_get(state_->formatFilter, "caps", &chosenCaps, nullptr);
        const CapsRef chosen(chosenCaps);
        std::string text;
        if (chosen && !gst_caps_is_any(chosen) && !gst_caps_is_empty(chosen))
            text = capsText(chosen);
        if (text.empty())
            if (const CapsRef now{gst_pad_get_current_caps(static_cast<GstPad*>(native()))})
                text = capsText(now);
        if (text.empty() && !state_->formats.empty()) text = state_->formats.front();
        return !text.empty() && mediaTypeFromCaps(text, *mt) ? S_OK : VFW_E_NOT_CONNECTED;
    }

    HRESULT SetFormat(const AM_MEDIA_TYPE& mt) override {
        if (GST_STATE(state_->bin) > GST_STATE_READY ||
            GST_STATE_PENDING(state_->bin) > GST_STATE_READY)
            return VFW_E_NOT_STOPPED;
        const std::string text = capsFromMediaType(mt);
        if (text.empty()) return VFW_E_INVALIDMEDIATYPE;
        const CapsRef caps(gst_caps_from_string(text.c_str()));
        if (!caps) return VFW_E_INVALIDMEDIATYPE;
        if (state_->deviceCaps && !gst_caps_is_any(state_->deviceCaps) &&
            !gst_caps_can_intersect(caps, state_->deviceCaps))
            return VFW_E_INVALIDMEDIATYPE;
        g_object_set(state_->formatFilter, "caps", caps.get(), nullptr);
        return S_OK;
    }

    HRESULT GetNumberOfCapabilities(int* count) override {
        if (!count) return E_POINTER;
        *count = int(state_->formats.size());
        return S_OK;
    }

    HRESULT GetStreamCaps(int index, AM_MEDIA_TYPE* mt) override {
        if (!mt) return E_POINTER;
        if (index < 0 || size_t(index) >= state_->formats.size()) return E_INVALIDARG;
        return mediaTypeFromCaps(state_->formats[size_t(index)], *mt) ? S_OK : E_FAIL;
    }

  private:
    std::shared_ptr<CaptureState> state_;
};

// The output pin of a camera, which can also end its recording at an instant.
class PictureCapturePin : public CapturePin, public IAMStreamControl {
  public:
    PictureCapturePin(GstPad* pad, std::weak_ptr<IBaseFilter> f,
                      std::shared_ptr<CaptureState> state)
        : CapturePin(pad, std::move(f), state), state_(std::move(state)) {}

    HRESULT StopAt(const int64_t* stopTime) override {
        auto* pad = static_cast<GstPad*>(native());
        const uint32_t run = runOf(pad);
        if (stopTime) {
            // Ahead of the run (the graph about to run, or running): it applies to the pictures
            // of the run streaming now, or of the next one.
            state_->pictureEnd->setStopTime(GstClockTime(std::max<int64_t>(*stopTime, 0)) * 100,
                                            run);
            return S_OK;
        }
        const GstClockTime now = runningTimeNow(state_->bin);
        if (!GST_CLOCK_TIME_IS_VALID(now) || run == 0) return VFW_E_WRONG_STATE;
        state_->pictureEnd->setStopTime(now, run);
        return S_OK;
    }

    HRESULT WaitForStop(long timeoutMs) override {
        return state_->pictureEnd->waitForStop(std::chrono::milliseconds(std::max(0L, timeoutMs)))
                   ? S_OK
                   : S_FALSE;
    }

    HRESULT GetInfo(int64_t* stopTime, int64_t* delivered) override {
        GstClockTime stop = GST_CLOCK_TIME_NONE, upTo = 0;
        state_->pictureEnd->info(&stop, &upTo);
        if (stopTime) *stopTime = GST_CLOCK_TIME_IS_VALID(stop) ? int64_t(stop / 100) : -1;
        if (delivered) *delivered = int64_t(upTo / 100);
        return S_OK;
    }

  private:
    std::shared_ptr<CaptureState> state_;
};

// The output pin of a sound device, which can also end its recording at an instant.
class SoundCapturePin : public CapturePin, public IAMStreamControl, public IAMSoundTap {
  public:
    SoundCapturePin(GstPad* pad, std::weak_ptr<IBaseFilter> f, std::shared_ptr<CaptureState> state)
        : CapturePin(pad, std::move(f), state), state_(std::move(state)) {}

    HRESULT StopAt(const int64_t* stopTime) override {
        const GstClockTime now = runningTimeNow(state_->soundEnd);
        if (!GST_CLOCK_TIME_IS_VALID(now)) return VFW_E_WRONG_STATE;
        end()->setStopTime(stopTime ? GstClockTime(std::max<int64_t>(*stopTime, 0)) * 100 : now);
        return S_OK;
    }

    HRESULT WaitForStop(long timeoutMs) override {
        return end()->waitForStop(std::chrono::milliseconds(std::max(0L, timeoutMs))) ? S_OK
                                                                                      : S_FALSE;
    }

    HRESULT GetInfo(int64_t* stopTime, int64_t* delivered) override {
        const SoundEnd::Figures f = end()->figures();
        if (stopTime)
            *stopTime = GST_CLOCK_TIME_IS_VALID(f.stopTime) ? int64_t(f.stopTime / 100) : -1;
        if (delivered) *delivered = int64_t(f.delivered / 100);
        return S_OK;
    }

    HRESULT SetTap(std::shared_ptr<SoundTap> tap) override {
        end()->setTap(std::move(tap));
        return S_OK;
    }

    HRESULT GetRunningTime(int64_t* now) override {
        if (!now) return E_POINTER;
        const GstClockTime t = runningTimeNow(state_->soundEnd);
        if (!GST_CLOCK_TIME_IS_VALID(t)) return VFW_E_WRONG_STATE;
        *now = int64_t(t / 100);
        return S_OK;
    }

  private:
    SoundEnd* end() const { return soundEndOf(state_->soundEnd); }
    std::shared_ptr<CaptureState> state_;
};

// One input line of a sound source: a port of a PulseAudio source, or the whole source when
// it has no ports (port empty).
struct Line {
    std::string source;
    std::string port;
};

class LinePin : public GstPin, public IAMAudioInputMixer {
  public:
    LinePin(GstPad* pad, std::weak_ptr<IBaseFilter> f, Line line)
        : GstPin(pad, std::move(f)), line_(std::move(line)) {}

    HRESULT get_Enable(bool* enabled) override {
        if (!enabled) return E_POINTER;
        if (line_.port.empty()) {
            *enabled = true;
            return S_OK;
        }
        const auto info = pulseSourceInfo(line_.source);
        if (!info) return VFW_E_NO_AUDIO_HARDWARE;
        *enabled = info->activePort == line_.port;
        return S_OK;
    }

    HRESULT put_Enable(bool enable) override {
        bool active = false;
        if (const HRESULT h = get_Enable(&active); FAILED(h)) return h;
        // A source always records from one line: the active one cannot be switched off.
        if (!enable) return active ? S_FALSE : S_OK;
        if (active) return S_OK;
        return pulseSetSourcePort(line_.source, line_.port) ? S_OK : E_FAIL;
    }

  private:
    Line line_;
};

class CaptureFilter : public GstFilter {
  public:
    CaptureFilter(GstElement* bin, std::string name, std::shared_ptr<CaptureState> state,
                  std::map<std::string, Line> lines)
        : GstFilter(bin, std::move(name)), state_(std::move(state)), lines_(std::move(lines)) {}

    PinPtr makePin(GstPad* pad) override {
        auto self = std::dynamic_pointer_cast<IBaseFilter>(shared_from_this());
        const std::string name = GST_PAD_NAME(pad);
        if (name == "Capture" && state_->soundEnd)
            return std::make_shared<SoundCapturePin>(pad, self, state_);
        if (name == "Capture" && state_->pictureEnd)
            return std::make_shared<PictureCapturePin>(pad, self, state_);
        if (name == "Capture") return std::make_shared<CapturePin>(pad, self, state_);
        if (auto it = lines_.find(name); it != lines_.end())
            return std::make_shared<LinePin>(pad, self, it->second);
        return GstFilter::makePin(pad);
    }

  private:
    std::shared_ptr<CaptureState> state_;
    std::map<std::string, Line> lines_;
};

// The PulseAudio source a device stands for, or "" for a device of another kind.
std::string pulseSourceName(GstDevice* device) {
    if (!g_object_class_find_property(G_OBJECT_GET_CLASS(device), "internal-name")) return {};
    gchar* name = nullptr;
    g_object_get(device, "internal-name", &name, nullptr);
    std::string s = name ? name : "";
    g_free(name);
    return s;
}

// The input lines of a sound device, by pin name, in the source's order.
std::vector<std::pair<std::string, Line>> inputLines(GstDevice* device, const std::string& name) {
    const std::string source = pulseSourceName(device);
    std::vector<std::pair<std::string, Line>> out;
    std::optional<PulseSourceInfo> info;
    if (!source.empty()) info = pulseSourceInfo(source);
    if (info && !info->ports.empty()) {
        for (const PulsePort& p : info->ports) {
            std::string pin = p.description.substr(0, 128);
            // Two ports of one description stay apart.
            while (std::any_of(out.begin(), out.end(), [&](auto& l) { return l.first == pin; }))
                pin += "#";
            out.push_back({pin, Line{source, p.name}});
        }
    } else {
        out.push_back({(info ? info->description : name).substr(0, 128), Line{source, {}}});
    }
    return out;
}

} // namespace

std::vector<std::string> captureFormats(const GstCaps* deviceCaps, bool audio) {
    std::vector<std::string> out;
    const bool any = !deviceCaps || gst_caps_is_any(deviceCaps);
    if (audio) {
        for (int channels : {2, 1})
            for (int rate : {44100, 48000, 32000, 22050, 16000, 11025, 8000}) {
                const std::string text =
                    "audio/x-raw, format=(string)S16LE, layout=(string)interleaved, rate=(int)" +
                    std::to_string(rate) + ", channels=(int)" + std::to_string(channels);
                const CapsRef c(gst_caps_from_string(text.c_str()));
                if (any || gst_caps_can_intersect(c, deviceCaps)) out.push_back(text);
            }
        // 44100 Hz stereo first, whatever the order of the loops.
        std::stable_partition(out.begin(), out.end(), [](const std::string& t) {
            return t.find("rate=(int)44100, channels=(int)2") != std::string::npos;
        });
        return out;
    }
    if (any) return out;
    for (guint i = 0; i < gst_caps_get_size(deviceCaps); ++i) {
        // A size offered at several frame rates is one format per rate.
        std::vector<CapsRef> each;
        const GValue* rates =
            gst_structure_get_value(gst_caps_get_structure(deviceCaps, i), "framerate");
        if (rates && GST_VALUE_HOLDS_LIST(rates)) {
            for (guint r = 0; r < gst_value_list_get_size(rates); ++r) {
                CapsRef one(gst_caps_copy_nth(deviceCaps, i));
                gst_structure_set_value(gst_caps_get_structure(one, 0), "framerate",
                                        gst_value_list_get_value(rates, r));
                each.push_back(std::move(one));
            }
        } else {
            each.emplace_back(gst_caps_copy_nth(deviceCaps, i));
        }
        for (CapsRef& c : each) {
            AM_MEDIA_TYPE mt;
            const std::string text = capsText(CapsRef(gst_caps_fixate(c.release())));
            // Only formats the program can describe as media types are offered.
            if (!mediaTypeFromCaps(text, mt)) continue;
            const std::string canonical = capsFromMediaType(mt);
            if (!canonical.empty() && std::find(out.begin(), out.end(), canonical) == out.end())
                out.push_back(canonical);
        }
    }
    return out;
}

FilterPtr createCaptureFilter(GstDevice* device, const std::string& name, bool audio) {
    ensureGstreamer();
    GstElement* src = gst_device_create_element(device, nullptr);
    if (!src) return nullptr;
    ElementRef bin(gst_bin_new(nullptr));
    GstElement* format = gst_element_factory_make("capsfilter", nullptr);
    std::vector<GstElement*> chain = {src, format};
    GstElement* soundEnd = nullptr;
    if (audio) {
        // A voice recording needs no low latency: the sound is read in 100 ms pieces with twenty
        // seconds of room. A server that hands over its sound in bursts, seconds late, overran
        // pieces of the default 10 ms, and the sound in them was lost; the room also holds the
        // next burst while the sound end below waits for sound to fall due, and all the sound
        // the server kept for a program that was stopped (SIGSTOP) and continued, about as much
        // as a sound server holds for one stream: with four seconds, a pause of six lost the
        // sound that did not fit and the device restamped what followed up to 0.2 s late.
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(src), "latency-time"))
            g_object_set(src, "latency-time", gint64(100000), nullptr);
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(src), "buffer-time"))
            g_object_set(src, "buffer-time", gint64(20000000), nullptr);
        // Sound is timed by the system clock, like the pictures recorded beside it: a sound
        // server may deliver nothing for the first second or two of a recording, or deliver in
        // bursts, and timed by its own clock such a recording would come out short.
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(src), "provide-clock"))
            g_object_set(src, "provide-clock", FALSE, nullptr);
        // The sound end makes the recording last from the start of the run to its stop (sound
        // delivered later cut, sound that never came filled with silence); audiorate fills any
        // gap left in the stamps.
        if (registerSoundEndElement())
            if ((soundEnd = gst_element_factory_make("tovamixsoundend", nullptr)))
                chain.push_back(soundEnd);
        if (GstElement* rate = gst_element_factory_make("audiorate", nullptr))
            chain.push_back(rate);
    }
    for (GstElement* e : chain)
        gst_bin_add(GST_BIN(bin.get()), e);
    for (size_t i = 1; i < chain.size(); ++i)
        if (!gst_element_link(chain[i - 1], chain[i])) return nullptr;
    const PadRef out(gst_element_get_static_pad(chain.back(), "src"));
    GstPad* capture = gst_ghost_pad_new("Capture", out);
    gst_element_add_pad(bin, capture);

    auto state = std::make_shared<CaptureState>(bin, format, soundEnd, gst_device_get_caps(device));
    state->formats = captureFormats(state->deviceCaps, audio);
    if (!audio) {
        state->pictureEnd = std::make_shared<PictureEnd>();
        watchPictureEnd(capture, state->pictureEnd);
    }

    std::map<std::string, Line> lines;
    if (audio)
        for (auto& [pin, line] : inputLines(device, name)) {
            gst_element_add_pad(bin, gst_ghost_pad_new_no_target(pin.c_str(), GST_PAD_SINK));
            lines.emplace(pin, std::move(line));
        }
    return std::make_shared<CaptureFilter>(bin.release(), name, std::move(state), std::move(lines));
}

} // namespace platform::dshow
