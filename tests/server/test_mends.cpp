// Input that would reach outside the receive folder, writes that fail, and the table's limit.

#include "harness.h"

#include "fsops.h"

#include <QDir>
#include <QProcess>
#include <gtest/gtest.h>
#include <vector>

using namespace servertest;
using zelktest::readFile;
using zelktest::writeFile;

namespace {

QStringList entriesOf(const std::string& folder) {
    return QDir(QString::fromStdString(folder))
        .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
}

// Sets or clears the immutable attribute; false where the file system or rights refuse it.
bool setImmutable(const std::string& path, bool on) {
    QProcess chattr;
    chattr.start(QStringLiteral("chattr"),
                 {on ? QStringLiteral("+i") : QStringLiteral("-i"), QString::fromStdString(path)});
    return chattr.waitForFinished(kWaitMs) && chattr.exitStatus() == QProcess::NormalExit &&
           chattr.exitCode() == 0;
}

class ImmutableGuard {
public:
    explicit ImmutableGuard(std::string path) : path_(std::move(path)) {
        set_ = setImmutable(path_, true);
    }
    ~ImmutableGuard() { release(); }
    bool set() const { return set_; }
    void release() {
        if (set_) {
            setImmutable(path_, false);
            set_ = false;
        }
    }

private:
    std::string path_;
    bool set_ = false;
};

} // namespace

TEST(Mends, OriginsAndNamesThatLeaveTheirFolderAreDropped) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    const std::string nul("a\0b", 3);
    for (const std::string& origin :
         std::vector<std::string>{"..", ".", "..        ", "a/b", "/", nul}) {
        EXPECT_TRUE(unanswered(server, peer, header(origin, "f.txt", 3))) << origin;
        EXPECT_TRUE(unanswered(server, peer, content(origin, "abc"))) << origin;
    }
    for (const std::string& name :
         std::vector<std::string>{"", ".", "..", "../escape.txt", "a/b", "/tmp/x", nul}) {
        EXPECT_TRUE(unanswered(server, peer, header(kPoste7, name, 3))) << name;
    }
    EXPECT_EQ(server.table().count(), 1); // the probe's row
    EXPECT_EQ(entriesOf(server.receiveFolder()),
              QStringList{QString::fromStdString(probeOrigin(peer.localPort())).trimmed()});
    EXPECT_EQ(entriesOf(server.scratchPath()),
              (QStringList{QStringLiteral("rx"), QStringLiteral("trace.txt")}));

    // Names that merely look odd are plain names.
    EXPECT_EQ(peer.exchange(header(" ..", "..x", 1)), "PTE;1;END");
    EXPECT_EQ(peer.exchange(content(" ..", "z")), "PTE;2;END");
    EXPECT_EQ(readFile(server.pathOf(" ..", "..x")), "z");
}

TEST(Mends, AnOriginFolderThatCannotBeMadeAdvancesNothingAndAnswersNothing) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    UdpPeer other(server.engine().udpPort());
    writeFile(zelk::joinPath(server.receiveFolder(), "poste7"), "a file in the way");

    ASSERT_EQ(peer.exchange(header(kPoste7, "r.bin", 6)), "PTE;1;END");
    EXPECT_TRUE(unanswered(server, peer, content(kPoste7, "abc")));
    EXPECT_EQ(server.table().at(server.rowOf(kPoste7)).position, 1);

    // Everyone else is still served.
    ASSERT_EQ(other.exchange(header("beta", "b.bin", 2)), "PTE;1;END");
    ASSERT_EQ(other.exchange(content("beta", "ok")), "PTE;3;END");

    ASSERT_TRUE(zelk::deleteFile(zelk::joinPath(server.receiveFolder(), "poste7")));
    EXPECT_EQ(peer.exchange(header(kPoste7, "r.bin", 6)), "PTE;1;END");
    EXPECT_EQ(peer.exchange(content(kPoste7, "abc")), "PTE;4;END");
    EXPECT_EQ(peer.exchange(content(kPoste7, "def")), "PTE;7;END");
    EXPECT_EQ(readFile(server.pathOf("poste7", "r.bin")), "abcdef");
}

TEST(Mends, AFailedWriteKeepsThePositionAndTheNextHeaderLearnsIt) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    ASSERT_EQ(peer.exchange(header(kPoste7, "r.bin", 9)), "PTE;1;END");
    ASSERT_EQ(peer.exchange(content(kPoste7, "abc")), "PTE;4;END");

    // A folder stands where the file was.
    const std::string path = server.pathOf("poste7", "r.bin");
    ASSERT_TRUE(zelk::deleteFile(path));
    std::string error;
    ASSERT_TRUE(zelk::createFolder(path, error)) << error;
    EXPECT_TRUE(unanswered(server, peer, content(kPoste7, "def")));
    EXPECT_EQ(server.table().at(server.rowOf(kPoste7)).position, 4);
    EXPECT_EQ(peer.exchange(header(kPoste7, "r.bin", 9)), "PTE;4;END");

    ASSERT_TRUE(QDir(QString::fromStdString(path)).removeRecursively());
    EXPECT_EQ(peer.exchange(content(kPoste7, "def")), "PTE;7;END");
    EXPECT_EQ(readFile(path), std::string("\0\0\0def", 6));
}

