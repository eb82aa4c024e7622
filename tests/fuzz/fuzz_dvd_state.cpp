// The saved DVD place (the bytes of the bookmark's stream) read back: a state that loads must
// save to the very bytes it came from.
#include "platform/dshow/dvd/DvdImpl.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace platform::dshow;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    DvdStatePtr state;
    if (loadDvdState(bytes, &state) != S_OK) return 0;
    auto persist = queryInterface<IPersistStream>(state);
    std::string saved;
    if (!persist || persist->Save(&saved) != S_OK || saved != bytes) std::abort();
    return 0;
}
