// The graphs of the capture windows, without widgets: the video capture graph (a camera, with
// the voice of a sound device beside it, compressed with XviD and MP3 into an AVI file, and an
// optional preview branch) and the audio capture graph (a sound device's input line through
// the MP3 encoder into an AVI file). The windows and the command-line tool share them.
// User-interface thread only (graph events arrive through the Qt event loop).
#pragma once

#include "media/TBaseFilter.h"
#include "media/TFilterGraph.h"
#include "media/TMediaType.h"
#include "recorder/RecordGraphs.h"

#include <functional>
#include <string>
#include <vector>

namespace capture {

// A device of a category picked by its index (as the device menus and `tovamix-cli devices`
// number them) or by its friendly name; -1 when there is none such. names: every device's
// friendly name, in index order, for telling the user the valid ones.
int findDevice(const media::GUID& category, const std::string& indexOrName,
               std::vector<std::string>* names = nullptr);

// The running time of a recording as the capture windows show it: hours, minutes, seconds and
// milliseconds of the day, without zero padding ("0:1:5:250" at 65.25 s).
std::string recordingTimeText(double seconds);

// The picture size a video format's block gives, read as a video-info header (height as a
// positive number); false when the block is too short for one.
bool videoFormatSize(const platform::dshow::AM_MEDIA_TYPE& mt, int* width, int* height);

// A reason as a sentence for a message box: capital first letter, one full stop at the end.
std::string sentence(std::string why);

// What a recording left behind once stopped.
struct CaptureResult {
    bool fileKept = false;   // false: nothing was written, and the empty file is gone
    int64_t pictures = 0;    // video frames that carry a picture
    int64_t emptyFrames = 0; // video frame slots left empty (the picture before repeats)
    double videoSeconds = 0, voiceSeconds = 0;
    double recordingSeconds = 0; // the running time of the graph at the stop
    std::string error;           // an error that ended the recording while it ran, or empty
};

// The parts both graphs share: the graph, the sound device and its MP3 encoder, the file.
class CaptureGraphBase {
  public:
    CaptureGraphBase();
    virtual ~CaptureGraphBase();
    CaptureGraphBase(const CaptureGraphBase&) = delete;
    CaptureGraphBase& operator=(const CaptureGraphBase&) = delete;

    media::TFilterGraph FilterGraph;
    media::TFilter AudioFilter{"AudioFilter"};
    media::TFilter MP3Enc{"MP3Enc"};

    // Binds audio input device i and lists its input lines (the shared audio formats are read
    // from its output pins). False, with why naming the device, when it cannot be opened.
    bool bindAudioDevice(int index, recorder::InputLines* lines, std::string* why);
    const std::string& audioDeviceName() const { return audioName_; }

    bool recording() const { return recording_; }
    // The running time of the recording, in seconds.
    double position();
    // Ends the recording: the streams end, the file gets its index and is closed. A file
    // that received nothing is removed. Safe to call when not recording.
    CaptureResult stop();

    // Run on the user-interface thread when an error ends a recording while it runs; the
    // recording is already stopped and its file finished (result.error tells the error).
    std::function<void(const CaptureResult& result)> onFailed;

  protected:
    // Sets the voice up for recording: the first shared audio format on the output pins, and
    // the line chosen by name (else the device's own). False with why when not bound.
    bool prepareVoice(const std::string& line, recorder::InputLines* lines, std::string* why);
    // SetOutputFileName; false with why.
    bool openFile(const std::string& file, media::FilterPtr* mux, std::string* why);
    bool connectVoice(const media::FilterPtr& mux, std::string* why);
    bool start(std::string* why);
    void forget(std::string* why, const std::string& text);

  private:
    void graphEvent(long event, intptr_t param1);

    std::string audioName_;
    std::string file_;
    media::FilterPtr writer_;
    bool recording_ = false;
    std::string error_;
};

class VideoCaptureGraph : public CaptureGraphBase {
  public:
    VideoCaptureGraph();
    ~VideoCaptureGraph() override;

    media::TFilter VideoFilter{"VideoFilter"};
    media::TFilter XvidEncoder{"XvidEncoder"};

    // Binds video input device i, reads its formats into the shared video formats and its
    // current one into the shared current format. False with why naming the device.
    bool bindVideoDevice(int index, std::string* why);
    // Binds video input device i and leaves the graph active with it (and every component
    // attached to the graph) in it. False with why naming the device, the graph inactive.
    bool openVideoDevice(int index, std::string* why);
    // With the device open: its first pin's formats into the shared video formats and its
    // current format into the shared current one. E_NOINTERFACE when the pin has no format
    // settings (why then names the device).
    platform::dshow::HRESULT readFormats(std::string* why);
    // With the device open: gives its first pin the shared current format, so that a fresh
    // binding of the same device starts from the format chosen before. False when there is
    // none or the pin refuses it (the pin then keeps its own).
    bool applyCurrentFormat();
    // The device's first pin while the graph is active, else null.
    media::PinPtr videoPin();
    // With the device open: the preview branch from the device through intermediate (may be
    // null) to sink, both attached to the graph, then the graph runs. False with why, the
    // graph inactive, when the branch does not connect or the device does not start.
    bool preview(media::IGraphFilterProvider* intermediate, media::IGraphFilterProvider* sink,
                 std::string* why);
    const std::string& videoDeviceName() const { return videoName_; }
    // The formats the device offers ("YUY2  640 x 480  30 fps"), in its order.
    std::vector<std::string> formats() const;
    // Makes format i (of formats()) the one recorded; false outside the list.
    bool setFormat(int index);

    // Records into file (the whole name): the camera through XviD, and with voice the bound
    // sound device (bindAudioDevice first) through MP3. previewSink (and previewIntermediate,
    // both may be null; components attached to the graph) get the preview branch. False with
    // why, nothing left running, when a step fails; a branch that does not connect is named.
    bool record(const std::string& file, bool voice, const std::string& line,
                media::IGraphFilterProvider* previewIntermediate,
                media::IGraphFilterProvider* previewSink, std::string* why);

  private:
    bool cameraOpen(std::string* why);
    std::string videoName_;
};

class AudioCaptureGraph : public CaptureGraphBase {
  public:
    // Records the bound sound device (bindAudioDevice first) from line (a name; empty: the
    // device's own) through MP3 into file. lines gets the lines, the one recorded selected.
    bool record(const std::string& file, const std::string& line, recorder::InputLines* lines,
                std::string* why);
};

} // namespace capture
