#include "ImagesToAvi.h"

#include "platform/vfw/OutputFile.h"

#include <QImageReader>
#include <QPainter>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

namespace avi {

namespace {

bool sameFile(const std::string& a, const std::string& b) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::equivalent(a, b, ec)) return true;
    const auto x = fs::weakly_canonical(fs::absolute(a, ec), ec);
    const auto y = fs::weakly_canonical(fs::absolute(b, ec), ec);
    return x == y;
}

} // namespace

std::vector<std::string> pictureExtensions() {
    // Vector pictures and metafiles are drawings, not pictures of a size.
    static const std::set<std::string> drawings = {"svg", "svgz", "emf", "wmf", "pdf"};
    std::vector<std::string> out;
    for (const QByteArray& format : QImageReader::supportedImageFormats()) {
        const std::string ext = format.toLower().toStdString();
        if (!drawings.count(ext) && std::find(out.begin(), out.end(), ext) == out.end())
            out.push_back(ext);
    }
    return out;
}

std::string pictureFilter() {
    const std::vector<std::string> extensions = pictureExtensions();
    std::string patterns;
    for (const std::string& ext : extensions)
        patterns += (patterns.empty() ? "*." : ";*.") + ext;
    std::string filter = "All pictures (" + patterns + ")|" + patterns;
    for (const std::string& ext : extensions) {
        std::string upper = ext;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return char(std::toupper(c)); });
        filter += "|" + upper + " (*." + ext + ")|*." + ext;
    }
    return filter;
}

QImage loadPicture(const std::string& path) {
    QImageReader reader(QString::fromStdString(path));
    reader.setAutoTransform(true);
    QImage picture = reader.read();
    if (picture.isNull())
        throw EAviWriter("Cannot load the picture " + path + ": " +
                         reader.errorString().toStdString());
    return picture;
}

QImage pictureFrame(const QImage& picture) {
    QImage bitmap(picture.size(), QImage::Format_RGB888);
    bitmap.fill(Qt::black);
    {
        QPainter painter(&bitmap);
        painter.drawImage(0, 0, picture);
    }
    return bitmap;
}

std::string refuseOutput(const std::vector<std::string>& pictures, const std::string& output) {
    for (const std::string& picture : pictures)
        if (sameFile(picture, output))
            return "The output file " + output +
                   " is one of the listed pictures; choose another name for the AVI file.";
    if (std::string why; !platform::vfw::checkWritable(output, &why))
        return "Cannot write " + output + ": " + why;
    return {};
}

int writeImages(TAviWriter_2& writer, const ImagesSettings& settings,
                const std::function<void(int done)>& progress, const std::atomic<bool>* stop) {
    writer.filename = settings.output;
    writer.setPixelFormat(settings.pixelFormat);
    // The size before the compressor, so that it is asked about the frames it will get (a
    // size it refuses is told here, before any file is touched).
    writer.setWidth(settings.width);
    writer.setHeight(settings.height);
    writer.SetCompressor("XVID");
    writer.FrameTime = settings.frameTime;
    writer.Stretch = settings.stretch;
    int written = 0;
    try {
        for (size_t i = 0; i < settings.pictures.size(); ++i) {
            if (stop && stop->load() && written > 0) break;
            if (stop && stop->load()) {
                // Stopped before the first frame: there is nothing to keep.
                writer.CloseOutput();
                return 0;
            }
            const QImage bitmap = pictureFrame(loadPicture(settings.pictures[i]));
            if (i == 0) writer.InitVideo(bitmap);
            writer.AddFrame(bitmap);
            written = int(i + 1);
            if (progress) progress(written);
        }
        writer.FinalizeVideo();
        writer.WriteOutput();
    } catch (...) {
        // What was written stays on disk as a closed file of its frames.
        writer.CloseOutput();
        throw;
    }
    return written;
}

} // namespace avi
