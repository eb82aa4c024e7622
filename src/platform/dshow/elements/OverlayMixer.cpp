// The overlay mixer: a bin "videoconvert ! videobalance ! videocrop" with the pads "Input0" and
// "Output". The converter lets any raw picture in; the balance element changes the colours the
// renderer's sink cannot change itself; the crop trims the picture to the aspect of the
// renderer's window in crop mode.
//
// Threads: the pins' interfaces are called on the user-interface thread. The input's caps are
// learnt on a streaming thread, the output's link may be made on either, and the renderer's
// window size arrives on the user-interface thread; all of them meet in MixerState under its
// lock. The callback object is called only through runOnUserInterfaceThread.
#include "platform/dshow/elements/OverlayMixer.h"

#include "platform/dshow/base/Filters.h"
#include "platform/dshow/base/GstRef.h"
#include "platform/dshow/base/VideoWindowWatch.h"

#include <gst/video/colorbalance.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <mutex>
#include <numeric>
#include <strings.h>
#include <utility>

namespace platform::dshow {

const GUID CLSID_OverlayMixer{
    0xCD8743A1, 0x3736, 0x11D0, {0x9E, 0x69, 0x00, 0xC0, 0x4F, 0xD7, 0xC1, 0x5B}};
const GUID CLSID_OverlayMixer2{
    0xA0025E90, 0xE45B, 0x11D1, {0xAB, 0xE9, 0x00, 0xA0, 0xC9, 0x05, 0xF3, 0x75}};
const GUID CLSID_VideoMixingRenderer{
    0xB87BEB7B, 0x8D29, 0x423F, {0xAE, 0x4D, 0x65, 0x82, 0xC1, 0x01, 0x75, 0xAC}};

namespace {
// -- The dispatcher is protected by dispatchLock.
std::mutex dispatchLock;
std::function<void(std::function<void()>)> dispatcher;
} // namespace

void setUserInterfaceDispatcher(std::function<void(std::function<void()>)> dispatch) {
    std::lock_guard lock(dispatchLock);
    dispatcher = std::move(dispatch);
}

void runOnUserInterfaceThread(std::function<void()> task) {
    std::function<void(std::function<void()>)> dispatch;
    {
        std::lock_guard lock(dispatchLock);
        dispatch = dispatcher;
    }
    // Called outside the lock: a dispatcher that runs the task at once may queue another.
    if (dispatch)
        dispatch(std::move(task));
    else
        task();
}

namespace {

constexpr uint32_t DefaultColorKey = rgbColor(16, 0, 16);
// Sharpness and gamma have nothing that stands in for them.
constexpr uint32_t ColorFlagsOffered =
    DDCOLOR_BRIGHTNESS | DDCOLOR_CONTRAST | DDCOLOR_HUE | DDCOLOR_SATURATION | DDCOLOR_COLORENABLE;

// One colour setting: its range, its published default, and how it maps onto videobalance's
// property of the same name: normalised = (value - offset) / scale above the offset and
// (value - offset) / scaleBelow below it, in lo .. hi, neutral at the default. Brightness's
// default (750) lies near the bottom of its range: the two scales take both ends to the ends of
// videobalance's, 0 to the darkest and 10000 to the brightest. A sink's colour-balance channel
// whose label ends in channel takes the normalised range linearly onto its own.
struct Setting {
    const char* property;
    const char* channel;
    long min, max, publishedDefault;
    double offset, scale, scaleBelow, lo, hi;
};
enum { Brightness, Contrast, Hue, Saturation, SettingCount };
constexpr std::array<Setting, SettingCount> Settings{{
    {"brightness", "BRIGHTNESS", 0, 10000, 750, 750, 9250, 750, -1, 1},
    {"contrast", "CONTRAST", 0, 20000, 10000, 0, 10000, 10000, 0, 2},
    {"hue", "HUE", -180, 180, 0, 0, 180, 180, -1, 1},
    {"saturation", "SATURATION", 0, 20000, 10000, 0, 10000, 10000, 0, 2},
}};

double normalised(int which, long value) {
    const Setting& s = Settings[size_t(which)];
    const double from = double(value) - s.offset;
    return from / (from < 0 ? s.scaleBelow : s.scale);
}
long settingOf(int which, double value) {
    const Setting& s = Settings[size_t(which)];
    return std::lround(value * (value < 0 ? s.scaleBelow : s.scale) + s.offset);
}
int channelValue(int which, double value, const GstColorBalanceChannel* c) {
    const Setting& s = Settings[size_t(which)];
    const double at = (value - s.lo) / (s.hi - s.lo);
    return c->min_value + int(std::lround(at * double(c->max_value - c->min_value)));
}
double fromChannel(int which, int value, const GstColorBalanceChannel* c) {
    const Setting& s = Settings[size_t(which)];
    if (c->max_value == c->min_value) return s.lo;
    return s.lo +
           double(value - c->min_value) / double(c->max_value - c->min_value) * (s.hi - s.lo);
}

// The sink's channel for a setting ("XV_BRIGHTNESS", "BRIGHTNESS" ...), or null. The channel
// belongs to the sink.
GstColorBalanceChannel* channelOf(GstElement* sink, int which) {
    if (!sink || !GST_IS_COLOR_BALANCE(sink)) return nullptr;
    const char* want = Settings[size_t(which)].channel;
    for (const GList* l = gst_color_balance_list_channels(GST_COLOR_BALANCE(sink)); l;
         l = l->next) {
        auto* c = GST_COLOR_BALANCE_CHANNEL(l->data);
        const size_t n = c->label ? strlen(c->label) : 0, w = strlen(want);
        if (n >= w && strcasecmp(c->label + n - w, want) == 0) return c;
    }
    return nullptr;
}

bool hasProperty(GstElement* e, const char* name) {
    return e && g_object_class_find_property(G_OBJECT_GET_CLASS(e), name);
}

void setIfPresent(GstElement* e, const char* property, gboolean value) {
    if (hasProperty(e, property)) g_object_set(e, property, value, nullptr);
}

// A colour key as Xv sinks hold it (0xRRGGBB) and as this layer does (0x00BBGGRR).
uint32_t fromSinkColor(gint rgb) {
    return rgbColor(uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb));
}
gint toSinkColor(uint32_t color) {
    return gint((color & 0xFF) << 16 | (color & 0xFF00) | (color >> 16 & 0xFF));
}

struct VideoProps {
    long width = 0, height = 0;
    int parN = 1, parD = 1;
    bool operator==(const VideoProps&) const = default;
};

// What the mixer's pins, its pads' probes and signals and the renderer's size watch share.
// Held by each of them, so it outlives any call under way.
class MixerState : public std::enable_shared_from_this<MixerState> {
  public:
    MixerState(GstElement* balance, GstElement* crop)
        : balance_(ElementRef::ref(balance)), crop_(ElementRef::ref(crop)) {}
    ~MixerState() { unwatch(); }

