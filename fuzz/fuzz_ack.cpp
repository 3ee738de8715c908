// Reading acknowledgements: only "PTE" ; position ; "END" (further fields ignored) is accepted,
// and an acknowledgement built for any position reads back as that position less one.

#include "codec.h"
#include "fuzzcheck.h"
#include "numeric.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string_view> fields(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ';') {
            out.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

void checkReading(std::string_view text) {
    const auto index = zelk::readAck(text);
    const auto parts = fields(text);
    const bool expected = parts.size() >= 3 && parts[0] == "PTE" && parts[2] == "END";
    FUZZ_CHECK(index.has_value() == expected);
    if (index) {
        FUZZ_CHECK(text.starts_with("PTE;"));
        FUZZ_CHECK(*index == zelk::roundHalfEven(zelk::numericValue(parts[1]) - 1.0));
    }
}

void checkRoundTrip(std::string_view bytes) {
    if (bytes.size() < 4) {
        return;
    }
    std::int32_t position = 0;
    std::memcpy(&position, bytes.data(), sizeof position);
    if (position < 1) {
        return;
    }
    const auto index = zelk::readAck(zelk::buildAck(std::to_string(position)));
    FUZZ_CHECK(index.has_value() && *index == static_cast<std::int64_t>(position) - 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = fuzz::bytesOf(data, size);
    checkReading(bytes);
    checkRoundTrip(bytes);
    return 0;
}
