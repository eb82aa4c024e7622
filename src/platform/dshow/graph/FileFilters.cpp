// The layer's start (GStreamer and our elements, once per process) and the file filters: the
// file sources and the file writer behind the AVI multiplexer.
#include "platform/dshow/graph/GraphServices.h"

#include "platform/dshow/base/Filters.h"
#include "platform/dshow/base/GstRef.h"
#include "platform/dshow/base/StreamRepairs.h"
#include "platform/dshow/elements/AviMuxElement.h"
#include "platform/dshow/elements/XvidEncElement.h"
#include "platform/vfw/OutputFile.h"

#include <cstring>
#include <fstream>
#include <mutex>

namespace platform::dshow {

void ensureGstreamer() {
    static std::once_flag once;
    std::call_once(once, [] {
        ensureGstInit();
        registerAviMuxElement();
        registerXvidEncElement();
    });
}

void initializeMediaServices() {
    ensureGstreamer();
    learnWorkingSinks();
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
