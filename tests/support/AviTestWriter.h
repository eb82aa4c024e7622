// A video stream written through the AVI file service as the screen engine writes it: the
// file, its plain stream, and the compressed stream over it with the given FourCC, a key frame
// every 5 pictures and quality 6550; the format set from a first picture when one is given.
// Anything that fails leaves the later members empty and says why in error. Header only: the
// test that includes it links the AVI file service.
#pragma once

#include "platform/screen/Dib.h"
#include "platform/vfw/AviFile.h"

#include <memory>
#include <string>

namespace testsupport {

struct AviTestWriter {
    std::shared_ptr<platform::vfw::AviFile> file;
    std::shared_ptr<platform::vfw::AviStream> plain, stream;
    std::string error;

    AviTestWriter(const std::string& path, int w, int h, uint32_t rate, uint32_t fourcc,
                  const platform::screen::PackedDib* format) {
        file = platform::vfw::AviFile::open(
            path, platform::vfw::OF_WRITE | platform::vfw::OF_CREATE, &error);
        if (!file) return;
        platform::vfw::AviStreamInfo info;
        info.fccType = platform::vfw::streamtypeVIDEO;
        info.scale = 1;
        info.rate = rate;
        info.frame = {0, 0, w, h};
        plain = file->createStream(info, &error);
        platform::vfw::AviCompressOptions o;
        o.fccType = platform::vfw::streamtypeVIDEO;
        o.fccHandler = fourcc;
        o.keyFrameEvery = 5;
        o.quality = 6550;
        o.flags = platform::vfw::AVICOMPRESSF_KEYFRAMES | platform::vfw::AVICOMPRESSF_VALID;
        if (plain) stream = platform::vfw::makeCompressedStream(plain, o, &error);
        if (stream && format && !stream->setFormat(format->data(), format->formatSize(), &error))
            stream.reset();
    }
};

} // namespace testsupport
