// A graph provider that puts a renderer showing nothing into a TFilterGraph, so a file plays
// (and tells its length and picture size) without a window, sound or display: what the
// subcommands that read files use instead of a player's video window.
#pragma once

#include "media/TFilterGraph.h"
#include "platform/dshow/SampleGrabber.h"

#include <string>

namespace cli {

using namespace platform::dshow;

// A renderer that drops what it gets, so the file plays without a window or sound.
class NullRendererProvider : public media::IGraphFilterProvider {
  public:
    NullRendererProvider(const GUID& major, std::string name)
        : major_(major), name_(std::move(name)) {}
    FilterPtr GetFilter() override { return live_; }
    std::string GetName() override { return name_; }
    void NotifyFilter(media::TFilterOperation op, int) override {
        if (op == media::foAdding) live_ = createNullRenderer(major_);
        if (op == media::foRemoved) live_.reset();
    }
    void GraphDestroyed(media::TFilterGraph*) override {}

  private:
    GUID major_;
    std::string name_;
    FilterPtr live_;
};

} // namespace cli
