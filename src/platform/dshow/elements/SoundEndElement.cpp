#include "platform/dshow/elements/SoundEndElement.h"

#include "platform/dshow/base/GstRef.h"

#include <gst/audio/audio.h>

#include <algorithm>

namespace platform::dshow {

namespace {
// Gaps in the stamps smaller than this are their jitter, not missing sound.
constexpr GstClockTime Jitter = 40 * GST_MSECOND;
} // namespace

void SoundEnd::reset() {
    std::lock_guard lock(m_);
    stopTime_ = GST_CLOCK_TIME_NONE;
    rate_ = 0;
    position_ = delivered_ = 0;
    nextStamp_ = GST_CLOCK_TIME_NONE;
    flushing_ = false;
}

void SoundEnd::setStopTime(GstClockTime stopTime) {
    std::lock_guard lock(m_);
    stopTime_ = stopTime;
    if (wait_) gst_clock_id_unschedule(wait_);
    if (reachedLocked()) reached_.notify_all();
}

void SoundEnd::setFlushing(bool flushing) {
    std::lock_guard lock(m_);
    flushing_ = flushing;
    if (flushing && wait_) gst_clock_id_unschedule(wait_);
}

void SoundEnd::waitUntilDue(GstClock* clock, GstClockTime base, uint64_t frames, int rate) {
    GstClockID id;
    {
        std::lock_guard lock(m_);
        if (flushing_ || rate <= 0) return;
        const uint64_t end = (rate_ == rate ? position_ : 0) + frames;
        GstClockTime due = gst_util_uint64_scale_round(end, GST_SECOND, uint64_t(rate));
        // Sound past a stop time is not waited for (a stop set now lets everything before it
        // through at once); a stop set ahead leaves the sound before it paced as usual.
        if (GST_CLOCK_TIME_IS_VALID(stopTime_)) due = std::min(due, stopTime_);
        id = gst_clock_new_single_shot_id(clock, base + due);
        wait_ = id;
    }
    gst_clock_id_wait(id, nullptr);
    {
        std::lock_guard lock(m_);
        wait_ = nullptr;
    }
    gst_clock_id_unref(id);
}

SoundEnd::Figures SoundEnd::figures() {
    std::lock_guard lock(m_);
    Figures f;
    f.stopTime = stopTime_;
    if (rate_ > 0) {
        f.position = gst_util_uint64_scale_round(position_, GST_SECOND, uint64_t(rate_));
        f.delivered = gst_util_uint64_scale_round(delivered_, GST_SECOND, uint64_t(rate_));
    }
    return f;
}

bool SoundEnd::waitForStop(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_);
    if (!GST_CLOCK_TIME_IS_VALID(stopTime_)) return false;
    return reached_.wait_for(lock, timeout, [this] { return reachedLocked(); });
}

uint64_t SoundEnd::stopFrameLocked() const {
    return gst_util_uint64_scale_round(stopTime_, uint64_t(rate_), GST_SECOND);
}

bool SoundEnd::reachedLocked() const {
    return GST_CLOCK_TIME_IS_VALID(stopTime_) && rate_ > 0 && position_ >= stopFrameLocked();
}

