#include "secure.h"

#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelk::ext {
namespace {

constexpr std::size_t kOriginWidth = 10;
constexpr std::size_t kIdentityHex = 16;
constexpr off_t kLargestKeyFile = 1 << 20;
// libsodium's key derivation takes a context of exactly 8 bytes.
constexpr char kKdfContext[crypto_kdf_CONTEXTBYTES + 1] = "ZelkZXK1";
constexpr char kEpochContext[crypto_kdf_CONTEXTBYTES + 1] = "ZelkEpch";
static_assert(crypto_scalarmult_BYTES == kKeyBytes && crypto_scalarmult_SCALARBYTES == kKeyBytes);

void putUnsigned(unsigned char* out, std::uint64_t value, int bytes) {
    ext::putUnsigned(reinterpret_cast<char*>(out), value, bytes);
}

std::string originOf(std::string_view text) {
    std::string origin(text.substr(0, kOriginWidth));
    origin.resize(kOriginWidth, ' ');
    return origin;
}

// A keyed hash of a label and the transcript: every field has a fixed width or its length in
// front, so that no two transcripts hash the same bytes.
class Hasher {
public:
    Hasher(const Key& key, std::string_view label) {
        crypto_generichash_init(&state_, key.data(), key.size(), kMacBytes);
        text(label);
    }
    void bytes(const unsigned char* data, std::size_t length) {
        crypto_generichash_update(&state_, data, length);
    }
    void number(std::uint64_t value) {
        unsigned char raw[8];
        putUnsigned(raw, value, 8);
        bytes(raw, sizeof raw);
    }
    void text(std::string_view value) {
        number(value.size());
        bytes(reinterpret_cast<const unsigned char*>(value.data()), value.size());
    }
    void transcript(const Transcript& t) {
        text(originOf(t.origin));
        number(t.transfer);
        number(static_cast<std::uint64_t>(t.size));
        text(t.name);
        bytes(t.client.data(), t.client.size());
        bytes(t.server.data(), t.server.size());
        text(t.aeads);
        text(std::string_view(reinterpret_cast<const char*>(&t.aead), 1));
        bytes(t.clientEphemeral.data(), t.clientEphemeral.size());
        bytes(t.serverEphemeral.data(), t.serverEphemeral.size());
    }
    Mac done() {
        Mac mac{};
        crypto_generichash_final(&state_, mac.data(), mac.size());
        return mac;
    }

private:
    crypto_generichash_state state_{};
};

std::vector<std::string_view> split(std::string_view text, char at) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(at, start);
        if (end == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::optional<std::uint64_t> identityFrom(std::string_view text) {
    const auto raw = fromHex<8>(text);
    if (!raw || text.size() != kIdentityHex) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (unsigned char byte : *raw) {
        value = (value << 8) | byte;
    }
    return value == 0 ? std::nullopt : std::optional<std::uint64_t>(value);
}

std::string identityHex(std::uint64_t transfer) {
    std::array<unsigned char, 8> raw{};
    putUnsigned(raw.data(), transfer, 8);
    return hexOf(raw);
}

// The answer's fields after "PTE;<position>;END;", or nothing when it is no plain answer.
std::optional<std::string_view> afterAnswer(std::string_view answer) {
    const auto fields = split(answer, ';');
    if (fields.size() < 4 || fields[0] != "PTE" || fields[2] != "END") {
        return std::nullopt;
    }
    const std::size_t at = fields[0].size() + fields[1].size() + fields[2].size() + 3;
    return answer.substr(at);
}

std::array<unsigned char, crypto_aead_chacha20poly1305_ietf_NPUBBYTES>
nonceOf(std::uint64_t sequence) {
    std::array<unsigned char, crypto_aead_chacha20poly1305_ietf_NPUBBYTES> nonce{};
    putUnsigned(nonce.data() + nonce.size() - 8, sequence, 8);
    return nonce;
}

void writeSealedHead(char* out, Kind kind, std::uint64_t transfer, std::int64_t value,
                     std::uint64_t sequence) {
    auto* raw = reinterpret_cast<unsigned char*>(out);
    raw[0] = static_cast<unsigned char>(kSealedStart);
    raw[1] = static_cast<unsigned char>(kind);
    putUnsigned(raw + 2, transfer, 8);
    putUnsigned(raw + 10, static_cast<std::uint64_t>(value), 8);
    putUnsigned(raw + 18, sequence, 8);
}

// The origin of a server's key line: 1 to 10 printable characters, not all blank, no blank at
// either end (one more blank is almost surely a typing slip), no tab or control character.
std::string originError(std::string_view origin) {
    if (origin.empty() || origin.find_first_not_of(' ') == std::string_view::npos) {
        return "no origin identifier after the key and its blank";
    }
    if (origin.size() > kOriginWidth) {
        return "the origin identifier is longer than " + std::to_string(kOriginWidth) +
               " characters";
    }
    for (const char c : origin) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return "the origin identifier holds a tab or a control character";
        }
    }
    if (origin.back() == ' ' || origin.front() == ' ') {
        return "more than one blank between the key and the origin identifier, or one after it";
    }
    return {};
}

