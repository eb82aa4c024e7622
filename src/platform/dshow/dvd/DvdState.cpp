// Saved DVD places and commands on their way. Any thread.
#include "platform/dshow/dvd/DvdImpl.h"

#include <cstring>

namespace platform::dshow {

namespace {

constexpr char StateTag[4] = {'T', 'V', 'D', 'B'};
constexpr uint32_t StateVersion = 1;
constexpr size_t StateSize = 4 + 4 + 16 + 4 + 4 + 8;

void putLE(std::string& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(char((v >> (8 * i)) & 0xFF));
}
uint64_t getLE(const std::string& in, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= uint64_t(static_cast<unsigned char>(in[at + i])) << (8 * i);
    return v;
}

} // namespace

HRESULT DvdState::GetDiscID(std::array<uint8_t, 16>* id) {
    if (!id) return E_POINTER;
    std::copy(disc_.begin(), disc_.end(), id->begin());
    return S_OK;
}

HRESULT DvdState::Save(std::string* bytes) {
    if (!bytes) return E_POINTER;
    std::string out(StateTag, 4);
    putLE(out, StateVersion, 4);
    out.append(reinterpret_cast<const char*>(disc_.data()), disc_.size());
    putLE(out, title_, 4);
    putLE(out, chapter_, 4);
    putLE(out, uint64_t(time_), 8);
    *bytes = std::move(out);
    return S_OK;
}

HRESULT loadDvdState(const std::string& bytes, DvdStatePtr* state) {
    if (!state) return E_POINTER;
    if (bytes.size() != StateSize || std::memcmp(bytes.data(), StateTag, 4) != 0 ||
        getLE(bytes, 4, 4) != StateVersion)
        return VFW_E_DVD_STATE_CORRUPT;
    DvdDiscId disc;
    std::memcpy(disc.data(), bytes.data() + 8, disc.size());
    const auto title = uint32_t(getLE(bytes, 24, 4));
    const auto chapter = uint32_t(getLE(bytes, 28, 4));
    const auto time = int64_t(getLE(bytes, 32, 8));
    if (title < 1 || title > 99 || chapter < 1 || chapter > 999 || time < 0)
        return VFW_E_DVD_STATE_CORRUPT;
    *state = std::make_shared<DvdState>(disc, title, chapter, time);
    return S_OK;
}

HRESULT DvdCmd::WaitForEnd() {
    std::unique_lock lock(lock_);
    if (!changed_.wait_for(lock, DvdCommandTimeout, [this] { return done_; })) return VFW_E_TIMEOUT;
    return result_;
}

void DvdCmd::finish(HRESULT h) {
    {
        std::lock_guard lock(lock_);
        if (done_) return;
        done_ = true;
        result_ = h;
    }
    changed_.notify_all();
}

} // namespace platform::dshow
