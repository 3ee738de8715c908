// The UDP endpoint both programs use: what arrives is handed over whole and in order, answers go
// to the exact source and leave from the address the datagram was sent to, and a peer's address
// reaches the handler as plain IPv4 when it is IPv4.

#include "testutil.h"
#include "udpendpoint.h"

#include <QDeadlineTimer>
#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace zelktest;

namespace {

constexpr int kWaitMs = 20000; // a bound only: a loaded machine may be slow

struct Seen {
    std::string bytes;
    QHostAddress from;
    quint16 fromPort = 0;
};

// An endpoint that records every datagram and, when asked, answers each with a fixed text.
class Recorder {
public:
    explicit Recorder(std::string answer = {}) : answer_(std::move(answer)) {
        QString error;
        bound_ = endpoint.bind(0, error);
        endpoint.setHandler([this](std::string_view bytes, const QHostAddress& from, quint16 port) {
            seen.push_back(Seen{std::string(bytes), from, port});
            if (!answer_.empty()) {
                replies.push_back(endpoint.reply(answer_));
            }
        });
    }
    bool bound() const { return bound_; }
    bool waitFor(std::size_t count) {
        const QDeadlineTimer deadline(kWaitMs);
        while (seen.size() < count && !deadline.hasExpired()) {
            QTest::qWait(5);
        }
        return seen.size() >= count;
    }

    zelk::UdpEndpoint endpoint;
    std::vector<Seen> seen;
    std::vector<bool> replies;

private:
    std::string answer_;
    bool bound_ = false;
};

QNetworkDatagram awaitDatagram(QUdpSocket& socket) {
    const QDeadlineTimer deadline(kWaitMs);
    while (!socket.hasPendingDatagrams() && !deadline.hasExpired()) {
        socket.waitForReadyRead(50);
        QCoreApplication::processEvents();
    }
    return socket.hasPendingDatagrams() ? socket.receiveDatagram() : QNetworkDatagram();
}

bool ipv6LoopbackWorks() {
    QUdpSocket probe;
    return probe.bind(QHostAddress::LocalHostIPv6, 0);
}

} // namespace

TEST(UdpEndpoint, AnswersTheExactSourceFromTheAddressTheDatagramWasSentTo) {
    Recorder server("PTE;1;END");
    ASSERT_TRUE(server.bound());
    QUdpSocket peer;
    ASSERT_TRUE(peer.bind(QHostAddress::LocalHost, 0));
    // 127.0.0.2 is this machine too; a reply left to the routing table would come from 127.0.0.1
    // and be refused by a client that listens to its server's address only.
    const QHostAddress other(QStringLiteral("127.0.0.2"));
    ASSERT_EQ(peer.writeDatagram("\x01hello", 6, other, server.endpoint.localPort()), 6);

    const QNetworkDatagram answer = awaitDatagram(peer);
    ASSERT_TRUE(answer.isValid());
    EXPECT_EQ(answer.data(), QByteArray("PTE;1;END"));
    EXPECT_TRUE(answer.senderAddress().isEqual(other, QHostAddress::ConvertV4MappedToIPv4))
        << answer.senderAddress().toString().toStdString();
    EXPECT_EQ(answer.senderPort(), server.endpoint.localPort());

    ASSERT_EQ(server.seen.size(), 1u);
    EXPECT_EQ(server.seen[0].from, QHostAddress(QHostAddress::LocalHost));
    EXPECT_EQ(server.seen[0].from.protocol(), QAbstractSocket::IPv4Protocol);
    EXPECT_EQ(server.seen[0].fromPort, peer.localPort());
    EXPECT_EQ(server.replies, std::vector<bool>{true});
}