    // -- Colours. This function is thread-safe.
    HRESULT setColors(const DDCOLORCONTROL& c) {
        if (c.dwSize != sizeof(DDCOLORCONTROL)) return E_INVALIDARG;
        const long given[] = {c.lBrightness, c.lContrast, c.lHue, c.lSaturation};
        const uint32_t taken = c.dwFlags & ColorFlagsOffered;
        if (!taken) return E_INVALIDARG;
        for (int i = 0; i < SettingCount; ++i)
            if ((c.dwFlags & (1u << i)) &&
                (given[i] < Settings[size_t(i)].min || given[i] > Settings[size_t(i)].max))
                return E_INVALIDARG;
        {
            std::lock_guard l(lock_);
            for (int i = 0; i < SettingCount; ++i)
                if (c.dwFlags & (1u << i)) values_[size_t(i)] = given[i];
            if (c.dwFlags & DDCOLOR_SHARPNESS) sharpness_ = c.lSharpness;
            if (c.dwFlags & DDCOLOR_GAMMA) gamma_ = c.lGamma;
            if (c.dwFlags & DDCOLOR_COLORENABLE) colorEnable_ = c.lColorEnable != 0;
        }
        applyColors();
        return S_OK;
    }

    // This function is thread-safe.
    HRESULT getColors(DDCOLORCONTROL* c) {
        if (!c) return E_POINTER;
        if (c->dwSize != sizeof(DDCOLORCONTROL)) return E_INVALIDARG;
        std::lock_guard l(lock_);
        long out[SettingCount];
        for (int i = 0; i < SettingCount; ++i) {
            const long stored = values_[size_t(i)];
            // Saturation while the colours are off stands at zero; the setting is kept.
            if (i == Saturation && !colorEnable_) {
                out[i] = stored;
                continue;
            }
            GstColorBalanceChannel* ch = inSink_[size_t(i)] ? channelOf(sink_, i) : nullptr;
            if (inSink_[size_t(i)] && !ch) {
                // The sink has closed its display since (its channels went with it); the
                // setting comes back to it when it pauses again.
                out[i] = stored;
            } else if (ch) {
                const int now = gst_color_balance_get_value(GST_COLOR_BALANCE(sink_.get()), ch);
                // A channel is coarser than the setting: the setting that gave the channel's
                // value is given back as it was set.
                out[i] = now == channelValue(i, normalised(i, stored), ch)
                             ? stored
                             : settingOf(i, fromChannel(i, now, ch));
            } else {
                gdouble now = 0;
                g_object_get(balance_.get(), Settings[size_t(i)].property, &now, nullptr);
                out[i] = settingOf(i, now);
            }
        }
        c->dwFlags = ColorFlagsOffered;
        c->lBrightness = int32_t(out[Brightness]);
        c->lContrast = int32_t(out[Contrast]);
        c->lHue = int32_t(out[Hue]);
        c->lSaturation = int32_t(out[Saturation]);
        c->lSharpness = int32_t(sharpness_);
        c->lGamma = int32_t(gamma_);
        c->lColorEnable = colorEnable_ ? 1 : 0;
        c->dwReserved1 = 0;
        return S_OK;
    }

