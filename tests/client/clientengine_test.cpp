// The send engine against a scripted server: what goes on the wire, in which state the timers are,
// and what becomes of the outbox.

#include "clienttestkit.h"

#include <QSignalSpy>
#include <algorithm>

using namespace zelktest;

namespace {

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

using ClientStartUp = ClientFixture;
using ClientSending = ClientFixture;

TEST_F(ClientStartUp, ListsTheNonEmptyFilesDirectlyInTheOutboxAndWaitsForTheLoop) {
    put("a.txt", std::string(10, 'a'));
    put("b.txt", "");
    put("c.txt", std::string(5, 'c'));
    std::filesystem::create_directory(zelk::joinPath(outbox, "sub"));
    put("sub/d.txt", "inside");
    start();
    EXPECT_EQ(sorted(engine->fileNames()), (std::vector<std::string>{"a.txt", "c.txt"}));
    EXPECT_TRUE(engine->loopEnabled());
    EXPECT_TRUE(engine->loopTicking());
    EXPECT_FALSE(engine->waitEnabled());
    EXPECT_EQ(engine->progress(), 0);
}

TEST_F(ClientStartUp, CreatesAMissingOutboxAndFindsItsFilesAtTheNextScan) {
    const std::string fresh = dir.file("fresh");
    start(clientConfig(fresh, server.port()));
    EXPECT_TRUE(std::filesystem::is_directory(fresh));
    EXPECT_TRUE(engine->fileNames().empty());
    writeFile(zelk::joinPath(fresh, "new.bin"), "xyz");
    engine->timLoopEnvoi_Timer(); // an empty list rescans, and what it finds goes at once
    EXPECT_EQ(engine->fileNames(), std::vector<std::string>{"new.bin"});
    EXPECT_EQ(server.waiting(), 1u);
    EXPECT_TRUE(engine->waitEnabled());
}

TEST_F(ClientStartUp, RefusesToRunWithoutOutboxIdentifierServerPortOrLocalPort) {
    QString error;
    // A client that cannot name a server port would run for ever sending nothing.
    for (const char* port : {"", "0", "abc", "65536", "-1"}) {
        zelk::ClientConfig badPort = clientConfig(outbox, server.port());
        badPort.cfgPortDest = port;
        EXPECT_FALSE(zelk::ClientEngine().start(badPort, error)) << port;
        EXPECT_TRUE(error.contains(QStringLiteral("ip_portadresse="))) << error.toStdString();
    }

    zelk::ClientConfig noParent = clientConfig(dir.file("missing/outbox"), server.port());
    EXPECT_FALSE(zelk::ClientEngine().start(noParent, error));
    EXPECT_TRUE(error.contains(QStringLiteral("directoryFiles="))) << error.toStdString();

    zelk::ClientConfig noIdentifier = clientConfig(outbox, server.port());
    noIdentifier.idOrigineLu = false;
    EXPECT_FALSE(zelk::ClientEngine().start(noIdentifier, error));
    EXPECT_TRUE(error.contains(QStringLiteral("id_de_Lorigine="))) << error.toStdString();

    QUdpSocket taken;
    ASSERT_TRUE(taken.bind(QHostAddress::Any, 0));
    zelk::ClientConfig busyPort = clientConfig(outbox, server.port());
    busyPort.cfgPortLocal = std::to_string(taken.localPort());
    EXPECT_FALSE(zelk::ClientEngine().start(busyPort, error));
    EXPECT_TRUE(error.contains(QStringLiteral("ip_port_locals="))) << error.toStdString();
}

TEST_F(ClientStartUp, ATimerWithIntervalZeroIsEnabledButNeverTicks) {
    put("a.txt", "abc");
    start(clientConfig(outbox, server.port(), 0, 0));
    EXPECT_TRUE(engine->loopEnabled());
    EXPECT_FALSE(engine->loopTicking());
    engine->timLoopEnvoi_Timer();
    EXPECT_TRUE(server.next().has_value());
    EXPECT_TRUE(engine->waitEnabled());
    EXPECT_FALSE(engine->waitTicking());
}

TEST_F(ClientStartUp, BringsThePieceSizeIntoOneTo9999) {
    const std::pair<const char*, std::size_t> cases[] = {
        {"0", 1}, {"-5", 1}, {"", 1}, {"abc", 1}, {"1000", 1000}, {"20000", 9999}, {"9999", 9999}};
    for (const auto& [setting, expected] : cases) {
        zelk::ClientConfig cfg = clientConfig(outbox, server.port());
        cfg.cfgPaquetsMax = setting;
        zelk::ClientEngine engine;
        QString error;
        ASSERT_TRUE(engine.start(cfg, error));
        EXPECT_EQ(engine.pieceMax(), expected) << setting;
    }
}

// The first header offers the extension, and asks for several files at once, in fields a plain
// server ignores; once a plain answer shows the server is plain, every frame is byte for byte what
// the plain protocol sends.
TEST_F(ClientSending, AfterAPlainAnswerToItsOfferFramesAreByteForByteThePlainOnes) {
    put("rapport.txt", patternBytes(2500));
    offers = true;
    start();
    engine->timLoopEnvoi_Timer();
    const auto offered = server.next();
    ASSERT_TRUE(offered);
    const std::string prefix = std::string("\x01poste7    58;", 14) + "BEG;rapport.txt;2500;ZX1,";
    ASSERT_EQ(offered->substr(0, prefix.size()), prefix);
    EXPECT_EQ(offered->substr(prefix.size() + 16), ",2500;ZXM,160;END");
    EXPECT_FALSE(engine->loopEnabled());
    EXPECT_TRUE(engine->waitEnabled());

    answerOffersPlainly(1);
    const auto piece = server.next();
    ASSERT_TRUE(piece);
    EXPECT_EQ(payloadOf(*piece), patternBytes(2500).substr(0, 1000));
    engine->timAttente_Timer(); // silence: the file is announced again, plainly
    engine->timLoopEnvoi_Timer();
    const auto plain = server.next();
    ASSERT_TRUE(plain);
    EXPECT_EQ(*plain, std::string("\x01poste7    24;", 14) + "BEG;rapport.txt;2500;END");
}

TEST_F(ClientSending, PiecesFollowTheAcknowledgementsAndTheFileGoesAtTheEnd) {
    const std::string content = patternBytes(2500);
    put("rapport.txt", content);
    start();
    engine->timLoopEnvoi_Timer();
    expectHeaderOf("rapport.txt");

    server.ack(1);
    const auto first = server.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 1016u);
    EXPECT_EQ(first->substr(0, 16), std::string("\x01poste7    1000;", 16));
    EXPECT_EQ(payloadOf(*first), content.substr(0, 1000));
    EXPECT_EQ(engine->progress(), 0);
    EXPECT_FALSE(engine->loopEnabled());
    EXPECT_TRUE(engine->waitEnabled());

