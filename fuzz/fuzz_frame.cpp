// Frame validation and classification on arbitrary bytes, checked against a plain reading of the
// frame layout: start byte 1, 10 origin bytes, 1 to 4 length characters, ";", the payload.

#include "codec.h"
#include "fuzzcheck.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace {

struct Expected {
    std::size_t start;
    std::size_t length;
};

// The length field is its leading decimal number, blanks ignored.
std::size_t lengthValue(std::string_view field) {
    std::size_t value = 0;
    for (char c : field) {
        if (c == ' ') {
            continue;
        }
        if (c < '0' || c > '9') {
            break;
        }
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    return value;
}

std::optional<Expected> expectedFrame(std::string_view bytes) {
    if (bytes.empty() || bytes[0] != 1) {
        return std::nullopt;
    }
    for (std::size_t i = 11; i <= 15 && i < bytes.size(); ++i) {
        if (bytes[i] == ';') {
            const std::size_t length = lengthValue(bytes.substr(11, i - 11));
            if (length == 0 || i + 1 + length != bytes.size()) {
                return std::nullopt;
            }
            return Expected{i + 1, length};
        }
    }
    return std::nullopt;
}

void checkAgainstReference(std::string_view bytes) {
    const zelk::FrameCheck check = zelk::Valide_Id_Long(bytes);
    const auto expected = expectedFrame(bytes);
    FUZZ_CHECK(check.valid() == expected.has_value());
    if (!check.valid()) {
        FUZZ_CHECK(!zelk::isHeaderFrame(bytes, check));
        return;
    }
    FUZZ_CHECK(static_cast<std::size_t>(check.posDebutDonnees) == expected->start);
    FUZZ_CHECK(static_cast<std::size_t>(check.longDonnees) == expected->length);
    FUZZ_CHECK(check.posDebutDonnees >= 12 && check.posDebutDonnees <= 16);
    FUZZ_CHECK(check.longDonnees >= 1 &&
               static_cast<std::size_t>(check.longDonnees) <= zelk::kMaxPayload);
    FUZZ_CHECK(bytes.size() <= zelk::kMaxFrame);

    const std::string_view payload = bytes.substr(expected->start);
    const bool header =
        payload.size() >= 3 && payload.starts_with("BEG") && payload.ends_with("END");
    FUZZ_CHECK(zelk::isHeaderFrame(bytes, check) == header);
}

// A content frame built around any piece validates to exactly that piece.
void checkContentRoundTrip(std::string_view bytes) {
    const std::string_view origin = bytes.substr(0, std::min<std::size_t>(bytes.size(), 10));
    const std::string_view piece = bytes.substr(origin.size()).substr(0, zelk::kMaxPayload);
    if (piece.empty()) {
        return;
    }
    const std::string frame = zelk::buildContentFrame(origin, piece);
    const zelk::FrameCheck check = zelk::Valide_Id_Long(frame);
    FUZZ_CHECK(check.valid());
    FUZZ_CHECK(static_cast<std::size_t>(check.longDonnees) == piece.size());
    FUZZ_CHECK(std::string_view(frame).substr(static_cast<std::size_t>(check.posDebutDonnees)) ==
               piece);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = fuzz::bytesOf(data, size);
    checkAgainstReference(bytes);
    checkContentRoundTrip(bytes);
    return 0;
}
