#include "secure.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace zelk::ext;

namespace {

Transcript sample() {
    Transcript t;
    t.origin = "poste-01  ";
    t.transfer = 0x1122334455667788ULL;
    t.size = 123456;
    t.name = "report.pdf";
    t.client = newNonce();
    t.server = newNonce();
    return t;
}

const std::string kHexKey(64, 'a');

// The client's side of a session under fixed ephemeral secrets.
SessionKeys keysOf(const Key& key, const Transcript& t) {
    Key client{};
    Key server{};
    client.fill(1);
    server.fill(2);
    return *sessionKeys(key, t, client, ephemeralPublic(server));
}

TEST(KeyFiles, LinesAreKeysWithOriginsCommentsAndRotation) {
    struct Case {
        const char* what;
        std::string text;
        bool withOrigins;
        bool ok;
        std::size_t keys;
    };
    const std::vector<Case> cases = {
        {"two keys for one origin while changing them",
         "# rotation\n" + kHexKey + " poste-01\r\n\n" + std::string(64, 'B') + " poste-01\n", true,
         true, 2},
        {"an origin with a blank inside", kHexKey + " my host\n", true, true, 1},
        {"no origin on a server line", kHexKey + "\n", true, false, 0},
        {"a short key", std::string(62, 'a') + " poste\n", true, false, 0},
        {"a digit that is not hexadecimal", std::string(63, 'a') + "g poste\n", true, false, 0},
        {"only comments", "# nothing\n\n", true, false, 0},
        {"a client line copied from the server's file", kHexKey + " poste-01\n", false, true, 1},
        {"a client key and text glued to it", kHexKey + "x\n", false, false, 0},
        // Each of these once served the origin without its key, or another origin with it.
        {"a tab after the origin", kHexKey + " poste1\t\n", true, false, 0},
        {"a tab in place of the blank", kHexKey + "\tposte1\n", true, false, 0},
        {"two blanks before the origin", kHexKey + "  poste1\n", true, false, 0},
        {"an origin longer than it travels", kHexKey + " poste-0123456\n", true, false, 0},
        {"a blank after the origin", kHexKey + " poste1 \n", true, false, 0},
        {"only blanks for an origin", kHexKey + "           \n", true, false, 0},
    };
    for (const Case& c : cases) {
        std::vector<KeyLine> keys;
        std::string error;
        EXPECT_EQ(parseKeyLines(c.text, c.withOrigins, keys, error), c.ok) << c.what;
        EXPECT_EQ(keys.size(), c.keys) << c.what;
        EXPECT_EQ(error.empty(), c.ok) << c.what << ": " << error;
    }
    std::vector<KeyLine> keys;
    std::string error;
    ASSERT_TRUE(parseKeyLines(kHexKey + " my host\n", true, keys, error));
    EXPECT_EQ(keys[0].origin, "my host   "); // as it travels: 10 characters
    EXPECT_FALSE(parseKeyLines("# k\n" + kHexKey + " poste1\t\n", true, keys, error, "f.keys"));
    EXPECT_EQ(error.rfind("f.keys:2: ", 0), 0U) << error; // the file and the line
}

// Files on disk: who owns them, who may write their folder, what they are.
TEST(KeyFiles, OnlyARegularFileOfThisUserInAFolderOthersCannotWriteLoads) {
    char made[] = "/tmp/zelk-keys-XXXXXX";
    ASSERT_NE(::mkdtemp(made), nullptr);
    const std::string folder = made;
    const std::string good = kHexKey + " poste1\n";
    struct Case {
        const char* what;
        std::function<std::string()> make; // the path to read
        const char* error;                 // what the refusal says; empty when it loads
    };
    int n = 0;
    auto file = [&](const std::string& text, mode_t mode, const std::string& in) {
        const std::string path = in + "/k" + std::to_string(++n);
        std::ofstream(path) << text;
        ::chmod(path.c_str(), mode);
        return path;
    };
    auto subfolder = [&](mode_t mode) {
        const std::string path = folder + "/d" + std::to_string(++n);
        ::mkdir(path.c_str(), 0700);
        ::chmod(path.c_str(), mode);
        return path;
    };
    const std::vector<Case> cases = {
        {"a 0600 file of this user", [&] { return file(good, 0600, folder); }, ""},
        {"a 0400 file", [&] { return file(good, 0400, folder); }, ""},
        {"a file its group may read", [&] { return file(good, 0640, folder); }, "too open"},
        {"in a folder anyone may write", [&] { return file(good, 0600, subfolder(0777)); },
         "may be written by other users"},
        {"in a folder its group may write", [&] { return file(good, 0600, subfolder(0770)); },
         "may be written by other users"},
        {"a FIFO, which would block the start",
         [&] {
             const std::string path = folder + "/fifo";
             ::mkfifo(path.c_str(), 0600);
             return path;
         },
         "no regular file"},
        {"a symbolic link",
         [&] {
             const std::string path = folder + "/link";
             ::symlink(file(good, 0600, folder).c_str(), path.c_str());
             return path;
         },
         "symbolic link"},
        {"a line with a tab after the origin",
         [&] { return file(kHexKey + " poste1\t\n", 0600, folder); }, ":1: "},
        {"a missing file", [&] { return folder + "/none"; }, "cannot be opened"},
    };
    for (const Case& c : cases) {
        std::vector<KeyLine> keys;
        std::string error;
        const bool loaded = readKeyFile(c.make(), true, keys, error);
        EXPECT_EQ(loaded, std::string(c.error).empty()) << c.what << ": " << error;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    }
    // A file of another user cannot be made without root; the rule is the owner's uid.
    if (::geteuid() == 0) {
        const std::string other = file(good, 0600, folder);
        ASSERT_EQ(::chown(other.c_str(), 12345, 12345), 0);
        std::vector<KeyLine> keys;
        std::string error;
        EXPECT_FALSE(readKeyFile(other, true, keys, error));
        EXPECT_NE(error.find("belongs to another user"), std::string::npos) << error;
    }

    // "$CREDENTIALS_DIRECTORY/" alone is replaced, and only when set.
    std::string path;
    std::string error;
    ::unsetenv("CREDENTIALS_DIRECTORY");
    EXPECT_FALSE(keyFilePath("$CREDENTIALS_DIRECTORY/k", path, error));
    EXPECT_NE(error.find("not set"), std::string::npos) << error;
    ::setenv("CREDENTIALS_DIRECTORY", folder.c_str(), 1);
    EXPECT_TRUE(keyFilePath("$CREDENTIALS_DIRECTORY/k", path, error));
    EXPECT_EQ(path, folder + "/k");
    EXPECT_FALSE(keyFilePath("$CREDENTIALS_DIRECTORYk", path, error));
    EXPECT_TRUE(keyFilePath("/etc/k", path, error));
    EXPECT_EQ(path, "/etc/k");
    ::unsetenv("CREDENTIALS_DIRECTORY");
    std::system(("rm -rf " + folder).c_str());
}

TEST(Handshake, ProofsHoldOnlyForTheSameKeyTranscriptAndDirection) {
    ASSERT_TRUE(cryptoReady());
    const Key key = newKey();
    const Transcript t = sample();
    const Mac server = serverProof(key, t);
    EXPECT_TRUE(sameMac(server, serverProof(key, t)));
    // A proof reflected to its sender, or taken for the acceptance, is not the other's.
    EXPECT_FALSE(sameMac(server, clientProof(key, t)));
    EXPECT_FALSE(sameMac(acceptProof(key, t, 0), clientProof(key, t)));
    EXPECT_FALSE(sameMac(acceptProof(key, t, 0), acceptProof(key, t, 1)));
    EXPECT_FALSE(sameMac(server, serverProof(newKey(), t)));
    auto changed = [&](auto edit) {
        Transcript other = t;
        edit(other);
        return !sameMac(clientProof(key, t), clientProof(key, other)) &&
               keysOf(key, t).clientToServer != keysOf(key, other).clientToServer;
    };
    EXPECT_TRUE(changed([](Transcript& o) { o.client = newNonce(); })); // a replayed session
    EXPECT_TRUE(changed([](Transcript& o) { o.server = newNonce(); }));
    EXPECT_TRUE(changed([](Transcript& o) { o.name = "other.pdf"; }));
    EXPECT_TRUE(changed([](Transcript& o) { o.size += 1; }));
    EXPECT_TRUE(changed([](Transcript& o) { o.origin = "poste-02"; }));
    EXPECT_TRUE(changed([](Transcript& o) { o.transfer ^= 1; }));
    const SessionKeys keys = keysOf(key, t);
    EXPECT_NE(keys.clientToServer, keys.serverToClient);
    EXPECT_NE(keyIdOf(key), keyIdOf(newKey()));
}

TEST(Handshake, FieldsReadBackAndMalformedOnesAreRefused) {
    Hello hello{keyIdOf(newKey()), newNonce(), "AC", std::nullopt, {}, {}};
    const std::string first = "BEG;f.bin;10;ZX1,00000000000000aa,10;" + helloField(hello) + ";END";
    const auto read = findHello(first);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->keyId, hello.keyId);
    EXPECT_EQ(read->client, hello.client);
    EXPECT_EQ(read->aeads, "AC");
    EXPECT_FALSE(read->server);
    hello.server = newNonce();
    hello.proof = clientProof(newKey(), sample());
    const auto proven = findHello("BEG;f.bin;10;" + helloField(hello) + ";END");
    ASSERT_TRUE(proven && proven->server);
    EXPECT_EQ(*proven->server, *hello.server);
    EXPECT_EQ(proven->proof, hello.proof);
    EXPECT_FALSE(findHello("BEG;f.bin;10;ZXK,00;END"));
    EXPECT_FALSE(findHello("BEG;f.bin;10;ZXK;END"));
    hello.aeads = "CA"; // not as a peer writes it
    EXPECT_FALSE(findHello("BEG;f.bin;10;" + helloField(hello) + ";END"));
    EXPECT_FALSE(findHello("BEG;f.bin;10;END"));
    // A hello or a challenge without its ephemeral key, as an older peer writes them: refused,
    // or forward secrecy could be stripped on the way.
    hello.aeads = "C";
    hello.ephemeral = ephemeralPublic(newKey());
    EXPECT_EQ(findHello("BEG;f.bin;10;" + helloField(hello) + ";END")->ephemeral, hello.ephemeral);
    std::string older = helloField(hello);
    older.erase(older.find(",C,") + 2, 1 + 2 * kKeyBytes);
    EXPECT_FALSE(findHello("BEG;f.bin;10;" + older + ";END")) << older;

