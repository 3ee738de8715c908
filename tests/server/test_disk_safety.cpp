// What reaches the disk: a header deletes nothing, nothing is written through a link or into a
// special file, a receive folder removed meanwhile is made again, and the last answer waits for
// the file to be on stable storage.

#include "harness.h"

#include "fsops.h"
#include "receivefolder.h"

#include <QDir>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace servertest;
using zelk::joinPath;
using zelktest::readFile;
using zelktest::writeFile;

namespace {

const std::string kFinished = "the finished copy, whose source is gone";

bool contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

ino_t inodeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Records each write and sync the engine makes, naming what it was made on and whether the
// answer was already on its way; fails the one named in `failing`.
class RecordingOps : public zelk::FileOps {
public:
    std::vector<std::string> events;
    std::string failing;
    std::function<bool()> answered;
    std::string receiveFolder;

    ssize_t pwrite(int fd, const void* bytes, std::size_t size, off_t offset) override {
        return note("write", fd) ? FileOps::pwrite(fd, bytes, size, offset) : -1;
    }
    int fdatasync(int fd) override { return note("data sync", fd) ? FileOps::fdatasync(fd) : -1; }
    int fsync(int fd) override { return note("sync", fd) ? FileOps::fsync(fd) : -1; }

private:
    bool note(const std::string& what, int fd) {
        const std::string folder = joinPath(receiveFolder, "poste7");
        struct stat st {};
        ::fstat(fd, &st);
        std::string event = what + (st.st_ino == inodeOf(joinPath(folder, "f.bin")) ? " file"
                                    : st.st_ino == inodeOf(folder)        ? " origin folder"
                                    : st.st_ino == inodeOf(receiveFolder) ? " receive folder"
                                                                          : " other");
        if (answered && answered()) {
            event += " (answered)";
        }
        events.push_back(event);
        if (event == failing) {
            errno = EIO;
            return false;
        }
        return true;
    }
};

} // namespace

// A header repeated late by the network, one announcing another size, and one of size 0 (how a
// client resets its transfer) all start a transfer: none may take the finished file away, and a
// genuine restart still leaves no old tail behind its first piece. A size-0 row takes no piece.
TEST(DiskSafety, AHeaderDeletesNothingAndTheFirstPieceReplacesTheWholeFile) {
    for (const std::string& size :
         {std::to_string(kFinished.size()), std::string("7"), std::string("0")}) {
        RunningServer server;
        UdpPeer peer(server.engine().udpPort());
        const std::string path = server.pathOf("poste7", "f.bin");
        ASSERT_EQ(peer.exchange(header(kPoste7, "f.bin", std::to_string(kFinished.size()))),
                  "PTE;1;END");
        ASSERT_EQ(peer.exchange(content(kPoste7, kFinished)), ack(kFinished.size() + 1));

        EXPECT_EQ(peer.exchange(header(kPoste7, "f.bin", size)), "PTE;1;END") << size;
        EXPECT_EQ(peer.exchange(header(kPoste7, "f.bin", size)), "PTE;1;END") << size;
        EXPECT_EQ(readFile(path), kFinished) << size;

        if (size == "0") {
            // No file arrives after a size-0 header: its content is dropped unanswered (the next
            // answer is the header's, not this piece's), and the finished file stays.
            peer.send(content(kPoste7, "new"));
        } else {
            EXPECT_EQ(peer.exchange(content(kPoste7, "new")), "PTE;4;END") << size;
            EXPECT_EQ(readFile(path), "new") << size;
        }
        EXPECT_EQ(peer.exchange(header(kPoste7, "f.bin", 2)), "PTE;1;END") << size;
        EXPECT_EQ(readFile(path), size == "0" ? kFinished : std::string("new")) << size;
        EXPECT_EQ(peer.exchange(content(kPoste7, "zz")), "PTE;3;END") << size;
        EXPECT_EQ(readFile(path), "zz") << size;
        EXPECT_EQ(server.rowOf(kPoste7), -1) << size;
    }
}

