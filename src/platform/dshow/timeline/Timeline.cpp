// The timeline and its nodes (groups, tracks, source clips), kept as plain values while the
// caller builds them, and built into a GESTimeline when the render engine asks for it: one
// GESTrack per group, one GES layer per track of a group, one GESUriClip per source, limited
// to its group's kind so that a clip of the video group adds nothing to the audio track.
// User-interface thread only.
#include "platform/dshow/timeline/TimelineImpl.h"
#include "platform/dshow/graph/GraphServices.h"
#include "platform/dshow/graph/StreamStart.h"

#include "platform/dshow/base/Filters.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

namespace platform::dshow {

void ensureGes() {
    static std::once_flag once;
    std::call_once(once, [] {
        ensureGstreamer();
        ges_init();
    });
}

namespace {

// Used when no video source tells its rate.
constexpr double FallbackFps = 30;
// The bitmap header inside the video-info block, and its width and height (int32 LE).
constexpr size_t VideoInfoSize = 88, BitmapHeaderOffset = 48;

int32_t readInt32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | b[at + i];
    return int32_t(v);
}

bool overlaps(int64_t aStart, int64_t aStop, int64_t bStart, int64_t bStop) {
    return aStart < bStop && bStart < aStop;
}

class Group;
class Track;
class TimelineImpl;

class Node : public virtual IAMTimelineObj {
  public:
    explicit Node(TIMELINE_MAJOR_TYPE type) : type_(type) {}
    HRESULT GetTimelineType(TIMELINE_MAJOR_TYPE* type) override {
        if (!type) return E_POINTER;
        *type = type_;
        return S_OK;
    }
    HRESULT SetStartStop(int64_t start, int64_t stop) override {
        if (stop <= start || start < 0) return E_INVALIDARG;
        start_ = start;
        stop_ = stop;
        return S_OK;
    }
    HRESULT GetStartStop(int64_t* start, int64_t* stop) override {
        if (!start || !stop) return E_POINTER;
        *start = start_;
        *stop = stop_;
        return S_OK;
    }
    int64_t start() const { return start_; }
    int64_t stop() const { return stop_; }

  private:
    const TIMELINE_MAJOR_TYPE type_;
    int64_t start_ = 0, stop_ = 0;
};

class Source final : public Node, public IAMTimelineSrc {
  public:
    Source() : Node(TIMELINE_MAJOR_TYPE_SOURCE) {}
    HRESULT SetMediaName(const std::string& fileName) override {
        name_ = fileName;
        return S_OK;
    }
    HRESULT GetMediaName(std::string* fileName) override {
        if (!fileName) return E_POINTER;
        *fileName = name_;
        return S_OK;
    }
    HRESULT SetMediaTimes(int64_t start, int64_t stop) override {
        if (stop <= start || start < 0) return E_INVALIDARG;
        mediaStart_ = start;
        mediaStop_ = stop;
        return S_OK;
    }
    HRESULT GetMediaTimes(int64_t* start, int64_t* stop) override {
        if (!start || !stop) return E_POINTER;
        *start = mediaStart_;
        *stop = mediaStop_;
        return S_OK;
    }
    const std::string& name() const { return name_; }
    int64_t mediaStart() const { return mediaStart_; }
    int64_t mediaStop() const { return mediaStop_; }
    bool added = false;

  private:
    std::string name_;
    int64_t mediaStart_ = 0, mediaStop_ = 0;
};

class Track final : public Node, public IAMTimelineTrack {
  public:
    Track() : Node(TIMELINE_MAJOR_TYPE_TRACK) {}
    HRESULT SrcAdd(const TimelineObjPtr& source) override;
    const std::vector<std::shared_ptr<Source>>& sources() const { return sources_; }
    std::weak_ptr<Group> group;

  private:
    std::vector<std::shared_ptr<Source>> sources_;
};

class Group final : public Node, public IAMTimelineGroup, public IAMTimelineComp {
  public:
    Group() : Node(TIMELINE_MAJOR_TYPE_GROUP) {}

