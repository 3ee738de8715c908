// The server's side of keyed origins: a transfer starts only once its sender proved the origin's
// key against a fresh challenge, and goes on in sealed datagrams under keys of its own. Nothing
// in clear that names a keyed origin changes anything; origins without a key are served as
// before, or refused.

#include "serveurengine.h"

#include <QDateTime>
#include <algorithm>

namespace zelk {
namespace {

// How long a challenge may be answered: a few round trips of the slowest path, and then some.
constexpr std::int64_t kChallengeMs = 30000;
constexpr std::size_t kPendingKept = 4096;
// Sessions of transfers neither under way nor verified lately are forgotten beyond this many.
constexpr std::size_t kSessionsKept = 1024;
constexpr std::int64_t kAuthTraceMs = 1000;
constexpr std::int64_t kLongestEvictionPauseMs = 60000;

} // namespace

bool ServeurEngine::loadKeys(QString& error) {
    keys_.clear();
    pending_.clear();
    sessions_.clear();
    keylessServed_ = keylessServed(cfg_.cfgSansCle);
    evictionMs_ = evictionSecondsOf(cfg_.cfgEviction) * 1000;
    noEvictionBeforeMs_[0] = noEvictionBeforeMs_[1] = 0;
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
        keys_[line.origin].push_back(line.key);
    }
    if (trace_.enabled()) {
        trace_.write("keys loaded", std::to_string(keys_.size()) + " origin(s) with a key, from " +
                                        cfg_.cfgFichierCles);
    }
    return true;
}

// A keyed origin is heard only through headers over UDP that carry the handshake; an origin
// without a key only when the server serves such origins.
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
    return true;
}

void ServeurEngine::keyedHeader() {
    const auto payload = tamponRecu.substr(static_cast<std::size_t>(check_.posDebutDonnees),
                                           static_cast<std::size_t>(check_.longDonnees));
    const auto offer = ext::findOffer(payload);
    const auto hello = ext::findHello(payload);
    if (!offer || !hello || offer->size <= 0 || tailleTotale != ext::plainSizeText(offer->size)) {
        authFailed("header without the handshake, naming an origin with a key");
        return;
    }
    const ext::Key* key = keyById(hello->keyId);
    if (key == nullptr) {
        authFailed("header under a key the origin does not have");
        return;
    }
    ext::Transcript t{
        nomOrigine,   offer->transfer,           offer->size, nomFichier, hello->client, {},
        hello->aeads, ext::aeadFor(hello->aeads)};
    if (!hello->server) {
        sendChallenge(*key, t);
        return;
    }
    t.server = *hello->server;
    if (!ext::sameMac(hello->proof, ext::clientProof(*key, t))) {
        authFailed("header whose proof of the key is wrong");
        return;
    }
    if (proofAnswersChallenge(t)) {
        provenHeader(*key, t, *offer);
    } else if (!repeatedProof(*key, t)) {
        // The challenge ran out, or a restart forgot it, or the header was recorded and played
        // again: only a new challenge, which only the key's holder can answer.
        sendChallenge(*key, t);
    }
}

const ext::Key* ServeurEngine::keyById(const ext::KeyId& id) const {
    const auto found = keys_.find(nomOrigine);
    if (found == keys_.end()) {
        return nullptr;
    }
    for (const ext::Key& key : found->second) {
        if (ext::keyIdOf(key) == id) {
            return &key;
        }
    }
    return nullptr;
}

// The answer proves the server's key over the sender's fresh nonce, and gives a fresh nonce of
// its own that the sender's proof must cover. The table is left alone until then.
void ServeurEngine::sendChallenge(const ext::Key& key, ext::Transcript t) {
    const std::int64_t now = clock_.elapsed();
    std::erase_if(pending_, [now](const auto& entry) { return entry.second.expiresMs <= now; });
    if (pending_.size() >= kPendingKept) {
        pending_.erase(pending_.begin());
    }
    Pending& pending = pending_[{t.transfer, t.client}];
    if (pending.expiresMs <= now || pending.proven) {
        pending = Pending{ext::newNonce(), now + kChallengeMs, false};
    }
    t.server = pending.server;
    buildAck("1", ackText_);
    ackText_ +=
        ext::challengeSuffix({t.transfer, pending.server, t.aead, ext::serverProof(key, t)});
    udpSend.reply(ackText_);
    if (trace_.enabled()) {
        trace_.write("key challenged",
                     transferText(nomOrigine, nomFichier) + " from " + peerText());
    }
}

// Each challenge is taken once, and only while it is fresh.
bool ServeurEngine::proofAnswersChallenge(const ext::Transcript& t) {
    const auto found = pending_.find({t.transfer, t.client});
    if (found == pending_.end() || found->second.proven || found->second.server != t.server ||
        found->second.expiresMs <= clock_.elapsed()) {
        return false;
    }
    found->second.proven = true;
    return true;
}

// The proof of the transfer under way, sent again because its answer was lost: answered again,
// changing nothing.
bool ServeurEngine::repeatedProof(const ext::Key& key, const ext::Transcript& t) {
    const auto session = sessions_.find(t.transfer);
    if (session == sessions_.end() || session->second.server != t.server) {
        return false;
    }
    const int index = table_.findOrigin(nomOrigine);
    const auto held = extended_.find(t.transfer);
    if (index >= 0 && table_.at(index).transfer == t.transfer && held != extended_.end()) {
        accept_ = ext::Accept{t.transfer, held->second.written.cumulative()};
    } else if (verifiedLately(t.transfer, t.size)) {
        accept_ = ext::Accept{t.transfer, t.size};
    } else {
        return false;
    }
    proving_.emplace(key, t);
    EnvoieAck(std::to_string(accept_->cumulative + 1));
    return true;
}

