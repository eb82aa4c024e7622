#include "TBaseFilter.h"

#include <cstring>

namespace media {

namespace {

void putGuid(std::vector<uint8_t>& out, const GUID& g) {
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(g.d1 >> (8 * i)));
    for (int i = 0; i < 2; ++i)
        out.push_back(uint8_t(g.d2 >> (8 * i)));
    for (int i = 0; i < 2; ++i)
        out.push_back(uint8_t(g.d3 >> (8 * i)));
    out.insert(out.end(), g.d4, g.d4 + 8);
}

GUID getGuid(const uint8_t* p) {
    GUID g;
    g.d1 = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    g.d2 = uint16_t(p[4] | p[5] << 8);
    g.d3 = uint16_t(p[6] | p[7] << 8);
    std::memcpy(g.d4, p + 8, 8);
    return g;
}

void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(v >> (8 * i)));
}

uint32_t getU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// UTF-8 to UTF-16LE code units and back (display names are mostly ASCII, but device names
// need not be).
std::u16string toUtf16(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        uint32_t c = uint8_t(s[i]);
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        c &= extra == 0 ? 0x7F : extra == 1 ? 0x1F : extra == 2 ? 0x0F : 0x07;
        for (int k = 1; k <= extra && i + k < s.size(); ++k)
            c = c << 6 | (uint8_t(s[i + k]) & 0x3F);
        i += size_t(extra) + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(char16_t(0xD800 | (c >> 10)));
            out.push_back(char16_t(0xDC00 | (c & 0x3FF)));
        } else {
            out.push_back(char16_t(c));
        }
    }
    return out;
}

std::string toUtf8(const std::u16string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size())
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | c >> 6);
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | c >> 12);
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | c >> 18);
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace

TSysDevEnum::TSysDevEnum(const GUID& category) {
    for (const auto& d :
         platform::dshow::enumerateCategory(platform::dshow::CLSID_ActiveMovieCategories))
        categories_.push_back({d.friendlyName, d.clsid});
    SelectCategory(category);
}

void TSysDevEnum::SelectCategory(const GUID& category) {
    category_ = category;
    entries_.clear();
    for (const auto& d : platform::dshow::enumerateCategory(category))
        entries_.push_back({d.friendlyName.substr(0, 255), d.clsid, d.systemDefault});
}

DeviceEntry TSysDevEnum::Item(int i) const {
    return i >= 0 && i < Count() ? entries_[size_t(i)] : DeviceEntry{};
}

MonikerPtr TSysDevEnum::GetMoniker(int i) const {
    if (i < 0 || i >= Count()) return nullptr;
    const auto now = platform::dshow::enumerateCategory(category_);
    if (size_t(i) >= now.size()) return nullptr;
    return std::make_shared<TMoniker>(TMoniker{now[size_t(i)].displayName});
}

FilterPtr TSysDevEnum::GetBaseFilter(int i) const {
    MonikerPtr m = GetMoniker(i);
    return m ? platform::dshow::bindDisplayName(m->displayName) : nullptr;
}

MonikerPtr TBaseFilter::Moniker() const {
    if (block_.size() < 20) return nullptr;
    if (!(getGuid(block_.data()) == platform::dshow::CLSID_DeviceMoniker)) return nullptr;
    const uint32_t count = getU32(block_.data() + 16);
    if (count % 2 || count > block_.size() - 20) return nullptr;
    std::u16string name;
    for (uint32_t k = 0; k + 1 < count; k += 2) {
        const char16_t c = char16_t(block_[20 + k] | block_[21 + k] << 8);
        if (c == 0) break;
        name.push_back(c);
    }
    return std::make_shared<TMoniker>(TMoniker{toUtf8(name)});
}

void TBaseFilter::setMoniker(const MonikerPtr& m) {
    block_.clear();
    if (!m) return;
    putGuid(block_, platform::dshow::CLSID_DeviceMoniker);
    const std::u16string name = toUtf16(m->displayName);
    putU32(block_, uint32_t(2 * (name.size() + 1)));
    for (char16_t c : name) {
        block_.push_back(uint8_t(c));
        block_.push_back(uint8_t(c >> 8));
    }
    block_.push_back(0);
    block_.push_back(0);
}

FilterPtr TBaseFilter::CreateFilter(std::string* error) const {
    MonikerPtr m = Moniker();
    if (!m) {
        if (error)
            *error = block_.empty() ? "no device or codec is chosen"
                                    : "the stored device name is damaged";
        return nullptr;
    }
    return platform::dshow::bindDisplayName(m->displayName, error);
}

std::vector<uint8_t> TBaseFilter::writeData() const {
    std::vector<uint8_t> out;
    putU32(out, uint32_t(block_.size()));
    out.insert(out.end(), block_.begin(), block_.end());
    return out;
}

bool TBaseFilter::readData(const std::vector<uint8_t>& data) {
    block_.clear();
    if (data.size() < 4) return false;
    const uint32_t n = getU32(data.data());
    if (n > data.size() - 4) return false;
    block_.assign(data.begin() + 4, data.begin() + 4 + n);
    return true;
}

TFilter::TFilter(std::string name) : name_(std::move(name)) {}

TFilter::~TFilter() {
    setFilterGraph(nullptr);
}

void TFilter::setFilterGraph(TFilterGraph* g) {
    if (g == graph_) return;
    if (graph_) graph_->detachProvider(this);
    graph_ = g;
    if (graph_) graph_->attachProvider(this);
}

void TFilter::NotifyFilter(TFilterOperation operation, int) {
    switch (operation) {
    case foAdding:
        bindError_.clear();
        live_ = BaseFilter.CreateFilter(&bindError_);
        break;
    case foAdded:
        break;
    case foRemoving:
        if (live_) {
            const FILTER_STATE state = live_->state();
            if (state == State_Paused || state == State_Running) live_->Stop();
        }
        break;
    case foRemoved:
        live_.reset();
        break;
    case foRefresh:
        if (TFilterGraph* g = graph_) {
            g->detachProvider(this);
            g->attachProvider(this);
        }
        break;
    }
}

void TFilter::GraphDestroyed(TFilterGraph* graph) {
    if (graph == graph_) graph_ = nullptr;
}

} // namespace media