    // Puts the settings where they live now: on the sink's channels where it has them, the
    // rest on the balance element, which stays neutral for what the sink does.
    // This function is thread-safe.
    void applyColors() {
        std::lock_guard l(lock_);
        for (int i = 0; i < SettingCount; ++i) {
            double v = normalised(i, values_[size_t(i)]);
            if (i == Saturation && !colorEnable_) v = 0;
            const Setting& s = Settings[size_t(i)];
            GstColorBalanceChannel* ch = channelOf(sink_, i);
            inSink_[size_t(i)] = ch != nullptr;
            if (ch) {
                gst_color_balance_set_value(GST_COLOR_BALANCE(sink_.get()), ch,
                                            channelValue(i, v, ch));
                v = normalised(i, s.publishedDefault);
            }
            g_object_set(balance_.get(), s.property, v, nullptr);
        }
        // A sink with a colour key of its own leaves the painting of the key to the window
        // under the video. A key set by the user becomes the sink's; else the sink's is the key.
        if (hasProperty(sink_, "colorkey")) {
            setIfPresent(sink_, "autopaint-colorkey", FALSE);
            if (keySet_) g_object_set(sink_.get(), "colorkey", toSinkColor(key_), nullptr);
        }
    }

    // -- Colour key. These functions are thread-safe.
    uint32_t colorKey() {
        std::lock_guard l(lock_);
        return keyLocked();
    }
    void setColorKey(uint32_t color) {
        {
            std::lock_guard l(lock_);
            key_ = color;
            keySet_ = true;
        }
        applyColors();
    }

    // -- Aspect. These functions are thread-safe.
    void setMode(AM_ASPECT_RATIO_MODE mode) {
        {
            std::lock_guard l(lock_);
            mode_ = mode;
        }
        applyCrop();
    }
    AM_ASPECT_RATIO_MODE mode() {
        std::lock_guard l(lock_);
        return mode_;
    }

