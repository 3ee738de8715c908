// The extension's sender, without socket, timer or clock: the test plays the client's shell over a
// file in memory, the time is virtual, in microseconds, and the test answers as the server would.

#include "extendedsender.h"
#include "extendedsession.h"
#include "memoryoutbox.h"

#include "codec.h"
#include "digest.h"
#include "extcodec.h"
#include "secure.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

namespace ext = zelk::ext;
using zelk::ExtAction;
using zelk::ExtendedSender;
using Kind = ExtAction::Kind;

constexpr std::int64_t kPiece = 1000;
const std::string kOrigin = "poste1    ";

class MemoryFile : public zelk::ExtFile {
public:
    std::string bytes;
    bool gone = false;
    bool failReads = false;
    std::int64_t mtime = 1;
    std::optional<std::int64_t> length() override {
        return gone ? std::nullopt : std::optional<std::int64_t>(std::ssize(bytes));
    }
    std::optional<zelk::FileStamp> stamp() override {
        if (gone) {
            return std::nullopt;
        }
        return zelk::FileStamp{std::ssize(bytes), mtime, mtime, 1, 1};
    }
    long read(char* into, std::size_t n, std::int64_t offset) override {
        if (gone || failReads || offset > std::ssize(bytes)) {
            return -1;
        }
        const std::string part = bytes.substr(static_cast<std::size_t>(offset), n);
        std::copy(part.begin(), part.end(), into);
        return static_cast<long>(part.size());
    }
};

// Plays the shell: sends the pieces asked for (kept as the server would receive them), and notes
// every action, with the wake-ups asked for.
class Drive {
public:
    explicit Drive(std::size_t size, std::optional<ext::Key> key = std::nullopt)
        : plain_(zelk::PlainSender::settingsFor(1000, 100)),
          sender_(plain_, file_,
                  zelk::ExtRandom{[this] { return ids_++; },
                                  [] {
                                      ext::Nonce nonce{};
                                      nonce.fill(7);
                                      return nonce;
                                  },
                                  [] {
                                      ext::Key secret{};
                                      secret.fill(9);
                                      return secret;
                                  }}) {
        for (std::size_t i = 0; i < size; ++i) {
            file_.bytes.push_back(static_cast<char>(i * 31 % 251));
        }
        sender_.configure({kOrigin, kPiece, 0, true, 1});
        sender_.setKey(key);
        plain_.setKeyed(key.has_value());
    }
    // The most transfers at once this client asks for.
    void ask(int transfers) { sender_.configure({kOrigin, kPiece, 0, true, transfers}); }
    // The header as the shell sends it when the loop takes the file up.
    // `size`: as the header says it, when not the file's.
    std::string header(std::int64_t size = -1) {
        const auto stamp = *file_.stamp();
        plain_.header("f.bin", stamp, stamp, false, now_ / 1000);
        sender_.headerSent("f.bin", size < 0 ? stamp.size : size);
        return sender_.offeredHeader();
    }
    std::uint64_t offered() { return ext::findOffer(payload(header()))->transfer; }
    void accept(std::uint64_t id, std::int64_t held = 0) {
        answerOffer("PTE;1;END" + ext::acceptSuffix({id, held}));
    }
    void plainAnswer() { answerOffer("PTE;1;END"); }
    void answerOffer(const std::string& answer) { follow(sender_.answerToOffer(answer, 0, now_)); }
    void frame(ext::Kind kind, std::uint64_t id, std::int64_t value) {
        std::string datagram;
        ext::encode(kind, id, value, {}, datagram);
        answer(datagram);
    }
    void ack(std::uint64_t id, std::int64_t held) {
        std::string datagram;
        ext::encodeAck(id, held, {}, datagram);
        answer(datagram);
    }
    void answer(const std::string& datagram) {
        const std::string first = "f.bin";
        follow(sender_.datagram(datagram, &first, now_));
    }
    // Wakes the timeout when it falls.
    void timeout() {
        now_ = std::max(now_, timeoutAt_);
        follow(sender_.wakeTimeout(now_));
    }
    void later(std::int64_t us) { now_ += us; }
    static std::string payload(const std::string& frame) {
        return frame.substr(frame.find("BEG;"));
    }

    bool did(Kind kind) const { return std::ranges::find(kinds_, kind) != kinds_.end(); }
    const ExtAction* last(Kind kind) const {
        const auto at = std::find_if(log_.rbegin(), log_.rend(),
                                     [kind](const ExtAction& a) { return a.kind == kind; });
        return at == log_.rend() ? nullptr : &*at;
    }
    void clear() {
        kinds_.clear();
        log_.clear();
        sent_.clear();
    }
    ExtendedSender& sender() { return sender_; }
    zelk::PlainSender& plain() { return plain_; }
    MemoryFile& file() { return file_; }
    // The datagrams sent since clear().
    const std::vector<std::string>& sent() const { return sent_; }

private:
    void follow(const ExtendedSender::Actions& actions) {
        for (const ExtAction& action : actions) {
            kinds_.push_back(action.kind);
            log_.push_back(action);
            if (action.kind == Kind::Pieces && !sendPieces(action)) {
                return follow(sender_.unreadable());
            }
            perform(action);
        }
    }
    bool sendPieces(const ExtAction& action) {
        for (const auto& piece : action.pieces) {
            const auto n = static_cast<std::size_t>(piece.length);
            std::string frame(sender_.datagramOf(n), '\0');
            if (file_.read(frame.data() + sender_.bodyAt(), n, piece.offset) !=
                static_cast<long>(n)) {
                return false;
            }
            EXPECT_EQ(sender_.framePiece(frame.data(), piece.offset, n), frame.size());
            sent_.push_back(frame);
        }
        return true;
    }
    void perform(const ExtAction& action) {
        switch (action.kind) {
        case Kind::Send:
        case Kind::HeaderAgain:
            sent_.push_back(action.text);
            return;
        case Kind::PaceIn:
        case Kind::TimeoutIn:
            EXPECT_GE(action.value, 1); // a timer set to 0 would never tick
            if (action.kind == Kind::TimeoutIn) {
                timeoutAt_ = now_ + action.value * 1000;
            }
            return;
        case Kind::Step:
            return follow(sender_.step(action.value, now_));
        default:
            return;
        }
    }

