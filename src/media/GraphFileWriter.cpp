#include "GraphFileWriter.h"

#include "StoredFilters.h"
#include "platform/vfw/StagedFile.h"

#include <filesystem>
#include <sys/stat.h>

namespace media {

TGraphFileWriter::TGraphFileWriter(TFilterGraph& graph) : graph_(graph) {}

TGraphFileWriter::~TGraphFileWriter() = default;

void TGraphFileWriter::clear() {
    running_ = false;
    attempt([&] {
        graph_.Stop();
        graph_.ClearGraph();
        return S_OK;
    });
    graph_.setActive(false);
}

bool TGraphFileWriter::build(const std::vector<TWriteStream>& streams, const std::string& target,
                             std::string* why) {
    clear();
    writer_.reset();
    staged_.reset();
    target_ = target;
    position_ = duration_ = 0;
    graph_.setActive(true);
    auto failed = [&](const std::string& reason) {
        if (why) *why = reason;
        clear();
        return false;
    };
    for (const TWriteStream& s : streams)
        for (TFilter* f : {s.source, s.encoder})
            if (f && !f->GetFilter())
                return failed("cannot open " + f->GetName() + ": " + f->bindError());
    FilterPtr mux, writer;
    HRESULT h = attempt([&] {
        return graph_.as<ICaptureGraphBuilder2>()->SetOutputFileName(MEDIASUBTYPE_Avi, target, &mux,
                                                                     &writer);
    });
    if (FAILED(h)) return failed("cannot write \"" + target + "\": " + GraphErrorText(h));
    writer_ = writer;
    // The target passed the writer's checks; the file itself goes beside it until finished.
    staged_ = std::make_unique<platform::vfw::StagedFile>(target);
    if (staged_->staged()) {
        auto sink = queryInterface<IFileSinkFilter>(writer);
        h = sink ? sink->SetFileName(staged_->path()) : E_NOINTERFACE;
        if (FAILED(h)) return failed("cannot write \"" + target + "\": " + GraphErrorText(h));
    }
    for (const TWriteStream& s : streams) {
        auto source = s.source->query<IFileSourceFilter>();
        h = source ? source->Load(s.file) : E_NOINTERFACE;
        if (FAILED(h)) return failed("cannot read \"" + s.file + "\": " + GraphErrorText(h));
    }
    auto builder = graph_.as<ICaptureGraphBuilder2>();
    for (const TWriteStream& s : streams) {
        h = attempt([&] {
            return builder->RenderStream(nullptr, s.majorType, s.source->GetFilter(),
                                         s.encoder ? s.encoder->GetFilter() : nullptr, mux);
        });
        if (FAILED(h))
            return failed("cannot write " + s.what + " of \"" + s.file +
                          "\": " + GraphErrorText(h));
    }
    return true;
}

bool TGraphFileWriter::run(std::string* why) {
    const HRESULT h = attempt([&] { return graph_.Play() ? S_OK : E_FAIL; });
    if (FAILED(h)) {
        fail("cannot start writing \"" + target_ + "\": " + GraphErrorText(h), why);
        return false;
    }
    running_ = true;
    noted_ = S_OK;
    return true;
}

TWriteEnd TGraphFileWriter::complete(std::string* why) {
    // What the run reached is kept for the caller's last look.
    position();
    duration();
    // The writer has finished the file once the graph is stopped.
    attempt([&] { return graph_.Stop() ? S_OK : S_FALSE; });
    running_ = false;
    if (std::string reason; !moveIntoPlace(&reason)) return fail(reason, why);
    return TWriteEnd::Completed;
}

bool TGraphFileWriter::moveIntoPlace(std::string* why) {
    if (!staged_) return true;
    if (!targetWritten()) {
        staged_->discard();
        return true;
    }
    return staged_->commit(why);
}

TWriteEnd TGraphFileWriter::fail(const std::string& reason, std::string* why) {
    if (why) *why = reason;
    clear();
    removeOutput();
    return TWriteEnd::Failed;
}

TWriteEnd TGraphFileWriter::graphEvent(long event, intptr_t param1, std::string* why) {
    if (!running_) return TWriteEnd::Running;
    if (event == EC_COMPLETE) return complete(why);
    if (event == EC_ERRORABORT || event == EC_USERABORT)
        return fail("writing \"" + target_ + "\" failed: " + GraphErrorText(HRESULT(param1)), why);
    return TWriteEnd::Running;
}

TWriteEnd TGraphFileWriter::waitForCompletion(long timeoutMs, std::string* why) {
    if (!running_) return TWriteEnd::Running;
    auto events = graph_.query<IMediaEventEx>();
    long code = 0;
    if (!events || events->WaitForCompletion(timeoutMs, &code) != S_OK || code == 0)
        return TWriteEnd::Running;
    if (code == EC_COMPLETE) {
        // An element that failed says so even when the streams still came to their end (a
        // write that failed ends one stream early).
        long queued = 0;
        intptr_t p1 = 0, p2 = 0;
        while (events->GetEvent(&queued, &p1, &p2, 0) == S_OK)
            if (queued == EC_ERRORABORT) return graphEvent(queued, p1, why);
        if (noted_ != S_OK) return graphEvent(EC_ERRORABORT, noted_, why);
        return complete(why);
    }
    // The error's own code waits in the queue, unless the graph's handler took it already.
    long queued = 0;
    intptr_t p1 = 0, p2 = 0, error = noted_ != S_OK ? noted_ : E_FAIL;
    while (events->GetEvent(&queued, &p1, &p2, 0) == S_OK)
        if (queued == EC_ERRORABORT && FAILED(HRESULT(p1))) error = p1;
    return graphEvent(EC_ERRORABORT, error, why);
}

void TGraphFileWriter::stop() {
    if (!running_) return;
    attempt([&] { return graph_.Stop() ? S_OK : S_FALSE; });
    running_ = false;
    // What was written up to the stop is a whole file, kept as a finished one is.
    std::string why;
    moveIntoPlace(&why);
}

void TGraphFileWriter::abandon() {
    clear();
    removeOutput();
}

bool TGraphFileWriter::targetWritten() const {
    auto sink = writer_ ? queryInterface<IFileSinkFilter>(writer_) : nullptr;
    return sink && sink->fileWritten();
}

void TGraphFileWriter::removeOutput() {
    // A staged file goes; the target was never touched.
    if (staged_ && staged_->staged()) {
        staged_->discard();
        return;
    }
    // Only a regular file this writer created or emptied: an existing file it never reached
    // keeps its bytes.
    struct stat st {};
    if (target_.empty() || !targetWritten() || lstat(target_.c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode))
        return;
    std::error_code ec;
    std::filesystem::remove(target_, ec);
}

int64_t TGraphFileWriter::position() {
    auto seeking = running_ ? graph_.query<IMediaSeeking>() : nullptr;
    int64_t p = 0;
    if (seeking && SUCCEEDED(seeking->GetCurrentPosition(&p)) && p > position_) position_ = p;
    return position_;
}

int64_t TGraphFileWriter::duration() {
    auto seeking = running_ ? graph_.query<IMediaSeeking>() : nullptr;
    int64_t d = 0;
    if (seeking && SUCCEEDED(seeking->GetDuration(&d)) && d > 0) duration_ = d;
    return duration_;
}

} // namespace media