    // No two of three pieces in a row share a length: the second is a byte shorter.
    EXPECT_EQ(pieceAfterAck(1001), content.substr(1000, 999));
    EXPECT_EQ(engine->progress(), 40);
    EXPECT_EQ(pieceAfterAck(2000), content.substr(1999, 501));
    EXPECT_EQ(engine->progress(), 79);

    QSignalSpy done(engine.get(), &zelk::ClientEngine::fileDone);
    ASSERT_TRUE(finalAnswer(2501, "rapport.txt"));
    ASSERT_EQ(done.count(), 1);
    EXPECT_FALSE(inOutbox("rapport.txt"));
    EXPECT_TRUE(engine->fileNames().empty());
    EXPECT_EQ(engine->progress(), 0);
    EXPECT_TRUE(engine->loopEnabled());
    EXPECT_TRUE(engine->waitEnabled());
    EXPECT_EQ(server.waiting(), 0u);
}

TEST_F(ClientSending, PieceLengthsAtAndJustBelowThePieceSize) {
    for (const std::size_t size : {std::size_t{1000}, std::size_t{999}}) {
        const std::string content = patternBytes(size, static_cast<unsigned>(size));
        put("f.bin", content);
        start();
        engine->timLoopEnvoi_Timer();
        expectHeaderOf("f.bin");
        EXPECT_EQ(pieceAfterAck(1), content) << size;
        QSignalSpy done(engine.get(), &zelk::ClientEngine::fileDone);
        ASSERT_TRUE(finalAnswer(static_cast<std::int64_t>(size) + 1, "f.bin")) << size;
        ASSERT_EQ(done.count(), 1) << size;
        EXPECT_FALSE(inOutbox("f.bin"));
    }
}

// The answer to a header wins, forward or back (a resume); the answer to a piece must be where
// that piece ends, and anything else makes the client start the server's copy anew.
TEST_F(ClientSending, AHeaderIsAnsweredWithAResumeAndAPieceWithItsEnd) {
    const std::string content = patternBytes(2500);
    put("f.bin", content);
    start();
    engine->timLoopEnvoi_Timer();
    expectHeaderOf("f.bin");
    EXPECT_EQ(pieceAfterAck(1501), content.substr(1500, 1000)); // the server held 1500 bytes
    EXPECT_EQ(engine->progress(), 60);
    QSignalSpy done(engine.get(), &zelk::ClientEngine::fileDone);
    ASSERT_TRUE(finalAnswer(2501, "f.bin"));
    ASSERT_EQ(done.count(), 1);
    EXPECT_FALSE(inOutbox("f.bin"));
}