std::string keyLineError(std::string_view line, bool withOrigins, KeyLine& out) {
    const auto key = fromHex<kKeyBytes>(line.substr(0, 2 * kKeyBytes));
    if (!key) {
        return "the line does not start with 64 hexadecimal digits";
    }
    const std::string_view rest = line.substr(2 * kKeyBytes);
    if (withOrigins && (rest.empty() || rest[0] != ' ')) {
        return "the key is not followed by one blank and an origin identifier";
    }
    if (!withOrigins && !rest.empty() && rest[0] != ' ' && rest[0] != '\t') {
        return "the key is followed by more than a blank or a tab and a comment";
    }
    if (withOrigins) {
        if (std::string why = originError(rest.substr(1)); !why.empty()) {
            return why;
        }
    }
    out.key = *key;
    out.origin = withOrigins ? originOf(rest.substr(1)) : std::string();
    return {};
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

bool trustedOwner(uid_t owner) {
    return owner == ::geteuid() || owner == 0;
}

// Whoever may write the folder may put a file of their own under the key file's name.
std::string folderError(const std::string& path) {
    const std::string folder = folderOf(path);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        return "the folder of the key file \"" + path + "\" cannot be examined";
    }
    if (!trustedOwner(st.st_uid) || (st.st_mode & 022) != 0) {
        return "the folder \"" + folder + "\" of the key file \"" + path +
               "\" may be written by other users (permissions " + modeText(st.st_mode) +
               ", owner " + std::to_string(st.st_uid) +
               "): it must belong to this user or root and be writable by its owner alone";
    }
    return {};
}

// What is wrong with the open key file, or nothing.
std::string openedFileError(const std::string& path, const struct stat& st) {
    if (!S_ISREG(st.st_mode) || st.st_size > kLargestKeyFile) {
        return "the key file \"" + path + "\" is no regular file of at most 1 MiB";
    }
    if (!trustedOwner(st.st_uid)) {
        return "the key file \"" + path + "\" belongs to another user (" +
               std::to_string(st.st_uid) + "): it must belong to this user or root";
    }
    if ((st.st_mode & 077) != 0) {
        return "the permissions " + modeText(st.st_mode) + " of the key file \"" + path +
               "\" are too open: other users may read or change it (chmod 600 it)";
    }
    return {};
}

bool aeadLetter(char c) {
    return c == static_cast<char>(Aead::ChaCha20Poly1305) ||
           c == static_cast<char>(Aead::Aes256Gcm);
}

// "C" or "AC": what a peer writes.
bool aeadList(std::string_view text) {
    return text == "C" || text == "AC";
}

int encrypt(Aead aead, unsigned char* body, std::size_t length, const unsigned char* head,
            const unsigned char* nonce, const Key& key) {
    unsigned char* tag = body + length;
    return aead == Aead::Aes256Gcm
               ? crypto_aead_aes256gcm_encrypt_detached(body, tag, nullptr, body, length, head,
                                                        kSealedHeadBytes, nullptr, nonce,
                                                        key.data())
               : crypto_aead_chacha20poly1305_ietf_encrypt_detached(body, tag, nullptr, body,
                                                                    length, head, kSealedHeadBytes,
                                                                    nullptr, nonce, key.data());
}