SoundEnd::Plan SoundEnd::take(GstClockTime start, GstClockTime now, uint64_t frames, int rate) {
    std::lock_guard lock(m_);
    if (rate_ != rate) {
        // A new format starts the count again (it does not change within a recording).
        rate_ = rate;
        position_ = delivered_ = 0;
        nextStamp_ = GST_CLOCK_TIME_NONE;
    }
    const uint64_t limit = GST_CLOCK_TIME_IS_VALID(stopTime_) ? stopFrameLocked() : UINT64_MAX;
    Plan p;
    p.silenceAt = position_;
    const auto toFrames = [&](GstClockTime t) {
        return gst_util_uint64_scale_round(t, uint64_t(rate), GST_SECOND);
    };
    if (GST_CLOCK_TIME_IS_VALID(start)) {
        // The run starts at running time 0: a device that takes a moment to start (a sound
        // server connecting, often 0.1 to 0.5 s) gets silence in front, so its first sound
        // lies where it was heard: where its stamp says, but no later than the moment the
        // buffer came less its length (its last sound was heard before it came). A source
        // slaved to the system clock stamps its first pieces a few pieces late.
        if (!GST_CLOCK_TIME_IS_VALID(nextStamp_) && delivered_ == 0 && position_ == 0 &&
            GST_CLOCK_TIME_IS_VALID(now)) {
            const GstClockTime length =
                gst_util_uint64_scale_round(frames, GST_SECOND, uint64_t(rate));
            const GstClockTime heard = std::min(start, now > length ? now - length : 0);
            if (heard > Jitter) p.silence = std::min(toFrames(heard), limit);
        }
        // The device skipped sound where its stamps jump past the end of its last buffer (a
        // stopped program whose device dropped what it could not hold, say).
        if (GST_CLOCK_TIME_IS_VALID(nextStamp_) && start > nextStamp_ + Jitter) {
            uint64_t to = position_ + toFrames(start - nextStamp_);
            if (GST_CLOCK_TIME_IS_VALID(now)) to = std::min(to, toFrames(now));
            to = std::min(to, limit);
            if (to > position_) p.silence = to - position_;
        }
        // Stamps that go back into sound already passed on: the device handed over what it
        // held in a burst (after a stall), stamped closer together than it lasts. Its front
        // is dropped, so the run stays where the stamps put it and the voice does not fall
        // behind the picture by the overlap.
        if (GST_CLOCK_TIME_IS_VALID(nextStamp_) && start + Jitter < nextStamp_)
            p.skip = std::min(frames, toFrames(nextStamp_ - start));
        nextStamp_ = start + gst_util_uint64_scale_round(frames, GST_SECOND, uint64_t(rate));
    }
    position_ += p.silence;
    p.at = position_;
    frames -= p.skip;
    p.keep = position_ < limit ? std::min(frames, limit - position_) : 0;
    position_ += p.keep;
    delivered_ += p.keep;
    // Sound delivered past the stop time means all before it has come.
    if (p.keep < frames) position_ = std::max(position_, limit);
    if (reachedLocked()) reached_.notify_all();
    return p;
}

void SoundEnd::setTap(std::shared_ptr<SoundTap> tap) {
    std::lock_guard lock(m_);
    tap_ = std::move(tap);
}

std::shared_ptr<SoundTap> SoundEnd::tap() {
    std::lock_guard lock(m_);
    return tap_;
}

bool SoundEnd::fillAtEnd(GstClockTime now, int rate, uint64_t* silenceAt, uint64_t* silence) {
    std::lock_guard lock(m_);
    // A device that delivered nothing at all: the whole run is silence at the stream's rate.
    if (rate_ <= 0) rate_ = rate;
    // A stream ended without a stop time ends now, and so does one ended before a stop time
    // set ahead: what was never recorded is not filled in.
    if (!GST_CLOCK_TIME_IS_VALID(stopTime_) || (GST_CLOCK_TIME_IS_VALID(now) && now < stopTime_))
        stopTime_ = now;
    if (!GST_CLOCK_TIME_IS_VALID(stopTime_) || rate_ <= 0 || position_ >= stopFrameLocked())
        return false;
    *silenceAt = position_;
    *silence = stopFrameLocked() - position_;
    position_ = stopFrameLocked();
    reached_.notify_all();
    return true;
}

} // namespace platform::dshow

using platform::dshow::SoundEnd;

// The GObject type of the element.
struct TovamixSoundEnd {
    GstElement parent;
    GstPad* sinkPad;
    GstPad* srcPad;
    SoundEnd* state;
    // -- The following fields belong to the streaming thread.
    GstAudioInfo info;
    bool haveInfo;
    bool haveSegment;
    GstSegment segment;
};
struct TovamixSoundEndClass {
    GstElementClass parent_class;
};

G_DEFINE_TYPE(TovamixSoundEnd, tovamix_sound_end, GST_TYPE_ELEMENT)

namespace platform::dshow {
namespace {

GstStaticPadTemplate sinkTemplate =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("audio/x-raw"));
GstStaticPadTemplate srcTemplate =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("audio/x-raw"));

// Pieces of silence are a second long at most, so a long fill needs no single huge buffer.
constexpr uint64_t SilencePieceSeconds = 1;

TovamixSoundEnd* self(GstObject* parent) {
    return reinterpret_cast<TovamixSoundEnd*>(parent);
}

GstClockTime frameTime(TovamixSoundEnd* s, uint64_t frame) {
    const GstClockTime t =
        gst_util_uint64_scale_round(frame, GST_SECOND, uint64_t(GST_AUDIO_INFO_RATE(&s->info)));
    return gst_segment_position_from_running_time(&s->segment, GST_FORMAT_TIME, t);
}

// Hands a copy of sound passed on at frame `at` to the tap, if one is set.
void tapSound(TovamixSoundEnd* s, uint64_t at, const uint8_t* data, size_t bytes, bool silence) {
    const std::shared_ptr<SoundTap> tap = s->state->tap();
    if (!tap) return;
    SoundPiece piece;
    piece.at = at;
    piece.data = data;
    piece.bytes = bytes;
    piece.rate = GST_AUDIO_INFO_RATE(&s->info);
    piece.channels = GST_AUDIO_INFO_CHANNELS(&s->info);
    piece.s16 = GST_AUDIO_INFO_FORMAT(&s->info) == GST_AUDIO_FORMAT_S16LE;
    piece.silence = silence;
    tap->sound(piece);
}