    // In crop mode, trims the picture to the aspect of the renderer's window, centred; in the
    // others, shows it whole. This function is thread-safe.
    void applyCrop() {
        std::lock_guard l(lock_);
        int left = 0, right = 0, top = 0, bottom = 0;
        const VideoProps& p = props_;
        if (mode_ == AM_ARMODE_CROP && known_ && windowWidth_ > 0 && windowHeight_ > 0) {
            // Display sizes, the pixels' aspect counted: the window's aspect W:H against the
            // picture's width * parN : height * parD.
            const double W = double(windowWidth_), H = double(windowHeight_);
            const double dw = double(p.width) * p.parN, dh = double(p.height) * p.parD;
            if (dw * H > dh * W) {
                const long keep = std::clamp(
                    std::lround(double(p.height) * p.parD * W / (H * p.parN)), 1L, p.width);
                left = int((p.width - keep) / 2);
                right = int(p.width - keep - left);
            } else {
                const long keep = std::clamp(
                    std::lround(double(p.width) * p.parN * H / (W * p.parD)), 1L, p.height);
                top = int((p.height - keep) / 2);
                bottom = int(p.height - keep - top);
            }
        }
        g_object_set(crop_.get(), "left", left, "right", right, "top", top, "bottom", bottom,
                     nullptr);
    }

    // -- The picture's format, from the input's caps (streaming thread).
    void learnCaps(const GstCaps* caps) {
        const GstStructure* s = gst_caps_get_structure(caps, 0);
        int w = 0, h = 0;
        VideoProps p;
        if (!s || !gst_structure_get_int(s, "width", &w) ||
            !gst_structure_get_int(s, "height", &h) || w <= 0 || h <= 0)
            return;
        p.width = w;
        p.height = h;
        if (!gst_structure_get_fraction(s, "pixel-aspect-ratio", &p.parN, &p.parD) || p.parN <= 0 ||
            p.parD <= 0)
            p.parN = p.parD = 1;
        bool changed;
        {
            std::lock_guard l(lock_);
            changed = !known_ || !(p == props_);
            props_ = p;
            known_ = true;
        }
        applyCrop();
        if (changed) notify();
    }

    // This function is thread-safe.
    HRESULT nativeProps(long* width, long* height, long* arWidth, long* arHeight) {
        if (!width || !height || !arWidth || !arHeight) return E_POINTER;
        std::lock_guard l(lock_);
        if (!known_) return VFW_E_NOT_CONNECTED;
        *width = props_.width;
        *height = props_.height;
        aspectLocked(arWidth, arHeight);
        return S_OK;
    }

    // -- The renderer the output is linked to (any thread that links).
    void linked(GstPad* peer) {
        const PinPtr pin = pinOf(peer);
        FilterPtr renderer = pin ? pin->filter() : nullptr;
        GUID clsid;
        if (!renderer || FAILED(renderer->GetClassID(&clsid)) || clsid != CLSID_VideoRenderer)
            renderer = nullptr;
        ElementRef sink;
        if (renderer)
            forEachElement(GST_BIN(renderer->native()), BinElements::Sinks, [&sink](GstElement* e) {
                sink = ElementRef::ref(e);
                return false;
            });
        unwatch();
        long w = 0, h = 0;
        int id = 0;
        auto watch = std::dynamic_pointer_cast<IVideoWindowWatch>(renderer);
        if (watch)
            id = watch->watchWindowSize(
                [weak = weak_from_this()](long width, long height) {
                    if (auto self = weak.lock()) self->windowSized(width, height);
                },
                &w, &h);
        {
            std::lock_guard l(lock_);
            renderer_ = renderer;
            watch_ = watch;
            watchId_ = id;
            sink_ = sink;
            windowWidth_ = w;
            windowHeight_ = h;
        }
        applyColors();
        applyCrop();
    }
    void unlinked() {
        unwatch();
        {
            std::lock_guard l(lock_);
            renderer_.reset();
            sink_.reset();
            windowWidth_ = windowHeight_ = 0;
        }
        applyColors();
        applyCrop();
    }
    FilterPtr renderer() {
        std::lock_guard l(lock_);
        return renderer_.lock();
    }