    HRESULT SetMediaType(const AM_MEDIA_TYPE& mt) override {
        if (mt.majortype == MEDIATYPE_Audio) {
            video_ = false;
        } else if (mt.majortype == MEDIATYPE_Video && mt.formattype == FORMAT_VideoInfo &&
                   mt.format.size() >= VideoInfoSize) {
            const int32_t w = readInt32(mt.format, BitmapHeaderOffset + 4);
            const int32_t h = readInt32(mt.format, BitmapHeaderOffset + 8);
            // A negative height is a top-down picture of that many lines.
            if (w <= 0 || h == 0 || w > 16384 || h < -16384 || h > 16384)
                return VFW_E_INVALIDMEDIATYPE;
            video_ = true;
            width_ = w;
            height_ = std::abs(h);
        } else {
            return VFW_E_INVALIDMEDIATYPE;
        }
        mt_ = mt;
        typed_ = true;
        return S_OK;
    }
    HRESULT GetMediaType(AM_MEDIA_TYPE* mt) override {
        if (!mt) return E_POINTER;
        if (!typed_) return VFW_E_INVALIDMEDIATYPE;
        *mt = mt_;
        return S_OK;
    }
    HRESULT SetOutputFPS(double fps) override {
        if (!(fps >= 0) || fps > 1000) return E_INVALIDARG;
        fps_ = fps;
        return S_OK;
    }
    HRESULT GetOutputFPS(double* fps) override {
        if (!fps) return E_POINTER;
        *fps = fps_;
        return S_OK;
    }

    HRESULT VTrackInsBefore(const TimelineObjPtr& track, long priority) override {
        auto t = std::dynamic_pointer_cast<Track>(track);
        if (!t || t->group.lock()) return E_INVALIDARG;
        t->group = std::dynamic_pointer_cast<Group>(shared_from_this());
        if (priority < 0 || priority >= long(tracks_.size()))
            tracks_.push_back(t);
        else
            tracks_.insert(tracks_.begin() + priority, t);
        return S_OK;
    }
    HRESULT VTrackGetCount(long* count) override {
        if (!count) return E_POINTER;
        *count = long(tracks_.size());
        return S_OK;
    }

    bool typed() const { return typed_; }
    bool video() const { return video_; }
    int width() const { return width_; }
    int height() const { return height_; }
    double outputFps() const { return fps_; }
    const std::vector<std::shared_ptr<Track>>& tracks() const { return tracks_; }
    std::weak_ptr<TimelineImpl> timeline;

  private:
    AM_MEDIA_TYPE mt_;
    bool typed_ = false, video_ = false;
    int width_ = 0, height_ = 0;
    double fps_ = 0;
    std::vector<std::shared_ptr<Track>> tracks_;
};

class TimelineImpl final : public IAMTimeline {
  public:
    HRESULT CreateEmptyNode(TimelineObjPtr* node, TIMELINE_MAJOR_TYPE type) override {
        if (!node) return E_POINTER;
        switch (type) {
        case TIMELINE_MAJOR_TYPE_GROUP:
            *node = std::make_shared<Group>();
            return S_OK;
        case TIMELINE_MAJOR_TYPE_TRACK:
            *node = std::make_shared<Track>();
            return S_OK;
        case TIMELINE_MAJOR_TYPE_SOURCE:
            *node = std::make_shared<Source>();
            return S_OK;
        default:
            return E_INVALIDARG;
        }
    }

    HRESULT AddGroup(const TimelineObjPtr& group) override {
        auto g = std::dynamic_pointer_cast<Group>(group);
        if (!g || g->timeline.lock()) return E_INVALIDARG;
        g->timeline = std::dynamic_pointer_cast<TimelineImpl>(shared_from_this());
        groups_.push_back(g);
        if (g->video())
            for (const auto& t : g->tracks())
                for (const auto& s : t->sources())
                    videoSourceAdded(s->name());
        return S_OK;
    }
    HRESULT GetGroupCount(long* count) override {
        if (!count) return E_POINTER;
        *count = long(groups_.size());
        return S_OK;
    }
    HRESULT GetGroup(TimelineObjPtr* group, long index) override {
        if (!group) return E_POINTER;
        if (index < 0 || index >= long(groups_.size())) return E_INVALIDARG;
        *group = groups_[size_t(index)];
        return S_OK;
    }
    HRESULT SetDefaultFPS(double fps) override {
        if (!(fps > 0) || fps > 1000) return E_INVALIDARG;
        fps_ = fps;
        return S_OK;
    }
    HRESULT GetDefaultFPS(double* fps) override {
        if (!fps) return E_POINTER;
        *fps = fps_ > 0 ? fps_ : FallbackFps;
        return S_OK;
    }
    HRESULT GetDuration(int64_t* duration) override {
        if (!duration) return E_POINTER;
        int64_t end = 0;
        for (const auto& g : groups_)
            for (const auto& t : g->tracks())
                for (const auto& s : t->sources())
                    end = std::max(end, s->stop());
        *duration = end;
        return S_OK;
    }