// `count` frames of silence from frame `at` of the run.
GstFlowReturn pushSilence(TovamixSoundEnd* s, uint64_t at, uint64_t count) {
    const uint64_t rate = uint64_t(GST_AUDIO_INFO_RATE(&s->info));
    const uint64_t bpf = uint64_t(GST_AUDIO_INFO_BPF(&s->info));
    for (uint64_t done = 0; done < count;) {
        const uint64_t n = std::min(count - done, rate * SilencePieceSeconds);
        GstBuffer* buffer = gst_buffer_new_allocate(nullptr, n * bpf, nullptr);
        GstMapInfo map;
        if (!buffer || !gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
            if (buffer) gst_buffer_unref(buffer);
            return GST_FLOW_ERROR;
        }
        gst_audio_format_info_fill_silence(s->info.finfo, map.data, map.size);
        tapSound(s, at + done, map.data, map.size, true);
        gst_buffer_unmap(buffer, &map);
        GST_BUFFER_PTS(buffer) = frameTime(s, at + done);
        GST_BUFFER_DURATION(buffer) = frameTime(s, at + done + n) - GST_BUFFER_PTS(buffer);
        if (const GstFlowReturn r = gst_pad_push(s->srcPad, buffer); r != GST_FLOW_OK) return r;
        done += n;
    }
    return GST_FLOW_OK;
}

// The element's running time now; none without a clock.
GstClockTime runningTime(TovamixSoundEnd* s) {
    const GstRef<GstClock> clock(gst_element_get_clock(GST_ELEMENT(s)));
    if (!clock) return GST_CLOCK_TIME_NONE;
    const GstClockTime base = gst_element_get_base_time(GST_ELEMENT(s));
    const GstClockTime t = gst_clock_get_time(clock);
    return t > base ? t - base : 0;
}

GstFlowReturn chain(GstPad*, GstObject* parent, GstBuffer* buffer) {
    TovamixSoundEnd* s = self(parent);
    const int bpf = s->haveInfo ? GST_AUDIO_INFO_BPF(&s->info) : 0;
    const int rate = s->haveInfo ? GST_AUDIO_INFO_RATE(&s->info) : 0;
    if (bpf <= 0 || rate <= 0 || !s->haveSegment) return gst_pad_push(s->srcPad, buffer);
    const uint64_t frames = gst_buffer_get_size(buffer) / uint64_t(bpf);
    GstClockTime start = GST_CLOCK_TIME_NONE;
    if (GST_BUFFER_PTS_IS_VALID(buffer))
        start = gst_segment_to_running_time(&s->segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
    if (const GstRef<GstClock> clock{gst_element_get_clock(GST_ELEMENT(s))})
        s->state->waitUntilDue(clock, gst_element_get_base_time(GST_ELEMENT(s)), frames, rate);
    const SoundEnd::Plan p = s->state->take(start, runningTime(s), frames, rate);
    if (p.silence > 0)
        if (const GstFlowReturn r = pushSilence(s, p.silenceAt, p.silence); r != GST_FLOW_OK) {
            gst_buffer_unref(buffer);
            return r;
        }
    if (p.keep == 0) {
        gst_buffer_unref(buffer);
        return GST_FLOW_OK;
    }
    buffer = gst_buffer_make_writable(buffer);
    if (p.skip > 0 || p.keep < frames)
        gst_buffer_resize(buffer, gssize(p.skip * uint64_t(bpf)), gssize(p.keep * uint64_t(bpf)));
    GST_BUFFER_PTS(buffer) = frameTime(s, p.at);
    GST_BUFFER_DURATION(buffer) = frameTime(s, p.at + p.keep) - GST_BUFFER_PTS(buffer);
    GST_BUFFER_OFFSET(buffer) = p.at;
    GST_BUFFER_OFFSET_END(buffer) = p.at + p.keep;
    if (GstMapInfo map; s->state->tap() && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        tapSound(s, p.at, map.data, map.size, false);
        gst_buffer_unmap(buffer, &map);
    }
    return gst_pad_push(s->srcPad, buffer);
}

gboolean sinkEvent(GstPad* pad, GstObject* parent, GstEvent* event) {
    TovamixSoundEnd* s = self(parent);
    switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
        GstCaps* caps = nullptr;
        gst_event_parse_caps(event, &caps);
        s->haveInfo = caps && gst_audio_info_from_caps(&s->info, caps);
        break;
    }
    case GST_EVENT_SEGMENT:
        gst_event_copy_segment(event, &s->segment);
        s->haveSegment = true;
        break;
    case GST_EVENT_FLUSH_START:
        s->state->setFlushing(true);
        break;
    case GST_EVENT_FLUSH_STOP:
        s->state->setFlushing(false);
        gst_segment_init(&s->segment, GST_FORMAT_TIME);
        break;
    case GST_EVENT_EOS: {
        uint64_t at = 0, count = 0;
        // A stream without a format has nothing to fill. One whose device delivered nothing
        // (no segment came, it comes with the first sound) gets one here: its run is silence.
        if (s->haveInfo && !s->haveSegment && GST_AUDIO_INFO_BPF(&s->info) > 0) {
            gst_segment_init(&s->segment, GST_FORMAT_TIME);
            s->haveSegment = gst_pad_push_event(s->srcPad, gst_event_new_segment(&s->segment));
        }
        if (s->haveInfo && s->haveSegment && GST_AUDIO_INFO_BPF(&s->info) > 0 &&
            s->state->fillAtEnd(runningTime(s), GST_AUDIO_INFO_RATE(&s->info), &at, &count))
            pushSilence(s, at, count);
        break;
    }
    default:
        break;
    }
    return gst_pad_event_default(pad, parent, event);
}

