// Header decoding on arbitrary frames, and header frames built from arbitrary names and sizes.

#include "codec.h"
#include "config.h"
#include "fuzzcheck.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

void checkDecoding(std::string_view bytes) {
    const zelk::FrameCheck check = zelk::Valide_Id_Long(bytes);
    const auto header = zelk::Traduit_Recu(bytes, check);
    if (!check.valid()) {
        FUZZ_CHECK(!header);
        return;
    }
    const std::string_view payload = bytes.substr(static_cast<std::size_t>(check.posDebutDonnees));
    const std::size_t separators =
        static_cast<std::size_t>(std::count(payload.begin(), payload.end(), ';'));
    FUZZ_CHECK(header.has_value() == (separators >= 2));
    if (!header) {
        return;
    }
    FUZZ_CHECK(header->nomOrigine == bytes.substr(1, zelk::kOriginWidth));
    FUZZ_CHECK(header->nomFichier.find(';') == std::string::npos);
    FUZZ_CHECK(header->tailleTotale.find(';') == std::string::npos);
    const std::size_t nameStart = payload.find(';') + 1;
    FUZZ_CHECK(payload.substr(nameStart, header->nomFichier.size()) == header->nomFichier);
    const std::size_t sizeStart = nameStart + header->nomFichier.size() + 1;
    FUZZ_CHECK(payload.substr(sizeStart, header->tailleTotale.size()) == header->tailleTotale);
}

// A header frame for any name without ";" decodes to that name and size.
void checkRoundTrip(std::string_view bytes) {
    if (bytes.size() < 8) {
        return;
    }
    std::int64_t size = 0;
    std::memcpy(&size, bytes.data(), sizeof size);
    std::string name(bytes.substr(8, 9000));
    std::erase(name, ';');
    const std::string origin(bytes.substr(8, 10));
    const std::string frame = zelk::buildHeaderFrame(origin, name, size);
    const zelk::FrameCheck check = zelk::Valide_Id_Long(frame);
    FUZZ_CHECK(check.valid());
    FUZZ_CHECK(zelk::isHeaderFrame(frame, check));
    const auto header = zelk::Traduit_Recu(frame, check);
    FUZZ_CHECK(header.has_value());
    FUZZ_CHECK(header->nomOrigine == zelk::originIdentifier(origin));
    FUZZ_CHECK(header->nomFichier == name);
    FUZZ_CHECK(header->tailleTotale == std::to_string(size));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = fuzz::bytesOf(data, size);
    checkDecoding(bytes);
    checkRoundTrip(bytes);
    return 0;
}
