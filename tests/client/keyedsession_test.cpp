// A keyed origin's session against a server played by the test: every offer carries its own
// handshake, only answers that prove the key move a transfer, and each transfer's datagrams are
// sealed under its own keys, which open none of another's.

#include "extendedsession.h"
#include "memoryoutbox.h"

#include "digest.h"
#include "extcodec.h"
#include "secure.h"

#include <algorithm>
#include <deque>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

namespace ext = zelk::ext;
using zelk::ExtendedSession;
using zelk::SessionAction;
using SKind = SessionAction::Kind;

const std::string kOrigin = "poste1    ";
constexpr std::int64_t kPiece = 1000;
constexpr std::int64_t kSize = 2500;

using Outbox = zelktest::MemoryOutbox;

// One transfer as the server sees it: the transcript of its handshake, then its keys.
struct ServerSide {
    ext::Transcript t;
    ext::Key secret = ext::newKey();
    std::optional<ext::SessionKeys> keys;
    std::uint64_t sent = 0;
};

class KeyedBench {
public:
    const ext::Key key = ext::newKey();

    explicit KeyedBench(int firstFlight = 0) : session_(outbox_, random()) {
        session_.configure({kOrigin, kPiece, 0, 8, firstFlight});
        session_.setKey(key);
        for (const char* name : {"first", "b", "c"}) {
            outbox_.bytes[name] = std::string(static_cast<std::size_t>(kSize), name[0]);
        }
    }
    // The first file's transfer, proven earlier, opens the session with a grant of 4; the
    // others are offered beside it.
    void open() {
        first.keys = ext::SessionKeys{ext::newKey(), ext::newKey(), ext::newKey()};
        zelk::HandedKeys sealed;
        sealed.session.send = ext::EpochKeys(first.keys->clientToServer);
        sealed.session.receive = ext::EpochKeys(first.keys->serverToClient);
        sealed.resume = first.keys->resume;
        follow(session_.adopt("first", kSize, {firstId, 0}, 4, nullptr, outbox_.stamp("first"),
                              now_, std::move(sealed)));
        follow(session_.offerFrom({"first", "b", "c"}, now_));
    }
    void answer(const std::string& bytes) {
        EXPECT_TRUE(session_.ownsAnswer(bytes)) << bytes;
        follow(session_.answer(bytes, now_));
    }
    void datagram(const std::string& bytes) { follow(session_.datagram(bytes, now_)); }
    void wait(std::int64_t us) {
        now_ += us;
        follow(session_.wakeTimeout(now_));
    }
    void add(const std::string& name) {
        outbox_.bytes[name] = std::string(static_cast<std::size_t>(kSize), name[0]);
        follow(session_.offerFrom({"first", "b", "c", name}, now_));
    }

