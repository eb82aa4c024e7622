// Mends what a demultiplexer says of a stream when the elements after it cannot take it as
// said: the AVI reader gives raw RGB pictures (BI_RGB, 24 and 32 bit, top-down or bottom-up)
// a pixel aspect ratio of -1/1, which every converter refuses ("not-negotiated"), so such files
// neither played nor converted. Such a stream is said to have square pixels. The readers of
// MPEG program and transport streams are given exact seeks from earlier than asked, and ends
// past their length as no end (StreamRepairs.cpp says why).
//
// Any thread (elements are added on streaming threads). Internal to the graph layer.
#pragma once

#include <gst/gst.h>

namespace platform::dshow {

// Watches every element that comes into `bin`, at any depth, for the life of the bin.
void repairStreamsOf(GstBin* bin);

// The caps a stream with `caps` has once mended, or null when it needs no mending.
GstCaps* mendedCaps(GstCaps* caps);

} // namespace platform::dshow
