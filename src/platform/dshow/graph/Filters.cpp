#include "platform/dshow/graph/Filters.h"
#include "platform/dshow/graph/StreamRepairs.h"

#include "platform/dshow/elements/AviMuxElement.h"
#include "platform/dshow/elements/GstRef.h"
#include "platform/dshow/elements/XvidEncElement.h"
#include "platform/vfw/OutputFile.h"

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

void ensureGstreamer() {
    static std::once_flag once;
    std::call_once(once, [] {
        gst_init(nullptr, nullptr);
        registerAviMuxElement();
        registerXvidEncElement();
    });
}

void initializeMediaServices() {
    ensureGstreamer();
    learnWorkingSinks();
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

namespace {

// A file source: a bin around filesrc, with the demuxer of the file's kind where it has one.
class FileSource : public GstFilter, public IFileSourceFilter {
  public:
    FileSource(GstElement* bin, bool demux) : GstFilter(bin, "File Source"), demux_(demux) {
        src_ = gst_element_factory_make("filesrc", "source");
        gst_bin_add(GST_BIN(bin), src_);
        if (!demux_) {
            const PadRef inner(gst_element_get_static_pad(src_, "src"));
            gst_element_add_pad(bin, gst_ghost_pad_new("Output", inner));
        }
    }

    HRESULT Load(const std::string& fileName) override {
        if (!file_.empty()) return VFW_E_WRONG_STATE;
        std::ifstream in(fileName, std::ios::binary);
        if (!in) return E_FILE_NOT_FOUND;
        char head[12] = {};
        in.read(head, sizeof head);
        if (demux_) {
            const char* kind = nullptr;
            if (in.gcount() == 12 && std::memcmp(head, "RIFF", 4) == 0) {
                if (std::memcmp(head + 8, "AVI ", 4) == 0) kind = "avidemux";
                if (std::memcmp(head + 8, "WAVE", 4) == 0) kind = "wavparse";
            }
            if (!kind) return VFW_E_INVALID_FILE_FORMAT;
            GstElement* demux = gst_element_factory_make(kind, "demux");
            if (!demux) return VFW_E_UNSUPPORTED_STREAM;
            gst_bin_add(GST_BIN(element()), demux);
            gst_element_link(src_, demux);
            // Each stream the demuxer finds becomes an output pin of this filter.
            g_signal_connect(demux, "pad-added",
                             G_CALLBACK(+[](GstElement*, GstPad* pad, gpointer bin) {
                                 GstPad* ghost = gst_ghost_pad_new(GST_PAD_NAME(pad), pad);
                                 gst_pad_set_active(ghost, TRUE);
                                 gst_element_add_pad(GST_ELEMENT(bin), ghost);
                             }),
                             element());
            g_signal_connect(demux, "no-more-pads", G_CALLBACK(+[](GstElement*, gpointer bin) {
                                 gst_element_no_more_pads(GST_ELEMENT(bin));
                             }),
                             element());
        } else if (in.gcount() == 0) {
            return VFW_E_INVALID_FILE_FORMAT;
        }
        g_object_set(src_, "location", fileName.c_str(), nullptr);
        // The filter keeps the name it has in its graph; the file is told by curFile().
        file_ = fileName;
        return S_OK;
    }
    std::string curFile() const override { return file_; }

  private:
    GstElement* src_;
    bool demux_;
    std::string file_;
};

class FileWriter : public GstFilter, public IFileSinkFilter {
  public:
    FileWriter(GstElement* sink, FilterPtr mux) : GstFilter(sink, "File writer"), mux_(mux) {}
    HRESULT SetFileName(const std::string& fileName) override {
        // Checked without touching the file: an existing target keeps its bytes until the
        // graph really writes.
        std::string why;
        if (!vfw::checkWritable(fileName, &why)) {
            GST_WARNING("cannot write %s: %s", fileName.c_str(), why.c_str());
            return E_ACCESSDENIED;
        }
        g_object_set(muxElement(), "location", fileName.c_str(), nullptr);
        file_ = fileName;
        return S_OK;
    }
    std::string curFile() const override { return file_; }
    bool fileWritten() const override {
        gboolean written = FALSE;
        g_object_get(muxElement(), "file-written", &written, nullptr);
        return written;
    }

  private:
    GstElement* muxElement() const { return static_cast<GstElement*>(mux_->native()); }
    FilterPtr mux_; // the multiplexer that writes the file; kept while this writer lives
    std::string file_;
};

} // namespace

FilterPtr createAsyncFileSource() {
    ensureGstreamer();
    return std::make_shared<FileSource>(gst_bin_new(nullptr), false);
}

FilterPtr createAviWavFileSource() {
    ensureGstreamer();
    return std::make_shared<FileSource>(gst_bin_new(nullptr), true);
}

FilterPtr createFileWriter(const FilterPtr& mux) {
    ensureGstreamer();
    if (!mux || !g_object_class_find_property(G_OBJECT_GET_CLASS(mux->native()), "location"))
        return nullptr;
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    if (!sink) return nullptr;
    // Nothing arrives here but the end of the stream: it must not wait for a first buffer.
    g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    return std::make_shared<FileWriter>(sink, mux);
}

FilterPtr createElementFilter(const std::string& factory, const std::string& name) {
    ensureGstreamer();
    GstElement* e = gst_element_factory_make(factory.c_str(), nullptr);
    if (!e) return nullptr;
    return std::make_shared<GstFilter>(e, name.empty() ? factory : name);
}

} // namespace platform::dshow