// The sender holds the key: the header now counts, by the table's usual rule, and the transfer's
// datagrams go sealed under keys both sides derive from this handshake alone.
void ServeurEngine::provenHeader(const ext::Key& key, const ext::Transcript& t,
                                 const ext::Offer& offer) {
    const auto taken = extended_.find(offer.transfer);
    if (taken != extended_.end() && taken->second.origin != nomOrigine) {
        drop("proven header under another origin's transfer identity");
        return;
    }
    const ext::SessionKeys keys = ext::sessionKeys(key, t);
    sessions_.insert_or_assign(
        t.transfer,
        ext::Session{keys.serverToClient, keys.clientToServer, 0, {}, t.server, t.aead});
    forgetSessions();
    offer_ = offer;
    accept_.reset();
    tailleTotale = std::to_string(offer.size);
    proving_.emplace(key, t);
    if (trace_.enabled()) {
        trace_.write("key proven", transferText(nomOrigine, nomFichier) + ", key " +
                                       ext::hexOf(ext::keyIdOf(key)) + ", from " + peerText());
    }
    Match_File();
}

void ServeurEngine::sealedDatagram(std::string_view bytes) {
    const auto head = ext::sealedHead(bytes);
    const auto session = head ? sessions_.find(head->transfer) : sessions_.end();
    if (session == sessions_.end()) {
        authFailed("sealed datagram for no authenticated transfer");
        return;
    }
    const auto frame =
        ext::openSealed(bytes, session->second.receiveKey, session->second.aead, opened_);
    if (!frame) {
        authFailed("sealed datagram that fails authentication");
        return;
    }
    if (!session->second.received.take(head->sequence)) {
        drop("sealed datagram seen already (a copy or a replay)");
        return;
    }
    clientFrame(*frame);
}

// An answer about an authenticated transfer goes sealed, under the transfer's own keys.
void ServeurEngine::sealAnswer(std::uint64_t transfer) {
    const auto session = sessions_.find(transfer);
    if (session == sessions_.end()) {
        return;
    }
    // The answer was just encoded: its kind, value and body are read back, not checked again.
    const auto kind = static_cast<ext::Kind>(extAnswer_[1]);
    const auto value = static_cast<std::int64_t>(ext::getUnsigned(extAnswer_.data() + 10, 8));
    const std::string_view body = std::string_view(extAnswer_).substr(ext::kHeadBytes);
    ext::seal(kind, transfer, value, ++session->second.sent, body, session->second.sendKey,
              session->second.aead, sealedAnswer_);
    extAnswer_.swap(sealedAnswer_);
}

void ServeurEngine::forgetSessions() {
    if (sessions_.size() <= kSessionsKept) {
        return;
    }
    std::erase_if(sessions_, [this](const auto& entry) {
        const std::uint64_t transfer = entry.first;
        return extended_.count(transfer) == 0 &&
               std::none_of(verified_.begin(), verified_.end(),
                            [transfer](const auto& v) { return v.first == transfer; });
    });
}

// Whoever sends what fails authentication could send a great deal of it: one line a second per
// source says it happens.
void ServeurEngine::authFailed(std::string_view why) {
    if (!trace_.enabled()) {
        return;
    }
    const std::int64_t now = clock_.elapsed();
    if (authTracedMs_.size() > kPendingKept) {
        authTracedMs_.clear();
    }
    const std::string source = peerText();
    const auto found = authTracedMs_.find(source);
    if (found != authTracedMs_.end() && now - found->second < kAuthTraceMs) {
        return;
    }
    authTracedMs_[source] = now;
    trace_.write("frame refused", std::string(why) + " (" + source + ")");
}

// A full table takes a newcomer in place of the row idle longest, once that row has been idle
// long enough; a newcomer without a key never takes a keyed origin's place. Between two scans
// that found nothing, no row can have become idle enough before the earliest time noted.
bool ServeurEngine::evictIdle() {
    const bool keyed = keyedOrigin(nomOrigine);
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    if (evictionMs_ <= 0 || now < noEvictionBeforeMs_[keyed ? 1 : 0]) {
        return false;
    }
    int idlest = -1;
    for (int i = 0; i < table_.count(); ++i) {
        const TransferRow& row = table_.at(i);
        if ((keyed || !keyedOrigin(row.origin)) &&
            (idlest < 0 || row.lastFrameMs < table_.at(idlest).lastFrameMs)) {
            idlest = i;
        }
    }
    if (idlest < 0 || now - table_.at(idlest).lastFrameMs < evictionMs_) {
        noEvictionBeforeMs_[keyed ? 1 : 0] =
            idlest < 0 ? now + std::min(evictionMs_, kLongestEvictionPauseMs)
                       : table_.at(idlest).lastFrameMs + evictionMs_;
        return false;
    }
    const TransferRow& row = table_.at(idlest);
    if (trace_.wants("row evicted")) {
        trace_.write("row evicted", transferText(row.origin, row.file) + ", idle for " +
                                        std::to_string((now - row.lastFrameMs) / 1000) +
                                        " s: the table is full and " +
                                        transferText(nomOrigine, nomFichier) + " comes");
    }
    forgetExtended(table_.edit(idlest));
    table_.remove(idlest);
    emit tableChanged();
    return true;
}

} // namespace zelk
