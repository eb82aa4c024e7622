// Devices and codecs as graph components: the device enumerator (TSysDevEnum), the stored
// moniker of one device or codec (TBaseFilter: a byte block kept in the form as "data"), and
// the filter component (TFilter) that puts that device or codec into a TFilterGraph.
// User-interface thread only.
#pragma once

#include "TFilterGraph.h"
#include "platform/dshow/devices/Devices.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace media {

// A device moniker: the display name of a device or codec.
struct TMoniker {
    std::string displayName;
};
using MonikerPtr = std::shared_ptr<TMoniker>;

struct DeviceEntry {
    std::string FriendlyName;   // at most 255 characters
    GUID CLSID;                 // all zero when the device has none
    bool SystemDefault = false; // the system's default input (listed first)
};

class TSysDevEnum {
  public:
    explicit TSysDevEnum(const GUID& category);
    void SelectCategory(const GUID& category);
    const GUID& category() const { return category_; }
    int Count() const { return int(entries_.size()); }
    DeviceEntry Item(int i) const;
    // Device i of the current category, found afresh; null outside 0..Count-1.
    MonikerPtr GetMoniker(int i) const;
    // Device i bound to a new filter; null outside 0..Count-1 or when it cannot be opened.
    FilterPtr GetBaseFilter(int i) const;

  private:
    GUID category_{};
    std::vector<DeviceEntry> entries_;
    std::vector<DeviceEntry> categories_;
};

// One persisted moniker: the 16-byte class identifier of device monikers, a 32-bit byte count,
// then the display name in UTF-16LE with its terminating zero.
class TBaseFilter {
  public:
    MonikerPtr Moniker() const;
    void setMoniker(const MonikerPtr& m);
    // The bound filter, or null (no moniker, or nothing of that name can be had).
    FilterPtr CreateFilter(std::string* error = nullptr) const;

    const std::vector<uint8_t>& block() const { return block_; }
    // Form storage "data": a 32-bit little-endian length, then the block.
    std::vector<uint8_t> writeData() const;
    // False (and an empty block) for data that is cut short.
    bool readData(const std::vector<uint8_t>& data);

  private:
    std::vector<uint8_t> block_;
};

// A filter component: stands for one device or codec (its BaseFilter) and puts it into the
// graph it is attached to, under its component name. The component and its graph may go in
// either order: a graph that goes first tells the component, which then forgets it.
class TFilter : public IGraphFilterProvider {
  public:
    explicit TFilter(std::string name);
    ~TFilter() override;
    TFilter(const TFilter&) = delete;
    TFilter& operator=(const TFilter&) = delete;

    TFilterGraph* FilterGraph() const { return graph_; }
    void setFilterGraph(TFilterGraph* g);
    TBaseFilter BaseFilter;
    // The reason the last bind failed, if it did.
    const std::string& bindError() const { return bindError_; }

    // Interfaces of the live filter; null when there is none.
    template <class I> std::shared_ptr<I> query() const {
        return std::dynamic_pointer_cast<I>(live_);
    }

    FilterPtr GetFilter() override { return live_; }
    std::string GetName() override { return name_; }
    // Removing stops the live filter when it is paused or running, so it takes no more data
    // before the graph disconnects it.
    void NotifyFilter(TFilterOperation operation, int param = 0) override;
    void GraphDestroyed(TFilterGraph* graph) override;

  private:
    std::string name_;
    TFilterGraph* graph_ = nullptr;
    FilterPtr live_;
    std::string bindError_;
};

} // namespace media