    MemoryFile file_;
    zelk::PlainSender plain_;
    std::uint64_t ids_ = 0; // the first identity drawn is 0, which is no identity
    ExtendedSender sender_;
    std::int64_t now_ = 1'000'000;
    std::int64_t timeoutAt_ = 0;
    std::vector<Kind> kinds_;
    std::vector<ExtAction> log_;
    std::vector<std::string> sent_;
};

ext::Digest digestOf(const std::string& bytes) {
    ext::RunningDigest digest;
    digest.feed(0, bytes);
    return digest.finish();
}

std::string text(const ext::Digest& digest) {
    return {reinterpret_cast<const char*>(digest.data()), digest.size()};
}

// Acknowledges every byte; the finish that follows, decoded.
ext::Frame ackAll(Drive& drive, std::uint64_t id, std::int64_t size) {
    drive.clear();
    drive.ack(id, size);
    const auto finish = ext::decode(drive.sent().back());
    EXPECT_TRUE(finish && finish->kind == ext::Kind::Finish);
    return finish.value_or(ext::Frame{});
}

TEST(ExtendedSender, SendsAWindowThenItsDigestAndEndsOnlyOnTheVerdict) {
    Drive drive(5500);
    const std::uint64_t id = drive.offered();
    ASSERT_EQ(id, 1u); // the identity 0 drawn first is drawn again
    drive.accept(id + 1);
    EXPECT_TRUE(drive.did(Kind::Ignored));
    EXPECT_FALSE(drive.sender().sending());

    drive.accept(id, 1000);
    EXPECT_TRUE(drive.did(Kind::StopWaiting) && drive.did(Kind::Accepted));
    ASSERT_GT(drive.sent().size(), 1u);
    const auto first = ext::decode(drive.sent().front());
    ASSERT_TRUE(first);
    EXPECT_EQ(first->value, 1000); // the server holds the first 1000 bytes
    EXPECT_EQ(first->body, drive.file().bytes.substr(1000, kPiece));

    const ext::Frame finish = ackAll(drive, id, 5500);
    EXPECT_EQ(finish.body, text(digestOf(drive.file().bytes))); // hashed whole, read back too
    drive.frame(ext::Kind::Verified, id, 5499);                 // another size: not this verdict
    EXPECT_FALSE(drive.did(Kind::Verified));
    drive.later(1'000'000);
    drive.clear();
    drive.frame(ext::Kind::Mismatch, id, 0);
    EXPECT_TRUE(drive.did(Kind::SentAgain));
    EXPECT_EQ(ext::decode(drive.sent().front())->value, 0); // every byte goes again
    ackAll(drive, id, 5500);
    drive.frame(ext::Kind::Verified, id, 5500);
    ASSERT_TRUE(drive.last(Kind::Verified));
    EXPECT_EQ(drive.last(Kind::Verified)->value, 1000);
    EXPECT_FALSE(drive.sender().sending());
}

// The finish goes right behind the last new piece, not a round trip later: a server holding every
// byte by then gives its verdict at once; one that lacks some answers with what it holds, and the
// finish goes again once every byte is acknowledged. A file larger than the window has no finish
// among its first pieces.
TEST(ExtendedSender, TheFinishGoesWithTheLastPieces) {
    for (const bool whole : {true, false}) {
        Drive drive(5500);
        const std::uint64_t id = drive.offered();
        drive.accept(id);
        ASSERT_EQ(drive.sent().size(), 7u) << whole; // six pieces, then the finish
        const auto finish = ext::decode(drive.sent().back());
        ASSERT_TRUE(finish && finish->kind == ext::Kind::Finish) << whole;
        EXPECT_EQ(finish->body, text(digestOf(drive.file().bytes)));
        if (whole) {
            drive.frame(ext::Kind::Verified, id, 5500);
            EXPECT_TRUE(drive.did(Kind::Verified));
            EXPECT_FALSE(drive.sender().sending());
            continue;
        }
        // The finish's body views the datagrams sent, which the acknowledgements clear.
        const std::string first(finish->body);
        drive.ack(id, 3000);
        EXPECT_FALSE(drive.did(Kind::Verified));
        EXPECT_EQ(ackAll(drive, id, 5500).body, first);
    }
    Drive large(40000);
    large.accept(large.offered());
    for (const std::string& sent : large.sent()) {
        EXPECT_EQ(ext::decode(sent)->kind, ext::Kind::Data);
    }
}