    const Challenge challenge{0xabcULL, newNonce(), Aead::Aes256Gcm,
                              serverProof(newKey(), sample()), ephemeralPublic(newKey())};
    const auto back = findChallenge("PTE;1;END" + challengeSuffix(challenge));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->transfer, 0xabcULL);
    EXPECT_EQ(back->server, challenge.server);
    EXPECT_EQ(back->aead, Aead::Aes256Gcm);
    EXPECT_FALSE(findChallenge("PTE;1;END;ZXK,0000000000000000,00,00"));
    EXPECT_EQ(back->ephemeral, challenge.ephemeral);
    EXPECT_EQ(back->proof, challenge.proof);
    EXPECT_FALSE(findChallenge("PTE;1;END;ZXK,0000000000000abc," + hexOf(challenge.server) + ",A," +
                               hexOf(challenge.proof)));
    EXPECT_FALSE(findChallenge("PTE;1;END"));

    const ProvenAccept accept{Accept{0xabcULL, 42}, acceptProof(newKey(), sample(), 42)};
    const auto got = findProvenAccept("PTE;43;END" + provenAcceptSuffix(accept));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->accept.cumulative, 42);
    EXPECT_EQ(got->proof, accept.proof);
    EXPECT_FALSE(findProvenAccept("PTE;43;END" + acceptSuffix(accept.accept)));
    // A grant of several transfers follows the proof; the proof is still the field after the
    // acceptance, never one after the grant.
    const std::string granted = "PTE;43;END" + provenAcceptSuffix(accept) + grantSuffix(5);
    const auto withGrant = findProvenAccept(granted);
    ASSERT_TRUE(withGrant);
    EXPECT_EQ(withGrant->proof, accept.proof);
    EXPECT_EQ(findGrant(granted), 5);
    EXPECT_FALSE(findProvenAccept("PTE;43;END" + acceptSuffix(accept.accept) + grantSuffix(5)));
}

