// The AVI stream header reader: the values ffmpeg's files store, and headers that lie. Every
// parse gets a buffer of exactly the bytes it may read, so a read past them shows under
// AddressSanitizer; the results are checked for what the callers then trust.
#include "platform/dshow/base/AviHeaders.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <unistd.h>

using namespace platform::dshow;
using namespace testsupport;

namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + size_t(i)] = uint8_t(v >> (8 * i));
}
uint32_t get32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

Bytes chunk(const char* id, const Bytes& payload) {
    Bytes out(8);
    std::memcpy(out.data(), id, 4);
    put32(out, 4, uint32_t(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    if (payload.size() & 1) out.push_back(0);
    return out;
}
Bytes list(const char* type, const std::vector<Bytes>& children, const char* id = "LIST") {
    Bytes payload(type, type + 4);
    for (const Bytes& c : children)
        payload.insert(payload.end(), c.begin(), c.end());
    return chunk(id, payload);
}
Bytes strh(const char* type, uint32_t scale, uint32_t rate, uint32_t length) {
    Bytes b(56, 0);
    std::memcpy(b.data(), type, 4);
    put32(b, 20, scale);
    put32(b, 24, rate);
    put32(b, 32, length);
    return b;
}
Bytes bitmapHeader(uint32_t w, uint32_t h, const char* fourcc) {
    Bytes b(40, 0);
    put32(b, 0, 40);
    put32(b, 4, w);
    put32(b, 8, h);
    b[12] = 1;
    b[14] = 24;
    std::memcpy(b.data() + 16, fourcc, 4);
    return b;
}
Bytes waveFormat(size_t size, uint16_t tag = 1, uint16_t extra = 0) {
    Bytes b(size, 0);
    b[0] = uint8_t(tag);
    b[1] = uint8_t(tag >> 8);
    b[2] = 2;
    put32(b, 4, 44100);
    if (size >= 18) {
        b[16] = uint8_t(extra);
        b[17] = uint8_t(extra >> 8);
    }
    return b;
}
Bytes file(const std::vector<Bytes>& headerChildren) {
    Bytes hdrl = list("hdrl", headerChildren);
    return list("AVI ", {hdrl, list("movi", {})}, "RIFF");
}
Bytes videoStream(const Bytes& format) {
    return list("strl", {chunk("strh", strh("vids", 1, 25, 50)), chunk("strf", format)});
}
Bytes audioStream(const Bytes& format) {
    return list("strl", {chunk("strh", strh("auds", 1, 44100, 88200)), chunk("strf", format)});
}

// Parses a copy of exactly n bytes, of a file of fileSize bytes.
bool parse(const Bytes& b, size_t n, uint64_t fileSize, AviHeaders* h) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[n ? n : 1]);
    if (n > 0) std::memcpy(exact.get(), b.data(), n);
    return parseAviHeaders(exact.get(), n, fileSize, h);
}
bool parse(const Bytes& b, AviHeaders* h) {
    return parse(b, b.size(), b.size(), h);
}

// What a caller trusts of headers that parsed.
void expectTrustworthy(const AviHeaders& h) {
    EXPECT_LE(h.streams.size(), MaxAviStreams);
    for (const AviStreamHeader& s : h.streams) {
        if (s.type == makeFourCC('v', 'i', 'd', 's')) {
            EXPECT_GE(s.format.size(), 40u);
        }
        if (s.type == makeFourCC('a', 'u', 'd', 's')) {
            ASSERT_GE(s.format.size(), 18u);
            EXPECT_LE(size_t(s.format[16] | s.format[17] << 8), s.format.size() - 18);
        }
    }
}

// An AVI as ffmpeg writes it: XviD video and PCM sound, one second.
const std::string& ffmpegAvi() {
    static const std::string path = sharedClip(
        "avi-headers", "xvid-pcm.avi",
        "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=r=44100 -t 1 -c:v mpeg4 "
        "-vtag XVID -c:a pcm_s16le -ac 2");
    return path;
}

Bytes readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Where the header list ends in b (its first chunk after the RIFF head, as ffmpeg writes it).
size_t headerEnd(const Bytes& b) {
    return 12 + 8 + get32(b, 16);
}

} // namespace

