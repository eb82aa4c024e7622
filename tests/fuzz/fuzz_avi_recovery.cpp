// The recovery of an interrupted recording over any bytes as the leftover file: libavformat
// reads it without an index; our code picks the streams, checks each picture and copies the
// whole samples into a new file.
#include "FuzzSupport.h"
#include "platform/vfw/AviRecovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string damaged = fuzzsupport::scratchFile("VideoTemp.avi", data, size);
    const std::string repaired = (fuzzsupport::scratchDir() / "recovered.avi").string();
    platform::vfw::RecoveredAvi result;
    std::string error;
    // With silence to add, as the voice's file is recovered.
    platform::vfw::recoverAvi(damaged, repaired, &result, &error, 1.0);
    return 0;
}