// Plain answers to offers make the client plain only several in a row over seconds; a copy of
// the answer to the same offer counts once.
TEST(ExtendedSender, OnlyPlainAnswersToOffersOverSecondsMakeItPlain) {
    struct Case {
        const char* what;
        std::int64_t size;
        int offers;
        int answersEach;
        std::int64_t apartUs;
        Kind last;
    };
    const Case cases[] = {
        {"three over two seconds", 3000, 3, 1, 1'000'000, Kind::Plain},
        {"three within a second", 3000, 3, 1, 400'000, Kind::Ignored},
        {"copies of two", 3000, 2, 3, 2'000'000, Kind::Ignored},
        // Past what a plain header can carry: only the offer's size says it.
        {"a file too large", zelk::kLargestFile + 1, 3, 1, 1'000'000, Kind::TooLarge},
    };
    for (const Case& c : cases) {
        Drive drive(3000);
        for (int offer = 0; offer < c.offers; ++offer) {
            drive.clear();
            drive.header(c.size);
            for (int a = 0; a < c.answersEach; ++a) {
                drive.plainAnswer();
            }
            drive.later(c.apartUs);
        }
        EXPECT_TRUE(drive.last(c.last)) << c.what;
        EXPECT_EQ(drive.sender().offering(10'000'000), c.last == Kind::Ignored) << c.what;
        EXPECT_EQ(drive.did(Kind::PlainServer), c.last != Kind::Ignored) << c.what;
    }
}

// Silence: pieces go again at each timeout, then the header; while finishing, the finish goes
// again, its wait doubling, before the header.
TEST(ExtendedSender, SilentTimeoutsAnnounceTheFileAgain) {
    for (const bool finishing : {false, true}) {
        // Larger than the first window when not finishing: no finish went with its last piece.
        const std::int64_t size = finishing ? 5000 : 40000;
        Drive drive(static_cast<std::size_t>(size));
        const std::uint64_t id = drive.offered();
        drive.accept(id);
        if (finishing) {
            ackAll(drive, id, size);
        }
        const int allowed =
            finishing ? ExtendedSender::kSilentFinishes : ExtendedSender::kSilentTimeouts;
        for (int i = 0; i < allowed; ++i) {
            drive.clear();
            drive.timeout();
            EXPECT_EQ(drive.did(Kind::Silent), i == 0) << finishing << i;
            ASSERT_FALSE(drive.sent().empty()) << finishing << i;
            EXPECT_EQ(ext::decode(drive.sent().back())->kind,
                      finishing ? ext::Kind::Finish : ext::Kind::Data);
        }
        drive.clear();
        drive.timeout();
        ASSERT_TRUE(drive.last(Kind::Announce)) << finishing;
        EXPECT_EQ(drive.last(Kind::Announce)->value, 1);
        EXPECT_FALSE(drive.sender().sending());
        // The final answer to the finish may still come: it ends the file.
        drive.frame(ext::Kind::Verified, id, size);
        EXPECT_EQ(drive.did(Kind::LateVerdict), finishing) << finishing;
    }
}

// A file that changes, vanishes or cannot be read during its transfer is dropped, its transfer
// forgotten.
TEST(ExtendedSender, AFileThatChangesIsLostWithItsTransfer) {
    struct Case {
        const char* why;
        void (*change)(MemoryFile&);
    };
    const Case cases[] = {
        {"its size changed during its transfer", [](MemoryFile& f) { f.bytes += 'x'; }},
        {"it vanished", [](MemoryFile& f) { f.gone = true; }},
        {"it changed during its transfer", [](MemoryFile& f) { ++f.mtime; }},
        // The digest reads back what the server held before: those reads fail.
        {"it cannot be read", [](MemoryFile& f) { f.failReads = true; }},
    };
    for (const Case& c : cases) {
        // Larger than the first window: the digest is read back once every byte is acknowledged.
        Drive drive(40000);
        const std::uint64_t id = drive.offered();
        drive.accept(id, 4000);
        ASSERT_TRUE(drive.sender().sending()) << c.why;
        c.change(drive.file());
        drive.clear();
        drive.ack(id, 40000);
        ASSERT_TRUE(drive.last(Kind::Lost)) << c.why;
        EXPECT_EQ(drive.last(Kind::Lost)->text, c.why);
        EXPECT_FALSE(drive.sender().sending()) << c.why;
        EXPECT_EQ(drive.plain().find("f.bin"), nullptr) << c.why; // a new identity next time
    }
}

// The server forgetting the transfer sends the header again; the third time the window says so.
// Answers to the finish that say bytes are missing are believed at the third.
TEST(ExtendedSender, ForgottenTransfersAndShortAnswers) {
    Drive drive(3000);
    for (int i = 1; i <= 3; ++i) {
        const std::uint64_t id = drive.offered();
        drive.accept(id);
        drive.clear();
        drive.frame(ext::Kind::Unknown, id, 0);
        EXPECT_TRUE(drive.did(Kind::Announce)) << i;
        EXPECT_EQ(drive.did(Kind::CannotKeep), i == ExtendedSender::kUnknownsShown) << i;
    }
    const std::uint64_t id = drive.offered();
    drive.accept(id);
    ackAll(drive, id, 3000);
    for (int i = 1; i <= ExtendedSender::kShortAnswers; ++i) {
        drive.later(1'000'000); // the pace lets any piece go
        drive.clear();
        drive.ack(id, 1000);
        const bool believed = i == ExtendedSender::kShortAnswers;
        EXPECT_EQ(!drive.sent().empty() && ext::decode(drive.sent().front())->value == 1000,
                  believed)
            << i;
    }
}

// A keyed origin: the header goes again with this client's proof once the server proved the key,
// the transfer goes sealed under the session's keys, and an answer that proves nothing is said.
TEST(ExtendedSender, AKeyedOriginProvesItsKeyAndSeals) {
    const ext::Key key = ext::newKey();
    Drive drive(2500, key);
    const std::string header = Drive::payload(drive.header());
    const auto offer = ext::findOffer(header);
    const auto hello = ext::findHello(header);
    ASSERT_TRUE(offer && hello);
    drive.clear();
    drive.plainAnswer();
    ASSERT_TRUE(drive.last(Kind::KeyUnproven));
    EXPECT_EQ(drive.last(Kind::KeyUnproven)->value, 1); // the window is told once
    EXPECT_TRUE(drive.sender().unproven());
    EXPECT_FALSE(drive.did(Kind::Plain)); // never plain: the file would go in clear

    // The header names no file in clear: its transcript binds the placeholders it carries.
    EXPECT_EQ(header.find("f.bin"), std::string::npos);
    EXPECT_FALSE(ext::hasNames(header)); // the hello, before any key exists
    ext::Transcript t{
        kOrigin,       offer->transfer, ext::kSealedSize, std::string(ext::kSealedName),
        hello->client, ext::newNonce(), hello->aeads,     ext::Aead::ChaCha20Poly1305};
    const ext::Key serverSecret = ext::newKey();
    t.clientEphemeral = hello->ephemeral;
    ext::Key drawn{};
    drawn.fill(9); // the ephemeral secret the run drew
    EXPECT_EQ(hello->ephemeral, ext::ephemeralPublic(drawn));
    // A proven challenge whose ephemeral key leaves no shared secret proves nothing usable.
    const ext::Challenge zero{offer->transfer, t.server, t.aead, ext::serverProof(key, t), {}};
    t.serverEphemeral = ext::ephemeralPublic(serverSecret);
    ext::Challenge challenge{offer->transfer, t.server, t.aead, ext::serverProof(key, t),
                             t.serverEphemeral};
    ext::Challenge forged = challenge;
    forged.proof[0] ^= 1;
    for (const ext::Challenge& refused : {forged, zero}) {
        drive.clear();
        drive.answerOffer("PTE;1;END" + ext::challengeSuffix(refused));
        ASSERT_TRUE(drive.last(Kind::KeyUnproven));
        EXPECT_EQ(drive.last(Kind::KeyUnproven)->value, 0);
        EXPECT_FALSE(drive.did(Kind::KeyProven));
    }
    drive.clear();
    drive.answerOffer("PTE;1;END" + ext::challengeSuffix(challenge));
    ASSERT_TRUE(drive.did(Kind::KeyProven) && drive.last(Kind::HeaderAgain));
    const std::string proven = Drive::payload(drive.last(Kind::HeaderAgain)->text);
    const auto proof = ext::findHello(proven);
    ASSERT_TRUE(proof && proof->server == t.server);
    EXPECT_EQ(proof->proof, ext::clientProof(key, t));
    // The name and size go sealed under the keys this exchange gives the server too.
    const auto keys = ext::sessionKeys(key, t, serverSecret, t.clientEphemeral);
    ASSERT_TRUE(keys.has_value());
    const auto sealed = ext::openNames(keys->names, offer->transfer, proven);
    ASSERT_TRUE(sealed.has_value()) << proven;
    EXPECT_EQ(sealed->name, "f.bin");
    EXPECT_EQ(sealed->size, 2500);
    EXPECT_EQ(proven.find("f.bin"), std::string::npos);
    EXPECT_FALSE(ext::openNames(keys->clientToServer, offer->transfer, proven).has_value());
    EXPECT_FALSE(drive.sender().unproven());

    const ext::ProvenAccept accept{{offer->transfer, 0}, ext::acceptProof(key, t, 0)};
    drive.clear();
    drive.answerOffer("PTE;1;END" + ext::provenAcceptSuffix(accept));
    ASSERT_TRUE(drive.sender().sending());
    ext::EpochKeys fromClient(keys->clientToServer);
    std::string plain;
    const auto piece = ext::openSealed(drive.sent().front(), fromClient.at(1), t.aead, plain);
    ASSERT_TRUE(piece);
    EXPECT_EQ(piece->body, drive.file().bytes.substr(0, kPiece));

    std::string answer;
    ext::seal(ext::Kind::Ack, offer->transfer, 2500, 1, {},
              ext::EpochKeys(keys->serverToClient).at(1), t.aead, answer);
    drive.clear();
    drive.answer(answer);
    drive.answer(answer); // a replayed answer is taken once
    EXPECT_TRUE(drive.last(Kind::Ignored));
    const auto finish =
        ext::openSealed(drive.sent().back(), fromClient.at(drive.sent().size()), t.aead, plain);
    ASSERT_TRUE(finish && finish->kind == ext::Kind::Finish);
    EXPECT_EQ(finish->body, text(digestOf(drive.file().bytes)));
}

} // namespace

