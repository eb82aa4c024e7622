#include "FileChecks.h"

#include "platform/dshow/timeline/Timeline.h"
#include "platform/vfw/OutputFile.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

namespace tools {

using namespace platform::dshow;

namespace {

// The picture kinds the AVI writer takes as they are, by the detector's caps.
bool carried(const std::string& caps) {
    static const std::regex kinds("^(video/mpeg, mpegversion=\\(int\\)4|video/x-xvid|"
                                  "video/x-divx, divxversion=\\(int\\)[45]|image/jpeg|"
                                  "video/x-h264|video/x-msvideocodec|"
                                  "video/x-raw, format=\\(string\\)(BGR|BGRx|BGRA)\\b)\\b");
    return std::regex_search(caps, kinds);
}

long capsField(const std::string& caps, const char* field) {
    std::smatch m;
    if (std::regex_search(caps, m, std::regex(std::string(field) + "=\\(int\\)(\\d+)")))
        return std::stol(m[1]);
    return 0;
}

// An AVI whose first RIFF chunk claims more bytes than the file has was cut short.
bool aviCutShort(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    unsigned char head[12] = {};
    if (!in.read(reinterpret_cast<char*>(head), sizeof head)) return false;
    if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "AVI ", 4) != 0) return false;
    const uint64_t riff = uint64_t(head[4]) | uint64_t(head[5]) << 8 | uint64_t(head[6]) << 16 |
                          uint64_t(head[7]) << 24;
    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(file, ec);
    return !ec && size < riff + 8;
}

uint32_t le32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

bool isAviFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    unsigned char head[12] = {};
    return in.read(reinterpret_cast<char*>(head), sizeof head) &&
           std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "AVI ", 4) == 0;
}

bool aviIndexOutsideFile(const std::string& file) {
    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(file, ec);
    std::ifstream in(file, std::ios::binary);
    if (ec || !in || !isAviFile(file)) return false;
    // The top-level chunks of the first RIFF: where the data list starts, and the index.
    uint64_t at = 12, movi = 0;
    unsigned char head[12];
    while (at + 8 <= size) {
        in.seekg(std::streamoff(at));
        if (!in.read(reinterpret_cast<char*>(head), 12)) break;
        const uint64_t length = le32(head + 4);
        if (std::memcmp(head, "LIST", 4) == 0 && std::memcmp(head + 8, "movi", 4) == 0)
            movi = at + 8;
        if (std::memcmp(head, "idx1", 4) == 0 && movi > 0) {
            // Entries of 16 bytes: id, flags, offset, size. The offset counts from the data
            // list's type word, or from the file's start (both are in use).
            in.seekg(std::streamoff(at + 8));
            unsigned char entry[16];
            bool first = true;
            uint64_t base = movi;
            for (uint64_t done = 0;
                 done + 16 <= length && in.read(reinterpret_cast<char*>(entry), 16); done += 16) {
                const uint64_t offset = le32(entry + 8), bytes = le32(entry + 12);
                if (first) base = offset >= movi ? 0 : movi;
                first = false;
                if (base + offset + 8 + bytes > size) return true;
            }
            return false;
        }
        at += 8 + length + (length & 1);
    }
    return false;
}

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (std::filesystem::equivalent(a, b, ec)) return true;
    const auto x = std::filesystem::weakly_canonical(std::filesystem::absolute(a, ec), ec);
    const auto y = std::filesystem::weakly_canonical(std::filesystem::absolute(b, ec), ec);
    return x == y;
}

FileFacts examine(const std::string& file) {
    FileFacts f;
    std::error_code ec;
    f.exists = std::filesystem::is_regular_file(file, ec);
    if (!f.exists) return f;
    f.cutShort = aviCutShort(file);
    auto det = createMediaDet();
    long count = 0;
    if (!det || FAILED(det->put_Filename(file)) || FAILED(det->get_OutputStreams(&count))) return f;
    for (long i = 0; i < count; ++i) {
        GUID type = GUID_NULL;
        if (FAILED(det->put_CurrentStream(i)) || FAILED(det->get_StreamType(&type))) continue;
        std::string caps;
        det->get_StreamCaps(&caps);
        if (type == MEDIATYPE_Audio) {
            if (!f.hasAudio)
                f.soundCarried =
                    // A WAV file of plain PCM is told by its container's kind.
                    std::regex_search(caps, std::regex("^audio/x-(raw|wav)\\b")) ||
                    (std::regex_search(caps, std::regex("^audio/mpeg, ")) &&
                     std::regex_search(caps, std::regex("\\bmpegversion=\\(int\\)1\\b")) &&
                     std::regex_search(caps, std::regex("\\blayer=\\(int\\)3\\b")));
            f.hasAudio = true;
        }
        if (type != MEDIATYPE_Video) continue;
        if (!f.hasVideo) {
            f.videoCarried = carried(caps);
            f.width = capsField(caps, "width");
            f.height = capsField(caps, "height");
        }
        f.hasVideo = true;
    }
    return f;
}

std::string refuseOutputs(const std::vector<std::string>& inputs,
                          const std::vector<std::string>& outputs) {
    for (size_t i = 0; i < outputs.size(); ++i) {
        for (const std::string& in : inputs)
            if (sameFile(in, outputs[i]))
                return "The output file \"" + outputs[i] + "\" is the input \"" + in +
                       "\": choose another name.";
        for (size_t j = 0; j < i; ++j)
            if (sameFile(outputs[j], outputs[i]))
                return "Both outputs name the file \"" + outputs[i] + "\": choose two names.";
    }
    for (const std::string& out : outputs) {
        std::string why;
        if (!platform::vfw::checkWritable(out, &why))
            return "Cannot write \"" + out + "\": " + why + ".";
    }
    return {};
}

std::string refuseUnreadable(const std::string& file) {
    const HRESULT h = mediaFileNameError(file);
    if (h == S_OK || h == E_FILE_NOT_FOUND) return {};
    return "Cannot read \"" + file + "\": " + graphErrorText(h);
}

std::string refuseMissing(const std::string& file, const FileFacts& facts) {
    if (std::string why = refuseUnreadable(file); !why.empty()) return why;
    if (!facts.exists) return "The file \"" + file + "\" does not exist.";
    if (facts.cutShort) return "The file \"" + file + "\" is cut short.";
    return {};
}

} // namespace tools
