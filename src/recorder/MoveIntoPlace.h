// Putting a finished recording at the name the user chose, never leaving half a file there.
#pragma once

#include <string>

namespace recorder {

// Moves a finished file to the name the user chose: renamed within one file system; across
// file systems copied beside the target under a hidden name and renamed over it once whole, so
// the target never holds half a file. A target that is not a regular file is refused. False
// with the reason; `from` is then left where it was.
bool moveIntoPlace(const std::string& from, const std::string& target, std::string* why);

} // namespace recorder
