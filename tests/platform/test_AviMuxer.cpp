#include "platform/vfw/AviMuxer.h"
#include "platform/vfw/MsVideo1Encoder.h"
#include "support/Pictures.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

using namespace platform;
using namespace testsupport;

namespace {

// One packet of a stream: its bytes, key flag, and the positions it covers.
struct Chunk {
    std::vector<uint8_t> data;
    bool key = true;
    int64_t units = 1;
};

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Pictures compressed by our own MS Video 1 encoder.
std::vector<Chunk> msvcChunks(int w, int h, int count) {
    vfw::MsVideo1Encoder encoder;
    const auto first = desktopPicture(w, h, 24, 0);
    vfw::CompressorSettings settings;
    settings.keyFrameEvery = 5;
    settings.quality = 7500;
    settings.rate = 10;
    std::string error;
    EXPECT_TRUE(encoder.begin(first.header(), nullptr, settings, &error)) << error;
    std::vector<Chunk> chunks;
    for (int i = 0; i < count; ++i) {
        const auto p = desktopPicture(w, h, 24, i * 3);
        vfw::CompressedSample sample;
        EXPECT_TRUE(encoder.compress(p.bits(), sample, &error)) << error;
        chunks.push_back({sample.data, sample.keyFrame});
    }
    return chunks;
}

constexpr uint8_t kVop[] = {0, 0, 1, 0xB6};

// MPEG-4 pictures from ffmpeg's elementary stream, cut before each picture start code
// (00 00 01 B6); the first picture keeps the headers in front of it.
std::vector<Chunk> xvidChunks(int w, int h, int count) {
    const std::string path = sharedClip(
        "avimuxer", "pictures.m4v",
        "-f lavfi -i testsrc=size=" + std::to_string(w) + "x" + std::to_string(h) +
            ":rate=10 -frames:v " + std::to_string(count) + " -c:v mpeg4 -bf 0 -g 5 -f m4v");
    const auto bytes = readAll(path);
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 < bytes.size(); ++i)
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1 && bytes[i + 3] == 0xB6)
            starts.push_back(starts.empty() ? 0 : i);
    std::vector<Chunk> chunks;
    for (size_t k = 0; k < starts.size(); ++k) {
        const size_t end = k + 1 < starts.size() ? starts[k + 1] : bytes.size();
        Chunk c{{bytes.begin() + long(starts[k]), bytes.begin() + long(end)}};
        // The picture type follows its start code: the top two bits are 0 for an I picture.
        const auto vop =
            std::search(c.data.begin(), c.data.end(), std::begin(kVop), std::end(kVop));
        c.key = vop + 4 < c.data.end() && (vop[4] >> 6) == 0;
        chunks.push_back(std::move(c));
    }
    return chunks;
}

// MPEG-1 layer 3 frames at 44100 Hz, 128 kbit/s, cut by their headers (417 or 418 bytes).
std::vector<Chunk> mp3Chunks(double seconds) {
    const std::string path =
        sharedClip("avimuxer", "sound.mp3",
                   "-f lavfi -i sine=sample_rate=44100:duration=" + std::to_string(seconds) +
                       " -ac 2 -c:a libmp3lame -b:a 128k -write_xing 0 -id3v2_version 0 -f mp3");
    const auto bytes = readAll(path);
    std::vector<Chunk> chunks;
    for (size_t i = 0; i + 4 <= bytes.size();) {
        if (bytes[i] != 0xFF || (bytes[i + 1] & 0xE0) != 0xE0) break;
        const size_t length = 144 * 128000 / 44100 + ((bytes[i + 2] >> 1) & 1);
        const size_t end = std::min(bytes.size(), i + length);
        chunks.push_back({{bytes.begin() + long(i), bytes.begin() + long(end)}});
        i = end;
    }
    return chunks;
}

// PCM sample frames of a tone, in packets of `perPacket` frames.
std::vector<Chunk> pcmChunks(int bits, int rate, int channels, int packets, int perPacket) {
    std::vector<Chunk> chunks;
    const int bytes = bits / 8;
    for (int k = 0; k < packets; ++k) {
        Chunk c;
        c.units = perPacket;
        for (int n = 0; n < perPacket; ++n) {
            const double v = std::sin(2 * M_PI * 440 * (k * perPacket + n) / rate);
            for (int ch = 0; ch < channels; ++ch) {
                if (bytes == 1) {
                    c.data.push_back(uint8_t(128 + int(v * 60)));
                } else {
                    const auto s = int16_t(v * 8000);
                    c.data.push_back(uint8_t(s & 0xFF));
                    c.data.push_back(uint8_t((s >> 8) & 0xFF));
                }
            }
        }
        chunks.push_back(std::move(c));
    }
    return chunks;
}

