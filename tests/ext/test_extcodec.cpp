#include "crc32c.h"
#include "extcodec.h"

#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <string>
#include <vector>

using namespace zelk::ext;

namespace {

void putBigEndian(std::string& out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFFU);
    }
}

// A datagram laid out by hand from the table of fields, independently of the encoder; the CRC is
// taken over the bytes as they stand (or left wrong on purpose).
std::string handMade(char start, char kind, std::uint64_t transfer, std::uint64_t value,
                     const std::string& body, std::uint32_t crcFlip = 0) {
    std::string out;
    out += start;
    out += kind;
    putBigEndian(out, transfer, 8);
    putBigEndian(out, value, 8);
    const std::uint32_t crc = crc32c(crc32c(0, out.data(), out.size()), body.data(), body.size());
    putBigEndian(out, crc ^ crcFlip, 4);
    return out + body;
}

std::string rangesBody(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges) {
    std::string body;
    for (const auto& [start, end] : ranges) {
        putBigEndian(body, start, 8);
        putBigEndian(body, end, 8);
    }
    return body;
}

std::string withByte(std::string bytes, std::size_t at, char value) {
    bytes[at] = value;
    return bytes;
}

std::string hex(std::uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

TEST(ExtCodec, EncodesTheTableLayoutAndReadsItBack) {
    struct Case {
        Kind kind;
        std::uint64_t transfer;
        std::int64_t value;
        std::string body;
    };
    const std::vector<Case> cases = {
        {Kind::Data, 1, 0, "x"},
        {Kind::Data, 0x0102030405060708ULL, 0x1122334455667788LL, std::string(kLargestBody, 'd')},
        {Kind::Finish, std::numeric_limits<std::uint64_t>::max(), 1, std::string(32, '\xAB')},
        {Kind::Ack, 42, std::numeric_limits<std::int64_t>::max(), ""},
        {Kind::Ack, 42, 7, rangesBody({{8, 9}, {10, 0x7FFFFFFFFFFFFFFFULL}})},
        {Kind::Verified, 9, 123456789012LL, ""},
        {Kind::Mismatch, 9, 0, ""},
        {Kind::Unknown, 9, 0, ""},
    };
    std::string out = "stale bytes from an earlier datagram, longer than some of these";
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<char>(c.kind));
        encode(c.kind, c.transfer, c.value, c.body, out);
        EXPECT_EQ(out, handMade(kStart, static_cast<char>(c.kind), c.transfer,
                                static_cast<std::uint64_t>(c.value), c.body));
        const auto frame = decode(out);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->kind, c.kind);
        EXPECT_EQ(frame->transfer, c.transfer);
        EXPECT_EQ(frame->value, c.value);
        EXPECT_EQ(frame->body, c.body);
    }
    const std::vector<Range> ranges = {{8, 9}, {10, 20}};
    encodeAck(42, 7, ranges, out);
    EXPECT_EQ(out, handMade(kStart, 'A', 42, 7, rangesBody({{8, 9}, {10, 20}})));
    const auto ack = decode(out);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ackRanges(*ack), ranges);
}