    // The latest header offering `name`: its payload. Keyed headers name no file in clear.
    std::string header(const std::string& name) const {
        const auto at = offered_.find(name);
        if (at == offered_.end()) {
            ADD_FAILURE() << "no header for " << name;
            return "BEG;;0;END";
        }
        EXPECT_EQ(at->second.find("BEG;" + name + ";"), std::string::npos) << at->second;
        return at->second.substr(at->second.find("BEG;"));
    }
    // The name and size `name`'s header sealed, opened under the keys `side` derived.
    std::optional<ext::SealedName> sealedName(const std::string& name, const ServerSide& side) {
        return ext::openNames(side.keys->names, offerOf(name).transfer, header(name));
    }
    ext::Offer offerOf(const std::string& name) const {
        return ext::findOffer(header(name)).value_or(ext::Offer{});
    }
    ext::Hello helloOf(const std::string& name) const {
        return ext::findHello(header(name)).value_or(ext::Hello{});
    }
    // The server's acceptance of `name`'s offer without a handshake, proven under `proving`; its
    // keys derived as the server derives them from the session's secret.
    std::string resumedAccept(const std::string& name, ServerSide& side, const ext::Key& proving) {
        const auto resume = ext::findResume(header(name));
        EXPECT_TRUE(resume.has_value()) << header(name);
        const ext::Offer offer = offerOf(name);
        EXPECT_EQ(offer.size, ext::kSealedSize);
        side.t = ext::resumedTranscript(kOrigin, offer.transfer, offer.size, ext::kSealedName,
                                        resume ? resume->client : ext::Nonce{},
                                        ext::Aead::ChaCha20Poly1305);
        if (resume) {
            EXPECT_EQ(resume->session, firstId);
            EXPECT_EQ(resume->proof, ext::resumeProof(first.keys->resume, side.t, firstId));
        }
        side.keys = ext::resumedKeys(first.keys->resume, side.t, firstId);
        expectSealed(name, side);
        return "PTE;1;END" +
               ext::provenAcceptSuffix(
                   {{offer.transfer, 0}, ext::acceptProof(proving, side.t, 0)}) +
               ";ZXM,4";
    }
    // The server's challenge to `name`'s hello, under `proving` (the origin's key, or another).
    std::string challenge(const std::string& name, ServerSide& side, const ext::Key& proving) {
        const ext::Offer offer = offerOf(name);
        const ext::Hello hello = helloOf(name);
        side.t = ext::Transcript{kOrigin,         offer.transfer,
                                 offer.size,      std::string(ext::kSealedName),
                                 hello.client,    ext::newNonce(),
                                 hello.aeads,     ext::Aead::ChaCha20Poly1305,
                                 hello.ephemeral, ext::ephemeralPublic(side.secret)};
        return "PTE;1;END" +
               ext::challengeSuffix({offer.transfer, side.t.server, side.t.aead,
                                     ext::serverProof(proving, side.t), side.t.serverEphemeral});
    }
    // The acceptance of `name`'s proof, its keys derived as the server derives them.
    std::string accept(const std::string& name, ServerSide& side) {
        const ext::Offer offer = offerOf(name);
        const ext::Hello hello = helloOf(name);
        EXPECT_TRUE(hello.server == side.t.server) << name;
        EXPECT_EQ(hello.proof, ext::clientProof(key, side.t)) << name;
        side.keys = ext::sessionKeys(key, side.t, side.secret, side.t.clientEphemeral);
        expectSealed(name, side);
        return "PTE;1;END" +
               ext::provenAcceptSuffix({{offer.transfer, 0}, ext::acceptProof(key, side.t, 0)}) +
               ";ZXM,4";
    }
    std::string sealedFrom(ServerSide& side, ext::Kind kind, std::uint64_t transfer,
                           std::int64_t value, std::string_view body = {}) {
        std::string out;
        const std::uint64_t sequence = ++side.sent;
        ext::seal(kind, transfer, value, sequence, body,
                  ext::EpochKeys(side.keys->serverToClient).at(sequence), side.t.aead, out);
        return out;
    }
    // The frames of `transfer` that open under `side`'s keys.
    std::vector<ext::Frame> opened(std::uint64_t transfer, const ServerSide& side) {
        std::vector<ext::Frame> frames;
        for (const std::string& d : sent) {
            const auto head = ext::sealedHead(d);
            if (!head || head->transfer != transfer) {
                continue;
            }
            ext::EpochKeys keys(side.keys->clientToServer);
            if (auto frame = ext::openSealed(d, keys.at(head->sequence), side.t.aead, plain_)) {
                frame->body = bodies_.emplace_back(frame->body);
                frames.push_back(*frame);
            }
        }
        return frames;
    }
    // The header the server takes names the file and its size only under the transfer's keys.
    void expectSealed(const std::string& name, const ServerSide& side) {
        const auto sealed = sealedName(name, side);
        ASSERT_TRUE(sealed.has_value()) << header(name);
        EXPECT_EQ(sealed->name, name);
        EXPECT_EQ(sealed->size, kSize);
        ServerSide other = side;
        other.keys->names = ext::newKey();
        EXPECT_FALSE(sealedName(name, other).has_value());
    }
    std::size_t count(SKind kind) const {
        return static_cast<std::size_t>(std::ranges::count(kinds, kind));
    }
    void clear() {
        kinds.clear();
        sent.clear();
    }

