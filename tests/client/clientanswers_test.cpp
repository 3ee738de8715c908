// Answers name no file and no frame, and the network may copy them or deliver them late: the
// client takes at most one answer for the frame that waits, only one that can answer it, and it
// never deletes a file whose content it has not sent and seen acknowledged to the end. When the
// server's copy holds bytes in the wrong place, the client makes it start the file anew.

#include "clientstate.h"
#include "clienttestkit.h"

#include <QSignalSpy>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace zelktest;

namespace {

constexpr char kResetOf2500[] = "BEG;f.bin;0;END";

class ClientAnswers : public ClientFixture {
protected:
    // Starts on one 2500-byte file and answers its header with position 1.
    void startOnFile() {
        put("f.bin", content);
        start();
        engine->timLoopEnvoi_Timer();
        expectHeaderOf("f.bin");
        ASSERT_EQ(pieceAfterAck(1), content.substr(0, 1000));
    }
    // Lets the wait run out, ticks the loop and gives the payload of the header that follows.
    std::string headerAfterSilence() {
        engine->timAttente_Timer();
        engine->timLoopEnvoi_Timer();
        return expectHeaderOf("f.bin");
    }
    // After a restart the size-0 header waits a whole wait, so that the answers to frames still
    // on their way come first: the loop's ticks send nothing until the wait ran out. A tick sends
    // at once, so what it sent to loopback is already waiting when it returns.
    std::string headerAfterRestart(const std::string& name) {
        engine->timLoopEnvoi_Timer();
        EXPECT_EQ(server.waiting(), 0u);
        EXPECT_TRUE(engine->loopEnabled());
        engine->timAttente_Timer();
        engine->timLoopEnvoi_Timer();
        return expectHeaderOf(name);
    }
    // Answers each piece as a sound server does, from `from` (0-based) to the end of `bytes`,
    // and gives what arrived; the final answer is sent too.
    std::string answerEveryPiece(std::int64_t from, const std::string& bytes) {
        std::string arrived;
        server.ack(from + 1);
        while (from < static_cast<std::int64_t>(bytes.size())) {
            const auto frame = server.next();
            if (!frame || isHeader(*frame)) {
                break;
            }
            const std::string piece = payloadOf(*frame);
            arrived += piece;
            from += static_cast<std::int64_t>(piece.size());
            server.ack(from + 1);
        }
        return arrived;
    }