namespace {

using zelk::ExtendedSession;
using zelk::SessionAction;
using SKind = SessionAction::Kind;

using zelktest::MemoryOutbox;

// The server's side as the tests need it: rows by identity, the bytes written in place, answers
// as its receiver gives them. `corrupt` names a file whose first copy is stored with a wrong byte.
class MemoryServer {
public:
    struct Row {
        std::string name;
        std::string data;
        std::int64_t cumulative = 0;
        bool corrupted = false;
    };
    int grant = 4;
    std::string corrupt;
    // After this many Data datagrams the server restarts: it forgets its transfers, but an offer
    // under a known identity resumes from the staging it kept.
    int restartAfter = -1;
    int resumed = 0; // transfers resumed with bytes held
    std::map<std::uint64_t, Row> rows;
    std::map<std::uint64_t, Row> staged;
    std::map<std::string, std::string> renamed; // verified files, by name
    int renames = 0;

    // The answers to one datagram: plain answers to headers and extended datagrams alike.
    std::vector<std::string> receive(const std::string& datagram) {
        const std::size_t begin = datagram.find("BEG;");
        if (begin != std::string::npos && datagram[0] != ext::kStart) {
            return offered(datagram.substr(begin));
        }
        const auto frame = ext::decode(datagram);
        if (!frame) {
            return {};
        }
        if (frame->kind == ext::Kind::Data && restartAfter >= 0 && restartAfter-- == 0) {
            staged.merge(rows);
            rows.clear();
        }
        const auto row = rows.find(frame->transfer);
        std::string out;
        if (row == rows.end()) {
            ext::encode(ext::Kind::Unknown, frame->transfer, 0, {}, out);
        } else if (frame->kind == ext::Kind::Data) {
            write(row->second, frame->value, frame->body);
            ext::encodeAck(frame->transfer, row->second.cumulative, {}, out);
        } else if (frame->kind == ext::Kind::Finish) {
            finish(row->second, frame->transfer, frame->body, out);
        }
        return {out};
    }

private:
    std::vector<std::string> offered(const std::string& payload) {
        const auto offer = ext::findOffer(payload);
        const auto asked = ext::findMulti(payload);
        if (!offer || !asked) {
            return {};
        }
        if (const auto kept = staged.find(offer->transfer); kept != staged.end()) {
            resumed += kept->second.cumulative > 0 ? 1 : 0;
            rows.insert(staged.extract(kept));
        }
        Row& row = rows[offer->transfer];
        const std::size_t semicolon = payload.find(';', 4);
        row.name = payload.substr(4, semicolon - 4);
        row.data.resize(static_cast<std::size_t>(offer->size));
        return {"PTE;" + std::to_string(row.cumulative + 1) + ";END" +
                ext::acceptSuffix({offer->transfer, row.cumulative}) +
                ext::grantSuffix(std::min(grant, *asked))};
    }
    void write(Row& row, std::int64_t offset, std::string_view body) {
        if (offset != row.cumulative) {
            return; // in order only: the client's window sends it so here
        }
        row.data.replace(static_cast<std::size_t>(offset), body.size(), body);
        if (row.name == corrupt && !row.corrupted) {
            row.data[static_cast<std::size_t>(offset)] ^= 1;
            row.corrupted = true;
        }
        row.cumulative += std::ssize(body);
    }
    void finish(Row& row, std::uint64_t id, std::string_view body, std::string& out) {
        ext::RunningDigest digest;
        digest.feed(0, row.data);
        const ext::Digest sum = digest.finish();
        if (body != std::string_view(reinterpret_cast<const char*>(sum.data()), sum.size())) {
            row.cumulative = 0;
            ext::encode(ext::Kind::Mismatch, id, 0, {}, out);
            return;
        }
        if (!renamed.contains(row.name) || renamed[row.name] != row.data) {
            ++renames;
        }
        renamed[row.name] = row.data;
        ext::encode(ext::Kind::Verified, id, std::ssize(row.data), {}, out);
    }
};

// The client's shell in virtual time: the first file goes through the one-at-a-time sender,
// whose grant opens a session for the rest; answers come back a round trip later.
class SessionBench {
public:
    static constexpr std::int64_t kRttUs = 20'000;