    // -- The callback object. These functions are thread-safe.
    void setCallback(std::shared_ptr<IDDrawExclModeVideoCallback> callback) {
        // Waits for a call under way on another thread, so the old object is not called once
        // this returns.
        std::lock_guard calls(callLock_);
        bool known;
        {
            std::lock_guard l(lock_);
            callback_ = std::move(callback);
            ++generation_;
            known = known_ && callback_;
        }
        if (known) notify();
    }

  private:
    uint32_t keyLocked() {
        if (hasProperty(sink_, "colorkey")) {
            gint rgb = -1;
            g_object_get(sink_.get(), "colorkey", &rgb, nullptr);
            if (rgb >= 0) return fromSinkColor(rgb);
        }
        return key_;
    }
    void aspectLocked(long* arWidth, long* arHeight) const {
        const int64_t a = int64_t(props_.width) * props_.parN;
        const int64_t b = int64_t(props_.height) * props_.parD;
        const int64_t g = std::gcd(a, b);
        *arWidth = long(a / g);
        *arHeight = long(b / g);
    }

    void windowSized(long width, long height) {
        {
            std::lock_guard l(lock_);
            windowWidth_ = width;
            windowHeight_ = height;
        }
        applyCrop();
    }

    void unwatch() {
        std::shared_ptr<IVideoWindowWatch> watch;
        int id;
        {
            std::lock_guard l(lock_);
            watch = watch_.lock();
            id = std::exchange(watchId_, 0);
            watch_.reset();
        }
        if (watch && id) watch->unwatchWindowSize(id);
    }

    // Queues the key and the size to the callback object of this registration.
    void notify() {
        uint64_t generation;
        {
            std::lock_guard l(lock_);
            if (!callback_) return;
            generation = generation_;
        }
        runOnUserInterfaceThread([weak = weak_from_this(), generation] {
            if (auto self = weak.lock()) self->call(generation);
        });
    }

    // Calls the callback object, unless it was removed or replaced since the call was queued.
    void call(uint64_t generation) {
        std::lock_guard calls(callLock_);
        std::shared_ptr<IDDrawExclModeVideoCallback> callback;
        COLORKEY key;
        long w, h, arW, arH;
        {
            std::lock_guard l(lock_);
            if (generation != generation_ || !callback_) return;
            callback = callback_;
            key.KeyType = CK_RGB;
            key.LowColorValue = key.HighColorValue = keyLocked();
            w = props_.width;
            h = props_.height;
            aspectLocked(&arW, &arH);
        }
        callback->OnUpdateColorKey(&key, key.HighColorValue);
        {
            // The callback may have removed itself meanwhile.
            std::lock_guard l(lock_);
            if (generation != generation_) return;
        }
        callback->OnUpdateSize(w, h, arW, arH);
    }

    const ElementRef balance_, crop_; // inside the mixer's bin

    // -- Calls of the callback object and changes of it, one at a time. Recursive: the object
    // may set another one from within a call. Taken before lock_.
    std::recursive_mutex callLock_;

