// The server's side of keyed origins: a transfer starts only once its sender proved the origin's
// key against a fresh challenge, and goes on in sealed datagrams under keys of its own. Nothing
// in clear that names a keyed origin changes anything; origins without a key are served as
// before, or refused.

#include "serveurengine.h"

#include <algorithm>
#include <cstring>

namespace zelk {
namespace {

// Sessions of transfers neither under way nor verified lately are forgotten beyond this many.
constexpr std::size_t kSessionsKept = 1024;
// Lines about input nobody authenticated: a burst, then so many a second.
constexpr std::int64_t kFloodLinesBurst = 1000;
constexpr std::int64_t kFloodLinesPerSecond = 100;

bool blankOrigin(std::string_view origin) {
    return origin.find_first_not_of(' ') == std::string_view::npos;
}

} // namespace

bool ServeurEngine::loadKeys(QString& error) {
    keys_.clear();
    sessions_.clear();
    mint_ = std::make_unique<ext::ChallengeMint>();
    usedProofs_ = ext::UsedProofs{};
    floodTokens_ = kFloodLinesBurst;
    floodRefillMs_ = 0;
    floodLeftOut_ = 0;
    keylessServed_ = keylessServed(cfg_.cfgSansCle);
    PlainReceiver::Settings settings = core_.settings();
    settings.evictionMs = evictionSecondsOf(cfg_.cfgEviction) * 1000;
    settings.keyedOrigins = 0;
    core_.setSettings(settings);
    if (cfg_.cfgFichierCles.empty()) {
        return true;
    }
    std::vector<ext::KeyLine> lines;
    std::string why;
    if (!ext::loadKeyFile(cfg_.cfgFichierCles, true, lines, why)) {
        error = QString::fromLocal8Bit(why) + QStringLiteral(" (\"fichier_Cles_S=\")");
        return false;
    }
    for (const ext::KeyLine& line : lines) {
        keys_[line.origin].push_back(OriginKey{line.key, ext::keyIdOf(line.key)});
    }
    settings.keyedOrigins = static_cast<int>(keys_.size());
    core_.setSettings(settings);
    if (trace_.enabled()) {
        trace_.write("keys loaded", std::to_string(keys_.size()) + " origin(s) with a key, from " +
                                        cfg_.cfgFichierCles);
    }
    trace_.write("blank origin refused",
                 "keys are loaded: the origin of ten blanks, whose files would land in the receive "
                 "folder itself beside the origins' folders, is refused");
    return true;
}

// A keyed origin is heard only through headers over UDP that carry the handshake; an origin
// without a key only when the server serves such origins. While keys are loaded, the origin of
// ten blanks is refused: it writes into the receive folder itself, where a file of its own named
// like a keyed origin would stand in that origin's folder's way.
bool ServeurEngine::admitted(bool header) {
    const std::string_view origin = tamponRecu.substr(1, kOriginWidth);
    if (keyedOrigin(origin)) {
        if (!header || modeTcp) {
            authFailed(header ? "header over TCP naming an origin with a key"
                              : "plain content naming an origin with a key");
            return false;
        }
        return true;
    }
    if (!keylessServed_) {
        drop("frame from an origin without a key, which this server refuses");
        return false;
    }
    if (!keys_.empty() && blankOrigin(origin)) {
        drop("frame from the origin of ten blanks, refused while keys are loaded");
        return false;
    }
    return true;
}

void ServeurEngine::keyedHeader(HeaderCall& call) {
    const auto payload = tamponRecu.substr(static_cast<std::size_t>(check_.posDebutDonnees),
                                           static_cast<std::size_t>(check_.longDonnees));
    const auto offer = ext::findOffer(payload);
    const auto hello = ext::findHello(payload);
    if (!offer || !hello || offer->size <= 0 ||
        call.tailleTotale != ext::plainSizeText(offer->size)) {
        authFailed("header without the handshake, naming an origin with a key");
        return;
    }
    const ext::Key* key = keyById(call.nomOrigine, hello->keyId);
    if (key == nullptr) {
        authFailed("header under a key the origin does not have");
        return;
    }
    ext::Transcript t{
        call.nomOrigine, offer->transfer,           offer->size, call.nomFichier, hello->client, {},
        hello->aeads,    ext::aeadFor(hello->aeads)};
    if (!hello->server) {
        sendChallenge(*key, hello->keyId, t);
        return;
    }
    t.server = *hello->server;
    if (!ext::sameMac(hello->proof, ext::clientProof(*key, t))) {
        authFailed("header whose proof of the key is wrong");
        return;
    }
    if (freshProof(t, hello->keyId)) {
        call.offer = offer;
        provenHeader(*key, hello->keyId, t, call);
    } else if (!repeatedProof(*key, hello->keyId, t, call)) {
        // The challenge ran out, or a restart changed the secret, or the header was recorded and
        // played again: only a new challenge, which only the key's holder can answer.
        sendChallenge(*key, hello->keyId, t);
    }
}

const ext::Key* ServeurEngine::keyById(const std::string& origin, const ext::KeyId& id) const {
    const auto found = keys_.find(origin);
    if (found == keys_.end()) {
        return nullptr;
    }
    for (const OriginKey& key : found->second) {
        if (key.id == id) {
            return &key.key;
        }
    }
    return nullptr;
}

ext::ChallengeInput ServeurEngine::challengeInput(const ext::Transcript& t,
                                                  const ext::KeyId& keyId) {
    addressText_ = peerAddress_.toString().toStdString() + ' ' + std::to_string(peerPort_);
    return ext::ChallengeInput{t.origin, keyId, t.transfer, t.client, addressText_};
}

// The answer proves the server's key over the sender's fresh nonce, and gives a nonce of its own
// that the sender's proof must cover: a keyed hash of the hello, the sender's address and the
// time, so that nothing is kept until a proof comes.
void ServeurEngine::sendChallenge(const ext::Key& key, const ext::KeyId& keyId, ext::Transcript t) {
    t.server = mint_->mint(challengeInput(t, keyId), clock_.elapsed());
    buildAck("1", ackText_);
    ackText_ += ext::challengeSuffix({t.transfer, t.server, t.aead, ext::serverProof(key, t)});
    udpSend.reply(ackText_);
    if (trace_.enabled() && floodLine()) {
        trace_.write("key challenged", transferText(t.origin, t.name) + " from " + peerText());
    }
}

// A proof counts once, and only over a nonce this server gave this sender lately.
bool ServeurEngine::freshProof(const ext::Transcript& t, const ext::KeyId& keyId) {
    const std::int64_t now = clock_.elapsed();
    return mint_->fresh(challengeInput(t, keyId), t.server, now) &&
           usedProofs_.take(t.transfer, t.client, now);
}

// The proof of the transfer under way, sent again because its answer was lost: answered again,
// changing nothing.
bool ServeurEngine::repeatedProof(const ext::Key& key, const ext::KeyId& keyId,
                                  const ext::Transcript& t, HeaderCall& call) {
    const ExtKey id{t.transfer, t.origin};
    const auto session = sessions_.find(id);
    if (session == sessions_.end() || session->second.server != t.server ||
        session->second.keyId != keyId) {
        return false;
    }
    proving_.emplace(key, t);
    provingId_ = keyId;
    const int index = table_.findOrigin(t.origin);
    const auto held = extended_.find(id);
    if (index >= 0 && table_.at(index).transfer == t.transfer && held != extended_.end()) {
        call.accept = ext::Accept{t.transfer, held->second.written.cumulative()};
    } else if (verifiedFor({t.origin, t.transfer, t.size, provingKeyId()}) != nullptr) {
        call.accept = ext::Accept{t.transfer, t.size};
    } else {
        proving_.reset();
        return false;
    }
    EnvoieAck(call.accept->cumulative + 1, call.accept);
    return true;
}

std::string ServeurEngine::provingKeyId() const {
    if (!proving_) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(provingId_.data()), provingId_.size());
}

