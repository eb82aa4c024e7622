// Running a graph that writes one AVI file, over the caller's own graph and filter components:
// the output file is set, each source component loads its file, each stream is rendered
// (through an optional encoder component) into the multiplexer, the graph runs, and its end
// is told apart: a completion stops the graph so the file is finished and indexed; an error
// abort is a failure with its reason, and the unfinished output is removed. The recorder's
// merge, the merge tool and both graphs of the split tool write their files through it.
//
// User-interface thread only. The caller keeps its graph's event handler and passes the
// events on (graphEvent), or waits in a loop (waitForCompletion); either way the end is told
// once.
#pragma once

#include "TBaseFilter.h"
#include "TFilterGraph.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::vfw {
class StagedFile;
}

namespace media {

// One stream of the file: source loads file, and its stream of majorType (null: the one the
// source gives) goes through encoder (null: copied as it is) into the multiplexer.
struct TWriteStream {
    TFilter* source = nullptr;
    std::string file;
    const GUID* majorType = nullptr;
    TFilter* encoder = nullptr;
    std::string what; // for messages: "the video", "the sound"
};

// How a run ended, as graphEvent and the wait tell it.
enum class TWriteEnd { Running, Completed, Failed, Stopped };

class TGraphFileWriter {
  public:
    // graph: the caller's graph component, in capture mode; its filter components are the
    // sources and encoders named to build().
    explicit TGraphFileWriter(TFilterGraph& graph);
    ~TGraphFileWriter();
    TGraphFileWriter(const TGraphFileWriter&) = delete;
    TGraphFileWriter& operator=(const TGraphFileWriter&) = delete;

    // Makes the graph afresh (its filter components join it) and builds the file's streams.
    // False with why naming the step and file when a component cannot be had or a step fails;
    // the graph is then cleared and nothing was written.
    bool build(const std::vector<TWriteStream>& streams, const std::string& target,
               std::string* why);
    // Runs what build() made. False with why (the graph cleared, the output removed).
    bool run(std::string* why);

    // Passes a graph event on: Completed once the completion came (the graph is stopped and
    // the file finished), Failed for an error abort (why says it; the graph is cleared and the
    // unfinished output removed), else Running.
    TWriteEnd graphEvent(long event, intptr_t param1, std::string* why);
    // For a caller that waits: the graph's handler tells each event here, so an error the
    // handler took from the queue is still known to the wait.
    void noteEvent(long event, intptr_t param1) {
        if (event == EC_ERRORABORT && FAILED(HRESULT(param1)) && noted_ == S_OK)
            noted_ = HRESULT(param1);
    }
    // Waits up to timeoutMs for the end; the same results as graphEvent.
    TWriteEnd waitForCompletion(long timeoutMs, std::string* why);
    // The file is written beside the target and moved there once finished (by the completion
    // or stop()): a write that fails, is abandoned or is killed leaves an earlier file at the
    // target as it was.
    //
    // Ends a run before its completion: the streams end and the file is finished with what was
    // written up to now.
    void stop();
    // Ends a run that must not stand (the other half of a job failed): stops, clears, and
    // removes the unfinished output.
    void abandon();

    bool running() { return running_; }
    // Whether the last build() has created or emptied its target.
    bool targetWritten() const;
    const std::string& target() const { return target_; }
    // 100-ns units: the data written so far, and the longest input (0 while unknown); after
    // the run, what it reached.
    int64_t position();
    int64_t duration();
    // Stops and clears the graph, keeping the output as it is.
    void clear();

  private:
    TWriteEnd fail(const std::string& reason, std::string* why);
    TWriteEnd complete(std::string* why);
    bool moveIntoPlace(std::string* why);
    void removeOutput();

    TFilterGraph& graph_;
    std::string target_;
    FilterPtr writer_; // the file writer of the last build, kept past clear()
    std::unique_ptr<platform::vfw::StagedFile> staged_; // where the last build writes
    bool running_ = false;
    HRESULT noted_ = S_OK;
    int64_t position_ = 0, duration_ = 0;
};

} // namespace media
