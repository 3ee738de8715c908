// Transfers over UDP against the real engine: the exchange of one file, resumes, restarts with
// another file, several origins at once, and what stays unanswered.

#include "harness.h"

#include "fsops.h"

#include <QTest>
#include <gtest/gtest.h>

#include <QTest>
#include <algorithm>
#include <cstdio>

using namespace servertest;
using zelktest::patternBytes;
using zelktest::readFile;

namespace {

// Sends `file` from `from` piece by piece and checks every answer.
void sendPieces(UdpPeer& peer, std::string_view origin, std::string_view file,
                std::size_t pieceSize, std::size_t fromIndex = 0) {
    for (std::size_t at = fromIndex; at < file.size(); at += pieceSize) {
        const std::string_view piece = file.substr(at, pieceSize);
        const std::string expected = ack(at + piece.size() + 1);
        ASSERT_EQ(peer.exchange(content(origin, piece)), expected) << "piece at " << at;
    }
}

} // namespace

TEST(UdpTransfers, TheWorkedExampleEndToEnd) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    const std::string file = patternBytes(2500);

    ASSERT_EQ(peer.exchange(header(kPoste7, "rapport.txt", 2500)), "PTE;1;END");
    EXPECT_TRUE(peer.lastSender() == QHostAddress(QHostAddress::LocalHost));
    EXPECT_EQ(peer.lastSenderPort(), server.engine().udpPort());
    ASSERT_EQ(server.table().count(), 1);
    const zelk::TransferRow& row = server.table().at(0);
    EXPECT_EQ(row.origin, kPoste7);
    EXPECT_EQ(row.address, "127.0.0.1");
    EXPECT_EQ(row.port, peer.localPort());
    EXPECT_EQ(row.file, "rapport.txt");
    EXPECT_EQ(row.position, 1);
    EXPECT_EQ(row.total, "2500");

    EXPECT_EQ(peer.exchange(content(kPoste7, std::string_view(file).substr(0, 1000))),
              "PTE;1001;END");
    EXPECT_EQ(server.table().at(0).position, 1001);
    EXPECT_EQ(peer.exchange(content(kPoste7, std::string_view(file).substr(1000, 1000))),
              "PTE;2001;END");
    EXPECT_EQ(peer.exchange(content(kPoste7, std::string_view(file).substr(2000))), "PTE;2501;END");

    EXPECT_EQ(server.table().count(), 0);
    EXPECT_EQ(readFile(server.pathOf("poste7", "rapport.txt")), file);
}

TEST(UdpTransfers, ARepeatedHeaderResumesAtTheStoredPositionFromAnyPeer) {
    RunningServer server;
    UdpPeer first(server.engine().udpPort());
    const std::string file = patternBytes(1200, 7);
    ASSERT_EQ(first.exchange(header(kPoste7, "a.bin", 1200)), "PTE;1;END");
    ASSERT_EQ(first.exchange(content(kPoste7, std::string_view(file).substr(0, 500))),
              "PTE;501;END");

    // A sender restarted on another port resumes at once; content is then taken from it alone.
    UdpPeer second(server.engine().udpPort());
    EXPECT_TRUE(unanswered(server, second, content(kPoste7, std::string_view(file).substr(500))));
    EXPECT_EQ(second.exchange(header(kPoste7, "a.bin", 1200)), "PTE;501;END");
    EXPECT_TRUE(unanswered(server, first, content(kPoste7, std::string_view(file).substr(500))));
    ASSERT_EQ(server.table().count(), 3); // with the probes' rows
    EXPECT_EQ(server.table().at(0).port, second.localPort());
    EXPECT_EQ(server.table().at(0).position, 501);

    sendPieces(second, kPoste7, file, 500, 500);
    EXPECT_EQ(readFile(server.pathOf("poste7", "a.bin")), file);

    // From another address, while the row's sender is active, a header is refused: two clients
    // with one origin would mix their files. Once the first is quiet, it resumes.
    server.engine().setLiveRowMs(300);
    ASSERT_EQ(second.exchange(header(kPoste7, "b.bin", 1200)), "PTE;1;END");
    UdpPeer elsewhere(server.engine().udpPort(), QHostAddress::LocalHostIPv6);
    EXPECT_TRUE(unanswered(server, elsewhere, header(kPoste7, "b.bin", 1200)));
    QTest::qWait(400);
    EXPECT_EQ(elsewhere.exchange(header(kPoste7, "b.bin", 1200)), "PTE;1;END");
}

