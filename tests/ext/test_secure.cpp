#include "secure.h"

#include <gtest/gtest.h>
#include <string>
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
               sessionKeys(key, t).clientToServer != sessionKeys(key, other).clientToServer;
    };
    EXPECT_TRUE(changed([](Transcript& o) { o.client = newNonce(); })); // a replayed session
    EXPECT_TRUE(changed([](Transcript& o) { o.server = newNonce(); }));
    EXPECT_TRUE(changed([](Transcript& o) { o.name = "other.pdf"; }));
    EXPECT_TRUE(changed([](Transcript& o) { o.size += 1; }));
    EXPECT_TRUE(changed([](Transcript& o) { o.origin = "poste-02"; }));
    EXPECT_TRUE(changed([](Transcript& o) { o.transfer ^= 1; }));
    const SessionKeys keys = sessionKeys(key, t);
    EXPECT_NE(keys.clientToServer, keys.serverToClient);
    EXPECT_NE(keyIdOf(key), keyIdOf(newKey()));
}

TEST(Handshake, FieldsReadBackAndMalformedOnesAreRefused) {
    Hello hello{keyIdOf(newKey()), newNonce(), "AC", std::nullopt, {}};
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

    const Challenge challenge{0xabcULL, newNonce(), Aead::Aes256Gcm,
                              serverProof(newKey(), sample())};
    const auto back = findChallenge("PTE;1;END" + challengeSuffix(challenge));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->transfer, 0xabcULL);
    EXPECT_EQ(back->server, challenge.server);
    EXPECT_EQ(back->aead, Aead::Aes256Gcm);
    EXPECT_FALSE(findChallenge("PTE;1;END;ZXK,0000000000000000,00,00"));
    EXPECT_FALSE(findChallenge("PTE;1;END"));

    const ProvenAccept accept{Accept{0xabcULL, 42}, acceptProof(newKey(), sample(), 42)};
    const auto got = findProvenAccept("PTE;43;END" + provenAcceptSuffix(accept));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->accept.cumulative, 42);
    EXPECT_EQ(got->proof, accept.proof);
    EXPECT_FALSE(findProvenAccept("PTE;43;END" + acceptSuffix(accept.accept)));
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

class Sealed : public ::testing::TestWithParam<Aead> {};

TEST_P(Sealed, OnlyTheRightKeyOpensAnUnalteredDatagram) {
    const Aead aead = GetParam();
    if (aead == Aead::Aes256Gcm && aeadsOffered() != "AC") {
        GTEST_SKIP() << "no AES-256-GCM on this processor";
    }
    const SessionKeys keys = sessionKeys(newKey(), sample());
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