// The bytes of a sink, kept in memory and written to a file for ffprobe afterwards.
struct MemoryOutput {
    std::string bytes;
    int64_t offset = 0;
    int seeks = 0;

    vfw::AviByteSink sink(bool seekable) {
        vfw::AviByteSink s;
        s.write = [this](const uint8_t* data, size_t size, int64_t at) {
            if (bytes.size() < size_t(at) + size) bytes.resize(size_t(at) + size);
            bytes.replace(size_t(at), size, reinterpret_cast<const char*>(data), size);
            return true;
        };
        if (seekable) s.seek = [this](int64_t) { ++seeks; };
        return s;
    }
};

// Video at 10 frames per second.
vfw::AviVideoFormat video(uint32_t fourcc, int w, int h, int bitCount) {
    vfw::AviVideoFormat f;
    f.fourcc = fourcc;
    f.width = w;
    f.height = h;
    f.bitCount = bitCount;
    f.rateNum = 10;
    return f;
}

vfw::AviAudioFormat audio(uint16_t tag, int rate, int channels, int bits, int blockAlign,
                          int frameSize = 0, int64_t bitRate = 0) {
    vfw::AviAudioFormat f;
    f.waveTag = tag;
    f.rate = rate;
    f.channels = channels;
    f.bitsPerSample = bits;
    f.blockAlign = blockAlign;
    f.frameSize = frameSize;
    f.bitRate = bitRate;
    return f;
}

enum class Output { File, SeekableSink, StreamedSink };

double number(const std::map<std::string, std::string>& kv, const std::string& key) {
    const auto it = kv.find(key);
    return it == kv.end() ? -1 : std::atof(it->second.c_str());
}
std::string text(const std::map<std::string, std::string>& kv, const std::string& key) {
    const auto it = kv.find(key);
    return it == kv.end() ? "" : it->second;
}

} // namespace

// Each kind of stream the program writes, through each kind of output, comes back from
// ffprobe with its FourCC or tag, its codec, every packet and its duration, and decodes.
TEST(AviMuxer, EveryKindOfStreamIsReadBackWithItsFourCCOrTag) {
    struct Kind {
        std::string name;
        bool video;
        vfw::AviVideoFormat v;
        vfw::AviAudioFormat a;
        std::vector<Chunk> chunks;
        std::string codec, tag; // as ffprobe names them
        int64_t frames;         // the count in the stream header: chunks, or PCM samples
    };
    auto videoKind = [](std::string name, vfw::AviVideoFormat f, std::vector<Chunk> chunks,
                        std::string codec) {
        const std::string tag = vfw::fourCCToString(f.fourcc);
        const auto n = int64_t(chunks.size());
        return Kind{name, true, f, {}, std::move(chunks), codec, tag, n};
    };
    auto audioKind = [](std::string name, vfw::AviAudioFormat f, std::vector<Chunk> chunks,
                        std::string codec, std::string tag) {
        int64_t frames = 0;
        for (const Chunk& c : chunks)
            frames += c.units;
        return Kind{name, false, {}, f, std::move(chunks), codec, tag, frames};
    };
    const auto xvid = xvidChunks(160, 120, 10);
    const auto mp3 = mp3Chunks(1.0);
    ASSERT_EQ(xvid.size(), 10u);
    ASSERT_GE(mp3.size(), 38u);
    const std::vector<Kind> kinds = {
        videoKind("msvc", video(vfw::fourccMSVC, 160, 120, 16), msvcChunks(160, 120, 10),
                  "msvideo1"),
        videoKind("xvid", video(vfw::fourccXVID, 160, 120, 24), xvid, "mpeg4"),
        audioKind("mp3", audio(vfw::waveTagMP3, 44100, 2, 0, 0, 1152, 128000), mp3, "mp3",
                  "0x0055"),
        audioKind("pcm16", audio(vfw::waveTagPCM, 22050, 2, 16, 4, 0, 22050 * 32),
                  pcmChunks(16, 22050, 2, 10, 1103), "pcm_s16le", "0x0001"),
        audioKind("pcm8", audio(vfw::waveTagPCM, 8000, 1, 8, 1, 0, 8000 * 8),
                  pcmChunks(8, 8000, 1, 4, 2000), "pcm_u8", "0x0001"),
    };
    const std::string dir = scratchDir("avimuxer");
    for (const Kind& k : kinds) {
        for (Output o : {Output::File, Output::SeekableSink, Output::StreamedSink}) {
            const std::string path = dir + "/" + k.name + "_" + std::to_string(int(o)) + ".avi";
            SCOPED_TRACE(path);
            MemoryOutput memory;
            std::string error;
            auto mux = o == Output::File
                           ? vfw::AviMuxer::toFile(path, &error)
                           : vfw::AviMuxer::toSink("memory", memory.sink(o == Output::SeekableSink),
                                                   &error);
            ASSERT_TRUE(mux) << error;
            const int s = k.video ? mux->addVideo(k.v, &error) : mux->addAudio(k.a, &error);
            ASSERT_EQ(s, 0) << error;
            ASSERT_TRUE(mux->writeHeader(&error)) << error;
            int64_t position = 0;
            for (const Chunk& c : k.chunks) {
                ASSERT_TRUE(mux->writePacket(s, position, c.data.data(), c.data.size(), c.units,
                                             c.key, &error))
                    << error;
                position += c.units;
            }
            ASSERT_TRUE(mux->finish(&error)) << error;
            EXPECT_TRUE(mux->status()->finished && mux->status()->ok);
            if (o != Output::File) {
                std::ofstream(path, std::ios::binary) << memory.bytes;
                EXPECT_EQ(int64_t(memory.bytes.size()), mux->size());
                // Only a sink that can seek gets the header rewritten and an index.
                EXPECT_EQ(memory.seeks > 0, o == Output::SeekableSink);
            }
            const auto info = probeStream(path, k.video ? "v:0" : "a:0");
            EXPECT_EQ(text(info, "codec_name"), k.codec);
            EXPECT_EQ(text(info, k.video ? "codec_tag_string" : "codec_tag"), k.tag);
            // The demuxer cuts long PCM chunks into smaller packets.
            if (k.codec.rfind("pcm", 0) != 0) {
                EXPECT_EQ(number(info, "nb_read_packets"), double(k.chunks.size()));
            }
            // The streamable layout has no counts in its header: they are rewritten at the end.
            if (o != Output::StreamedSink) {
                EXPECT_EQ(number(info, "nb_frames"), double(k.frames));
            }
            if (k.video && o != Output::StreamedSink) {
                EXPECT_EQ(text(info, "r_frame_rate"), "10/1");
                EXPECT_NEAR(number(info, "duration"), 1.0, 1e-6);
            }
            const auto decoded = run("ffmpeg -v error -xerror -i '" + path +
                                     "' -f null - 2>&1 | "
                                     "grep -v 'Guessed Channel Layout'");
            EXPECT_EQ(decoded.out, "");
        }
    }
}

