// The AVI multiplexer of the media graphs: a GStreamer element, "tovamixavimux", that writes
// its inputs through the AVI muxer core of platform/vfw/AviMuxer.h, the one the AVI file
// service uses (OpenDML indexes, so files past 1 GB stay valid).
//
// Request sink pads "video_%u" take MPEG-4 video (video/x-xvid, or video/mpeg with
// mpegversion=4; written with FourCC XVID) and 16-bit MS Video 1 (video/x-msvideocodec,
// msvideoversion=1; FourCC MSVC). Request sink pads "audio_%u" take MPEG-1/2 layer 3
// (format tag 0x55) and interleaved S16LE or U8 PCM, mono or stereo, up to 48000 Hz (format
// tag 1). The always src pad gives video/x-msvideo. When downstream can seek in bytes (a
// filesink), the element sends new byte segments to rewrite the header and write the index
// at the end; otherwise it writes the streamable form without index.
//
// With the property "location" set, the element writes that file itself instead (nothing goes
// downstream; end the pipeline with a fakesink): the file is created or emptied only when the
// first data arrive, never through a symbolic link, and is complete and closed when the
// element posts its end of stream. The read-only "file-written" says whether it has been.
// With "common-origin" set, video frames are placed by their running time from 0 (where sound
// starts) instead of from the stream's first frame: a late picture stream begins with empty
// frames.
//
//   ... ! tovamixavimux name=m ! filesink location=out.avi
//   ... ! m.video_0   ... ! m.audio_0
//   ... ! tovamixavimux name=m location=out.avi ! fakesink async=false
#pragma once

namespace platform::dshow {

// Registers the element factory "tovamixavimux" for this process (no plugin file), starting
// GStreamer first when nobody has. Safe to call from any thread, any number of times; every
// call returns whether the one registration succeeded.
bool registerAviMuxElement();

} // namespace platform::dshow
