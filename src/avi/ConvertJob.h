// The conversion of the convert window without its window: a media file that GStreamer reads
// becomes an AVI with XviD video and MP3 sound, at a chosen picture size and the source's
// frame rate, through the timeline render the player's cut and the link window use. The
// convert window holds one job and shows its progress and messages; tovamix-cli runs the same
// job.
//
// User-interface thread only. convert() waits in the render's loop (graph waits of at most
// 100 ms, the caller's hooks between them); Stop() only writes the loop's completion code, so
// the loop ends within one wait and convert() then returns. Every refusal comes before any
// graph is built: a source that is missing, unreadable or holds no picture or sound, an
// output size outside 1..MaxFrameSize, a target that is the source (however named) or cannot
// be written. Nothing is then written and the source is untouched.
#pragma once

#include "MediaInfo.h"

#include "media/NullRenderers.h"
#include "media/TBaseFilter.h"
#include "media/TFilterGraph.h"
#include "player/TimelineRender.h"
#include "tools/EditJobs.h"

#include <cstdint>
#include <string>

namespace avi {

inline constexpr const char* ConvertCompleteText = "Convert Complete!";
// The largest picture side the XviD encoder takes.
inline constexpr long MaxFrameSize = 8190;

class TConvertJob {
  public:
    TConvertJob();
    ~TConvertJob();
    TConvertJob(const TConvertJob&) = delete;
    TConvertJob& operator=(const TConvertJob&) = delete;

    // The probe graph: renders the source (into renderers that show and sound nothing) for
    // its length and picture size. It holds the MP3 encoder filter, as the window's form
    // does; clearing the graph keeps it.
    media::TFilterGraph FilterGraph1;
    media::TFilter MP3Enc{"MP3Enc"};
    long CompletionCode = 0; // the render loop's; Stop writes 1

    // What the last conversion used.
    struct Facts {
        EnumVid info; // the source's information
        bool hasVideo = false, hasAudio = false;
        int64_t duration = 0;       // the source's length, 100-ns units
        long width = 0, height = 0; // the output picture size
    };
    const Facts& facts() const { return facts_; }

    // Converts source into target. widthText and heightText are the size boxes: when both
    // hold text it must be whole numbers of 1..MaxFrameSize, else the source's size is kept.
    // Busy (doing nothing) while a conversion runs.
    tools::JobResult convert(const std::string& source, const std::string& target,
                             const std::string& widthText, const std::string& heightText,
                             const player::TRenderHooks& hooks);
    // Ends a running conversion within one wait; the output holds what was written, indexed.
    void Stop() { CompletionCode = 1; }
    bool running() const { return running_; }

  private:
    bool probe(const std::string& source, int64_t* duration, long* width, long* height,
               std::string* why);

    media::NullRendererProvider video_{media::MEDIATYPE_Video, "Null Video Renderer"};
    media::NullRendererProvider sound_{media::MEDIATYPE_Audio, "Null Audio Renderer"};
    Facts facts_;
    bool running_ = false;
};

// A picture side from a size box: a whole number of 1..MaxFrameSize, else 0.
long frameSide(const std::string& text);

} // namespace avi
