// Files read as they are and copied into the AVI multiplexer by the capture graph builder: the
// stream taken and its multiplexer input known when RenderStream returns, kinds that are not
// copied refused, and the length and position a graph that writes tells.
#include "platform/dshow/base/DShow.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

using namespace platform::dshow;
using namespace testsupport;

namespace {

struct CopyGraph {
    std::shared_ptr<IFilterGraph2> graph = createFilterGraph();
    std::shared_ptr<ICaptureGraphBuilder2> builder = createCaptureGraphBuilder();
    FilterPtr mux, writer;

    explicit CopyGraph(const std::string& out) {
        builder->SetFiltergraph(graph);
        builder->SetOutputFileName(MEDIASUBTYPE_Avi, out, &mux, &writer);
    }
    // A file source on file, rendered into the multiplexer as it is.
    HRESULT add(const std::string& file) {
        FilterPtr source = createAsyncFileSource();
        if (HRESULT h = queryInterface<IFileSourceFilter>(source)->Load(file); FAILED(h)) return h;
        graph->AddFilter(source, file);
        return builder->RenderStream(nullptr, nullptr, source, nullptr, mux);
    }
    std::vector<std::string> muxInputs() {
        std::vector<std::string> names;
        for (const PinPtr& p : mux->pins())
            if (p->direction() == PINDIR_INPUT) names.push_back(p->name());
        return names;
    }
    // Runs to the end; the event code that ended it.
    long runToEnd(std::vector<int64_t>* positions = nullptr, int64_t* duration = nullptr) {
        auto control = queryInterface<IMediaControl>(graph);
        auto events = queryInterface<IMediaEventEx>(graph);
        auto seeking = queryInterface<IMediaSeeking>(graph);
        if (FAILED(control->Run())) return EC_ERRORABORT;
        long code = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline &&
               events->WaitForCompletion(5, &code) != S_OK) {
            int64_t p = 0;
            if (positions && SUCCEEDED(seeking->GetCurrentPosition(&p))) positions->push_back(p);
        }
        if (duration) seeking->GetDuration(duration);
        if (positions) {
            int64_t p = 0;
            seeking->GetCurrentPosition(&p);
            positions->push_back(p);
        }
        control->Stop();
        return code;
    }
};

std::string clip(const std::string& name, const std::string& args) {
    return sharedClip("file-copy", name, args);
}

} // namespace

// The picture of a file with both, the sound of a file without a picture: each gets its
// multiplexer input before the run, so neither shuts the other out.
TEST(FileCopyGraph, TheKindIsKnownWhenRenderStreamReturns) {
    const std::string video =
        clip("av.avi", "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i "
                       "sine=r=44100 -t 2 -c:v mpeg4 -vtag XVID -c:a libmp3lame");
    const std::string sound = clip("sound.avi", "-f lavfi -i sine=r=44100 -t 3 -c:a libmp3lame");
    ASSERT_FALSE(video.empty() || sound.empty());
    const std::string out = scratchDir("file-copy-kind") + "/out.avi";
    CopyGraph g(out);
    ASSERT_EQ(g.add(video), S_OK);
    EXPECT_EQ(g.muxInputs(), std::vector<std::string>{"video_0"});
    ASSERT_EQ(g.add(sound), S_OK);
    EXPECT_EQ(g.muxInputs(), (std::vector<std::string>{"video_0", "audio_0"}));
    EXPECT_EQ(g.runToEnd(), EC_COMPLETE);
    EXPECT_EQ(probeStream(out, "v:0").at("codec_tag_string"), "XVID");
    EXPECT_NEAR(std::atof(probeStream(out, "a:0").at("duration").c_str()), 3.0, 0.06);
    EXPECT_EQ(decodeAll(out).err, "");
}

// A file of a kind that is not copied is refused at once; a picture the AVI file cannot hold
// as it is ends the run with an error naming its format.
TEST(FileCopyGraph, WhatCannotBeCopiedIsRefused) {
    const std::string dir = scratchDir("file-copy-refused");
    const std::string text = dir + "/notes.txt";
    std::ofstream(text) << std::string(4096, 'x');
    CopyGraph g(dir + "/out.avi");
    EXPECT_TRUE(FAILED(g.add(text)));
    EXPECT_TRUE(g.muxInputs().empty());

    const std::string msmpeg =
        clip("msmpeg.avi", "-f lavfi -i testsrc=size=160x120:rate=25 -t 1 -c:v msmpeg4v2");
    ASSERT_FALSE(msmpeg.empty());
    CopyGraph h(dir + "/out2.avi");
    ASSERT_EQ(h.add(msmpeg), S_OK);
    EXPECT_EQ(h.runToEnd(), EC_ERRORABORT);
    EXPECT_FALSE(fileExists(dir + "/out2.avi"));
}

// While it runs, the graph's length is its longest input's and its position the data written.
TEST(FileCopyGraph, LengthIsTheLongestInputAndPositionFollowsTheData) {
    const std::string video = clip("v4.avi", "-f lavfi -i testsrc=size=160x120:rate=25 -t 4 "
                                             "-c:v mpeg4 -vtag XVID");
    const std::string sound = clip("tone6.mp3", "-f lavfi -i sine=r=44100 -t 6 -c:a libmp3lame");
    ASSERT_FALSE(video.empty() || sound.empty());
    CopyGraph g(scratchDir("file-copy-length") + "/out.avi");
    ASSERT_EQ(g.add(video), S_OK);
    ASSERT_EQ(g.add(sound), S_OK);
    std::vector<int64_t> positions;
    int64_t duration = 0;
    ASSERT_EQ(g.runToEnd(&positions, &duration), EC_COMPLETE);
    EXPECT_NEAR(double(duration) / 1e7, 6.0, 0.06);
    ASSERT_FALSE(positions.empty());
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_NEAR(double(positions.back()) / 1e7, 6.0, 0.06);
}
