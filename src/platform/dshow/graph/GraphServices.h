// The graph layer's start and its file filters, for the parts above the graph core (devices,
// the timeline, the DVD graph). User-interface thread, or any thread before the first graph.
#pragma once

#include "platform/dshow/base/DShow.h"

namespace platform::dshow {

// Initialises GStreamer and registers our elements (once per process; later calls return at
// once).
void ensureGstreamer();
// Learns which video and audio sinks work here (once per process).
void learnWorkingSinks();
// The file writer behind an AVI multiplexer ("tovamixavimux"), offering IFileSinkFilter: the
// multiplexer writes the named file itself, so that the file is opened only when data arrive
// and never through a symbolic link; the writer's element ends the stream (a fakesink).
FilterPtr createFileWriter(const FilterPtr& mux);

} // namespace platform::dshow
