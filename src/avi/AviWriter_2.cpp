#include "AviWriter_2.h"

#include "platform/vfw/OutputFile.h"

#include "platform/vfw/Compressor.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace avi {

namespace vfw = platform::vfw;
using platform::screen::BitmapInfoHeader;
using platform::screen::PackedDib;

namespace {

// The AVI file service's result codes for what can go wrong here.
constexpr uint32_t AVIERR_FILEOPEN = 0x8004406D;
constexpr uint32_t AVIERR_ERROR = 0x800440C7; // a fault inside the call

std::string hex8(uint32_t code) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", code);
    return text;
}

// The user's message, and on a second line what the service said, naming the file.
std::string withDetail(const std::string& message, const std::string& detail) {
    return detail.empty() ? message : message + "\n" + detail;
}

BitmapInfoHeader headerFor(int width, int height, int bits) {
    BitmapInfoHeader h;
    h.biWidth = width;
    h.biHeight = height;
    h.biBitCount = uint16_t(bits);
    h.biSizeImage = uint32_t(platform::screen::dibRowStride(width, bits) * height);
    return h;
}

int screenSide(bool width) {
    const auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    const QScreen* screen = app ? QGuiApplication::primaryScreen() : nullptr;
    if (!screen) return 0; // no screen: the user of the writer sets the size
    const QSize size = screen->size();
    return ((width ? size.width() : size.height()) / 10) & ~15;
}

int squaredDistance(QRgb a, QRgb b) {
    const int r = qRed(a) - qRed(b), g = qGreen(a) - qGreen(b), bl = qBlue(a) - qBlue(b);
    return r * r + g * g + bl * bl;
}

// The palette entry nearest to c.
int nearestIndex(QRgb c, const std::vector<QRgb>& palette, int bits) {
    const int luma = (qRed(c) * 299 + qGreen(c) * 587 + qBlue(c) * 114) / 1000;
    // Black or white by brightness: a bright green is white, not the black its RGB distance
    // would choose.
    if (bits == 1) return luma >= 128 ? 1 : 0;
    if (bits == 8) {
        // The cube's nearest, then the nearest grey, whichever is closer.
        const auto level = [](int v) { return (v + 25) / 51; };
        const int cube = level(qRed(c)) * 36 + level(qGreen(c)) * 6 + level(qBlue(c));
        const int grey = 216 + (luma * 39 + 127) / 255;
        return squaredDistance(c, palette[size_t(grey)]) < squaredDistance(c, palette[size_t(cube)])
                   ? grey
                   : cube;
    }
    int best = 0, bestDistance = INT32_MAX;
    for (size_t i = 0; i < palette.size(); ++i) {
        const int d = squaredDistance(c, palette[i]);
        if (d < bestDistance) {
            bestDistance = d;
            best = int(i);
        }
    }
    return best;
}

} // namespace

int bitsOf(TPixelFormat format) {
    switch (format) {
    case TPixelFormat::pf1bit:
        return 1;
    case TPixelFormat::pf4bit:
        return 4;
    case TPixelFormat::pf8bit:
        return 8;
    case TPixelFormat::pf24bit:
        return 24;
    case TPixelFormat::pf32bit:
        return 32;
    default:
        return 0;
    }
}

TPixelFormat pixelFormatOfBits(int bits) {
    switch (bits) {
    case 1:
        return TPixelFormat::pf1bit;
    case 4:
        return TPixelFormat::pf4bit;
    case 8:
        return TPixelFormat::pf8bit;
    case 24:
        return TPixelFormat::pf24bit;
    case 32:
        return TPixelFormat::pf32bit;
    default:
        return TPixelFormat::pfCustom;
    }
}

int keyFrameEveryFor(int frameTime) {
    if (frameTime <= 0) return 1;
    // nearbyint rounds in the current mode, ties to even by default: 2.5 gives 2.
    return int(std::nearbyint(1000.0 / frameTime));
}

std::vector<QRgb> fixedPalette(int bits) {
    switch (bits) {
    case 1:
        return {qRgb(0, 0, 0), qRgb(255, 255, 255)};
    case 4:
        return {qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
                qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
                qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
                qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
    case 8: {
        std::vector<QRgb> p;
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b)
                    p.push_back(qRgb(r * 51, g * 51, b * 51));
        for (int i = 0; i < 40; ++i) {
            const int v = (i * 255 + 19) / 39;
            p.push_back(qRgb(v, v, v));
        }
        return p;
    }
    default:
        return {};
    }
}

