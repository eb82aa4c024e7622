// The temporary files of a screen recording, "VideoTemp.avi" and "AudioTemp.avi". They live
// in a folder of the user's own inside the temporary-files folder, never directly in a folder
// that other users can write: there someone else could put a symbolic link or a file of
// theirs in place of ours. Any thread may call these functions.
#pragma once

#include <string>

namespace recorder {

// The user's folder for temporary recordings: "tovamix-<uid>" in $TMPDIR (or /tmp), created
// with mode 0700 when missing. Throws std::runtime_error, naming the folder, when it cannot be
// made or when what is there is not a folder of this user's that only this user can write.
std::string temporaryFolder();
std::string videoTempPath(); // "VideoTemp.avi" in temporaryFolder()
std::string audioTempPath(); // "AudioTemp.avi" in temporaryFolder()

} // namespace recorder