    const std::string content = patternBytes(2500);
};

TEST_F(ClientAnswers, CopiesAndLateAnswersChangeNothing) {
    startOnFile();
    EXPECT_EQ(pieceAfterAck(1001), content.substr(1000, 999));
    server.ack(1001); // a copy of the answer that brought the second piece about
    settle();
    EXPECT_EQ(server.waiting(), 0u);
    EXPECT_TRUE(engine->waitEnabled());

    engine->timAttente_Timer(); // the wait runs out: the answer that comes now answers nothing
    server.ack(2000);
    settle();
    EXPECT_EQ(server.waiting(), 0u);
    EXPECT_TRUE(engine->loopEnabled());
    EXPECT_FALSE(engine->waitEnabled());

    engine->timLoopEnvoi_Timer();
    expectHeaderOf("f.bin");
    EXPECT_EQ(answerEveryPiece(1999, content), content.substr(1999));
    settle();
    EXPECT_TRUE(engine->holdingBack("f.bin"));
    EXPECT_TRUE(inOutbox("f.bin"));
}

// A header sent again after a silence leaves the bar at what the server holds, and the status line
// says since when the server is silent, until it answers.
TEST_F(ClientAnswers, ASilenceKeepsTheShareHeldAndIsToldUntilTheServerAnswers) {
    startOnFile();
    EXPECT_EQ(pieceAfterAck(1001), content.substr(1000, 999));
    EXPECT_EQ(engine->progress(), 40);
    EXPECT_EQ(zelk::activityText(engine->activity()), QStringLiteral("Envoi de f.bin"));
    headerAfterSilence();
    EXPECT_EQ(engine->progress(), 40);
    EXPECT_TRUE(zelk::activityText(engine->activity())
                    .startsWith(QStringLiteral("En attente du serveur depuis ")))
        << zelk::activityText(engine->activity()).toStdString();
    const std::string next = pieceAfterAck(2000); // a resume: the server holds 1999 bytes
    EXPECT_EQ(next, content.substr(1999, next.size()));
    EXPECT_EQ(engine->progress(), 79);
    EXPECT_EQ(zelk::activityText(engine->activity()), QStringLiteral("Envoi de f.bin"));
}

// The last piece is answered once the file is on stable storage, which takes longer for a large
// file: it is waited for longer, so that no header sent meanwhile makes the server start anew.
TEST_F(ClientAnswers, TheLastPieceOfALargeFileIsWaitedForLonger) {
    const std::string path = zelk::joinPath(outbox, "grand.bin");
    writeFile(path, "");
    ASSERT_EQ(::truncate(path.c_str(), 100'000'000), 0); // sparse: 100 MB of zeros
    start(clientConfig(outbox, server.port(), kNeverMs, 500));
    engine->timLoopEnvoi_Timer();
    expectHeaderOf("grand.bin");
    EXPECT_EQ(engine->waitMs(), 500);
    std::int64_t held = 99'997'000; // the server holds all but 3000 bytes
    for (;;) {
        const auto piece = static_cast<std::int64_t>(pieceAfterAck(held + 1).size());
        ASSERT_GT(piece, 0);
        held += piece;
        if (held == 100'000'000) {
            break;
        }
        EXPECT_EQ(engine->waitMs(), 500);
    }
    EXPECT_EQ(engine->waitMs(), 1000 + 100'000'000 / 50'000) << "1 s and 1 s per 50 MB";
}

// After copies and late frames a finished file is held back: a stray header of it may still reach
// the server and make it start the file anew, which shows when the next file's piece is answered
// as if written at the first byte. Then the file is sent again whole; otherwise it goes once the
// time is up.
TEST_F(ClientAnswers, AFinishedFileIsHeldBackWhileStrayFramesMayUndoItsCopy) {
    for (const bool strayComes : {true, false}) {
        startOnFile();
        engine->setHeldBackMs(strayComes ? 600000 : 0);
        EXPECT_EQ(pieceAfterAck(1001), content.substr(1000, 999));
        server.ack(1001); // a copy: from now on the link is known to copy frames
        EXPECT_EQ(answerEveryPiece(1999, content), content.substr(1999));
        settle();
        ASSERT_TRUE(engine->holdingBack("f.bin")) << strayComes;
        if (strayComes) {
            put("g.bin", patternBytes(5000, 8));
            engine->timLoopEnvoi_Timer(); // rescan, and the header goes
            expectHeaderOf("g.bin");
            const std::size_t first = pieceAfterAck(1).size();
            const std::size_t second = pieceAfterAck(static_cast<std::int64_t>(first) + 1).size();
            server.ack(static_cast<std::int64_t>(second) + 1); // written at the first byte
            settle();
            EXPECT_FALSE(engine->holdingBack("f.bin"));
            EXPECT_TRUE(inOutbox("f.bin"));
            std::filesystem::remove(zelk::joinPath(outbox, "f.bin"));
            std::filesystem::remove(zelk::joinPath(outbox, "g.bin"));
        } else {
            QSignalSpy done(engine.get(), &zelk::ClientEngine::fileDone);
            engine->timLoopEnvoi_Timer();
            EXPECT_EQ(done.count(), 1);
            EXPECT_FALSE(inOutbox("f.bin"));
        }
    }
}

// A second first-byte answer while the first piece waits may answer a header of another file that
// reached the server late: the piece then went into that file, so both start anew.
TEST_F(ClientAnswers, AHeaderAnsweredTwiceWhileItsFirstPieceWaitsStartsTheFileAnew) {
    startOnFile();
    server.ack(1);
    settle();
    EXPECT_EQ(server.waiting(), 0u);
    QSignalSpy done(engine.get(), &zelk::ClientEngine::fileDone);
    EXPECT_EQ(headerAfterRestart("f.bin"), kResetOf2500);
    server.ack(1);
    expectHeaderOf("f.bin");
    EXPECT_EQ(answerEveryPiece(0, content), content);
    settle();
    EXPECT_EQ(done.count(), 0) << "held back: a header sent again may still be on its way";
    EXPECT_TRUE(inOutbox("f.bin"));
}

// The copy of one file's final answer reaches the client after the next file's header went out:
// taken for a resume it leads the client to a piece whose answer cannot match, never to a delete.
TEST_F(ClientAnswers, ACopyOfTheFinalAnswerNeverFinishesTheNextFile) {
    put("a.bin", patternBytes(300));
    start();
    engine->timLoopEnvoi_Timer();
    expectHeaderOf("a.bin");
    ASSERT_EQ(pieceAfterAck(1).size(), 300u);
    QSignalSpy done(engine.get(), &zelk::ClientEngine::fileDone);
    ASSERT_TRUE(finalAnswer(301, "a.bin"));
    ASSERT_EQ(done.count(), 1);
    server.ack(301); // a copy, while nothing waits
    settle();

    put("b.bin", patternBytes(2500, 9));
    engine->timLoopEnvoi_Timer(); // rescan, and the header goes
    expectHeaderOf("b.bin");
    // Another copy, which would be a resume; but nothing of the file was sent, and copies are
    // about, so the server's part may hold a stray piece: the client starts it anew.
    server.ack(301);
    settle();
    EXPECT_EQ(server.waiting(), 0u);
    EXPECT_EQ(done.count(), 1);
    EXPECT_TRUE(inOutbox("b.bin"));
    EXPECT_EQ(headerAfterRestart("b.bin"), "BEG;b.bin;0;END");
}

// A piece answered with another position than its end, or a header answered with more than was
// ever sent: the server's copy is damaged. The client announces the name with size 0 (a new
// transfer for any server), then the file again, sends it from its first byte, and deletes it
// once that transfer is acknowledged to its end.
TEST_F(ClientAnswers, ADamagedCopyOnTheServerIsStartedAnewAndTheFileDeletedOnlyAfterThat) {
    const std::function<void()> damages[] = {
        [this] { server.ack(2001); }, // a piece answered past its end
        [this] {
            // ... or short of it
            EXPECT_EQ(pieceAfterAck(1001).size(), 999u);
            server.ack(1500);
        },
        [this] {
            // a header answered with more than the client sent
            EXPECT_EQ(headerAfterSilence(), "BEG;f.bin;2500;END");
            server.ack(2001);
        },
    };
    for (const auto& damage : damages) {
        startOnFile();
        damage();
        settle();
        ASSERT_EQ(server.waiting(), 0u);
        EXPECT_TRUE(engine->loopEnabled());
        EXPECT_EQ(headerAfterRestart("f.bin"), kResetOf2500);
        server.ack(1);
        EXPECT_EQ(expectHeaderOf("f.bin"), "BEG;f.bin;2500;END");
        engine->setHeldBackMs(0);
        EXPECT_EQ(answerEveryPiece(0, content), content);
        settle();
        QSignalSpy done(engine.get(), &zelk::ClientEngine::fileDone);
        engine->timLoopEnvoi_Timer();
        EXPECT_EQ(done.count(), 1);
        EXPECT_FALSE(inOutbox("f.bin"));
    }
}

// A file rewritten in place during a pause (same size) must not be resumed: the server's part
// holds the old bytes.
TEST_F(ClientAnswers, AFileThatChangedSinceItsTransferBeganIsNotResumed) {
    startOnFile();
    const std::string path = zelk::joinPath(outbox, "f.bin");
    writeFile(path, patternBytes(2500, 5));
    EXPECT_EQ(headerAfterSilence(), "BEG;f.bin;2500;END");
    server.ack(1001);
    settle();
    EXPECT_EQ(server.waiting(), 0u);
    EXPECT_EQ(headerAfterRestart("f.bin"), kResetOf2500);
}

// A file replaced by another of the same size and times (a copy that kept its modification time,
// renamed over the first) is a different file.
TEST_F(ClientAnswers, AFileReplacedByRenameWithTheSameSizeAndTimesIsNotDeleted) {
    startOnFile();
    const std::string path = zelk::joinPath(outbox, "f.bin");
    const std::string twin = dir.file("twin");
    writeFile(twin, patternBytes(2500, 3));
    struct stat original {};
    ASSERT_EQ(::stat(path.c_str(), &original), 0);
    const timespec times[2] = {original.st_atim, original.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, twin.c_str(), times, 0), 0);
    ASSERT_EQ(::rename(twin.c_str(), path.c_str()), 0);
    EXPECT_EQ(pieceAfterAck(1001).size(), 999u);
    EXPECT_EQ(pieceAfterAck(2000).size(), 501u);
    QSignalSpy kept(engine.get(), &zelk::ClientEngine::fileKept);
    server.ack(2501);
    ASSERT_TRUE(kept.wait(kWaitMs));
    EXPECT_TRUE(inOutbox("f.bin"));
}

// The server takes the header of one file but never its content (a folder in its way): after a
// few silences the other files go first.
TEST_F(ClientAnswers, AFileWhoseContentTheServerNeverTakesLetsTheOthersGoFirst) {
    put("a.bin", patternBytes(2000));
    put("b.bin", patternBytes(2000, 2));
    start();
    std::string stuck;
    for (int round = 0; round < zelk::ClientEngine::kStallsBeforeMovingOn; ++round) {
        engine->timLoopEnvoi_Timer();
        const std::string header = expectHeaderOf("");
        stuck = header.find("a.bin") != std::string::npos ? "a.bin" : "b.bin";
        // a silence shortens the next pieces, in case a late copy of this one still comes
        ASSERT_FALSE(pieceAfterAck(1).empty());
        engine->timAttente_Timer();
    }
    const std::string other = stuck == "a.bin" ? "b.bin" : "a.bin";
    EXPECT_EQ(engine->fileNames(), std::vector<std::string>{other});
    engine->timLoopEnvoi_Timer();
    expectHeaderOf(other);
    EXPECT_TRUE(inOutbox(stuck));
}

} // namespace

// A server whose position went back (it lost bytes it had acknowledged, in a crash) answers every
// header alike: one such answer may be a late copy, the same answer to the next header is where
// the server stands, and the file goes on from there rather than being announced for ever.
TEST_F(ClientAnswers, AServerWhosePositionWentBackIsBelievedWhenTwoHeadersSaySo) {
    startOnFile();
    EXPECT_EQ(pieceAfterAck(1001), content.substr(1000, 999)); // the piece is lost
    headerAfterSilence();
    server.ack(501); // a late copy, as far as this one answer tells
    settle();
    EXPECT_EQ(server.waiting(), 0u);
    headerAfterSilence();
    EXPECT_EQ(answerEveryPiece(500, content), content.substr(500));
}
