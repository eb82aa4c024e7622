// The jobs of the editing tools without their windows: merge (a video file's picture and an
// audio file's sound copied side by side into a new AVI), split (a file's sound through MP3
// into one AVI, its picture through XviD into another, both graphs side by side) and link (two
// files one after the other through the timeline render). The tool windows hold one job each
// and show its progress and messages; tovamix-cli runs the same jobs.
//
// User-interface thread only. Merge and link wait in the loop of the timeline render (graph
// waits of at most 100 ms, the caller's hooks between them); split returns at once and ends in
// its graphs' event handlers. Every job checks its files before any graph is built: an output
// that names an input (or split's other output), an input that is missing or lacks the stream
// the job needs, or an output that cannot be written is refused, and nothing is written. A job
// that fails while it runs removes its unfinished outputs.
#pragma once

#include "media/GraphFileWriter.h"
#include "media/NullRenderers.h"
#include "media/TBaseFilter.h"
#include "media/TFilterGraph.h"
#include "player/TimelineRender.h"

#include <cstdint>
#include <functional>
#include <string>

namespace tools {

// The windows' texts, as the jobs' callers show them.
inline constexpr const char* MergeCompleteText = "Marge complete";
inline constexpr const char* MergeCompleteCaption = "prompt";
inline constexpr const char* MergeBusyText = "Mergeing data, please wait close";
inline constexpr const char* SplitCompleteText = "Split complete";
inline constexpr const char* SplitBusyText = "Split data..., please wait close";
inline constexpr const char* LinkCompleteText = "Link Complete";
inline constexpr const char* LinkCompleteCaption = "Prompt";

// How a job's start or run ended.
enum class Outcome {
    Done,    // the output is complete
    Refused, // a bad request, told before anything was built; nothing written
    Failed,  // the job failed while it ran; its unfinished outputs are removed
    Stopped, // the caller stopped it; the outputs hold what was written, indexed
    Busy,    // the job runs already: nothing was done
};

struct JobResult {
    Outcome outcome = Outcome::Done;
    // Why, naming the file, for Refused and Failed; for Stopped, empty after the caller's
    // Stop and the reason when the job stopped itself (it made no progress).
    std::string error;
    bool ok() const { return outcome == Outcome::Done; }
};

// Renders request through the timeline render as a job: refused before anything is written,
// failed (its output removed) with the reason naming the file, stopped by the caller, or done.
JobResult renderJob(const player::TExportRequest& request, long& completionCode,
                    const player::TRenderHooks& hooks);

// Whether two names lead to one file (links count); for names that do not exist yet, whether
// they are the same path.
bool sameFile(const std::string& a, const std::string& b);

class MergeJob {
  public:
    MergeJob();
    ~MergeJob();
    MergeJob(const MergeJob&) = delete;
    MergeJob& operator=(const MergeJob&) = delete;

    media::TFilterGraph FilterGraph2;
    media::TFilter Filter1{"Filter1"}; // reads the video file
    media::TFilter Filter2{"Filter2"}; // reads the audio file
    long CompletionCode = 0;           // the wait loop's; a caller's stop writes 1

    // Copies the video file's picture and the audio file's sound into target, waiting in the
    // loop while hooks show the progress. Busy (doing nothing) while a merge runs.
    JobResult merge(const std::string& audioFile, const std::string& videoFile,
                    const std::string& target, const player::TRenderHooks& hooks);
    bool running() const { return running_; }
    // Whether the window may close now: never while a merge runs.
    bool closable() const { return !running_; }

  private:
    media::TGraphFileWriter writer_{FilterGraph2};
    bool running_ = false;
};

class SplitJob {
  public:
    SplitJob();
    ~SplitJob();
    SplitJob(const SplitJob&) = delete;
    SplitJob& operator=(const SplitJob&) = delete;

    media::TFilterGraph FilterGraph1; // the audio graph
    media::TFilterGraph FilterGraph2; // the video graph
    media::TFilter Filter1{"Filter1"};
    media::TFilter MP3Enc{"MP3Enc"};
    media::TFilter Filter2{"Filter2"};
    media::TFilter DivXEncoder{"DivXEncoder"};
    bool AudioDone = false, VideoDone = false;

    // Builds both graphs, then runs both, and returns at once: Done means started. The end
    // comes to onComplete or onFailed. Busy (doing nothing) while a split runs.
    JobResult start(const std::string& sourceFile, const std::string& audioFile,
                    const std::string& videoFile);
    // Both graphs completed: caption is "Info" when the audio graph finished last, "info" when
    // the video graph did.
    std::function<void(const std::string& caption)> onComplete;
    // One graph failed: the other is stopped, and the unfinished outputs are removed.
    std::function<void(const std::string& why)> onFailed;
    // Ends both graphs now; the outputs hold what was written, indexed.
    void stop();

    bool running() const { return audioRunning_ || videoRunning_; }
    // Whether the window may close now: not while either graph runs.
    bool closable() const { return !running(); }
    // 0..1 of the slower graph's data written (0 when unknown).
    double progress();

    // The graphs' event handlers.
    void FilterGraph1DSEvent(long event, intptr_t param1);
    void FilterGraph2DSEvent(long event, intptr_t param1);

  private:
    void failed(const std::string& why);

    media::TGraphFileWriter audio_{FilterGraph1};
    media::TGraphFileWriter video_{FilterGraph2};
    bool audioRunning_ = false, videoRunning_ = false;
};

class LinkJob {
  public:
    LinkJob();
    ~LinkJob();
    LinkJob(const LinkJob&) = delete;
    LinkJob& operator=(const LinkJob&) = delete;

    // The measuring graphs: the first file (its length and picture size), the second file.
    media::TFilterGraph FilterGraph1;
    media::TFilterGraph FilterGraph2;
    long CompletionCode = 0; // the render loop's; Stop writes 1
    int64_t d1 = 0, d2 = 0;  // the two files' lengths (100-ns units) of the last link

    // Writes firstFile then secondFile into target (XviD, MP3) through the timeline render,
    // waiting in its loop while hooks show the progress. Busy (doing nothing) while linking.
    JobResult link(const std::string& firstFile, const std::string& secondFile,
                   const std::string& target, const player::TRenderHooks& hooks);
    // Ends a running render; the output holds what was written, indexed.
    void Stop() { CompletionCode = 1; }
    bool running() const { return running_; }
    bool closable() const { return !running_; }

  private:
    // Renders file into graph (cleared first) without showing or sounding anything; its
    // length, and its picture size where it has one. False with why.
    bool measure(media::TFilterGraph& graph, const std::string& file, int64_t* duration,
                 long* width, long* height, std::string* why);

    // What the measuring graphs render into: nothing shown, nothing heard.
    media::NullRendererProvider video1_{media::MEDIATYPE_Video, "Null Video Renderer"};
    media::NullRendererProvider sound1_{media::MEDIATYPE_Audio, "Null Audio Renderer"};
    media::NullRendererProvider video2_{media::MEDIATYPE_Video, "Null Video Renderer"};
    media::NullRendererProvider sound2_{media::MEDIATYPE_Audio, "Null Audio Renderer"};
    bool running_ = false;
};

} // namespace tools
