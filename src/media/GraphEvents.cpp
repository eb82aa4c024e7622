#include "TFilterGraph.h"

#include <cstdio>
#include <map>

namespace media {

std::string GraphEventText(long code) {
    static const std::map<long, const char*> texts = {
        {1, "EC_COMPLETE - All data from a particular stream has been rendered."},
        {2, "EC_USERABORT - The user has terminated playback."},
        {3, "EC_ERRORABORT - An operation was aborted because of an error."},
        {4, "EC_TIME - A requested reference-clock time has arrived."},
        {5, "EC_REPAINT - The video renderer needs its current image drawn again."},
        {6, "EC_STREAM_ERROR_STOPPED - A stream has stopped because of an error."},
        {7, "EC_STREAM_ERROR_STILLPLAYING - A stream error occurred, but the stream is still "
            "playing."},
        {8, "EC_ERROR_STILLPLAYING - A command to run the graph partly failed, but the graph is "
            "still running."},
        {9, "EC_PALETTE_CHANGED - The video renderer has changed its palette."},
        {10, "EC_VIDEO_SIZE_CHANGED - The native video size has changed."},
        {11, "EC_QUALITY_CHANGE - The graph is dropping samples to keep up."},
        {12, "EC_SHUTTING_DOWN - The filter graph is shutting down."},
        {13, "EC_CLOCK_CHANGED - The reference clock of the graph has changed."},
        {14, "EC_PAUSED - A pause request has completed."},
        {16, "EC_OPENING_FILE - The graph is opening a file or has finished opening it."},
        {17, "EC_BUFFERING_DATA - The graph is buffering data, or has stopped buffering it."},
        {18, "EC_FULLSCREEN_LOST - The video renderer has left full-screen mode."},
        {19, "EC_ACTIVATE - A video window is being activated or deactivated."},
        {20, "EC_NEED_RESTART - A filter needs the graph to be restarted."},
        {21, "EC_WINDOW_DESTROYED - The video renderer's window has been destroyed."},
        {22, "EC_DISPLAY_CHANGED - The display mode has changed."},
        {23, "EC_STARVATION - A filter is not receiving enough data."},
        {24, "EC_OLE_EVENT - A filter is passing a text notification to the application."},
        {25, "EC_NOTIFY_WINDOW - The renderer needs the handle of the notification window."},
        {26, "EC_STREAM_CONTROL_STOPPED - A stream-control stop request has completed."},
        {27, "EC_STREAM_CONTROL_STARTED - A stream-control start request has completed."},
        {28, "EC_END_OF_SEGMENT - The end of a segment has been reached."},
        {29, "EC_SEGMENT_STARTED - A new segment has started."},
        {31, "EC_DEVICE_LOST - A device was removed or has become available again."},
        {36, "EC_STEP_COMPLETE - A frame step has completed."},
        {48, "EC_TIMECODE_AVAILABLE- Sent by filter supporting timecode."},
        {49, "EC_EXTDEVICE_MODE_CHANGE - An external device has changed its mode."},
        {80, "EC_GRAPH_CHANGED - The filter graph has been changed."},
        {81, "EC_CLOCK_UNSET - The clock provider has been disconnected."},
        {83, "EC_VMR_RENDERDEVICE_SET - The video renderer has chosen its rendering device."},
        {257, "EC_DVD_DOMAIN_CHANGE - The DVD player has entered a new domain."},
        {258, "EC_DVD_TITLE_CHANGE - The current DVD title number has changed."},
        {259, "EC_DVD_CHAPTER_START - The DVD player has started playing a new chapter."},
        {260, "EC_DVD_AUDIO_STREAM_CHANGE - The current DVD audio stream has changed."},
        {261, "EC_DVD_SUBPICTURE_STREAM_CHANGE - The current DVD subpicture stream has changed."},
        {262,
         "EC_DVD_ANGLE_CHANGE - The number of available angles or the current angle has changed."},
        {263, "EC_DVD_BUTTON_CHANGE - The number of available menu buttons or the selected button "
              "has changed."},
        {264, "EC_DVD_VALID_UOPS_CHANGE - The set of allowed DVD user operations has changed."},
        {265, "EC_DVD_STILL_ON - A DVD still period has begun."},
        {266, "EC_DVD_STILL_OFF - A DVD still period has ended."},
        {267,
         "EC_DVD_CURRENT_TIME - The DVD playback time has advanced (sent about once a second)."},
        {268, "EC_DVD_ERROR - A DVD error condition has occurred."},
        {269, "EC_DVD_WARNING - A DVD warning condition has occurred."},
        {270, "EC_DVD_CHAPTER_AUTOSTOP - Playback stopped at the end of a chapter as requested."},
        {271, "EC_DVD_NO_FP_PGC - The DVD disc has no first-play program chain."},
        {272, "EC_DVD_PLAYBACK_RATE_CHANGE - The DVD playback rate has changed."},
        {273, "EC_DVD_PARENTAL_LEVEL_CHANGE - The parental level of the DVD has changed."},
        {274, "EC_DVD_PLAYBACK_STOPPED - DVD playback has stopped."},
        {275,
         "EC_DVD_ANGLES_AVAILABLE - A block of the DVD with several angles has begun or ended."},
        {276, "EC_DVD_PLAYPERIOD_AUTOSTOP - A requested play period has ended."},
        {277, "EC_DVD_BUTTON_AUTO_ACTIVATED - A DVD menu button has been activated automatically."},
        {278, "EC_DVD_CMD_START - A DVD command has started."},
        {279, "EC_DVD_CMD_END - A DVD command has ended."},
        {280, "EC_DVD_DISC_EJECTED - The DVD disc has been ejected."},
        {281, "EC_DVD_DISC_INSERTED - A DVD disc has been inserted."},
        {282, "EC_DVD_CURRENT_HMSF_TIME - The DVD playback time has advanced; the time is in "
              "hours, minutes, seconds and frames."},
        {283, "EC_DVD_KARAOKE_MODE - The DVD karaoke mode has changed."},
        {512, "EC_SNDDEV_IN_ERROR - An audio input device has reported an error."},
        {513, "EC_SNDDEV_OUT_ERROR - An audio output device has reported an error."},
    };
    if (auto it = texts.find(code); it != texts.end()) return it->second;
    // The code as the platform's 32-bit value, also where long is wider.
    constexpr unsigned long LowThirtyTwoBits = 0xFFFFFFFFul;
    char text[48];
    std::snprintf(text, sizeof text, "Unknow Graph Event ($%lX)",
                  static_cast<unsigned long>(code) & LowThirtyTwoBits);
    return text;
}

// Seven decimal digits of four bits each, then the tens of frames and the frame rate code in
// two bits each.
TDVDTimeCode unpackDvdTimeCode(uint32_t v) {
    constexpr uint32_t Digit = 0xF;
    constexpr uint32_t TwoBits = 0x3;
    return {uint8_t(v >> 28 & Digit), uint8_t(v >> 24 & Digit),  uint8_t(v >> 20 & Digit),
            uint8_t(v >> 16 & Digit), uint8_t(v >> 12 & Digit),  uint8_t(v >> 8 & Digit),
            uint8_t(v >> 4 & Digit),  uint8_t(v >> 2 & TwoBits), uint8_t(v & TwoBits)};
}

} // namespace media
