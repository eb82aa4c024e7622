#include "media/CodecLookup.h"

#include <gtest/gtest.h>

using namespace media;

namespace {

struct Case {
    const char* what;
    std::vector<std::string> names;
    int expected; // the index found; -1: none, the search raises
};

void check(const TEncoderRule& rule, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.expected >= 0) {
            EXPECT_EQ(FindEncoderIndex(c.names, rule), c.expected);
            continue;
        }
        try {
            FindEncoderIndex(c.names, rule);
            ADD_FAILURE() << "nothing raised";
        } catch (const ECodecNotFound& e) {
            // The message says what was looked for.
            EXPECT_NE(std::string(e.what()).find(rule.description), std::string::npos) << e.what();
        }
    }
}

} // namespace

TEST(CodecLookup, XvidPrefixTakesAnyLetterCase) {
    check(XvidByPrefix, {{"exact codec name", {"Microsoft Video 1", "Xvid MPEG-4 Codec"}, 1},
                         {"upper case", {"XVID"}, 0},
                         {"lower case with more", {"xvid encoder"}, 0},
                         {"mixed case", {"xViD 1.3"}, 0},
                         {"first of two wins", {"H.264", "XviD one", "Xvid two"}, 1},
                         {"XVID elsewhere in the name", {"libav XVID", "MPEG-4 (Xvid)"}, -1},
                         {"shorter than the prefix", {"XVI", "X"}, -1},
                         {"no compressors", {}, -1}});
}

TEST(CodecLookup, XvidNameMustMatchExactly) {
    check(XvidByName, {{"the name", {"Microsoft Video 1", "Xvid MPEG-4 Codec"}, 1},
                       {"first of two wins", {"Xvid MPEG-4 Codec", "Xvid MPEG-4 Codec"}, 0},
                       {"other letter case", {"XVID MPEG-4 Codec", "xvid mpeg-4 codec"}, -1},
                       {"anything added", {"Xvid MPEG-4 Codec ", "Xvid MPEG-4 Codec 2"}, -1},
                       {"prefix only", {"Xvid"}, -1}});
}

TEST(CodecLookup, Mp3RuleLooksAnywhereInTheLowerCasedName) {
    check(Mp3ByName, {{"the codec name", {"PCM", "MPEG Layer-3"}, 1},
                      {"inside a longer name", {"Fraunhofer IIS MPEG Layer-3 Codec"}, 0},
                      {"lame in capitals", {"AAC", "LAME MP3 encoder"}, 1},
                      {"lame mixed case", {"my Lame Mp3"}, 0},
                      {"first of two wins", {"lame mp3", "mpeg layer-3"}, 0},
                      {"near misses", {"MPEG Layer-2", "MPEG Layer 3", "L.A.M.E. mp3 encoder"}, -1},
                      {"no compressors", {}, -1}});
}

// On this machine every rule finds an installed encoder and binds it to a filter that takes
// data in and gives it out.
TEST(CodecLookup, EachRuleBindsAnInstalledEncoder) {
    for (const TEncoderRule* rule : {&XvidByPrefix, &XvidByName, &Mp3ByName}) {
        SCOPED_TRACE(rule->description);
        FilterPtr f;
        ASSERT_NO_THROW(f = FindEncoder(*rule));
        ASSERT_TRUE(f);
        EXPECT_TRUE(rule->matches(f->name())) << f->name();
        EXPECT_TRUE(findUnconnectedPin(f, PINDIR_INPUT));
        EXPECT_TRUE(findUnconnectedPin(f, PINDIR_OUTPUT));
    }
}
