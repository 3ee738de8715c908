#pragma once

// One keyed transfer of a session: its own handshake (client nonce, ephemeral key, the server's
// challenge and this client's proof), then the keys its datagrams are sealed under. Transfers of
// one session run their handshakes side by side, each bound to its own identity and file, so an
// answer for one proves nothing for another.

#include "extendedsender.h"
#include "secure.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelk {

// The secret of a session of several keyed transfers, from the handshake of the transfer it is
// named by: later transfers derive their keys from it without a handshake of their own.
struct SessionSecret {
    std::uint64_t session = 0;
    ext::Key secret{};
    ext::Aead aead = ext::Aead::ChaCha20Poly1305;
    std::size_t opened = 0; // offers made under it
    void wipe();
};

// The secrets of one client session: the one new offers use, and the one before it, which offers
// made under it still need until they are answered. A handshake renews the secret before it has
// opened all it may, so that the offers after it need none.
class SessionSecrets {
public:
    // Half the secret's transfers: the file that renews it proves the key in a handshake, slower
    // than an offer under the secret, and early enough it ends among the others rather than
    // after them all (64 ahead, it came last and cost a batch of a thousand files 15 %).
    static constexpr std::size_t kRenewAhead = ext::kResumedPerSecret / 2;
    SessionSecrets() = default;
    ~SessionSecrets() { forget(); }
    SessionSecrets(const SessionSecrets&) = delete;
    SessionSecrets& operator=(const SessionSecrets&) = delete;

    // The secret a new offer goes under; nothing when it is to prove the key in a handshake.
    const SessionSecret* forOffer();
    const SessionSecret* find(std::uint64_t session) const;
    // A handshake's secret: taken on when there is none, or the current one is to be renewed.
    void took(const SessionSecret& next);
    // The server no longer holds it.
    void lost(std::uint64_t session);
    void forget();

private:
    static void wipe(std::optional<SessionSecret>& secret);
    std::optional<SessionSecret> current_;
    std::optional<SessionSecret> older_;
    bool renewing_ = false; // a handshake that renews the current secret is under way
};

class KeyedTransfer {
public:
    // What the proofs are bound to besides the nonces and the ephemeral keys.
    struct Offer {
        std::string_view origin;
        std::uint64_t transfer = 0;
        std::int64_t size = 0;
        std::string_view name;
    };

    // A handshake drawn from `random`, not proven yet.
    explicit KeyedTransfer(ExtRandom& random);
    // A later transfer of the session `from`: no handshake, keys from its secret.
    KeyedTransfer(ExtRandom& random, const SessionSecret& from);
    // A transfer whose handshake another part of the client ran: its keys as they stand.
    explicit KeyedTransfer(ext::Session session);
    ~KeyedTransfer();
    KeyedTransfer(const KeyedTransfer&) = delete;
    KeyedTransfer& operator=(const KeyedTransfer&) = delete;

    // A new handshake, the server having lost the transfer's keys (or never taken them). The keys
    // in use stay until the new ones replace them: a verdict sealed under them still counts.
    void restart(ExtRandom& random);
    // The hello, and once the server proved the key, the file's name and size sealed beside it.
    std::string helloField(const ext::Key& key, const Offer& offer) const;
    // The header fields of a resumed offer: its proof under the session's secret, and the file's
    // name and size sealed under the offer's own keys.
    std::string resumeField(const SessionSecret& from, const Offer& offer) const;
    // The session a resumed offer names; 0 for one with a handshake.
    std::uint64_t resumes() const { return resumed_ ? resumed_->session : 0; }
    // True when the challenge proves the key over this handshake: the next hello carries this
    // client's proof. Nothing changes otherwise.
    bool challenge(const ext::Key& key, const Offer& offer, const ext::Challenge& challenge);
    // True when the acceptance proves the key over the proof this client gave: the transfer's
    // keys are then derived, and the ephemeral secret wiped.
    // `from`: the session's secret, for a resumed offer.
    bool accept(const ext::Key& key, const Offer& offer, const ext::ProvenAccept& proven,
                const SessionSecret* from);
    // After a handshake's acceptance, the secret its session's later transfers may use, once.
    std::optional<SessionSecret> takeSecret();
    // The transfer's keys, for a sender that seals its datagrams itself.
    std::optional<ext::Session> takeSession() { return std::exchange(session_, std::nullopt); }
    bool sealing() const { return session_.has_value(); }
    // A resumed offer's keys, derived before its acceptance (for its first pieces): false for an
    // offer with a handshake.
    bool earlyKeys(const SessionSecret& from, const Offer& offer);

    // The piece whose body is already at `frame + kSealedHeadBytes`, sealed in place: its length.
    std::size_t sealPiece(char* frame, std::uint64_t transfer, std::int64_t offset, std::size_t n);
    void seal(ext::Kind kind, std::uint64_t transfer, std::int64_t value, std::string_view body,
              std::string& out);
    // The frame of a sealed datagram of this transfer, taken once; nothing when it does not open.
    std::optional<ext::Frame> open(std::string_view bytes, std::string& opened);

private:
    struct Handshake {
        ext::Nonce client{};
        std::optional<ext::Nonce> server;
        ext::Mac proof{};
        ext::Aead aead = ext::Aead::ChaCha20Poly1305;
        ext::Key secret{};
        ext::Key ephemeral{};
        ext::Key serverEphemeral{};
        std::optional<ext::SessionKeys> keys; // once the server proved the key, derived once
    };
    struct Resumed {
        std::uint64_t session = 0;
        ext::Nonce client{};
        ext::Aead aead = ext::Aead::ChaCha20Poly1305;
    };
    ext::Transcript transcript(const Offer& offer, const ext::Nonce& server) const;
    ext::Transcript resumedTranscript(const Offer& offer) const;
    bool acceptResumed(const ext::Key& key, const Offer& offer, const ext::ProvenAccept& proven,
                       const SessionSecret& from);
    void wipeHandshake();
    void wipeSession();
    // A resumed transfer's keys from the session's secret and its own transcript.
    void takeResumedKeys(const SessionSecret& from, const ext::Transcript& t);

    std::optional<Handshake> handshake_; // none once its keys exist
    std::optional<Resumed> resumed_;     // instead of a handshake
    std::optional<ext::Session> session_;
    std::optional<SessionSecret> secret_; // from the handshake, until taken
    bool early_ = false; // session_ holds the resumed offer's keys, derived before its acceptance
};

} // namespace zelk
