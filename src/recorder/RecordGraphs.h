// The two media graphs of a screen recording with voice: the voice graph, which records the
// first audio input device into "AudioTemp.avi" while the engine writes the screen into
// "VideoTemp.avi", and the merge graph, which joins the two temporary files into the file the
// user names, re-encoding the video with the XviD codec and the voice with the MP3 encoder.
// The Record Screen window and the command-line tool both drive them. User-interface thread
// only (graph events arrive through the Qt event loop).
#pragma once

#include "TempFiles.h"
#include "media/GraphFileWriter.h"
#include "media/TBaseFilter.h"
#include "media/TFilterGraph.h"

#include <functional>
#include <string>
#include <vector>

namespace recorder {

// Whether a voice recording can be joined in: the file exists and holds sound. A recording
// stopped before the sound device delivered anything holds none, and is left out of the merge
// rather than failing it.
bool voiceFileUsable(const std::string& path);

// The input lines of the audio device: their names in pin order and the line chosen (the last
// one the device reports enabled; -1 when none is).
struct InputLines {
    std::vector<std::string> names;
    std::vector<media::PinPtr> pins;
    int selected = -1;
};

// The input lines of a bound sound device. Without applyFormat the formats of its output pins
// are read into the shared audio formats; with it every output pin gets the first of them.
InputLines readInputLines(const media::FilterPtr& device, bool applyFormat);
// Enables chosenLine (a line's name, as the user picked it) if the device has it, else the
// line the device has enabled; lines->selected then names the line recorded from.
void enableInputLine(InputLines* lines, const std::string& chosenLine);

// What a stopped voice recording holds: the sound the device delivered and the recording's
// wall-clock length (from the start of the voice recording to the stop), in seconds, and the
// device's friendly name. The file lasts the wall-clock length: sound that came after the
// stop is cut, sound that never came is silence at the end.
struct VoiceResult {
    bool recorded = false; // false when nothing was recording
    double delivered = 0;
    double wallClock = 0;
    std::string device;
    // The device delivered nothing between the stop and the end of the wait for it, and was
    // short of the stop instant: it stopped delivering (suspended, unplugged) at `delivered`.
    bool stalled = false;
    // The device delivered less than 90% of the time.
    bool shortOfSound() const { return recorded && delivered < 0.9 * wallClock; }
};

class VoiceGraph {
  public:
    VoiceGraph();
    media::TFilterGraph FilterGraph;
    media::TFilter AudioFilter{"AudioFilter"};

    // Puts the first audio input device into the graph and reads the formats of its output
    // pins into the shared audio formats. False (and no lines) when there is no audio input
    // device or it cannot be opened (why says which).
    bool bindDevice(InputLines* lines, std::string* why = nullptr);
    // Before recording: gives every output pin the first shared audio format, lists the input
    // lines again and enables chosenLine (a line's name, as the user picked it) if the device
    // still has it, else the line the device has enabled. False when there is no audio input
    // device, or (why then says so) when the device listed cannot be opened now.
    bool prepare(InputLines* lines, const std::string& chosenLine = {}, std::string* why = nullptr);
    // Makes the graph write the device's sound into an AVI file (the file is replaced).
    media::HRESULT record(const std::string& fileName);
    // Ends the recording at this instant. A device that hands over its sound late is given a
    // few seconds to deliver it (whileWaiting runs every 50 ms meanwhile, so a window can keep
    // painting); the file is then ended at the stop instant, silence filling what the device
    // never delivered, and is complete on return. Never waits on the device itself: one that
    // delivers nothing at all ends the file as well. A device short of sound, or one that
    // stopped delivering, is warned about on standard error, naming it.
    VoiceResult stop(const std::function<void()>& whileWaiting = {});
    bool deviceBound() { return AudioFilter.GetFilter() != nullptr; }
    // The tap and the running time of the device's output pin; null without a device.
    std::shared_ptr<media::IAMSoundTap> soundTap();
    // The format the device records in after prepare() (the first of the shared audio
    // formats): false when it is not known or not PCM.
    bool pcmFormat(int* rate, int* channels, int* bits);

  private:
    std::string deviceName_;
};

class MergeGraph {
  public:
    MergeGraph();
    ~MergeGraph();
    media::TFilterGraph FilterGraph2;
    media::TFilter Filter1{"Filter1"};
    media::TFilter Filter2{"Filter2"};
    media::TFilter XvidEncoder{"XvidEncoder"};
    media::TFilter MP3Enc{"MP3Enc"};

    // Builds the merge of videoFile (and audioFile when not empty) into target and runs it.
    // On failure the graph is cleared, nothing runs and why tells the reason. The target is
    // created or emptied only when the merged data reach it.
    bool start(const std::string& videoFile, const std::string& audioFile,
               const std::string& target, std::string* why);
    // Whether the last start() has created or emptied its target. A merge that failed before
    // leaves the target as it was; only a target this merge wrote is a broken file to remove.
    bool targetWritten() const;
    bool running() { return writer_.running(); }
    // 0..1 of the video written so far (0 when unknown).
    double progress();
    // Stops the graph and clears it.
    void clear();

    // Run on the user-interface thread when the merge ends: completed, or failed with a reason.
    std::function<void()> onComplete;
    std::function<void(const std::string& why)> onFailed;

  private:
    void graphEvent(long event, intptr_t param1);
    media::TGraphFileWriter writer_{FilterGraph2};
};

} // namespace recorder