// Such an answer may be a copy of another file's answer: it is not taken. But when no other
// answer comes, it is where the server stands (copies of pieces carried it past the end, and
// that transfer would never complete), so the client makes the server start the file anew.
TEST_F(ClientSending, AHeaderAnsweredAtOrPastTheEndOrBeforeTheStartIsNotAnswered) {
    put("a.bin", patternBytes(2500));
    for (const std::int64_t position : {2501, 1000000, 0, -3}) {
        start();
        engine->timLoopEnvoi_Timer();
        expectHeaderOf("a.bin");
        server.ack(position);
        settle();
        EXPECT_EQ(server.waiting(), 0u) << position;
        EXPECT_TRUE(engine->waitEnabled()) << position;
        EXPECT_FALSE(engine->loopEnabled()) << position;
        EXPECT_TRUE(inOutbox("a.bin")) << position;
        EXPECT_EQ(engine->fileNames(), std::vector<std::string>{"a.bin"}) << position;
        engine->timAttente_Timer();
        engine->timLoopEnvoi_Timer();
        EXPECT_EQ(expectHeaderOf("a.bin"), "BEG;a.bin;0;END") << position;
    }
}

TEST_F(ClientSending, AnythingButAnAcknowledgementIsIgnored) {
    put("f.bin", patternBytes(500));
    start();
    engine->timLoopEnvoi_Timer();
    ASSERT_TRUE(server.next()); // the header
    const char* notAcks[] = {"pte;1;END", "PTE;1;END\n", "x",         "PTE;5",
                             "PTE",       "PTE;abc;END", "PTE;-7;END"};
    for (const char* text : notAcks) {
        server.answer(text);
    }
    settle();
    EXPECT_FALSE(engine->loopEnabled());
    EXPECT_TRUE(engine->waitEnabled());
    EXPECT_EQ(server.waiting(), 0u);
    // The header still waits for its answer (the piece may be cut shorter: answers that fit
    // nothing tell of copies on the link, see clientanswers_test).
    const std::string piece = pieceAfterAck(1);
    EXPECT_FALSE(piece.empty());
    EXPECT_LE(piece.size(), 500u);
}

TEST_F(ClientSending, AnAnswerWhenNothingWaitsForOneChangesNothing) {
    put("f.bin", "abc");
    start();
    engine->timLoopEnvoi_Timer();
    ASSERT_TRUE(server.next());
    QSignalSpy done(engine.get(), &zelk::ClientEngine::fileDone);
    EXPECT_EQ(pieceAfterAck(1), "abc");
    ASSERT_TRUE(finalAnswer(4, "f.bin"));
    ASSERT_EQ(done.count(), 1);
    engine->timAttente_Timer(); // back to idle: loop on, wait off
    ASSERT_FALSE(engine->waitEnabled());
    server.ack(1);
    server.ack(4);
    settle();
    EXPECT_TRUE(engine->loopEnabled());
    EXPECT_FALSE(engine->waitEnabled());
    EXPECT_EQ(server.waiting(), 0u);
}

TEST(ClientTimers, TheHeaderGoesOutAgainWhileNoAnswerComes) {
    ScratchDir dir;
    const std::string outbox = dir.file("outbox");
    std::filesystem::create_directory(outbox);
    writeFile(zelk::joinPath(outbox, "f.bin"), patternBytes(3000));
    FakeServer server;
    zelk::ClientEngine engine;
    QString error;
    ASSERT_TRUE(engine.start(clientConfig(outbox, server.port(), 20, 60), error));
    const auto first = server.next();
    ASSERT_TRUE(first && isHeader(*first));
    for (int repeat = 0; repeat < 3; ++repeat) {
        const auto again = server.next();
        ASSERT_TRUE(again);
        EXPECT_EQ(*again, *first);
    }
    EXPECT_EQ(engine.fileNames(), std::vector<std::string>{"f.bin"});
    EXPECT_EQ(engine.progress(), 0);
}

TEST(ClientTimers, AFileTravelsWholeDrivenByItsOwnTimers) {
    ScratchDir dir;
    const std::string outbox = dir.file("outbox");
    std::filesystem::create_directory(outbox);
    const std::string content = patternBytes(4321);
    writeFile(zelk::joinPath(outbox, "f.bin"), content);
    FakeServer server;
    zelk::ClientEngine engine;
    QString error;
    ASSERT_TRUE(engine.start(clientConfig(outbox, server.port(), 20, 5000), error));
    engine.setHeldBackMs(0);
    const auto inOutbox = [&] { return std::filesystem::exists(zelk::joinPath(outbox, "f.bin")); };
    std::string received;
    std::int64_t position = 1;
    while (inOutbox() && !engine.holdingBack("f.bin")) {
        const auto frame = server.next();
        ASSERT_TRUE(frame);
        if (!isHeader(*frame)) {
            received += payloadOf(*frame);
            position += static_cast<std::int64_t>(payloadOf(*frame).size());
        }
        server.ack(position);
        (void)QTest::qWaitFor([&] { return server.waiting() > 0 || engine.fileNames().empty(); },
                              kWaitMs);
    }
    EXPECT_EQ(received, content);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !inOutbox(); }, kWaitMs));
}

} // namespace
