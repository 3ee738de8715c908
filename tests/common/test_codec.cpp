#include "codec.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using namespace zelk;
using namespace std::string_literals;

namespace {

std::string hexBytes(std::initializer_list<int> bytes) {
    std::string out;
    for (int b : bytes) {
        out += static_cast<char>(b);
    }
    return out;
}

// A frame with a chosen length field and payload, built by hand.
std::string frame(std::string_view lengthField, std::string_view payload,
                  std::string_view origin = "poste7    ") {
    return "\x01"s + std::string(origin) + std::string(lengthField) + ";" + std::string(payload);
}

} // namespace

TEST(Codec, WorkedExampleHeaderIsByteExact) {
    const std::string expected =
        hexBytes({0x01, 0x70, 0x6F, 0x73, 0x74, 0x65, 0x37, 0x20, 0x20, 0x20, 0x20, 0x32, 0x34,
                  0x3B, 0x42, 0x45, 0x47, 0x3B, 0x72, 0x61, 0x70, 0x70, 0x6F, 0x72, 0x74, 0x2E,
                  0x74, 0x78, 0x74, 0x3B, 0x32, 0x35, 0x30, 0x30, 0x3B, 0x45, 0x4E, 0x44});
    const std::string built = buildHeaderFrame("poste7    ", "rapport.txt", 2500);
    EXPECT_EQ(built, expected);
    ASSERT_EQ(built.size(), 38u);

    const FrameCheck check = Valide_Id_Long(built);
    EXPECT_EQ(check.posDebutDonnees, 14);
    EXPECT_EQ(check.longDonnees, 24);
    EXPECT_TRUE(isHeaderFrame(built, check));
    const auto header = Traduit_Recu(built, check);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->nomOrigine, "poste7    ");
    EXPECT_EQ(header->nomFichier, "rapport.txt");
    EXPECT_EQ(header->tailleTotale, "2500");
}

TEST(Codec, WorkedExampleContentFrame) {
    const std::string piece(1000, 'x');
    const std::string built = buildContentFrame("poste7", piece);
    ASSERT_EQ(built.size(), 1016u);
    EXPECT_EQ(built.substr(0, 16), hexBytes({0x01, 0x70, 0x6F, 0x73, 0x74, 0x65, 0x37, 0x20, 0x20,
                                             0x20, 0x20, 0x31, 0x30, 0x30, 0x30, 0x3B}));
    const FrameCheck check = Valide_Id_Long(built);
    EXPECT_EQ(check.posDebutDonnees, 16);
    EXPECT_FALSE(isHeaderFrame(built, check));
    const Content content = Extrait_Orig_Data(built, check);
    EXPECT_EQ(content.nomOrigine, "poste7    ");
    EXPECT_EQ(content.donneesContenu, piece);

    char prefix[kMaxFramePrefix];
    EXPECT_EQ(writeContentPrefix(prefix, "abcdefghijKL", 7), 13u);
    EXPECT_EQ(std::string(prefix, 13), "\x01"s + "abcdefghij7;");
}

TEST(Codec, SeparatorMayStandAtOffsetsElevenToFifteenOnly) {
    EXPECT_FALSE(Valide_Id_Long(frame("", "")).valid()); // offset 11, empty payload
    EXPECT_EQ(Valide_Id_Long(frame("1", "a")).posDebutDonnees, 13);
    EXPECT_EQ(Valide_Id_Long(frame("12", std::string(12, 'a'))).posDebutDonnees, 14);
    EXPECT_EQ(Valide_Id_Long(frame("123", std::string(123, 'a'))).posDebutDonnees, 15);
    const FrameCheck largest = Valide_Id_Long(frame("9999", std::string(9999, 'a')));
    EXPECT_EQ(largest.posDebutDonnees, 16);
    EXPECT_EQ(largest.longDonnees, 9999);
    EXPECT_FALSE(Valide_Id_Long(frame("10000", std::string(10000, 'a'))).valid());
    EXPECT_FALSE(Valide_Id_Long(frame("00001", "a")).valid());
}

TEST(Codec, LengthMustMatchTheBytesReceived) {
    EXPECT_FALSE(Valide_Id_Long(frame("24", std::string(23, 'a'))).valid());
    EXPECT_FALSE(Valide_Id_Long(frame("24", std::string(25, 'a'))).valid());
    EXPECT_TRUE(Valide_Id_Long(frame("24", std::string(24, 'a'))).valid());
    EXPECT_EQ(Valide_Id_Long(frame("0024", std::string(24, 'a'))).longDonnees, 24);
    EXPECT_EQ(Valide_Id_Long(frame(" 24", std::string(24, 'a'))).longDonnees, 24);
    EXPECT_EQ(Valide_Id_Long(frame("2x", std::string(2, 'a'))).longDonnees, 2);
    EXPECT_FALSE(Valide_Id_Long(frame("0", "")).valid());
}

TEST(Codec, RejectsBadStartByteAndShortFrames) {
    std::string bad = frame("1", "a");
    bad[0] = 2;
    EXPECT_FALSE(Valide_Id_Long(bad).valid());
    EXPECT_FALSE(Valide_Id_Long("").valid());
    EXPECT_FALSE(Valide_Id_Long("\x01").valid());
    EXPECT_FALSE(Valide_Id_Long("\x01poste7    12").valid()); // ends before the separator
    EXPECT_FALSE(Valide_Id_Long("\x01poste7    ").valid());
}

