// The timeline editing services: a timeline of groups (one per kind of output: video, audio),
// each with tracks that hold source clips (stretches of media files placed on the timeline);
// a render engine that turns a timeline into a graph whose output pins give each group's
// stream, ready to be encoded and written; and a stream detector that tells what a media file
// holds.
//
// Over GStreamer Editing Services: a timeline is a GESTimeline, a group one GESTrack, a group's
// tracks are GES layers and a source clip is a GESUriClip limited to its group's kind. The
// render engine puts the committed timeline into a graph of this layer (createFilterGraph) as
// one filter whose output pins are the groups' track pads, in group order, so that the
// capture graph builder can route each through an encoder into the AVI multiplexer. The
// detector reads files with GstDiscoverer.
//
// Times are 100-nanosecond units throughout. User-interface thread only.
#pragma once

#include "platform/dshow/base/DShow.h"
#include "platform/dshow/base/MediaTypes.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::dshow {

// Kinds of timeline nodes.
enum TIMELINE_MAJOR_TYPE {
    TIMELINE_MAJOR_TYPE_COMPOSITE = 1,
    TIMELINE_MAJOR_TYPE_TRACK = 2,
    TIMELINE_MAJOR_TYPE_SOURCE = 4,
    TIMELINE_MAJOR_TYPE_TRANSITION = 8,
    TIMELINE_MAJOR_TYPE_EFFECT = 16,
    TIMELINE_MAJOR_TYPE_GROUP = 128,
};

// Every node of a timeline: a group, a track or a source. Nodes are made by the timeline
// (CreateEmptyNode) and offer the interface of their kind.
class IAMTimelineObj : public virtual IUnknown {
  public:
    virtual HRESULT GetTimelineType(TIMELINE_MAJOR_TYPE* type) = 0;
    // Where the node lies on the timeline: E_INVALIDARG when stop <= start or start < 0.
    virtual HRESULT SetStartStop(int64_t start, int64_t stop) = 0;
    virtual HRESULT GetStartStop(int64_t* start, int64_t* stop) = 0;
};
using TimelineObjPtr = std::shared_ptr<IAMTimelineObj>;

// A group: one output of the timeline.
class IAMTimelineGroup : public virtual IUnknown {
  public:
    // The group's kind and, for video, its picture size (the video-info block's bitmap
    // header: width and height; the pixel format is left to the encoders). A video type
    // without a 88-byte video-info block, or a kind other than video and audio:
    // VFW_E_INVALIDMEDIATYPE. Audio takes the timeline's default format.
    virtual HRESULT SetMediaType(const AM_MEDIA_TYPE& mt) = 0;
    virtual HRESULT GetMediaType(AM_MEDIA_TYPE* mt) = 0;
    // Frames per second of the group's output; 0 (the default): the timeline's default rate.
    virtual HRESULT SetOutputFPS(double fps) = 0;
    virtual HRESULT GetOutputFPS(double* fps) = 0;
};

// A composition: the group's container of tracks.
class IAMTimelineComp : public virtual IUnknown {
  public:
    // Inserts a track node before the track of that priority (-1: appended at the end).
    virtual HRESULT VTrackInsBefore(const TimelineObjPtr& track, long priority) = 0;
    virtual HRESULT VTrackGetCount(long* count) = 0;
};

// A track: a row of sources that do not overlap.
class IAMTimelineTrack : public virtual IUnknown {
  public:
    // Adds a source node whose times and media are set. E_INVALIDARG when its media span
    // differs from its timeline span (no rate change) or it overlaps a source of the track;
    // VFW_E_NOT_FOUND when the track is not in a group yet.
    virtual HRESULT SrcAdd(const TimelineObjPtr& source) = 0;
};

// A source clip: a stretch of a media file.
class IAMTimelineSrc : public virtual IUnknown {
  public:
    virtual HRESULT SetMediaName(const std::string& fileName) = 0;
    virtual HRESULT GetMediaName(std::string* fileName) = 0;
    // The stretch of the file: E_INVALIDARG when stop <= start or start < 0.
    virtual HRESULT SetMediaTimes(int64_t start, int64_t stop) = 0;
    virtual HRESULT GetMediaTimes(int64_t* start, int64_t* stop) = 0;
};

class IAMTimeline : public virtual IUnknown {
  public:
    // A new node of a kind (group, track or source); E_INVALIDARG for other kinds.
    virtual HRESULT CreateEmptyNode(TimelineObjPtr* node, TIMELINE_MAJOR_TYPE type) = 0;
    // Adds a group node (its media type set) as the next group.
    virtual HRESULT AddGroup(const TimelineObjPtr& group) = 0;
    virtual HRESULT GetGroupCount(long* count) = 0;
    virtual HRESULT GetGroup(TimelineObjPtr* group, long index) = 0;
    // The frame rate of video groups that set none: by default the rate of the first video
    // source added (as the detector reads it), 30 when unknown.
    virtual HRESULT SetDefaultFPS(double fps) = 0;
    virtual HRESULT GetDefaultFPS(double* fps) = 0;
    // The end of the last source of any group.
    virtual HRESULT GetDuration(int64_t* duration) = 0;
};

