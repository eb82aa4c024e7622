// What the render engine takes from a timeline: the timeline built as a GESTimeline, with its
// groups' track pads in group order. Internal to the timeline services (Timeline.cpp builds,
// RenderEngine.cpp puts the result into a graph). User-interface thread only.
#pragma once

#include "platform/dshow/base/GstRef.h"
#include "platform/dshow/timeline/Timeline.h"

#include <ges/ges.h>

#include <memory>
#include <vector>

namespace platform::dshow {

// GStreamer and the editing services, set up once; thread-safe.
void ensureGes();

struct BuiltTimeline {
    GstRef<GESTimeline> timeline; // committed, not yet in any bin
    std::vector<PadRef> pads;     // pad i gives group i's stream
    std::vector<bool> sound;      // group i is a sound group
    GstClockTime duration = 0;    // the end of the last source, in nanoseconds
    // Where the streams really end: earlier when a source file ends before its stretch does.
    GstClockTime end = 0;
};

// Builds a GESTimeline from a timeline made by createTimeline(): VFW_E_INVALIDMEDIATYPE for a
// group without media type, E_INVALIDARG for a timeline without groups or sources or of
// another kind, E_FILE_NOT_FOUND for a source file that cannot be read.
HRESULT buildTimeline(const std::shared_ptr<IAMTimeline>& timeline, BuiltTimeline* built);

} // namespace platform::dshow
