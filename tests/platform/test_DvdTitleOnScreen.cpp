// The title on the screen against what a DVD source tells: its read-ahead, seamless titles
// ("play all"), jumps and menus.
#include "platform/dshow/dvd/DvdTitleOnScreen.h"

#include <gtest/gtest.h>

using platform::dshow::TitleOnScreen;

namespace {

constexpr int64_t S = 1'000'000'000;

// Titles 1, 2 and 3 of 6, 8 and 5 s; title 9 of no known length.
int64_t lengthOf(int title) {
    switch (title) {
    case 1:
        return 6 * S;
    case 2:
        return 8 * S;
    case 3:
        return 5 * S;
    }
    return -1;
}

} // namespace

// The source reads title 2 a second before title 1's pictures end; title 2 comes on the screen
// when the pipeline's count reaches title 1's length, and counts from there; so does title 3
// after it.
TEST(TitleOnScreen, ATitleReachedSeamlesslyStartsWhereTheOneBeforeEnds) {
    TitleOnScreen t;
    t.follow(1, 0, lengthOf);
    EXPECT_EQ(t.title(), 1);
    EXPECT_EQ(t.start(), 0);
    t.follow(1, 4 * S, lengthOf);
    t.follow(2, 5 * S, lengthOf); // read ahead
    EXPECT_EQ(t.title(), 1) << "title 1's pictures are still shown";
    t.follow(2, 5 * S + S / 2, lengthOf);
    EXPECT_EQ(t.title(), 1);
    t.follow(2, 6 * S, lengthOf);
    EXPECT_EQ(t.title(), 2);
    EXPECT_EQ(t.start(), 6 * S);
    t.follow(3, 13 * S, lengthOf);
    EXPECT_EQ(t.title(), 2);
    t.follow(3, 14 * S + 1, lengthOf);
    EXPECT_EQ(t.title(), 3);
    EXPECT_EQ(t.start(), 14 * S);
}

// A jump starts the count anew: the position goes back, and the new title is on the screen at
// once. So it is where the old title's length is not known, after a reset (a seek of the
// navigator's own), and after a menu.
TEST(TitleOnScreen, AJumpAResetOrAMenuStartsTheCountAnew) {
    TitleOnScreen t;
    t.follow(1, 3 * S, lengthOf);
    t.follow(2, S / 10, lengthOf);
    EXPECT_EQ(t.title(), 2);
    EXPECT_EQ(t.start(), 0);

    TitleOnScreen unknown;
    unknown.follow(9, 3 * S, lengthOf);
    unknown.follow(1, 4 * S, lengthOf);
    EXPECT_EQ(unknown.title(), 1);
    EXPECT_EQ(unknown.start(), 0);

    t.follow(3, 7 * S, lengthOf); // pending: title 2 ends at 8 s
    EXPECT_EQ(t.title(), 2);
    t.reset();
    t.follow(3, 2 * S, lengthOf);
    EXPECT_EQ(t.title(), 3);
    EXPECT_EQ(t.start(), 0);

    t.follow(0, -1, lengthOf);
    EXPECT_EQ(t.title(), 0);
    t.follow(2, 0, lengthOf);
    EXPECT_EQ(t.title(), 2);
    EXPECT_EQ(t.start(), 0);
}

// A source that tells another title and then its own again (a seek within the title that
// passed over its end) leaves the title on the screen as it was; a position the pipeline
// cannot tell changes nothing.
TEST(TitleOnScreen, TheSourceComingBackOrAnUnknownPositionChangesNothing) {
    TitleOnScreen t;
    t.follow(1, 2 * S, lengthOf);
    t.follow(2, 5 * S, lengthOf);
    t.follow(1, 5 * S, lengthOf);
    t.follow(1, 7 * S, lengthOf);
    EXPECT_EQ(t.title(), 1);
    EXPECT_EQ(t.start(), 0);
    t.follow(2, -1, lengthOf);
    EXPECT_EQ(t.title(), 1);
    t.follow(2, 7 * S, lengthOf);
    EXPECT_EQ(t.title(), 2);
    EXPECT_EQ(t.start(), 6 * S);
}
