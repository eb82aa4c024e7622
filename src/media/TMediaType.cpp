#include "TMediaType.h"

#include <algorithm>
#include <stdexcept>

namespace media {

TMediaType::TMediaType(const GUID& majorType) {
    mt_.majortype = majorType;
    mt_.bFixedSizeSamples = -1;
    mt_.lSampleSize = 1;
}

void TEnumMediaType::Enumerate(const PinPtr& pin) {
    items_.clear();
    if (!pin) throw std::logic_error("IPin not assigned");
    // A capture pin lists the formats its device delivers; other pins what they carry.
    if (auto config = queryInterface<IAMStreamConfig>(pin)) {
        int count = 0;
        config->GetNumberOfCapabilities(&count);
        for (int i = 0; i < count; ++i) {
            AM_MEDIA_TYPE mt;
            if (config->GetStreamCaps(i, &mt) == S_OK) items_.emplace_back(mt);
        }
        return;
    }
    for (const std::string& caps : platform::dshow::pinCapsList(pin)) {
        AM_MEDIA_TYPE mt;
        if (mediaTypeFromCaps(caps, mt)) items_.emplace_back(mt);
    }
}

TPinList::TPinList(const FilterPtr& filter) : filter_(filter) {
    if (filter) pins_ = filter->pins();
}

PIN_INFO TPinList::PinInfo(int i) const {
    const PinPtr& p = pins_.at(size_t(i));
    return {p->direction(), p->name().substr(0, 128)};
}

TFilterList::TFilterList(const std::shared_ptr<IFilterGraph2>& graph) {
    if (graph) filters_ = graph->EnumFilters();
}

void TFilterList::Remove(const FilterPtr& f) {
    filters_.erase(std::remove(filters_.begin(), filters_.end(), f), filters_.end());
}

} // namespace media
