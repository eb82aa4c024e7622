// The capture graph builder: an output file (an AVI multiplexer and its file writer), and
// streams routed from a source through an optional intermediate filter to a sink or to the
// renderers, with the multiplexer inputs held for streams a source finds only once it runs;
// a file read as it is goes into a multiplexer demultiplexed but not decoded.
// Called on the user-interface thread; the routes of streams found later run on the source's
// streaming thread (from pad-added), and a reservation is given back there on no-more-pads.
#include "platform/dshow/graph/GraphImpl.h"
#include "platform/vfw/AviFile.h"

#include <gst/base/gsttypefindhelper.h>

#include <algorithm>
#include <fstream>
#include <vector>

namespace platform::dshow {

namespace {

// A requested multiplexer input held for a stream that has not appeared yet.
struct Reservation {
    ElementRef mux;
    PadRef pad;
    Reservation(GstElement* m, GstPad* p) : mux(ElementRef::ref(m)), pad(p) {}
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;
    void release() {
        gst_element_release_request_pad(mux, pad);
        pad.reset();
    }
};

// The input of a multiplexer sink for a stream of the major type asked for, or of the kind
// the intermediate filter takes; null when the sink is no multiplexer or the kind is unknown.
std::shared_ptr<Reservation> reserveMuxInput(const GUID* majorType, const FilterPtr& intermediate,
                                             const FilterPtr& sink) {
    if (!sink) return nullptr;
    auto* mux = static_cast<GstElement*>(sink->native());
    if (!gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(mux), "video_%u")) return nullptr;
    int video = -1;
    if (majorType && (*majorType == MEDIATYPE_Video || *majorType == MEDIATYPE_Audio)) {
        video = *majorType == MEDIATYPE_Video;
    } else if (intermediate) {
        auto* e = static_cast<GstElement*>(intermediate->native());
        if (const PadRef in = firstFreePad(e, GST_PAD_SINK)) {
            const CapsRef takes(gst_pad_query_caps(in, nullptr));
            if (capsAreVideo(takes))
                video = 1;
            else if (capsAreAudio(takes))
                video = 0;
        }
    }
    if (video < 0) return nullptr;
    GstPad* pad = gst_element_request_pad_simple(mux, video ? "video_%u" : "audio_%u");
    if (!pad) return nullptr;
    return std::make_shared<Reservation>(mux, pad);
}

// Whether a pad gives only JPEG pictures (a camera's MJPG format).
bool padGivesJpeg(GstPad* pad) {
    const CapsRef caps(padCaps(pad));
    if (!caps || gst_caps_is_any(caps) || gst_caps_is_empty(caps)) return false;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i)
        if (!gst_structure_has_name(gst_caps_get_structure(caps, i), "image/jpeg")) return false;
    return true;
}

// The tee a capture pin feeds once it has a preview or a capture branch, or null.
GstElement* teeAfter(GstPad* pin) {
    PadRef peer(gst_pad_get_peer(pin));
    // An MJPG camera's pictures are decoded once, in front of the tee.
    for (int hops = 0; peer && hops < 2; ++hops) {
        ElementRef e(gst_pad_get_parent_element(peer));
        if (!e) return nullptr;
        if (g_object_get_data(G_OBJECT(e.get()), "tovamix-capture-tee")) return e.get();
        const PadRef out(gst_element_get_static_pad(e, "src"));
        if (!out) return nullptr;
        peer.reset(gst_pad_get_peer(out));
    }
    return nullptr;
}

// How a file read as it is is taken apart without decoding, and which of its streams is copied.
struct FileLayout {
    std::vector<const char*> chain; // the elements after typefind, in order
    bool video = false;             // the stream copied is the picture (else the sound)
    std::string what;               // what the file is, for messages
};

