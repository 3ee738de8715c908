// What the client takes from its outbox: regular files only (never what a link points to, never
// a FIFO, whatever is swapped in between the scan and the send), files still being written only
// once they have settled, and entries that cannot be sent cost nothing at each scan.

#include "clienttestkit.h"

#include <QSignalSpy>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace zelktest;

namespace {

using ClientOutbox = ClientFixture;

TEST_F(ClientOutbox, OnlyRegularFilesAreListedAndALinkIsNeverFollowed) {
    const std::string secret = dir.file("secret");
    writeFile(secret, "mode 600, not for the server");
    ::chmod(secret.c_str(), 0600);
    std::filesystem::create_symlink(secret, zelk::joinPath(outbox, "link-to-secret"));
    ASSERT_EQ(::mkfifo(zelk::joinPath(outbox, "fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(zelk::joinPath(outbox, "folder"));
    put("plain.txt", "plain");
    start();
    EXPECT_EQ(engine->fileNames(), std::vector<std::string>{"plain.txt"});
}

// Between the scan and the send someone puts a link or a FIFO at a listed name: the client
// neither follows it nor waits on it, and sends nothing of it.
TEST_F(ClientOutbox, ALinkOrAFifoSwappedInAfterTheScanIsDroppedWithoutWaiting) {
    const std::string secret = dir.file("secret");
    writeFile(secret, "never sent");
    const std::function<void(const std::string&)> swaps[] = {
        [&](const std::string& path) { std::filesystem::create_symlink(secret, path); },
        [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
    };
    for (const auto& swap : swaps) {
        put("f.bin", "to be swapped");
        start();
        ASSERT_EQ(engine->fileNames(), std::vector<std::string>{"f.bin"});
        const std::string path = zelk::joinPath(outbox, "f.bin");
        std::filesystem::remove(path);
        swap(path);
        QSignalSpy dropped(engine.get(), &zelk::ClientEngine::fileDropped);
        engine->timLoopEnvoi_Timer(); // returns: a FIFO is never opened in a way that blocks
        EXPECT_EQ(dropped.count(), 1);
        EXPECT_EQ(server.waiting(), 0u);
        std::filesystem::remove(path);
    }
}

// The same swap between two pieces: the next piece is not read through the link or the FIFO.
TEST_F(ClientOutbox, ALinkSwappedInBetweenPiecesIsNotRead) {
    const std::string secret = dir.file("secret");
    writeFile(secret, patternBytes(3000, 4));
    put("f.bin", patternBytes(3000));
    start();
    engine->timLoopEnvoi_Timer();
    expectHeaderOf("f.bin");
    ASSERT_EQ(pieceAfterAck(1).size(), 1000u);
    const std::string path = zelk::joinPath(outbox, "f.bin");
    std::filesystem::remove(path);
    std::filesystem::create_symlink(secret, path);
    QSignalSpy dropped(engine.get(), &zelk::ClientEngine::fileDropped);
    server.ack(1001);
    ASSERT_TRUE(dropped.wait(kWaitMs));
    EXPECT_EQ(server.waiting(), 0u);
}

// Where no lease tells whether a writer still holds the file, it is sent only once it has stayed
// unchanged for the settle time.
TEST_F(ClientOutbox, WithoutALeaseAFileWaitsForTheSettleTime) {
    put("f.bin", "written by someone");
    zelk::ClientConfig cfg = clientConfig(outbox, server.port());
    cfg.cfgDelaiStable = "600000";
    start(cfg);
    engine->setLeasesAllowed(false);
    QSignalSpy dropped(engine.get(), &zelk::ClientEngine::fileDropped);
    engine->timLoopEnvoi_Timer();
    engine->timAttente_Timer();
    engine->timLoopEnvoi_Timer(); // rescan, and the test again
    EXPECT_EQ(dropped.count(), 2);
    EXPECT_EQ(server.waiting(), 0u);
    EXPECT_TRUE(inOutbox("f.bin"));
}

// A file dropped into an idle client's outbox is announced at once, not at the send loop's next
// tick, which never comes here.
TEST_F(ClientOutbox, AFileDroppedIntoAnIdleOutboxIsAnnouncedAtOnce) {
    start();
    ASSERT_TRUE(engine->fileNames().empty());
    if (!engine->watchingOutbox()) {
        GTEST_SKIP() << "no inotify watch here: files wait for the send loop";
    }
    put("dropped.bin", "announced without a tick");
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.waiting() > 0; }, kWaitMs));
    expectHeaderOf("dropped.bin");
    EXPECT_TRUE(engine->waitEnabled());
}

// With the folder watched, a scan that finds nothing new does not read the folder again; every
// kind of change is still seen by the next scan.
TEST_F(ClientOutbox, ScansReadTheFolderOnlyWhenSomethingChanged) {
    for (int i = 0; i < 200; ++i) {
        put("empty-" + std::to_string(i), "");
    }
    start();
    ASSERT_TRUE(engine->fileNames().empty());
    const int reads = engine->folderReads();
    for (int i = 0; i < 20; ++i) {
        engine->timLoopEnvoi_Timer();
    }
    if (engine->folderReads() != reads) {
        GTEST_SKIP() << "no inotify watch here: every scan reads the folder";
    }
    const std::function<void()> changes[] = {
        [&] { put("new.bin", "new"); },                                       // created
        [&] { writeFile(zelk::joinPath(outbox, "empty-7"), "now written"); }, // filled
    };
    for (const auto& change : changes) {
        change();
        engine->timLoopEnvoi_Timer();
        EXPECT_EQ(engine->fileNames().size(), 1u);
        std::filesystem::remove(zelk::joinPath(outbox, engine->fileNames().front()));
        engine->fileNames();
        while (!engine->fileNames().empty()) {
            engine->timLoopEnvoi_Timer(); // the vanished file is dropped
            engine->timAttente_Timer();
        }
    }
}

// A file sent whole that cannot be deleted is not sent again and again: it waits until it changes.
TEST_F(ClientOutbox, AFileThatCannotBeDeletedWaitsUntilItChanges) {
    put("f.bin", "sent once");
    start();
    engine->setUnlink([](const char*) {
        errno = EACCES;
        return -1;
    });
    engine->timLoopEnvoi_Timer();
    expectHeaderOf("f.bin");
    ASSERT_EQ(pieceAfterAck(1), "sent once");
    QSignalSpy kept(engine.get(), &zelk::ClientEngine::fileKept);
    ASSERT_TRUE(finalAnswer(10, "f.bin"));
    ASSERT_EQ(kept.count(), 1);
    EXPECT_TRUE(inOutbox("f.bin"));
    for (int i = 0; i < 5; ++i) {
        engine->timLoopEnvoi_Timer();
        engine->timAttente_Timer();
    }
    EXPECT_EQ(server.waiting(), 0u);
    EXPECT_TRUE(engine->fileNames().empty());

    put("f.bin", "sent once, then changed");
    engine->timLoopEnvoi_Timer(); // rescan
    EXPECT_EQ(engine->fileNames(), std::vector<std::string>{"f.bin"});
}

} // namespace
