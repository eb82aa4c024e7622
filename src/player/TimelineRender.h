// Writing a new AVI from stretches of media files through the timeline services: the routine
// the player's cut and the link window share. The caller fills an export request; the routine
// detects the streams, builds the timeline (a video group and/or an audio group, one track per
// clip), gives it to a render engine, routes each group through the encoder found by name
// (XviD for video, an MP3 encoder for sound) into the AVI multiplexer and file writer, runs the
// graph while the caller's hooks show progress, and reports how it ended.
//
// The wait loop belongs to the user-interface thread: it waits up to 100 ms at a time for the
// graph's completion and runs the caller's processEvents between waits. The caller ends it by
// writing 1 into its completion code (Stop). The output is complete and closed when the
// routine returns; a render that fails removes the unfinished output.
#pragma once

#include "platform/dshow/base/DShow.h"

#include <cstdint>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace player {

using platform::dshow::HRESULT;

// One stretch of a file on its own track of the timeline (100-ns units).
struct TTimelineClip {
    std::string file;
    int64_t timelineStart = 0, timelineStop = 0;
    int64_t mediaStart = 0, mediaStop = 0;
    long trackPriority = 0; // where the track is inserted (-1: appended)
};

struct TExportRequest {
    std::string detectionFile;                   // whose streams decide the groups
    std::vector<std::string> moreDetectionFiles; // whose streams count as well
    long videoWidth = 0, videoHeight = 0;        // the video group's picture size
    std::vector<TTimelineClip> clips;
    std::string outputFile;
    // Which video compressor is taken, by friendly name.
    std::function<bool(const std::string& friendlyName)> videoEncoderRule;
};

// The caller's side of the wait: progress over 0..duration (both 100-ns units; duration may
// be 0 when unknown), and the application's pending messages.
struct TRenderHooks {
    std::function<void(int64_t duration)> started; // the bar is shown at 0
    std::function<void(int64_t position, int64_t duration)> progress;
    std::function<void()> finished; // the bar is hidden
    std::function<void()> processEvents;
};

struct TRenderResult {
    long completionCode = 0; // the graph's event code, or the 1 the caller wrote
    bool stopped = false;    // the caller's Stop ended it
    HRESULT error = 0;       // the graph's error when it ended with one (the output is removed)
    int64_t duration = 0;    // the timeline's length
    int64_t stalledAt = -1;  // where the stall guard stopped it (100-ns units), or -1
    // Stopped before data of every stream asked for was written: no file was made (a file of
    // sound alone is no cut of a picture). `unwritten` names what was missing ("picture",
    // "sound", "picture and sound").
    bool nothingWritten = false;
    std::string unwritten;
    // Why the output is not what was asked for, beyond the graph's error (a stream that
    // received no data); empty otherwise.
    std::string problem;
};

// What a render stopped before it wrote data of every stream says, after the name of what it
// was to write: "was stopped before anything was written: no file was made", or before its
// picture or its sound was; stopped by the stall guard, "made no progress for 10 s (at S s),
// before ...".
std::string stoppedBeforeDataText(const TRenderResult& result);

// What went wrong with a render, for the user: the problem found, or the graph's error.
std::string renderErrorText(const TRenderResult& result);

// A request that cannot be rendered: no encoder, nothing to render, a bad stretch, an output
// that would overwrite a source. Nothing has been written.
class ERenderRefused : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The streams a file holds, as the detector sees them (nothing for a file it cannot read).
struct TStreams {
    bool hasVideo = false, hasAudio = false;
};
TStreams detectStreams(const std::string& file);

// The encoder rules, on friendly names.
// The player's: the first four characters, upper-cased, are "XVID".
bool playerVideoEncoderRule(const std::string& friendlyName);
// The link window's: exactly "Xvid MPEG-4 Codec".
bool linkVideoEncoderRule(const std::string& friendlyName);
// Both: the lower-cased name contains "mpeg layer-3" or "lame mp3".
bool audioEncoderRule(const std::string& friendlyName);

// Progress bar arithmetic: position and duration (100-ns units) scaled together so the
// duration is `range` (the bar's maximum); 0 for an unknown or zero duration, clamped to
// 0..range.
int progressValue(int64_t position, int64_t duration, int range);

// How long a job may go without its position moving before it is stopped: a source that
// gives no more data (a broken file the demultiplexer stalls on) would else hold the job, and
// its window, for ever.
constexpr std::chrono::seconds StallLimit{10};

// What a job stopped by that guard at `position` (100-ns units) says, after the name of what
// it wrote: "made no progress for 10 s (at 3.2 s): ...".
std::string stallText(int64_t position);

// The wait of a long job on the user-interface thread: while completionCode is 0, waitSlice
// waits up to 100 ms for the graph's end and gives its event code (0: not yet), where() gives
// the position and the length (100-ns units; false when unknown) for hooks.progress, and
// hooks.processEvents runs. The caller's Stop writes 1 into completionCode, as does a position
// that stands still for StallLimit while `written` (where given: how much the output holds)
// stands still too (an encoder may work through the pictures queued before it long after the
// sources have given their last); the position it stood at then goes to *stalledAt (-1
// otherwise). True when the graph's own end ended the loop.
bool waitForGraph(long& completionCode, const std::function<long(long timeoutMs)>& waitSlice,
                  const std::function<bool(int64_t* position, int64_t* duration)>& where,
                  const TRenderHooks& hooks, int64_t* stalledAt = nullptr,
                  const std::function<int64_t()>& written = {});

// Builds and renders the request; completionCode is set to 0 when the graph runs and read in
// the loop. Throws ERenderRefused before anything is written.
TRenderResult renderTimeline(const TExportRequest& request, long& completionCode,
                             const TRenderHooks& hooks);

} // namespace player
