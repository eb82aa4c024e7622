// Building the graph: connecting pins, rendering a pin or a file, the helpers the graph adds
// for itself (decoders, converters, queues), and the handlers of pads that appear while the
// graph runs. Called on the user-interface thread, and on streaming threads from pad-added
// handlers (a stream a decoder or demuxer finds on its way).
#include "platform/dshow/base/AviHeaders.h"
#include "platform/dshow/graph/GraphImpl.h"
#include "platform/dshow/graph/WaitStep.h"
#include "platform/dshow/graph/StreamStart.h"
#include "platform/dshow/elements/OverlayMixer.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace platform::dshow {

namespace {
// A file shows its first pictures within a second or two, also on a loaded machine; a demuxer
// that stalls on a broken file (some AVIs cut short, at random) is given up on after this.
constexpr auto PrerollTimeout = std::chrono::seconds(10);

bool comesFromDecoder(GstElement* element) {
    GstElementFactory* factory = element ? gst_element_get_factory(element) : nullptr;
    return factory && std::string(GST_OBJECT_NAME(factory)) == "decodebin";
}
} // namespace

bool linkPads(GstPad* src, GstPad* sink) {
    return GST_PAD_LINK_SUCCESSFUL(gst_pad_link(src, sink));
}

PadRef firstFreePad(GstElement* e, GstPadDirection dir) {
    PadRef found;
    forEachPad(e, dir, [&found](GstPad* pad) {
        if (!gst_pad_is_linked(pad)) found = PadRef::ref(pad);
        return !found;
    });
    return found;
}

bool hasSometimesSrcPads(GstElement* e) {
    for (const GList* l = gst_element_class_get_pad_template_list(GST_ELEMENT_GET_CLASS(e)); l;
         l = l->next) {
        auto* t = GST_PAD_TEMPLATE(l->data);
        if (t->direction == GST_PAD_SRC && t->presence == GST_PAD_SOMETIMES) return true;
    }
    // A bin (a file source with its demuxer) adds its streams once it runs; one that already
    // has its outputs (a file read as it is) adds none.
    return GST_IS_BIN(e) && !GST_OBJECT_FLAG_IS_SET(e, GST_ELEMENT_FLAG_SINK) && e->numsrcpads == 0;
}

bool capsMatchType(GstCaps* caps, const GUID* type) {
    if (!type || *type == GUID_NULL) return true;
    if (*type == MEDIATYPE_Video) return capsAreVideo(caps);
    if (*type == MEDIATYPE_Audio) return capsAreAudio(caps);
    return true;
}

// -- IFilterGraph2: connecting and rendering

HRESULT Graph::ConnectDirect(const PinPtr& out, const PinPtr& in) {
    settleStop();
    if (!out || !in) return E_POINTER;
    if (out->connectedTo() || in->connectedTo()) return VFW_E_ALREADY_CONNECTED;
    auto* src = static_cast<GstPad*>(out->native());
    auto* sink = static_cast<GstPad*>(in->native());
    if (!linkPads(src, sink)) return VFW_E_CANNOT_CONNECT;
    activate(src);
    activate(sink);
    return S_OK;
}

HRESULT Graph::Connect(const PinPtr& out, const PinPtr& in) {
    settleStop();
    if (!out || !in) return E_POINTER;
    if (out->connectedTo() || in->connectedTo()) return VFW_E_ALREADY_CONNECTED;
    auto* sinkPad = static_cast<GstPad*>(in->native());
    const ElementRef target(gst_pad_get_parent_element(sinkPad));
    return linkThrough(static_cast<GstPad*>(out->native()), target, sinkPad);
}

HRESULT Graph::Render(const PinPtr& out) {
    settleStop();
    if (!out) return E_POINTER;
    if (out->direction() != PINDIR_OUTPUT) return E_INVALIDARG;
    if (out->connectedTo()) return VFW_E_ALREADY_CONNECTED;
    return renderPad(static_cast<GstPad*>(out->native())) ? S_OK : VFW_E_CANNOT_RENDER;
}