// Reads the head of the file to learn its kind, and for an AVI its stream headers, so the kind
// of the stream copied is known before the graph runs. False for a kind that is not copied.
bool probeFile(const std::string& file, FileLayout* layout) {
    // Enough for the RIFF and ID3 headers and a few MPEG audio frames.
    std::vector<char> head(64 * 1024);
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    in.read(head.data(), std::streamsize(head.size()));
    head.resize(size_t(in.gcount()));
    if (head.empty()) return false;
    const CapsRef caps(gst_type_find_helper_for_data(
        nullptr, reinterpret_cast<const guint8*>(head.data()), head.size(), nullptr));
    if (!caps || gst_caps_is_empty(caps)) return false;
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    const std::string type = gst_structure_get_name(s);
    if (type == "video/x-msvideo") {
        vfw::AviSummary summary;
        if (!vfw::readAviSummary(file, &summary, nullptr) ||
            (!summary.hasVideo && !summary.hasAudio))
            return false;
        layout->chain = {"avidemux"};
        layout->video = summary.hasVideo;
        layout->what = "AVI";
        return true;
    }
    if (type == "audio/x-wav") {
        layout->chain = {"wavparse"};
        layout->what = "WAV";
        return true;
    }
    int version = 0;
    if (type == "application/x-id3" ||
        (type == "audio/mpeg" && gst_structure_get_int(s, "mpegversion", &version) &&
         version == 1)) {
        // A tag in front of the frames is taken off first.
        layout->chain = type == "application/x-id3"
                            ? std::vector<const char*>{"id3demux", "mpegaudioparse"}
                            : std::vector<const char*>{"mpegaudioparse"};
        layout->what = "MPEG audio";
        return true;
    }
    return false;
}

// The PCM an AVI header states with the plain wave format (tag 1), which the multiplexer
// writes: past 48000 Hz or two channels it would need the extensible format.
constexpr const char* PcmTheWriterHolds =
    "audio/x-raw, format = (string) { S16LE, U8 }, layout = (string) interleaved, "
    "rate = (int) [ 1, 48000 ], channels = (int) [ 1, 2 ]";

// A multiplexer input kept for a stream of a file, held by a signal handler of its demuxer.
struct MuxInput {
    ElementRef mux;
    PadRef pad;
};

// Posts an error for a stream the multiplexer cannot take as it is; the run then ends with it.
void refuseStream(GstElement* mux, GstPad* pad) {
    const CapsRef caps(padCaps(pad));
    gchar* text = caps ? gst_caps_to_string(caps) : g_strdup("(none)");
    const std::string format = caps && !gst_caps_is_empty(caps) && !gst_caps_is_any(caps)
                                   ? gst_structure_get_name(gst_caps_get_structure(caps, 0))
                                   : std::string(text);
    gst_element_message_full(mux, GST_MESSAGE_ERROR, GST_STREAM_ERROR, GST_STREAM_ERROR_FORMAT,
                             g_strdup_printf("The AVI writer cannot take the stream format %s "
                                             "as it is.",
                                             format.c_str()),
                             g_strdup_printf("copied stream with caps %s", text), __FILE__,
                             GST_FUNCTION, __LINE__);
    g_free(text);
}

class CaptureBuilder final : public ICaptureGraphBuilder2 {
  public:
    HRESULT SetFiltergraph(const std::shared_ptr<IGraphBuilder>& graph) override {
        if (graph_) return VFW_E_WRONG_STATE;
        graph_ = std::dynamic_pointer_cast<Graph>(graph);
        return graph_ ? S_OK : E_INVALIDARG;
    }

    HRESULT GetFiltergraph(std::shared_ptr<IGraphBuilder>* graph) override {
        if (!graph) return E_POINTER;
        *graph = graph_;
        return graph_ ? S_OK : E_UNEXPECTED;
    }