TEST(Handshake, TheChoiceOfCipherIsBoundToTheProofs) {
    const Key key = newKey();
    Transcript t = sample();
    t.aeads = "AC";
    t.aead = Aead::Aes256Gcm;
    Transcript downgraded = t;
    downgraded.aead = Aead::ChaCha20Poly1305;
    EXPECT_FALSE(sameMac(serverProof(key, t), serverProof(key, downgraded)));
    downgraded = t;
    downgraded.aeads = "C";
    EXPECT_FALSE(sameMac(clientProof(key, t), clientProof(key, downgraded)));
    EXPECT_EQ(aeadFor("C"), Aead::ChaCha20Poly1305);
}

// Both sides of one handshake: their ephemeral secrets and the transcript with both public keys.
struct Sides {
    Key key = newKey();
    Key client = newKey();
    Key server = newKey();
    Transcript t = withEphemerals(sample());
    Transcript withEphemerals(Transcript t) const {
        t.clientEphemeral = ephemeralPublic(client);
        t.serverEphemeral = ephemeralPublic(server);
        return t;
    }
};

TEST(ForwardSecrecy, BothSidesAgreeAndAnyOtherEphemeralBreaksTheProofOrTheKeys) {
    ASSERT_TRUE(cryptoReady());
    const Sides s;
    const auto atClient = sessionKeys(s.key, s.t, s.client, s.t.serverEphemeral);
    const auto atServer = sessionKeys(s.key, s.t, s.server, s.t.clientEphemeral);
    ASSERT_TRUE(atClient && atServer);
    EXPECT_EQ(atClient->clientToServer, atServer->clientToServer);
    EXPECT_EQ(atClient->serverToClient, atServer->serverToClient);
    struct Case {
        const char* what;
        std::function<void(Transcript&, Key& clientSecret)> edit;
        bool proofHolds; // the server's proof over the edited transcript still holds
    };
    const std::vector<Case> cases = {
        {"the client's public key replaced on the way",
         [](Transcript& t, Key&) { t.clientEphemeral = ephemeralPublic(newKey()); }, false},
        {"the server's public key replaced on the way",
         [](Transcript& t, Key&) { t.serverEphemeral = ephemeralPublic(newKey()); }, false},
        {"one bit of the server's public key flipped",
         [](Transcript& t, Key&) { t.serverEphemeral[7] ^= 0x10; }, false},
        {"the client using another ephemeral secret than it announced",
         [](Transcript&, Key& secret) { secret = newKey(); }, true},
    };
    for (const Case& c : cases) {
        Transcript t = s.t;
        Key secret = s.client;
        c.edit(t, secret);
        EXPECT_EQ(sameMac(serverProof(s.key, t), serverProof(s.key, s.t)), c.proofHolds) << c.what;
        const auto keys = sessionKeys(s.key, t, secret, t.serverEphemeral);
        ASSERT_TRUE(keys) << c.what;
        EXPECT_NE(keys->clientToServer, atServer->clientToServer) << c.what;
    }
}