TEST(UdpTransfers, AnotherNameOrSizeFromTheSameOriginStartsAfresh) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    const std::string first = patternBytes(300, 1);
    ASSERT_EQ(peer.exchange(header("other", "x", 50)), "PTE;1;END");
    ASSERT_EQ(peer.exchange(header(kPoste7, "first.bin", 300)), "PTE;1;END");
    ASSERT_EQ(peer.exchange(content(kPoste7, std::string_view(first).substr(0, 100))),
              "PTE;101;END");

    // Another name: the row is replaced by a new one at the end; the partial file stays.
    EXPECT_EQ(peer.exchange(header(kPoste7, "second.bin", 300)), "PTE;1;END");
    ASSERT_EQ(server.table().count(), 2);
    EXPECT_EQ(server.table().at(0).origin, "other     ");
    EXPECT_EQ(server.table().at(1).file, "second.bin");
    EXPECT_EQ(server.table().at(1).position, 1);
    EXPECT_EQ(readFile(server.pathOf("poste7", "first.bin")), first.substr(0, 100));

    ASSERT_EQ(peer.exchange(content(kPoste7, "abc")), "PTE;4;END");
    // The same name with another size, or the size written otherwise, is another file: its first
    // piece replaces the earlier bytes, none of which outlive it.
    const std::string path = server.pathOf("poste7", "second.bin");
    EXPECT_EQ(peer.exchange(header(kPoste7, "second.bin", 200)), "PTE;1;END");
    EXPECT_EQ(readFile(path), "abc");
    ASSERT_EQ(peer.exchange(content(kPoste7, "xy")), "PTE;3;END");
    EXPECT_EQ(readFile(path), "xy");
    EXPECT_EQ(peer.exchange(header(kPoste7, "second.bin", "0200")), "PTE;1;END");
    ASSERT_EQ(peer.exchange(content(kPoste7, "q")), "PTE;2;END");
    EXPECT_EQ(readFile(path), "q");
    EXPECT_EQ(server.table().count(), 2);
}

TEST(UdpTransfers, ACompletedTransferIsForgotten) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    const std::string file = patternBytes(200, 3);
    ASSERT_EQ(peer.exchange(header(kPoste7, "done.bin", 200)), "PTE;1;END");
    sendPieces(peer, kPoste7, file, 100);
    EXPECT_EQ(server.table().count(), 0);

    // A piece after completion finds no transfer.
    EXPECT_TRUE(unanswered(server, peer, content(kPoste7, "late")));
    EXPECT_EQ(readFile(server.pathOf("poste7", "done.bin")), file);

    // The sender lost the last answer and announces the file again: it is received again, the
    // finished copy staying whole until the first piece comes.
    EXPECT_EQ(peer.exchange(header(kPoste7, "done.bin", 200)), "PTE;1;END");
    EXPECT_EQ(readFile(server.pathOf("poste7", "done.bin")), file);
    sendPieces(peer, kPoste7, file, 150);
    EXPECT_EQ(readFile(server.pathOf("poste7", "done.bin")), file);
}

TEST(UdpTransfers, ContentFromAnUnknownOriginIsNeitherWrittenNorAnswered) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    EXPECT_TRUE(unanswered(server, peer, content("stranger", "some bytes")));
    EXPECT_FALSE(zelk::folderExists(server.receiveFolder() + "/stranger"));
    EXPECT_EQ(server.rowOf(zelk::originIdentifier("stranger")), -1);
}

TEST(UdpTransfers, OriginsInterleaveEachIntoItsOwnFolder) {
    RunningServer server;
    UdpPeer a(server.engine().udpPort());
    UdpPeer b(server.engine().udpPort());
    const std::string fileA = patternBytes(900, 11);
    const std::string fileB = patternBytes(700, 12);
    ASSERT_EQ(a.exchange(header("alpha", "same.txt", 900)), "PTE;1;END");
    ASSERT_EQ(b.exchange(header("beta", "same.txt", 700)), "PTE;1;END");
    for (std::size_t at = 0; at < 900; at += 300) {
        ASSERT_EQ(a.exchange(content("alpha", std::string_view(fileA).substr(at, 300))),
                  ack(at + 301));
        if (at < 700) {
            const std::string_view piece = std::string_view(fileB).substr(at, 300);
            ASSERT_EQ(b.exchange(content("beta", piece)), ack(at + piece.size() + 1));
        }
    }
    EXPECT_EQ(readFile(server.pathOf("alpha", "same.txt")), fileA);
    EXPECT_EQ(readFile(server.pathOf("beta", "same.txt")), fileB);
    EXPECT_EQ(server.table().count(), 0);
}