// The sender holds the key: the header now counts, and the transfer's datagrams go sealed under
// keys both sides derive from this handshake alone. Its identity is its origin's: another
// origin's use of the same number changes nothing here.
void ServeurEngine::provenHeader(const ext::Key& key, const ext::KeyId& keyId,
                                 const ext::Transcript& t, HeaderCall& call) {
    const ext::SessionKeys keys = ext::sessionKeys(key, t);
    sessions_.insert_or_assign(
        ExtKey{t.transfer, call.nomOrigine},
        ext::Session{keys.serverToClient, keys.clientToServer, 0, {}, t.server, t.aead, keyId});
    forgetSessions();
    call.tailleTotale = std::to_string(call.offer->size);
    proving_.emplace(key, t);
    provingId_ = keyId;
    if (trace_.enabled()) {
        trace_.write("key proven", transferText(call.nomOrigine, call.nomFichier) + ", key " +
                                       ext::hexOf(keyId) + ", from " + peerText());
    }
    Match_File(call);
}

// The sessions of an identity, one per origin using it: the one whose key opens the datagram
// is its sender's. Nearly always there is one.
void ServeurEngine::sealedDatagram(std::string_view bytes) {
    const auto head = ext::sealedHead(bytes);
    if (!head) {
        authFailed("sealed datagram for no authenticated transfer");
        return;
    }
    std::optional<ext::Frame> frame;
    auto session = sessions_.lower_bound(ExtKey{head->transfer, {}});
    for (; session != sessions_.end() && session->first.first == head->transfer; ++session) {
        frame = ext::openSealed(bytes, session->second.receiveKey, session->second.aead, opened_);
        if (frame) {
            break;
        }
    }
    if (!frame) {
        authFailed("sealed datagram that fails authentication or names no authenticated "
                   "transfer");
        return;
    }
    if (!session->second.received.take(head->sequence)) {
        drop("sealed datagram seen already (a copy or a replay)");
        return;
    }
    sealedFrom_ = session->first;
    clientFrame(*frame);
    sealedFrom_.reset();
}

