// Layer-internal helpers of the graph over GStreamer that the media components use.
#pragma once

#include "platform/dshow/base/DShow.h"

#include <string>

namespace platform::dshow {

// A DOT drawing of the graph's current elements and links (for outside graph viewers).
std::string graphDrawing(const std::shared_ptr<IFilterGraph2>& graph);

} // namespace platform::dshow
