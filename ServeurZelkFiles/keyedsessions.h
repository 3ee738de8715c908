#pragma once

// The server's memory of keyed origins: their keys, the secret its challenges are made from, the
// proofs taken lately and the sessions of proven transfers. No clock and no randomness of its
// own: the time comes with every call and the challenges' secret from whoever loads the keys.

#include "extcodec.h"
#include "secure.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk {

// Transfer identities belong to their origin: another origin's use of the same number neither
// blocks nor answers a transfer.
using ExtKey = std::pair<std::uint64_t, std::string>; // identity, origin (10 characters)

class KeyedSessions {
public:
    // Sessions of transfers neither under way nor verified lately are forgotten beyond this many.
    static constexpr std::size_t kSessionsKept = 1024;

    // Forgets every session and proof; challenges made before no longer count.
    void load(const std::vector<ext::KeyLine>& lines, const ext::Key& mintSecret);
    bool empty() const { return keys_.empty(); }
    std::size_t origins() const { return keys_.size(); }
    // Asked for every frame: no copy of the origin, and nothing at all without keys.
    bool keyed(std::string_view origin) const {
        return !keys_.empty() && keys_.find(origin) != keys_.end();
    }
    const ext::Key* keyById(const std::string& origin, const ext::KeyId& id) const;

    ext::Nonce mint(const ext::ChallengeInput& in, std::int64_t nowMs) const;
    // A proof counts once, and only over a nonce this server gave this sender lately.
    bool fresh(const ext::ChallengeInput& in, const ext::Nonce& server, std::int64_t nowMs);
    // This server gave that nonce to this sender lately (taking nothing).
    bool minted(const ext::ChallengeInput& in, const ext::Nonce& server, std::int64_t nowMs) const {
        return mint_->fresh(in, server, nowMs);
    }
    // The server's ephemeral secret for a challenge, found again from its nonce (the caller
    // wipes it once the session's keys exist), and its public key.
    ext::Key ephemeral(const ext::Nonce& server) const { return mint_->ephemeral(server); }
    ext::Key ephemeralPublic(const ext::Nonce& server) const;

    ext::Session* find(const ExtKey& id);
    void open(const ExtKey& id, ext::Session session);
    // Whether any origin holds a session under this identity.
    bool anyFor(std::uint64_t transfer) const;
    // The session whose key opens the sealed datagram, and the frame it holds (its body views
    // `opened`); nothing when none does.
    std::optional<std::pair<ExtKey, ext::Frame>>
    openSealed(std::string_view bytes, std::uint64_t transfer, std::string& opened);
    // The answer just encoded in `answer`, sealed under the session's keys in place.
    void seal(const ExtKey& id, std::string& answer);
    // Beyond kSessionsKept, those `idle` says are neither under way nor verified go.
    void forgetIdle(const std::function<bool(const ExtKey&)>& idle);

    // The secret of a client's session of several, named by the identity of the transfer whose
    // handshake gave it: its later transfers derive their keys from it without a handshake. Kept
    // while the session is used, wiped once idle this long, or when too many are kept.
    static constexpr std::int64_t kResumeIdleMs = 120'000;
    static constexpr std::size_t kResumesKept = 1024;
    static constexpr std::size_t kResumedMost = ext::kResumedPerSecret;
    struct Resumable {
        ext::Key secret{};
        ext::KeyId keyId{};
        ext::Aead aead = ext::Aead::ChaCha20Poly1305;
        std::set<std::uint64_t> used; // transfers it opened: an offer played again opens none
        std::int64_t usedMs = 0;
    };
    void keepResumable(const ExtKey& session, const ext::Key& secret, const ext::KeyId& keyId,
                       ext::Aead aead, std::int64_t nowMs);
    // Nothing once idle too long (it is then wiped).
    Resumable* resumable(const ExtKey& session, std::int64_t nowMs);

private:
    struct OriginKey {
        ext::Key key{};
        ext::KeyId id{}; // computed once: every hello names one
    };
    std::map<std::string, std::vector<OriginKey>, std::less<>> keys_; // by origin, 10 characters
    // Challenges are made from a secret and checked when their proof comes: nothing is kept
    // for a hello. Proofs taken are kept while they could be fresh, so none is taken twice.
    std::unique_ptr<ext::ChallengeMint> mint_;
    ext::UsedProofs usedProofs_;
    void forgetResumable(std::map<ExtKey, Resumable>::iterator at);
    void forgetIdleResumables(std::int64_t nowMs);
    std::map<ExtKey, ext::Session> sessions_; // by transfer identity and origin
    std::map<ExtKey, Resumable> resumables_;  // by session identity and origin
    std::string sealed_;
};

} // namespace zelk