TEST(AviHeaders, ReadsTheValuesFfmpegStores) {
    ASSERT_FALSE(ffmpegAvi().empty());
    AviHeaders h;
    ASSERT_TRUE(readAviHeaders(ffmpegAvi(), &h));
    ASSERT_EQ(h.streams.size(), 2u);
    const AviStreamHeader& v = h.streams[0];
    EXPECT_EQ(v.type, makeFourCC('v', 'i', 'd', 's'));
    EXPECT_EQ(v.handler, makeFourCC('X', 'V', 'I', 'D'));
    EXPECT_EQ(double(v.rate) / v.scale, 25.0);
    EXPECT_EQ(v.length, 25u);
    ASSERT_GE(v.format.size(), 40u);
    EXPECT_EQ(get32(v.format, 4), 320u);
    EXPECT_EQ(get32(v.format, 8), 240u);
    EXPECT_EQ(get32(v.format, 16), makeFourCC('X', 'V', 'I', 'D'));
    const AviStreamHeader& a = h.streams[1];
    EXPECT_EQ(a.type, makeFourCC('a', 'u', 'd', 's'));
    EXPECT_EQ(a.format[0], 1); // PCM
    EXPECT_EQ(a.format[2], 2); // channels
    EXPECT_EQ(get32(a.format, 4), 44100u);
    EXPECT_EQ(get32(a.format, 8), 176400u);
    EXPECT_NEAR(double(a.length) * a.scale / a.rate, 1.0, 0.01);
}

// Any prefix of a real file: the headers parse exactly when the whole header list is there.
TEST(AviHeaders, EveryPrefixOfARealHeaderIsReadSafely) {
    ASSERT_FALSE(ffmpegAvi().empty());
    const Bytes all = readAll(ffmpegAvi());
    const size_t end = headerEnd(all);
    ASSERT_LT(end + 64, all.size());
    for (size_t n = 0; n <= end + 64; ++n) {
        AviHeaders h;
        EXPECT_EQ(parse(all, n, n, &h), n >= end) << n;
    }
}

// Thousands of headers with bytes, sizes and ids changed: never a read outside, never a
// stream the callers cannot trust.
TEST(AviHeaders, MutatedHeadersAreReadSafely) {
    ASSERT_FALSE(ffmpegAvi().empty());
    const Bytes all = readAll(ffmpegAvi());
    const Bytes header(all.begin(), all.begin() + long(headerEnd(all) + 32));
    std::mt19937 random(20261208);
    const uint32_t sizes[] = {
        0, 1, 3, 4, 39, 40, 0x7FFFFFFF, 0x80000000, 0xFFFFFFF0, 0xFFFFFFF7, 0xFFFFFFF8, 0xFFFFFFFF};
    int parsed = 0;
    for (int round = 0; round < 6000; ++round) {
        Bytes b = header;
        const int changes = 1 + int(random() % 4);
        for (int c = 0; c < changes; ++c) {
            const size_t at = random() % (b.size() - 4);
            switch (random() % 3) {
            case 0:
                b[at] = uint8_t(random());
                break;
            case 1: // a size field (or any aligned word) set to an edge value
                put32(b, at & ~size_t(3), sizes[random() % std::size(sizes)]);
                break;
            default: // a chunk id turned into a list
                std::memcpy(b.data() + (at & ~size_t(3)), "LIST", 4);
            }
        }
        AviHeaders h;
        if (parse(b, b.size(), random() % 2 ? b.size() : uint64_t(1) << 33, &h)) {
            ++parsed;
            expectTrustworthy(h);
        }
    }
    EXPECT_GT(parsed, 0); // some mutations leave the headers readable
}

TEST(AviHeaders, RefusesSizesPastTheirListOrTheFile) {
    const Bytes good =
        file({chunk("avih", Bytes(56, 0)), videoStream(bitmapHeader(64, 48, "XVID"))});
    AviHeaders h;
    ASSERT_TRUE(parse(good, &h));
    // The header list's size near 2^32, and just past its file.
    for (uint32_t size : {0xFFFFFFFFu, 0xFFFFFFF4u, get32(good, 16) + 100}) {
        Bytes b = good;
        put32(b, 16, size);
        EXPECT_FALSE(parse(b, &h)) << size;
    }
    // A stream list that runs past the header list.
    Bytes b = good;
    const size_t strl = 12 + 12 + 8 + 56;
    ASSERT_EQ(std::memcmp(b.data() + strl, "LIST", 4), 0);
    put32(b, strl + 4, get32(b, strl + 4) + 10);
    EXPECT_FALSE(parse(b, &h));
    // A RIFF size past the end of the file (a file cut short) is not itself a fault.
    b = good;
    put32(b, 4, 0xFFFFFFF0u);
    EXPECT_TRUE(parse(b, &h));
}