TEST(ForwardSecrecy, AnAllZeroOrSmallOrderPublicKeyIsRefused) {
    ASSERT_TRUE(cryptoReady());
    const Sides s;
    Key small{};
    small[0] = 1; // the point of order 1: the shared secret is all zeros too
    for (const Key& peer : {Key{}, small}) {
        EXPECT_FALSE(sharedSecret(s.client, peer));
        EXPECT_FALSE(sessionKeys(s.key, s.t, s.client, peer));
    }
    EXPECT_TRUE(sharedSecret(s.client, s.t.serverEphemeral));
    // The server finds its ephemeral secret again from the nonce alone, and only its own mint.
    const Key secret = newKey();
    const ChallengeMint mint(secret);
    const Nonce nonce = newNonce();
    EXPECT_EQ(mint.ephemeral(nonce), ChallengeMint(secret).ephemeral(nonce));
    EXPECT_NE(mint.ephemeral(nonce), mint.ephemeral(newNonce()));
    EXPECT_NE(mint.ephemeral(nonce), ChallengeMint(newKey()).ephemeral(nonce));
}

// Epochs of four datagrams here; 2^24 in the programs.
TEST(Epochs, KeysChangeAtTheSameSequenceNumbersOnBothSidesAndOpenOnlyTheirOwn) {
    ASSERT_TRUE(cryptoReady());
    const Key base = newKey();
    EpochKeys sender(base, 2);
    EpochKeys receiver(base, 2);
    struct Case {
        std::uint64_t sequence;
        std::uint64_t epoch;
    };
    const std::vector<Case> cases = {{1, 0}, {4, 0}, {5, 1},
                                     {8, 1}, {9, 2}, {1ULL << 40, ((1ULL << 40) - 1) >> 2}};
    for (const Case& c : cases) {
        EXPECT_EQ(sender.epochOf(c.sequence), c.epoch) << c.sequence;
    }
    EXPECT_EQ(EpochKeys(base).epochOf(1ULL << 24), 0U);
    EXPECT_EQ(EpochKeys(base).epochOf((1ULL << 24) + 1), 1U);
    const Key first = sender.at(4);
    EXPECT_EQ(first, sender.at(1));
    EXPECT_NE(first, sender.at(5));
    const Key second = sender.at(5);
    EXPECT_NE(second, sender.at(9));
    EXPECT_NE(first, base);

    // Sealed around a boundary and opened out of order: each under its epoch's key alone, each
    // once, the replay window unbroken by the change of key.
    ReplayWindow window;
    std::string plain;
    int opened = 0;
    for (std::uint64_t sequence : {3, 6, 4, 5, 9, 4, 6, 7}) {
        std::string datagram;
        seal(Kind::Data, 7, 0, sequence, "bytes", sender.at(sequence), Aead::ChaCha20Poly1305,
             datagram);
        const std::uint64_t other = sequence <= 4 ? sequence + 4 : sequence - 4;
        EXPECT_FALSE(openSealed(datagram, receiver.at(other), Aead::ChaCha20Poly1305, plain))
            << sequence;
        ASSERT_TRUE(openSealed(datagram, receiver.at(sequence), Aead::ChaCha20Poly1305, plain))
            << sequence;
        opened += window.take(sequence) ? 1 : 0;
    }
    EXPECT_EQ(opened, 6); // 4 and 6 came twice
    sender.wipe();
    EXPECT_NE(sender.at(1), receiver.at(1));
}