    // The first video source with a picture sets the default rate, so that a cut keeps the
    // source's frames one for one (a file of sound alone in a video group, as in a link of a
    // WAV and a video, is a gap there and says nothing of the rate).
    void videoSourceAdded(const std::string& fileName) {
        if (fps_ > 0) return;
        auto det = createMediaDet();
        long count = 0;
        if (FAILED(det->put_Filename(fileName)) || FAILED(det->get_OutputStreams(&count))) return;
        for (long i = 0; i < count; ++i) {
            GUID type;
            double fps = 0;
            if (SUCCEEDED(det->put_CurrentStream(i)) && SUCCEEDED(det->get_StreamType(&type)) &&
                type == MEDIATYPE_Video && SUCCEEDED(det->get_FrameRate(&fps)) && fps > 0) {
                fps_ = fps;
                return;
            }
        }
    }

    HRESULT build(BuiltTimeline* built);

  private:
    std::vector<std::shared_ptr<Group>> groups_;
    double fps_ = 0; // 0: no video source added yet
};

HRESULT Track::SrcAdd(const TimelineObjPtr& source) {
    auto s = std::dynamic_pointer_cast<Source>(source);
    if (!s || s->added) return E_INVALIDARG;
    const auto g = group.lock();
    if (!g) return VFW_E_NOT_FOUND;
    if (s->name().empty() || s->stop() <= s->start() || s->mediaStop() <= s->mediaStart())
        return E_INVALIDARG;
    // No rate change: the stretch of the file plays at its own speed.
    if (s->stop() - s->start() != s->mediaStop() - s->mediaStart()) return E_INVALIDARG;
    for (const auto& o : sources_)
        if (overlaps(s->start(), s->stop(), o->start(), o->stop())) return E_INVALIDARG;
    s->added = true;
    sources_.push_back(s);
    if (const auto t = g->timeline.lock(); t && g->video()) t->videoSourceAdded(s->name());
    return S_OK;
}

// The clip of one source in its group's layer: E_FILE_NOT_FOUND when the file cannot be read,
// S_FALSE when it holds no stream of the group's kind (its place stays a gap, which the track
// fills with black or silence).
HRESULT addClip(GESLayer* layer, const Source& s, GESTrackType kind) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(s.name(), ec)) return E_FILE_NOT_FOUND;
    GError* err = nullptr;
    gchar* uri = gst_filename_to_uri(s.name().c_str(), &err);
    g_clear_error(&err);
    if (!uri) return E_FILE_NOT_FOUND;
    const GObjectRef<GESUriClip> clip(ges_uri_clip_new(uri));
    g_free(uri);
    if (!clip) return E_FILE_NOT_FOUND;
    auto* asset = GES_CLIP_ASSET(ges_extractable_get_asset(GES_EXTRACTABLE(clip.get())));
    if (!asset || !(ges_clip_asset_get_supported_formats(asset) & kind)) return S_FALSE;
    ges_clip_set_supported_formats(GES_CLIP(clip.get()), kind);

    auto* element = GES_TIMELINE_ELEMENT(clip.get());
    // The stretch's times count from the file's own zero, its reader's stream time from
    // wherever the container's stamps start.
    // A stretch starts at the first picture that starts in it, so that it holds exactly the
    // pictures that start in it and its sound stays with them. (A stretch in which no picture
    // starts keeps its start: it holds no picture, which the job then says.)
    const StreamStart start = streamStartOf(s.name());
    const GstClockTime zero = start.zero;
    GstClockTime duration = GstClockTime(s.stop() - s.start()) * 100;
    const GstClockTime asked = GstClockTime(s.mediaStart()) * 100;
    const GstClockTime first = start.firstFrameFrom(asked);
    const GstClockTime inpoint = zero + (first < asked + duration ? first : asked);
    // A stretch that runs past the end of the file ends with the file; the rest of its place
    // on the timeline stays a gap. The file's length runs from its zero; where its reader only
    // estimates it, it is measured.
    const GstClockTime read = ges_timeline_element_get_max_duration(element);
    GstClockTime max = read;
    if (const GstClockTime measured = measuredLengthOf(s.name()))
        max = zero + measured;
    else if (GST_CLOCK_TIME_IS_VALID(max))
        max += zero;
    const bool lengthMended = max != read;
    if (GST_CLOCK_TIME_IS_VALID(max)) {
        if (lengthMended) ges_timeline_element_set_max_duration(element, max);
        if (inpoint >= max) return E_INVALIDARG;
        duration = std::min(duration, max - inpoint);
    }
    if (!ges_timeline_element_set_start(element, GstClockTime(s.start()) * 100) ||
        !ges_timeline_element_set_inpoint(element, inpoint) ||
        !ges_timeline_element_set_duration(element, duration))
        return E_INVALIDARG;
    if (!ges_layer_add_clip(layer, GES_CLIP(clip.get()))) return E_INVALIDARG;
    // The clip's streams take the file's length from the discoverer, which counts it from the
    // container's first stamp: theirs runs from the zero too, and to the measured end. Adding
    // the clip cut its stretch to the shorter length, so the stretch is set again.
    if (lengthMended) {
        GList* children = ges_container_get_children(GES_CONTAINER(clip.get()), FALSE);
        for (GList* c = children; c; c = c->next)
            ges_timeline_element_set_max_duration(GES_TIMELINE_ELEMENT(c->data), max);
        g_list_free_full(children, gst_object_unref);
        if (!ges_timeline_element_set_duration(element, duration)) return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT TimelineImpl::build(BuiltTimeline* built) {
    if (groups_.empty()) return E_INVALIDARG;
    bool anySource = false;
    for (const auto& g : groups_) {
        if (!g->typed()) return VFW_E_INVALIDMEDIATYPE;
        for (const auto& t : g->tracks())
            anySource = anySource || !t->sources().empty();
    }
    if (!anySource) return E_INVALIDARG;

    ensureGes();
    BuiltTimeline b;
    b.timeline.reset(GES_TIMELINE(gst_object_ref_sink(ges_timeline_new())));
    std::vector<GstRef<GESTrack>> tracks;
    for (const auto& g : groups_) {
        const GstRef<GESTrack> track(GES_TRACK(gst_object_ref_sink(
            g->video() ? GES_TRACK(ges_video_track_new()) : GES_TRACK(ges_audio_track_new()))));
        if (g->video()) {
            const double fps = g->outputFps() > 0 ? g->outputFps() : fps_ > 0 ? fps_ : FallbackFps;
            gint num = 0, den = 1;
            gst_util_double_to_fraction(fps, &num, &den);
            // Only the size and rate are fixed; the pixel format is the encoder's choice.
            const CapsRef caps(gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, g->width(),
                                                   "height", G_TYPE_INT, g->height(), "framerate",
                                                   GST_TYPE_FRACTION, num, den, nullptr));
            ges_track_update_restriction_caps(track, caps);
        }
        // Sources never overlap: no mixer, each clip's stream passes as it is.
        ges_track_set_mixing(track, FALSE);
        if (!ges_timeline_add_track(b.timeline, track)) return E_FAIL;
        tracks.push_back(track);
    }
    for (const auto& g : groups_) {
        const GESTrackType kind = g->video() ? GES_TRACK_TYPE_VIDEO : GES_TRACK_TYPE_AUDIO;
        for (const auto& t : g->tracks()) {
            GESLayer* layer = ges_timeline_append_layer(b.timeline);
            for (const auto& s : t->sources())
                if (HRESULT h = addClip(layer, *s, kind); FAILED(h)) return h;
        }
    }
    // Gives the compositions their content; they apply it once the graph starts.
    ges_timeline_commit(b.timeline);
    for (size_t i = 0; i < tracks.size(); ++i) {
        PadRef pad = PadRef::ref(ges_timeline_get_pad_for_track(b.timeline, tracks[i]));
        if (!pad) return E_FAIL;
        b.pads.push_back(std::move(pad));
        b.sound.push_back(!groups_[i]->video());
    }
    int64_t duration = 0;
    GetDuration(&duration);
    b.duration = GstClockTime(duration) * 100;
    b.end = std::min(b.duration, ges_timeline_get_duration(b.timeline));
    *built = std::move(b);
    return S_OK;
}

} // namespace

HRESULT buildTimeline(const std::shared_ptr<IAMTimeline>& timeline, BuiltTimeline* built) {
    auto t = std::dynamic_pointer_cast<TimelineImpl>(timeline);
    if (!t || !built) return E_INVALIDARG;
    return t->build(built);
}

void prepareSources(const std::vector<std::string>& files,
                    const std::function<void()>& whileWaiting) {
    ensureGes();
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread reader([files, done] {
        for (const std::string& f : files) {
            streamStartOf(f);
            // The detector's and the timeline's own readings of the file, kept by both for
            // the next time they are asked.
            createMediaDet()->put_Filename(f);
            GError* err = nullptr;
            if (gchar* uri = gst_filename_to_uri(f.c_str(), &err)) {
                if (GESUriClipAsset* asset = ges_uri_clip_asset_request_sync(uri, &err))
                    gst_object_unref(asset);
                g_free(uri);
            }
            g_clear_error(&err);
        }
        *done = true;
    });
    while (!*done) {
        if (whileWaiting) whileWaiting();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    reader.join();
}

std::shared_ptr<IAMTimeline> createTimeline() {
    ensureGes();
    return std::make_shared<TimelineImpl>();
}

} // namespace platform::dshow