TEST(ExtCodec, DropsADatagramFailingAnyCheck) {
    const std::string digest(32, 'h');
    const std::string range = rangesBody({{5, 6}});
    std::string ranges33;
    for (std::uint64_t i = 0; i < 33; ++i) {
        ranges33 += rangesBody({{10 + 2 * i, 11 + 2 * i}});
    }
    const std::string valid = handMade(kStart, 'D', 1, 0, "x");
    ASSERT_TRUE(decode(valid));
    ASSERT_TRUE(decode(handMade(kStart, 'A', 1, 0, ranges33.substr(16))));
    const std::vector<std::pair<const char*, std::string>> rejected = {
        {"empty", ""},
        {"head cut short", valid.substr(0, kHeadBytes - 1)},
        {"plain start byte", handMade(1, 'D', 1, 0, "x")},
        {"unknown kind", handMade(kStart, 'Z', 1, 0, "x")},
        {"lowercase kind", handMade(kStart, 'd', 1, 0, "x")},
        {"transfer 0", handMade(kStart, 'D', 0, 0, "x")},
        {"value past 2^63-1", handMade(kStart, 'D', 1, kLargestValue + 1, "x")},
        {"value all ones", handMade(kStart, 'V', 1, ~0ULL, "")},
        {"crc wrong", handMade(kStart, 'D', 1, 0, "x", 1)},
        {"crc of an empty body wrong", handMade(kStart, 'U', 1, 0, "", 0x80000000U)},
        {"body changed after the crc", valid.substr(0, kHeadBytes) + "y"},
        {"head changed after the crc", withByte(valid, 5, 7)},
        {"data without bytes", handMade(kStart, 'D', 1, 0, "")},
        {"data past the largest datagram",
         handMade(kStart, 'D', 1, 0, std::string(kLargestBody + 1, 'd'))},
        {"finish with a short digest", handMade(kStart, 'F', 1, 5, digest.substr(1))},
        {"finish with a long digest", handMade(kStart, 'F', 1, 5, digest + "h")},
        {"finish without digest", handMade(kStart, 'F', 1, 5, "")},
        {"ack with half a range", handMade(kStart, 'A', 1, 0, range.substr(0, 8))},
        {"ack with 33 ranges", handMade(kStart, 'A', 1, 0, ranges33)},
        {"verified with a body", handMade(kStart, 'V', 1, 5, "x")},
        {"mismatch with a body", handMade(kStart, 'X', 1, 0, digest)},
        {"unknown with a body", handMade(kStart, 'U', 1, 0, range)},
    };
    for (const auto& [name, datagram] : rejected) {
        EXPECT_FALSE(decode(datagram)) << name;
    }
}

TEST(ExtCodec, AckRangesMustBeAscendingDisjointAndAboveTheCumulative) {
    constexpr std::uint64_t kTop = kLargestValue;
    struct Case {
        const char* name;
        std::uint64_t cumulative;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"none", 100, {}, true},
        {"two apart", 100, {{101, 200}, {300, 301}}, true},
        {"up to the largest offset", 0, {{1, kTop}}, true},
        {"start at the cumulative", 100, {{100, 200}}, false},
        {"start below the cumulative", 100, {{50, 200}}, false},
        {"empty", 100, {{150, 150}}, false},
        {"reversed", 100, {{200, 150}}, false},
        {"touching", 100, {{101, 200}, {200, 300}}, false},
        {"overlapping", 100, {{101, 200}, {150, 300}}, false},
        {"descending", 100, {{300, 400}, {101, 200}}, false},
        {"end past 2^63-1", 0, {{1, kTop + 1}}, false},
        {"start past 2^63-1", 0, {{kTop + 1, kTop + 2}}, false},
    };
    for (const Case& c : cases) {
        const std::string datagram = handMade(kStart, 'A', 3, c.cumulative, rangesBody(c.ranges));
        const auto frame = decode(datagram);
        ASSERT_TRUE(frame) << c.name;
        const auto ranges = ackRanges(*frame);
        EXPECT_EQ(ranges.has_value(), c.accepted) << c.name;
        if (ranges) {
            ASSERT_EQ(ranges->size(), c.ranges.size());
            for (std::size_t i = 0; i < c.ranges.size(); ++i) {
                EXPECT_EQ((*ranges)[i], (Range{static_cast<std::int64_t>(c.ranges[i].first),
                                               static_cast<std::int64_t>(c.ranges[i].second)}));
            }
        }
    }
    const auto data = decode(handMade(kStart, 'D', 3, 0, rangesBody({{1, 2}})));
    ASSERT_TRUE(data);
    EXPECT_FALSE(ackRanges(*data)) << "ranges are read from acks only";
}