// An answer about an authenticated transfer goes sealed, under the transfer's own keys.
void ServeurEngine::sealAnswer(const ExtKey& transfer) {
    const auto session = sessions_.find(transfer);
    if (session == sessions_.end()) {
        return;
    }
    // The answer was just encoded: its kind, value and body are read back, not checked again.
    const auto kind = static_cast<ext::Kind>(extAnswer_[1]);
    const auto value = static_cast<std::int64_t>(ext::getUnsigned(extAnswer_.data() + 10, 8));
    const std::string_view body = std::string_view(extAnswer_).substr(ext::kHeadBytes);
    ext::seal(kind, transfer.first, value, ++session->second.sent, body, session->second.sendKey,
              session->second.aead, sealedAnswer_);
    extAnswer_.swap(sealedAnswer_);
}

void ServeurEngine::forgetSessions() {
    if (sessions_.size() <= kSessionsKept) {
        return;
    }
    std::erase_if(sessions_, [this](const auto& entry) {
        return extended_.count(entry.first) == 0 &&
               !verified_.holds(entry.first.first, entry.first.second);
    });
}

// Whoever sends what fails authentication could send a great deal of it: said whatever the
// trace setting (an operator must hear that a key is refused), within the flood's budget, and
// paced as warnings are.
void ServeurEngine::authFailed(std::string_view why) {
    if (floodLine()) {
        trace_.write("frame refused", std::string(why) + " (" + peerText() + ")");
    }
}

bool ServeurEngine::floodLine() {
    const std::int64_t now = clock_.elapsed();
    if (now - floodRefillMs_ >= 1000) {
        const std::int64_t seconds = (now - floodRefillMs_) / 1000;
        floodTokens_ = std::min(kFloodLinesBurst, floodTokens_ + seconds * kFloodLinesPerSecond);
        floodRefillMs_ += seconds * 1000;
        if (floodLeftOut_ > 0 && trace_.enabled()) {
            const std::int64_t left = floodLeftOut_;
            floodLeftOut_ = 0;
            trace_.write("lines left out", std::to_string(left) +
                                               " lines about unauthenticated datagrams, beyond " +
                                               std::to_string(kFloodLinesPerSecond) + " a second");
        }
    }
    if (floodTokens_ <= 0) {
        ++floodLeftOut_;
        return false;
    }
    --floodTokens_;
    return true;
}

// What a header makes the server say: budgeted unless its sender proved a key.
bool ServeurEngine::headerLine() {
    return proving_.has_value() || floodLine();
}

} // namespace zelk
