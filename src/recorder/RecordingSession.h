// One screen recording from its start to its saved file, as the Record Screen window, the
// command line's record-screen and its recover drive it: the folder of temporary recordings
// and its lock, the recording's manifest, the engine writing "VideoTemp.avi", the voice graph
// writing "AudioTemp.avi", the live compression into XviD and MP3 beside them, the stop, and
// the finish (the live file moved to its name; the merge of the temporary files is the
// caller's fall-back when that is not possible). No widgets: the callers keep their dialogs.
//
//   Idle -> start() -> Recording -> stop() -> Stopped -> finishLive() / the merge -> saved()
//
// User-interface thread, except the engine's frame callback it installs (engine worker) and
// the voice tap (the voice graph's streaming thread), which only queue.
#pragma once

#include "LiveCompression.h"
#include "RecordGraphs.h"
#include "TScreenCam.h"
#include "TempFiles.h"

#include <functional>
#include <memory>
#include <string>

namespace recorder {

class RecordingSession {
  public:
    enum class State { Idle, Recording, Stopped };

    // Drives `engine` and `voice`, which outlive the session.
    RecordingSession(TScreenCam& engine, VoiceGraph& voice);
    ~RecordingSession();
    RecordingSession(const RecordingSession&) = delete;
    RecordingSession& operator=(const RecordingSession&) = delete;

    State state() const { return state_; }

    // Takes the folder of temporary recordings for this recording: false, with why = "another
    // recording is running (process N)" (or the folder's refusal), when it cannot be had.
    // start() takes it too when this was not called first.
    bool lock(std::string* why);

    struct Options {
        CaptureAreaSource* area = nullptr; // read while the engine's area flag is set
        bool voice = false;                // record the voice (the voice graph is prepared)
        bool joinVoice = true;             // and join it into the file (a line is chosen)
        bool live = true;                  // compress while recording
        // Runs while the voice waits for the engine's first frame (keep the event loop going:
        // the engine's worker may ask this thread to show a message); none: a short sleep.
        std::function<void()> whileWaiting;
    };
    // Removes the last recording's temporary files, starts the engine into "VideoTemp.avi",
    // the voice into "AudioTemp.avi" as the engine's frame loop begins (when asked and
    // possible) and the live compression, and writes the manifest. The engine must be idle. False
    // with why when the engine does not start (nothing then runs).
    bool start(const Options& options, std::string* why);
    bool voiceRecorded() const { return voiceRecorded_; }

    // Stops the engine (it ends its last pass on its own) and the voice at this instant,
    // whileWaiting running while a late voice is waited for. The manifest says "stopped".
    VoiceResult stop(const std::function<void()>& whileWaiting = {});

    // Once the engine's worker has ended: waits for the live compression to finish its tail
    // (whileWaiting running meanwhile) and moves its file to target. False with why when there
    // is no live file or it could not be finished or moved: the caller merges the temporary
    // files instead. The temporary files are kept either way.
    // joinVoice false (no voice line chosen any more) leaves a recorded voice out, which the
    // live file cannot: the merge then does it.
    bool finishLive(const std::string& target, bool joinVoice,
                    const std::function<void()>& whileWaiting, std::string* why);
    // Whether a live file is being made (false once it was given up).
    bool live() const;

    // The recording was saved (by the live file or the merge): the manifest says so.
    void saved();
    // The session ends: the lock goes, an unfinished live file is removed.
    void end();

    const std::string& videoFile() const { return videoFile_; }
    const std::string& audioFile() const { return audioFile_; }
    // The live compression of the current recording; null when there is none.
    LiveCompression* liveCompression() { return live_.get(); }

  private:
    TScreenCam& engine_;
    VoiceGraph& voice_;
    State state_ = State::Idle;
    std::unique_ptr<RecordingLock> lock_;
    RecordingManifest manifest_;
    std::string videoFile_, audioFile_;
    bool voiceRecorded_ = false;
    // Shared with the engine's frame callback, which may run a last pass after stop().
    std::shared_ptr<LiveCompression> live_;
};

} // namespace recorder
