// The extension's sender for a keyed origin: its headers prove the origin's key against the
// server's challenge, it believes only a server that proves the same key, and its transfers go
// sealed. It never falls back to the plain protocol, which would send the file in clear.

#include "extendedsender.h"
#include "keyedtransfer.h"

#include <sodium.h>

namespace zelk {

// A keyed header names no file in clear: the hello names nothing, and the header with the proof
// seals the name and size under the keys the exchange just gave. One client nonce per transfer
// until its handshake succeeds: a late challenge for an earlier header of the same transfer still
// proves the server.
std::string ExtendedSender::keyedHeader(std::uint64_t transfer) {
    if (!handshake_ || handshakeFor_ != transfer) {
        newHandshake(transfer);
    }
    std::string fields =
        ext::offerField(ext::Offer{transfer, ext::kSealedSize}) + ';' +
        handshake_->helloField(*key_,
                               KeyedTransfer::Offer{settings_.origin, handshakeFor_, size_, name_});
    if (settings_.transfers > 1) {
        fields += ';' + ext::multiField(std::min(settings_.transfers, ext::kMostTransfersAsked));
    }
    return buildHeaderFrame(settings_.origin, std::string(ext::kSealedName),
                            ext::plainSizeText(ext::kSealedSize), fields);
}

// The handshake it replaces is wiped: it opened no session, or its session's keys exist.
void ExtendedSender::newHandshake(std::uint64_t transfer) {
    handshake_.reset();
    handshakeFor_ = transfer;
    if (transfer != 0) {
        handshake_ = std::make_unique<KeyedTransfer>(random_);
    }
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
    // Nothing changes before the proof holds: a forged challenge, whatever cipher it names, leaves
    // the handshake under way as it was.
    if (!handshake_ || challenge.transfer != memory().transfer ||
        handshakeFor_ != challenge.transfer ||
        !handshake_->challenge(*key_,
                               KeyedTransfer::Offer{settings_.origin, handshakeFor_, size_, name_},
                               challenge)) {
        return false;
    }
    unproven_ = false;
    add(ExtAction::Kind::KeyProven);
    add(ExtAction::Kind::HeaderAgain).text = offeredHeader(); // the proof waits its own full wait
    return true;
}

bool ExtendedSender::takeProvenAccept(const ext::ProvenAccept& proven, std::string_view bytes,
                                      std::int64_t nowUs) {
    const ext::Accept& accept = proven.accept;
    if (!handshake_ || accept.transfer != memory().transfer || handshakeFor_ != accept.transfer ||
        !handshake_->accept(*key_,
                            KeyedTransfer::Offer{settings_.origin, handshakeFor_, size_, name_},
                            proven, nullptr)) {
        return false;
    }
    std::optional<ext::Session> session = handshake_->takeSession();
    std::optional<SessionSecret> secret = handshake_->takeSecret();
    newHandshake(0); // the next announce proves the key afresh
    unproven_ = false;
    if (const auto grant = ext::findGrant(bytes); grant && *grant > 1 && settings_.transfers > 1) {
        // The session takes the transfer, with its keys and the secret of later ones.
        handed_ = HandedKeys{std::move(*session), secret->secret};
        secret->wipe();
        granted(accept, *grant);
    } else {
        secret->wipe();
        acceptedOffer(accept, nowUs, std::move(*session));
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