    const std::uint64_t firstId = 0x1111;
    ServerSide first;
    std::vector<SKind> kinds;
    std::vector<std::string> sent;
    std::vector<std::string> headers; // every header, kept
    std::vector<std::string> verified;

private:
    zelk::ExtRandom random() {
        return zelk::ExtRandom{[this] { return ++ids_ + firstId; }, [] { return ext::newNonce(); },
                               [] { return ext::newKey(); }};
    }
    void follow(const ExtendedSession::Actions& actions) {
        for (const SessionAction& a : actions) {
            kinds.push_back(a.kind);
            if (a.kind == SKind::Send) {
                sent.push_back(a.text);
                if (a.text.find("BEG;") != std::string::npos) {
                    headers.push_back(a.text);
                }
            } else if (a.kind == SKind::Offered && !headers.empty()) {
                offered_[a.name] = headers.back();
            } else if (a.kind == SKind::Pieces) {
                pieces(a);
            } else if (a.kind == SKind::Verified) {
                verified.push_back(a.name);
            }
        }
    }
    void pieces(const SessionAction& a) {
        for (const auto& piece : a.pieces) {
            const auto n = static_cast<std::size_t>(piece.length);
            std::string frame(session_.datagramOf(n), '\0');
            outbox_.read(a.name, frame.data() + session_.bodyAt(), n, piece.offset);
            EXPECT_EQ(session_.framePiece(a.transfer, frame.data(), piece.offset, n), frame.size());
            sent.push_back(frame);
        }
    }

    Outbox outbox_;
    ExtendedSession session_;
    std::uint64_t ids_ = 0;
    std::int64_t now_ = 1'000'000;
    std::string plain_;
    std::deque<std::string> bodies_;
    std::map<std::string, std::string> offered_; // the latest header of each file
};

// The files after the first go without a handshake: each offer names the session and proves
// it under the session's secret, with a nonce of its own; only an acceptance proven with the key
// moves a transfer, and each transfer's datagrams open under its own keys alone.
TEST(KeyedSession, LaterTransfersNeedNoHandshakeAndEachHasItsOwnKeys) {
    KeyedBench bench;
    bench.open();
    // The first file goes on sealed under the keys it came with, and nothing goes in clear.
    EXPECT_EQ(bench.opened(bench.firstId, bench.first).size(), 3u);
    for (const std::string& d : bench.sent) {
        EXPECT_TRUE(d[0] == ext::kSealedStart || d.find(";ZXR,") != std::string::npos) << d;
    }
    const ext::Offer offerB = bench.offerOf("b");
    const ext::Offer offerC = bench.offerOf("c");
    EXPECT_FALSE(ext::findHello(bench.header("b")).has_value());
    EXPECT_NE(ext::findResume(bench.header("b"))->client,
              ext::findResume(bench.header("c"))->client);
    EXPECT_NE(bench.header("c").find(";ZXM,8;END"), std::string::npos);

    // What proves nothing moves nothing: an acceptance without a proof, or one proven under
    // another key.
    ServerSide b;
    ServerSide c;
    bench.clear();
    bench.answer("PTE;1;END" + ext::acceptSuffix({offerB.transfer, 0}) + ";ZXM,4");
    bench.answer(bench.resumedAccept("b", b, ext::newKey()));
    EXPECT_EQ(bench.count(SKind::KeyUnproven), 2u);
    EXPECT_EQ(bench.count(SKind::Accepted), 0u);
    EXPECT_TRUE(bench.sent.empty());

    const std::string acceptB = bench.resumedAccept("b", b, bench.key);
    bench.answer(bench.resumedAccept("c", c, bench.key));
    bench.answer(acceptB);
    EXPECT_EQ(bench.count(SKind::Accepted), 2u);
    EXPECT_EQ(bench.opened(offerB.transfer, b).size(), 3u);
    const auto piecesC = bench.opened(offerC.transfer, c);
    ASSERT_EQ(piecesC.size(), 3u);
    EXPECT_EQ(piecesC.front().body, std::string(kPiece, 'c'));
    EXPECT_TRUE(bench.opened(offerB.transfer, c).empty());
    EXPECT_TRUE(bench.opened(offerC.transfer, b).empty());
    bench.answer(acceptB); // a copy changes nothing
    EXPECT_EQ(bench.count(SKind::Accepted), 2u);

    // Its verdict counts only sealed under its own keys, and once every byte is acknowledged.
    bench.clear();
    bench.datagram(bench.sealedFrom(b, ext::Kind::Ack, offerB.transfer, kSize));
    const auto finish = bench.opened(offerB.transfer, b);
    ASSERT_EQ(finish.size(), 1u);
    EXPECT_EQ(finish.front().kind, ext::Kind::Finish);
    std::string clear;
    ext::encode(ext::Kind::Verified, offerB.transfer, kSize, {}, clear);
    bench.datagram(clear);
    bench.datagram(bench.sealedFrom(c, ext::Kind::Verified, offerB.transfer, kSize));
    EXPECT_TRUE(bench.verified.empty());
    const std::string verdict = bench.sealedFrom(b, ext::Kind::Verified, offerB.transfer, kSize);
    bench.datagram(verdict);
    bench.datagram(verdict); // replayed: taken once
    EXPECT_EQ(bench.verified, std::vector<std::string>{"b"});
}

