// The file's name and size of a keyed transfer, sealed in its header: only the server that holds
// the transfer's keys reads them, and nobody on the path can change them.

#include "codec.h"
#include "secure.h"

#include <sodium.h>

#include <cstring>

namespace zelk::ext {
namespace {

constexpr std::size_t kSizeBytes = 8;
constexpr std::size_t kAadBytes = 3 + 8;
static_assert(crypto_aead_chacha20poly1305_ietf_ABYTES == kTagBytes);

// Each name key seals one text only (a transfer's name and size, the same in every copy of its
// header), so a nonce of zeros never seals two texts under one key.
std::array<unsigned char, crypto_aead_chacha20poly1305_ietf_NPUBBYTES> zeroNonce() {
    return {};
}

std::array<unsigned char, kAadBytes> aadOf(std::uint64_t transfer) {
    std::array<unsigned char, kAadBytes> aad{'Z', 'X', 'N'};
    ext::putUnsigned(reinterpret_cast<char*>(aad.data() + 3), transfer, 8);
    return aad;
}

std::optional<std::string_view> namesPart(std::string_view headerPayload) {
    const auto field = headerField(headerPayload, kNamesTag);
    if (!field) {
        return std::nullopt;
    }
    return field->substr(kNamesTag.size() + 1);
}

} // namespace

std::string namesField(const Key& names, std::uint64_t transfer, const SealedName& real) {
    std::string plain(kSizeBytes, '\0');
    ext::putUnsigned(plain.data(), static_cast<std::uint64_t>(real.size), 8);
    plain += real.name;
    std::string sealed(plain.size() + kTagBytes, '\0');
    const auto nonce = zeroNonce();
    const auto aad = aadOf(transfer);
    unsigned long long length = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt(
        reinterpret_cast<unsigned char*>(sealed.data()), &length,
        reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), aad.data(), aad.size(),
        nullptr, nonce.data(), names.data());
    sodium_memzero(plain.data(), plain.size());
    return std::string(kNamesTag) + ',' +
           hexOf(reinterpret_cast<const unsigned char*>(sealed.data()), sealed.size());
}

bool hasNames(std::string_view headerPayload) {
    return namesPart(headerPayload).has_value();
}

std::optional<SealedName> openNames(const Key& names, std::uint64_t transfer,
                                    std::string_view headerPayload) {
    const auto part = namesPart(headerPayload);
    const auto sealed = part ? bytesOfHex(*part) : std::nullopt;
    if (!sealed || sealed->size() < kSizeBytes + kTagBytes) {
        return std::nullopt;
    }
    std::string plain(sealed->size() - kTagBytes, '\0');
    const auto nonce = zeroNonce();
    const auto aad = aadOf(transfer);
    unsigned long long length = 0;
    if (crypto_aead_chacha20poly1305_ietf_decrypt(
            reinterpret_cast<unsigned char*>(plain.data()), &length, nullptr,
            reinterpret_cast<const unsigned char*>(sealed->data()), sealed->size(), aad.data(),
            aad.size(), nonce.data(), names.data()) != 0) {
        return std::nullopt;
    }
    const std::uint64_t size = ext::getUnsigned(plain.data(), 8);
    if (size > static_cast<std::uint64_t>(INT64_MAX)) {
        return std::nullopt;
    }
    return SealedName{plain.substr(kSizeBytes), static_cast<std::int64_t>(size)};
}

} // namespace zelk::ext