HRESULT Graph::AddSourceFilter(const std::string& fileName, const std::string& filterName,
                               FilterPtr* filter) {
    settleStop();
    FilterPtr source = createAsyncFileSource();
    const HRESULT h = queryInterface<IFileSourceFilter>(source)->Load(fileName);
    if (FAILED(h)) return h;
    if (HRESULT a = AddFilter(source, filterName.empty() ? fileName : filterName); FAILED(a))
        return a;
    if (filter) *filter = source;
    start_ = streamStartOf(fileName);
    sourceFile_ = fileName;
    return S_OK;
}

namespace {

// The RIFF form type of the file ("AVI ", "WAVE"), or empty when it is no RIFF file.
std::string riffForm(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    char head[12] = {};
    if (!in.read(head, sizeof head) || std::memcmp(head, "RIFF", 4) != 0) return {};
    return std::string(head + 8, 4);
}

// Whether a wave format's channels and sample rate are ones sound can have. The resampler
// sizes its tables by the rate: a rate of 2^31 asks for hundreds of gigabytes, and GLib ends
// the program on the failed allocation.
bool soundFormatPlausible(const uint8_t* wfx, size_t size) {
    if (size < 8) return false;
    const unsigned channels = wfx[2] | wfx[3] << 8;
    const uint32_t rate =
        uint32_t(wfx[4]) | uint32_t(wfx[5]) << 8 | uint32_t(wfx[6]) << 16 | uint32_t(wfx[7]) << 24;
    constexpr uint32_t MaxRate = 1000000; // above any sound format's (768 kHz)
    return channels > 0 && rate > 0 && rate <= MaxRate;
}

// The 'fmt ' chunk of a WAVE file is sound that can be played (true also where it is not
// found: the parser then refuses the file itself).
bool waveFormatPlausible(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    in.seekg(12);
    for (int chunks = 0; chunks < 64; ++chunks) {
        uint8_t head[8];
        if (!in.read(reinterpret_cast<char*>(head), sizeof head)) return true;
        const uint32_t size = uint32_t(head[4]) | uint32_t(head[5]) << 8 | uint32_t(head[6]) << 16 |
                              uint32_t(head[7]) << 24;
        if (std::memcmp(head, "fmt ", 4) == 0) {
            uint8_t wfx[16] = {};
            in.read(reinterpret_cast<char*>(wfx), std::min<uint32_t>(size, sizeof wfx));
            return soundFormatPlausible(wfx, size_t(in.gcount()));
        }
        in.seekg(std::streamoff(size) + (size & 1), std::ios::cur);
    }
    return true;
}

// Whether an AVI's header list is whole and its sound streams can be played.
bool aviHeadersPlausible(const std::string& fileName) {
    AviHeaders headers;
    if (!readAviHeaders(fileName, &headers)) return false;
    for (const AviStreamHeader& s : headers.streams)
        if (s.type == makeFourCC('a', 'u', 'd', 's') &&
            !soundFormatPlausible(s.format.data(), s.format.size()))
            return false;
    return true;
}

} // namespace