TEST(ExtCodec, OfferTextIsStrict) {
    const std::string id = "00000000deadbeef";
    struct Case {
        std::string payload;
        std::optional<std::int64_t> size; // nothing: no offer found
    };
    const std::vector<Case> cases = {
        {"BEG;a.txt;12;ZX1," + id + ",12;END", 12},
        {"BEG;a.txt;0;ZX1," + id + ",9223372036854775807;END", 9223372036854775807LL},
        {"BEG;a.txt;12;LATER;ZX1," + id + ",12;END", 12},
        {"BEG;a.txt;12;END", std::nullopt},
        {"BEG;a.txt;12;;END", std::nullopt},
        {"BEG;ZX1," + id + ",12;12;END", std::nullopt},
        {"BEG;a.txt;ZX1," + id + ",12;END", std::nullopt},
        {"BEG;a.txt;12;ZX1," + id + ",12", std::nullopt},
        {"BEG;a.txt;12;ZX1," + id + ",12;END;", std::nullopt},
        {"BEG;a.txt;12;ZX1,00000000DEADBEEF,12;END", std::nullopt},
        {"BEG;a.txt;12;ZX1,0000000deadbeef,12;END", std::nullopt},
        {"BEG;a.txt;12;ZX1,000000000deadbeef,12;END", std::nullopt},
        {"BEG;a.txt;12;ZX1,0000000000000000,12;END", std::nullopt},
        {"BEG;a.txt;12;ZX1,00000000deadbeeg,12;END", std::nullopt},
        {"BEG;a.txt;12;ZX1," + id + ",+12;END", std::nullopt},
        {"BEG;a.txt;12;ZX1," + id + ",-12;END", std::nullopt},
        {"BEG;a.txt;12;ZX1," + id + ", 12;END", std::nullopt},
        {"BEG;a.txt;12;ZX1," + id + ",12 ;END", std::nullopt},
        {"BEG;a.txt;12;ZX1," + id + ",;END", std::nullopt},
        {"BEG;a.txt;12;ZX1," + id + ",1x;END", std::nullopt},
        {"BEG;a.txt;12;ZX1," + id + ",012;END", std::nullopt},
        {"BEG;a.txt;0;ZX1," + id + ",0;END", 0},
        {"BEG;a.txt;12;ZX1," + id + ",12,0;END", std::nullopt},
        {"BEG;a.txt;12;ZX1," + id + ",9223372036854775808;END", std::nullopt},
        {"BEG;a.txt;12;ZX1," + id + ",99999999999999999999;END", std::nullopt},
        {"BEG;a.txt;12;ZX2," + id + ",12;END", std::nullopt},
        {"BEG;a.txt;12;ZX1;" + id + ",12;END", std::nullopt},
    };
    for (const Case& c : cases) {
        const auto offer = findOffer(c.payload);
        EXPECT_EQ(offer.has_value(), c.size.has_value()) << c.payload;
        if (offer && c.size) {
            EXPECT_EQ(offer->transfer, 0xdeadbeefULL) << c.payload;
            EXPECT_EQ(offer->size, *c.size) << c.payload;
        }
    }
    const Offer big{0xFEDCBA9876543210ULL, 5'000'000'000LL};
    EXPECT_EQ(offerField(big), "ZX1,fedcba9876543210,5000000000");
    const auto back =
        findOffer("BEG;big.bin;" + plainSizeText(big.size) + ";" + offerField(big) + ";END");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->transfer, big.transfer);
    EXPECT_EQ(back->size, big.size);
    EXPECT_EQ(plainSizeText(0), "0");
    EXPECT_EQ(plainSizeText(zelk::kLargestFile), "2147483646");
    EXPECT_EQ(plainSizeText(zelk::kLargestFile + 1), "0");
}

