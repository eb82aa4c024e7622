// The AVI stream header reader of the media information, over any bytes: the whole input is
// the head of a file, and the file is taken once as exactly that long and once as longer (a
// head read from a bigger file), as readAviHeaders passes it.
#include "platform/dshow/base/AviHeaders.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace platform::dshow;
    for (const uint64_t fileSize : {uint64_t(size), uint64_t(size) + (1u << 30)}) {
        AviHeaders headers;
        if (!parseAviHeaders(data, size, fileSize, &headers)) continue;
        // What a caller relies on once the headers parse.
        if (headers.streams.size() > MaxAviStreams) std::abort();
        for (const AviStreamHeader& s : headers.streams) {
            if (s.type == makeFourCC('v', 'i', 'd', 's') && s.format.size() < 40) std::abort();
            if (s.type == makeFourCC('a', 'u', 'd', 's') && s.format.size() < 18) std::abort();
        }
    }
    return 0;
}
