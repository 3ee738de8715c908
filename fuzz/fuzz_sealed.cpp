// Sealed datagrams: any bytes are refused or opened without crashing, only what was sealed under
// the key opens, and it opens to exactly what was sealed; the replay window takes each sequence
// number at most once.

#include "fuzzcheck.h"
#include "secure.h"

#include <set>
#include <string>

using namespace zelk::ext;

namespace {

const Key& fixedKey() {
    static const Key key = [] {
        Key k{};
        for (std::size_t i = 0; i < k.size(); ++i) {
            k[i] = static_cast<unsigned char>(i * 7 + 1);
        }
        return k;
    }();
    return key;
}

// AES-256-GCM only where the processor has it, as the programs choose.
Aead aeadOf(std::string_view bytes) {
    static const bool aes = aeadsOffered() == "AC";
    return aes && !bytes.empty() && (bytes.back() & 1) != 0 ? Aead::Aes256Gcm
                                                            : Aead::ChaCha20Poly1305;
}

void checkAnyBytes(std::string_view bytes) {
    std::string plain;
    const auto head = sealedHead(bytes);
    const auto frame = openSealed(bytes, fixedKey(), aeadOf(bytes), plain);
    FUZZ_CHECK(!frame || head);
    if (frame) {
        FUZZ_CHECK(bodyFits(frame->kind, frame->body.size()));
        FUZZ_CHECK(frame->body.size() + kSealedOverhead == bytes.size());
    }
}

void checkRoundTrip(std::string_view bytes) {
    if (bytes.size() < 2) {
        return;
    }
    const Kind kinds[] = {Kind::Data, Kind::Finish, Kind::Ack, Kind::Verified};
    const Kind kind = kinds[static_cast<unsigned char>(bytes[0]) % 4];
    const std::uint64_t sequence = static_cast<unsigned char>(bytes[1]) + 1U;
    std::string_view body = bytes.substr(2, kLargestSealedBody);
    if (!bodyFits(kind, body.size())) {
        return;
    }
    std::string datagram;
    const Aead aead = aeadOf(bytes);
    seal(kind, 0x1234, 99, sequence, body, fixedKey(), aead, datagram);
    std::string plain;
    const auto frame = openSealed(datagram, fixedKey(), aead, plain);
    FUZZ_CHECK(frame && frame->kind == kind && frame->transfer == 0x1234 && frame->value == 99 &&
               frame->body == body);
    datagram[datagram.size() / 2] = static_cast<char>(datagram[datagram.size() / 2] ^ 0x10);
    FUZZ_CHECK(!openSealed(datagram, fixedKey(), aead, plain));
}

// Against a model that remembers every number: the window may refuse what it cannot tell any
// more, never take a number twice, and always takes a new highest.
void checkReplayWindow(std::string_view bytes) {
    ReplayWindow window;
    std::set<std::uint64_t> taken;
    std::uint64_t at = 1;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto step = static_cast<std::int64_t>(static_cast<unsigned char>(bytes[i]) << 4 |
                                                    static_cast<unsigned char>(bytes[i + 1]) >> 4) -
                          2048;
        at = static_cast<std::uint64_t>(
            std::max<std::int64_t>(1, static_cast<std::int64_t>(at) + step));
        const bool newest = taken.empty() || at > *taken.rbegin();
        const bool took = window.take(at);
        FUZZ_CHECK(!took || taken.insert(at).second);
        FUZZ_CHECK(!newest || took);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = fuzz::bytesOf(data, size);
    checkAnyBytes(bytes);
    checkRoundTrip(bytes);
    checkReplayWindow(bytes);
    return 0;
}
