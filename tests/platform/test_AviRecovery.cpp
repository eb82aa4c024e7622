#include "platform/vfw/AviMuxer.h"
#include "platform/vfw/AviRecovery.h"
#include "platform/vfw/MsVideo1Encoder.h"
#include "support/Pictures.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace platform;
using namespace testsupport;

namespace {

constexpr int W = 64, H = 48;

struct Picture {
    std::vector<uint8_t> data;
    bool key = false;
};

// Pictures from our MS Video 1 encoder: a key frame every 5, the picture moving on the first
// 8 and then standing still (delta frames made of skipped blocks).
std::vector<Picture> msvcPictures(int count) {
    vfw::MsVideo1Encoder encoder;
    vfw::CompressorSettings settings;
    settings.keyFrameEvery = 5;
    settings.quality = 7500;
    settings.rate = 10;
    std::string error;
    EXPECT_TRUE(encoder.begin(desktopPicture(W, H, 24, 0).header(), nullptr, settings, &error))
        << error;
    std::vector<Picture> pictures;
    for (int i = 0; i < count; ++i) {
        const auto p = desktopPicture(W, H, 24, std::min(i, 8) * 3);
        vfw::CompressedSample sample;
        EXPECT_TRUE(encoder.compress(p.bits(), sample, &error)) << error;
        pictures.push_back({sample.data, sample.keyFrame});
    }
    return pictures;
}

// A recording as a killed program leaves it: the header with its lengths unset, the chunks
// handed to the system, no index, and the last chunk cut `cut` bytes short.
struct KilledRecording {
    std::vector<Picture> pictures = msvcPictures(14);
    std::vector<int64_t> positions;
    int64_t soundFrames = 0;

    void write(const std::string& path, size_t cut) {
        std::string error;
        {
            auto mux = vfw::AviMuxer::toFile(path, &error);
            ASSERT_TRUE(mux) << error;
            vfw::AviVideoFormat v;
            v.fourcc = vfw::fourccMSVC;
            v.width = W;
            v.height = H;
            v.bitCount = 16;
            v.rateNum = 10;
            ASSERT_EQ(mux->addVideo(v, &error), 0) << error;
            vfw::AviAudioFormat a;
            a.waveTag = vfw::waveTagPCM;
            a.rate = 44100;
            a.channels = 2;
            a.bitsPerSample = 16;
            a.blockAlign = 4;
            ASSERT_EQ(mux->addAudio(a, &error), 1) << error;
            ASSERT_TRUE(mux->writeHeader(&error)) << error;
            const std::vector<uint8_t> sound(4410 * 4, 0x11); // 0.1 s
            int64_t position = 0;
            for (size_t i = 0; i < pictures.size(); ++i) {
                if (i == 6) position += 2; // two slots the engine skipped
                positions.push_back(position);
                ASSERT_TRUE(mux->writePacket(0, position, pictures[i].data.data(),
                                             pictures[i].data.size(), 1, pictures[i].key, &error))
                    << error;
                ++position;
                if (i + 1 < pictures.size()) {
                    ASSERT_TRUE(mux->writePacket(1, soundFrames, sound.data(), sound.size(), 4410,
                                                 true, &error))
                        << error;
                    soundFrames += 4410;
                }
            }
            ASSERT_TRUE(mux->flush(&error)) << error;
            // Released without finish(): the file stays as it stands, without an index.
        }
        std::filesystem::resize_file(path, std::filesystem::file_size(path) - cut);
    }
};

// The bytes of the first sound stream, as ffmpeg copies them out.
long long soundBytes(const std::string& path) {
    const CommandResult r =
        run("ffmpeg -v error -i '" + path + "' -map 0:a:0 -c copy -f s16le - | wc -c");
    return r.exitCode == 0 ? std::stoll(r.out) : -1;
}

} // namespace

