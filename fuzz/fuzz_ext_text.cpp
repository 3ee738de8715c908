// The offer in a header and the acceptance after an answer: any text is read without crashing,
// what is found is the one spelling a peer writes, standing where it belongs, and whatever a peer
// writes is found again.

#include "extcodec.h"
#include "fuzzcheck.h"

#include <cstring>
#include <string>
#include <vector>

using namespace zelk::ext;

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

// The one spelling a peer writes, checked apart from the reader: "ZX1," 16 lowercase hex digits
// not all zero, ",", a decimal without sign or leading zero that fits 63 bits.
bool canonical(std::string_view text) {
    constexpr std::string_view kLargest = "9223372036854775807";
    if (text.size() < 22 || !text.starts_with("ZX1,") || text[20] != ',') {
        return false;
    }
    const std::string_view hex = text.substr(4, 16);
    const std::string_view decimal = text.substr(21);
    if (hex.find_first_not_of("0123456789abcdef") != std::string_view::npos ||
        hex == "0000000000000000") {
        return false;
    }
    if (decimal.empty() || decimal.find_first_not_of("0123456789") != std::string_view::npos ||
        (decimal[0] == '0' && decimal.size() > 1) || decimal.size() > kLargest.size()) {
        return false;
    }
    return decimal.size() < kLargest.size() || decimal <= kLargest;
}

void checkOffer(std::string_view text) {
    const auto offer = findOffer(text);
    const auto parts = fields(text);
    std::string_view tagged;
    if (parts.size() >= 5 && parts.back() == "END") {
        for (std::size_t i = 3; i + 1 < parts.size() && tagged.empty(); ++i) {
            if (parts[i].starts_with("ZX1,")) {
                tagged = parts[i];
            }
        }
    }
    FUZZ_CHECK(offer.has_value() == canonical(tagged));
    if (offer) {
        FUZZ_CHECK(tagged == offerField(*offer));
    }
}

void checkAccept(std::string_view text) {
    const auto accept = findAccept(text);
    const auto parts = fields(text);
    std::string_view rest;
    bool framed = parts.size() >= 4 && parts[0] == "PTE" && parts[2] == "END";
    if (framed) {
        // The acceptance is field 3; a field after it (a proof, a grant) is read by others.
        rest = text.substr(parts[0].size() + parts[1].size() + parts[2].size() + 3);
        rest = rest.substr(0, rest.find(';'));
    }
    FUZZ_CHECK(accept.has_value() == (framed && canonical(rest)));
    if (accept) {
        FUZZ_CHECK(";" + std::string(rest) == acceptSuffix(*accept));
    }
}

// The input read as identity, number and a name written by a peer around them.
void checkRoundTrip(std::string_view bytes) {
    if (bytes.size() < 16) {
        return;
    }
    std::uint64_t transfer = 0;
    std::int64_t number = 0;
    std::memcpy(&transfer, bytes.data(), sizeof transfer);
    std::memcpy(&number, bytes.data() + 8, sizeof number);
    if (transfer == 0 || number < 0) {
        return;
    }
    std::string name(bytes.substr(16));
    for (char& c : name) {
        if (c == ';') {
            c = '_';
        }
    }
    const auto offer = findOffer("BEG;" + name + ";" + plainSizeText(number) + ";" +
                                 offerField({transfer, number}) + ";END");
    FUZZ_CHECK(offer && offer->transfer == transfer && offer->size == number);
    const auto accept = findAccept("PTE;" + name + ";END" + acceptSuffix({transfer, number}));
    FUZZ_CHECK(accept && accept->transfer == transfer && accept->cumulative == number);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = fuzz::bytesOf(data, size);
    checkOffer(bytes);
    checkAccept(bytes);
    checkRoundTrip(bytes);
    return 0;
}
