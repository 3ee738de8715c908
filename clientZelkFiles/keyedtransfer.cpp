#include "keyedtransfer.h"

#include <sodium.h>

#include <utility>

namespace zelk {

KeyedTransfer::KeyedTransfer(ExtRandom& random) {
    restart(random);
}

void SessionSecret::wipe() {
    sodium_memzero(secret.data(), secret.size());
}

KeyedTransfer::KeyedTransfer(ext::Session session) : session_(std::move(session)) {}

KeyedTransfer::KeyedTransfer(ExtRandom& random, const SessionSecret& from)
    : resumed_(Resumed{from.session, random.nonce(), from.aead}) {}

KeyedTransfer::~KeyedTransfer() {
    wipeHandshake();
    wipeSession();
    if (secret_) {
        secret_->wipe();
    }
}

std::optional<SessionSecret> KeyedTransfer::takeSecret() {
    return std::exchange(secret_, std::nullopt);
}

// Transcripts are of the header as it travels, whose name and sizes are the sealed name's
// placeholders.
ext::Transcript KeyedTransfer::resumedTranscript(const Offer& offer) const {
    return ext::resumedTranscript(offer.origin, offer.transfer, ext::kSealedSize, ext::kSealedName,
                                  resumed_->client, resumed_->aead);
}

std::string KeyedTransfer::resumeField(const SessionSecret& from, const Offer& offer) const {
    if (!resumed_ || from.session != resumed_->session) {
        return {};
    }
    const ext::Transcript t = resumedTranscript(offer);
    ext::SessionKeys keys = ext::resumedKeys(from.secret, t, from.session);
    std::string fields =
        ext::resumeField(ext::Resume{from.session, resumed_->client,
                                     ext::resumeProof(from.secret, t, from.session)}) +
        ';' + ext::namesField(keys.names, offer.transfer, {std::string(offer.name), offer.size});
    sodium_memzero(&keys, sizeof keys);
    return fields;
}

// The server proves its acceptance with the origin's key over the resumed transcript, as over a
// handshake's: only the key's holders make it, and the client's nonce makes it this offer's.
bool KeyedTransfer::acceptResumed(const ext::Key& key, const Offer& offer,
                                  const ext::ProvenAccept& proven, const SessionSecret& from) {
    if (from.session != resumed_->session) {
        return false;
    }
    const ext::Transcript t = resumedTranscript(offer);
    if (!ext::sameMac(proven.proof, ext::acceptProof(key, t, proven.accept.cumulative))) {
        return false;
    }
    if (early_) {
        return true; // its keys exist, and have sealed its first pieces: never derived again
    }
    takeResumedKeys(from, t);
    return true;
}

void KeyedTransfer::takeResumedKeys(const SessionSecret& from, const ext::Transcript& t) {
    ext::SessionKeys keys = ext::resumedKeys(from.secret, t, from.session);
    wipeSession();
    ext::Session& s = session_.emplace();
    s.send = ext::EpochKeys(keys.clientToServer);
    s.receive = ext::EpochKeys(keys.serverToClient);
    s.server = resumed_->client;
    s.aead = resumed_->aead;
    sodium_memzero(&keys, sizeof keys);
}

void KeyedTransfer::wipeHandshake() {
    if (handshake_) {
        sodium_memzero(handshake_->secret.data(), handshake_->secret.size());
        if (handshake_->keys) {
            sodium_memzero(&*handshake_->keys, sizeof *handshake_->keys);
        }
        handshake_.reset();
    }
}

void KeyedTransfer::wipeSession() {
    if (session_) {
        session_->send.wipe();
        session_->receive.wipe();
        session_.reset();
    }
}

bool KeyedTransfer::earlyKeys(const SessionSecret& from, const Offer& offer) {
    if (!resumed_ || from.session != resumed_->session) {
        return false;
    }
    if (!early_) {
        takeResumedKeys(from, resumedTranscript(offer));
        early_ = true;
    }
    return true;
}

void KeyedTransfer::restart(ExtRandom& random) {
    wipeHandshake();
    resumed_.reset();
    early_ = false;
    Handshake& h = handshake_.emplace();
    h.client = random.nonce();
    h.secret = random.ephemeral();
    h.ephemeral = ext::ephemeralPublic(h.secret);
}

std::string KeyedTransfer::helloField(const ext::Key& key, const Offer& offer) const {
    if (!handshake_) {
        return {};
    }
    const Handshake& h = *handshake_;
    std::string fields = ext::helloField(ext::Hello{
        ext::keyIdOf(key), h.client, ext::aeadsOffered(), h.server, h.proof, h.ephemeral, true});
    if (h.keys) {
        fields += ';' + ext::namesField(h.keys->names, offer.transfer,
                                        {std::string(offer.name), offer.size});
    }
    return fields;
}

ext::Transcript KeyedTransfer::transcript(const Offer& offer, const ext::Nonce& server) const {
    const Handshake& h = *handshake_;
    ext::Transcript t;
    t.origin = std::string(offer.origin);
    t.transfer = offer.transfer;
    t.size = ext::kSealedSize; // the header as it travels
    t.name = std::string(ext::kSealedName);
    t.client = h.client;
    t.server = server;
    t.aeads = ext::aeadsOffered();
    t.aead = h.aead;
    t.clientEphemeral = h.ephemeral;
    t.serverEphemeral = h.serverEphemeral;
    return t;
}

// A server's ephemeral key that leaves no shared secret would leave the keys to the long-term key
// alone: such a challenge proves nothing usable.
bool KeyedTransfer::challenge(const ext::Key& key, const Offer& offer,
                              const ext::Challenge& challenge) {
    if (!handshake_ || challenge.transfer != offer.transfer ||
        ext::aeadsOffered().find(static_cast<char>(challenge.aead)) == std::string::npos) {
        return false;
    }
    ext::Transcript t = transcript(offer, challenge.server);
    t.aead = challenge.aead;
    t.serverEphemeral = challenge.ephemeral;
    if (!ext::sameMac(challenge.proof, ext::serverProof(key, t))) {
        return false;
    }
    auto keys = ext::sessionKeys(key, t, handshake_->secret, t.serverEphemeral);
    if (!keys) {
        return false;
    }
    Handshake& h = *handshake_;
    if (h.keys) {
        sodium_memzero(&*h.keys, sizeof *h.keys);
    }
    h.keys = keys;
    sodium_memzero(&*keys, sizeof *keys);
    h.aead = challenge.aead;
    h.server = challenge.server;
    h.serverEphemeral = challenge.ephemeral;
    h.proof = ext::clientProof(key, t);
    return true;
}

bool KeyedTransfer::accept(const ext::Key& key, const Offer& offer, const ext::ProvenAccept& proven,
                           const SessionSecret* from) {
    if (proven.accept.transfer != offer.transfer || proven.accept.cumulative > offer.size) {
        return false;
    }
    if (resumed_) {
        return from != nullptr && acceptResumed(key, offer, proven, *from);
    }
    if (!handshake_ || !handshake_->server || !handshake_->keys) {
        return false;
    }
    const ext::Transcript t = transcript(offer, *handshake_->server);
    if (!ext::sameMac(proven.proof, ext::acceptProof(key, t, proven.accept.cumulative))) {
        return false;
    }
    auto keys = handshake_->keys; // wiped below, with the handshake's copy
    wipeSession();
    ext::Session& s = session_.emplace();
    s.send = ext::EpochKeys(keys->clientToServer);
    s.receive = ext::EpochKeys(keys->serverToClient);
    s.server = *handshake_->server;
    s.aead = handshake_->aead;
    if (secret_) {
        secret_->wipe();
    }
    secret_ = SessionSecret{offer.transfer, keys->resume, handshake_->aead, 0};
    sodium_memzero(&*keys, sizeof *keys);
    wipeHandshake();
    return true;
}

std::size_t KeyedTransfer::sealPiece(char* frame, std::uint64_t transfer, std::int64_t offset,
                                     std::size_t n) {
    const std::uint64_t sequence = ++session_->sent;
    return ext::sealInPlace(frame, ext::Kind::Data, transfer, offset, sequence, n,
                            session_->send.at(sequence), session_->aead);
}

void KeyedTransfer::seal(ext::Kind kind, std::uint64_t transfer, std::int64_t value,
                         std::string_view body, std::string& out) {
    const std::uint64_t sequence = ++session_->sent;
    ext::seal(kind, transfer, value, sequence, body, session_->send.at(sequence), session_->aead,
              out);
}

std::optional<ext::Frame> KeyedTransfer::open(std::string_view bytes, std::string& opened) {
    const auto head = ext::sealedHead(bytes);
    if (!head || !session_) {
        return std::nullopt;
    }
    auto frame =
        ext::openSealed(bytes, session_->receive.at(head->sequence), session_->aead, opened);
    if (!frame || !session_->received.take(head->sequence)) {
        return std::nullopt;
    }
    return frame;
}

const SessionSecret* SessionSecrets::forOffer() {
    if (!current_ || current_->opened >= ext::kResumedPerSecret) {
        return nullptr;
    }
    if (!renewing_ && current_->opened + kRenewAhead >= ext::kResumedPerSecret) {
        renewing_ = true;
        return nullptr;
    }
    ++current_->opened;
    return &*current_;
}

const SessionSecret* SessionSecrets::find(std::uint64_t session) const {
    if (session != 0 && current_ && current_->session == session) {
        return &*current_;
    }
    if (session != 0 && older_ && older_->session == session) {
        return &*older_;
    }
    return nullptr;
}

void SessionSecrets::took(const SessionSecret& next) {
    const bool spent = current_ && current_->opened >= ext::kResumedPerSecret;
    if (current_ && !renewing_ && !spent) {
        return;
    }
    wipe(older_);
    older_ = current_;
    wipe(current_);
    current_ = next;
    current_->opened = 0;
    renewing_ = false;
}

void SessionSecrets::lost(std::uint64_t session) {
    if (current_ && current_->session == session) {
        wipe(current_);
        renewing_ = false;
    }
    if (older_ && older_->session == session) {
        wipe(older_);
    }
}

void SessionSecrets::forget() {
    wipe(current_);
    wipe(older_);
    renewing_ = false;
}

void SessionSecrets::wipe(std::optional<SessionSecret>& secret) {
    if (secret) {
        secret->wipe();
        secret.reset();
    }
}

} // namespace zelk