GstStateChangeReturn changeState(GstElement* element, GstStateChange transition) {
    TovamixSoundEnd* s = self(GST_OBJECT(element));
    // A wait for the clock must not hold up the stop of the streaming thread.
    if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) s->state->setFlushing(true);
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
        s->state->reset();
        s->haveInfo = false;
        s->haveSegment = false;
        gst_segment_init(&s->segment, GST_FORMAT_TIME);
    }
    return GST_ELEMENT_CLASS(tovamix_sound_end_parent_class)->change_state(element, transition);
}

void finalize(GObject* object) {
    TovamixSoundEnd* s = self(GST_OBJECT(object));
    delete s->state;
    s->state = nullptr;
    G_OBJECT_CLASS(tovamix_sound_end_parent_class)->finalize(object);
}

} // namespace
} // namespace platform::dshow

static void tovamix_sound_end_class_init(TovamixSoundEndClass* klass) {
    using namespace platform::dshow;
    GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
    G_OBJECT_CLASS(klass)->finalize = finalize;
    elementClass->change_state = changeState;
    gst_element_class_set_static_metadata(
        elementClass, "Tovamix sound end", "Filter/Audio",
        "Ends a sound recording at a stop time: cuts what comes later, fills what is missing "
        "with silence",
        "Tovamix");
    gst_element_class_add_static_pad_template(elementClass, &sinkTemplate);
    gst_element_class_add_static_pad_template(elementClass, &srcTemplate);
}

static void tovamix_sound_end_init(TovamixSoundEnd* s) {
    using namespace platform::dshow;
    s->state = new SoundEnd;
    s->haveInfo = false;
    s->haveSegment = false;
    gst_audio_info_init(&s->info);
    gst_segment_init(&s->segment, GST_FORMAT_TIME);
    s->sinkPad = gst_pad_new_from_static_template(&sinkTemplate, "sink");
    gst_pad_set_chain_function(s->sinkPad, chain);
    gst_pad_set_event_function(s->sinkPad, sinkEvent);
    GST_PAD_SET_PROXY_CAPS(s->sinkPad);
    GST_PAD_SET_PROXY_ALLOCATION(s->sinkPad);
    gst_element_add_pad(GST_ELEMENT(s), s->sinkPad);
    s->srcPad = gst_pad_new_from_static_template(&srcTemplate, "src");
    GST_PAD_SET_PROXY_CAPS(s->srcPad);
    gst_element_add_pad(GST_ELEMENT(s), s->srcPad);
}

namespace platform::dshow {

bool registerSoundEndElement() {
    static const bool registered = [] {
        if (!gst_is_initialized() && !gst_init_check(nullptr, nullptr, nullptr)) return false;
        return gst_element_register(nullptr, "tovamixsoundend", GST_RANK_NONE,
                                    tovamix_sound_end_get_type()) == TRUE;
    }();
    return registered;
}

SoundEnd* soundEndOf(GstElement* element) {
    if (!element || !G_TYPE_CHECK_INSTANCE_TYPE(element, tovamix_sound_end_get_type()))
        return nullptr;
    return reinterpret_cast<TovamixSoundEnd*>(element)->state;
}

} // namespace platform::dshow