TEST(ExtCodec, AcceptanceFollowsThePlainAnswer) {
    struct Case {
        std::string answer;
        std::optional<std::int64_t> cumulative;
    };
    const std::string id = hex(77);
    const std::vector<Case> cases = {
        {"PTE;1;END;ZX1," + id + ",0", 0},
        {"PTE;1001;END;ZX1," + id + ",1000", 1000},
        {"PTE;1;END", std::nullopt},
        {"PTE;1;END;", std::nullopt},
        {"PTE;1;END;extra", std::nullopt},
        {"PTE;1;END;ZX1," + id + ",0;more", 0}, // a field may follow (a grant, a proof)
        {"PTE;1;END;ZX1," + id + ",0\n", std::nullopt},
        {"PTE;1;END;ZX1," + id + ",-1", std::nullopt},
        {"PTE;1;END;ZX1," + id + ",00", std::nullopt},
        {"PTE;1;END;ZX1," + id + ",9223372036854775808", std::nullopt},
        {"PTE;1;END;ZX1,0000000000000000,0", std::nullopt},
        {"pte;1;END;ZX1," + id + ",0", std::nullopt},
        {"PTE;1;EN;ZX1," + id + ",0", std::nullopt},
        {"PTE;1;x;END;ZX1," + id + ",0", std::nullopt},
        {"ZX1," + id + ",0", std::nullopt},
    };
    for (const Case& c : cases) {
        const auto accept = findAccept(c.answer);
        EXPECT_EQ(accept.has_value(), c.cumulative.has_value()) << c.answer;
        if (accept && c.cumulative) {
            EXPECT_EQ(accept->transfer, 77U);
            EXPECT_EQ(accept->cumulative, *c.cumulative);
        }
    }
    const Accept accept{0x0123456789abcdefULL, 5'000'000'000LL};
    EXPECT_EQ(acceptSuffix(accept), ";ZX1,0123456789abcdef,5000000000");
    const auto back = findAccept("PTE;5000000001;END" + acceptSuffix(accept));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->transfer, accept.transfer);
    EXPECT_EQ(back->cumulative, accept.cumulative);
}

// The ask for several transfers: beside the offer, where a plain server ignores it; read only as
// a peer writes it. The grant: the last field of an answer that holds an acceptance.
TEST(ExtCodec, SeveralTransfersAreAskedBesideTheOfferAndGrantedAfterTheAcceptance) {
    const std::string offer = "ZX1," + hex(9) + ",12";
    struct Case {
        std::string payload;
        std::optional<int> asked;
    };
    const std::vector<Case> asks = {
        {"BEG;a;12;" + offer + ";" + multiField(8) + ";END", 8},
        {"BEG;a;12;" + multiField(1) + ";" + offer + ";END", 1},
        {"BEG;a;12;" + offer + ";ZXM,1024;END", 1024},
        {"BEG;a;12;" + offer + ";ZXM,1025;END", std::nullopt},
        {"BEG;a;12;" + offer + ";ZXM,0;END", std::nullopt},
        {"BEG;a;12;" + offer + ";ZXM,08;END", std::nullopt},
        {"BEG;a;12;" + offer + ";ZXM,-8;END", std::nullopt},
        {"BEG;a;12;" + offer + ";ZXM,;END", std::nullopt},
        {"BEG;a;12;" + offer + ";ZXM,8,1;END", std::nullopt},
        {"BEG;a;12;" + offer + ";ZXM8;END", std::nullopt},
        {"BEG;a;12;" + offer + ";END", std::nullopt},
        {"BEG;a;12;" + offer + ";ZXM,8", std::nullopt},
        {"BEG;ZXM,8;12;" + offer + ";END", std::nullopt},
    };
    for (const Case& c : asks) {
        EXPECT_EQ(findMulti(c.payload), c.asked) << c.payload;
    }
    EXPECT_EQ(multiField(64), "ZXM,64");
    EXPECT_EQ(findOffer("BEG;a;12;" + offer + ";" + multiField(8) + ";END")->size, 12);

    const std::string accepted = "PTE;1;END" + acceptSuffix(Accept{77, 0});
    EXPECT_EQ(grantSuffix(3), ";ZXM,3");
    EXPECT_EQ(findGrant(accepted + grantSuffix(3)), 3);
    EXPECT_EQ(findAccept(accepted + grantSuffix(3))->transfer, 77U);
    EXPECT_EQ(findGrant(accepted), std::nullopt);
    EXPECT_EQ(findGrant("PTE;1;END;ZXM,3"), std::nullopt);
    EXPECT_EQ(findGrant(accepted + ";ZXM,0"), std::nullopt);
}
