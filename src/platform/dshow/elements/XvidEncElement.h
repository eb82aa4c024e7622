// The MPEG-4 video compressor of the media graphs: a GStreamer element, "tovamixxvidenc", that
// encodes I420 pictures with libxvidcore into MPEG-4 video (XviD; no B-frames, so every
// input frame gives one output frame with the same timestamps).
//
// Sink: video/x-raw, format=I420, even width and height up to 8190, a fixed frame rate (put
// videoconvert in front). Odd sizes and variable rates are refused with an element error.
// Src: video/x-xvid with width, height, framerate and codec_data (the stream headers), the
// form tovamixavimux writes with FourCC XVID.
//
// Properties:
//   bitrate          target in kbit/s for the single-pass rate control (default 1500)
//   quantizer        fixed quantizer 1..31; 0 (default) uses the bitrate
//   max-key-interval frames between key frames at most (default 250)
//
// A frame the encoder leaves out (0 bytes) goes downstream as an empty delta buffer, which
// the AVI writer stores as an empty chunk: players repeat the previous picture and the frame
// count and duration stay those of the input.
//
//   videotestsrc ! videoconvert ! tovamixxvidenc bitrate=2000 ! tovamixavimux ! filesink ...
#pragma once

namespace platform::dshow {

// Registers the element factory "tovamixxvidenc" for this process (no plugin file), starting
// GStreamer first when nobody has. Safe to call from any thread, any number of times; every
// call returns whether the one registration succeeded.
bool registerXvidEncElement();

} // namespace platform::dshow
