#include "platform/dshow/base/Filters.h"
#include "platform/dshow/base/StreamRepairs.h"

#include "platform/dshow/base/GstRef.h"

#include <cstring>
#include <fstream>
#include <mutex>

namespace platform::dshow {

namespace {
GQuark filterQuark() {
    static GQuark q = g_quark_from_static_string("tovamix-filter");
    return q;
}
void deleteWeak(gpointer p) {
    delete static_cast<std::weak_ptr<IBaseFilter>*>(p);
}

bool structureNameStarts(const GstCaps* caps, const char* prefix) {
    if (!caps || gst_caps_is_empty(caps) || gst_caps_is_any(caps)) return false;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i)
        if (g_str_has_prefix(gst_structure_get_name(gst_caps_get_structure(caps, i)), prefix))
            return true;
    return false;
}
} // namespace

void ensureGstInit() {
    static std::once_flag once;
    std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

bool capsAreVideo(const GstCaps* caps) {
    return structureNameStarts(caps, "video/") || structureNameStarts(caps, "image/");
}
bool capsAreAudio(const GstCaps* caps) {
    return structureNameStarts(caps, "audio/");
}
bool capsAreRaw(const GstCaps* caps) {
    return structureNameStarts(caps, "video/x-raw") || structureNameStarts(caps, "audio/x-raw");
}

GstCaps* padCaps(GstPad* pad) {
    GstCaps* c = gst_pad_get_current_caps(pad);
    if (!c) c = gst_pad_query_caps(pad, nullptr);
    // A pad's own caps keep what a repair mends only in the stream (raw RGB with a pixel
    // aspect ratio of -1/1): the graph links the stream as it will be.
    if (GstCaps* mended = c ? mendedCaps(c) : nullptr) {
        gst_caps_unref(c);
        return mended;
    }
    return c;
}

bool padGivesUnknownBytes(GstPad* pad) {
    const CapsRef caps(padCaps(pad));
    return caps && gst_caps_is_any(caps);
}

GstFilter::GstFilter(GstElement* element, std::string name, FilterRole role)
    : element_(GST_ELEMENT(gst_object_ref_sink(element))), name_(std::move(name)), role_(role),
      clsid_(classOfRole(role)) {}

GUID classOfRole(FilterRole role) {
    switch (role) {
    case FilterRole::VideoRenderer:
        return CLSID_VideoRenderer;
    case FilterRole::AudioRenderer:
        return CLSID_DSoundRender;
    default:
        return GUID_NULL;
    }
}

HRESULT GstFilter::GetClassID(GUID* clsid) const {
    if (!clsid) return E_POINTER;
    *clsid = clsid_;
    return S_OK;
}

FilterRole roleOf(const FilterPtr& filter) {
    auto* g = dynamic_cast<GstFilter*>(filter.get());
    return g ? g->role() : FilterRole::None;
}

GstFilter::~GstFilter() {
    g_object_set_qdata(G_OBJECT(element_.get()), filterQuark(), nullptr);
    if (!GST_OBJECT_PARENT(element_.get())) gst_element_set_state(element_, GST_STATE_NULL);
}

std::vector<PinPtr> GstFilter::pins() {
    // Remember which object wraps the element, so pins can lead back to their filters.
    if (!g_object_get_qdata(G_OBJECT(element_.get()), filterQuark())) {
        auto self = std::dynamic_pointer_cast<IBaseFilter>(shared_from_this());
        g_object_set_qdata_full(G_OBJECT(element_.get()), filterQuark(),
                                new std::weak_ptr<IBaseFilter>(self), deleteWeak);
    }
    std::vector<PinPtr> out;
    forEachPad(element_, GST_PAD_UNKNOWN, [this, &out](GstPad* pad) {
        out.push_back(makePin(pad));
        return true;
    });
    return out;
}

PinPtr GstFilter::makePin(GstPad* pad) {
    return std::make_shared<GstPin>(pad,
                                    std::dynamic_pointer_cast<IBaseFilter>(shared_from_this()));
}

FILTER_STATE GstFilter::state() const {
    GstState s = GST_STATE(element_.get());
    if (s == GST_STATE_PLAYING) return State_Running;
    if (s == GST_STATE_PAUSED) return State_Paused;
    return State_Stopped;
}

HRESULT GstFilter::Stop() {
    // Ready, not null: the element keeps its resources (a device stays open) and deactivates
    // its pads, so data pushed into it is refused as flushing rather than failing the stream.
    return gst_element_set_state(element_, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE ? E_FAIL
                                                                                        : S_OK;
}

FilterPtr filterOf(GstElement* element) {
    for (GstElement* e = element; e; e = GST_ELEMENT(GST_OBJECT_PARENT(e))) {
        if (auto* weak = static_cast<std::weak_ptr<IBaseFilter>*>(
                g_object_get_qdata(G_OBJECT(e), filterQuark())))
            return weak->lock();
        if (!GST_IS_ELEMENT(GST_OBJECT_PARENT(e))) break;
    }
    return nullptr;
}

PinPtr pinOf(GstPad* pad) {
    const ElementRef parent(gst_pad_get_parent_element(pad));
    FilterPtr f = parent ? filterOf(parent) : nullptr;
    const bool own = f && static_cast<GstElement*>(f->native()) == parent.get();
    if (own)
        if (auto* g = dynamic_cast<GstFilter*>(f.get())) return g->makePin(pad);
    return std::make_shared<GstPin>(pad, f);
}

GstPin::GstPin(GstPad* pad, std::weak_ptr<IBaseFilter> filter)
    : pad_(PadRef::ref(pad)), filter_(std::move(filter)) {}

PIN_DIRECTION GstPin::direction() const {
    return GST_PAD_DIRECTION(pad_.get()) == GST_PAD_SRC ? PINDIR_OUTPUT : PINDIR_INPUT;
}

std::string GstPin::name() const {
    gchar* n = gst_pad_get_name(pad_.get());
    std::string s = n ? n : "";
    g_free(n);
    return s;
}

std::shared_ptr<IPin> GstPin::connectedTo() const {
    const PadRef peer(gst_pad_get_peer(pad_));
    if (!peer) return nullptr;
    // A ghost pad's peer may be the inner proxy; report the outermost pad of the peer element.
    return pinOf(peer);
}

HRESULT GstPin::Disconnect() {
    const PadRef peer(gst_pad_get_peer(pad_));
    if (!peer) return S_FALSE;
    const bool ok = GST_PAD_DIRECTION(pad_.get()) == GST_PAD_SRC ? gst_pad_unlink(pad_, peer)
                                                                 : gst_pad_unlink(peer, pad_);
    return ok ? S_OK : E_FAIL;
}

std::string GstPin::mediaTypes() const {
    const CapsRef caps(padCaps(pad_));
    if (!caps) return {};
    gchar* text = gst_caps_to_string(caps);
    std::string s = text ? text : "";
    g_free(text);
    return s;
}

PinPtr findUnconnectedPin(const FilterPtr& filter, PIN_DIRECTION dir, const GUID* majorType) {
    if (!filter) return nullptr;
    for (const PinPtr& p : filter->pins()) {
        if (p->direction() != dir || p->connectedTo()) continue;
        if (majorType && (*majorType == MEDIATYPE_Video || *majorType == MEDIATYPE_Audio)) {
            const CapsRef caps(padCaps(static_cast<GstPad*>(p->native())));
            const bool match =
                *majorType == MEDIATYPE_Video ? capsAreVideo(caps) : capsAreAudio(caps);
            if (!match) continue;
        }
        return p;
    }
    return nullptr;
}

} // namespace platform::dshow
