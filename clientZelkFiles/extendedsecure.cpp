// The extension's sender for a keyed origin: its headers prove the origin's key against the
// server's challenge, it believes only a server that proves the same key, and its transfers go
// sealed. It never falls back to the plain protocol, which would send the file in clear.

#include "extendedsender.h"

#include <sodium.h>

namespace zelk {

// One client nonce per transfer until its handshake succeeds: a late challenge for an earlier
// header of the same transfer still proves the server.
std::string ExtendedSender::helloField(std::uint64_t transfer) {
    if (handshake_.transfer != transfer) {
        newHandshake(transfer);
    }
    return ext::helloField(ext::Hello{ext::keyIdOf(*key_), handshake_.client, ext::aeadsOffered(),
                                      handshake_.server, handshake_.proof, handshake_.ephemeral,
                                      true});
}

// A keyed header names no file in clear: the hello names nothing, and the header with the proof
// seals the name and size under the keys the exchange just gave.
std::string ExtendedSender::keyedHeader(std::uint64_t transfer) {
    std::string fields =
        ext::offerField(ext::Offer{transfer, ext::kSealedSize}) + ';' + helloField(transfer);
    if (handshake_.keys) {
        fields += ';' + ext::namesField(handshake_.keys->names, transfer, {name_, size_});
    }
    if (settings_.transfers > 1) {
        fields += ';' + ext::multiField(std::min(settings_.transfers, ext::kMostTransfersAsked));
    }
    return buildHeaderFrame(settings_.origin, std::string(ext::kSealedName),
                            ext::plainSizeText(ext::kSealedSize), fields);
}

// The ephemeral secret of the handshake it replaces is wiped: it opened no session, or its
// session's keys exist.
void ExtendedSender::newHandshake(std::uint64_t transfer) {
    sodium_memzero(handshake_.secret.data(), handshake_.secret.size());
    if (handshake_.keys) {
        sodium_memzero(&*handshake_.keys, sizeof *handshake_.keys);
    }
    handshake_ = Handshake{};
    if (transfer != 0) {
        handshake_.transfer = transfer;
        handshake_.client = random_.nonce();
        handshake_.secret = random_.ephemeral();
        handshake_.ephemeral = ext::ephemeralPublic(handshake_.secret);
    }
}

ext::Transcript ExtendedSender::transcript(const ext::Nonce& server) const {
    // The header as it travels: the sealed name's placeholders.
    ext::Transcript t{settings_.origin,    handshake_.transfer,
                      ext::kSealedSize,    std::string(ext::kSealedName),
                      handshake_.client,   server,
                      ext::aeadsOffered(), handshake_.aead};
    t.clientEphemeral = handshake_.ephemeral;
    t.serverEphemeral = handshake_.serverEphemeral;
    return t;
}

// An answer that proves nothing is no answer: the header goes again when the wait runs out.
void ExtendedSender::keyedAnswer(std::string_view bytes, std::int64_t nowUs) {
    if (const auto challenge = ext::findChallenge(bytes)) {
        if (!answerChallenge(*challenge)) {
            serverUnproven("a challenge that does not prove the key");
        }
        return;
    }
    if (const auto proven = ext::findProvenAccept(bytes)) {
        if (!takeProvenAccept(*proven, bytes, nowUs)) {
            serverUnproven("an acceptance that does not prove the key");
        }
        return;
    }
    serverUnproven("an answer without a proof of the key: the server has no key for this "
                   "origin, or does not know keys");
}

// The server proved the key over this client's nonce: the header goes again at once, with this
// client's proof over the server's nonce.
bool ExtendedSender::answerChallenge(const ext::Challenge& challenge) {
    if (challenge.transfer != memory().transfer || handshake_.transfer != challenge.transfer ||
        ext::aeadsOffered().find(static_cast<char>(challenge.aead)) == std::string::npos) {
        return false;
    }
    // Nothing changes before the proof holds: a forged challenge, whatever cipher it names, leaves
    // the handshake under way as it was.
    ext::Transcript t = transcript(challenge.server);
    t.aead = challenge.aead; // covered by the server's proof, as its ephemeral key is
    t.serverEphemeral = challenge.ephemeral;
    if (!ext::sameMac(challenge.proof, ext::serverProof(*key_, t))) {
        return false;
    }
    auto keys = ext::sessionKeys(*key_, t, handshake_.secret, t.serverEphemeral);
    if (!keys) {
        return false;
    }
    if (handshake_.keys) {
        sodium_memzero(&*handshake_.keys, sizeof *handshake_.keys);
    }
    handshake_.keys = keys;
    sodium_memzero(&*keys, sizeof *keys);
    handshake_.aead = challenge.aead;
    handshake_.server = challenge.server;
    handshake_.serverEphemeral = challenge.ephemeral;
    handshake_.proof = ext::clientProof(*key_, t);
    unproven_ = false;
    add(ExtAction::Kind::KeyProven);
    add(ExtAction::Kind::HeaderAgain).text = offeredHeader(); // the proof waits its own full wait
    return true;
}

bool ExtendedSender::takeProvenAccept(const ext::ProvenAccept& proven, std::string_view bytes,
                                      std::int64_t nowUs) {
    const ext::Accept& accept = proven.accept;
    if (!handshake_.server || !handshake_.keys || accept.transfer != memory().transfer ||
        handshake_.transfer != accept.transfer || accept.cumulative > size_) {
        return false;
    }
    const ext::Transcript t = transcript(*handshake_.server);
    if (!ext::sameMac(proven.proof, ext::acceptProof(*key_, t, accept.cumulative))) {
        return false;
    }
    auto keys = handshake_.keys; // wiped below, with the handshake's copy
    const ext::Nonce server = *handshake_.server;
    const ext::Aead aead = handshake_.aead;
    newHandshake(0); // the next announce proves the key afresh
    unproven_ = false;
    ext::Session session;
    session.send = ext::EpochKeys(keys->clientToServer);
    session.receive = ext::EpochKeys(keys->serverToClient);
    session.server = server;
    session.aead = aead;
    if (const auto grant = ext::findGrant(bytes); grant && *grant > 1 && settings_.transfers > 1) {
        // The session takes the transfer, with its keys and the secret of later ones.
        handed_ = HandedKeys{std::move(session), keys->resume};
        sodium_memzero(&*keys, sizeof *keys);
        granted(accept, *grant);
    } else {
        sodium_memzero(&*keys, sizeof *keys);
        acceptedOffer(accept, nowUs, std::move(session));
    }
    return true;
}

// Said whatever the trace setting: a key the server lacks, or someone forging its answers, needs
// an operator.
void ExtendedSender::serverUnproven(std::string why) {
    ExtAction& unproven = add(ExtAction::Kind::KeyUnproven, unproven_ ? 0 : 1);
    unproven.text = std::move(why);
    unproven_ = true;
}

void ExtendedSender::sealedAnswer(std::string_view bytes, const std::string* first,
                                  std::int64_t nowUs) {
    const auto head = ext::sealedHead(bytes);
    if (!head || !transfer_ || !transfer_->session || head->transfer != transfer_->transfer ||
        first == nullptr) {
        ignore("a sealed datagram of " + std::to_string(bytes.size()) +
               " bytes for no transfer under way");
        return;
    }
    ext::Session& session = *transfer_->session;
    const auto frame =
        ext::openSealed(bytes, session.receive.at(head->sequence), session.aead, opened_);
    if (!frame || !session.received.take(head->sequence)) {
        ignore(frame ? "a sealed datagram seen already"
                     : "a sealed datagram that fails authentication");
        return;
    }
    onFrame(*frame, nowUs);
}

} // namespace zelk
