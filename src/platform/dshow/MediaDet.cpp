// The stream detector: what a media file holds (its streams, their kind, length, frame rate and
// caps), read once by GstDiscoverer when the file is named and kept as plain values. Called on
// the user-interface thread; the discovery runs to its end (or its time-out) inside
// put_Filename.
#include "Filters.h"
#include "GstRef.h"
#include "Timeline.h"

#include <gst/pbutils/pbutils.h>

#include <filesystem>
#include <vector>

namespace platform::dshow {

namespace {

// Long enough for a large file on a busy machine; a file that takes longer is no file to cut.
constexpr GstClockTime DiscoverTimeout = 5 * GST_SECOND;

struct StreamFacts {
    GUID majorType = GUID_NULL;
    double fps = 0;
    std::string caps;
};

std::string capsText(GstDiscovererStreamInfo* info) {
    const CapsRef caps(gst_discoverer_stream_info_get_caps(info));
    if (!caps) return {};
    gchar* text = gst_caps_to_string(caps);
    std::string s = text ? text : "";
    g_free(text);
    return s;
}

StreamFacts factsOf(GstDiscovererStreamInfo* info) {
    StreamFacts f;
    f.caps = capsText(info);
    if (GST_IS_DISCOVERER_VIDEO_INFO(info)) {
        auto* v = GST_DISCOVERER_VIDEO_INFO(info);
        f.majorType = MEDIATYPE_Video;
        const guint num = gst_discoverer_video_info_get_framerate_num(v);
        const guint den = gst_discoverer_video_info_get_framerate_denom(v);
        // A still picture or a variable rate reads as 0/1.
        if (num > 0 && den > 0) f.fps = double(num) / den;
    } else if (GST_IS_DISCOVERER_AUDIO_INFO(info)) {
        f.majorType = MEDIATYPE_Audio;
    }
    return f;
}

class MediaDet final : public IMediaDet {
  public:
    HRESULT put_Filename(const std::string& fileName) override {
        streams_.clear();
        current_ = 0;
        length_ = 0;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(fileName, ec)) return E_FILE_NOT_FOUND;
        GError* err = nullptr;
        gchar* uri = gst_filename_to_uri(fileName.c_str(), &err);
        g_clear_error(&err);
        if (!uri) return E_FILE_NOT_FOUND;
        const GObjectRef<GstDiscoverer> discoverer(gst_discoverer_new(DiscoverTimeout, &err));
        g_clear_error(&err);
        if (!discoverer) {
            g_free(uri);
            return E_FAIL;
        }
        const GObjectRef<GstDiscovererInfo> info(
            gst_discoverer_discover_uri(discoverer, uri, &err));
        g_free(uri);
        g_clear_error(&err);
        if (!info) return VFW_E_INVALID_FILE_FORMAT;
        // Streams that need a plug-in this machine lacks still count (their kind is known);
        // a file the discoverer could not read or that timed out counts only for the streams
        // it found.
        GList* list = gst_discoverer_info_get_stream_list(info);
        for (GList* l = list; l; l = l->next) {
            auto* s = GST_DISCOVERER_STREAM_INFO(l->data);
            if (GST_IS_DISCOVERER_CONTAINER_INFO(s)) continue;
            streams_.push_back(factsOf(s));
        }
        gst_discoverer_stream_info_list_free(list);
        const GstClockTime d = gst_discoverer_info_get_duration(info);
        length_ = GST_CLOCK_TIME_IS_VALID(d) ? double(d) / GST_SECOND : 0;
        fileName_ = fileName;
        return streams_.empty() ? VFW_E_INVALID_FILE_FORMAT : S_OK;
    }

    HRESULT get_OutputStreams(long* count) override {
        if (!count) return E_POINTER;
        *count = long(streams_.size());
        return S_OK;
    }

    HRESULT put_CurrentStream(long index) override {
        if (index < 0 || index >= long(streams_.size())) return E_INVALIDARG;
        current_ = size_t(index);
        return S_OK;
    }

    HRESULT get_StreamType(GUID* majorType) override {
        if (!majorType) return E_POINTER;
        if (streams_.empty()) return E_INVALIDARG;
        *majorType = streams_[current_].majorType;
        return S_OK;
    }

    // The discoverer measures the file as a whole; every stream is given that length.
    HRESULT get_StreamLength(double* seconds) override {
        if (!seconds) return E_POINTER;
        if (streams_.empty()) return E_INVALIDARG;
        *seconds = length_;
        return S_OK;
    }

    HRESULT get_FrameRate(double* fps) override {
        if (!fps) return E_POINTER;
        if (streams_.empty()) return E_INVALIDARG;
        if (!(streams_[current_].majorType == MEDIATYPE_Video)) return VFW_E_INVALIDMEDIATYPE;
        *fps = streams_[current_].fps;
        return S_OK;
    }

    HRESULT get_StreamCaps(std::string* caps) override {
        if (!caps) return E_POINTER;
        if (streams_.empty()) return E_INVALIDARG;
        *caps = streams_[current_].caps;
        return S_OK;
    }

  private:
    std::string fileName_;
    std::vector<StreamFacts> streams_;
    size_t current_ = 0;
    double length_ = 0;
};

} // namespace

std::shared_ptr<IMediaDet> createMediaDet() {
    ensureGstreamer();
    return std::make_shared<MediaDet>();
}

} // namespace platform::dshow