HRESULT Graph::RenderFile(const std::string& fileName) {
    std::error_code ec;
    if (const HRESULT h = mediaFileNameError(fileName); FAILED(h)) return h;
    if (std::filesystem::file_size(fileName, ec) == 0) return VFW_E_INVALID_FILE_FORMAT;
    if (target_ != State_Stopped) return VFW_E_NOT_STOPPED;
    // An AVI whose header list is cut short or broken is refused here: the demuxer's own
    // refusal of such a file at times never comes, and the preroll would wait out its timeout.
    // So is sound with no channels or an impossible sample rate, which the decoders and the
    // resampler do not survive.
    if (const std::string form = riffForm(fileName);
        (form == "AVI " && !aviHeadersPlausible(fileName)) ||
        (form == "WAVE" && !waveFormatPlausible(fileName)))
        return VFW_E_INVALID_FILE_FORMAT;
    settleStop();

    const std::vector<FilterPtr> before = EnumFilters();
    FilterPtr source;
    HRESULT h = AddSourceFilter(fileName, fileName, &source);
    if (FAILED(h)) return h;
    events_.prerollStarted();
    PinPtr out = findUnconnectedPin(source, PINDIR_OUTPUT);
    if (!out || !renderPad(static_cast<GstPad*>(out->native()))) h = VFW_E_CANNOT_RENDER;

    // Play the graph up to its first pictures to learn whether the file can be played.
    if (SUCCEEDED(h)) {
        leaveOutIdleSinks();
        // The sinks connect to the sound server and the display as they leave NULL.
        GstStateChangeReturn r = GST_STATE_CHANGE_FAILURE;
        whileStepping([&] { r = gst_element_set_state(pipeline(), GST_STATE_PAUSED); });
        h = events_.waitPreroll(r == GST_STATE_CHANGE_FAILURE,
                                r == GST_STATE_CHANGE_SUCCESS || r == GST_STATE_CHANGE_NO_PREROLL,
                                PrerollTimeout);
    } else {
        // Nothing to wait for; building ends here.
        events_.waitPreroll(true, true, std::chrono::milliseconds(0));
    }
    if (FAILED(h)) {
        // Take the graph back to what it was before.
        gst_element_set_state(pipeline(), GST_STATE_READY);
        for (const FilterPtr& f : EnumFilters())
            if (std::find(before.begin(), before.end(), f) == before.end()) RemoveFilter(f);
        return h;
    }
    queryDuration();
    target_ = State_Stopped;
    if (keepPrerolled_)
        prerolledStop_ = true;
    else
        gst_element_set_state(pipeline(), GST_STATE_READY);
    return S_OK;
}

// -- Building, shared with the builders

FilterPtr Graph::addHelper(GstElement* element, const std::string& name, FilterRole role) {
    auto filter = std::make_shared<GstFilter>(element, name, role);
    addHelper(filter);
    return filter;
}

void Graph::addHelper(const std::shared_ptr<GstFilter>& filter) {
    GstElement* element = filter->element();
    filter->pins();
    gst_bin_add(GST_BIN(pipeline()), element);
    g_signal_connect(element, "pad-added", G_CALLBACK(&Graph::padAdded), this);
    {
        // Only the list under mutex_: this runs on streaming threads too (a stream found on
        // its way), and the state change below may wait for another streaming thread that
        // waits for mutex_ in its pad-added handler.
        std::lock_guard lock(mutex_);
        filters_.push_back(filter);
    }
    // Made while the graph runs (a stream found by a source on its way), it must join the
    // running state at once.
    if (GST_STATE(pipeline()) > GST_STATE_NULL || GST_STATE_PENDING(pipeline()) > GST_STATE_NULL)
        gst_element_sync_state_with_parent(element);
}

void Graph::whenPadAdded(GstElement* element, std::function<bool(GstPad*)> handler) {
    std::lock_guard lock(mutex_);
    handlers_[element].push_back(std::move(handler));
}

void Graph::padAdded(GstElement* element, GstPad* pad, gpointer self) {
    auto* g = static_cast<Graph*>(self);
    std::vector<std::function<bool(GstPad*)>> handlers;
    {
        std::lock_guard lock(g->mutex_);
        auto it = g->handlers_.find(element);
        if (it != g->handlers_.end()) handlers = it->second;
    }
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) return;
    for (auto& h : handlers)
        if (h(pad)) break;
}