TEST(AviRecovery, AKilledRecordingKeepsEveryWholeSampleAtItsPosition) {
    const std::string dir = scratchDir("avi-recovery");
    KilledRecording rec;
    const size_t cut = rec.pictures.back().data.size() / 2;
    ASSERT_GT(cut, 0u);
    ASSERT_NO_FATAL_FAILURE(rec.write(dir + "/killed.avi", cut));
    // What other readers see of the damaged file: no length in its header.
    const std::string length = probeStream(dir + "/killed.avi", "v:0").at("nb_frames");
    EXPECT_TRUE(length == "N/A" || length == "0") << length;

    vfw::RecoveredAvi r;
    std::string error;
    ASSERT_TRUE(vfw::recoverAvi(dir + "/killed.avi", dir + "/repaired.avi", &r, &error)) << error;
    const size_t whole = rec.pictures.size() - 1; // the last picture was cut short
    EXPECT_TRUE(r.hasVideo);
    EXPECT_TRUE(r.hasAudio);
    EXPECT_EQ(r.videoFourcc, "MSVC");
    EXPECT_EQ(r.videoSamples, int64_t(whole));
    EXPECT_EQ(r.videoSkipped, 2);
    EXPECT_DOUBLE_EQ(r.videoSeconds, double(rec.positions[whole - 1] + 1) / 10);
    EXPECT_DOUBLE_EQ(r.audioSeconds, double(rec.soundFrames) / 44100);
    EXPECT_EQ(r.droppedBytes, int64_t(rec.pictures.back().data.size() - cut));

    // The copy is a finished file: lengths in the header, pictures at their positions with
    // their bytes and key flags, decoding cleanly.
    const std::string repaired = dir + "/repaired.avi";
    const auto video = expectVideoStream(repaired, {"msvideo1", "MSVC", "10/1", W, H});
    EXPECT_EQ(video.at("nb_frames"), std::to_string(rec.positions[whole - 1] + 1));
    const auto packets = probePackets(repaired);
    ASSERT_EQ(packets.size(), whole);
    for (size_t i = 0; i < whole; ++i) {
        SCOPED_TRACE("picture " + std::to_string(i));
        EXPECT_EQ(packets[i].pts, rec.positions[i]);
        EXPECT_EQ(size_t(packets[i].size), rec.pictures[i].data.size());
        EXPECT_EQ(packets[i].key, rec.pictures[i].key);
    }
    EXPECT_EQ(probeStream(repaired, "a:0").at("codec_name"), "pcm_s16le");
    EXPECT_EQ(soundBytes(repaired), rec.soundFrames * 4);
    const CommandResult d = decodeAll(repaired);
    EXPECT_EQ(d.exitCode, 0) << d.err;
}

TEST(AviRecovery, PcmCutInsideASampleFrameKeepsOnlyWholeFrames) {
    const std::string dir = scratchDir("avi-recovery-pcm");
    std::string error;
    {
        auto mux = vfw::AviMuxer::toFile(dir + "/voice.avi", &error);
        ASSERT_TRUE(mux) << error;
        vfw::AviAudioFormat a;
        a.waveTag = vfw::waveTagPCM;
        a.rate = 8000;
        a.channels = 2;
        a.bitsPerSample = 16;
        a.blockAlign = 4;
        ASSERT_EQ(mux->addAudio(a, &error), 0) << error;
        ASSERT_TRUE(mux->writeHeader(&error)) << error;
        const std::vector<uint8_t> sound(800 * 4, 0x22);
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(
                mux->writePacket(0, i * 800, sound.data(), sound.size(), 800, true, &error));
        ASSERT_TRUE(mux->flush(&error)) << error;
    }
    // 401 bytes short: the last chunk keeps 2799 bytes, 699 whole sample frames.
    std::filesystem::resize_file(dir + "/voice.avi",
                                 std::filesystem::file_size(dir + "/voice.avi") - 401);
    vfw::RecoveredAvi r;
    ASSERT_TRUE(vfw::recoverAvi(dir + "/voice.avi", dir + "/copy.avi", &r, &error)) << error;
    EXPECT_FALSE(r.hasVideo);
    EXPECT_DOUBLE_EQ(r.audioSeconds, (1600 + 699) / 8000.0);
    EXPECT_EQ(r.droppedBytes, 3);
    EXPECT_EQ(soundBytes(dir + "/copy.avi"), (1600 + 699) * 4);
    EXPECT_EQ(r.silenceSeconds, 0);

    // Lengthened to 0.5 s with silence: the sound before it unchanged, zeros after.
    ASSERT_TRUE(vfw::recoverAvi(dir + "/voice.avi", dir + "/long.avi", &r, &error, 0.5)) << error;
    EXPECT_DOUBLE_EQ(r.audioSeconds, 0.5);
    EXPECT_DOUBLE_EQ(r.silenceSeconds, 0.5 - (1600 + 699) / 8000.0);
    const CommandResult pcm = run("ffmpeg -v error -i '" + dir +
                                  "/long.avi' -map 0:a:0 -c copy -f s16le - | od -An -tx1 -v");
    std::istringstream bytes(pcm.out);
    std::vector<int> values;
    for (std::string b; bytes >> b;)
        values.push_back(std::stoi(b, nullptr, 16));
    ASSERT_EQ(values.size(), 4000u * 4); // 0.5 s of 8000 sample frames of 4 bytes
    EXPECT_TRUE(std::all_of(values.begin(), values.begin() + (1600 + 699) * 4,
                            [](int v) { return v == 0x22; }));
    EXPECT_TRUE(
        std::all_of(values.begin() + (1600 + 699) * 4, values.end(), [](int v) { return v == 0; }));

    // A gap of several seconds is filled a second at a time, to the exact sample frame.
    ASSERT_TRUE(vfw::recoverAvi(dir + "/voice.avi", dir + "/longer.avi", &r, &error, 3.25))
        << error;
    EXPECT_DOUBLE_EQ(r.audioSeconds, 3.25);
    EXPECT_DOUBLE_EQ(r.silenceSeconds, 3.25 - (1600 + 699) / 8000.0);
    EXPECT_EQ(soundBytes(dir + "/longer.avi"), 26000 * 4);
}

