// The client's side of the extension against a scripted server: it switches only on an
// acceptance of its own offer, then sends a window of extended datagrams, and deletes its file only
// on the server's verified final answer.

#include "clientstate.h"
#include "clienttestkit.h"

#include "digest.h"
#include "extcodec.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <map>
#include <set>

namespace ext = zelk::ext;
using namespace zelktest;

namespace {

class ClientExtension : public ClientFixture {
protected:
    ClientExtension() { offers = true; }
    // The offer in the header of `name`: its identity.
    std::uint64_t offerOf(const std::string& name) {
        // A finish or piece of the file before it, sent again while a slow machine (a sanitized
        // build) held the verdict back, may come first: it is no header and says nothing of this.
        std::optional<std::string> frame = server.next();
        for (int i = 0; i < 64 && frame && !frame->empty() && (*frame)[0] == ext::kStart; ++i) {
            frame = server.next();
        }
        EXPECT_TRUE(frame && isHeader(*frame));
        const std::string header = frame ? payloadOf(*frame) : std::string();
        EXPECT_NE(header.find(";" + name + ";"), std::string::npos) << header;
        const auto offer = ext::findOffer(header);
        EXPECT_TRUE(offer) << header;
        return offer ? offer->transfer : 0;
    }
    void answer(ext::Kind kind, std::uint64_t id, std::int64_t value) {
        std::string datagram;
        ext::encode(kind, id, value, {}, datagram);
        server.answer(datagram);
    }
    // Every extended datagram of `kind` waiting, decoded; the test fails on any other, but for
    // pieces sent again (probes) while it waits for a finish, and the finish that goes right
    // behind the last pieces.
    std::map<std::int64_t, std::string> pieces(std::uint64_t id, ext::Kind kind = ext::Kind::Data) {
        std::map<std::int64_t, std::string> got;
        while (const auto datagram = server.next()) {
            const auto frame = ext::decode(*datagram);
            EXPECT_TRUE(frame && frame->transfer == id);
            const bool probe = frame && frame->kind == ext::Kind::Data && kind != frame->kind;
            const bool early = frame && frame->kind == ext::Kind::Finish && kind != frame->kind;
            EXPECT_TRUE(probe || early || (frame && frame->kind == kind));
            if (frame && !probe && !early) {
                got.emplace(frame->value, std::string(frame->body));
            }
            if (server.waiting() == 0 && !got.empty()) {
                break;
            }
        }
        return got;
    }
};

ext::Digest digestOf(const std::string& bytes) {
    ext::RunningDigest digest;
    digest.feed(0, bytes);
    return digest.finish();
}

} // namespace

TEST_F(ClientExtension, AnAcceptanceOfAnotherOfferChangesNothing) {
    put("a.bin", zelktest::patternBytes(5000));
    start();
    engine->timLoopEnvoi_Timer();
    const std::uint64_t id = offerOf("a.bin");
    server.answer("PTE;1;END" + ext::acceptSuffix({id + 1, 0}));
    settle();
    EXPECT_EQ(server.waiting(), 0u);
    EXPECT_FALSE(engine->extendedTransfer());
}

TEST_F(ClientExtension, SendsAWindowAndDeletesOnlyOnTheVerifiedAnswer) {
    const std::string bytes = zelktest::patternBytes(20500, 9);
    put("b.bin", bytes);
    start();
    engine->timLoopEnvoi_Timer();
    const std::uint64_t id = offerOf("b.bin");
    server.answer("PTE;1;END" + ext::acceptSuffix({id, 0}));

    // More than one piece in flight at once, each at its own offset.
    std::map<std::int64_t, std::string> got = pieces(id);
    ASSERT_GT(got.size(), 1u);
    EXPECT_TRUE(engine->extendedTransfer());
    std::int64_t held = 0;
    while (held < 20500) {
        for (const auto& [offset, body] : got) {
            EXPECT_EQ(body, bytes.substr(static_cast<std::size_t>(offset), body.size()));
            // By default a datagram crosses a 1500-byte path whole: 1452 bytes at most.
            EXPECT_LE(body.size() + ext::kHeadBytes, 1452u);
            held = std::max(held, offset + static_cast<std::int64_t>(body.size()));
        }
        std::string ackDatagram;
        ext::encodeAck(id, held, {}, ackDatagram);
        server.answer(ackDatagram);
        if (held < 20500) {
            got = pieces(id);
        }
    }
    // Every byte acknowledged: the finish carries the file's digest; the file stays until the
    // verdict, and a mismatch sends it all again.
    const auto finish = pieces(id, ext::Kind::Finish);
    ASSERT_EQ(finish.size(), 1u);
    const ext::Digest sum = digestOf(bytes);
    EXPECT_EQ(finish.begin()->second,
              std::string(reinterpret_cast<const char*>(sum.data()), sum.size()));
    EXPECT_TRUE(inOutbox("b.bin"));
    answer(ext::Kind::Mismatch, id, 0);
    EXPECT_EQ(pieces(id).begin()->first, 0);

    QSignalSpy done(engine.get(), &zelk::ClientEngine::fileDone);
    answer(ext::Kind::Verified, id, 20499);
    settle();
    EXPECT_EQ(done.count(), 0); // another size: not this file's verdict
    std::string all;
    ext::encodeAck(id, 20500, {}, all);
    server.answer(all);
    ASSERT_EQ(pieces(id, ext::Kind::Finish).size(), 1u);
    put("next.bin", bytes);
    answer(ext::Kind::Verified, id, 20500);
    ASSERT_TRUE(done.wait(kWaitMs));
    EXPECT_FALSE(inOutbox("b.bin"));
    // The next file goes at once, not at a tick of the send loop, which never ticks here.
    EXPECT_NE(offerOf("next.bin"), 0u);
}