int decrypt(Aead aead, unsigned char* plain, const unsigned char* body, std::size_t length,
            const unsigned char* head, const unsigned char* nonce, const Key& key) {
    const unsigned char* tag = body + length;
    return aead == Aead::Aes256Gcm
               ? crypto_aead_aes256gcm_decrypt_detached(plain, nullptr, body, length, tag, head,
                                                        kSealedHeadBytes, nonce, key.data())
               : crypto_aead_chacha20poly1305_ietf_decrypt_detached(
                     plain, nullptr, body, length, tag, head, kSealedHeadBytes, nonce, key.data());
}

} // namespace

std::string aeadsOffered() {
    return cryptoReady() && crypto_aead_aes256gcm_is_available() != 0 ? "AC" : "C";
}

Aead aeadFor(std::string_view offered) {
    return offered.find('A') != std::string_view::npos && aeadsOffered() == "AC"
               ? Aead::Aes256Gcm
               : Aead::ChaCha20Poly1305;
}

bool cryptoReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

Key newKey() {
    Key key{};
    randombytes_buf(key.data(), key.size());
    return key;
}

Nonce newNonce() {
    Nonce nonce{};
    randombytes_buf(nonce.data(), nonce.size());
    return nonce;
}

std::string hexOf(const unsigned char* bytes, std::size_t length) {
    std::string text(2 * length + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), bytes, length);
    text.pop_back();
    return text;
}

std::optional<std::string> bytesOfHex(std::string_view text) {
    std::string bytes(text.size() / 2, '\0');
    std::size_t length = 0;
    const char* end = nullptr;
    if (text.size() % 2 != 0 ||
        sodium_hex2bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(),
                       text.size(), nullptr, &length, &end) != 0 ||
        length != bytes.size() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return bytes;
}

