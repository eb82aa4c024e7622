// A DVD bookmark file as the DVD window reads it: the compound file's "BookMark" stream, then
// the saved place in it.
#include "FuzzSupport.h"
#include "platform/dshow/dvd/DvdImpl.h"
#include "platform/storage/CompoundFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzzsupport::scratchFile("bookmark.bin", data, size);
    std::string bytes, error;
    if (platform::storage::readCompoundStream(path, "BookMark", &bytes, &error) !=
        platform::storage::ReadStatus::Ok)
        return 0;
    platform::dshow::DvdStatePtr state;
    platform::dshow::loadDvdState(bytes, &state);
    return 0;
}