// Skipped video positions become empty chunks, so the stream keeps its pace; positions never
// go back, and sound packets follow each other.
TEST(AviMuxer, PositionsKeepThePaceAndNeverGoBack) {
    const std::string path = scratchDir("avimuxer") + "/gaps.avi";
    const auto chunks = msvcChunks(64, 48, 5);
    std::string error;
    auto mux = vfw::AviMuxer::toFile(path, &error);
    ASSERT_TRUE(mux);
    ASSERT_EQ(mux->addVideo(video(vfw::fourccMSVC, 64, 48, 16), &error), 0) << error;
    ASSERT_EQ(mux->addAudio(audio(vfw::waveTagPCM, 8000, 1, 16, 2), &error), 1) << error;
    EXPECT_FALSE(mux->writePacket(0, 0, "x", 1, 1, true, &error)) << "before the header";
    ASSERT_TRUE(mux->writeHeader(&error)) << error;
    EXPECT_EQ(mux->addVideo(video(vfw::fourccMSVC, 64, 48, 16), &error), -1);
    EXPECT_NE(error.find(path), std::string::npos) << error;

    int i = 0;
    for (int64_t pos : {1, 2, 5, 6, 9}) {
        const Chunk& c = chunks[size_t(i++)];
        ASSERT_TRUE(mux->writePacket(0, pos, c.data.data(), c.data.size(), 1, i == 1, &error))
            << error;
    }
    EXPECT_EQ(mux->nextPosition(0), 10);
    EXPECT_EQ(mux->emptyPositions(0), 5);
    EXPECT_FALSE(
        mux->writePacket(0, 9, chunks[0].data.data(), chunks[0].data.size(), 1, true, &error));
    EXPECT_NE(error.find("already written"), std::string::npos) << error;

    const auto pcm = pcmChunks(16, 8000, 1, 2, 4000);
    ASSERT_TRUE(mux->writePacket(1, 0, pcm[0].data.data(), pcm[0].data.size(), 4000, true, &error))
        << error;
    EXPECT_FALSE(
        mux->writePacket(1, 4001, pcm[1].data.data(), pcm[1].data.size(), 4000, true, &error))
        << "a gap in the sound";
    ASSERT_TRUE(
        mux->writePacket(1, 4000, pcm[1].data.data(), pcm[1].data.size(), 4000, true, &error))
        << error;
    ASSERT_TRUE(mux->finish(&error)) << error;
    EXPECT_FALSE(mux->finish(&error)) << "once only";

    const auto v = probeStream(path, "v:0");
    EXPECT_EQ(number(v, "nb_frames"), 10);
    EXPECT_NEAR(number(v, "duration"), 1.0, 1e-6);
    std::vector<long long> positions;
    for (const Packet& p : probePackets(path))
        positions.push_back(p.pts);
    EXPECT_EQ(positions, (std::vector<long long>{1, 2, 5, 6, 9}));
    EXPECT_EQ(number(probeStream(path, "a:0"), "nb_frames"), 8000);
}

