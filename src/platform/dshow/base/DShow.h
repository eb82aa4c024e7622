// The media graph services the windows call, as small C++ interfaces named after the
// platform's own: filters with pins joined in a graph, media control, seeking, audio and video
// properties, frame stepping, the event queue, and the capture graph builder. Objects are
// reference counted (std::shared_ptr); asking an object for an interface it lacks gives null.
// Result codes are HRESULTs. Implemented over GStreamer in platform/dshow: the graph core in
// this folder (GraphImpl.h lists the graph's parts); the DVD navigator's interfaces are in
// dvd/DvdInterfaces.h.
//
// Threads: every call belongs to the user-interface thread, except IMediaEventEx's queue,
// which the streaming threads fill; its notify callback runs on a streaming thread and must
// only post a notification to the user-interface thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::dshow {

using HRESULT = int32_t;
constexpr HRESULT hr(uint32_t v) {
    return HRESULT(v);
}
constexpr bool FAILED(HRESULT h) {
    return h < 0;
}
constexpr bool SUCCEEDED(HRESULT h) {
    return h >= 0;
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = hr(0x80004001);
constexpr HRESULT E_NOINTERFACE = hr(0x80004002);
constexpr HRESULT E_POINTER = hr(0x80004003);
constexpr HRESULT E_ABORT = hr(0x80004004);
constexpr HRESULT E_FAIL = hr(0x80004005);
constexpr HRESULT E_UNEXPECTED = hr(0x8000FFFF);
constexpr HRESULT E_OUTOFMEMORY = hr(0x8007000E);
constexpr HRESULT E_INVALIDARG = hr(0x80070057);
constexpr HRESULT E_FILE_NOT_FOUND = hr(0x80070002); // from the system error "file not found"
constexpr HRESULT E_ACCESSDENIED = hr(0x80070005);
// A name that is there but is no file to read media from, from the system errors "the
// directory name is invalid", "the pipe state is invalid" and "the file type is blocked".
constexpr HRESULT E_NAME_IS_FOLDER = hr(0x8007010B);
constexpr HRESULT E_NAME_IS_PIPE = hr(0x800700E6);
constexpr HRESULT E_NAME_NOT_REGULAR = hr(0x800700DE);
constexpr HRESULT VFW_E_INVALIDMEDIATYPE = hr(0x80040200);
constexpr HRESULT VFW_E_ALREADY_CONNECTED = hr(0x80040204);
constexpr HRESULT VFW_E_NOT_CONNECTED = hr(0x80040209);
constexpr HRESULT VFW_E_NOT_FOUND = hr(0x80040216);
constexpr HRESULT VFW_E_CANNOT_CONNECT = hr(0x80040217);
constexpr HRESULT VFW_E_CANNOT_RENDER = hr(0x80040218);
constexpr HRESULT VFW_E_NOT_STOPPED = hr(0x80040224);
constexpr HRESULT VFW_E_WRONG_STATE = hr(0x80040227);
constexpr HRESULT VFW_E_TIMEOUT = hr(0x8004022E);
constexpr HRESULT VFW_E_INVALID_FILE_FORMAT = hr(0x8004022F);
constexpr HRESULT VFW_E_UNKNOWN_FILE_TYPE = hr(0x80040240);
constexpr HRESULT VFW_E_NO_AUDIO_HARDWARE = hr(0x80040256);
constexpr HRESULT VFW_E_UNSUPPORTED_STREAM = hr(0x80040265);
constexpr HRESULT VFW_E_DVD_RENDERFAIL = hr(0x8004027A);
constexpr HRESULT VFW_E_DVD_OPERATION_INHIBITED = hr(0x80040276);
constexpr HRESULT VFW_E_DVD_INVALIDDOMAIN = hr(0x80040277);
constexpr HRESULT VFW_E_DVD_NO_BUTTON = hr(0x80040278);
constexpr HRESULT VFW_E_DVD_GRAPHNOTREADY = hr(0x80040279);
constexpr HRESULT VFW_E_DVD_STATE_CORRUPT = hr(0x80040286);
constexpr HRESULT VFW_E_DVD_STATE_WRONG_DISC = hr(0x80040287);
// A capture device that another program holds, and one that stopped delivering while it ran
// (unplugged, or failing).
constexpr HRESULT VFW_E_DEVICE_BUSY = hr(0x800700AA);
constexpr HRESULT VFW_E_DEVICE_LOST = hr(0x8007048F);
constexpr HRESULT VFW_S_STATE_INTERMEDIATE = hr(0x00040237);
constexpr HRESULT VFW_S_PARTIAL_RENDER = hr(0x00040242);

// Our own text for a result code; never empty.
std::string graphErrorText(HRESULT h);
// Why a name cannot be read as a media file before anything opens it: E_FILE_NOT_FOUND,
// E_NAME_IS_FOLDER, E_NAME_IS_PIPE or E_NAME_NOT_REGULAR (a device or a socket); S_OK for a
// regular file. Links are followed.
HRESULT mediaFileNameError(const std::string& path);

struct GUID {
    uint32_t d1 = 0;
    uint16_t d2 = 0, d3 = 0;
    uint8_t d4[8] = {};
    bool operator==(const GUID&) const = default;
};
extern const GUID GUID_NULL;
extern const GUID MEDIATYPE_Video;
extern const GUID MEDIATYPE_Audio;
extern const GUID MEDIATYPE_Stream;
extern const GUID MEDIASUBTYPE_Avi;
extern const GUID PIN_CATEGORY_CAPTURE;
extern const GUID PIN_CATEGORY_PREVIEW;
// The classes a filter can stand for; IBaseFilter::GetClassID tells a filter's.
extern const GUID CLSID_VideoRenderer;
extern const GUID CLSID_DSoundRender;
extern const GUID CLSID_SampleGrabber;
extern const GUID CLSID_NullRenderer;

enum PIN_DIRECTION { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };
enum FILTER_STATE { State_Stopped = 0, State_Paused = 1, State_Running = 2 };

// Event codes.
constexpr long EC_COMPLETE = 0x01;
constexpr long EC_USERABORT = 0x02;
constexpr long EC_ERRORABORT = 0x03;
constexpr long EC_REPAINT = 0x05;
constexpr long EC_STREAM_ERROR_STILLPLAYING = 0x07;
constexpr long EC_VIDEO_SIZE_CHANGED = 0x0A;
constexpr long EC_END_OF_SEGMENT = 0x1C;
constexpr long EC_CLOCK_CHANGED = 0x0D;
constexpr long EC_PAUSED = 0x0E;
constexpr long EC_BUFFERING_DATA = 0x11;
constexpr long EC_DEVICE_LOST = 0x1F;
constexpr long EC_STEP_COMPLETE = 0x24;
constexpr long EC_GRAPH_CHANGED = 0x50;
constexpr long EC_CLOCK_UNSET = 0x51;
// DVD event codes: EC_DVDBASE (0x100) plus the event's number.
constexpr long EC_DVD_DOMAIN_CHANGE = 0x101;
constexpr long EC_DVD_TITLE_CHANGE = 0x102;
constexpr long EC_DVD_CHAPTER_START = 0x103;
constexpr long EC_DVD_CURRENT_HMSF_TIME = 0x11A;

// Seeking flags.
constexpr uint32_t AM_SEEKING_NoPositioning = 0;
constexpr uint32_t AM_SEEKING_AbsolutePositioning = 1;
constexpr uint32_t AM_SEEKING_RelativePositioning = 2;

// Every object of the layer; interfaces are found by dynamic_pointer_cast.
class IUnknown : public std::enable_shared_from_this<IUnknown> {
  public:
    virtual ~IUnknown() = default;
};
using UnknownPtr = std::shared_ptr<IUnknown>;

template <class I, class T> std::shared_ptr<I> queryInterface(const std::shared_ptr<T>& object) {
    return std::dynamic_pointer_cast<I>(object);
}

class IBaseFilter;

class IPin : public virtual IUnknown {
  public:
    virtual PIN_DIRECTION direction() const = 0;
    virtual std::string name() const = 0;
    virtual std::shared_ptr<IBaseFilter> filter() const = 0;
    // The pin this one is connected to, or null.
    virtual std::shared_ptr<IPin> connectedTo() const = 0;
    virtual HRESULT Disconnect() = 0;
    // The kinds of data the pin carries or takes, as media caps text ("video/x-raw, ...").
    virtual std::string mediaTypes() const = 0;
    // The native pad (a GstPad*), for code of this layer.
    virtual void* native() const = 0;
};
using PinPtr = std::shared_ptr<IPin>;

class IBaseFilter : public virtual IUnknown {
  public:
    virtual std::string name() const = 0;
    virtual std::vector<PinPtr> pins() = 0;
    virtual FILTER_STATE state() const = 0;
    // Stops this filter alone: it holds no data and takes none until the graph changes state
    // again. The graph's other filters keep their state.
    virtual HRESULT Stop() = 0;
    // The class the filter stands for (a video renderer, a sample grabber ...), so that a
    // filter can be found by what it is rather than by its name; GUID_NULL for a filter of no
    // known class.
    virtual HRESULT GetClassID(GUID* clsid) const = 0;
    // The native element (a GstElement*), for code of this layer.
    virtual void* native() const = 0;
};
using FilterPtr = std::shared_ptr<IBaseFilter>;

// The first unconnected pin of a direction (and of a major type: video or audio, when given).
PinPtr findUnconnectedPin(const FilterPtr& filter, PIN_DIRECTION dir,
                          const GUID* majorType = nullptr);

// On an input line of an audio capture device (one per input port of the sound source):
// enabled means "this is the line the device records from"; enabling a line makes it the
// device's active one (the others are then disabled).
class IAMAudioInputMixer : public virtual IUnknown {
  public:
    virtual HRESULT put_Enable(bool enable) = 0;
    virtual HRESULT get_Enable(bool* enabled) = 0;
};

// On the output pin of an audio or video capture device: the end of a recording at a chosen
// instant, now or ahead. Times are 100-nanosecond units from the start of the run.
class IAMStreamControl : public virtual IUnknown {
  public:
    // Ends the stream at stopTime (null: now). Sound recorded later is cut; when the stream is
    // stopped short of it, silence fills the rest. Pictures that start at the stop time or
    // later (to the nearest half picture) are dropped. A time ahead may be set before the run
    // starts (it applies to that run); null needs a running graph, else VFW_E_WRONG_STATE.
    virtual HRESULT StopAt(const int64_t* stopTime) = 0;
    // Waits until the device has delivered its sound or pictures up to the stop time: S_OK,
    // or S_FALSE after timeoutMs (a device that lags may hold it longer, or never deliver it).
    virtual HRESULT WaitForStop(long timeoutMs) = 0;
    // The stop time (-1 while none is set) and how much the device delivered in the run up to
    // it (sound: silence filled in not counted; pictures: up to the end of the last one kept).
    virtual HRESULT GetInfo(int64_t* stopTime, int64_t* delivered) = 0;
};

// The sound a recording writes, as it is written: a copy goes to a tap as well (the live
// compression of a screen recording). Called on the graph's streaming thread; it must not
// block: take the bytes and return.
struct SoundPiece {
    uint64_t at = 0; // sample frames from the start of the run
    const uint8_t* data = nullptr;
    size_t bytes = 0; // whole sample frames
    int rate = 0, channels = 0;
    bool s16 = false;     // interleaved signed 16-bit little-endian (else another format)
    bool silence = false; // filled in for sound the device did not deliver
};
class SoundTap {
  public:
    virtual ~SoundTap() = default;
    virtual void sound(const SoundPiece& piece) = 0;
};

// On the output pin of an audio capture device, beside IAMStreamControl: the tap that gets a
// copy of the recording's sound, and the running time of the recording now.
class IAMSoundTap : public virtual IUnknown {
  public:
    // Null stops the tapping.
    virtual HRESULT SetTap(std::shared_ptr<SoundTap> tap) = 0;
    // 100-nanosecond units from the start of the run; VFW_E_WRONG_STATE unless it runs.
    virtual HRESULT GetRunningTime(int64_t* now) = 0;
};

class IFileSourceFilter : public virtual IUnknown {
  public:
    virtual HRESULT Load(const std::string& fileName) = 0;
    virtual std::string curFile() const = 0;
};

class IFileSinkFilter : public virtual IUnknown {
  public:
    // Names the file; it is created or emptied only when the graph's data reach the writer.
    // E_ACCESSDENIED when it could not be written (a symbolic link is refused).
    virtual HRESULT SetFileName(const std::string& fileName) = 0;
    virtual std::string curFile() const = 0;
    // Whether this writer has created or emptied its file (since SetFileName).
    virtual bool fileWritten() const = 0;
};

class IFilterGraph2 : public virtual IUnknown {
  public:
    virtual HRESULT AddFilter(const FilterPtr& filter, const std::string& name) = 0;
    virtual HRESULT RemoveFilter(const FilterPtr& filter) = 0;
    virtual std::vector<FilterPtr> EnumFilters() = 0;
    virtual FilterPtr FindFilterByName(const std::string& name) = 0;
    virtual HRESULT ConnectDirect(const PinPtr& out, const PinPtr& in) = 0;
    // Connects, putting decoders and converters in between where the formats need them.
    virtual HRESULT Connect(const PinPtr& out, const PinPtr& in) = 0;
    // Completes a graph from an output pin to the renderers.
    virtual HRESULT Render(const PinPtr& out) = 0;
    // Builds a playback graph for a file (source, decoders, audio and video renderer).
    virtual HRESULT RenderFile(const std::string& fileName) = 0;
    virtual HRESULT AddSourceFilter(const std::string& fileName, const std::string& filterName,
                                    FilterPtr* filter) = 0;
};
using IGraphBuilder = IFilterGraph2;

class IMediaControl : public virtual IUnknown {
  public:
    virtual HRESULT Run() = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Stop() = 0;
    // VFW_S_STATE_INTERMEDIATE while a change is still under way; *state is the target.
    virtual HRESULT GetState(long timeoutMs, FILTER_STATE* state) = 0;
};

class IMediaSeeking : public virtual IUnknown {
  public:
    // Times in 100-nanosecond units.
    virtual HRESULT GetCurrentPosition(int64_t* position) = 0;
    virtual HRESULT GetDuration(int64_t* duration) = 0;
    virtual HRESULT GetStopPosition(int64_t* stop) = 0;
    virtual HRESULT SetPositions(int64_t* current, uint32_t currentFlags, int64_t* stop,
                                 uint32_t stopFlags) = 0;
    virtual HRESULT SetRate(double rate) = 0;
    virtual HRESULT GetRate(double* rate) = 0;
};

class IBasicAudio : public virtual IUnknown {
  public:
    // Hundredths of a decibel: 0 full volume, -10000 silence; balance -10000 (left) .. 10000.
    virtual HRESULT put_Volume(long volume) = 0;
    virtual HRESULT get_Volume(long* volume) = 0;
    virtual HRESULT put_Balance(long balance) = 0;
    virtual HRESULT get_Balance(long* balance) = 0;
};

class IBasicVideo : public virtual IUnknown {
  public:
    // The size of the pictures the video renderer takes; VFW_E_NOT_CONNECTED before the
    // first picture's format is known.
    virtual HRESULT GetVideoSize(long* width, long* height) = 0;
    // The part of the picture that is shown (scaled to the window), in the video's pixels.
    // The default is the whole picture, and a new picture size brings the default back.
    // E_INVALIDARG for a rectangle smaller than 1 x 1 or not inside the picture;
    // VFW_E_NOT_CONNECTED before the picture's size is known. A paused picture is drawn
    // again with the new rectangle.
    virtual HRESULT SetSourcePosition(long left, long top, long width, long height) = 0;
    virtual HRESULT GetSourcePosition(long* left, long* top, long* width, long* height) = 0;
    virtual HRESULT SetDefaultSourcePosition() = 0;
};

// The window a video renderer draws into. The renderer opens no window of its own once an
// owner is given: the picture goes into that X window, scaled to the size last set.
class IVideoWindow : public virtual IUnknown {
  public:
    // The X window id the picture is drawn into (0: none given yet). Given before the graph
    // pauses, the renderer never opens a window of its own; given later, the drawing moves.
    virtual HRESULT put_Owner(uintptr_t window) = 0;
    virtual HRESULT get_Owner(uintptr_t* window) = 0;
    // Where the picture lies in the owner's parent and its size; the picture is scaled to
    // width x height (both at least 1, else E_INVALIDARG), its aspect not kept.
    virtual HRESULT SetWindowPosition(long left, long top, long width, long height) = 0;
    virtual HRESULT GetWindowPosition(long* left, long* top, long* width, long* height) = 0;
    // Maps or unmaps the owner window (remembered until one is given).
    virtual HRESULT put_Visible(bool visible) = 0;
    virtual HRESULT get_Visible(bool* visible) = 0;
    // Draws the last picture again (after the owner window was uncovered).
    virtual HRESULT Repaint() = 0;
    // The name of the element that draws ("ximagesink", "xvimagesink", "fakesink").
    virtual std::string sinkName() const = 0;
};

// The video renderer's count of pictures.
class IQualProp : public virtual IUnknown {
  public:
    // Pictures drawn since the renderer was made.
    virtual HRESULT get_FramesDrawn(int* frames) = 0;
    // Pictures the renderer dropped because they came too late.
    virtual HRESULT get_FramesDroppedInRenderer(int* frames) = 0;
};

// A new video renderer (class CLSID_VideoRenderer) offering IVideoWindow, IBasicVideo and
// IQualProp, pin "Input".
std::shared_ptr<IBaseFilter> createVideoRenderer();

class IVideoFrameStep : public virtual IUnknown {
  public:
    virtual HRESULT Step(uint32_t frames) = 0;
    virtual HRESULT CanStep() = 0;
};

// How a graph starts after RenderFile. RenderFile plays the graph up to its first pictures to
// learn whether the file plays, then stops it; a graph asked to keep them stays prerolled
// (still reported stopped), so a Run that follows starts from those pictures instead of
// reading and decoding the file's start again. Any change to the graph's filters, and Stop,
// stop it for real first.
class IGraphStartup : public virtual IUnknown {
  public:
    virtual HRESULT KeepPrerolled(bool keep) = 0;
};

class IMediaEventEx : public virtual IUnknown {
  public:
    virtual HRESULT GetEvent(long* code, intptr_t* param1, intptr_t* param2, long timeoutMs) = 0;
    virtual HRESULT FreeEventParams(long code, intptr_t param1, intptr_t param2) = 0;
    // Waits for the end of playback (EC_COMPLETE, EC_ERRORABORT or EC_USERABORT).
    // E_ABORT on time-out.
    virtual HRESULT WaitForCompletion(long timeoutMs, long* code) = 0;
    // notify runs (on a streaming thread) whenever an event is queued while notifications are
    // on. flags 0: on; 1: off.
    virtual HRESULT SetNotifyWindow(std::function<void()> notify) = 0;
    virtual HRESULT SetNotifyFlags(long flags) = 0;
};

class ICaptureGraphBuilder2 : public virtual IUnknown {
  public:
    virtual HRESULT SetFiltergraph(const std::shared_ptr<IGraphBuilder>& graph) = 0;
    virtual HRESULT GetFiltergraph(std::shared_ptr<IGraphBuilder>* graph) = 0;
    // Subtype MEDIASUBTYPE_Avi: puts an AVI multiplexer and a file writer for fileName into the
    // graph and gives both back.
    virtual HRESULT SetOutputFileName(const GUID& subtype, const std::string& fileName,
                                      FilterPtr* mux, FilterPtr* sink) = 0;
    // Links an output of source (a filter, or a pin) of the category and major type given (null:
    // any) through intermediate (may be null) to sink (null: the renderers), putting demuxers,
    // decoders and converters in between where needed. A file read as it is, with neither a
    // major type nor an intermediate, into a multiplexer: one stream is copied without
    // decoding (the file's video, or its sound when it has none; AVI, WAV, MP3), its input
    // taken now; VFW_E_UNSUPPORTED_STREAM for a file of another kind.
    virtual HRESULT RenderStream(const GUID* category, const GUID* majorType,
                                 const UnknownPtr& source, const FilterPtr& intermediate,
                                 const FilterPtr& sink) = 0;
};

// Loads the media framework and this layer's own elements (once per process; later calls
// return at once). Done when a window's graph component is made, so that opening the first
// file does not wait for it.
void initializeMediaServices();

// Creating the graph objects.
std::shared_ptr<IFilterGraph2> createFilterGraph();
std::shared_ptr<ICaptureGraphBuilder2> createCaptureGraphBuilder();
// A filter around a new element of a GStreamer factory ("identity", "lamemp3enc" ...); null if
// the factory is missing.
FilterPtr createElementFilter(const std::string& factory, const std::string& name = {});
// The file source filters: the asynchronous one (bytes, decoded downstream) and the AVI/WAV one
// (demuxed streams).
FilterPtr createAsyncFileSource();
FilterPtr createAviWavFileSource();

} // namespace platform::dshow
