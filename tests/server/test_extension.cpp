// The extension against the real engine, spoken by a scripted peer: an offer accepted only where
// it may be, pieces written at their own offsets whatever their order or copies, the whole file
// checked against the sender's digest before the final answer, and a resume under a new identity
// settled by that digest.

#include "extpeer.h"
#include "harness.h"

#include "digest.h"
#include "extcodec.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace servertest;
using zelktest::patternBytes;
using zelktest::readFile;
namespace ext = zelk::ext;

namespace {

constexpr std::int64_t kSize = 25000;

// What an answer says: its kind, value and ranges, or "none".
std::string said(const std::optional<std::string>& answer) {
    if (!answer) {
        return "none";
    }
    const auto frame = ext::decode(*answer);
    if (!frame) {
        return "text " + *answer;
    }
    std::string text(1, static_cast<char>(frame->kind));
    text += ' ' + std::to_string(frame->value);
    if (const auto ranges = ext::ackRanges(*frame)) {
        for (const ext::Range& range : *ranges) {
            text += " [" + std::to_string(range.start) + "," + std::to_string(range.end) + ")";
        }
    }
    return text;
}

} // namespace

TEST(Extension, PiecesLandAtTheirOffsetsAndOnlyTheSendersDigestEndsTheTransfer) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    const std::uint64_t id = 0x0123456789abcdefULL;
    const std::string file = patternBytes(kSize, 3);

    ASSERT_EQ(peer.exchange(offeredHeader("x.bin", id, kSize)), accepted(id, 0));
    const std::pair<std::int64_t, std::int64_t> order[] = {
        {10000, 20000}, {0, 10000}, {0, 10000}, {22000, 25000}, {20000, 22000}};
    const char* const expected[] = {"A 0 [10000,20000)", "A 20000", "A 20000",
                                    "A 20000 [22000,25000)", "A 25000"};
    for (std::size_t i = 0; i < std::size(order); ++i) {
        EXPECT_EQ(said(peer.exchange(data(id, file, order[i].first, order[i].second))),
                  expected[i]);
    }
    EXPECT_EQ(server.table().at(0).position, 25001);
    // Past the size: dropped unanswered, so the first answer is the next datagram's.
    peer.send(data(id, file + "!", 24000, 25001));
    EXPECT_EQ(said(peer.exchange(data(id + 1, file, 0, 10))), "U 0");

    // Another file's digest: the copy is discarded and the file asked for again.
    EXPECT_EQ(said(peer.exchange(finish(id, patternBytes(kSize, 4)))), "X 0");
    EXPECT_EQ(server.table().at(0).position, 1);
    EXPECT_EQ(said(peer.exchange(data(id, file, 0, kSize / 2))), "A 12500");
    EXPECT_EQ(said(peer.exchange(finish(id, file))), "A 12500"); // not whole yet
    EXPECT_EQ(said(peer.exchange(data(id, file, kSize / 2, kSize))), "A 25000");
    EXPECT_EQ(said(peer.exchange(finish(id, file))), "V 25000");
    EXPECT_EQ(server.table().count(), 0);
    EXPECT_EQ(readFile(server.pathOf("poste7", "x.bin")), file);

    // The final answer lost: the finish, or the header sent again, is answered from memory.
    EXPECT_EQ(said(peer.exchange(finish(id, file))), "V 25000");
    EXPECT_EQ(peer.exchange(offeredHeader("x.bin", id, kSize)), accepted(id, kSize));
    EXPECT_EQ(server.table().count(), 0);
    EXPECT_EQ(said(peer.exchange(data(id + 1, file, 0, 10))), "U 0");
}

// A client that restarted offers another identity: the server resumes by name and size, frames
// of the old identity are no longer taken, and the digest finds out a file that changed between
// the two runs.
TEST(Extension, AResumeUnderANewIdentityIsSettledByTheDigest) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    const std::string before = patternBytes(kSize, 5);
    const std::string after = patternBytes(kSize, 6);
    ASSERT_EQ(peer.exchange(offeredHeader("y.bin", 11, kSize)), accepted(11, 0));
    ASSERT_EQ(said(peer.exchange(data(11, before, 0, 12000))), "A 12000");

    ASSERT_EQ(peer.exchange(offeredHeader("y.bin", 12, kSize)), accepted(12, 12000));
    EXPECT_EQ(said(peer.exchange(data(11, before, 12000, 13000))), "U 0");
    ASSERT_EQ(said(peer.exchange(data(12, after, 12000, kSize))), "A 25000");
    EXPECT_EQ(said(peer.exchange(finish(12, after))), "X 0");
    ASSERT_EQ(said(peer.exchange(data(12, after, 0, kSize))), "A 25000");
    EXPECT_EQ(said(peer.exchange(finish(12, after))), "V 25000");
    EXPECT_EQ(readFile(server.pathOf("poste7", "y.bin")), after);
}

// Where the extension may not be used the answer is byte for byte the plain one: over TCP, with
// the server's extension turned off, and for an offer whose plain size disagrees with it.
TEST(Extension, NotAcceptedOverTcpWhenTurnedOffOrWhenTheOfferDisagrees) {
    {
        RunningServer server;
        TcpPeer tcp(server.engine().tcpPort());
        tcp.write(offeredHeader("t.bin", 21, 100));
        EXPECT_TRUE(tcp.answers("PTE;1;END"));
        UdpPeer peer(server.engine().udpPort());
        const std::string disagreeing =
            zelk::buildHeaderFrame(kProbe, "d.bin", "99", ext::offerField(ext::Offer{22, 100}));
        EXPECT_EQ(peer.exchange(disagreeing), "PTE;1;END");
    }
    RunningServer off(false, "N");
    UdpPeer peer(off.engine().udpPort());
    EXPECT_EQ(peer.exchange(offeredHeader("o.bin", 23, 100)), "PTE;1;END");
    EXPECT_EQ(said(peer.exchange(data(23, patternBytes(100), 0, 100))), "U 0");
}