class Sealed : public ::testing::TestWithParam<Aead> {};

TEST_P(Sealed, OnlyTheRightKeyOpensAnUnalteredDatagram) {
    const Aead aead = GetParam();
    if (aead == Aead::Aes256Gcm && aeadsOffered() != "AC") {
        GTEST_SKIP() << "no AES-256-GCM on this processor";
    }
    const SessionKeys keys = keysOf(newKey(), sample());
    std::string datagram;
    seal(Kind::Data, 7, 4096, 1, "file bytes", keys.clientToServer, aead, datagram);
    EXPECT_EQ(datagram.size(), kSealedOverhead + 10);
    EXPECT_EQ(datagram.find("file bytes"), std::string::npos); // contents do not travel in clear
    std::string plain;
    const auto frame = openSealed(datagram, keys.clientToServer, aead, plain);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->kind, Kind::Data);
    EXPECT_EQ(frame->transfer, 7U);
    EXPECT_EQ(frame->value, 4096);
    EXPECT_EQ(frame->body, "file bytes");
    // Reflected back to its sender, it is under the other direction's key.
    EXPECT_FALSE(openSealed(datagram, keys.serverToClient, aead, plain));
    // Opened as the other cipher, it fails too.
    EXPECT_FALSE(openSealed(datagram, keys.clientToServer,
                            aead == Aead::Aes256Gcm ? Aead::ChaCha20Poly1305 : Aead::Aes256Gcm,
                            plain));
    for (std::size_t i = 1; i < datagram.size(); ++i) {
        std::string altered = datagram;
        altered[i] = static_cast<char>(altered[i] ^ 0x01);
        EXPECT_FALSE(openSealed(altered, keys.clientToServer, aead, plain)) << "byte " << i;
    }
    std::string finish;
    seal(Kind::Finish, 7, 10, 2, std::string(3, 'x'), keys.clientToServer, aead, finish);
    EXPECT_FALSE(openSealed(finish, keys.clientToServer, aead, plain)); // a digest is 32 bytes
    EXPECT_FALSE(
        openSealed(datagram.substr(0, kSealedOverhead - 1), keys.clientToServer, aead, plain));
}

INSTANTIATE_TEST_SUITE_P(Ciphers, Sealed,
                         ::testing::Values(Aead::ChaCha20Poly1305, Aead::Aes256Gcm));

