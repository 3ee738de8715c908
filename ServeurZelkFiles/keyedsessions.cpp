#include "keyedsessions.h"

#include <sodium.h>

#include <algorithm>

namespace zelk {

void KeyedSessions::load(const std::vector<ext::KeyLine>& lines, const ext::Key& mintSecret) {
    keys_.clear();
    sessions_.clear();
    while (!resumables_.empty()) {
        forgetResumable(resumables_.begin());
    }
    mint_ = std::make_unique<ext::ChallengeMint>(mintSecret);
    usedProofs_ = ext::UsedProofs{};
    for (const ext::KeyLine& line : lines) {
        keys_[line.origin].push_back(OriginKey{line.key, ext::keyIdOf(line.key)});
    }
}

const ext::Key* KeyedSessions::keyById(const std::string& origin, const ext::KeyId& id) const {
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

ext::Nonce KeyedSessions::mint(const ext::ChallengeInput& in, std::int64_t nowMs) const {
    return mint_->mint(in, nowMs);
}

bool KeyedSessions::fresh(const ext::ChallengeInput& in, const ext::Nonce& server,
                          std::int64_t nowMs) {
    return mint_->fresh(in, server, nowMs) && usedProofs_.take(in.transfer, in.client, nowMs);
}

ext::Key KeyedSessions::ephemeralPublic(const ext::Nonce& server) const {
    ext::Key secret = ephemeral(server);
    const ext::Key pub = ext::ephemeralPublic(secret);
    sodium_memzero(secret.data(), secret.size());
    return pub;
}

ext::Session* KeyedSessions::find(const ExtKey& id) {
    const auto found = sessions_.find(id);
    return found == sessions_.end() ? nullptr : &found->second;
}

void KeyedSessions::open(const ExtKey& id, ext::Session session) {
    sessions_.insert_or_assign(id, std::move(session));
}

bool KeyedSessions::anyFor(std::uint64_t transfer) const {
    const auto session = sessions_.lower_bound(ExtKey{transfer, {}});
    return session != sessions_.end() && session->first.first == transfer;
}

// The sessions of an identity, one per origin using it: the one whose key opens the datagram
// is its sender's. Nearly always there is one.
std::optional<std::pair<ExtKey, ext::Frame>>
KeyedSessions::openSealed(std::string_view bytes, std::uint64_t transfer, std::string& opened) {
    const auto head = ext::sealedHead(bytes);
    if (!head) {
        return std::nullopt;
    }
    auto session = sessions_.lower_bound(ExtKey{transfer, {}});
    for (; session != sessions_.end() && session->first.first == transfer; ++session) {
        ext::Session& s = session->second;
        auto frame = ext::openSealed(bytes, s.receive.at(head->sequence), s.aead, opened);
        if (frame) {
            return std::pair{session->first, *frame};
        }
    }
    return std::nullopt;
}

// An answer about an authenticated transfer goes sealed, under the transfer's own keys.
void KeyedSessions::seal(const ExtKey& id, std::string& answer) {
    const auto session = sessions_.find(id);
    if (session == sessions_.end()) {
        return;
    }
    // The answer was just encoded: its kind, value and body are read back, not checked again.
    const auto kind = static_cast<ext::Kind>(answer[1]);
    const auto value = static_cast<std::int64_t>(ext::getUnsigned(answer.data() + 10, 8));
    const std::string_view body = std::string_view(answer).substr(ext::kHeadBytes);
    const std::uint64_t sequence = ++session->second.sent;
    ext::seal(kind, id.first, value, sequence, body, session->second.send.at(sequence),
              session->second.aead, sealed_);
    answer.swap(sealed_);
}

void KeyedSessions::forgetIdle(const std::function<bool(const ExtKey&)>& idle) {
    if (sessions_.size() <= kSessionsKept) {
        return;
    }
    std::erase_if(sessions_, [&idle](const auto& entry) { return idle(entry.first); });
}

void KeyedSessions::forgetResumable(std::map<ExtKey, Resumable>::iterator at) {
    sodium_memzero(at->second.secret.data(), at->second.secret.size());
    resumables_.erase(at);
}

// The one used longest ago makes room: its client falls back to a handshake.
void KeyedSessions::keepResumable(const ExtKey& session, const ext::Key& secret,
                                  const ext::KeyId& keyId, ext::Aead aead, std::int64_t nowMs) {
    forgetIdleResumables(nowMs);
    if (const auto old = resumables_.find(session); old != resumables_.end()) {
        forgetResumable(old);
    }
    if (resumables_.size() >= kResumesKept) {
        forgetResumable(std::min_element(
            resumables_.begin(), resumables_.end(),
            [](const auto& a, const auto& b) { return a.second.usedMs < b.second.usedMs; }));
    }
    Resumable& kept = resumables_[session];
    kept.secret = secret;
    kept.keyId = keyId;
    kept.aead = aead;
    kept.usedMs = nowMs;
}

KeyedSessions::Resumable* KeyedSessions::resumable(const ExtKey& session, std::int64_t nowMs) {
    forgetIdleResumables(nowMs);
    const auto found = resumables_.find(session);
    return found == resumables_.end() ? nullptr : &found->second;
}

// Forward secrecy: a secret nobody uses is not kept for a thief of the server's memory.
void KeyedSessions::forgetIdleResumables(std::int64_t nowMs) {
    for (auto it = resumables_.begin(); it != resumables_.end();) {
        const auto next = std::next(it);
        if (nowMs - it->second.usedMs > kResumeIdleMs) {
            forgetResumable(it);
        }
        it = next;
    }
}

} // namespace zelk
