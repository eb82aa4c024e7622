#include "MsVideo1Blocks.h"

namespace platform::vfw::msvideo1 {

const Kernels* vectorKernels() {
    return nullptr;
}

} // namespace platform::vfw::msvideo1