// Only our FourCCs and tags go into a file; refusals and failures name the output.
TEST(AviMuxer, OtherKindsAndFailuresAreRefusedNamingTheOutput) {
    const std::string dir = scratchDir("avimuxer");
    std::string error;
    auto mux = vfw::AviMuxer::toFile(dir + "/refused.avi", &error);
    ASSERT_TRUE(mux) << error;
    struct Video {
        uint32_t fourcc;
        const char* named;
    };
    // H264 and MJPG are written (copied from other files); MS MPEG-4 v3 is not.
    for (const Video& c : {Video{vfw::makeFourCC('D', 'I', 'V', '3'), "DIV3"},
                           Video{vfw::makeFourCC('m', 'p', '4', 'v'), "mp4v"}}) {
        EXPECT_EQ(mux->addVideo(video(c.fourcc, 64, 48, 24), &error), -1);
        EXPECT_NE(error.find(c.named), std::string::npos) << error;
        EXPECT_NE(error.find("refused.avi"), std::string::npos) << error;
    }
    struct Audio {
        uint16_t tag;
        int bits;
        const char* named;
    };
    for (const Audio& c : {Audio{0xFFFE, 16, "0xfffe"}, Audio{0x2000, 16, "0x2000"},
                           Audio{vfw::waveTagPCM, 24, "24 bits"}}) {
        EXPECT_EQ(mux->addAudio(audio(c.tag, 44100, 2, c.bits, 6, 1152), &error), -1);
        EXPECT_NE(error.find(c.named), std::string::npos) << error;
    }
    EXPECT_EQ(mux->streams(), 0);
    EXPECT_FALSE(mux->writeHeader(&error));

    // A sink that stops taking bytes fails the write, and the end says so.
    std::string taken;
    vfw::AviByteSink full;
    full.write = [&](const uint8_t* data, size_t size, int64_t) {
        if (taken.size() + size > 20000) return false;
        taken.append(reinterpret_cast<const char*>(data), size);
        return true;
    };
    auto streamed = vfw::AviMuxer::toSink("the full sink", full, &error);
    ASSERT_TRUE(streamed) << error;
    ASSERT_EQ(streamed->addAudio(audio(vfw::waveTagPCM, 8000, 1, 16, 2), &error), 0) << error;
    ASSERT_TRUE(streamed->writeHeader(&error)) << error;
    const auto pcm = pcmChunks(16, 8000, 1, 10, 4000);
    bool failed = false;
    for (int64_t k = 0; k < 10 && !failed; ++k)
        failed = !streamed->writePacket(0, k * 4000, pcm[size_t(k)].data.data(),
                                        pcm[size_t(k)].data.size(), 4000, true, &error) ||
                 !streamed->flush(&error);
    EXPECT_TRUE(failed);
    EXPECT_NE(error.find("the full sink"), std::string::npos) << error;
    EXPECT_FALSE(streamed->finish(&error));
    EXPECT_TRUE(streamed->status()->finished);
    EXPECT_FALSE(streamed->status()->ok);

    // A symbolic link at the path is not followed.
    std::filesystem::remove_all(scratchDir("avimuxer-link")); // the link of an earlier run
    const std::string links = scratchDir("avimuxer-link");
    const std::string victim = links + "/victim.txt", link = links + "/link.avi";
    std::ofstream(victim) << "precious";
    std::filesystem::create_symlink(victim, link);
    EXPECT_FALSE(vfw::AviMuxer::toFile(link, &error));
    EXPECT_NE(error.find(link + " is a symbolic link"), std::string::npos) << error;
    EXPECT_EQ(readAll(victim).size(), 8u);
}