// A server that lost the session's secret (it restarted) leaves offers without a handshake
// unanswered: each file then proves the key in a handshake of its own, side by side, and the
// first of them gives the session the secret its later files use.
TEST(KeyedSession, AServerThatLostTheSessionGetsHandshakes) {
    KeyedBench bench;
    bench.open();
    ASSERT_TRUE(ext::findResume(bench.header("b")).has_value());
    for (int i = 0; i < 4 && !ext::findHello(bench.header("c")); ++i) {
        bench.wait(ExtendedSession::kOfferWaitUs * (i + 1));
    }
    ASSERT_TRUE(ext::findHello(bench.header("b")).has_value());
    ASSERT_TRUE(ext::findHello(bench.header("c")).has_value());
    EXPECT_FALSE(ext::findResume(bench.header("c")).has_value());

    ServerSide b;
    ServerSide c;
    bench.clear();
    bench.answer(bench.challenge("b", b, ext::newKey()));
    EXPECT_EQ(bench.count(SKind::KeyUnproven), 1u);
    bench.answer(bench.challenge("b", b, bench.key));
    bench.answer(bench.challenge("c", c, bench.key));
    bench.answer(bench.accept("c", c));
    bench.answer(bench.accept("b", b));
    EXPECT_EQ(bench.count(SKind::Accepted), 2u);
    EXPECT_EQ(bench.opened(bench.offerOf("b").transfer, b).size(), 3u);
    EXPECT_TRUE(bench.opened(bench.offerOf("b").transfer, c).empty());

    // The next file names the session of the first handshake accepted.
    bench.add("d");
    const auto resume = ext::findResume(bench.header("d"));
    ASSERT_TRUE(resume.has_value());
    EXPECT_EQ(resume->session, bench.offerOf("c").transfer);
    const ext::Transcript t =
        ext::resumedTranscript(kOrigin, bench.offerOf("d").transfer, ext::kSealedSize,
                               ext::kSealedName, resume->client, c.t.aead);
    const auto keysC = ext::sessionKeys(bench.key, c.t, c.secret, c.t.clientEphemeral);
    ASSERT_TRUE(keysC.has_value());
    EXPECT_EQ(resume->proof, ext::resumeProof(keysC->resume, t, resume->session));
}