TEST(Codec, OriginIsTakenWhateverItsBytes) {
    const std::string f = frame("1", "z", "a;b\x01\xff;;;;;");
    const FrameCheck check = Valide_Id_Long(f);
    ASSERT_TRUE(check.valid());
    EXPECT_EQ(Extrait_Orig_Data(f, check).nomOrigine, "a;b\x01\xff;;;;;");
}

TEST(Codec, ClassifiesHeadersByTheirMarks) {
    auto classify = [](std::string_view payload) {
        const std::string f = frame(std::to_string(payload.size()), payload);
        return isHeaderFrame(f, Valide_Id_Long(f));
    };
    EXPECT_TRUE(classify("BEG;a;1;END"));
    EXPECT_TRUE(classify("BEGEND"));
    EXPECT_FALSE(classify("BEG"));
    EXPECT_FALSE(classify("BE"));
    EXPECT_FALSE(classify("B"));
    EXPECT_FALSE(classify("beg;a;1;END"));
    EXPECT_FALSE(classify("BEG;a;1;END\n"));
    EXPECT_FALSE(classify("BEG;a;1;end"));
}

TEST(Codec, HeaderDecoding) {
    auto decode = [](std::string_view payload) {
        const std::string f = frame(std::to_string(payload.size()), payload);
        return Traduit_Recu(f, Valide_Id_Long(f));
    };
    const auto extra = decode("BEG;a.txt;10;END;more;END");
    ASSERT_TRUE(extra);
    EXPECT_EQ(extra->nomFichier, "a.txt");
    EXPECT_EQ(extra->tailleTotale, "10");
    const auto shifted = decode("BEG;a;b.txt;10;END"); // a name holding ";"
    ASSERT_TRUE(shifted);
    EXPECT_EQ(shifted->nomFichier, "a");
    EXPECT_EQ(shifted->tailleTotale, "b.txt");
    EXPECT_FALSE(decode("BEG;END"));
    EXPECT_FALSE(decode("BEGxEND"));
    const auto empty = decode("BEG;;;END");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->nomFichier, "");
}

TEST(Codec, Acknowledgements) {
    EXPECT_EQ(buildAck("1"), "PTE;1;END");
    EXPECT_EQ(buildAck("1").size(), 9u);
    EXPECT_EQ(readAck("PTE;1;END"), 0);
    EXPECT_EQ(readAck("PTE;1001;END"), 1000);
    EXPECT_EQ(readAck("PTE;1001;END;extra"), 1000);
    EXPECT_EQ(readAck("PTE;2147483647;END"), 2147483646);
    EXPECT_EQ(readAck("PTE; 12x;END"), 11);
    EXPECT_EQ(readAck("PTE;x;END"), -1);
    EXPECT_EQ(readAck("PTE;;END"), -1);
    EXPECT_FALSE(readAck("pte;1;END"));
    EXPECT_FALSE(readAck("PTE;1001;END\n"));
    EXPECT_FALSE(readAck("PTE;1001;END\r\n"));
    EXPECT_FALSE(readAck(" PTE;1;END"));
    EXPECT_FALSE(readAck("PTE;5"));
    EXPECT_FALSE(readAck("PTE"));
    EXPECT_FALSE(readAck(""));
    EXPECT_FALSE(readAck("PTE;1;ENDX"));
}

TEST(Codec, CutsAByteStreamIntoFrames) {
    const std::string one = buildHeaderFrame("p", "a", 5);
    const std::string two = buildContentFrame("p", "hello");
    const std::string stream = one + two;
    EXPECT_EQ(cutStreamFrame(stream).cut, StreamCut::Complete);
    EXPECT_EQ(cutStreamFrame(stream).length, one.size());
    EXPECT_EQ(cutStreamFrame(std::string_view(stream).substr(one.size())).length, two.size());
    for (std::size_t n = 0; n < one.size(); ++n) {
        EXPECT_EQ(cutStreamFrame(std::string_view(one).substr(0, n)).cut, StreamCut::NeedMore) << n;
    }
    EXPECT_EQ(cutStreamFrame("x").cut, StreamCut::Garbage);
    EXPECT_EQ(cutStreamFrame("\x01poste7    12345;").cut, StreamCut::Garbage);
    // An empty payload still occupies its own bytes, so the stream stays in step.
    const StreamFrame empty = cutStreamFrame("\x01poste7    ;\x01");
    EXPECT_EQ(empty.cut, StreamCut::Complete);
    EXPECT_EQ(empty.length, 12u);
}

// The one split both protocols read their texts with: every ";" separates, empty fields count.
TEST(Codec, SplitsFieldsAtEverySeparator) {
    struct Case {
        std::string_view text;
        std::vector<std::string_view> fields;
        std::optional<std::size_t> afterThird;
    };
    for (const Case& c : std::vector<Case>{
             {"", {""}, std::nullopt},
             {"PTE", {"PTE"}, std::nullopt},
             {"PTE;12;END", {"PTE", "12", "END"}, std::nullopt},
             {"PTE;12;END;", {"PTE", "12", "END", ""}, 11},
             {";;;", {"", "", "", ""}, 3},
             {"PTE;1;END;ZX1,a;b", {"PTE", "1", "END", "ZX1,a", "b"}, 10},
         }) {
        EXPECT_EQ(splitFields(c.text), c.fields) << c.text;
        EXPECT_EQ(fieldStart(c.text, 3), c.afterThird) << c.text;
        for (std::size_t i = 0; i < c.fields.size(); ++i) {
            EXPECT_EQ(fieldAt(c.text, i), c.fields[i]) << c.text << " field " << i;
        }
        EXPECT_EQ(fieldAt(c.text, c.fields.size()), std::nullopt) << c.text;
    }
}