HRESULT Graph::linkThrough(GstPad* src, GstElement* target, GstPad* sinkPad,
                           const char* requestTemplate) {
    if (!target) return E_POINTER;
    PadRef into = PadRef::ref(sinkPad);
    const CapsRef caps(padCaps(src));
    if (!into && requestTemplate)
        into.reset(gst_element_request_pad_simple(target, requestTemplate));
    if (!into) into = firstFreePad(target, GST_PAD_SINK);
    if (!into) return VFW_E_CANNOT_CONNECT;
    HRESULT h = VFW_E_CANNOT_CONNECT;
    const CapsRef accepted(gst_pad_query_caps(into, nullptr));
    // Bytes of unknown kind (a file source's output) always go through the decoder.
    const bool unknown = gst_caps_is_any(caps);
    if (!unknown && gst_caps_can_intersect(caps, accepted) && linkPads(src, into)) {
        activate(src);
        activate(into);
        h = S_OK;
    } else if (capsAreRaw(caps)) {
        h = linkWithConverter(src, into, capsAreVideo(caps));
    } else {
        // Encoded data the target does not take: decode it, then convert.
        GstElement* dec = gst_element_factory_make("decodebin", nullptr);
        addHelper(dec, "Decoder", FilterRole::Decoder);
        const PadRef decIn(gst_element_get_static_pad(dec, "sink"));
        if (linkPads(src, decIn)) {
            const bool video = capsAreVideo(unknown ? accepted : caps);
            whenPadAdded(dec, [this, keep = into, video](GstPad* pad) {
                const CapsRef c(padCaps(pad));
                const bool match = video ? capsAreVideo(c) : capsAreAudio(c);
                if (!match || gst_pad_is_linked(keep)) return false;
                return SUCCEEDED(linkWithConverter(pad, keep, video));
            });
            activate(src);
            h = S_OK;
        }
    }
    return h;
}

bool Graph::renderPad(GstPad* src) {
    const CapsRef caps(padCaps(src));
    const ElementRef own(gst_pad_get_parent_element(src));
    bool linked = false;
    // Filters that pass data on (a sample grabber) come before those that end a stream, so a
    // stream goes through them on its way to a renderer and never around them. Overlay mixers
    // come last of those: they belong right in front of the renderer, whatever order the
    // filters were added in.
    std::vector<FilterPtr> filters = EnumFilters();
    const auto passesOn = [](const FilterPtr& f) {
        auto* e = static_cast<GstElement*>(f->native());
        return PadRef(firstFreePad(e, GST_PAD_SINK)) && PadRef(firstFreePad(e, GST_PAD_SRC));
    };
    const auto isMixer = [](const FilterPtr& f) {
        GUID clsid;
        return SUCCEEDED(f->GetClassID(&clsid)) &&
               (clsid == CLSID_OverlayMixer || clsid == CLSID_OverlayMixer2);
    };
    const auto endOfPassing = std::stable_partition(filters.begin(), filters.end(), passesOn);
    std::stable_partition(filters.begin(), endOfPassing,
                          [&isMixer](const FilterPtr& f) { return !isMixer(f); });
    for (const FilterPtr& f : filters) {
        auto* e = static_cast<GstElement*>(f->native());
        if (e == own.get() || linked) continue;
        const PadRef in = firstFreePad(e, GST_PAD_SINK);
        if (!in) continue;
        const CapsRef takes(gst_pad_query_caps(in, nullptr));
        // Only data of a known kind goes into a filter that takes that kind (a filter that
        // takes anything could be anything), and never into a decoder the graph added itself.
        const bool fits = !gst_caps_is_any(takes) && !gst_caps_is_any(caps) &&
                          gst_caps_can_intersect(caps, takes) && roleOf(f) != FilterRole::Decoder;
        if (fits && linkPads(src, in)) {
            linked = true;
            activate(src);
            activate(in);
            if (const PadRef out = firstFreePad(e, GST_PAD_SRC))
                renderPad(out);
            else if (hasSometimesSrcPads(e))
                whenPadAdded(e, [this](GstPad* pad) { return renderPad(pad); });
        }
    }
    if (!linked && capsAreRaw(caps)) {
        const PadRef in = addRenderer(capsAreVideo(caps));
        linked = in && linkPads(src, in);
        if (linked) {
            activate(src);
            activate(in);
        }
    } else if (!linked && !comesFromDecoder(own)) {
        // What a decoder gives out is already decoded as far as it goes: a stream of a
        // kind no renderer shows (subtitles, say) is left unconnected, not decoded again
        // and again.
        GstElement* dec = gst_element_factory_make("decodebin", nullptr);
        addHelper(dec, "Decoder", FilterRole::Decoder);
        const PadRef in(gst_element_get_static_pad(dec, "sink"));
        linked = linkPads(src, in);
        if (linked) {
            whenPadAdded(dec, [this](GstPad* pad) { return renderPad(pad); });
            activate(src);
        }
    }
    if (linked) events_.streamRendered();
    return linked;
}