// A session's secret opens so many transfers at most: a handshake renews it before it runs out,
// and the offers made under the one before are still answered under it.
TEST(KeyedSession, ASecretIsRenewedBeforeItRunsOut) {
    zelk::SessionSecrets secrets;
    const auto secret = [](std::uint64_t session) {
        return zelk::SessionSecret{session, ext::newKey(), ext::Aead::ChaCha20Poly1305, 0};
    };
    const auto offers = [&secrets] {
        std::size_t n = 0;
        while (secrets.forOffer() != nullptr) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(secrets.forOffer(), nullptr); // no session yet: a handshake
    secrets.took(secret(1));
    EXPECT_EQ(offers(), ext::kResumedPerSecret - zelk::SessionSecrets::kRenewAhead);
    EXPECT_EQ(offers(), zelk::SessionSecrets::kRenewAhead); // while the renewal is under way
    EXPECT_EQ(secrets.forOffer(), nullptr);                 // spent
    secrets.took(secret(2));
    ASSERT_NE(secrets.find(1), nullptr);
    ASSERT_NE(secrets.forOffer(), nullptr);
    EXPECT_EQ(secrets.forOffer()->session, 2u);
    secrets.took(secret(3)); // not asked for: the current one stays
    EXPECT_EQ(secrets.find(3), nullptr);
    secrets.lost(2);
    EXPECT_EQ(secrets.find(2), nullptr);
    EXPECT_EQ(secrets.forOffer(), nullptr);
    secrets.took(secret(4));
    EXPECT_EQ(secrets.forOffer()->session, 4u);
}

// An offer under the session's secret has its keys before its acceptance: its first pieces and a
// small file's finish go sealed right behind it, its verdict can come within the offer's round
// trip, and its acceptance keeps those keys (never derived again, which would seal twice under
// one sequence number).
TEST(KeyedSession, AResumedOffersFirstPiecesGoSealedRightBehindIt) {
    KeyedBench bench(ExtendedSession::kFirstFlightPieces);
    bench.open();
    for (const std::string& d : bench.sent) {
        EXPECT_TRUE(d[0] == ext::kSealedStart || d.find(";ZXR,") != std::string::npos) << d;
    }
    ServerSide b;
    const std::string acceptB = bench.resumedAccept("b", b, bench.key);
    const std::uint64_t idB = bench.offerOf("b").transfer;
    const auto early = bench.opened(idB, b);
    ASSERT_EQ(early.size(), 4u);
    EXPECT_EQ(early.back().kind, ext::Kind::Finish);
    ext::RunningDigest digest;
    digest.feed(0, std::string(kSize, 'b'));
    const ext::Digest whole = digest.finish();
    EXPECT_EQ(early.back().body,
              std::string(reinterpret_cast<const char*>(whole.data()), whole.size()));
    bench.answer(acceptB);
    bench.datagram(bench.sealedFrom(b, ext::Kind::Verified, idB, kSize));
    EXPECT_EQ(bench.verified, std::vector<std::string>{"b"});
    // The other one's acceptance, then pieces again: still under the same keys, never a
    // sequence number sealed twice.
    ServerSide c;
    const std::string acceptC = bench.resumedAccept("c", c, bench.key);
    const std::uint64_t idC = bench.offerOf("c").transfer;
    std::set<std::uint64_t> sequences;
    const auto collect = [&bench, &sequences, idC] {
        for (const std::string& d : bench.sent) {
            const auto head = ext::sealedHead(d);
            if (head && head->transfer == idC) {
                EXPECT_TRUE(sequences.insert(head->sequence).second) << "sequence sealed twice";
            }
        }
    };
    collect();
    const std::size_t before = sequences.size();
    bench.clear();
    bench.answer(acceptC);
    bench.wait(ExtendedSession::kLongestFinishWaitUs);
    collect();
    EXPECT_GT(sequences.size(), before);
    EXPECT_EQ(bench.opened(idC, c).size(), sequences.size() - before);
    EXPECT_FALSE(sequences.empty());
}

} // namespace
