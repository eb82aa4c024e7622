#include "platform/dshow/devices/Devices.h"
#include "platform/dshow/graph/GraphServices.h"

#include "platform/dshow/devices/CaptureDevice.h"
#include "platform/dshow/base/Filters.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <tuple>

namespace platform::dshow {

const GUID CLSID_VideoInputDeviceCategory{
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
const GUID CLSID_AudioInputDeviceCategory{
    0x33D9A762, 0x90C8, 0x11D0, {0xBD, 0x43, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
const GUID CLSID_VideoCompressorCategory{
    0x33D9A760, 0x90C8, 0x11D0, {0xBD, 0x43, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
const GUID CLSID_AudioCompressorCategory{
    0x33D9A761, 0x90C8, 0x11D0, {0xBD, 0x43, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
const GUID CLSID_LegacyAmFilterCategory{
    0x083863F1, 0x70DE, 0x11D0, {0xBD, 0x40, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
const GUID CLSID_ActiveMovieCategories{
    0xDA4E3DA0, 0xD07D, 0x11D0, {0xBD, 0x50, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
const GUID CLSID_AsyncReader{
    0xE436EBB5, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
const GUID CLSID_AviWavFileSource{
    0xD3588AB0, 0x0781, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
const GUID CLSID_Mp3EncoderFilter{
    0xB8D27088, 0xFF5F, 0x4B7C, {0x98, 0xDC, 0x0E, 0x91, 0xA1, 0x69, 0x62, 0x86}};
const GUID CLSID_DeviceMoniker{
    0x4315D437, 0x5B8C, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};

std::string guidToString(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.d1,
                  g.d2, g.d3, g.d4[0], g.d4[1], g.d4[2], g.d4[3], g.d4[4], g.d4[5], g.d4[6],
                  g.d4[7]);
    return text;
}

bool parseGuid(const std::string& text, GUID& g) {
    unsigned d1, d2, d3, b[8];
    char close = 0;
    if (text.size() != 38 ||
        std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &d1, &d2, &d3, &b[0],
                    &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &close) != 12 ||
        close != '}')
        return false;
    g.d1 = d1;
    g.d2 = uint16_t(d2);
    g.d3 = uint16_t(d3);
    for (int i = 0; i < 8; ++i)
        g.d4[i] = uint8_t(b[i]);
    return true;
}

namespace {

// One entry of a category and how to make its filter.
struct Entry {
    std::string name;
    GUID clsid;
    std::string kind; // "pnp" devices, "cm" compressors, "sw" filters
    std::string key;  // the part after the backslash of the display name
    std::function<FilterPtr()> make;
    bool systemDefault = false; // the input the system's settings name as the default
};

std::string displayNameOf(const GUID& category, const Entry& e) {
    return "@device:" + e.kind + ":" + guidToString(category) + "\\" + e.key;
}

// A bin around elements linked in a row, with ghost pads named as the platform names them.
FilterPtr chain(const std::string& name, std::initializer_list<const char*> factories,
                const char* in, const char* out) {
    ensureGstreamer();
    ElementRef bin(gst_bin_new(nullptr));
    GstElement *first = nullptr, *prev = nullptr;
    for (const char* f : factories) {
        GstElement* e = gst_element_factory_make(f, nullptr);
        if (!e) return nullptr;
        gst_bin_add(GST_BIN(bin.get()), e);
        // Elements that cannot be joined make no codec, rather than one that silently
        // passes nothing.
        if (prev && !gst_element_link(prev, e)) return nullptr;
        if (!first) first = e;
        prev = e;
    }
    if (in) {
        const PadRef p(gst_element_get_static_pad(first, "sink"));
        gst_element_add_pad(bin, gst_ghost_pad_new(in, p));
    }
    if (out) {
        const PadRef p(gst_element_get_static_pad(prev, "src"));
        gst_element_add_pad(bin, gst_ghost_pad_new(out, p));
    }
    return std::make_shared<GstFilter>(bin.release(), name);
}

// The picture format a probed event sets, when it is a caps event with one; else null.
const GstStructure* formatOfCapsEvent(GstPadProbeInfo* info) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS) return nullptr;
    GstCaps* caps = nullptr;
    gst_event_parse_caps(event, &caps);
    return caps && gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
}

// What the two probes on a padded codec's box share; it lives as long as the codec's bin.
struct Padding {
    GstElement* box;
    int multiple;
    std::string colorimetry, chromaSite; // of the pictures coming in
    std::atomic<bool> crop;              // crop to the size below instead of adding a border
};
constexpr const char* PaddingKey = "tovamix-padding";

// A codec over an encoder that codes only sizes that are multiples of `multiple` (XviD: 2,
// MS Video 1: 4) still takes pictures of any size, such as a dragged screen area of 101x77:
// black columns and rows are added at the right and bottom edges up to the next size the
// encoder takes, rather than failing the whole encoding. The border is added in boxFormat, a
// format the encoder's input converts from without loss (pictures of a size the encoder takes
// pass through untouched).
FilterPtr paddedCodec(const std::string& name, const char* encoder, int multiple,
                      const char* boxFormat) {
    ensureGstreamer();
    const std::string description = std::string("videoconvert ! video/x-raw,format=") + boxFormat +
                                    " ! videobox name=box ! video/x-raw,format=" + boxFormat +
                                    " ! videoconvert ! " + encoder + " name=encoder";
    GError* error = nullptr;
    ElementRef bin(gst_parse_bin_from_description(description.c_str(), FALSE, &error));
    if (error) { // also when a bin came back with parts missing
        g_error_free(error);
        return nullptr;
    }
    if (!bin) return nullptr;
    const PadRef first(gst_bin_find_unlinked_pad(GST_BIN(bin.get()), GST_PAD_SINK));
    const ElementRef last(gst_bin_get_by_name(GST_BIN(bin.get()), "encoder"));
    const PadRef lastOut(last ? gst_element_get_static_pad(last, "src") : nullptr);
    // The bin keeps the box, for the probes below.
    const ElementRef box(gst_bin_get_by_name(GST_BIN(bin.get()), "box"));
    if (!first || !lastOut || !box) return nullptr;
    gst_element_add_pad(bin, gst_ghost_pad_new("Input", first));
    gst_element_add_pad(bin, gst_ghost_pad_new("Output", lastOut));

    // What the two probes on the box share; it lives as long as the bin.
    auto* padding = new Padding{box, multiple, {}, {}, {}};
    g_object_set_data_full(G_OBJECT(bin.get()), PaddingKey, padding,
                           [](gpointer data) { delete static_cast<Padding*>(data); });

    // Pictures coming in: the border needed for their size.
    const PadRef in(gst_element_get_static_pad(box, "sink"));
    gst_pad_add_probe(
        in, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            const GstStructure* s = formatOfCapsEvent(info);
            if (!s) return GST_PAD_PROBE_OK;
            auto* p = static_cast<Padding*>(data);
            int w = 0, h = 0;
            gst_structure_get_int(s, "width", &w);
            gst_structure_get_int(s, "height", &h);
            const gchar* colorimetry = gst_structure_get_string(s, "colorimetry");
            const gchar* chromaSite = gst_structure_get_string(s, "chroma-site");
            p->colorimetry = colorimetry ? colorimetry : "";
            p->chromaSite = chromaSite ? chromaSite : "";
            const auto missing = [p](int n) {
                return (p->multiple - n % p->multiple) % p->multiple;
            };
            // A positive border crops that many pixels, a negative one adds them.
            if (p->crop)
                g_object_set(p->box, "right", w % p->multiple, "bottom", h % p->multiple, nullptr);
            else
                g_object_set(p->box, "right", -missing(w), "bottom", -missing(h), nullptr);
            return GST_PAD_PROBE_OK;
        },
        padding, nullptr);

    // Pictures going out: the box copies samples as they are but does not pass on their
    // colorimetry, and without it a full-range picture would be coded as a studio-range one.
    const PadRef out(gst_element_get_static_pad(box, "src"));
    gst_pad_add_probe(
        out, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            const GstStructure* format = formatOfCapsEvent(info);
            const auto* p = static_cast<const Padding*>(data);
            if (!format || (p->colorimetry.empty() && p->chromaSite.empty()))
                return GST_PAD_PROBE_OK;
            const CapsRef fixed(gst_caps_new_full(gst_structure_copy(format), nullptr));
            GstStructure* s = gst_caps_get_structure(fixed, 0);
            if (!p->colorimetry.empty())
                gst_structure_set(s, "colorimetry", G_TYPE_STRING, p->colorimetry.c_str(), nullptr);
            if (!p->chromaSite.empty())
                gst_structure_set(s, "chroma-site", G_TYPE_STRING, p->chromaSite.c_str(), nullptr);
            GstEvent* replaced = gst_event_new_caps(fixed);
            // The new event goes on in place of the one handed in, which is dropped.
            gst_event_unref(GST_PAD_PROBE_INFO_EVENT(info));
            GST_PAD_PROBE_INFO_DATA(info) = replaced;
            return GST_PAD_PROBE_OK;
        },
        padding, nullptr);
    return std::make_shared<GstFilter>(bin.release(), name);
}

bool factoryExists(const char* name) {
    ensureGstreamer();
    return GstRef<GstElementFactory>(gst_element_factory_find(name)) != nullptr;
}

// Every encoder GStreamer has of a class ("Encoder/Video"), by long name, except those given.
std::vector<Entry> encoders(const char* klass, std::initializer_list<const char*> skip,
                            bool video) {
    ensureGstreamer();
    std::vector<Entry> out;
    GList* list =
        gst_element_factory_list_get_elements(GST_ELEMENT_FACTORY_TYPE_ENCODER, GST_RANK_NONE);
    for (GList* l = list; l; l = l->next) {
        auto* f = GST_ELEMENT_FACTORY(l->data);
        const gchar* k = gst_element_factory_get_metadata(f, GST_ELEMENT_METADATA_KLASS);
        const std::string name = GST_OBJECT_NAME(f);
        if (!k || !g_strrstr(k, klass)) continue;
        if (std::find(skip.begin(), skip.end(), name) != skip.end()) continue;
        const char* longName = gst_element_factory_get_metadata(f, GST_ELEMENT_METADATA_LONGNAME);
        Entry e{longName ? longName : name, GUID{}, "cm", name, nullptr};
        e.make = [name, longName = e.name, video] {
            ensureGstreamer();
            ElementRef conv(
                gst_element_factory_make(video ? "videoconvert" : "audioconvert", nullptr));
            ElementRef enc(gst_element_factory_make(name.c_str(), nullptr));
            if (!conv || !enc) return FilterPtr();
            GstElement* bin = gst_bin_new(nullptr);
            // The bin takes over both elements.
            GstElement* in = conv.release();
            GstElement* last = enc.release();
            gst_bin_add_many(GST_BIN(bin), in, last, nullptr);
            gst_element_link(in, last);
            const PadRef input(gst_element_get_static_pad(in, "sink"));
            const PadRef output(gst_element_get_static_pad(last, "src"));
            gst_element_add_pad(bin, gst_ghost_pad_new("Input", input));
            if (output) gst_element_add_pad(bin, gst_ghost_pad_new("Output", output));
            return FilterPtr(std::make_shared<GstFilter>(bin, longName));
        };
        out.push_back(std::move(e));
    }
    gst_plugin_feature_list_free(list);
    std::sort(out.begin(), out.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return out;
}

// Where a device goes in its list: the system's default input first, then other real
// inputs, then the monitors of sound outputs (they hear what the computer plays, not the
// room), so "the first audio input" is the microphone the user has chosen.
int listRank(GstDevice* device) {
    // The system's default input is flagged in the device's properties (PulseAudio's provider
    // puts "is-default" there); a provider that has it as an object property is read too.
    gboolean isDefault = FALSE;
    bool monitor = false;
    if (GstStructure* props = gst_device_get_properties(device)) {
        gst_structure_get_boolean(props, "is-default", &isDefault);
        const gchar* cls = gst_structure_get_string(props, "device.class");
        monitor = cls && std::string(cls) == "monitor";
        gst_structure_free(props);
    }
    if (!isDefault && g_object_class_find_property(G_OBJECT_GET_CLASS(device), "is-default"))
        g_object_get(device, "is-default", &isDefault, nullptr);
    if (isDefault) return 0;
    return monitor ? 2 : 1;
}

// Capture devices of a class ("Video/Source") from the device monitor: the default one, then
// real inputs, then monitors, each group sorted by name.
std::vector<Entry> devices(const char* klass) {
    ensureGstreamer();
    std::vector<std::pair<int, Entry>> ranked; // list rank, entry
    const GstRef<GstDeviceMonitor> monitor(gst_device_monitor_new());
    gst_device_monitor_add_filter(monitor, klass, nullptr);
    gst_device_monitor_start(monitor);
    GList* list = gst_device_monitor_get_devices(monitor);
    gst_device_monitor_stop(monitor);
    for (GList* l = list; l; l = l->next) {
        GstDevice* device = GST_DEVICE(l->data);
        gchar* n = gst_device_get_display_name(device);
        Entry e{n ? n : "Capture device", GUID{}, "pnp", n ? n : "", nullptr};
        g_free(n);
        const bool audio = g_str_has_prefix(klass, "Audio");
        e.make = [keep = GstRef<GstDevice>::ref(device), name = e.name, audio] {
            return createCaptureFilter(keep, name, audio);
        };
        const int rank = listRank(device);
        e.systemDefault = rank == 0;
        ranked.emplace_back(rank, std::move(e));
    }
    g_list_free_full(list, gst_object_unref);
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
        return std::tie(a.first, a.second.name) < std::tie(b.first, b.second.name);
    });
    std::vector<Entry> out;
    for (auto& r : ranked)
        out.push_back(std::move(r.second));
    // Two devices of one name stay apart in their display names.
    for (auto it = out.begin(); it != out.end(); ++it)
        while (std::any_of(out.begin(), it, [&](const Entry& e) { return e.key == it->key; }))
            it->key += "#";
    return out;
}

std::vector<Entry> entriesOf(const GUID& category) {
    if (category == CLSID_VideoInputDeviceCategory) return devices("Video/Source");
    if (category == CLSID_AudioInputDeviceCategory) return devices("Audio/Source");
    if (category == CLSID_VideoCompressorCategory) {
        std::vector<Entry> out;
        if (factoryExists("tovamixxvidenc"))
            out.push_back({"Xvid MPEG-4 Codec", GUID{}, "cm", "xvid", [] {
                               return paddedCodec("Xvid MPEG-4 Codec", "tovamixxvidenc", 2, "I420");
                           }});
        if (factoryExists("avenc_msvideo1"))
            out.push_back({"Microsoft Video 1", GUID{}, "cm", "msvc", [] {
                               return paddedCodec("Microsoft Video 1", "avenc_msvideo1", 4, "BGRx");
                           }});
        for (Entry& e : encoders("Encoder/Video", {"tovamixxvidenc", "avenc_msvideo1"}, true))
            out.push_back(std::move(e));
        return out;
    }
    if (category == CLSID_AudioCompressorCategory) {
        std::vector<Entry> out;
        if (factoryExists("lamemp3enc"))
            out.push_back({"MPEG Layer-3", GUID{}, "cm", "85MPEG Layer-3", [] {
                               return chain("MPEG Layer-3",
                                            {"audioconvert", "audioresample", "lamemp3enc"},
                                            "Input", "Output");
                           }});
        for (Entry& e : encoders("Encoder/Audio", {"lamemp3enc"}, false))
            out.push_back(std::move(e));
        return out;
    }
    if (category == CLSID_LegacyAmFilterCategory) {
        std::vector<Entry> out{
            {"File Source (Async.)", CLSID_AsyncReader, "sw", guidToString(CLSID_AsyncReader),
             [] { return createAsyncFileSource(); }},
            {"AVI/WAV File Source", CLSID_AviWavFileSource, "sw",
             guidToString(CLSID_AviWavFileSource), [] { return createAviWavFileSource(); }}};
        if (factoryExists("lamemp3enc"))
            out.push_back({"MPEG Layer-3 Encoder", CLSID_Mp3EncoderFilter, "sw",
                           guidToString(CLSID_Mp3EncoderFilter), [] {
                               return chain("MPEG Layer-3 Encoder",
                                            {"audioconvert", "audioresample", "lamemp3enc"},
                                            "Input", "Output");
                           }});
        return out;
    }
    if (category == CLSID_ActiveMovieCategories) {
        std::vector<Entry> out;
        for (auto [name, cat] :
             {std::pair{"Video Capture Sources", &CLSID_VideoInputDeviceCategory},
              std::pair{"Audio Capture Sources", &CLSID_AudioInputDeviceCategory},
              std::pair{"Video Compressors", &CLSID_VideoCompressorCategory},
              std::pair{"Audio Compressors", &CLSID_AudioCompressorCategory},
              std::pair{"DirectShow Filters", &CLSID_LegacyAmFilterCategory}})
            out.push_back({name, *cat, "sw", guidToString(*cat), nullptr});
        return out;
    }
    return {};
}

} // namespace

void cropToCodedSize(const FilterPtr& codec) {
    auto* filter = dynamic_cast<GstFilter*>(codec.get());
    if (!filter) return;
    if (auto* p = static_cast<Padding*>(g_object_get_data(G_OBJECT(filter->element()), PaddingKey)))
        p->crop = true;
}

std::vector<DeviceInfo> enumerateCategory(const GUID& category) {
    std::vector<DeviceInfo> out;
    for (const Entry& e : entriesOf(category))
        out.push_back(
            {e.name.substr(0, 255), e.clsid, displayNameOf(category, e), e.systemDefault});
    return out;
}

FilterPtr bindDisplayName(const std::string& displayName, std::string* error) {
    // "@device:kind:{category}\key"
    const std::string prefix = "@device:";
    const size_t colon = displayName.find(':', prefix.size());
    const size_t slash = displayName.find('\\');
    GUID category;
    if (displayName.rfind(prefix, 0) != 0 || colon == std::string::npos ||
        slash == std::string::npos || slash < colon ||
        !parseGuid(displayName.substr(colon + 1, slash - colon - 1), category)) {
        if (error) *error = "\"" + displayName + "\" is not a device name";
        return nullptr;
    }
    for (const Entry& e : entriesOf(category)) {
        if (displayNameOf(category, e) != displayName || !e.make) continue;
        FilterPtr f = e.make();
        if (!f && error) *error = "\"" + e.name + "\" could not be opened";
        return f;
    }
    if (error)
        *error = "no device or codec \"" + displayName.substr(slash + 1) + "\" is installed now";
    return nullptr;
}

} // namespace platform::dshow
