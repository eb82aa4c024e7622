#include "platform/dshow/base/AviHeaders.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::dshow {

namespace {

constexpr uint32_t RIFF = makeFourCC('R', 'I', 'F', 'F');
constexpr uint32_t AVI_ = makeFourCC('A', 'V', 'I', ' ');
constexpr uint32_t LIST = makeFourCC('L', 'I', 'S', 'T');
constexpr uint32_t hdrl = makeFourCC('h', 'd', 'r', 'l');
constexpr uint32_t movi = makeFourCC('m', 'o', 'v', 'i');
constexpr uint32_t strl = makeFourCC('s', 't', 'r', 'l');
constexpr uint32_t avih = makeFourCC('a', 'v', 'i', 'h');
constexpr uint32_t strh = makeFourCC('s', 't', 'r', 'h');
constexpr uint32_t strf = makeFourCC('s', 't', 'r', 'f');
constexpr uint32_t idx1 = makeFourCC('i', 'd', 'x', '1');
constexpr uint32_t vids = makeFourCC('v', 'i', 'd', 's');
constexpr uint32_t auds = makeFourCC('a', 'u', 'd', 's');

// Chunks looked at before the header list (a writer may put padding first); a file with more
// is not read further.
constexpr int MaxChunksBeforeHeaders = 16;
constexpr size_t AvihSize = 56, StrhMinSize = 48, BitmapHeaderSize = 40, WaveFormatSize = 16,
                 WaveFormatExSize = 18;

uint32_t u32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t u16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

// One chunk inside [data, data + end): its id, its payload and where the next chunk starts.
struct Chunk {
    uint32_t id = 0;
    const uint8_t* payload = nullptr;
    size_t size = 0;
    size_t next = 0;
};

// The chunk at pos; false when its header or payload runs past end. A missing pad byte after
// the last chunk of a list is forgiven (the next chunk then starts at end).
bool chunkAt(const uint8_t* data, size_t pos, size_t end, Chunk* c) {
    if (pos > end || end - pos < 8) return false;
    const uint64_t size = u32(data + pos + 4);
    const uint64_t payloadEnd = uint64_t(pos) + 8 + size;
    if (payloadEnd > end) return false;
    c->id = u32(data + pos);
    c->payload = data + pos + 8;
    c->size = size_t(size);
    c->next = size_t(std::min<uint64_t>(payloadEnd + (size & 1), end));
    return true;
}

bool parseStreamList(const uint8_t* data, size_t size, AviStreamHeader* out) {
    bool haveHeader = false, haveFormat = false;
    for (size_t pos = 0; pos < size;) {
        Chunk c;
        if (!chunkAt(data, pos, size, &c)) return false;
        if (c.id == strh && !haveHeader) {
            if (c.size < StrhMinSize) return false;
            out->type = u32(c.payload);
            out->handler = u32(c.payload + 4);
            out->flags = u32(c.payload + 8);
            out->scale = u32(c.payload + 20);
            out->rate = u32(c.payload + 24);
            out->start = u32(c.payload + 28);
            out->length = u32(c.payload + 32);
            out->sampleSize = u32(c.payload + 44);
            haveHeader = true;
        } else if (c.id == strf && !haveFormat) {
            out->format.assign(c.payload, c.payload + c.size);
            haveFormat = true;
        }
        // Anything else (names, super indexes, padding, lists nested inside) is not needed.
        pos = c.next;
    }
    if (!haveHeader) return false;
    std::vector<uint8_t>& f = out->format;
    if (out->type == vids) {
        if (!haveFormat || f.size() < BitmapHeaderSize) return false;
    } else if (out->type == auds) {
        if (!haveFormat || f.size() < WaveFormatSize) return false;
        if (f.size() < WaveFormatExSize) {
            f.resize(WaveFormatExSize, 0);
        } else {
            // The extra bytes the format claims, never more than it holds.
            const size_t extra = std::min<size_t>(u16(f.data() + 16), f.size() - WaveFormatExSize);
            f[16] = uint8_t(extra);
            f[17] = uint8_t(extra >> 8);
        }
    }
    return true;
}

// The header list's payload (after its 'hdrl' type).
bool parseHeaderList(const uint8_t* data, size_t size, AviHeaders* out) {
    AviHeaders h;
    bool haveMain = false;
    for (size_t pos = 0; pos < size;) {
        Chunk c;
        if (!chunkAt(data, pos, size, &c)) return false;
        if (c.id == avih && !haveMain) {
            if (c.size < AvihSize) return false;
            h.microSecPerFrame = u32(c.payload);
            h.width = u32(c.payload + 32);
            h.height = u32(c.payload + 36);
            haveMain = true;
        } else if (c.id == LIST && c.size >= 4 && u32(c.payload) == strl) {
            if (h.streams.size() >= MaxAviStreams) return false;
            AviStreamHeader s;
            if (!parseStreamList(c.payload + 4, c.size - 4, &s)) return false;
            h.streams.push_back(std::move(s));
        }
        pos = c.next;
    }
    if (!haveMain) return false;
    *out = std::move(h);
    return true;
}

// Where the header list lies: its payload's offset and size. look(offset, 12 bytes) gives the
// bytes at an offset (false past what can be read).
template <class Look>
bool findHeaderList(Look&& look, uint64_t fileSize, uint64_t* listOffset, uint32_t* listSize) {
    uint8_t head[12];
    if (!look(0, head) || u32(head) != RIFF || u32(head + 8) != AVI_) return false;
    const uint64_t end = std::min<uint64_t>(8 + uint64_t(u32(head + 4)), fileSize);
    uint64_t pos = 12;
    for (int i = 0; i < MaxChunksBeforeHeaders && pos + 12 <= end; ++i) {
        uint8_t c[12];
        if (!look(pos, c)) return false;
        const uint32_t id = u32(c), size = u32(c + 4);
        if (pos + 8 + uint64_t(size) > end) return false;
        if (id == LIST && size >= 4) {
            const uint32_t type = u32(c + 8);
            if (type == hdrl) {
                if (size - 4 > MaxAviHeaderBytes) return false;
                *listOffset = pos + 12;
                *listSize = size - 4;
                return true;
            }
            if (type == movi) return false;
        }
        if (id == idx1) return false;
        pos += 8 + uint64_t(size) + (size & 1);
    }
    return false;
}

// Closes a file descriptor on every return path.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

} // namespace

