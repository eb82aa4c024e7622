// The checks the editing jobs make on their files before any graph is built. Internal to the
// tools library. User-interface thread.
#pragma once

#include "EditJobs.h"

#include <string>
#include <vector>

namespace tools {

// What a media file holds, as the stream detector sees it.
struct FileFacts {
    bool exists = false;
    bool hasVideo = false, hasAudio = false;
    // The picture is of a kind the AVI writer carries as it is (MPEG-4 part 2, Motion JPEG,
    // H.264 byte stream, MS Video 1).
    bool videoCarried = false;
    // The sound is of a kind the AVI writer carries (MP3, PCM, which it converts to fit).
    bool soundCarried = false;
    long width = 0, height = 0; // the first picture stream's size, 0 when unknown
    bool cutShort = false;      // an AVI whose data end before its RIFF header says
};
FileFacts examine(const std::string& file);

// The first of these refusals that applies, or an empty text: an output that names an input
// or another output, an output that cannot be written.
std::string refuseOutputs(const std::vector<std::string>& inputs,
                          const std::vector<std::string>& outputs);

// Whether the file begins as an AVI file (a RIFF of form "AVI ").
bool isAviFile(const std::string& file);
// Whether an AVI file's index (idx1) names data beyond the file's end: readers that trust the
// index find no pictures there.
bool aviIndexOutsideFile(const std::string& file);

// The text of a name that is there but is no file to read (a folder, a pipe, a device), or an
// empty text.
std::string refuseUnreadable(const std::string& file);

// The text of a missing or unreadable input, or an empty text.
std::string refuseMissing(const std::string& file, const FileFacts& facts);

} // namespace tools
