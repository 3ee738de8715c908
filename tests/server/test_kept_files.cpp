// The server keeps a received file open from one piece to the next. Nothing may tell: a file that
// someone removes, shortens, moves away or replaces mid-transfer must end up exactly as if the
// server had opened it by its path for every piece, and no file stays open once its transfer is
// over or has gone quiet.

#include "harness.h"
#include "heldopen.h"

#include "fsops.h"

#include <QDir>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace servertest;
using zelktest::readFile;
using zelktest::writeFile;

namespace {

class KeptFiles : public ::testing::Test {
protected:
    void start(std::int64_t size) {
        ASSERT_EQ(peer.exchange(header(kPoste7, "k.bin", size)), "PTE;1;END");
        ASSERT_EQ(peer.exchange(content(kPoste7, "abc")), "PTE;4;END");
        ASSERT_EQ(readFile(path), "abc");
    }

    RunningServer server;
    UdpPeer peer{server.engine().udpPort()};
    const std::string path = server.pathOf("poste7", "k.bin");
};

} // namespace

TEST_F(KeptFiles, AFileRemovedMidTransferIsCreatedAgainAndExtended) {
    start(9);
    ASSERT_TRUE(zelk::deleteFile(path));
    EXPECT_EQ(peer.exchange(content(kPoste7, "def")), "PTE;7;END");
    EXPECT_EQ(readFile(path), std::string("\0\0\0def", 6));
    EXPECT_EQ(peer.exchange(content(kPoste7, "ghi")), "PTE;10;END");
    EXPECT_EQ(readFile(path), std::string("\0\0\0defghi", 9));
}

TEST_F(KeptFiles, AFolderRemovedMidTransferIsMadeAgain) {
    start(9);
    ASSERT_TRUE(QDir(QString::fromStdString(server.pathOf("poste7", ""))).removeRecursively());
    EXPECT_EQ(peer.exchange(content(kPoste7, "def")), "PTE;7;END");
    EXPECT_EQ(readFile(path), std::string("\0\0\0def", 6));
}

TEST_F(KeptFiles, AFileShortenedMidTransferIsExtendedAtTheHeldPosition) {
    start(12);
    ASSERT_EQ(peer.exchange(content(kPoste7, "def")), "PTE;7;END");
    ASSERT_EQ(::truncate(path.c_str(), 2), 0);
    EXPECT_EQ(peer.exchange(content(kPoste7, "ghi")), "PTE;10;END");
    EXPECT_EQ(readFile(path), std::string("ab\0\0\0\0ghi", 9));
}

TEST_F(KeptFiles, AFileMovedAwayKeepsWhatItHadAndANewOneGrowsInItsPlace) {
    start(9);
    const std::string moved = server.scratchPath() + "/moved.bin";
    ASSERT_EQ(std::rename(path.c_str(), moved.c_str()), 0);
    EXPECT_EQ(peer.exchange(content(kPoste7, "def")), "PTE;7;END");
    EXPECT_EQ(readFile(moved), "abc");
    EXPECT_EQ(readFile(path), std::string("\0\0\0def", 6));
}

TEST_F(KeptFiles, AFileReplacedByAnotherIsWrittenThroughItsPath) {
    start(9);
    const std::string other = server.scratchPath() + "/other.bin";
    writeFile(other, "XYZXYZXYZXYZ");
    ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);
    EXPECT_EQ(peer.exchange(content(kPoste7, "def")), "PTE;7;END");
    EXPECT_EQ(readFile(path), "XYZdefXYZXYZ");
}

TEST_F(KeptFiles, NoFileStaysOpenAfterItsLastPieceOrOnceItsTransferGoesQuiet) {
    start(6);
    EXPECT_TRUE(heldOpen(path));
    ASSERT_EQ(peer.exchange(content(kPoste7, "def")), "PTE;7;END");
    EXPECT_FALSE(heldOpen(path));

    ASSERT_EQ(peer.exchange(header(kPoste7, "quiet.bin", 100)), "PTE;1;END");
    ASSERT_EQ(peer.exchange(content(kPoste7, "abc")), "PTE;4;END");
    const std::string quiet = server.pathOf("poste7", "quiet.bin");
    EXPECT_TRUE(heldOpen(quiet));
    EXPECT_TRUE(waitUntil([&] { return !heldOpen(quiet); }));
    // The transfer itself goes on where it was.
    EXPECT_EQ(peer.exchange(content(kPoste7, "def")), "PTE;7;END");
    EXPECT_EQ(readFile(quiet), "abcdef");
}

TEST_F(KeptFiles, AnotherFileFromTheOriginClosesTheFirst) {
    start(9);
    ASSERT_EQ(peer.exchange(header(kPoste7, "second.bin", 9)), "PTE;1;END");
    EXPECT_FALSE(heldOpen(path));
    EXPECT_EQ(readFile(path), "abc"); // the partial file stays as it was
}

TEST(KeptFilesMany, MoreTransfersAtOnceThanFilesKeptOpenAllArriveWhole) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    constexpr int kOrigins = 45; // beyond the number of files kept open
    constexpr int kPieces = 4;
    auto origin = [](int i) {
        std::string name = "o";
        name += std::to_string(i);
        return name;
    };
    for (int i = 0; i < kOrigins; ++i) {
        ASSERT_EQ(peer.exchange(header(origin(i), "m.bin", kPieces * 2)), "PTE;1;END");
    }
    for (int piece = 0; piece < kPieces; ++piece) {
        for (int i = 0; i < kOrigins; ++i) {
            const std::string bytes = {static_cast<char>('a' + piece), static_cast<char>('A' + i)};
            ASSERT_EQ(peer.exchange(content(origin(i), bytes)), ack(piece * 2 + 3)) << i;
        }
    }
    EXPECT_EQ(server.table().count(), 0);
    for (int i = 0; i < kOrigins; ++i) {
        std::string expected;
        for (int piece = 0; piece < kPieces; ++piece) {
            expected += static_cast<char>('a' + piece);
            expected += static_cast<char>('A' + i);
        }
        EXPECT_EQ(readFile(server.pathOf(origin(i), "m.bin")), expected) << i;
    }
}