TEST(Mends, AStaleFileThatCannotBeDeletedLeavesTheFirstPieceUnanswered) {
    RunningServer server(true);
    UdpPeer peer(server.engine().udpPort());
    const std::string folder = zelk::joinPath(server.receiveFolder(), "poste7");
    std::string error;
    ASSERT_TRUE(zelk::createFolder(folder, error)) << error;
    const std::string old(5000, 'o');
    writeFile(zelk::joinPath(folder, "r.bin"), old);

    ImmutableGuard frozen(folder);
    if (!frozen.set()) {
        GTEST_SKIP() << "chattr +i is refused here";
    }
    // The header touches no file; writing the new piece over the old file would leave the old
    // tail behind it.
    EXPECT_EQ(peer.exchange(header(kPoste7, "r.bin", 3)), "PTE;1;END");
    EXPECT_TRUE(unanswered(server, peer, content(kPoste7, "new")));
    EXPECT_EQ(server.table().at(server.rowOf(kPoste7)).position, 1);
    EXPECT_EQ(readFile(zelk::joinPath(folder, "r.bin")), old);
    EXPECT_NE(server.traceText().find("cannot delete the earlier file"), std::string::npos);

    frozen.release();
    EXPECT_EQ(peer.exchange(header(kPoste7, "r.bin", 3)), "PTE;1;END");
    EXPECT_EQ(peer.exchange(content(kPoste7, "new")), "PTE;4;END");
    EXPECT_EQ(readFile(zelk::joinPath(folder, "r.bin")), "new");
}

TEST(Mends, AHeaderFromANewOriginTakesAnIdleRowsPlaceOrIsDroppedWhenTheTableIsFull) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    // The probe's row is one of the 32767.
    openProbe(server, peer);
    const int batch = 100;
    int opened = 1;
    while (opened < zelk::TransferTable::kMaxRows) {
        const int count = std::min(batch, zelk::TransferTable::kMaxRows - opened);
        for (int i = 0; i < count; ++i) {
            peer.send(header(std::to_string(opened + i), "f", 1));
        }
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(peer.answer(), "PTE;1;END") << "row " << opened + i;
        }
        opened += count;
    }
    ASSERT_EQ(server.table().count(), 32767);

    // A row idle longer than the eviction time (600 s unless configured) gives its place to a
    // newcomer: the one idle longest, and only it.
    auto idleFor = [&](const std::string& origin, std::int64_t ms) {
        server.engine().table().edit(server.rowOf(zelk::originIdentifier(origin))).lastFrameMs -=
            ms;
    };
    idleFor("5", 700000);
    idleFor("9", 650000);
    idleFor("7", 500000);
    EXPECT_EQ(peer.exchange(header("evictor", "f", 1)), "PTE;1;END");
    EXPECT_EQ(server.rowOf(zelk::originIdentifier("5")), -1);
    EXPECT_EQ(peer.exchange(header("evictor2", "f", 1)), "PTE;1;END");
    EXPECT_EQ(server.rowOf(zelk::originIdentifier("9")), -1);
    EXPECT_GE(server.rowOf(zelk::originIdentifier("7")), 0); // idle, not long enough
    EXPECT_EQ(server.table().count(), 32767);

    EXPECT_TRUE(unanswered(server, peer, header("newcomer", "f", 1)));
    EXPECT_EQ(server.rowOf(zelk::originIdentifier("newcomer")), -1);
    // A known origin may still start another file, and one that completes frees a row.
    EXPECT_EQ(peer.exchange(header("1", "g", 1)), "PTE;1;END");
    EXPECT_EQ(peer.exchange(content("1", "x")), "PTE;2;END");
    EXPECT_EQ(peer.exchange(header("newcomer", "f", 1)), "PTE;1;END");
}

TEST(Mends, NoPieceTakesThePositionPastTheLargest32BitValue) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    ASSERT_EQ(peer.exchange(header(kPoste7, "huge.bin", "4000000000")), "PTE;1;END");
    server.engine().table().setPosition(server.rowOf(kPoste7), 2147483000);

    EXPECT_TRUE(unanswered(server, peer, content(kPoste7, std::string(1000, 'x'))));
    EXPECT_FALSE(zelk::fileExists(server.pathOf("poste7", "huge.bin")));
    EXPECT_EQ(peer.exchange(header(kPoste7, "huge.bin", "4000000000")), "PTE;2147483000;END");
}