// Whatever someone puts in the way below the receive folder, before the first piece or between
// two pieces, the server neither writes nor deletes through it, never waits on it, and says why.
TEST(DiskSafety, NothingIsWrittenThroughALinkOrIntoASpecialFile) {
    struct InTheWay {
        const char* what;
        bool afterFirstPiece;
        std::function<void(const std::string& folder, const std::string& outside)> put;
        const char* traced;
    };
    const auto makeFolder = [](const std::string& folder) { ::mkdir(folder.c_str(), 0777); };
    const std::vector<InTheWay> cases{
        {"origin folder linked outside", false,
         [](const std::string& folder, const std::string& outside) {
             ::symlink(outside.c_str(), folder.c_str());
         },
         "symbolic link"},
        {"file linked outside", false,
         [&](const std::string& folder, const std::string& outside) {
             makeFolder(folder);
             ::symlink(joinPath(outside, "f.bin").c_str(), joinPath(folder, "f.bin").c_str());
         },
         "symbolic link"},
        {"FIFO at the name", false,
         [&](const std::string& folder, const std::string&) {
             makeFolder(folder);
             ::mkfifo(joinPath(folder, "f.bin").c_str(), 0666);
         },
         "FIFO"},
        {"partial file swapped for a link", true,
         [](const std::string& folder, const std::string& outside) {
             ::unlink(joinPath(folder, "f.bin").c_str());
             ::symlink(joinPath(outside, "f.bin").c_str(), joinPath(folder, "f.bin").c_str());
         },
         "symbolic link"},
        {"partial file swapped for a FIFO", true,
         [](const std::string& folder, const std::string&) {
             ::unlink(joinPath(folder, "f.bin").c_str());
             ::mkfifo(joinPath(folder, "f.bin").c_str(), 0666);
         },
         "FIFO"},
        {"origin folder swapped for a link", true,
         [](const std::string& folder, const std::string& outside) {
             ::rename(folder.c_str(), (folder + ".moved").c_str());
             ::symlink(outside.c_str(), folder.c_str());
         },
         "symbolic link"},
    };
    for (const InTheWay& c : cases) {
        RunningServer server(true);
        UdpPeer peer(server.engine().udpPort());
        const std::string outside = joinPath(server.scratchPath(), "outside");
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(outside)));
        writeFile(joinPath(outside, "f.bin"), "victim");
        const std::string folder = joinPath(server.receiveFolder(), "poste7");

        ASSERT_EQ(peer.exchange(header(kPoste7, "f.bin", 100)), "PTE;1;END") << c.what;
        const std::int64_t position = c.afterFirstPiece ? 4 : 1;
        if (c.afterFirstPiece) {
            ASSERT_EQ(peer.exchange(content(kPoste7, "abc")), "PTE;4;END") << c.what;
        }
        c.put(folder, outside);
        EXPECT_TRUE(unanswered(server, peer, content(kPoste7, "xyz"))) << c.what;
        EXPECT_EQ(server.table().at(server.rowOf(kPoste7)).position, position) << c.what;
        EXPECT_EQ(readFile(joinPath(outside, "f.bin")), "victim") << c.what;
        EXPECT_EQ(QDir(QString::fromStdString(outside)).entryList(QDir::Files).size(), 1) << c.what;
        EXPECT_TRUE(contains(server.traceText(), c.traced)) << c.what << server.traceText();
    }
}

TEST(DiskSafety, AReceiveFolderRemovedOrReplacedWhileRunningIsUsedAgain) {
    RunningServer server(true);
    UdpPeer peer(server.engine().udpPort());
    const std::string path = server.pathOf("poste7", "f.bin");
    ASSERT_EQ(peer.exchange(header(kPoste7, "f.bin", 9)), "PTE;1;END");
    ASSERT_EQ(peer.exchange(content(kPoste7, "abc")), "PTE;4;END");

    ASSERT_TRUE(QDir(QString::fromStdString(server.receiveFolder())).removeRecursively());
    EXPECT_EQ(peer.exchange(content(kPoste7, "def")), "PTE;7;END");
    EXPECT_EQ(readFile(path), std::string("\0\0\0def", 6));

    const std::string earlier = joinPath(server.scratchPath(), "earlier-rx");
    ASSERT_EQ(::rename(server.receiveFolder().c_str(), earlier.c_str()), 0);
    ASSERT_EQ(::mkdir(server.receiveFolder().c_str(), 0777), 0);
    EXPECT_EQ(peer.exchange(content(kPoste7, "ghi")), "PTE;10;END");
    EXPECT_EQ(readFile(path), std::string(6, '\0') + "ghi");
    EXPECT_EQ(readFile(joinPath(earlier, "poste7/f.bin")), std::string("\0\0\0def", 6));
    EXPECT_TRUE(contains(server.traceText(), "receive folder renewed"));
}