    HRESULT SetOutputFileName(const GUID& subtype, const std::string& fileName, FilterPtr* mux,
                              FilterPtr* sink) override {
        if (!graph_) return E_UNEXPECTED;
        if (!(subtype == MEDIASUBTYPE_Avi)) return E_INVALIDARG;
        FilterPtr m = createElementFilter("tovamixavimux", "AVI Mux");
        if (!m) return VFW_E_NOT_FOUND;
        // Every stream of the file counts from the start of the run: sound starts there, and
        // a camera whose first picture comes late must not be shifted ahead of it.
        g_object_set(static_cast<GstElement*>(m->native()), "common-origin", TRUE, nullptr);
        FilterPtr writer = createFileWriter(m);
        if (!writer) return VFW_E_NOT_FOUND;
        if (HRESULT h = queryInterface<IFileSinkFilter>(writer)->SetFileName(fileName); FAILED(h))
            return h;
        graph_->AddFilter(m, "AVI Mux");
        graph_->AddFilter(writer, fileName);
        if (HRESULT h = graph_->ConnectDirect(findUnconnectedPin(m, PINDIR_OUTPUT),
                                              findUnconnectedPin(writer, PINDIR_INPUT));
            FAILED(h))
            return h;
        if (mux) *mux = m;
        if (sink) *sink = writer;
        return S_OK;
    }

    HRESULT RenderStream(const GUID* category, const GUID* majorType, const UnknownPtr& source,
                         const FilterPtr& intermediate, const FilterPtr& sink) override {
        if (!graph_) return E_UNEXPECTED;
        if (!source) return E_POINTER;
        // reserved: the multiplexer input kept for this stream, or null to request one now;
        // queued: the pad already has a thread of its own (a preview branch's queue).
        auto route = [this, majorType, intermediate, sink](GstPad* pad, GstPad* reserved,
                                                           bool queued = false) -> HRESULT {
            // A stream written to a multiplexer runs on its own thread from the source on:
            // the multiplexer waits for every stream in turn, so streams that share the
            // source's thread would wait for each other for ever. Bytes of unknown kind go
            // into a decoder, which gives each of its streams a thread of its own already;
            // a queue in front of it would also make the decoder read the file as a stream,
            // and the AVI reader then loses short files whose data comes with their header.
            PadRef current = sink && !queued && !padGivesUnknownBytes(pad) ? graph_->queueAfter(pad)
                                                                           : PadRef::ref(pad);
            if (!current) return VFW_E_CANNOT_CONNECT;
            HRESULT h = S_OK;
            if (intermediate) {
                auto* e = static_cast<GstElement*>(intermediate->native());
                h = graph_->linkThrough(current, e, nullptr);
                current = SUCCEEDED(h) ? firstFreePad(e, GST_PAD_SRC) : PadRef();
                if (SUCCEEDED(h) && !current) h = VFW_E_CANNOT_CONNECT;
            }
            if (FAILED(h)) return h;
            if (!sink) return graph_->renderPad(current) ? S_OK : VFW_E_CANNOT_RENDER;
            const bool video =
                majorType ? *majorType == MEDIATYPE_Video : capsAreVideo(CapsRef(padCaps(current)));
            auto* e = static_cast<GstElement*>(sink->native());
            const bool requests =
                gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(e), "video_%u");
            return graph_->linkThrough(current, e, reserved,
                                       requests && !reserved ? (video ? "video_%u" : "audio_%u")
                                                             : nullptr);
        };

