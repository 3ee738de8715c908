// The lengths the client gives its pieces, so that a stray piece shows as an answer that does not
// fit: pure, time given by the test.

#include "piecelengths.h"

#include <gtest/gtest.h>
#include <set>
#include <vector>

namespace {

using zelk::PieceLengths;

// On a quiet link pieces keep the full length or one or two bytes less, so that no two of three in
// a row have the same length; the last piece of a file takes no length sent lately.
TEST(PieceLengths, NoTwoOfThreePiecesInARowShareALengthAndTheLastTakesNoneSentLately) {
    PieceLengths lengths(5000);
    std::vector<std::size_t> chosen;
    for (int i = 0; i < 6; ++i) {
        chosen.push_back(lengths.choose(1400, false, 0));
        lengths.sent(chosen.back());
    }
    EXPECT_EQ(chosen, (std::vector<std::size_t>{1400, 1399, 1398, 1400, 1399, 1398}));
    lengths.sent(500); // the last piece of an earlier file
    EXPECT_EQ(lengths.choose(500, true, 0), 499u);
    EXPECT_EQ(lengths.choose(1400, true, 0), 1397u);
    EXPECT_EQ(lengths.choose(1, true, 0), 1u) << "no choice is left below 1";
}

TEST(PieceLengths, ALengthLeftUnansweredIsAvoidedWhileALateCopyMayCome) {
    PieceLengths lengths(5000);
    lengths.sent(1000);
    lengths.sent(1400);
    lengths.unanswered(1400, 1000);
    EXPECT_TRUE(lengths.wary(1000));
    EXPECT_NE(lengths.choose(1400, false, 5999), 1400u);
    EXPECT_FALSE(lengths.wary(6000));
    EXPECT_EQ(lengths.choose(1400, false, 6000), 1399u) << "only the two latest are avoided";
}

// Once copies were seen, no piece takes any of the latest lengths, and the lengths are drawn so
// that an older stray piece matches the one on its way only by chance.
TEST(PieceLengths, WhileWaryNoneOfTheLatestLengthsComesBack) {
    PieceLengths lengths(5000);
    lengths.anomaly(0);
    std::deque<std::size_t> latest;
    std::set<std::size_t> seen;
    for (int i = 0; i < 2000; ++i) {
        const std::size_t length = lengths.choose(9999, false, 100);
        ASSERT_GE(length, 9999u - PieceLengths::kSpread);
        ASSERT_LE(length, 9999u);
        ASSERT_EQ(std::find(latest.begin(), latest.end(), length), latest.end()) << i;
        lengths.sent(length);
        latest.push_back(length);
        if (latest.size() > PieceLengths::kRecent) {
            latest.pop_front();
        }
        seen.insert(length);
    }
    EXPECT_GT(seen.size(), PieceLengths::kRecent * 2) << "drawn, not cycled";
}

} // namespace
