// Finding the installed encoders by friendly name, as the windows that write a new file from
// existing media do (player cut, link, convert): the first video or audio compressor whose
// name answers a rule, bound to a filter. A search that finds nothing raises ECodecNotFound,
// so the caller stops before it writes anything. User-interface thread.
#pragma once

#include "TBaseFilter.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace media {

// What a search looks for: the category it enumerates and the friendly names it takes.
struct TEncoderRule {
    const GUID* category;
    bool (*matches)(const std::string& friendlyName);
    // What was looked for, for the error text ("No <description> is installed.").
    const char* description;
};

// The first video compressor whose upper-cased name begins with "XVID" (player cut, convert).
extern const TEncoderRule XvidByPrefix;
// The first video compressor named exactly "Xvid MPEG-4 Codec" (link).
extern const TEncoderRule XvidByName;
// The first audio compressor whose lower-cased name contains "mpeg layer-3" or "lame mp3".
extern const TEncoderRule Mp3ByName;

// No installed encoder answers a rule (or the one found cannot be opened).
class ECodecNotFound : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The index of the first name the rule takes; raises ECodecNotFound when none does.
int FindEncoderIndex(const std::vector<std::string>& friendlyNames, const TEncoderRule& rule);

// The first compressor of the rule's category that the rule takes, bound to a new filter.
// Raises ECodecNotFound when none is installed or it cannot be opened.
FilterPtr FindEncoder(const TEncoderRule& rule);

} // namespace media