// Plain frames of an origin that speaks the extension never touch its files: a size-0 header
// opens nothing, a plain header leaves a live extended transfer alone, an offer starts a plain
// row anew, staged; and a second sender of one origin is refused while the first is active, its
// plain pieces never mixed into the first one's file.
TEST(Extension, PlainFramesAndSecondSendersNeverTouchAnOriginsFiles) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    UdpPeer other(server.engine().udpPort(), QHostAddress::LocalHostIPv6);
    const std::string file = patternBytes(5000, 7);
    ASSERT_EQ(peer.exchange(offeredHeader("v.bin", 11, 5000)), accepted(11, 0));
    EXPECT_EQ(said(peer.exchange(data(11, file, 0, 5000))), "A 5000");
    EXPECT_EQ(said(peer.exchange(finish(11, file))), "V 5000");

    EXPECT_EQ(peer.exchange(header(kPoste7, "v.bin", 0)), ack(1));
    EXPECT_EQ(server.rowOf(kPoste7), -1);
    EXPECT_TRUE(unanswered(server, peer, content(kPoste7, "damage")));
    EXPECT_EQ(readFile(server.pathOf("poste7", "v.bin")), file);

    ASSERT_EQ(peer.exchange(offeredHeader("w.bin", 12, 5000)), accepted(12, 0));
    EXPECT_EQ(said(peer.exchange(data(12, file, 0, 1000))), "A 1000");
    EXPECT_TRUE(unanswered(server, peer, header(kPoste7, "w.bin", 5000)));
    EXPECT_TRUE(unanswered(server, other, offeredHeader("x.bin", 13, 5000)));
    EXPECT_EQ(server.table().at(server.rowOf(kPoste7)).transfer, 12u);

    // A plain row of this origin: staged, so a stray plain piece truncates no final file.
    ASSERT_EQ(peer.exchange(header(kPoste7, "v.bin", 5000)), ack(1));
    EXPECT_TRUE(server.table().at(server.rowOf(kPoste7)).staged);
    EXPECT_TRUE(unanswered(server, other, content(kPoste7, "mixed")));
    EXPECT_EQ(peer.exchange(content(kPoste7, file.substr(0, 100))), ack(101));
    EXPECT_EQ(readFile(server.pathOf("poste7", "v.bin")), file);
    // Offered again, the file starts anew in the extension rather than from the plain position.
    EXPECT_EQ(peer.exchange(offeredHeader("v.bin", 14, 5000)), accepted(14, 0));
}

// A client that asked for several transfers runs two of one origin side by side through the real
// engine: each file its own staging file and answers, each renamed once its own digest holds, in
// the order each completes; a discarded copy of one leaves the other as it was.
TEST(Extension, TwoTransfersOfOneOriginArriveSideBySide) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    const auto several = [](std::string_view name, std::uint64_t id) {
        return zelk::buildHeaderFrame(kPoste7, name, ext::plainSizeText(kSize),
                                      ext::offerField(ext::Offer{id, kSize}) + ";" +
                                          ext::multiField(4));
    };
    const std::string x = patternBytes(kSize, 5);
    const std::string y = patternBytes(kSize, 6);
    // A longer staging file an earlier run left for y, without a record: y's first piece must
    // replace it, whatever x's file does meanwhile.
    std::filesystem::create_directories(server.pathOf("poste7", ""));
    zelktest::writeFile(server.pathOf("poste7", ".y.bin.zx-part"), patternBytes(kSize + 100, 9));
    ASSERT_EQ(peer.exchange(several("x.bin", 7)), accepted(7, 0) + ext::grantSuffix(4));
    ASSERT_EQ(peer.exchange(several("y.bin", 8)), accepted(8, 0) + ext::grantSuffix(4));
    EXPECT_EQ(said(peer.exchange(data(7, x, 0, 10000))), "A 10000");
    EXPECT_EQ(said(peer.exchange(data(8, y, 10000, kSize))), "A 0 [10000,25000)");
    EXPECT_EQ(said(peer.exchange(data(7, x, 10000, kSize))), "A 25000");
    EXPECT_EQ(said(peer.exchange(data(8, y, 0, 10000))), "A 25000");
    EXPECT_EQ(said(peer.exchange(finish(8, y))), "V 25000");
    EXPECT_EQ(readFile(server.pathOf("poste7", "y.bin")), y);
    EXPECT_EQ(readFile(server.pathOf("poste7", "x.bin")), "") << "x is still staged";
    EXPECT_EQ(server.table().count(), 1);
    EXPECT_EQ(said(peer.exchange(finish(7, y))), "X 0") << "y's digest is not x's";
    EXPECT_EQ(said(peer.exchange(data(7, x, 0, kSize))), "A 25000");
    EXPECT_EQ(said(peer.exchange(finish(7, x))), "V 25000");
    EXPECT_EQ(readFile(server.pathOf("poste7", "x.bin")), x);
    EXPECT_EQ(readFile(server.pathOf("poste7", "y.bin")), y);
    EXPECT_EQ(server.table().count(), 0);
}
