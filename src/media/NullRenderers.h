// A graph provider that puts a renderer showing nothing into a TFilterGraph, so a file plays
// (and tells its length) without a window, sound or display: what the jobs that only read
// files (the subcommands, the link tool's measuring graphs) use instead of a video window.
// User-interface thread.
#pragma once

#include "TFilterGraph.h"
#include "platform/dshow/elements/SampleGrabber.h"

#include <string>

namespace media {

// A renderer that drops what it gets, so the file plays without a window or sound.
class NullRendererProvider : public IGraphFilterProvider {
  public:
    NullRendererProvider(const GUID& major, std::string name)
        : major_(major), name_(std::move(name)) {}
    FilterPtr GetFilter() override { return live_; }
    std::string GetName() override { return name_; }
    void NotifyFilter(TFilterOperation op, int) override {
        if (op == foAdding) live_ = createNullRenderer(major_);
        if (op == foRemoved) live_.reset();
    }
    void GraphDestroyed(TFilterGraph*) override {}

  private:
    GUID major_;
    std::string name_;
    FilterPtr live_;
};

} // namespace media
