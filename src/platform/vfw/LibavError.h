// libavutil's text for one of its error codes, for the messages of this folder.
#pragma once

extern "C" {
#include <libavutil/error.h>
}

#include <string>

namespace platform::vfw {

inline std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

} // namespace platform::vfw
