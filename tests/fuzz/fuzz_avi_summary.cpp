// The summary of an AVI file that the edit jobs and the recorder's checks read (streams, sizes,
// rate, lengths, pictures with data), and the check for any sample, over any bytes as the file.
#include "FuzzSupport.h"
#include "platform/vfw/AviFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzzsupport::scratchFile("input.avi", data, size);
    platform::vfw::AviSummary summary;
    std::string error;
    platform::vfw::readAviSummary(path, &summary, &error);
    platform::vfw::aviFileHasSamples(path);
    return 0;
}