    // -- All the following fields are protected by lock_.
    std::mutex lock_;
    std::array<long, SettingCount> values_{750, 10000, 0, 10000};
    std::array<bool, SettingCount> inSink_{};
    long sharpness_ = 5, gamma_ = 1;
    bool colorEnable_ = true;
    uint32_t key_ = DefaultColorKey;
    bool keySet_ = false;
    AM_ASPECT_RATIO_MODE mode_ = AM_ARMODE_LETTER_BOX;
    VideoProps props_;
    bool known_ = false;
    std::weak_ptr<IBaseFilter> renderer_;
    ElementRef sink_; // the renderer's sink
    std::weak_ptr<IVideoWindowWatch> watch_;
    int watchId_ = 0;
    long windowWidth_ = 0, windowHeight_ = 0;
    std::shared_ptr<IDDrawExclModeVideoCallback> callback_;
    uint64_t generation_ = 0;
};

using StatePtr = std::shared_ptr<MixerState>;

void deleteMixerState(gpointer data) {
    delete static_cast<StatePtr*>(data);
}
void deleteStateClosure(gpointer data, GClosure*) {
    deleteMixerState(data);
}
MixerState& stateOf(gpointer data) {
    return **static_cast<StatePtr*>(data);
}

GQuark stateQuark() {
    static const GQuark q = g_quark_from_static_string("tovamix-overlay-mixer");
    return q;
}

// The mixer's bin: a bin that puts the colours where they live each time it pauses, since a
// sink's colour channels exist only once it has opened its display.
struct TovamixMixerBin {
    GstBin bin;
};
struct TovamixMixerBinClass {
    GstBinClass parentClass;
};

G_DEFINE_TYPE(TovamixMixerBin, tovamix_mixer_bin, GST_TYPE_BIN)

GstStateChangeReturn mixerBinChangeState(GstElement* element, GstStateChange transition) {
    const GstStateChangeReturn r =
        GST_ELEMENT_CLASS(tovamix_mixer_bin_parent_class)->change_state(element, transition);
    const bool toPaused = transition == GST_STATE_CHANGE_READY_TO_PAUSED ||
                          transition == GST_STATE_CHANGE_PLAYING_TO_PAUSED;
    if (toPaused && r != GST_STATE_CHANGE_FAILURE)
        if (gpointer data = g_object_get_qdata(G_OBJECT(element), stateQuark()))
            stateOf(data).applyColors();
    return r;
}

void tovamix_mixer_bin_class_init(TovamixMixerBinClass* klass) {
    GST_ELEMENT_CLASS(klass)->change_state = mixerBinChangeState;
}
void tovamix_mixer_bin_init(TovamixMixerBin*) {}

class MixerPin final : public GstPin, public IMixerPinConfig2 {
  public:
    MixerPin(GstPad* pad, std::weak_ptr<IBaseFilter> filter, StatePtr state)
        : GstPin(pad, std::move(filter)), state_(std::move(state)) {}

    HRESULT SetAspectRatioMode(AM_ASPECT_RATIO_MODE mode) override {
        if (mode < AM_ARMODE_STRETCHED || mode > AM_ARMODE_STRETCHED_AS_PRIMARY)
            return E_INVALIDARG;
        state_->setMode(mode);
        return S_OK;
    }
    HRESULT GetAspectRatioMode(AM_ASPECT_RATIO_MODE* mode) override {
        if (!mode) return E_POINTER;
        *mode = state_->mode();
        return S_OK;
    }
    HRESULT SetColorKey(const COLORKEY* key) override {
        if (!key) return E_POINTER;
        if (key->KeyType != CK_RGB) return E_INVALIDARG;
        state_->setColorKey(key->LowColorValue & 0xFFFFFF);
        return S_OK;
    }
    HRESULT GetColorKey(COLORKEY* key, uint32_t* color) override {
        const uint32_t c = state_->colorKey();
        if (key) {
            key->KeyType = CK_RGB;
            key->PaletteIndex = 0;
            key->LowColorValue = key->HighColorValue = c;
        }
        if (color) *color = c;
        return S_OK;
    }
    HRESULT SetOverlaySurfaceColorControls(const DDCOLORCONTROL* colors) override {
        if (!colors) return E_POINTER;
        return state_->setColors(*colors);
    }
    HRESULT GetOverlaySurfaceColorControls(DDCOLORCONTROL* colors) override {
        return state_->getColors(colors);
    }
    HRESULT IsOverlayActive() override {
        const FilterPtr mixer = filter();
        if (!mixer) return S_FALSE;
        auto* element = static_cast<GstElement*>(mixer->native());
        const GstState now = GST_STATE(element);
        if (now != GST_STATE_PAUSED && now != GST_STATE_PLAYING) return S_FALSE;
        const PadRef out(gst_element_get_static_pad(element, "Output"));
        const PadRef peer(out ? gst_pad_get_peer(out) : nullptr);
        const PinPtr in = peer ? pinOf(peer) : nullptr;
        const FilterPtr renderer = in ? in->filter() : nullptr;
        GUID clsid;
        if (!renderer || FAILED(renderer->GetClassID(&clsid)) || clsid != CLSID_VideoRenderer)
            return S_FALSE;
        const auto window = queryInterface<IVideoWindow>(renderer);
        uintptr_t owner = 0;
        if (!window || FAILED(window->get_Owner(&owner)) || !owner) return S_FALSE;
        return S_OK;
    }

