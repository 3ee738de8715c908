// What keeps the client from losing or corrupting data: pieces the server would take for a
// header, datagrams from strangers, names and sizes the protocol cannot carry, files still being
// written, files that change or vanish under it.

#include "clienttestkit.h"
#include <QSignalSpy>
#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

using namespace zelktest;

namespace {

class ClientSafety : public ClientFixture {
protected:
    // Sends `content` as a file and gives its first piece, which must not pass for a header.
    std::string firstPieceOf(const std::string& name, const std::string& content) {
        put(name, content);
        start();
        engine->timLoopEnvoi_Timer();
        expectHeaderOf(name);
        return pieceAfterAck(1);
    }
};

// Asked of the kernel directly, not of the code under test.
bool leasesWorkIn(const std::string& folder) {
    const std::string probe = zelk::joinPath(folder, "lease-probe");
    writeFile(probe, "x");
    const int fd = ::open(probe.c_str(), O_RDONLY);
    const bool works = fd >= 0 && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
    if (fd >= 0) {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
        ::close(fd);
    }
    std::filesystem::remove(probe);
    return works;
}

// Rewrites a file with other bytes of the same size, and moves its modification time on so that
// the change shows even within one tick of the file system's clock.
void changeInPlace(const std::string& path, const std::string& bytes) {
    const auto before = std::filesystem::last_write_time(path);
    writeFile(path, bytes);
    std::filesystem::last_write_time(path, before + std::chrono::seconds(2));
}

TEST_F(ClientSafety, APieceThatLooksLikeAHeaderIsCutShort) {
    const std::string content = "BEG" + std::string(994, 'x') + "END";
    EXPECT_EQ(firstPieceOf("tricky.bin", content), content.substr(0, 999));
    EXPECT_EQ(pieceAfterAck(1000), "D");
}

TEST_F(ClientSafety, APieceEndingInRepeatedEndMarksStillLeavesAtLeastBeg) {
    EXPECT_EQ(firstPieceOf("tricky.bin", "BEGENDEND"), "BEGENDEN");
    EXPECT_EQ(pieceAfterAck(9), "D");
}

TEST_F(ClientSafety, DatagramsFromAnyoneButTheServerChangeNothing) {
    put("f.bin", patternBytes(2500));
    start();
    engine->timLoopEnvoi_Timer();
    expectHeaderOf("f.bin");

    QUdpSocket otherPort;
    ASSERT_TRUE(otherPort.bind(QHostAddress::LocalHost, 0));
    QUdpSocket otherAddress; // the server's port number, on another address
    ASSERT_TRUE(otherAddress.bind(QHostAddress::LocalHostIPv6, server.port()));
    const QByteArray finish("PTE;999999;END");
    otherPort.writeDatagram(finish, QHostAddress::LocalHost, engine->boundPort());
    otherAddress.writeDatagram(finish, QHostAddress::LocalHostIPv6, engine->boundPort());
    otherPort.writeDatagram("x", 1, QHostAddress::LocalHost, engine->boundPort());
    ASSERT_TRUE(QTest::qWaitFor([&] { return engine->strangerDatagrams() == 3; }, kWaitMs));

    EXPECT_TRUE(inOutbox("f.bin"));
    EXPECT_EQ(engine->fileNames(), std::vector<std::string>{"f.bin"});
    EXPECT_FALSE(engine->loopEnabled());
    EXPECT_TRUE(engine->waitEnabled());
    EXPECT_EQ(pieceAfterAck(1).size(), 1000u); // the server is still heard
}

// A file too large for a plain position is offered with the extension only (size 0 in the plain
// field); a plain answer leaves it in the outbox, unlisted until it changes.
TEST_F(ClientSafety,
       NamesWithSeparatorsStayUnlistedAndFilesTooLargeForAPositionWaitForTheExtension) {
    put("a;b.txt", "semicolon");
    writeFile(zelk::joinPath(outbox, "toolarge.bin"), "");
    std::filesystem::resize_file(zelk::joinPath(outbox, "toolarge.bin"), zelk::kLargestFile + 1);
    offers = true;
    start();
    EXPECT_EQ(engine->fileNames(), std::vector<std::string>{"toolarge.bin"});
    engine->timLoopEnvoi_Timer();
    const std::string header = expectHeaderOf("toolarge.bin");
    EXPECT_EQ(plainFields(header), "BEG;toolarge.bin;0;END");
    EXPECT_NE(header.find(",2147483647;ZXM,160;END"), std::string::npos) << header;
    QSignalSpy dropped(engine.get(), &zelk::ClientEngine::fileDropped);
    answerOffersPlainly(1);
    ASSERT_TRUE(dropped.wait(kWaitMs));
    EXPECT_EQ(server.waiting(), 0u); // not one byte sent to a plain server
    engine->timAttente_Timer();
    engine->timLoopEnvoi_Timer();
    EXPECT_TRUE(engine->fileNames().empty());
    EXPECT_TRUE(inOutbox("a;b.txt"));
    EXPECT_TRUE(inOutbox("toolarge.bin"));
}

TEST_F(ClientSafety, AFileBeingWrittenIsNeitherSentNorDeleted) {
    if (!leasesWorkIn(outbox)) {
        GTEST_SKIP() << "no file leases in the scratch folder";
    }
    const std::string path = zelk::joinPath(outbox, "copying.bin");
    put("copying.bin", patternBytes(1500));
    {
        WriterProcess writer(path);
        ASSERT_TRUE(writer.ready());
        start();
        QSignalSpy dropped(engine.get(), &zelk::ClientEngine::fileDropped);
        engine->timLoopEnvoi_Timer();
        EXPECT_EQ(dropped.count(), 1);
        EXPECT_TRUE(engine->fileNames().empty());
        EXPECT_FALSE(engine->loopEnabled());
        EXPECT_TRUE(engine->waitEnabled());
        EXPECT_EQ(server.waiting(), 0u);
    }
    engine->timLoopEnvoi_Timer(); // the writer is gone: the scan lists it again, and it goes
    expectHeaderOf("copying.bin");
    EXPECT_EQ(pieceAfterAck(1).size(), 1000u);
    EXPECT_EQ(pieceAfterAck(1001).size(), 500u);

    WriterProcess lateWriter(path);
    ASSERT_TRUE(lateWriter.ready());
    QSignalSpy kept(engine.get(), &zelk::ClientEngine::fileKept);
    server.ack(1501);
    ASSERT_TRUE(kept.wait(kWaitMs));
    EXPECT_TRUE(inOutbox("copying.bin"));
    EXPECT_TRUE(engine->fileNames().empty());
}

TEST_F(ClientSafety, WithoutLeasesAFileThatChangedSinceTheScanWaitsForTheNextScan) {
    put("growing.bin", "first part");
    start();
    engine->setLeasesAllowed(false);
    writeFile(zelk::joinPath(outbox, "growing.bin"), "first part, second part");
    QSignalSpy dropped(engine.get(), &zelk::ClientEngine::fileDropped);
    engine->timLoopEnvoi_Timer();
    EXPECT_EQ(dropped.count(), 1);
    EXPECT_EQ(server.waiting(), 0u);
    engine->timLoopEnvoi_Timer();
    engine->timLoopEnvoi_Timer();
    EXPECT_EQ(plainFields(expectHeaderOf("growing.bin")), "BEG;growing.bin;23;END");
}

TEST_F(ClientSafety, AFileChangedSinceItsHeaderIsNotDeletedAtTheEnd) {
    for (const bool leases : {true, false}) {
        put("f.bin", patternBytes(100));
        start();
        engine->setLeasesAllowed(leases);
        engine->timLoopEnvoi_Timer();
        expectHeaderOf("f.bin");
        EXPECT_EQ(pieceAfterAck(1).size(), 100u);
        changeInPlace(zelk::joinPath(outbox, "f.bin"), patternBytes(100, 7));
        QSignalSpy kept(engine.get(), &zelk::ClientEngine::fileKept);
        server.ack(101);
        ASSERT_TRUE(kept.wait(kWaitMs)) << leases;
        EXPECT_TRUE(inOutbox("f.bin")) << leases;
        EXPECT_TRUE(engine->fileNames().empty()) << leases;
    }
}

TEST_F(ClientSafety, FilesThatVanishOrEmptyAreDroppedAndTheClientGoesOn) {
    put("gone.bin", "soon gone");
    put("emptied.bin", "soon empty");
    start();
    ASSERT_EQ(engine->fileNames().size(), 2u);
    std::filesystem::remove(zelk::joinPath(outbox, "gone.bin"));
    writeFile(zelk::joinPath(outbox, "emptied.bin"), "");
    QSignalSpy dropped(engine.get(), &zelk::ClientEngine::fileDropped);
    engine->timLoopEnvoi_Timer();
    engine->timLoopEnvoi_Timer();
    EXPECT_EQ(dropped.count(), 2);
    EXPECT_EQ(server.waiting(), 0u);
    engine->timLoopEnvoi_Timer(); // rescan: nothing left to send
    EXPECT_TRUE(engine->fileNames().empty());
    EXPECT_TRUE(inOutbox("emptied.bin"));
}

TEST_F(ClientSafety, AFileThatVanishesBetweenPiecesIsDroppedWithoutAPiece) {
    put("f.bin", patternBytes(2500));
    start();
    engine->timLoopEnvoi_Timer();
    expectHeaderOf("f.bin");
    EXPECT_EQ(pieceAfterAck(1).size(), 1000u);
    std::filesystem::remove(zelk::joinPath(outbox, "f.bin"));
    QSignalSpy dropped(engine.get(), &zelk::ClientEngine::fileDropped);
    server.ack(1001);
    ASSERT_TRUE(dropped.wait(kWaitMs));
    EXPECT_TRUE(engine->fileNames().empty());
    EXPECT_FALSE(engine->loopEnabled());
    EXPECT_TRUE(engine->waitEnabled());
    EXPECT_EQ(engine->progress(), 0);
    EXPECT_EQ(server.waiting(), 0u);
}

TEST(ClientDestination, HostNamesAndIpv6LiteralsAreResolvedOnceAtStartUp) {
    const std::pair<QHostAddress, const char*> cases[] = {
        {QHostAddress(QHostAddress::LocalHostIPv6), "::1"},
        {QHostAddress(QHostAddress::Any), "localhost"},
    };
    for (const auto& [bindAt, host] : cases) {
        ScratchDir dir;
        const std::string outbox = dir.file("outbox");
        std::filesystem::create_directory(outbox);
        writeFile(zelk::joinPath(outbox, "f.bin"), "hello");
        FakeServer server(bindAt);
        zelk::ClientConfig cfg = clientConfig(outbox, server.port());
        cfg.cfgAdresseDest = host;
        zelk::ClientEngine engine;
        QString error;
        ASSERT_TRUE(engine.start(cfg, error));
        engine.timLoopEnvoi_Timer();
        ASSERT_TRUE(server.next()) << host;
        server.ack(1);
        const auto piece = server.next();
        ASSERT_TRUE(piece) << host;
        EXPECT_EQ(payloadOf(*piece), "hello") << host;
    }
}

TEST(ClientDestination, WithoutADestinationTheClientRunsAndSendsNothing) {
    ScratchDir dir;
    const std::string outbox = dir.file("outbox");
    std::filesystem::create_directory(outbox);
    writeFile(zelk::joinPath(outbox, "f.bin"), "hello");
    FakeServer server;
    zelk::ClientConfig cfg = clientConfig(outbox, server.port());
    cfg.cfgAdresseDest.clear();
    zelk::ClientEngine engine;
    QString error;
    ASSERT_TRUE(engine.start(cfg, error));
    engine.timLoopEnvoi_Timer();
    engine.timAttente_Timer();
    engine.timLoopEnvoi_Timer();
    EXPECT_EQ(engine.fileNames(), std::vector<std::string>{"f.bin"});
    EXPECT_TRUE(engine.waitEnabled());
    EXPECT_EQ(server.waiting(), 0u);
}

} // namespace