TAviWriter_2::TAviWriter_2() : width_(screenSide(true)), height_(screenSide(false)) {}

TAviWriter_2::~TAviWriter_2() {
    CloseOutput();
}

void TAviWriter_2::setPixelFormat(TPixelFormat format) {
    if (bitsOf(format) == 0) throw EAviWriter("Pixelformat not supported");
    pixelFormat_ = format;
}

void TAviWriter_2::SetCompressor(const std::string& fourCC) {
    const std::string code = fourCC.substr(0, 4);
    auto compressor = vfw::VideoCompressor::find(vfw::stringToFourCC(code));
    std::string why;
    if (!compressor || !compressor->accepts(headerFor(width_, height_, bitsOf(pixelFormat_)), &why))
        throw EAviWriter(withDetail("No compressor for " + code + " available", why));
    CompressorFourCC = code;
}

void TAviWriter_2::InitVideo(const QImage&) {
    // Checked before any file is touched: a frame time of 0 would give a stream without a
    // rate, a side under 16 rounds to nothing, and the size may have changed since the
    // compressor was chosen.
    if (FrameTime <= 0)
        throw EAviWriter("The frame time must be above 0 ms, not " + std::to_string(FrameTime));
    if (width_ < 16 || height_ < 16)
        throw EAviWriter("The frame size must be at least 16 x 16 pixels, not " +
                         std::to_string(width_) + " x " + std::to_string(height_));
    {
        auto compressor = vfw::VideoCompressor::find(vfw::stringToFourCC(CompressorFourCC));
        std::string why;
        if (!compressor ||
            !compressor->accepts(headerFor(width_, height_, bitsOf(pixelFormat_)), &why))
            throw EAviWriter(
                withDetail("No compressor for " + CompressorFourCC + " available", why));
    }

    CloseOutput();
    std::error_code ec;
    // A folder of that name is never removed to make room.
    if (std::filesystem::is_directory(std::filesystem::symlink_status(filename, ec)))
        throw EAviWriter(
            withDetail("Failed to create AVI video file. Err: $" + hex8(AVIERR_FILEOPEN),
                       filename + " is a folder"));
    // Nor a link, a device or a pipe: only a regular file is replaced.
    if (std::string why; !vfw::checkWritable(filename, &why))
        throw EAviWriter(
            withDetail("Failed to create AVI video file. Err: $" + hex8(AVIERR_FILEOPEN),
                       filename + ": " + why));
    if (std::filesystem::exists(std::filesystem::symlink_status(filename, ec)) &&
        !std::filesystem::remove(filename, ec))
        throw EAviWriter("Could not delete " + filename +
                         " file might be in use. Try to close the folder if it's open in Explorer");

    std::string why;
    file_ = vfw::AviFile::open(filename, vfw::OF_WRITE | vfw::OF_CREATE, &why);
    if (!file_)
        throw EAviWriter(
            withDetail("Failed to create AVI video file. Err: $" + hex8(AVIERR_FILEOPEN), why));

    vfw::AviStreamInfo info;
    info.fccType = vfw::streamtypeVIDEO;
    info.fccHandler = vfw::stringToFourCC(CompressorFourCC);
    info.scale = uint32_t(FrameTime);
    info.rate = 1000;
    info.quality = uint32_t(CompressionQuality);
    info.suggestedBufferSize = 0;
    info.frame = {0, 0, width_, height_};
    videoStream_ = file_->createStream(info, &why);
    if (!videoStream_) fail(withDetail("Failed to create AVI video stream", why));

    FrameCounter = 0;
    Initialized = true;
    Finalized = false;
}

