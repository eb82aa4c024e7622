// Media types, pins and filters as the windows handle them: TMediaType owns one media-type
// record and its format block; TEnumMediaType is the list of types a pin offers; TPinList and
// TFilterList are the pins of a filter and the filters of a graph. User-interface thread.
#pragma once

#include "platform/dshow/base/MediaTypes.h"

#include <memory>
#include <string>
#include <vector>

namespace media {

using namespace platform::dshow;

class TMediaType {
  public:
    // A zeroed record of a major type, with fixed-size samples (all bits set) of size 1.
    explicit TMediaType(const GUID& majorType = GUID_NULL);
    // A deep copy of a record.
    explicit TMediaType(const AM_MEDIA_TYPE& record) : mt_(record) {}

    const AM_MEDIA_TYPE& record() const { return mt_; }
    AM_MEDIA_TYPE& record() { return mt_; }
    void setSubType(const GUID& g) { mt_.subtype = g; }
    void setFormatType(const GUID& g) { mt_.formattype = g; }
    void Assign(const TMediaType& other) { mt_ = other.mt_; }
    // The caps this type stands for ("" when there is no equivalent).
    std::string caps() const { return capsFromMediaType(mt_); }

    // Form storage "data": the 72-byte record, then the format block.
    std::vector<uint8_t> writeData() const { return serializeMediaType(mt_); }
    bool readData(const std::vector<uint8_t>& data) { return deserializeMediaType(data, mt_); }

  private:
    AM_MEDIA_TYPE mt_;
};

class TEnumMediaType {
  public:
    // Refills the list with a copy of every type the pin offers, in the pin's order. The pin
    // must be given.
    void Enumerate(const PinPtr& pin);
    int Count() const { return int(items_.size()); }
    const TMediaType& Item(int i) const { return items_.at(size_t(i)); }
    void Clear() { items_.clear(); }

  private:
    std::vector<TMediaType> items_;
};

struct PIN_INFO {
    PIN_DIRECTION dir;
    std::string name; // at most 128 characters
};

class TPinList {
  public:
    explicit TPinList(const FilterPtr& filter);
    int Count() const { return int(pins_.size()); }
    PinPtr Item(int i) const { return pins_.at(size_t(i)); }
    PinPtr First() const { return pins_.empty() ? nullptr : pins_.front(); }
    PIN_INFO PinInfo(int i) const;
    bool Connected(int i) const { return Item(i)->connectedTo() != nullptr; }
    void Delete(int i) { pins_.erase(pins_.begin() + i); }
    void Add(const PinPtr& p) { pins_.push_back(p); }

  private:
    FilterPtr filter_;
    std::vector<PinPtr> pins_;
};

class TFilterList {
  public:
    explicit TFilterList(const std::shared_ptr<IFilterGraph2>& graph = nullptr);
    int Count() const { return int(filters_.size()); }
    FilterPtr Item(int i) const { return filters_.at(size_t(i)); }
    void Add(const FilterPtr& f) { filters_.push_back(f); }
    void Remove(const FilterPtr& f);

  private:
    std::vector<FilterPtr> filters_;
};

} // namespace media