TEST(UdpTransfers, IPv6LoopbackIsServedAndShownPlain) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort(), QHostAddress::LocalHostIPv6);
    ASSERT_EQ(peer.exchange(header(kPoste7, "six.txt", 3)), "PTE;1;END");
    EXPECT_TRUE(peer.lastSender() == QHostAddress(QHostAddress::LocalHostIPv6));
    EXPECT_EQ(server.table().at(0).address, "::1");
    EXPECT_EQ(peer.exchange(content(kPoste7, "six")), "PTE;4;END");
    EXPECT_EQ(readFile(server.pathOf("poste7", "six.txt")), "six");
}

TEST(UdpTransfers, InvalidFramesAreDroppedInSilence) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    ASSERT_EQ(peer.exchange(header(kPoste7, "f", 10)), "PTE;1;END");
    const std::string piece = content(kPoste7, "0123456789");

    EXPECT_TRUE(unanswered(server, peer, std::string(1, '\x01')));
    std::string wrongStart = piece;
    wrongStart[0] = '\x02';
    EXPECT_TRUE(unanswered(server, peer, wrongStart));
    EXPECT_TRUE(unanswered(server, peer, piece + "x"));
    EXPECT_TRUE(unanswered(server, peer, piece.substr(0, piece.size() - 1)));
    EXPECT_TRUE(unanswered(server, peer, std::string("\x01") + kPoste7 + "00010;0123456789"));
    EXPECT_TRUE(unanswered(server, peer, std::string("\x01") + kPoste7 + ";"));
    EXPECT_TRUE(unanswered(server, peer, std::string("\x01") + kPoste7 + "7;BEG;END"));
    EXPECT_EQ(server.table().at(server.rowOf(kPoste7)).position, 1);

    // Leading zeros in the length field are the same number.
    EXPECT_EQ(peer.exchange(std::string("\x01") + kPoste7 + "0010;0123456789"), "PTE;11;END");
}

TEST(UdpTransfers, AnOriginOfBlanksWritesIntoTheReceiveFolder) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    const std::string blanks(10, ' ');
    ASSERT_EQ(peer.exchange(header(blanks, "plain.txt", 4)), "PTE;1;END");
    ASSERT_EQ(peer.exchange(content(blanks, "data")), "PTE;5;END");
    EXPECT_EQ(readFile(zelk::joinPath(server.receiveFolder(), "plain.txt")), "data");
}

TEST(UdpTransfers, TheTraceTellsEveryEventWhenAskedFor) {
    RunningServer traced(true);
    UdpPeer peer(traced.engine().udpPort());
    ASSERT_EQ(peer.exchange(header(kPoste7, "t.txt", 2)), "PTE;1;END");
    ASSERT_TRUE(unanswered(traced, peer, "junk"));
    ASSERT_EQ(peer.exchange(content(kPoste7, "ok")), "PTE;3;END");
    const std::string trace = traced.traceText();
    for (const char* event : {"frame received", "file started", "ack sent PTE;1;END",
                              "frame dropped invalid frame", "file finished"}) {
        EXPECT_NE(trace.find(event), std::string::npos) << event;
    }

    RunningServer quiet(false);
    UdpPeer other(quiet.engine().udpPort());
    ASSERT_EQ(other.exchange(header(kPoste7, "t.txt", 2)), "PTE;1;END");
    EXPECT_EQ(quiet.traceText(), "");
}

// Forged headers cost the trace a budget of lines, not three lines each: a flood of them once
// wrote hundreds of thousands of lines.
TEST(UdpTransfers, ATraceOfForgedHeadersIsBudgeted) {
    RunningServer traced(true);
    UdpPeer peer(traced.engine().udpPort());
    const int headers = 3000;
    for (int i = 0; i < headers; ++i) {
        std::string origin = std::to_string(i);
        origin.insert(0, 9 - origin.size(), '0');
        peer.send(header("o" + origin, "f", 5));
        if (i % 100 == 99) {
            ASSERT_TRUE(peer.answer()); // paced, so that no datagram is lost on the way
        }
    }
    ASSERT_TRUE(waitUntil([&] { return traced.table().count() == headers; }));
    QTest::qWait(1100);
    peer.send(header("late      ", "f", 5));
    ASSERT_TRUE(waitUntil([&] { return traced.table().count() == headers + 1; }));
    const std::string trace = traced.traceText();
    const auto lines = std::count(trace.begin(), trace.end(), '\n');
    EXPECT_LT(lines, 1500) << "3 lines a header would be " << 3 * headers;
    EXPECT_NE(trace.find("lines left out"), std::string::npos);
}