TEST(AviHeaders, FollowsOddSizesAndTheirPadding) {
    // An odd-sized chunk before the stream, padded; then the stream.
    Bytes b = file({chunk("avih", Bytes(56, 0)), chunk("JUNK", Bytes(7, 0xAA)),
                    videoStream(bitmapHeader(64, 48, "MJPG"))});
    AviHeaders h;
    ASSERT_TRUE(parse(b, &h));
    ASSERT_EQ(h.streams.size(), 1u);
    EXPECT_EQ(get32(h.streams[0].format, 16), makeFourCC('M', 'J', 'P', 'G'));
    // The last chunk of the list odd-sized with its pad byte missing.
    Bytes hdrl = list("hdrl", {chunk("avih", Bytes(56, 0)), videoStream(bitmapHeader(8, 8, "XVID")),
                               chunk("JUNK", Bytes(3, 0))});
    hdrl.pop_back();
    put32(hdrl, 4, uint32_t(hdrl.size() - 8));
    b = list("AVI ", {hdrl}, "RIFF");
    EXPECT_TRUE(parse(b, &h));
}

TEST(AviHeaders, ListsNestedDeepInsideAStreamAreSkipped) {
    Bytes deep = chunk("JUNK", {});
    for (int i = 0; i < 2000; ++i)
        deep = list("odml", {deep});
    const Bytes b = file({chunk("avih", Bytes(56, 0)),
                          list("strl", {chunk("strh", strh("vids", 1, 25, 50)), deep,
                                        chunk("strf", bitmapHeader(64, 48, "XVID"))}),
                          deep});
    AviHeaders h;
    ASSERT_TRUE(parse(b, &h));
    EXPECT_EQ(h.streams.size(), 1u);
}

TEST(AviHeaders, ShortFormatsAndClaimedCounts) {
    AviHeaders h;
    // A bitmap header one byte short.
    EXPECT_FALSE(parse(file({chunk("avih", Bytes(56, 0)), videoStream(Bytes(39, 0))}), &h));
    // A stream header too short for its rate and length.
    EXPECT_FALSE(parse(file({chunk("avih", Bytes(56, 0)),
                             list("strl", {chunk("strh", Bytes(44, 0)),
                                           chunk("strf", bitmapHeader(8, 8, "XVID"))})}),
                       &h));
    // The 16-byte wave format is taken, with no extra bytes.
    ASSERT_TRUE(parse(file({chunk("avih", Bytes(56, 0)), audioStream(waveFormat(16))}), &h));
    ASSERT_EQ(h.streams[0].format.size(), 18u);
    EXPECT_EQ(h.streams[0].format[16] | h.streams[0].format[17] << 8, 0);
    // Extra bytes claimed beyond the format: only those present count.
    ASSERT_TRUE(
        parse(file({chunk("avih", Bytes(56, 0)), audioStream(waveFormat(30, 0x55, 0xFFFF))}), &h));
    EXPECT_EQ(h.streams[0].format[16] | h.streams[0].format[17] << 8, 12);
    // The main header claims four billion streams: nothing is sized by it.
    Bytes avih(56, 0);
    put32(avih, 24, 0xFFFFFFFFu);
    ASSERT_TRUE(parse(file({chunk("avih", avih), audioStream(waveFormat(18))}), &h));
    EXPECT_EQ(h.streams.size(), 1u);
    // More stream lists than any AVI holds.
    std::vector<Bytes> many{chunk("avih", Bytes(56, 0))};
    for (size_t i = 0; i <= MaxAviStreams; ++i)
        many.push_back(audioStream(waveFormat(18)));
    EXPECT_FALSE(parse(file(many), &h));
}

// A 4 GiB AVI (sparse: its headers, then nothing written) is answered from its headers at once.
TEST(AviHeaders, AFourGigabyteFileIsAnsweredAtOnce) {
    ASSERT_FALSE(ffmpegAvi().empty());
    const Bytes all = readAll(ffmpegAvi());
    Bytes head(all.begin(), all.begin() + long(headerEnd(all) + 12));
    put32(head, 4, 0xFFFFFFF0u);
    const std::string path = scratchDir("avi-headers-big") + "/big.avi";
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));
    }
    ASSERT_EQ(truncate(path.c_str(), off_t(4) << 30), 0);
    const auto start = std::chrono::steady_clock::now();
    AviHeaders h;
    ASSERT_TRUE(readAviHeaders(path, &h));
    EXPECT_LT(milliseconds(std::chrono::steady_clock::now() - start), 500);
    EXPECT_EQ(h.streams.size(), 2u);
    std::remove(path.c_str());
}

TEST(AviHeaders, OtherFilesAreNotAvi) {
    AviHeaders h;
    EXPECT_FALSE(readAviHeaders("/no/such/file.avi", &h));
    Bytes wav = list("WAVE", {chunk("fmt ", waveFormat(16))}, "RIFF");
    EXPECT_FALSE(parse(wav, &h));
    EXPECT_FALSE(parse(Bytes{}, 0, 0, &h));
}
