#pragma once

// Keys shared by a server and one origin: the proof each side gives of its key when a transfer
// starts, the keys then derived for that transfer alone, and the sealed datagrams that carry the
// extension's frames encrypted and authenticated under them. Pure functions and small classes:
// no socket, no clock; the randomness and the cryptography are libsodium's.

#include "extcodec.h"

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::ext {

inline constexpr std::size_t kKeyBytes = 32;
inline constexpr std::size_t kNonceBytes = 16;
inline constexpr std::size_t kMacBytes = 32;
inline constexpr std::size_t kKeyIdBytes = 8;
using Key = std::array<unsigned char, kKeyBytes>;
using Nonce = std::array<unsigned char, kNonceBytes>;
using Mac = std::array<unsigned char, kMacBytes>;
using KeyId = std::array<unsigned char, kKeyIdBytes>;

// The tag of the handshake's fields, beside "ZX1".
inline constexpr std::string_view kSecureTag = "ZXK";

// A sealed datagram: start byte, kind, transfer identity, value, sequence number, then the body
// encrypted and the 16-byte tag. The first 26 bytes travel in clear and are authenticated.
inline constexpr char kSealedStart = 3;
inline constexpr std::size_t kSealedHeadBytes = 26;
inline constexpr std::size_t kTagBytes = 16;
inline constexpr std::size_t kSealedOverhead = kSealedHeadBytes + kTagBytes;
inline constexpr std::size_t kLargestSealedBody = kLargestDatagram - kSealedOverhead;

// The authenticated encryption of sealed datagrams: AES-256-GCM where both ends have the
// processor instructions that make it fast and safe from timing leaks, ChaCha20-Poly1305 (IETF)
// everywhere. Both are libsodium's.
enum class Aead : char { ChaCha20Poly1305 = 'C', Aes256Gcm = 'A' };
// What this machine can do, as a hello offers it: "AC" or "C".
std::string aeadsOffered();
// The server's choice from what a hello offers.
Aead aeadFor(std::string_view offered);

// False when libsodium cannot be used (it then refuses everything, and the programs say so).
bool cryptoReady();
Key newKey();
Nonce newNonce();
std::string hexOf(const unsigned char* bytes, std::size_t length);
template <std::size_t N> std::string hexOf(const std::array<unsigned char, N>& bytes) {
    return hexOf(bytes.data(), N);
}
// Bytes of any number from exactly their hexadecimal digits, lowercase or uppercase.
std::optional<std::string> bytesOfHex(std::string_view text);
// Exactly 2 * N lowercase or uppercase hexadecimal digits.
template <std::size_t N> std::optional<std::array<unsigned char, N>> fromHex(std::string_view text);
// Names a key without telling anything of it: a keyed hash of a constant text.
KeyId keyIdOf(const Key& key);

// --- Key files ------------------------------------------------------------------------------

// One key a line: 64 hexadecimal digits, then (in the server's file) one blank and the origin
// identifier as the client's configuration writes it. Blank lines and lines starting with '#'
// are skipped. An origin may have two keys at once, while they are changed. A line that is not
// exactly a key line is an error: an origin misspelt in the key file would be served without
// its key.
struct KeyLine {
    Key key{};
    std::string origin; // 10 characters, as it travels; empty in a client's file
};
// False, with "<source>:<line>: what is wrong" in `error`, on the first line that is not a key
// line.
bool parseKeyLines(std::string_view text, bool withOrigins, std::vector<KeyLine>& keys,
                   std::string& error, std::string_view source = "line");
// The key file's path as configured, "$CREDENTIALS_DIRECTORY/" at its start replaced by the
// folder where the service manager put the service's credentials. False when the path names that
// folder and it is not set: the literal text would name a file in the working folder.
bool keyFilePath(const std::string& configured, std::string& path, std::string& error);
// Reads a key file, refusing one that others than its owner may read or write, one owned by
// another user than the program's (or root), one in a folder others may write (they could put
// their own file in its place), and anything but a regular file (a FIFO would block the start).
bool readKeyFile(const std::string& path, bool withOrigins, std::vector<KeyLine>& keys,
                 std::string& error);
// A program's start-up: libsodium ready, then the key file named by the configuration (its
// "$CREDENTIALS_DIRECTORY" replaced) read; false, with why, when either fails.
bool loadKeyFile(const std::string& configured, bool withOrigins, std::vector<KeyLine>& keys,
                 std::string& error);

// --- Handshake ------------------------------------------------------------------------------

// What both sides bind their proofs to: who, which transfer of which file, and both nonces.
struct Transcript {
    std::string origin; // 10 characters
    std::uint64_t transfer = 0;
    std::int64_t size = 0;
    std::string name;
    Nonce client{};
    Nonce server{};
    std::string aeads = "C";            // what the client offered
    Aead aead = Aead::ChaCha20Poly1305; // what the server chose
    Key clientEphemeral{};              // both ephemeral public keys: the proofs cover them
    Key serverEphemeral{};
};
Mac serverProof(const Key& key, const Transcript& t);
Mac clientProof(const Key& key, const Transcript& t);
// The server's acceptance of a proven transfer, with the bytes it holds.
Mac acceptProof(const Key& key, const Transcript& t, std::int64_t cumulative);
// Equal in constant time.
bool sameMac(const Mac& a, const Mac& b);

struct SessionKeys {
    Key clientToServer{};
    Key serverToClient{};
    Key resume{}; // the secret later transfers of the same client session derive their keys from
    Key names{};  // seals the file's name and size in the header that proves the key
};

// Forward secrecy: each handshake adds an X25519 exchange between two ephemeral keys, whose
// secrets are wiped once the session's keys exist. Whoever later steals the long-term key still
// lacks the shared secret of a recorded handshake.
// The public key of an ephemeral secret (32 random bytes).
Key ephemeralPublic(const Key& secret);
// The shared secret; nothing when it is all zeros, as a public key of small order makes it:
// such a key would leave the session's keys to the long-term key alone.
std::optional<Key> sharedSecret(const Key& secret, const Key& peerPublic);
// The session's keys from the long-term key, the transcript and the exchange of this side's
// ephemeral secret with the peer's public key; nothing when the exchange is refused.
std::optional<SessionKeys> sessionKeys(const Key& key, const Transcript& t, const Key& secret,
                                       const Key& peerPublic);

// --- Resumed transfers ----------------------------------------------------------------------

// A later transfer of a client's session of several, without a handshake of its own: its header
// carries "ZXR,<session identity>,<client nonce>,<proof>", the session named by the identity of
// the transfer whose handshake gave the secret, the proof a keyed hash under that secret. Its
// transcript has no server nonce and no ephemeral keys: its freshness is the client's nonce, its
// forward secrecy the first handshake's.
inline constexpr std::string_view kResumeTag = "ZXR";
// Transfers one session secret opens at most: the server remembers each, so a client's session
// proves the key in a handshake again after so many, whose secret it takes on.
inline constexpr std::size_t kResumedPerSecret = 1024;
struct Resume {
    std::uint64_t session = 0;
    Nonce client{};
    Mac proof{};
};
std::string resumeField(const Resume& resume);
std::optional<Resume> findResume(std::string_view headerPayload);
// The transcript a resumed offer binds: who, which transfer of which file, the client's nonce
// and the session's cipher.
Transcript resumedTranscript(std::string_view origin, std::uint64_t transfer, std::int64_t size,
                             std::string_view name, const Nonce& client, Aead aead);
Mac resumeProof(const Key& resume, const Transcript& t, std::uint64_t session);
// The resumed transfer's keys: its own, from the session's secret, its label and its transcript.
SessionKeys resumedKeys(const Key& resume, const Transcript& t, std::uint64_t session);

// --- Sealed names ---------------------------------------------------------------------------

// A keyed transfer's header names no file: its name field says ".zx-sealed", its sizes 1, and a
// field "ZXN,<hex>" carries the real name and size encrypted under the transfer's own name key,
// which exists once the handshake's exchange is done (or, for a resumed offer, at once). The
// hello, sent before that, names nothing. The proofs and keys bind the header as it travels: the
// clear placeholders, and through the name key the sealed field.
inline constexpr std::string_view kNamesTag = "ZXN";
inline constexpr std::string_view kSealedName = ".zx-sealed";
inline constexpr std::int64_t kSealedSize = 1;
struct SealedName {
    std::string name;
    std::int64_t size = 0;
};
std::string namesField(const Key& names, std::uint64_t transfer, const SealedName& real);
// True when the header carries a "ZXN" field, whatever it holds.
bool hasNames(std::string_view headerPayload);
// The name and size the header's field seals for this transfer; nothing when it is missing,
// malformed, or not sealed under this key.
std::optional<SealedName> openNames(const Key& names, std::uint64_t transfer,
                                    std::string_view headerPayload);

// Rekeying: a direction's key seals at most 2^bits datagrams. The key of epoch
// e = (sequence - 1) >> bits is derived from the direction's base key with e as the subkey id,
// so both sides change key at the same sequence numbers without a word.
class EpochKeys {
public:
    static constexpr unsigned kBits = 24; // far inside AES-GCM's margin
    EpochKeys() = default;
    explicit EpochKeys(const Key& base, unsigned bits = kBits) : base_(base), bits_(bits) {}
    std::uint64_t epochOf(std::uint64_t sequence) const {
        return sequence == 0 ? 0 : (sequence - 1) >> bits_;
    }
    // The key of the sequence number's epoch; the latest one used is kept.
    const Key& at(std::uint64_t sequence);
    void wipe();

private:
    Key base_{};
    unsigned bits_ = kBits;
    std::optional<std::uint64_t> epoch_;
    Key current_{};
};

// The client's header field "ZXK,<key id>,<client nonce>,<aeads>,<client ephemeral>", and once
// challenged ",<server nonce>,<client proof>" after it.
// A hello tagged "ZXS" instead says its header seals the file's name and size ("ZXN"): a server
// from before sealed names knows no such hello, and refuses the header rather than take the
// placeholder for a name.
inline constexpr std::string_view kSealedHelloTag = "ZXS";
struct Hello {
    KeyId keyId{};
    Nonce client{};
    std::string aeads = "C";
    std::optional<Nonce> server;
    Mac proof{};
    Key ephemeral{}; // the client's ephemeral public key
    bool sealedNames = false;
};
std::string helloField(const Hello& hello);
std::optional<Hello> findHello(std::string_view headerPayload);

// The server's challenge, after a plain answer's "END":
// ";ZXK,<identity>,<server nonce>,<aead>,<server ephemeral>,<proof>".
struct Challenge {
    std::uint64_t transfer = 0;
    Nonce server{};
    Aead aead = Aead::ChaCha20Poly1305;
    Mac proof{};
    Key ephemeral{}; // the server's ephemeral public key
};
std::string challengeSuffix(const Challenge& challenge);
std::optional<Challenge> findChallenge(std::string_view answer);

// The acceptance of a proven transfer: the extension's acceptance, then ";ZXK,<proof>".
struct ProvenAccept {
    Accept accept;
    Mac proof{};
};
std::string provenAcceptSuffix(const ProvenAccept& accept);
std::optional<ProvenAccept> findProvenAccept(std::string_view answer);

// --- Stateless challenges -----------------------------------------------------------------

// The server's nonce is a keyed hash, under a secret drawn at start, of what the challenge
// answers and of the time: the server keeps nothing for a hello, so a flood of forged hellos
// fills no table, and a proof is checked against the nonce the server would have given.
struct ChallengeInput {
    std::string_view origin; // 10 characters
    KeyId keyId{};
    std::uint64_t transfer = 0;
    Nonce client{};
    std::string_view address; // the sender's address and port as the server saw them
};
class ChallengeMint {
public:
    // A nonce is good in the time bucket it was made in and the next: 15 to 30 s.
    static constexpr std::int64_t kBucketMs = 15000;
    ChallengeMint();
    // From a secret the caller drew: a replayed run mints the same challenges.
    explicit ChallengeMint(const Key& secret) : secret_(secret) {}
    ~ChallengeMint();
    ChallengeMint(const ChallengeMint&) = delete;
    ChallengeMint& operator=(const ChallengeMint&) = delete;
    Nonce mint(const ChallengeInput& in, std::int64_t nowMs) const;
    bool fresh(const ChallengeInput& in, const Nonce& server, std::int64_t nowMs) const;
    // The server's ephemeral secret for the challenge that gave this nonce: found again when the
    // proof comes, so that nothing is kept for a hello. The caller wipes it after use.
    Key ephemeral(const Nonce& server) const;

private:
    Nonce at(const ChallengeInput& in, std::int64_t bucket) const;
    Key secret_{};
};

// The proofs taken lately, by transfer identity and client nonce: a proof recorded and played
// again while its nonce is still fresh would start a session under keys already used. Only valid
// proofs come here, so only key holders fill it; when full of fresh ones, new proofs wait.
class UsedProofs {
public:
    static constexpr std::size_t kMost = 65536;
    static constexpr std::int64_t kKeepMs = 2 * ChallengeMint::kBucketMs;
    // True, and remembered, for a proof not taken yet.
    bool take(std::uint64_t transfer, const Nonce& client, std::int64_t nowMs);
    std::size_t size() const { return taken_.size(); }

private:
    std::map<std::pair<std::uint64_t, Nonce>, std::int64_t> taken_;
    std::deque<std::pair<std::int64_t, std::pair<std::uint64_t, Nonce>>> order_; // by time
};

// How many ranges an Ack in clear may carry so that it is at most three times the datagram that
// drew it: a forged small datagram draws no large answer towards a spoofed address.
std::size_t rangesWithin(std::size_t drawnBy);

// --- Sealed datagrams -----------------------------------------------------------------------

// Seals the body already placed at out + kSealedHeadBytes, in place; the tag follows it. Returns
// the datagram's length.
std::size_t sealInPlace(char* out, Kind kind, std::uint64_t transfer, std::int64_t value,
                        std::uint64_t sequence, std::size_t bodyLength, const Key& key, Aead aead);
void seal(Kind kind, std::uint64_t transfer, std::int64_t value, std::uint64_t sequence,
          std::string_view body, const Key& key, Aead aead, std::string& out);

// The clear part of a sealed datagram, enough to find its transfer's keys; nothing when it cannot
// be one (start byte, kind, length, identity 0, a value above 2^63 - 1).
struct SealedHead {
    Kind kind = Kind::Data;
    std::uint64_t transfer = 0;
    std::int64_t value = 0;
    std::uint64_t sequence = 0;
};
std::optional<SealedHead> sealedHead(std::string_view datagram);
// Authenticates and decrypts into `plain` (its storage reused); the frame's body views `plain`.
// Nothing when the datagram was not sealed under this key, or its body does not suit its kind.
std::optional<Frame> openSealed(std::string_view datagram, const Key& key, Aead aead,
                                std::string& plain);

// Sequence numbers seen lately: a datagram replayed, or copied by the network, is taken once.
class ReplayWindow {
public:
    static constexpr std::uint64_t kSpan = 4096;
    // True, and remembered, for a number not seen yet and not too far behind the highest.
    bool take(std::uint64_t sequence);

private:
    std::uint64_t highest_ = 0;
    std::array<std::uint64_t, kSpan / 64> seen_{};
    bool test(std::uint64_t sequence) const;
    void set(std::uint64_t sequence, bool on);
};

// Both directions of one transfer's sealed datagrams.
struct Session {
    EpochKeys send; // by sequence number: the key of its epoch
    EpochKeys receive;
    std::uint64_t sent = 0;
    ReplayWindow received;
    Nonce server{}; // the challenge it came from: the same proof again keeps it
    Aead aead = Aead::ChaCha20Poly1305;
    KeyId keyId{}; // the key that proved it: what the transfer earns is bound to it
};

} // namespace zelk::ext