  private:
    StatePtr state_;
};

class OverlayMixer final : public GstFilter, public IDDrawExclModeVideo {
  public:
    OverlayMixer(GstElement* bin, GstElement* balance, GstElement* crop)
        : GstFilter(bin, "Overlay Mixer"), state_(std::make_shared<MixerState>(balance, crop)) {
        setClassID(CLSID_OverlayMixer);
        g_object_set_qdata_full(G_OBJECT(bin), stateQuark(), new StatePtr(state_),
                                deleteMixerState);
        const PadRef in(gst_element_get_static_pad(bin, "Input0"));
        gst_pad_add_probe(
            in, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
            [](GstPad*, GstPadProbeInfo* info, gpointer data) -> GstPadProbeReturn {
                GstEvent* ev = GST_PAD_PROBE_INFO_EVENT(info);
                if (GST_EVENT_TYPE(ev) == GST_EVENT_CAPS) {
                    GstCaps* caps = nullptr; // borrowed from the event
                    gst_event_parse_caps(ev, &caps);
                    stateOf(data).learnCaps(caps);
                }
                return GST_PAD_PROBE_OK;
            },
            new StatePtr(state_), deleteMixerState);
        const PadRef out(gst_element_get_static_pad(bin, "Output"));
        g_signal_connect_data(out, "linked", G_CALLBACK(+[](GstPad*, GstPad* peer, gpointer data) {
                                  stateOf(data).linked(peer);
                              }),
                              new StatePtr(state_), deleteStateClosure, GConnectFlags(0));
        g_signal_connect_data(out, "unlinked", G_CALLBACK(+[](GstPad*, GstPad*, gpointer data) {
                                  stateOf(data).unlinked();
                              }),
                              new StatePtr(state_), deleteStateClosure, GConnectFlags(0));
    }

    PinPtr makePin(GstPad* pad) override {
        if (GST_PAD_DIRECTION(pad) == GST_PAD_SINK && g_str_equal(GST_PAD_NAME(pad), "Input0"))
            return std::make_shared<MixerPin>(
                pad, std::dynamic_pointer_cast<IBaseFilter>(shared_from_this()), state_);
        return GstFilter::makePin(pad);
    }

    HRESULT SetCallbackInterface(std::shared_ptr<IDDrawExclModeVideoCallback> callback,
                                 uint32_t) override {
        state_->setCallback(std::move(callback));
        return S_OK;
    }
    HRESULT GetNativeVideoProps(long* width, long* height, long* arWidth, long* arHeight) override {
        return state_->nativeProps(width, height, arWidth, arHeight);
    }

  private:
    StatePtr state_;
};

} // namespace

FilterPtr createOverlayMixer() {
    ensureGstInit();
    GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
    GstElement* balance = gst_element_factory_make("videobalance", nullptr);
    GstElement* crop = gst_element_factory_make("videocrop", nullptr);
    if (!convert || !balance || !crop) {
        for (GstElement* e : {convert, balance, crop})
            if (e) gst_object_unref(gst_object_ref_sink(e));
        return nullptr;
    }
    auto* bin = GST_ELEMENT(g_object_new(tovamix_mixer_bin_get_type(), nullptr));
    gst_bin_add_many(GST_BIN(bin), convert, balance, crop, nullptr);
    gst_element_link_many(convert, balance, crop, nullptr);
    const PadRef in(gst_element_get_static_pad(convert, "sink"));
    const PadRef out(gst_element_get_static_pad(crop, "src"));
    gst_element_add_pad(bin, gst_ghost_pad_new("Input0", in));
    gst_element_add_pad(bin, gst_ghost_pad_new("Output", out));
    return std::make_shared<OverlayMixer>(bin, balance, crop);
}

} // namespace platform::dshow