        // A route that fails takes out what it put in (a queue, a converter), so the output
        // stays free for another try: the export offers each stream every encoder in turn.
        auto routeNow = [this, &route](GstPad* pad) {
            const std::vector<FilterPtr> before = graph_->EnumFilters();
            const HRESULT h = route(pad, nullptr);
            if (FAILED(h))
                for (const FilterPtr& f : graph_->EnumFilters())
                    if (std::find(before.begin(), before.end(), f) == before.end())
                        graph_->RemoveFilter(f);
            return h;
        };
        if (auto pin = std::dynamic_pointer_cast<IPin>(source)) {
            if (pin->direction() != PINDIR_OUTPUT) return E_INVALIDARG;
            return routeNow(static_cast<GstPad*>(pin->native()));
        }
        auto filter = std::dynamic_pointer_cast<IBaseFilter>(source);
        if (!filter) return E_INVALIDARG;
        if (category && (*category == PIN_CATEGORY_PREVIEW || *category == PIN_CATEGORY_CAPTURE))
            if (PinPtr out = findCapturePin(filter, majorType))
                return routeBranch(static_cast<GstPad*>(out->native()),
                                   *category == PIN_CATEGORY_PREVIEW, route);
        // Bytes of unknown kind (a file read as it is) hold streams of every kind. Into a
        // multiplexer with nothing between, one of them is copied as it is; otherwise the
        // decoder put after them picks the one of the kind asked for.
        if (PinPtr out = findUnconnectedPin(filter, PINDIR_OUTPUT, nullptr);
            out && padGivesUnknownBytes(static_cast<GstPad*>(out->native()))) {
            if (!intermediate && !majorType && sink &&
                gst_element_class_get_pad_template(
                    GST_ELEMENT_GET_CLASS(static_cast<GstElement*>(sink->native())), "video_%u"))
                if (auto file = queryInterface<IFileSourceFilter>(filter))
                    return routeCopy(filter, static_cast<GstPad*>(out->native()), file->curFile(),
                                     sink);
            return routeNow(static_cast<GstPad*>(out->native()));
        }
        if (PinPtr out = findUnconnectedPin(filter, PINDIR_OUTPUT, majorType))
            return routeNow(static_cast<GstPad*>(out->native()));
        auto* e = static_cast<GstElement*>(filter->native());
        if (!hasSometimesSrcPads(e)) return VFW_E_NOT_FOUND;
        // The source finds its streams once it runs: connect the first one of the kind asked for.
        // A multiplexer gets this stream's input now, so it does not start the file with the
        // streams of other sources that happen to come first (it takes no stream after that).
        std::shared_ptr<Reservation> reserved = reserveMuxInput(majorType, intermediate, sink);
        graph_->activateElement(e);
        graph_->whenPadAdded(e, [route, majorType, reserved](GstPad* pad) {
            const bool match = capsMatchType(CapsRef(padCaps(pad)), majorType);
            return match && SUCCEEDED(route(pad, reserved ? reserved->pad.get() : nullptr));
        });
        if (reserved) {
            // A source that ends its list of streams without one of this kind gives the input
            // back, so the multiplexer does not wait for it.
            g_signal_connect_data(
                e, "no-more-pads", G_CALLBACK(+[](GstElement*, gpointer data) {
                    auto& r = *static_cast<std::shared_ptr<Reservation>*>(data);
                    if (r->pad && !gst_pad_is_linked(r->pad)) r->release();
                }),
                new std::shared_ptr<Reservation>(reserved),
                +[](gpointer data, GClosure*) {
                    delete static_cast<std::shared_ptr<Reservation>*>(data);
                },
                GConnectFlags(0));
        }
        return S_OK;
    }

  private:
    // A file read as it is, copied into a multiplexer without decoding: typefind, then the
    // demultiplexer or parser of the file's kind, and one stream taken unchanged, the file's
    // video or its sound when it has none. Its multiplexer input is requested now, so it is
    // reserved before the run; raw sound the input cannot hold is converted.
    HRESULT routeCopy(const FilterPtr& source, GstPad* bytes, const std::string& file,
                      const FilterPtr& sink) {
        FileLayout layout;
        if (!probeFile(file, &layout)) return VFW_E_UNSUPPORTED_STREAM;
        auto* mux = static_cast<GstElement*>(sink->native());
        const PadRef reserved(
            gst_element_request_pad_simple(mux, layout.video ? "video_%u" : "audio_%u"));
        if (!reserved) return VFW_E_CANNOT_CONNECT;
        const std::vector<FilterPtr> before = graph_->EnumFilters();
        auto undo = [&] {
            for (const FilterPtr& f : graph_->EnumFilters())
                if (std::find(before.begin(), before.end(), f) == before.end())
                    graph_->RemoveFilter(f);
            gst_element_release_request_pad(mux, reserved);
            return VFW_E_CANNOT_CONNECT;
        };
        GstElement* typefind = gst_element_factory_make("typefind", nullptr);
        if (!typefind) return undo();
        graph_->addHelper(typefind, "Type Finder", FilterRole::None);
        GstElement* last = typefind;
        std::vector<GstElement*> chain;
        for (const char* factory : layout.chain) {
            GstElement* e = gst_element_factory_make(factory, nullptr);
            if (!e) return undo();
            graph_->addHelper(e, layout.what + " Splitter", FilterRole::None);
            chain.push_back(e);
        }
        {
            const PadRef in(gst_element_get_static_pad(typefind, "sink"));
            if (!linkPads(bytes, in)) return undo();
        }
        // The elements after it: linked now where the output exists, else when it appears.
        for (GstElement* next : chain) {
            if (PadRef out = firstFreePad(last, GST_PAD_SRC)) {
                const PadRef in(gst_element_get_static_pad(next, "sink"));
                if (!linkPads(out, in)) return undo();
            } else {
                graph_->whenPadAdded(last, [next](GstPad* pad) {
                    const PadRef in(gst_element_get_static_pad(next, "sink"));
                    return !gst_pad_is_linked(in) && linkPads(pad, in);
                });
            }
            last = next;
        }
        const bool video = layout.video;
        auto take = [this, video, mux, keep = reserved](GstPad* pad) {
            if (gst_pad_is_linked(keep)) return false;
            const CapsRef caps(padCaps(pad));
            if (!(video ? capsAreVideo(caps) : capsAreAudio(caps))) return false;
            const CapsRef accepted(gst_pad_query_caps(keep, nullptr));
            // Packets go in unchanged; only raw sound may be converted on its way.
            if (!gst_caps_can_intersect(caps, accepted) && !(capsAreRaw(caps) && !video)) {
                refuseStream(mux, pad);
                // The input it had is ended, so the multiplexer does not wait for it when the
                // graph is stopped.
                gst_pad_send_event(keep, gst_event_new_eos());
                return true;
            }
            const PadRef queued = graph_->queueAfter(pad);
            if (!queued) return false;
            // Raw sound is fitted to what the input holds (its rate and sample format are
            // known only once the stream has begun).
            if (!video && capsAreRaw(caps)) {
                GstElement* fit = gst_element_factory_make("capsfilter", nullptr);
                if (!fit) return false;
                const CapsRef pcm(gst_caps_from_string(PcmTheWriterHolds));
                g_object_set(fit, "caps", pcm.get(), nullptr);
                graph_->addHelper(fit, "PCM Format", FilterRole::Converter);
                const PadRef in(gst_element_get_static_pad(fit, "sink"));
                const PadRef out(gst_element_get_static_pad(fit, "src"));
                return SUCCEEDED(graph_->linkWithConverter(queued, in, false)) &&
                       linkPads(out, keep);
            }
            return SUCCEEDED(graph_->linkThrough(queued, mux, keep));
        };
        if (PadRef out = firstFreePad(last, GST_PAD_SRC)) {
            if (!take(out)) return undo();
        } else {
            graph_->whenPadAdded(last, take);
            // A file whose streams end without the one expected (its headers promised more
            // than it holds) ends the run with an error, rather than leaving the multiplexer
            // waiting for that input for ever.
            g_signal_connect_data(
                last, "no-more-pads", G_CALLBACK(+[](GstElement* demux, gpointer data) {
                    auto& input = *static_cast<MuxInput*>(data);
                    // Linked, or refused and ended already.
                    if (gst_pad_is_linked(input.pad) || GST_PAD_IS_EOS(input.pad.get())) return;
                    gst_element_message_full(
                        input.mux, GST_MESSAGE_ERROR, GST_STREAM_ERROR, GST_STREAM_ERROR_DEMUX,
                        g_strdup("The file holds no stream of the kind its headers name."),
                        g_strdup_printf("%s ended its streams, %s is not linked",
                                        GST_OBJECT_NAME(demux), GST_PAD_NAME(input.pad.get())),
                        __FILE__, GST_FUNCTION, __LINE__);
                    gst_pad_send_event(input.pad, gst_event_new_eos());
                }),
                new MuxInput{ElementRef::ref(mux), reserved},
                +[](gpointer data, GClosure*) { delete static_cast<MuxInput*>(data); },
                GConnectFlags(0));
        }
        graph_->activateElement(static_cast<GstElement*>(source->native()));
        return S_OK;
    }

    // The output pin of a capture device that gives the pictures (or sound) of the type
    // asked for, connected already or not: preview and capture share it.
    static PinPtr findCapturePin(const FilterPtr& filter, const GUID* majorType) {
        for (const PinPtr& p : filter->pins()) {
            if (p->direction() != PINDIR_OUTPUT || p->name() != "Capture") continue;
            auto* pad = static_cast<GstPad*>(p->native());
            const CapsRef caps(padCaps(pad));
            if (capsMatchType(caps, majorType) || padGivesJpeg(pad)) return p;
        }
        return nullptr;
    }

    // A device has one output for both its preview and its capture: it feeds a tee, made on
    // first use (after a JPEG decoder for an MJPG camera, so pictures are decoded once). The
    // capture branch takes every picture; the preview branch gets a leaky queue of a few
    // pictures, so a slow preview never holds up the file.
    template <class Route> HRESULT routeBranch(GstPad* pin, bool preview, Route& route) {
        GstElement* tee = teeAfter(pin);
        if (!tee) {
            if (gst_pad_is_linked(pin)) return VFW_E_ALREADY_CONNECTED;
            PadRef from = PadRef::ref(pin);
            if (padGivesJpeg(pin)) {
                GstElement* dec = gst_element_factory_make("jpegdec", nullptr);
                if (!dec) return VFW_E_CANNOT_CONNECT;
                graph_->addHelper(dec, "MJPEG Decompressor", FilterRole::Decoder);
                const PadRef in(gst_element_get_static_pad(dec, "sink"));
                if (!linkPads(from, in)) return VFW_E_CANNOT_CONNECT;
                from.reset(gst_element_get_static_pad(dec, "src"));
            }
            tee = gst_element_factory_make("tee", nullptr);
            if (!tee) return VFW_E_CANNOT_CONNECT;
            g_object_set_data(G_OBJECT(tee), "tovamix-capture-tee", GINT_TO_POINTER(1));
            // A branch added later starts at once rather than waiting for the others.
            g_object_set(tee, "allow-not-linked", TRUE, nullptr);
            graph_->addHelper(tee, "Smart Tee", FilterRole::None);
            const PadRef in(gst_element_get_static_pad(tee, "sink"));
            if (!linkPads(from, in)) return VFW_E_CANNOT_CONNECT;
            const ElementRef device(gst_pad_get_parent_element(pin));
            if (device) graph_->activateElement(device);
        }
        PadRef branch(gst_element_request_pad_simple(tee, "src_%u"));
        if (!branch) return VFW_E_CANNOT_CONNECT;
        const std::vector<FilterPtr> before = graph_->EnumFilters();
        HRESULT h = S_OK;
        if (preview) {
            GstElement* queue = gst_element_factory_make("queue", nullptr);
            if (!queue) return VFW_E_CANNOT_CONNECT;
            // Three pictures, the oldest dropped: the preview shows the latest ones.
            g_object_set(queue, "max-size-buffers", 3u, "max-size-bytes", 0u, "max-size-time",
                         guint64(0), nullptr);
            gst_util_set_object_arg(G_OBJECT(queue), "leaky", "downstream");
            graph_->addHelper(queue, "Preview Queue", FilterRole::Queue);
            const PadRef in(gst_element_get_static_pad(queue, "sink"));
            const PadRef out(gst_element_get_static_pad(queue, "src"));
            h = linkPads(branch, in) ? route(out.get(), nullptr, true) : VFW_E_CANNOT_CONNECT;
        } else {
            h = route(branch.get(), nullptr);
        }
        if (FAILED(h)) {
            for (const FilterPtr& f : graph_->EnumFilters())
                if (std::find(before.begin(), before.end(), f) == before.end())
                    graph_->RemoveFilter(f);
            gst_element_release_request_pad(tee, branch);
        }
        return h;
    }

    std::shared_ptr<Graph> graph_;
};

} // namespace

std::shared_ptr<ICaptureGraphBuilder2> createCaptureGraphBuilder() {
    ensureGstreamer();
    return std::make_shared<CaptureBuilder>();
}

} // namespace platform::dshow