TEST(UdpEndpoint, AnswersOverIpv6Loopback) {
    if (!ipv6LoopbackWorks()) {
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    Recorder server("PTE;7;END");
    ASSERT_TRUE(server.bound());
    QUdpSocket peer;
    ASSERT_TRUE(peer.bind(QHostAddress::LocalHostIPv6, 0));
    ASSERT_EQ(peer.writeDatagram("ab", 2, QHostAddress::LocalHostIPv6, server.endpoint.localPort()),
              2);
    const QNetworkDatagram answer = awaitDatagram(peer);
    ASSERT_TRUE(answer.isValid());
    EXPECT_EQ(answer.data(), QByteArray("PTE;7;END"));
    EXPECT_EQ(answer.senderAddress(), QHostAddress(QHostAddress::LocalHostIPv6));
    EXPECT_EQ(answer.senderPort(), server.endpoint.localPort());
    ASSERT_EQ(server.seen.size(), 1u);
    EXPECT_EQ(server.seen[0].from, QHostAddress(QHostAddress::LocalHostIPv6));
    EXPECT_EQ(server.seen[0].fromPort, peer.localPort());
}

TEST(UdpEndpoint, HandsOverEveryDatagramWholeAndInOrderWhateverItsSize) {
    Recorder server;
    ASSERT_TRUE(server.bound());
    QUdpSocket peer;
    ASSERT_TRUE(peer.bind(QHostAddress::LocalHost, 0));
    const std::vector<std::size_t> sizes = {1, 2, 10015, 10016, 65507};
    std::vector<std::string> sent;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        sent.push_back(patternBytes(sizes[i], static_cast<unsigned>(i + 1)));
        ASSERT_EQ(peer.writeDatagram(sent.back().data(), static_cast<qint64>(sent.back().size()),
                                     QHostAddress::LocalHost, server.endpoint.localPort()),
                  static_cast<qint64>(sent.back().size()));
    }
    // A burst queued before the event loop runs: none may be lost or handled twice.
    for (int i = 0; i < 100; ++i) {
        sent.push_back(std::to_string(i) + std::string(1000, 'b'));
        peer.writeDatagram(sent.back().data(), static_cast<qint64>(sent.back().size()),
                           QHostAddress::LocalHost, server.endpoint.localPort());
    }
    // A last datagram marks the end: nothing may come before it but what was sent.
    sent.push_back("end");
    peer.writeDatagram(sent.back().data(), static_cast<qint64>(sent.back().size()),
                       QHostAddress::LocalHost, server.endpoint.localPort());
    ASSERT_TRUE(server.waitFor(sent.size()));
    ASSERT_EQ(server.seen.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(server.seen[i].bytes.size(), sent[i].size()) << i;
        EXPECT_TRUE(server.seen[i].bytes == sent[i]) << i;
    }
}

// Runs of equal datagrams leave as one segmented send where the system has it, and an endpoint
// may read several as one coalesced buffer: either way each must arrive as it was sent, also at a
// peer that reads one datagram at a time.
TEST(UdpEndpoint, SendsManyAtOnceAndEachArrivesWholeAndInOrder) {
    std::vector<std::string> sent;
    const auto add = [&sent](std::size_t count, std::size_t size) {
        for (std::size_t i = 0; i < count; ++i) {
            sent.push_back(patternBytes(size, static_cast<unsigned>(sent.size() + 1)));
        }
    };
    add(45, 1452); // one segmented send's worth
    add(1, 700);   // shorter last segment
    add(1, 1452);
    add(3, 9000);
    add(70, 1000); // more than one send takes
    add(1, 65507);
    add(2, 1);
    const std::vector<std::string_view> views(sent.begin(), sent.end());
    zelk::UdpEndpoint sender;
    QString error;
    ASSERT_TRUE(sender.bind(0, error)) << error.toStdString();

    Recorder endpoint;
    ASSERT_TRUE(endpoint.bound());
    ASSERT_EQ(sender.sendManyTo(views, QHostAddress::LocalHost, endpoint.endpoint.localPort()),
              sent.size());
    // A last datagram marks the end: nothing may come before it but what was sent.
    ASSERT_TRUE(sender.sendTo("end", QHostAddress::LocalHost, endpoint.endpoint.localPort()));
    ASSERT_TRUE(endpoint.waitFor(sent.size() + 1));
    ASSERT_EQ(endpoint.seen.size(), sent.size() + 1);
    EXPECT_EQ(endpoint.seen.back().bytes, "end");
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_TRUE(endpoint.seen[i].bytes == sent[i]) << i;
        EXPECT_EQ(endpoint.seen[i].fromPort, sender.localPort()) << i;
    }

    QUdpSocket peer;
    ASSERT_TRUE(peer.bind(QHostAddress::LocalHost, 0));
    peer.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4 << 20);
    ASSERT_EQ(sender.sendManyTo(views, QHostAddress::LocalHost, peer.localPort()), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const QNetworkDatagram got = awaitDatagram(peer);
        ASSERT_TRUE(got.isValid()) << i;
        EXPECT_TRUE(got.data().toStdString() == sent[i]) << i;
    }
}