// "tailleTrameZX1=" sets the largest extended datagram; pieces fill it.
TEST_F(ClientExtension, DatagramsAreAsLargeAsTheKeyAllows) {
    put("c.bin", zelktest::patternBytes(30000, 4));
    zelk::ClientConfig cfg = clientConfig(outbox, server.port());
    cfg.cfgTrameZX1 = "8000";
    start(cfg);
    engine->timLoopEnvoi_Timer();
    const std::uint64_t id = offerOf("c.bin");
    server.answer("PTE;1;END" + ext::acceptSuffix({id, 0}));
    const std::map<std::int64_t, std::string> got = pieces(id);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.begin()->second.size() + ext::kHeadBytes, 8000u);
}

// A plain answer to an offer is a late copy or a stray: it never sends the file in plain pieces,
// and the acceptance that follows is taken. Only plain answers to offers in a row, over seconds,
// make the client take the server for a plain one; the file then starts from nothing.
TEST_F(ClientExtension, OnlyPlainAnswersToOffersOverSecondsMakeTheClientPlain) {
    put("d.bin", zelktest::patternBytes(3000, 5));
    start(clientConfig(outbox, server.port(), 20, 150));
    engine->timLoopEnvoi_Timer();
    std::uint64_t id = offerOf("d.bin");
    server.ack(1);
    server.ack(1); // a copy of it
    id = offerOf("d.bin");
    server.answer("PTE;1;END" + ext::acceptSuffix({id, 0}));
    EXPECT_FALSE(pieces(id).empty());
    EXPECT_TRUE(engine->extendedTransfer());

    put("e.bin", zelktest::patternBytes(3000, 6));
    start(clientConfig(outbox, server.port(), 20, 150));
    QElapsedTimer clock;
    clock.start();
    int offers = 0;
    std::optional<std::string> frame;
    while ((frame = server.next()) && isHeader(*frame) && ext::findOffer(payloadOf(*frame))) {
        ++offers;
        server.ack(1001); // as a plain server holding part of it would
    }
    ASSERT_TRUE(frame);
    EXPECT_GE(offers, 3);
    EXPECT_GE(clock.elapsed(), 2000);
    // No plain resume from what the extension sent: the file starts anew at the plain server.
    EXPECT_EQ(payloadOf(*frame), "BEG;d.bin;0;END") << payloadOf(*frame);
}

// A grant to the first file's offer: the files after it are offered at once, each under its own
// identity, the status counts them, and each file leaves the outbox on its own verdict only.
TEST_F(ClientExtension, AGrantSendsTheFilesAfterTheFirstAtOnce) {
    const std::map<std::string, std::string> files{{"a.bin", zelktest::patternBytes(30000, 1)},
                                                   {"b.bin", zelktest::patternBytes(2000, 2)},
                                                   {"c.bin", zelktest::patternBytes(900, 3)}};
    for (const auto& [name, bytes] : files) {
        put(name, bytes);
    }
    start();
    engine->timLoopEnvoi_Timer();
    std::map<std::uint64_t, std::string> names{{offerOf("a.bin"), "a.bin"}};
    std::map<std::uint64_t, std::string> held{{names.begin()->first, {}}};
    server.answer("PTE;1;END" + ext::acceptSuffix({names.begin()->first, 0}) + ext::grantSuffix(4));
    bool countedThree = false;
    // The server's part: every offer accepted with the grant, pieces taken in order, a finish
    // verified when it has the digest, but a.bin's only once the others are gone.
    std::set<std::string> verified;
    while (verified.size() < 3) {
        const auto datagram = server.next();
        ASSERT_TRUE(datagram) << "the client fell silent";
        if (isHeader(*datagram)) {
            const auto offer = ext::findOffer(payloadOf(*datagram));
            ASSERT_TRUE(offer);
            EXPECT_EQ(ext::findMulti(payloadOf(*datagram)), 160);
            names.emplace(offer->transfer, payloadOf(*datagram).substr(4, 5));
            held.emplace(offer->transfer, std::string());
            server.answer("PTE;1;END" + ext::acceptSuffix({offer->transfer, 0}) +
                          ext::grantSuffix(4));
            continue;
        }
        const auto frame = ext::decode(*datagram);
        ASSERT_TRUE(frame && names.contains(frame->transfer));
        std::string& copy = held[frame->transfer];
        const std::string& name = names[frame->transfer];
        if (frame->kind == ext::Kind::Data) {
            if (frame->value == std::ssize(copy)) {
                copy += frame->body;
            }
            std::string ack;
            ext::encodeAck(frame->transfer, std::ssize(copy), {}, ack);
            server.answer(ack);
        } else if (frame->kind == ext::Kind::Finish && (name != "a.bin" || verified.size() == 2)) {
            const ext::Digest sum = digestOf(files.at(name));
            ASSERT_EQ(frame->body,
                      std::string(reinterpret_cast<const char*>(sum.data()), sum.size()));
            EXPECT_TRUE(inOutbox(name));
            answer(ext::Kind::Verified, frame->transfer, std::ssize(copy));
            verified.insert(name);
        }
        if (engine->filesUnderWay() == 3) {
            countedThree = true;
            EXPECT_EQ(zelk::activityText(engine->activity()),
                      QStringLiteral("Envoi de 3 fichiers"));
        }
        if (verified.size() == 2) {
            settle();
            EXPECT_TRUE(inOutbox("a.bin")); // its verdict has not come
        }
    }
    EXPECT_TRUE(countedThree);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !inOutbox("a.bin"); }, kWaitMs));
    EXPECT_FALSE(inOutbox("b.bin"));
    EXPECT_FALSE(inOutbox("c.bin"));
    EXPECT_EQ(names.size(), 3u);
}
