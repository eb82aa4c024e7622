// libavutil's text for one of its error codes, and the setting of an optional error text, for
// the messages of this folder.
#pragma once

extern "C" {
#include <libavutil/error.h>
}

#include <string>
#include <utility>

namespace platform::vfw {

inline std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// Writes text into *error when the caller asked for the reason.
inline void setError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

} // namespace platform::vfw