TEST(UdpEndpoint, SendsToIpv4AndIpv6PeersAndAnswersOnlyWhileHandling) {
    zelk::UdpEndpoint endpoint;
    QString error;
    ASSERT_TRUE(endpoint.bind(0, error)) << error.toStdString();
    EXPECT_FALSE(endpoint.reply("PTE;1;END"));
    EXPECT_FALSE(endpoint.sendTo("x1", QHostAddress(), 1000));

    QUdpSocket v4;
    ASSERT_TRUE(v4.bind(QHostAddress::LocalHost, 0));
    EXPECT_TRUE(endpoint.sendTo("to v4", QHostAddress::LocalHost, v4.localPort()));
    const QNetworkDatagram atV4 = awaitDatagram(v4);
    EXPECT_EQ(atV4.data(), QByteArray("to v4"));
    EXPECT_EQ(atV4.senderPort(), endpoint.localPort());

    if (ipv6LoopbackWorks()) {
        QUdpSocket v6;
        ASSERT_TRUE(v6.bind(QHostAddress::LocalHostIPv6, 0));
        EXPECT_TRUE(endpoint.sendTo("to v6", QHostAddress::LocalHostIPv6, v6.localPort()));
        EXPECT_EQ(awaitDatagram(v6).data(), QByteArray("to v6"));
        // Back to the first peer: the destination kept from the previous send is not reused.
        EXPECT_TRUE(endpoint.sendTo("v4 again", QHostAddress::LocalHost, v4.localPort()));
        EXPECT_EQ(awaitDatagram(v4).data(), QByteArray("v4 again"));
    }
}

TEST(UdpEndpoint, RefusesAPortAlreadyTakenAndCanBeClosed) {
    zelk::UdpEndpoint first;
    QString error;
    ASSERT_TRUE(first.bind(0, error));
    zelk::UdpEndpoint second;
    EXPECT_FALSE(second.bind(first.localPort(), error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(second.localPort(), 0);

    const quint16 port = first.localPort();
    first.close();
    EXPECT_EQ(first.localPort(), 0);
    EXPECT_FALSE(first.sendTo("x1", QHostAddress::LocalHost, port));
    error.clear();
    EXPECT_TRUE(second.bind(port, error)) << error.toStdString();
}

// Answers kept for after a batch (the server's Acks) go to each datagram's own source, and every
// batch ends with the call that sends them.
TEST(UdpEndpoint, AnswersKeptUntilTheBatchEndsGoToEachSource) {
    zelk::UdpEndpoint endpoint;
    QString error;
    ASSERT_TRUE(endpoint.bind(0, error)) << error.toStdString();
    std::vector<std::pair<std::string, zelk::UdpEndpoint::Source>> kept;
    int batches = 0;
    endpoint.setHandler([&](std::string_view bytes, const QHostAddress&, quint16) {
        kept.emplace_back(std::string(bytes), endpoint.source());
    });
    endpoint.setBatchEnd([&] {
        ++batches;
        for (const auto& [bytes, source] : kept) {
            EXPECT_TRUE(endpoint.replyTo(source, "re:" + bytes));
        }
        kept.clear();
    });
    QUdpSocket a;
    QUdpSocket b;
    ASSERT_TRUE(a.bind(QHostAddress::LocalHost, 0) && b.bind(QHostAddress::LocalHost, 0));
    for (int i = 0; i < 40; ++i) {
        QUdpSocket& peer = i % 2 == 0 ? a : b;
        const QByteArray text = (i % 2 == 0 ? "a" : "b") + QByteArray::number(i);
        peer.writeDatagram(text, QHostAddress::LocalHost, endpoint.localPort());
    }
    for (QUdpSocket* peer : {&a, &b}) {
        const QByteArray mine = peer == &a ? "re:a" : "re:b";
        for (int i = 0; i < 20; ++i) {
            const QNetworkDatagram answer = awaitDatagram(*peer);
            EXPECT_TRUE(answer.data().startsWith(mine)) << answer.data().toStdString();
        }
    }
    EXPECT_GE(batches, 1);
    EXPECT_LE(batches, 40);
}