TEST(AviRecovery, FilesWithNothingToRecoverAreRefusedByName) {
    const std::string dir = scratchDir("avi-recovery-refused");
    std::string error;
    vfw::RecoveredAvi r;
    { std::ofstream(dir + "/text.avi") << "not a RIFF file at all"; }
    EXPECT_FALSE(vfw::recoverAvi(dir + "/text.avi", dir + "/out1.avi", &r, &error));
    EXPECT_NE(error.find(dir + "/text.avi"), std::string::npos) << error;
    EXPECT_FALSE(vfw::recoverAvi(dir + "/missing.avi", dir + "/out2.avi", &r, &error));
    EXPECT_NE(error.find("missing.avi"), std::string::npos) << error;

    // Killed before its first picture reached the file: header only.
    KilledRecording rec;
    ASSERT_NO_FATAL_FAILURE(rec.write(dir + "/empty.avi", 0));
    const auto headerEnd = [&] {
        std::ifstream in(dir + "/empty.avi", std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        return bytes.find("movi") + 4;
    }();
    std::filesystem::resize_file(dir + "/empty.avi", headerEnd);
    error.clear();
    EXPECT_FALSE(vfw::recoverAvi(dir + "/empty.avi", dir + "/out3.avi", &r, &error));
    EXPECT_NE(error.find("no whole sample"), std::string::npos) << error;
}

// A picture stands alone when it skips no block; a key frame of our encoder always does, a
// delta frame of a still picture never, and a key frame cut short is no whole picture.
TEST(AviRecovery, MsVideo1PicturesThatStandAloneAreTheKeyFrames) {
    const auto pictures = msvcPictures(14);
    for (size_t i = 0; i < pictures.size(); ++i) {
        SCOPED_TRACE("picture " + std::to_string(i));
        const auto& p = pictures[i];
        const bool intra = vfw::msVideo1Intra(p.data.data(), p.data.size(), W, H, 16);
        if (p.key) {
            EXPECT_TRUE(intra);
        } else if (i > 9) {
            EXPECT_FALSE(intra); // a still picture: every block skipped
        }
    }
    ASSERT_TRUE(pictures[0].key);
    EXPECT_FALSE(
        vfw::msVideo1Intra(pictures[0].data.data(), pictures[0].data.size() / 2, W, H, 16));
    EXPECT_FALSE(vfw::msVideo1Intra(pictures[0].data.data(), pictures[0].data.size(), 2, 2, 16));
}
