// The handshake's fields in headers and answers: any text is read without crashing, what is
// found lies where a peer writes it, and whatever a peer writes is found again, unchanged.

#include "fuzzcheck.h"
#include "secure.h"

#include <cstring>
#include <string>

using namespace zelk::ext;

namespace {

template <std::size_t N> std::array<unsigned char, N> take(std::string_view& bytes) {
    std::array<unsigned char, N> out{};
    const std::size_t n = std::min(N, bytes.size());
    std::memcpy(out.data(), bytes.data(), n);
    bytes.remove_prefix(n);
    return out;
}

void checkFound(std::string_view text) {
    if (findHello(text)) {
        FUZZ_CHECK(text.ends_with(";END") && text.find(";ZXK,") != std::string_view::npos);
    }
    if (const auto challenge = findChallenge(text)) {
        FUZZ_CHECK(challenge->transfer != 0);
        FUZZ_CHECK(text.starts_with("PTE;") && text.find(";END;ZXK,") != std::string_view::npos);
    }
    if (const auto accept = findProvenAccept(text)) {
        const auto plain = findAccept(text.substr(0, text.rfind(';')));
        FUZZ_CHECK(plain && plain->transfer == accept->accept.transfer &&
                   plain->cumulative == accept->accept.cumulative);
    }
}

// The input as the parts of each field, written as a peer writes them and read back.
void checkRoundTrip(std::string_view bytes) {
    Hello hello{take<kKeyIdBytes>(bytes), take<kNonceBytes>(bytes), "C", std::nullopt, {}};
    if (!bytes.empty() && (bytes.front() & 2) != 0) {
        hello.aeads = "AC";
    }
    if (!bytes.empty() && (bytes.front() & 1) != 0) {
        hello.server = take<kNonceBytes>(bytes);
        hello.proof = take<kMacBytes>(bytes);
    }
    const auto read = findHello("BEG;n;5;ZX1,00000000000000aa,5;" + helloField(hello) + ";END");
    FUZZ_CHECK(read && read->keyId == hello.keyId && read->client == hello.client &&
               read->aeads == hello.aeads && read->server == hello.server &&
               (!hello.server || read->proof == hello.proof));

    std::uint64_t transfer = 0;
    const auto raw = take<8>(bytes);
    std::memcpy(&transfer, raw.data(), sizeof transfer);
    if (transfer == 0) {
        return;
    }
    const Aead aead = (transfer & 1) != 0 ? Aead::Aes256Gcm : Aead::ChaCha20Poly1305;
    const Challenge challenge{transfer, take<kNonceBytes>(bytes), aead, take<kMacBytes>(bytes)};
    const auto back = findChallenge("PTE;1;END" + challengeSuffix(challenge));
    FUZZ_CHECK(back && back->transfer == transfer && back->server == challenge.server &&
               back->aead == aead && back->proof == challenge.proof);
    const ProvenAccept accept{Accept{transfer, static_cast<std::int64_t>(transfer >> 1)},
                              take<kMacBytes>(bytes)};
    const auto got = findProvenAccept("PTE;7;END" + provenAcceptSuffix(accept));
    FUZZ_CHECK(got && got->accept.transfer == transfer &&
               got->accept.cumulative == accept.accept.cumulative && got->proof == accept.proof);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = fuzz::bytesOf(data, size);
    checkFound(bytes);
    checkRoundTrip(bytes);
    return 0;
}
