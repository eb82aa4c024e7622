// Saving a recording that was never saved: the temporary files a killed, crashed or logged-out
// program left ("VideoTemp.avi", "AudioTemp.avi") have no index and no lengths in their
// headers; their whole samples are copied into finished files beside them, which are then
// compressed as at the end of a recording. The voice file is joined only when it belongs to
// the same recording (the manifest says so). Used by `tovamix-cli recover` and by the program's
// offer at start-up. Any thread, one recovery at a time (the folder's lock is the caller's).
#pragma once

#include "TempFiles.h"
#include "platform/vfw/AviRecovery.h"

#include <optional>
#include <string>

namespace recorder {

// What the manifest says of the last recording, in words: "started at 2026-12-09 12:34:56 by
// process 42, with voice, stopped".
std::string describeRecording(const RecordingManifest& m);

// Why the voice file cannot be of the recording the video file holds, or "" when it can be.
std::string voiceOfAnotherRecording(const std::optional<RecordingManifest>& manifest,
                                    const std::string& videoTemp, const std::string& audioTemp,
                                    double videoSeconds);

struct PreparedRecovery {
    std::string videoCopy, audioCopy; // finished copies in the folder of temporary recordings
    bool voice = false;               // audioCopy holds the voice to join
    platform::vfw::RecoveredAvi video;
    std::string notes; // what was found and done, one line each, for the user
    // Removes the copies.
    void removeCopies() const;
};

// Copies the temporary files' whole samples into finished copies (the voice only when asked
// for and of the same recording). False with why when there is no recording with pictures to
// recover.
bool prepareRecovery(bool wantVoice, PreparedRecovery* out, std::string* why);

// A recording the folder holds that was never saved (nor declined at an earlier start-up):
// its manifest. None when there is none, or a recording is running now.
std::optional<RecordingManifest> unsavedRecording();

} // namespace recorder
