// The temporary files of a screen recording, "VideoTemp.avi" and "AudioTemp.avi". They live
// in a folder of the user's own inside the temporary-files folder, never directly in a folder
// that other users can write: there someone else could put a symbolic link or a file of
// theirs in place of ours. Any thread may call these functions.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace recorder {

// The user's folder for temporary recordings: "tovamix-<uid>" in $TMPDIR (or /tmp), created
// with mode 0700 when missing. Throws std::runtime_error, naming the folder, when it cannot be
// made or when what is there is not a folder of this user's that only this user can write.
std::string temporaryFolder();
std::string videoTempPath(); // "VideoTemp.avi" in temporaryFolder()
std::string audioTempPath(); // "AudioTemp.avi" in temporaryFolder()

// One recording at a time in the folder: held from the start of a recording to the end of
// its save, so a second recording (another window, another tovamix-cli) cannot write the same
// temporary files. An advisory lock (flock) on "recording.lock" in the folder, with the
// holder's process id written in it; the lock goes with the process, also when it is killed.
class RecordingLock {
  public:
    // The lock, or null with why = "another recording is running (process N)" (or the folder's
    // own refusal).
    static std::unique_ptr<RecordingLock> acquire(std::string* why);
    ~RecordingLock();
    RecordingLock(const RecordingLock&) = delete;
    RecordingLock& operator=(const RecordingLock&) = delete;

  private:
    explicit RecordingLock(int fd) : fd_(fd) {}
    int fd_;
};

// What a recording says of itself, in "Recording.txt" beside its temporary files, so a later
// recovery joins only files of one recording and can say what it found.
struct RecordingManifest {
    long long startedMs = 0; // wall clock, milliseconds since 1970
    bool voice = false;      // a voice file was started beside the video
    int intervalMs = 0;      // the frame interval
    pid_t pid = 0;           // the recording process
    bool finished = false;   // the recording was stopped and its files finished
    bool saved = false;      // and compressed into the file the user named
    bool declined = false;   // the user did not want it saved when offered at start-up
};
void writeManifest(const RecordingManifest& m);  // replaces the folder's manifest
std::optional<RecordingManifest> readManifest(); // none when missing or unreadable

} // namespace recorder
