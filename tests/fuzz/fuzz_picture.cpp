// The picture loading of images-to-AVI: QImageReader with its allocation limit over any bytes,
// then the frame the picture becomes. A picture that cannot be read is refused with a message.
#include "FuzzSupport.h"
#include "avi/ImagesToAvi.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // No extension: QImageReader tells the format from the bytes, as it does for a picture
    // whose name does not match its contents.
    const std::string path = fuzzsupport::scratchFile("picture", data, size);
    QImage picture;
    try {
        picture = avi::loadPicture(path);
    } catch (const avi::EAviWriter&) {
        return 0;
    }
    const QImage frame = avi::pictureFrame(picture);
    if (frame.size() != picture.size() || frame.format() != QImage::Format_RGB888) std::abort();
    return 0;
}