PackedDib TAviWriter_2::drawFrame(const QImage& bitmap) const {
    QImage canvas(width_, height_, QImage::Format_RGB32);
    canvas.fill(Qt::black);
    {
        QPainter painter(&canvas);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        if (Stretch)
            painter.drawImage(QRect(0, 0, width_, height_), bitmap);
        else
            painter.drawImage(
                QPoint((width_ - bitmap.width()) / 2, (height_ - bitmap.height()) / 2), bitmap);
    }
    const int bits = bitsOf(pixelFormat_);
    PackedDib dib = PackedDib::create(width_, height_, bits);
    if (!dib.valid() || canvas.isNull())
        throw EAviWriter("Failed to retrieve bitmap header and pixels. Err: " +
                         std::to_string(ENOMEM));
    const std::vector<QRgb> palette = fixedPalette(bits);
    for (size_t i = 0; i < palette.size(); ++i)
        dib.colourTable()[i] = {uint8_t(qBlue(palette[i])), uint8_t(qGreen(palette[i])),
                                uint8_t(qRed(palette[i])), 0};
    for (int y = 0; y < height_; ++y) {
        const auto* from = reinterpret_cast<const QRgb*>(canvas.constScanLine(y));
        uint8_t* to = dib.rowFromTop(y);
        switch (bits) {
        case 32:
            // Format_RGB32 words are the bytes blue, green, red, 0xFF in memory.
            std::memcpy(to, from, size_t(width_) * 4);
            break;
        case 24:
            for (int x = 0; x < width_; ++x) {
                to[3 * x] = uint8_t(qBlue(from[x]));
                to[3 * x + 1] = uint8_t(qGreen(from[x]));
                to[3 * x + 2] = uint8_t(qRed(from[x]));
            }
            break;
        default:
            for (int x = 0; x < width_; ++x) {
                const int index = nearestIndex(from[x], palette, bits);
                const int bit = x * bits;
                to[bit / 8] |= uint8_t(index << (8 - bits - bit % 8));
            }
            break;
        }
    }
    return dib;
}

void TAviWriter_2::AddFrame(const QImage& bitmap) {
    if (!Initialized) throw EAviWriter("Video must be initialized.");
    PackedDib dib;
    try {
        dib = drawFrame(bitmap);
    } catch (const EAviWriter& e) {
        fail(e.what());
    }
    writeFrame(dib);
}

void TAviWriter_2::writeFrame(const PackedDib& dib) {
    if (FrameCounter == 0) setStreamFormat(dib);
    std::string why;
    if (!compressedStream_->write(FrameCounter, dib.bits(), dib.imageSize(), vfw::AVIIF_KEYFRAME,
                                  &why))
        fail(withDetail("Failed to add Frame. Err: " + hex8(AVIERR_ERROR), why));
    ++FrameCounter;
}

void TAviWriter_2::setStreamFormat(const PackedDib& dib) {
    formatBlock_.assign(dib.data(), dib.data() + dib.formatSize());
    vfw::releaseCompressOptions(options_);
    options_ = {};
    options_.fccType = vfw::streamtypeVIDEO;
    options_.fccHandler = vfw::stringToFourCC(CompressorFourCC);
    options_.keyFrameEvery = uint32_t(keyFrameEveryFor(FrameTime));
    options_.quality = uint32_t(CompressionQuality);
    options_.bytesPerSecond = 0;
    options_.flags = vfw::AVICOMPRESSF_KEYFRAMES | vfw::AVICOMPRESSF_VALID;
    options_.format = formatBlock_.data();
    options_.formatSize = uint32_t(formatBlock_.size());
    std::string why;
    compressedStream_ = vfw::makeCompressedStream(videoStream_, options_, &why);
    if (!compressedStream_) fail(withDetail("Failed to create compressed stream", why));
    if (!compressedStream_->setFormat(formatBlock_.data(), formatBlock_.size(), &why))
        fail(withDetail("Failed to set AVI stream format", why));
}

void TAviWriter_2::FinalizeVideo() {
    Initialized = false;
    Finalized = true;
}

void TAviWriter_2::WriteOutput() {
    if (!Finalized) {
        CloseOutput();
        throw EAviWriter("Video must be finalized");
    }
    const auto status = file_ ? file_->status() : nullptr;
    const std::string path = file_ ? file_->path() : filename;
    CloseOutput();
    // The file is finished when the last handle goes; a failure there (a full disk) is not
    // a complete file.
    if (status && status->finished && !status->ok)
        throw EAviWriter("Failed to write " + path + "\n" + status->error);
}

void TAviWriter_2::CloseOutput() {
    compressedStream_.reset();
    videoStream_.reset();
    file_.reset();
    vfw::releaseCompressOptions(options_);
    Initialized = false;
    Finalized = false;
}

void TAviWriter_2::fail(const std::string& message) {
    CloseOutput();
    throw EAviWriter(message);
}

} // namespace avi
