#include "media/TBaseFilter.h"
#include "media/TMediaType.h"

#include <gtest/gtest.h>

using namespace media;

TEST(MediaType, RecordsKeepThePlatformLayoutAndRoundTrip) {
    TMediaType audio(MEDIATYPE_Audio);
    EXPECT_EQ(audio.record().bFixedSizeSamples, -1);
    EXPECT_EQ(audio.record().lSampleSize, 1u);
    EXPECT_EQ(audio.writeData().size(), MediaTypeRecordSize);

    const char* caps[] = {
        "video/x-raw, format=(string)BGR, width=(int)320, height=(int)240, "
        "framerate=(fraction)25/1",
        "video/x-raw, format=(string)BGRx, width=(int)640, height=(int)480, "
        "framerate=(fraction)30/1",
        "video/x-raw, format=(string)YUY2, width=(int)640, height=(int)480, "
        "framerate=(fraction)15/1",
        "video/x-raw, format=(string)I420, width=(int)352, height=(int)288, "
        "framerate=(fraction)25/1",
        "image/jpeg, width=(int)1280, height=(int)720, framerate=(fraction)30/1",
        "audio/x-raw, format=(string)S16LE, layout=(string)interleaved, rate=(int)44100, "
        "channels=(int)2",
        "audio/x-raw, format=(string)U8, layout=(string)interleaved, rate=(int)8000, "
        "channels=(int)1",
        "audio/mpeg, mpegversion=(int)1, layer=(int)3, rate=(int)44100, channels=(int)2",
    };
    for (const char* c : caps) {
        AM_MEDIA_TYPE mt;
        ASSERT_TRUE(mediaTypeFromCaps(c, mt)) << c;
        TMediaType t(mt);
        const auto data = t.writeData();
        EXPECT_EQ(data.size(), MediaTypeRecordSize + mt.format.size()) << c;
        TMediaType back;
        ASSERT_TRUE(back.readData(data));
        EXPECT_EQ(back.record().subtype, mt.subtype) << c;
        EXPECT_EQ(back.record().format, mt.format) << c;
        EXPECT_EQ(back.caps(), c);
    }
    AM_MEDIA_TYPE pcm;
    ASSERT_TRUE(mediaTypeFromCaps(caps[5], pcm));
    EXPECT_EQ(pcm.formattype, FORMAT_WaveFormatEx);
    EXPECT_EQ(pcm.format.size(), 18u);
    EXPECT_EQ(pcm.format[0], 1); // format tag PCM
    AM_MEDIA_TYPE rgb;
    ASSERT_TRUE(mediaTypeFromCaps(caps[0], rgb));
    EXPECT_EQ(rgb.format.size(), 88u); // video-info header with its bitmap header
    EXPECT_EQ(rgb.lSampleSize, 320u * 3 * 240);
    AM_MEDIA_TYPE none;
    EXPECT_FALSE(mediaTypeFromCaps("video/x-h264", none));
    TMediaType bad;
    EXPECT_FALSE(bad.readData(std::vector<uint8_t>(71)));
}

TEST(MediaType, PinsFiltersAndTheirTypes) {
    TEnumMediaType types;
    EXPECT_THROW(types.Enumerate(nullptr), std::logic_error);
    try {
        types.Enumerate(nullptr);
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "IPin not assigned");
    }
    // The MP3 encoder filter: input first, then output; its output offers MPEG layer 3.
    FilterPtr mp3 = bindDisplayName("@device:sw:{083863F1-70DE-11D0-BD40-00A0C911CE86}\\" +
                                    guidToString(CLSID_Mp3EncoderFilter));
    ASSERT_TRUE(mp3);
    TPinList pins(mp3);
    ASSERT_EQ(pins.Count(), 2);
    EXPECT_EQ(pins.PinInfo(0).dir, PINDIR_INPUT);
    EXPECT_EQ(pins.PinInfo(1).dir, PINDIR_OUTPUT);
    EXPECT_FALSE(pins.Connected(1));
    types.Enumerate(pins.Item(1));
    ASSERT_GT(types.Count(), 0);
    EXPECT_EQ(types.Item(0).record().subtype, MEDIASUBTYPE_MP3);
    // Deleting the outputs leaves the inputs in order.
    for (int i = pins.Count() - 1; i >= 0; --i)
        if (pins.PinInfo(i).dir == PINDIR_OUTPUT) pins.Delete(i);
    ASSERT_EQ(pins.Count(), 1);
    EXPECT_EQ(pins.PinInfo(0).name, "Input");
    // A pin that takes anything offers no type of its own.
    FilterPtr sink = createElementFilter("fakesink");
    types.Enumerate(TPinList(sink).First());
    EXPECT_EQ(types.Count(), 0);

    auto graph = createFilterGraph();
    graph->AddFilter(mp3, "MP3Enc");
    graph->AddFilter(sink, "Sink");
    TFilterList filters(graph);
    EXPECT_EQ(filters.Count(), 2);
    filters.Remove(sink);
    EXPECT_EQ(filters.Item(0), mp3);
}