HRESULT Graph::linkWithConverter(GstPad* src, GstPad* into, bool video) {
    GstElement* bin = video ? makeRendererBin(nullptr, {"videoconvert", "videoscale"},
                                              gst_element_factory_make("identity", nullptr))
                            : makeRendererBin(nullptr, {"audioconvert", "audioresample"},
                                              gst_element_factory_make("identity", nullptr));
    // The converter bin's identity ends the chain (the first in sorted order); expose it as
    // the output.
    forEachElement(GST_BIN(bin), BinElements::Sorted, [bin](GstElement* last) {
        if (const PadRef lastOut(gst_element_get_static_pad(last, "src")); lastOut)
            gst_element_add_pad(bin, gst_ghost_pad_new("Output", lastOut));
        return false;
    });
    addHelper(bin, video ? "Color Space Converter" : "Audio Converter", FilterRole::Converter);
    const PadRef in(gst_element_get_static_pad(bin, "Input"));
    const PadRef out(gst_element_get_static_pad(bin, "Output"));
    const bool ok = in && out && linkPads(src, in) && linkPads(out, into);
    if (ok) {
        activate(src);
        activate(into);
    }
    return ok ? S_OK : VFW_E_CANNOT_CONNECT;
}

PadRef Graph::queueAfter(GstPad* src) {
    GstElement* queue = gst_element_factory_make("queue", nullptr);
    if (!queue) return {};
    // Bounded by time only: a stream that arrives ahead of the others in the file waits
    // here (up to two seconds of it) instead of holding up the source.
    g_object_set(queue, "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time",
                 guint64(2 * GST_SECOND), nullptr);
    addHelper(queue, "Queue", FilterRole::Queue);
    const PadRef in(gst_element_get_static_pad(queue, "sink"));
    if (!linkPads(src, in)) return {};
    activate(src);
    PadRef out(gst_element_get_static_pad(queue, "src"));
    activate(out);
    return out;
}

namespace {
// Marks a filter whose sink flag the graph took away while it was idle.
constexpr const char* IdleSinkKey = "tovamix-idle-sink";
} // namespace

void Graph::leaveOutIdleSinks() {
    std::lock_guard lock(mutex_);
    for (const FilterPtr& f : filters_) {
        auto* e = static_cast<GstElement*>(f->native());
        if (!gst_element_is_locked_state(e) || !GST_OBJECT_FLAG_IS_SET(e, GST_ELEMENT_FLAG_SINK))
            continue;
        GST_OBJECT_FLAG_UNSET(e, GST_ELEMENT_FLAG_SINK);
        g_object_set_data(G_OBJECT(e), IdleSinkKey, GINT_TO_POINTER(1));
    }
}

void Graph::countAsSink(GstElement* element) {
    if (!g_object_get_data(G_OBJECT(element), IdleSinkKey)) return;
    g_object_set_data(G_OBJECT(element), IdleSinkKey, nullptr);
    GST_OBJECT_FLAG_SET(element, GST_ELEMENT_FLAG_SINK);
}

void Graph::activateElement(GstElement* element) {
    if (gst_element_is_locked_state(element)) {
        countAsSink(element);
        gst_element_set_locked_state(element, FALSE);
        gst_element_sync_state_with_parent(element);
    }
}

void Graph::activate(GstPad* pad) {
    ElementRef e(gst_pad_get_parent_element(pad));
    if (!e) return;
    // A ghost pad's parent is its bin; walk up to the element the graph holds.
    while (GST_OBJECT_PARENT(e.get()) && GST_ELEMENT(GST_OBJECT_PARENT(e.get())) != pipeline())
        e = ElementRef::ref(GST_ELEMENT(GST_OBJECT_PARENT(e.get())));
    if (gst_element_is_locked_state(e)) {
        countAsSink(e);
        gst_element_set_locked_state(e, FALSE);
        gst_element_sync_state_with_parent(e);
    } else if (GST_STATE(e.get()) < GST_STATE(pipeline())) {
        gst_element_sync_state_with_parent(e);
    }
}

} // namespace platform::dshow