// The server keeps nothing for a hello: the nonce it gives is checked when the proof comes, for
// the same hello from the same address within two time buckets.
TEST(StatelessChallenge, ANonceHoldsForItsHelloAndAddressWhileFresh) {
    ASSERT_TRUE(cryptoReady());
    const ChallengeMint mint;
    const ChallengeInput in{"poste1    ", keyIdOf(newKey()), 0x1234, newNonce(), "127.0.0.1 4000"};
    const std::int64_t t0 = 10 * ChallengeMint::kBucketMs + 14999; // the end of a bucket
    const Nonce nonce = mint.mint(in, t0);
    EXPECT_TRUE(mint.fresh(in, nonce, t0));
    EXPECT_TRUE(mint.fresh(in, nonce, t0 + ChallengeMint::kBucketMs));      // next bucket
    EXPECT_FALSE(mint.fresh(in, nonce, t0 + ChallengeMint::kBucketMs + 1)); // two buckets on
    EXPECT_NE(mint.mint(in, t0 + 1), nonce);                                // a new bucket
    auto other = [&](auto edit) {
        ChallengeInput changed = in;
        std::string address;
        edit(changed, address);
        return !mint.fresh(changed, nonce, t0);
    };
    EXPECT_TRUE(other([](ChallengeInput& c, std::string& a) {
        a = "127.0.0.1 4001";
        c.address = a;
    }));
    EXPECT_TRUE(other([](ChallengeInput& c, std::string&) { c.transfer ^= 1; }));
    EXPECT_TRUE(other([](ChallengeInput& c, std::string&) { c.client = newNonce(); }));
    EXPECT_TRUE(other([](ChallengeInput& c, std::string&) { c.origin = "poste2    "; }));
    EXPECT_TRUE(other([](ChallengeInput& c, std::string&) { c.keyId = keyIdOf(newKey()); }));
    const ChallengeMint restarted; // another secret
    EXPECT_FALSE(restarted.fresh(in, nonce, t0));

    // A proof is taken once while it could be fresh, and forgotten after.
    UsedProofs used;
    EXPECT_TRUE(used.take(1, in.client, t0));
    EXPECT_FALSE(used.take(1, in.client, t0 + 1000));
    EXPECT_TRUE(used.take(2, in.client, t0 + 1000));
    EXPECT_TRUE(used.take(1, in.client, t0 + UsedProofs::kKeepMs));
    EXPECT_EQ(used.size(), 2U);
}

// An Ack in clear is at most three times the datagram that drew it, whatever that was.
TEST(AmplificationBudget, AnAckInClearStaysWithinThreeTimesWhatDrewIt) {
    for (std::size_t drawn : {std::size_t{1}, std::size_t{7}, std::size_t{22}, std::size_t{23},
                              std::size_t{54}, std::size_t{200}, std::size_t{1400}}) {
        std::vector<Range> ranges;
        for (std::size_t i = 0; i < rangesWithin(drawn); ++i) {
            ranges.push_back(Range{static_cast<std::int64_t>(10 * i + 2),
                                   static_cast<std::int64_t>(10 * i + 3)});
        }
        std::string ack;
        encodeAck(9, 1, ranges, ack);
        EXPECT_LE(ack.size(), std::max<std::size_t>(3 * drawn, kHeadBytes)) << drawn;
    }
    EXPECT_EQ(rangesWithin(23), 2U);                     // the 23-byte datagram once drew 534 bytes
    EXPECT_EQ(rangesWithin(1400), kMostRangesPerAnswer); // real pieces lose nothing
}

TEST(ReplayWindow, TakesEachNumberOnceEvenOutOfOrder) {
    ReplayWindow window;
    EXPECT_FALSE(window.take(0));
    EXPECT_TRUE(window.take(5));
    EXPECT_TRUE(window.take(3)); // late, not seen
    EXPECT_FALSE(window.take(5));
    EXPECT_FALSE(window.take(3));
    EXPECT_TRUE(window.take(5 + ReplayWindow::kSpan));
    EXPECT_FALSE(window.take(5)); // too far behind to tell: refused
    EXPECT_TRUE(window.take(6));  // the oldest it still tells
    EXPECT_TRUE(window.take(10 * ReplayWindow::kSpan));
    EXPECT_TRUE(window.take(10 * ReplayWindow::kSpan - 1));
    EXPECT_FALSE(window.take(10 * ReplayWindow::kSpan - 1));
}

} // namespace
