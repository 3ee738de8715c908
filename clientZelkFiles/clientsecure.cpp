// The client's side of a keyed origin: its headers prove the origin's key against the server's
// challenge, it believes only a server that proves the same key, and its transfers go sealed.
// It never falls back to the plain protocol, which would send the file in clear.

#include "clientengine.h"

namespace zelk {

bool ClientEngine::loadKey(QString& error) {
    key_.reset();
    sender_.setKeyed(false);
    handshake_ = Handshake{};
    unproven_ = false;
    if (cfg_.cfgFichierCle.empty()) {
        return true;
    }
    if (!extensionOn_) {
        error = QStringLiteral("a key (\"fichier_Cles_C=\") needs the extension, which "
                               "\"offreExtension=N\" turns off");
        return false;
    }
    std::vector<ext::KeyLine> lines;
    std::string why;
    if (!ext::loadKeyFile(cfg_.cfgFichierCle, false, lines, why)) {
        error = QString::fromLocal8Bit(why) + QStringLiteral(" (\"fichier_Cles_C=\")");
        return false;
    }
    key_ = lines.front().key; // the first: a second is the next one, for the server's file
    sender_.setKeyed(true);
    return true;
}

// One client nonce per transfer until its handshake succeeds: a late challenge for an earlier
// header of the same transfer still proves the server.
std::string ClientEngine::helloField(std::uint64_t transfer) {
    if (handshake_.transfer != transfer) {
        handshake_ = Handshake{transfer, ext::newNonce(), std::nullopt, {}, {}};
    }
    return ext::helloField(ext::Hello{ext::keyIdOf(*key_), handshake_.client, ext::aeadsOffered(),
                                      handshake_.server, handshake_.proof});
}

ext::Transcript ClientEngine::transcript(const ext::Nonce& server) const {
    return ext::Transcript{cfg_.cfgIdOrigine,       handshake_.transfer, tailleFichier_,
                           lstFilPos_.front().name, handshake_.client,   server,
                           ext::aeadsOffered(),     handshake_.aead};
}

// An answer that proves nothing is no answer: the header goes again when the wait runs out.
bool ClientEngine::keyedAnswer(std::string_view bytes) {
    if (const auto challenge = ext::findChallenge(bytes)) {
        if (!answerChallenge(*challenge)) {
            serverUnproven("a challenge that does not prove the key");
        }
        return true;
    }
    if (const auto proven = ext::findProvenAccept(bytes)) {
        if (!takeProvenAccept(*proven)) {
            serverUnproven("an acceptance that does not prove the key");
        }
        return true;
    }
    serverUnproven("an answer without a proof of the key: the server has no key for this "
                   "origin, or does not know keys");
    return true;
}

// The server proved the key over this client's nonce: the header goes again at once, with this
// client's proof over the server's nonce.
bool ClientEngine::answerChallenge(const ext::Challenge& challenge) {
    if (challenge.transfer != memoryOfFirst().transfer ||
        handshake_.transfer != challenge.transfer ||
        ext::aeadsOffered().find(static_cast<char>(challenge.aead)) == std::string::npos) {
        return false;
    }
    // Nothing changes before the proof holds: a forged challenge, whatever cipher it names, leaves
    // the handshake under way as it was.
    ext::Transcript t = transcript(challenge.server);
    t.aead = challenge.aead; // covered by the server's proof
    if (!ext::sameMac(challenge.proof, ext::serverProof(*key_, t))) {
        return false;
    }
    handshake_.aead = challenge.aead;
    handshake_.server = challenge.server;
    handshake_.proof = ext::clientProof(*key_, t);
    unproven_ = false;
    if (trace_.enabled()) {
        trace_.write("key proven", "by the server, for \"" + lstFilPos_.front().name +
                                       "\": the header goes again with this client's proof");
    }
    timAttente_.disable();
    timAttente_.enable(); // the proof waits its own full wait
    send(offeredHeader(lstFilPos_.front(), tailleFichier_));
    return true;
}

bool ClientEngine::takeProvenAccept(const ext::ProvenAccept& proven) {
    const ext::Accept& accept = proven.accept;
    if (!handshake_.server || accept.transfer != memoryOfFirst().transfer ||
        handshake_.transfer != accept.transfer || accept.cumulative > tailleFichier_) {
        return false;
    }
    const ext::Transcript t = transcript(*handshake_.server);
    if (!ext::sameMac(proven.proof, ext::acceptProof(*key_, t, accept.cumulative))) {
        return false;
    }
    const ext::SessionKeys keys = ext::sessionKeys(*key_, t);
    const ext::Nonce server = *handshake_.server;
    const ext::Aead aead = handshake_.aead;
    handshake_ = Handshake{}; // the next announce proves the key afresh
    unproven_ = false;
    acceptedOffer(accept,
                  ext::Session{keys.clientToServer, keys.serverToClient, 0, {}, server, aead});
    return true;
}

void ClientEngine::serverUnproven(const std::string& why) {
    if (!unproven_) {
        unproven_ = true;
        emit statusChanged();
    }
    // Said whatever the trace setting: a key the server lacks, or someone forging its answers,
    // needs an operator. The trace paces warnings that keep coming back.
    trace_.write("key not proven", "the server does not prove the key: " + why);
}

void ClientEngine::sealedAnswer(std::string_view bytes) {
    const auto head = ext::sealedHead(bytes);
    if (!head || !ext_ || !ext_->session || head->transfer != ext_->transfer ||
        lstFilPos_.empty()) {
        if (trace_.enabled()) {
            trace_.write("answer ignored", "a sealed datagram of " + std::to_string(bytes.size()) +
                                               " bytes for no transfer under way");
        }
        return;
    }
    const auto frame =
        ext::openSealed(bytes, ext_->session->receiveKey, ext_->session->aead, opened_);
    if (!frame || !ext_->session->received.take(head->sequence)) {
        if (trace_.enabled()) {
            trace_.write("answer ignored", frame ? "a sealed datagram seen already"
                                                 : "a sealed datagram that fails authentication");
        }
        return;
    }
    extendedFrame(*frame);
}

} // namespace zelk