template <std::size_t N>
std::optional<std::array<unsigned char, N>> fromHex(std::string_view text) {
    std::array<unsigned char, N> bytes{};
    std::size_t length = 0;
    const char* end = nullptr;
    if (text.size() != 2 * N ||
        sodium_hex2bin(bytes.data(), N, text.data(), text.size(), nullptr, &length, &end) != 0 ||
        length != N || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return bytes;
}
template std::optional<std::array<unsigned char, 8>> fromHex<8>(std::string_view);
template std::optional<std::array<unsigned char, 16>> fromHex<16>(std::string_view);
template std::optional<std::array<unsigned char, 32>> fromHex<32>(std::string_view);

KeyId keyIdOf(const Key& key) {
    const Mac mac = Hasher(key, "ZXK key id").done();
    KeyId id{};
    std::memcpy(id.data(), mac.data(), id.size());
    return id;
}

bool parseKeyLines(std::string_view text, bool withOrigins, std::vector<KeyLine>& keys,
                   std::string& error, std::string_view source) {
    int number = 0;
    for (std::string_view line : split(text, '\n')) {
        ++number;
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        KeyLine read;
        if (std::string why = keyLineError(line, withOrigins, read); !why.empty()) {
            error = std::string(source) + ':' + std::to_string(number) + ": " + why;
            return false;
        }
        keys.push_back(std::move(read));
    }
    if (keys.empty()) {
        error = std::string(source) + ": it holds no key";
        return false;
    }
    return true;
}

bool keyFilePath(const std::string& configured, std::string& path, std::string& error) {
    constexpr std::string_view kVariable = "$CREDENTIALS_DIRECTORY";
    if (!std::string_view(configured).starts_with(kVariable)) {
        path = configured;
        return true;
    }
    const char* folder = std::getenv("CREDENTIALS_DIRECTORY");
    if (configured.size() > kVariable.size() && configured[kVariable.size()] == '/' &&
        folder != nullptr && *folder != '\0') {
        path = folder + configured.substr(kVariable.size());
        return true;
    }
    error = "the key file \"" + configured +
            "\" names $CREDENTIALS_DIRECTORY, which is not set (the program was not started as a "
            "service with LoadCredential=) or is not followed by \"/\"";
    return false;
}

bool readKeyFile(const std::string& path, bool withOrigins, std::vector<KeyLine>& keys,
                 std::string& error) {
    error = folderError(path);
    if (!error.empty()) {
        return false;
    }
    // Not blocking: a FIFO put in its place must not hold the start-up (and SIGTERM) up.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        error = "the key file \"" + path + "\" cannot be opened: " +
                (errno == ELOOP ? std::string("it is a symbolic link") : std::strerror(errno));
        return false;
    }
    struct stat st {};
    std::string text;
    error = ::fstat(fd, &st) == 0 ? openedFileError(path, st)
                                  : "the key file \"" + path + "\" cannot be examined";
    if (error.empty()) {
        text.resize(static_cast<std::size_t>(st.st_size));
        if (::read(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            error = "the key file \"" + path + "\" cannot be read";
        }
    }
    ::close(fd);
    const bool parsed = error.empty() && parseKeyLines(text, withOrigins, keys, error, path);
    sodium_memzero(text.data(), text.size());
    return parsed;
}

bool loadKeyFile(const std::string& configured, bool withOrigins, std::vector<KeyLine>& keys,
                 std::string& error) {
    if (!cryptoReady()) {
        error = "libsodium cannot be initialised";
        return false;
    }
    std::string path;
    return keyFilePath(configured, path, error) && readKeyFile(path, withOrigins, keys, error);
}

Mac serverProof(const Key& key, const Transcript& t) {
    Hasher hash(key, "ZXK server proof");
    hash.transcript(t);
    return hash.done();
}

Mac clientProof(const Key& key, const Transcript& t) {
    Hasher hash(key, "ZXK client proof");
    hash.transcript(t);
    return hash.done();
}

Mac acceptProof(const Key& key, const Transcript& t, std::int64_t cumulative) {
    Hasher hash(key, "ZXK acceptance");
    hash.transcript(t);
    hash.number(static_cast<std::uint64_t>(cumulative));
    return hash.done();
}

bool sameMac(const Mac& a, const Mac& b) {
    return crypto_verify_32(a.data(), b.data()) == 0;
}

namespace {

SessionKeys fromMaster(Mac& master) {
    SessionKeys keys;
    crypto_kdf_derive_from_key(keys.clientToServer.data(), kKeyBytes, 1, kKdfContext,
                               master.data());
    crypto_kdf_derive_from_key(keys.serverToClient.data(), kKeyBytes, 2, kKdfContext,
                               master.data());
    crypto_kdf_derive_from_key(keys.resume.data(), kKeyBytes, 3, kKdfContext, master.data());
    crypto_kdf_derive_from_key(keys.names.data(), kKeyBytes, 4, kKdfContext, master.data());
    sodium_memzero(master.data(), master.size());
    return keys;
}

} // namespace

Key ephemeralPublic(const Key& secret) {
    Key pub{};
    crypto_scalarmult_base(pub.data(), secret.data());
    return pub;
}

std::optional<Key> sharedSecret(const Key& secret, const Key& peerPublic) {
    Key shared{};
    if (crypto_scalarmult(shared.data(), secret.data(), peerPublic.data()) != 0) {
        return std::nullopt; // libsodium refuses an all-zero result
    }
    return shared;
}

// The long-term key keys the hash, the transcript binds both ephemeral keys, and the shared
// secret is what a later thief of the key file cannot find again.
std::optional<SessionKeys> sessionKeys(const Key& key, const Transcript& t, const Key& secret,
                                       const Key& peerPublic) {
    auto shared = sharedSecret(secret, peerPublic);
    if (!shared) {
        return std::nullopt;
    }
    Hasher hash(key, "ZXK forward session");
    hash.transcript(t);
    hash.bytes(shared->data(), shared->size());
    sodium_memzero(shared->data(), shared->size());
    Mac master = hash.done();
    return fromMaster(master);
}

const Key& EpochKeys::at(std::uint64_t sequence) {
    const std::uint64_t epoch = epochOf(sequence);
    if (epoch_ != epoch) {
        crypto_kdf_derive_from_key(current_.data(), current_.size(), epoch, kEpochContext,
                                   base_.data());
        epoch_ = epoch;
    }
    return current_;
}

void EpochKeys::wipe() {
    sodium_memzero(base_.data(), base_.size());
    sodium_memzero(current_.data(), current_.size());
    epoch_.reset();
}

std::string helloField(const Hello& hello) {
    std::string field(hello.sealedNames ? kSealedHelloTag : kSecureTag);
    field += ',' + hexOf(hello.keyId) + ',' + hexOf(hello.client) + ',' + hello.aeads + ',' +
             hexOf(hello.ephemeral);
    if (hello.server) {
        field += ',' + hexOf(*hello.server) + ',' + hexOf(hello.proof);
    }
    return field;
}

std::optional<Hello> findHello(std::string_view headerPayload) {
    const auto fields = split(headerPayload, ';');
    if (fields.size() < 5 || fields.back() != "END") {
        return std::nullopt;
    }
    const std::string prefix = std::string(kSecureTag) + ',';
    const std::string sealedPrefix = std::string(kSealedHelloTag) + ',';
    for (std::size_t i = 3; i + 1 < fields.size(); ++i) {
        const bool sealedNames = fields[i].starts_with(sealedPrefix);
        if (!fields[i].starts_with(prefix) && !sealedNames) {
            continue;
        }
        // Without its ephemeral key a hello is refused: an older peer's, whose transfer would
        // lose forward secrecy, or one stripped of it on the way.
        const auto parts = split(fields[i], ',');
        if (parts.size() != 5 && parts.size() != 7) {
            return std::nullopt;
        }
        const auto keyId = fromHex<kKeyIdBytes>(parts[1]);
        const auto client = fromHex<kNonceBytes>(parts[2]);
        const auto ephemeral = fromHex<kKeyBytes>(parts[4]);
        if (!keyId || !client || !aeadList(parts[3]) || !ephemeral) {
            return std::nullopt;
        }
        Hello hello{*keyId,     *client,    std::string(parts[3]), std::nullopt, {},
                    *ephemeral, sealedNames};
        if (parts.size() == 7) {
            hello.server = fromHex<kNonceBytes>(parts[5]);
            const auto proof = fromHex<kMacBytes>(parts[6]);
            if (!hello.server || !proof) {
                return std::nullopt;
            }
            hello.proof = *proof;
        }
        return hello;
    }
    return std::nullopt;
}

std::string challengeSuffix(const Challenge& challenge) {
    return ';' + std::string(kSecureTag) + ',' + identityHex(challenge.transfer) + ',' +
           hexOf(challenge.server) + ',' + static_cast<char>(challenge.aead) + ',' +
           hexOf(challenge.ephemeral) + ',' + hexOf(challenge.proof);
}

std::optional<Challenge> findChallenge(std::string_view answer) {
    const auto tail = afterAnswer(answer);
    if (!tail) {
        return std::nullopt;
    }
    const auto parts = split(*tail, ',');
    if (parts.size() != 6 || parts[0] != kSecureTag || parts[3].size() != 1 ||
        !aeadLetter(parts[3][0])) {
        return std::nullopt;
    }
    const auto transfer = identityFrom(parts[1]);
    const auto server = fromHex<kNonceBytes>(parts[2]);
    const auto ephemeral = fromHex<kKeyBytes>(parts[4]);
    const auto proof = fromHex<kMacBytes>(parts[5]);
    if (!transfer || !server || !ephemeral || !proof) {
        return std::nullopt;
    }
    return Challenge{*transfer, *server, static_cast<Aead>(parts[3][0]), *proof, *ephemeral};
}

std::string resumeField(const Resume& resume) {
    return std::string(kResumeTag) + ',' + identityHex(resume.session) + ',' +
           hexOf(resume.client) + ',' + hexOf(resume.proof);
}

std::optional<Resume> findResume(std::string_view headerPayload) {
    const auto fields = split(headerPayload, ';');
    if (fields.size() < 5 || fields.back() != "END") {
        return std::nullopt;
    }
    const std::string prefix = std::string(kResumeTag) + ',';
    for (std::size_t i = 3; i + 1 < fields.size(); ++i) {
        if (!fields[i].starts_with(prefix)) {
            continue;
        }
        const auto parts = split(fields[i], ',');
        if (parts.size() != 4) {
            return std::nullopt;
        }
        const auto session = identityFrom(parts[1]);
        const auto client = fromHex<kNonceBytes>(parts[2]);
        const auto proof = fromHex<kMacBytes>(parts[3]);
        if (!session || !client || !proof) {
            return std::nullopt;
        }
        return Resume{*session, *client, *proof};
    }
    return std::nullopt;
}

Transcript resumedTranscript(std::string_view origin, std::uint64_t transfer, std::int64_t size,
                             std::string_view name, const Nonce& client, Aead aead) {
    Transcript t;
    t.origin = std::string(origin);
    t.transfer = transfer;
    t.size = size;
    t.name = std::string(name);
    t.client = client;
    t.aeads = std::string(1, static_cast<char>(aead));
    t.aead = aead;
    return t;
}

Mac resumeProof(const Key& resume, const Transcript& t, std::uint64_t session) {
    Hasher hash(resume, "ZXK resumed offer");
    hash.number(session);
    hash.transcript(t);
    return hash.done();
}

SessionKeys resumedKeys(const Key& resume, const Transcript& t, std::uint64_t session) {
    Hasher hash(resume, "ZXK resumed session");
    hash.number(session);
    hash.transcript(t);
    Mac master = hash.done();
    SessionKeys keys = fromMaster(master);
    sodium_memzero(keys.resume.data(), keys.resume.size()); // a resumed transfer opens no session
    return keys;
}

std::string provenAcceptSuffix(const ProvenAccept& accept) {
    return acceptSuffix(accept.accept) + ';' + std::string(kSecureTag) + ',' + hexOf(accept.proof);
}

// The proof is the field right after the acceptance; a grant of several transfers may follow.
std::optional<ProvenAccept> findProvenAccept(std::string_view answer) {
    const auto field = fieldAt(answer, 4);
    const std::string prefix = std::string(kSecureTag) + ',';
    if (!field || !field->starts_with(prefix)) {
        return std::nullopt;
    }
    const auto accept = findAccept(answer);
    const auto proof = fromHex<kMacBytes>(field->substr(prefix.size()));
    if (!accept || !proof) {
        return std::nullopt;
    }
    return ProvenAccept{*accept, *proof};
}

std::size_t sealInPlace(char* out, Kind kind, std::uint64_t transfer, std::int64_t value,
                        std::uint64_t sequence, std::size_t bodyLength, const Key& key, Aead aead) {
    writeSealedHead(out, kind, transfer, value, sequence);
    auto* raw = reinterpret_cast<unsigned char*>(out);
    const auto nonce = nonceOf(sequence);
    encrypt(aead, raw + kSealedHeadBytes, bodyLength, raw, nonce.data(), key);
    return kSealedOverhead + bodyLength;
}

void seal(Kind kind, std::uint64_t transfer, std::int64_t value, std::uint64_t sequence,
          std::string_view body, const Key& key, Aead aead, std::string& out) {
    out.resize(kSealedOverhead + body.size());
    if (!body.empty()) {
        std::memcpy(out.data() + kSealedHeadBytes, body.data(), body.size());
    }
    sealInPlace(out.data(), kind, transfer, value, sequence, body.size(), key, aead);
}

std::optional<SealedHead> sealedHead(std::string_view datagram) {
    if (datagram.size() < kSealedOverhead || datagram.size() > kLargestDatagram ||
        datagram[0] != kSealedStart || !knownKind(datagram[1])) {
        return std::nullopt;
    }
    SealedHead head;
    head.kind = static_cast<Kind>(datagram[1]);
    head.transfer = getUnsigned(datagram.data() + 2, 8);
    const std::uint64_t value = getUnsigned(datagram.data() + 10, 8);
    head.sequence = getUnsigned(datagram.data() + 18, 8);
    if (head.transfer == 0 || head.sequence == 0 || value > kLargestValue) {
        return std::nullopt;
    }
    head.value = static_cast<std::int64_t>(value);
    return head;
}

std::optional<Frame> openSealed(std::string_view datagram, const Key& key, Aead aead,
                                std::string& plain) {
    const auto head = sealedHead(datagram);
    if (!head) {
        return std::nullopt;
    }
    const std::size_t length = datagram.size() - kSealedOverhead;
    if (!bodyFits(head->kind, length)) {
        return std::nullopt;
    }
    plain.resize(length);
    const auto* raw = reinterpret_cast<const unsigned char*>(datagram.data());
    const auto nonce = nonceOf(head->sequence);
    if (decrypt(aead, reinterpret_cast<unsigned char*>(plain.data()), raw + kSealedHeadBytes,
                length, raw, nonce.data(), key) != 0) {
        return std::nullopt;
    }
    return Frame{head->kind, head->transfer, head->value, std::string_view(plain)};
}

ChallengeMint::ChallengeMint() {
    randombytes_buf(secret_.data(), secret_.size());
}

ChallengeMint::~ChallengeMint() {
    sodium_memzero(secret_.data(), secret_.size());
}

Nonce ChallengeMint::at(const ChallengeInput& in, std::int64_t bucket) const {
    Hasher hash(secret_, "ZXK challenge");
    hash.text(originOf(in.origin));
    hash.bytes(in.keyId.data(), in.keyId.size());
    hash.number(in.transfer);
    hash.bytes(in.client.data(), in.client.size());
    hash.text(in.address);
    hash.number(static_cast<std::uint64_t>(bucket));
    const Mac mac = hash.done();
    Nonce nonce{};
    std::memcpy(nonce.data(), mac.data(), nonce.size());
    return nonce;
}

Key ChallengeMint::ephemeral(const Nonce& server) const {
    Hasher hash(secret_, "ZXK ephemeral");
    hash.bytes(server.data(), server.size());
    Mac mac = hash.done();
    Key secret{};
    std::memcpy(secret.data(), mac.data(), secret.size());
    sodium_memzero(mac.data(), mac.size());
    return secret;
}

Nonce ChallengeMint::mint(const ChallengeInput& in, std::int64_t nowMs) const {
    return at(in, nowMs / kBucketMs);
}

bool ChallengeMint::fresh(const ChallengeInput& in, const Nonce& server, std::int64_t nowMs) const {
    const std::int64_t bucket = nowMs / kBucketMs;
    const Nonce now = at(in, bucket);
    const Nonce before = at(in, bucket - 1);
    // Both compared, in constant time: how a guess fails tells nothing.
    const bool current = sodium_memcmp(now.data(), server.data(), server.size()) == 0;
    const bool previous = sodium_memcmp(before.data(), server.data(), server.size()) == 0;
    return current || previous;
}

bool UsedProofs::take(std::uint64_t transfer, const Nonce& client, std::int64_t nowMs) {
    while (!order_.empty() && order_.front().first + kKeepMs <= nowMs) {
        taken_.erase(order_.front().second);
        order_.pop_front();
    }
    const auto entry = std::make_pair(transfer, client);
    if (taken_.count(entry) > 0 || taken_.size() >= kMost) {
        return false;
    }
    taken_.emplace(entry, nowMs);
    order_.emplace_back(nowMs, entry);
    return true;
}

std::size_t rangesWithin(std::size_t drawnBy) {
    const std::size_t budget = 3 * drawnBy;
    const std::size_t fit = budget > kHeadBytes ? (budget - kHeadBytes) / kRangeBytes : 0;
    return std::min(fit, kMostRangesPerAnswer);
}

bool ReplayWindow::take(std::uint64_t sequence) {
    if (sequence == 0) {
        return false;
    }
    if (sequence > highest_) {
        const std::uint64_t ahead = sequence - highest_;
        if (ahead >= kSpan) {
            seen_.fill(0);
        } else {
            for (std::uint64_t s = highest_ + 1; s < sequence; ++s) {
                set(s, false);
            }
        }
        highest_ = sequence;
        set(sequence, true);
        return true;
    }
    if (highest_ - sequence >= kSpan || test(sequence)) {
        return false;
    }
    set(sequence, true);
    return true;
}

bool ReplayWindow::test(std::uint64_t sequence) const {
    const std::uint64_t bit = sequence % kSpan;
    return (seen_[bit / 64] >> (bit % 64)) & 1U;
}

void ReplayWindow::set(std::uint64_t sequence, bool on) {
    const std::uint64_t bit = sequence % kSpan;
    const std::uint64_t mask = std::uint64_t{1} << (bit % 64);
    seen_[bit / 64] = on ? (seen_[bit / 64] | mask) : (seen_[bit / 64] & ~mask);
}

} // namespace zelk::ext