    explicit SessionBench(int ask, int firstFlight = ExtendedSession::kFirstFlightPieces)
        : plain_(zelk::PlainSender::settingsFor(1000, 100)), first_(*this),
          sender_(plain_, first_, random()), session_(outbox_, random()) {
        sender_.configure({kOrigin, kPiece, 0, true, ask});
        session_.configure({kOrigin, kPiece, 0, ask, firstFlight});
    }
    void add(const std::string& name, std::size_t size) {
        std::string bytes;
        for (std::size_t i = 0; i < size; ++i) {
            bytes.push_back(static_cast<char>((i * 7 + name.size() * 13) % 251));
        }
        outbox_.bytes[name] = bytes;
        order_.push_back(name);
    }
    // The first file offered as the loop offers it; the header sent, kept.
    std::string offerFirst() {
        const auto stamp = *outbox_.stamp(order_.front());
        plain_.header(order_.front(), stamp, stamp, false, now_ / 1000);
        sender_.headerSent(order_.front(), stamp.size);
        header_ = sender_.offeredHeader();
        return header_;
    }
    // Runs until every file is deleted or `untilUs` passed.
    void run(std::int64_t untilUs) {
        for (const std::string& answer : server.receive(header_)) {
            for (const ExtAction& a : sender_.answerToOffer(payload(answer), 0, now_)) {
                if (a.kind == Kind::Granted) {
                    granted = a.value;
                    adopt(a);
                }
            }
        }
        runOn(untilUs);
    }
    // Runs the session alone until every file is deleted, `untilUs` passed or it ends.
    void runOn(std::int64_t untilUs) {
        while (!order_.empty() && now_ < untilUs && session_.active()) {
            if (!arrivals_.empty() && arrivals_.begin()->first <= nextWake()) {
                const auto [at, bytes] = *arrivals_.begin();
                arrivals_.erase(arrivals_.begin());
                now_ = std::max(now_, at);
                deliver(bytes);
            } else {
                now_ = std::max(now_, nextWake());
                wake();
            }
            mostAtOnce = std::max(mostAtOnce, session_.underWay());
        }
    }

