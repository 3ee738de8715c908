#include "crc32c.h"
#include "digest.h"
#include "rangeset.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

using namespace zelk::ext;

namespace {

// Bit by bit, straight from the polynomial: slow and obviously right.
std::uint32_t crcByBits(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFU;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) != 0 ? (crc >> 1) ^ 0x82F63B78U : crc >> 1;
        }
    }
    return ~crc;
}

} // namespace

TEST(Crc32c, MatchesTheCheckValueAndABitwiseReferenceAtEveryLengthAndSplit) {
    EXPECT_EQ(crc32c(0, "123456789", 9), 0xE3069283U);
    EXPECT_EQ(crc32c(0, "", 0), 0U);
    std::mt19937 random(7);
    std::string bytes(70, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    for (std::size_t length = 0; length <= bytes.size(); ++length) {
        // Starting one byte in puts the 8-byte steps off alignment.
        const std::string part = bytes.substr(1, length > 0 ? length - 1 : 0);
        const std::uint32_t whole = crc32c(0, part.data(), part.size());
        ASSERT_EQ(whole, crcByBits(part)) << length;
        const std::size_t split = part.size() / 3;
        EXPECT_EQ(crc32c(crc32c(0, part.data(), split), part.data() + split, part.size() - split),
                  whole)
            << length;
    }
}

TEST(RangeSet, MergesWhatOverlapsOrTouches) {
    struct Case {
        const char* name;
        std::vector<Range> added;
        std::vector<Range> held;
    };
    const std::vector<Case> cases = {
        {"apart", {{10, 20}, {30, 40}}, {{10, 20}, {30, 40}}},
        {"touching after", {{10, 20}, {20, 30}}, {{10, 30}}},
        {"touching before", {{20, 30}, {10, 20}}, {{10, 30}}},
        {"overlapping", {{10, 20}, {15, 25}}, {{10, 25}}},
        {"inside", {{10, 40}, {15, 25}}, {{10, 40}}},
        {"around", {{15, 25}, {10, 40}}, {{10, 40}}},
        {"bridging three", {{0, 5}, {10, 15}, {20, 25}, {30, 35}, {4, 21}}, {{0, 25}, {30, 35}}},
        {"empty and reversed are nothing", {{10, 20}, {5, 5}, {30, 25}}, {{10, 20}}},
        {"same twice", {{10, 20}, {10, 20}}, {{10, 20}}},
    };
    for (const Case& c : cases) {
        RangeSet set;
        std::int64_t expectedBytes = 0;
        for (const Range& range : c.added) {
            EXPECT_TRUE(set.add(range.start, range.end)) << c.name;
        }
        for (const Range& range : c.held) {
            expectedBytes += range.end - range.start;
        }
        EXPECT_EQ(set.list(), c.held) << c.name;
        EXPECT_EQ(set.count(), c.held.size()) << c.name;
        EXPECT_EQ(set.bytes(), expectedBytes) << c.name;
    }
}

TEST(RangeSet, CumulativeMissingCoversAndBeyond) {
    RangeSet set;
    set.add(100, 200);
    set.add(300, 400);
    EXPECT_EQ(set.cumulative(), 0);
    EXPECT_EQ(set.beyondCumulative(32), (std::vector<Range>{{100, 200}, {300, 400}}));
    EXPECT_EQ(set.missing(0, 500), (std::vector<Range>{{0, 100}, {200, 300}, {400, 500}}));
    EXPECT_EQ(set.missing(150, 350), (std::vector<Range>{{200, 300}}));
    EXPECT_EQ(set.missing(120, 180), std::vector<Range>{});
    EXPECT_EQ(set.missing(200, 300), (std::vector<Range>{{200, 300}}));
    EXPECT_EQ(set.missing(50, 60), (std::vector<Range>{{50, 60}}));
    EXPECT_TRUE(set.covers(100, 200));
    EXPECT_TRUE(set.covers(7, 7));
    EXPECT_FALSE(set.covers(99, 150));
    EXPECT_FALSE(set.covers(150, 201));
    EXPECT_FALSE(set.covers(150, 350));

    set.add(0, 100);
    EXPECT_EQ(set.cumulative(), 200);
    EXPECT_EQ(set.beyondCumulative(32), (std::vector<Range>{{300, 400}}));
    set.add(500, 600);
    EXPECT_EQ(set.beyondCumulative(1), (std::vector<Range>{{300, 400}}));
    set.clear();
    EXPECT_EQ(set.bytes(), 0);
    EXPECT_EQ(set.cumulative(), 0);
}

TEST(RangeSet, RefusesANewRangePastItsCapButStillMerges) {
    RangeSet set(3);
    ASSERT_TRUE(set.add(0, 10));
    ASSERT_TRUE(set.add(20, 30));
    ASSERT_TRUE(set.add(40, 50));
    EXPECT_FALSE(set.add(60, 70));
    EXPECT_EQ(set.list(), (std::vector<Range>{{0, 10}, {20, 30}, {40, 50}}));
    EXPECT_EQ(set.bytes(), 30);
    EXPECT_TRUE(set.add(50, 55)) << "touching makes no new range";
    EXPECT_TRUE(set.add(5, 25)) << "bridging makes fewer";
    EXPECT_TRUE(set.add(60, 70));
    EXPECT_EQ(set.list(), (std::vector<Range>{{0, 30}, {40, 55}, {60, 70}}));
    EXPECT_EQ(RangeSet().add(-1, 5), false);
}

TEST(RunningDigest, KnownDigestsFedInPiecesAndReadBack) {
    RunningDigest digest;
    EXPECT_TRUE(digest.feed(0, "ab"));
    EXPECT_FALSE(digest.feed(3, "d")) << "a gap is not hashed";
    EXPECT_FALSE(digest.feed(0, "a")) << "bytes already hashed";
    EXPECT_TRUE(digest.feed(1, "bc")) << "only the part past done()";
    EXPECT_EQ(digest.done(), 3);
    EXPECT_EQ(digestHex(digest.finish()),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest.done(), 0);
    EXPECT_EQ(digestHex(digest.finish()),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

    // A million 'a': some fed as the pieces go out, the rest read back within a budget.
    const std::string file(1'000'000, 'a');
    std::vector<std::size_t> reads;
    const RunningDigest::Reader reader = [&](char* into, std::size_t length, std::int64_t offset) {
        reads.push_back(length);
        const std::size_t from = static_cast<std::size_t>(offset);
        const std::size_t count = std::min(length, file.size() - from);
        file.copy(into, count, from);
        return static_cast<long>(count);
    };
    ASSERT_TRUE(digest.feed(0, std::string_view(file).substr(0, 1000)));
    ASSERT_TRUE(digest.catchUp(400'000, 150'000, reader));
    EXPECT_EQ(digest.done(), 151'000);
    ASSERT_TRUE(digest.feed(150'000, std::string_view(file).substr(150'000, 100'000)));
    ASSERT_TRUE(digest.catchUp(1'000'000, 1 << 30, reader));
    EXPECT_EQ(digest.done(), 1'000'000);
    EXPECT_EQ(digestHex(digest.finish()),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    reads.clear();
    const std::string big(3 << 20, 'z');
    const RunningDigest::Reader bigReader = [&](char* into, std::size_t length,
                                                std::int64_t offset) {
        reads.push_back(length);
        big.copy(into, length, static_cast<std::size_t>(offset));
        return static_cast<long>(length);
    };
    ASSERT_TRUE(digest.catchUp(static_cast<std::int64_t>(big.size()), 1 << 30, bigReader));
    ASSERT_FALSE(reads.empty());
    for (std::size_t length : reads) {
        EXPECT_LE(length, std::size_t{1} << 20);
    }
    digest.restart();

    const RunningDigest::Reader failing = [](char*, std::size_t, std::int64_t) { return -1L; };
    EXPECT_FALSE(digest.catchUp(10, 10, failing));
    EXPECT_EQ(digest.done(), 0);
    EXPECT_FALSE(digest.catchUp(2'000'000, 1 << 30, reader)) << "the file ends at 1 000 000";
    EXPECT_EQ(digest.done(), 1'000'000);
}