bool parseAviHeaders(const uint8_t* data, size_t size, uint64_t fileSize, AviHeaders* out) {
    if (!data || !out) return false;
    const uint64_t have = std::min<uint64_t>(size, fileSize);
    auto look = [&](uint64_t at, uint8_t* bytes) {
        if (at > have || have - at < 12) return false;
        std::memcpy(bytes, data + at, 12);
        return true;
    };
    uint64_t offset = 0;
    uint32_t listSize = 0;
    if (!findHeaderList(look, have, &offset, &listSize)) return false;
    if (offset + listSize > have) return false;
    return parseHeaderList(data + offset, listSize, out);
}

bool readAviHeaders(const std::string& fileName, AviHeaders* out) {
    if (!out) return false;
    const Fd f{::open(fileName.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0) return false;
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const uint64_t fileSize = uint64_t(st.st_size);
    auto readAt = [&](uint64_t at, uint8_t* bytes, size_t count) {
        size_t done = 0;
        while (done < count) {
            const ssize_t n = ::pread(f.fd, bytes + done, count - done, off_t(at + done));
            if (n <= 0) return false;
            done += size_t(n);
        }
        return true;
    };
    auto look = [&](uint64_t at, uint8_t* bytes) { return readAt(at, bytes, 12); };
    uint64_t offset = 0;
    uint32_t listSize = 0;
    if (!findHeaderList(look, fileSize, &offset, &listSize)) return false;
    std::vector<uint8_t> list(listSize);
    if (listSize > 0 && !readAt(offset, list.data(), listSize)) return false;
    return parseHeaderList(list.data(), list.size(), out);
}

} // namespace platform::dshow