    MemoryServer server;
    std::int64_t granted = 0;
    int mostAtOnce = 0;
    std::vector<std::string> deleted;      // in the order their verdicts came
    std::vector<std::string> sentAgain;    // files whose copy lacked their digest
    std::vector<std::uint64_t> pieceOrder; // the transfer of each piece, as sent
    std::map<std::string, std::set<std::uint64_t>> identities; // offered, by file
    std::map<std::string, std::int64_t> offeredAt, deletedAt;  // first offer, verdict
    // What left, in order: "H <file>" for a header, "D <file>" for a piece, "F <file>" for a
    // finish, each with the time it left.
    std::vector<std::pair<std::int64_t, std::string>> sent;
    std::int64_t now() const { return now_; }
    std::size_t left() const { return order_.size(); }
    int lookups() const { return outbox_.lookups; }
    // The session's last transfer ended: `afterUs` later, the outbox is listed again.
    void listAgainAfter(std::int64_t afterUs) {
        session_.idle(now_);
        now_ += afterUs;
        follow(session_.offerFrom(order_, now_));
    }
    bool lingering() { return session_.lingering(now_); }

private:
    class First : public zelk::ExtFile {
    public:
        explicit First(SessionBench& bench) : bench_(bench) {}
        std::optional<std::int64_t> length() override {
            return bench_.outbox_.length(bench_.order_.front());
        }
        std::optional<zelk::FileStamp> stamp() override {
            return bench_.outbox_.stamp(bench_.order_.front());
        }
        long read(char* into, std::size_t n, std::int64_t offset) override {
            return bench_.outbox_.read(bench_.order_.front(), into, n, offset);
        }

    private:
        SessionBench& bench_;
    };

    zelk::ExtRandom random() {
        return zelk::ExtRandom{[this] { return ++ids_ * 0x9e3779b97f4a7c15ULL; },
                               [] { return ext::Nonce{}; }, [] { return ext::Key{}; }};
    }
    static std::string payload(const std::string& answer) { return answer; }
    std::string what(const std::string& datagram) const {
        if (datagram[0] != ext::kStart) {
            const std::size_t name = datagram.find("BEG;") + 4;
            return "H " + datagram.substr(name, datagram.find(';', name) - name);
        }
        const auto frame = ext::decode(datagram);
        for (const auto& [name, ids] : identities) {
            if (ids.contains(frame->transfer)) {
                return (frame->kind == ext::Kind::Data ? "D " : "F ") + name;
            }
        }
        return "?";
    }
    void adopt(const ExtAction& granted) {
        const std::string& name = order_.front();
        zelk::TransferMemory& known = plain_.memory(name);
        identities[name].insert(static_cast<std::uint64_t>(granted.extra));
        follow(session_.adopt(name, *outbox_.length(name),
                              ext::Accept{static_cast<std::uint64_t>(granted.extra), granted.size},
                              static_cast<int>(granted.value), known.digest, known.startStamp,
                              now_));
        follow(session_.offerFrom(order_, now_));
    }
    std::int64_t nextWake() const {
        std::int64_t next = std::numeric_limits<std::int64_t>::max();
        for (const std::int64_t due : {paceAt_, timeoutAt_}) {
            if (due >= 0) {
                next = std::min(next, due);
            }
        }
        return next;
    }
    void wake() {
        if (paceAt_ >= 0 && paceAt_ <= now_) {
            paceAt_ = -1;
            follow(session_.wakePace(now_));
        }
        if (timeoutAt_ >= 0 && timeoutAt_ <= now_) {
            timeoutAt_ = -1;
            follow(session_.wakeTimeout(now_));
        }
    }
    void deliver(const std::string& bytes) {
        if (bytes.starts_with("PTE;")) {
            ASSERT_TRUE(session_.ownsAnswer(bytes)) << bytes;
            follow(session_.answer(bytes, now_));
        } else {
            follow(session_.datagram(bytes, now_));
        }
        follow(session_.offerFrom(order_, now_));
    }
    void transmit(const std::string& datagram) {
        sent.emplace_back(now_, what(datagram));
        for (const std::string& answer : server.receive(datagram)) {
            arrivals_.emplace(now_ + kRttUs + std::ssize(arrivals_), answer);
        }
    }
    void follow(const ExtendedSession::Actions& actions) {
        for (const SessionAction& a : actions) {
            perform(a);
        }
    }
    void perform(const SessionAction& a) {
        switch (a.kind) {
        case SKind::Pieces:
            return sendPieces(a);
        case SKind::Send:
            return transmit(a.text);
        case SKind::PaceIn:
            paceAt_ = now_ + a.value * 1000;
            return;
        case SKind::TimeoutIn:
            timeoutAt_ = now_ + a.value * 1000;
            return;
        case SKind::TimeoutOff:
            timeoutAt_ = -1;
            return;
        case SKind::Step:
            return follow(session_.step(a.transfer, now_));
        case SKind::Offered:
            identities[a.name].insert(a.transfer);
            offeredAt.emplace(a.name, now_);
            return;
        case SKind::Verified:
            EXPECT_EQ(a.stamp, outbox_.stamp(a.name)); // deleted only as it was sent
            deleted.push_back(a.name);
            deletedAt[a.name] = now_;
            outbox_.bytes.erase(a.name);
            std::erase(order_, a.name);
            return;
        case SKind::SentAgain:
            sentAgain.push_back(a.name);
            return;
        case SKind::Lost:
        case SKind::Released:
            ADD_FAILURE() << a.name << " left the session: " << a.text;
            return;
        default:
            return;
        }
    }
    void sendPieces(const SessionAction& a) {
        for (const auto& piece : a.pieces) {
            const auto n = static_cast<std::size_t>(piece.length);
            std::string frame(session_.datagramOf(n), '\0');
            ASSERT_EQ(outbox_.read(a.name, frame.data() + session_.bodyAt(), n, piece.offset),
                      static_cast<long>(n));
            EXPECT_EQ(session_.framePiece(a.transfer, frame.data(), piece.offset, n), frame.size());
            pieceOrder.push_back(a.transfer);
            transmit(frame);
        }
    }