// The client deletes its only copy on the last answer: by then the data, the file's entry and
// its new folder's entry are on stable storage. Pieces before the last cost no sync.
TEST(DiskSafety, TheLastAnswerComesAfterTheFileAndItsFoldersAreSynced) {
    RecordingOps ops;
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    ops.receiveFolder = server.receiveFolder();
    ops.answered = [&] { return peer.answerWaiting(); };
    server.engine().useFileOps(ops);

    ASSERT_EQ(peer.exchange(header(kPoste7, "f.bin", 6)), "PTE;1;END");
    ASSERT_EQ(peer.exchange(content(kPoste7, "abc")), "PTE;4;END");
    EXPECT_EQ(ops.events, std::vector<std::string>{"write file"});
    ops.events.clear();
    ASSERT_EQ(peer.exchange(content(kPoste7, "def")), "PTE;7;END");
    EXPECT_EQ(ops.events, (std::vector<std::string>{"write file", "data sync file",
                                                    "sync origin folder", "sync receive folder"}));
}

// The entry naming a new origin folder is owed by the folder, not by the transfer that made it:
// when that transfer gives way to another file, the file finished first still syncs it.
TEST(DiskSafety, AFolderMadeByATransferGivenUpIsSyncedWithTheNextFileFinished) {
    RecordingOps ops;
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    ops.receiveFolder = server.receiveFolder();
    server.engine().useFileOps(ops);

    ASSERT_EQ(peer.exchange(header(kPoste7, "f.bin", 6)), "PTE;1;END");
    ASSERT_EQ(peer.exchange(content(kPoste7, "abc")), "PTE;4;END");
    ASSERT_EQ(peer.exchange(header(kPoste7, "g.bin", 3)), "PTE;1;END");
    ops.events.clear();
    ASSERT_EQ(peer.exchange(content(kPoste7, "xyz")), "PTE;4;END");
    EXPECT_EQ(ops.events, (std::vector<std::string>{"write other", "data sync other",
                                                    "sync origin folder", "sync receive folder"}));
    EXPECT_EQ(readFile(server.pathOf("poste7", "g.bin")), "xyz");
}

TEST(DiskSafety, AFailedSyncLeavesTheLastPieceUnansweredAndThePositionWhereItWas) {
    const std::vector<std::string> all{"write file", "data sync file", "sync origin folder",
                                       "sync receive folder"};
    for (const std::string& failing : {all[1], all[2], all[3]}) {
        RecordingOps ops;
        RunningServer server(true);
        UdpPeer peer(server.engine().udpPort());
        ops.receiveFolder = server.receiveFolder();
        server.engine().useFileOps(ops);
        ASSERT_EQ(peer.exchange(header(kPoste7, "f.bin", 6)), "PTE;1;END") << failing;
        ASSERT_EQ(peer.exchange(content(kPoste7, "abc")), "PTE;4;END") << failing;

        ops.failing = failing;
        EXPECT_TRUE(unanswered(server, peer, content(kPoste7, "def"))) << failing;
        EXPECT_EQ(server.table().at(server.rowOf(kPoste7)).position, 4) << failing;
        EXPECT_TRUE(contains(server.traceText(), "cannot sync")) << failing;

        // The sender's next header learns the position; the syncs still owed are all made.
        ops.failing.clear();
        EXPECT_EQ(peer.exchange(header(kPoste7, "f.bin", 6)), "PTE;4;END") << failing;
        ops.events.clear();
        EXPECT_EQ(peer.exchange(content(kPoste7, "def")), "PTE;7;END") << failing;
        EXPECT_EQ(ops.events, all) << failing;
        EXPECT_EQ(readFile(server.pathOf("poste7", "f.bin")), "abcdef") << failing;
    }
}
