// The client keeps the file it sends open from one acknowledgement to the next. Nothing may tell:
// every piece must show the file as it is when the acknowledgement comes, and the client lets go
// of the file as soon as it stops waiting on answers.

#include "clienttestkit.h"
#include "heldopen.h"

#include <QSignalSpy>
#include <cstdio>
#include <unistd.h>

using namespace zelktest;

namespace {

class ClientReads : public ClientFixture {
protected:
    std::string path(const std::string& name) const { return zelk::joinPath(outbox, name); }
    void sendFirstPiece(const std::string& name, const std::string& bytes) {
        put(name, bytes);
        start();
        engine->timLoopEnvoi_Timer();
        expectHeaderOf(name);
        ASSERT_EQ(pieceAfterAck(1), bytes.substr(0, 1000));
    }
};

} // namespace

TEST_F(ClientReads, AFileReplacedBetweenPiecesIsReadAsItIsNow) {
    const std::string before = patternBytes(2500, 1);
    const std::string after = patternBytes(2500, 2);
    sendFirstPiece("r.bin", before);
    const std::string other = dir.file("other.bin");
    writeFile(other, after);
    ASSERT_EQ(std::rename(other.c_str(), path("r.bin").c_str()), 0);
    EXPECT_EQ(pieceAfterAck(1001), after.substr(1000, 999));
}

TEST_F(ClientReads, AFileShortenedBetweenPiecesGivesAShorterPieceThenEnds) {
    const std::string bytes = patternBytes(2500, 3);
    sendFirstPiece("s.bin", bytes);
    ASSERT_EQ(::truncate(path("s.bin").c_str(), 1500), 0);
    EXPECT_EQ(pieceAfterAck(1001), bytes.substr(1000, 500));
    // Acknowledged to its current end, but shorter than announced: it stays in the outbox.
    QSignalSpy kept(engine.get(), &zelk::ClientEngine::fileKept);
    server.ack(1501);
    ASSERT_TRUE(kept.wait(kWaitMs));
    EXPECT_TRUE(inOutbox("s.bin"));
    EXPECT_FALSE(heldOpen(path("s.bin")));
}

TEST_F(ClientReads, TheFileIsLetGoWhenTheWaitRunsOutAndOnceItIsDone) {
    const std::string bytes = patternBytes(1500, 4);
    put("w.bin", bytes);
    start(clientConfig(outbox, server.port(), kNeverMs, 50));
    engine->timLoopEnvoi_Timer();
    expectHeaderOf("w.bin");
    EXPECT_EQ(pieceAfterAck(1), bytes.substr(0, 1000));
    // No answer comes: once the wait has run out the file is no longer held.
    EXPECT_TRUE(QTest::qWaitFor([&] { return engine->loopEnabled(); }, kWaitMs));
    EXPECT_FALSE(heldOpen(path("w.bin")));
    // A late acknowledgement answers nothing; the header that follows moves the transfer on,
    // reading the file afresh.
    server.ack(1001);
    settle();
    EXPECT_EQ(server.waiting(), 0u);
    engine->setHeldBackMs(0);
    engine->timLoopEnvoi_Timer();
    expectHeaderOf("w.bin");
    std::string rest;
    for (std::int64_t at = 1000; at < 1500;) {
        rest += pieceAfterAck(at + 1);
        ASSERT_GT(rest.size(), static_cast<std::size_t>(at - 1000));
        at = 1000 + static_cast<std::int64_t>(rest.size());
    }
    EXPECT_EQ(rest, bytes.substr(1000));
    QSignalSpy done(engine.get(), &zelk::ClientEngine::fileDone);
    server.ack(1501);
    settle();
    engine->timLoopEnvoi_Timer(); // a finished file held back a moment after the late answer
    ASSERT_TRUE(done.count() == 1 || done.wait(kWaitMs));
    EXPECT_FALSE(inOutbox("w.bin"));
    EXPECT_FALSE(heldOpen(path("w.bin")));
}

TEST_F(ClientReads, AFileRemovedBetweenPiecesIsNotReadThroughAnOldHandle) {
    sendFirstPiece("v.bin", patternBytes(2500, 5));
    ASSERT_TRUE(heldOpen(path("v.bin")));
    ASSERT_TRUE(zelk::deleteFile(path("v.bin")));
    QSignalSpy dropped(engine.get(), &zelk::ClientEngine::fileDropped);
    server.ack(1001);
    ASSERT_TRUE(dropped.wait(kWaitMs));
    EXPECT_EQ(server.waiting(), 0u);
    EXPECT_FALSE(heldOpen(path("v.bin")));
}