    MemoryOutbox outbox_;
    std::vector<std::string> order_;
    zelk::PlainSender plain_;
    First first_;
    std::uint64_t ids_ = 0;
    ExtendedSender sender_;
    ExtendedSession session_;
    std::string header_;
    std::int64_t now_ = 1'000'000;
    std::int64_t paceAt_ = -1;
    std::int64_t timeoutAt_ = -1;
    std::multimap<std::int64_t, std::string> arrivals_;
};

// A large file first and small ones behind it: the grant opens a session, the small files go
// while the large one is under way, never more at once than granted, each verified and deleted
// on its own verdict, each stored once and whole.
TEST(ExtendedSession, SeveralFilesAtOnceWithinTheGrant) {
    SessionBench bench(8);
    bench.server.grant = 4;
    bench.add("large", 3'000'000); // large enough to be under way while startup doubles
    for (int i = 0; i < 9; ++i) {
        bench.add("small" + std::to_string(i), 500 + 700 * static_cast<std::size_t>(i));
    }
    EXPECT_NE(bench.offerFirst().find(";ZXM,8;END"), std::string::npos);
    bench.run(60'000'000);
    EXPECT_EQ(bench.granted, 4);
    EXPECT_EQ(bench.mostAtOnce, 4);
    ASSERT_EQ(bench.left(), 0u);
    ASSERT_EQ(bench.deleted.size(), 10u);
    // The small ones did not wait for it.
    const auto large = std::ranges::find(bench.deleted, "large") - bench.deleted.begin();
    EXPECT_GE(large, 6) << ::testing::PrintToString(bench.deleted);
    EXPECT_EQ(bench.server.renames, 10);
    EXPECT_EQ(bench.server.renamed["large"].size(), 3'000'000u);
    for (const auto& [name, ids] : bench.identities) {
        EXPECT_EQ(ids.size(), 1u) << name;
    }
    // The large file's pieces and the others' take turns from the start.
    const std::uint64_t largeId = *bench.identities["large"].begin();
    const auto firstOther = std::ranges::find_if(
        bench.pieceOrder, [largeId](std::uint64_t id) { return id != largeId; });
    ASSERT_NE(firstOther, bench.pieceOrder.end());
    EXPECT_LT(firstOther - bench.pieceOrder.begin(), 40);
}

// A file is looked up when it is offered, when its pieces are read and now and then between: not
// at every answer for every file under way, which made a hundred look-ups a datagram and left
// answers waiting for tens of milliseconds.
TEST(ExtendedSession, AnAnswerDoesNotLookUpEveryFileUnderWay) {
    SessionBench bench(64);
    bench.server.grant = 64;
    for (int i = 0; i < 200; ++i) {
        bench.add("f" + std::to_string(i), 20'000);
    }
    bench.offerFirst();
    bench.run(60'000'000);
    ASSERT_EQ(bench.deleted.size(), 200u);
    EXPECT_GE(bench.mostAtOnce, 32);
    EXPECT_LT(bench.lookups(), 200 * 10);
}

// Files that come soon after the session's last transfer ended go at once, offered side by side
// with their first pieces, not the first alone for a round trip; once the session lingered long
// enough it is forgotten, and the next file goes one at a time, as the first of a session does.
TEST(ExtendedSession, FilesThatComeSoonAfterGoAtOnceInTheSessionStillOpen) {
    SessionBench bench(8);
    bench.server.grant = 8;
    bench.add("a", 3000);
    bench.add("b", 3000);
    bench.offerFirst();
    bench.run(60'000'000);
    ASSERT_EQ(bench.deleted.size(), 2u);
    for (const char* name : {"c", "d", "e"}) {
        bench.add(name, 3000);
    }
    const std::size_t before = bench.sent.size();
    bench.listAgainAfter(5'000'000);
    std::set<std::string> left;
    for (std::size_t i = before; i < bench.sent.size(); ++i) {
        EXPECT_EQ(bench.sent[i].first, bench.now());
        left.insert(bench.sent[i].second);
    }
    for (const char* went : {"H c", "D c", "H d", "D d", "H e", "D e"}) {
        EXPECT_TRUE(left.contains(went)) << went << " did not leave at once";
    }
    bench.runOn(120'000'000);
    EXPECT_EQ(bench.deleted.size(), 5u);
    EXPECT_EQ(bench.server.renames, 5);

    bench.add("f", 3000);
    const std::size_t after = bench.sent.size();
    bench.listAgainAfter(ExtendedSession::kLingerUs);
    EXPECT_FALSE(bench.lingering());
    EXPECT_EQ(bench.sent.size(), after) << "the session is over: the loop's one-at-a-time path";
}

// One file's copy lacks its digest: that file alone goes again, the others' verdicts come on.
TEST(ExtendedSession, AMismatchSendsOnlyItsFileAgain) {
    SessionBench bench(32);
    bench.server.corrupt = "b";
    for (const char* name : {"a", "b", "c", "d"}) {
        bench.add(name, 20'000);
    }
    bench.offerFirst();
    bench.run(60'000'000);
    EXPECT_EQ(bench.granted, 4);
    EXPECT_EQ(bench.sentAgain, std::vector<std::string>{"b"});
    ASSERT_EQ(bench.deleted.size(), 4u);
    EXPECT_EQ(bench.deleted.back(), "b");
    EXPECT_EQ(bench.server.renames, 4);
    EXPECT_EQ(bench.server.renamed["b"].size(), 20'000u);
}

// The server restarts while four files are under way: each transfer learns it on its own, is
// offered again under its identity, and goes on from what the server kept.
TEST(ExtendedSession, EachTransferResumesOnItsOwnAfterTheServerRestarts) {
    SessionBench bench(4);
    bench.server.restartAfter = 40;
    for (const char* name : {"a", "b", "c", "d"}) {
        bench.add(name, 30'000);
    }
    bench.offerFirst();
    bench.run(120'000'000);
    ASSERT_EQ(bench.deleted.size(), 4u);
    EXPECT_GE(bench.server.resumed, 2);
    EXPECT_EQ(bench.server.renames, 4);
    for (const auto& [name, ids] : bench.identities) {
        EXPECT_EQ(ids.size(), 1u) << name;
        EXPECT_EQ(bench.server.renamed[name].size(), 30'000u) << name;
    }
}

// Once the server granted a session, a new file's pieces and finish leave right behind its offer
// (a file too large for them keeps the rest for the acceptance): a small file's verdict comes a
// round trip after its offer, not three (offer, pieces, finish) as when its pieces wait.
TEST(ExtendedSession, TheFirstPiecesAndTheFinishOfANewFileGoWithItsOffer) {
    struct Case {
        int firstFlight;
        std::vector<std::string> flight; // what of b and c leaves when b is offered, sorted
        std::int64_t roundTrips;         // from the offer of "b" to its verdict
    };
    const std::vector<Case> cases = {
        {ExtendedSession::kFirstFlightPieces,
         {"D b", "D b", "D b", "D c", "D c", "D c", "D c", "F b", "H b", "H c"},
         1},
        {0, {"H b", "H c"}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firstFlight);
        SessionBench bench(4, c.firstFlight);
        bench.add("a", 2'000);
        bench.add("b", 2'500);  // three pieces
        bench.add("c", 60'000); // four pieces with its offer, the rest after the acceptance
        bench.offerFirst();
        bench.run(60'000'000);
        ASSERT_EQ(bench.deleted.size(), 3u);
        std::vector<std::string> flight; // in the order it left
        for (const auto& [at, what] : bench.sent) {
            if (at == bench.offeredAt["b"] && !what.ends_with(" a")) {
                flight.push_back(what);
            }
        }
        // Each offer before any piece, the finish behind the last piece of its file.
        EXPECT_EQ(std::vector(flight.begin(), flight.begin() + 2),
                  (std::vector<std::string>{"H b", "H c"}));
        EXPECT_TRUE(flight.size() == 2 || flight.back() == "F b");
        std::ranges::sort(flight);
        EXPECT_EQ(flight, c.flight);
        const std::int64_t took = bench.deletedAt["b"] - bench.offeredAt["b"];
        EXPECT_GE(took, c.roundTrips * SessionBench::kRttUs);
        EXPECT_LT(took, c.roundTrips * SessionBench::kRttUs + 1'000);
        EXPECT_EQ(bench.server.renamed["c"].size(), 60'000u);
        EXPECT_EQ(bench.server.renames, 3);
    }
}

// Without a grant, or without asking, the first file goes alone: the datagrams are the same
// byte for byte, and a client that does not ask sends today's header.
TEST(ExtendedSender, WithoutAGrantOneFileAtATimeAsBefore) {
    Drive alone(7000);
    Drive asking(7000);
    asking.ask(16);
    const std::string header = Drive::payload(alone.header());
    std::string asked = Drive::payload(asking.header());
    EXPECT_EQ(header.find("ZXM"), std::string::npos);
    const std::size_t at = asked.find(";ZXM,16;END");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(asked.erase(at, 7), header);
    for (Drive* drive : {&alone, &asking}) {
        drive->clear();
        drive->answerOffer("PTE;1;END" + ext::acceptSuffix({1, 0}) + ";ZXM,1");
        EXPECT_TRUE(drive->did(Kind::Accepted));
        EXPECT_FALSE(drive->did(Kind::Granted));
    }
    EXPECT_EQ(asking.sent(), alone.sent());
    ASSERT_FALSE(alone.sent().empty());
    // A grant the client did not ask for is no grant.
    Drive unasked(7000);
    unasked.header();
    unasked.answerOffer("PTE;1;END" + ext::acceptSuffix({1, 0}) + ";ZXM,8");
    EXPECT_TRUE(unasked.did(Kind::Accepted));
    EXPECT_EQ(unasked.sent(), alone.sent());
}

} // namespace