std::shared_ptr<IAMTimeline> createTimeline();

// Reads each file as a timeline and the detector will (where its own time line starts, its
// streams and their lengths) on a thread of its own, calling whileWaiting about every 10 ms
// until all are read, so that detecting and building a timeline of these files waits on none
// of them. Optional: what was not read here is read when asked for.
void prepareSources(const std::vector<std::string>& files,
                    const std::function<void()>& whileWaiting);

// Turns a timeline into a graph of this layer.
class IRenderEngine : public virtual IUnknown {
  public:
    virtual HRESULT SetTimelineObject(const std::shared_ptr<IAMTimeline>& timeline) = 0;
    // Builds the graph: the timeline, committed, as one filter ("Timeline") whose output pin i
    // gives group i's stream. VFW_E_INVALIDMEDIATYPE for a group without media type,
    // E_INVALIDARG for a timeline without groups or sources, E_FILE_NOT_FOUND for a source
    // file that cannot be read.
    virtual HRESULT ConnectFrontEnd() = 0;
    // The graph built (null and E_UNEXPECTED before ConnectFrontEnd). It reports the timeline's
    // length as its duration and, while it runs, the position the encoders have reached.
    virtual HRESULT GetFilterGraph(std::shared_ptr<IGraphBuilder>* graph) = 0;
    // Group i's output pin; E_INVALIDARG outside 0..count-1.
    virtual HRESULT GetGroupOutputPin(long group, PinPtr* pin) = 0;
    // Ends the group outputs that are still unconnected in a sink that drops their data, so
    // the graph can run; nothing goes to a screen or a speaker. S_FALSE when there were
    // none.
    virtual HRESULT RenderOutputPins() = 0;
    // Stops and lets go of the graph and the timeline's front end.
    virtual HRESULT ScrapIt() = 0;
};

std::shared_ptr<IRenderEngine> createRenderEngine();

// A render holds some fifty pictures of its output size in flight (decoded, scaled, queued
// before the encoder). Empty when a render of pictures of this size fits in the memory the
// system has free; else why not ("pictures of 8190x8190 need about 5.3 GB of memory while
// rendering, and 3.1 GB are free").
std::string renderMemoryRefusal(long width, long height);

// What a media file holds. An AVI is read from its stream headers alone (the exact values
// it stores, at once, however long the file); any other file, and an AVI whose headers do
// not parse, is read by GstDiscoverer, whose caps are mapped to the FourCC or wave tag the
// same stream would carry in an AVI.
class IMediaDet : public virtual IUnknown {
  public:
    // Reads the file: E_FILE_NOT_FOUND when it does not exist, VFW_E_INVALID_FILE_FORMAT
    // when nothing in it can be read.
    virtual HRESULT put_Filename(const std::string& fileName) = 0;
    virtual HRESULT get_OutputStreams(long* count) = 0;
    // E_INVALIDARG outside 0..count-1.
    virtual HRESULT put_CurrentStream(long index) = 0;
    // MEDIATYPE_Video, MEDIATYPE_Audio, or GUID_NULL for other streams.
    virtual HRESULT get_StreamType(GUID* majorType) = 0;
    // The current stream's length in seconds: for an AVI the stream's own (length x scale /
    // rate; VFW_E_INVALID_FILE_FORMAT when its rate is 0), else the file's length, which the
    // discoverer reads for the file as a whole.
    virtual HRESULT get_StreamLength(double* seconds) = 0;
    // Frames per second of the current stream; 0 when unknown; VFW_E_INVALIDMEDIATYPE for a
    // stream that is not video.
    virtual HRESULT get_FrameRate(double* fps) = 0;
    // The current stream's fixed caps text, as the detector reads them.
    virtual HRESULT get_StreamCaps(std::string* caps) = 0;
    // The current stream's media type: video with a video-info block (its bitmap header:
    // size, depth, compression FourCC; 24 bits where the stream tells no depth; compression 0
    // with subtype GUID_NULL for a kind that has no FourCC), sound with a wave-format block
    // (tag 0 for a kind that has none), GUID_NULL major type for other streams.
    virtual HRESULT get_StreamMediaType(AM_MEDIA_TYPE* mt) = 0;
};

std::shared_ptr<IMediaDet> createMediaDet();

} // namespace platform::dshow
