#include "extcodec.h"

#include "crc32c.h"

#include <charconv>
#include <cstring>
#include <limits>

namespace zelk::ext {
namespace {

constexpr std::size_t kKindAt = 1;
constexpr std::size_t kTransferAt = 2;
constexpr std::size_t kValueAt = 10;
constexpr std::size_t kCrcAt = 18;
constexpr std::size_t kHexDigits = 16;

std::uint32_t datagramCrc(const char* head, std::string_view body) {
    return crc32c(crc32c(0, head, kCrcAt), body.data(), body.size());
}

std::string hex16(std::uint64_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(kHexDigits, '0');
    for (std::size_t i = kHexDigits; i-- > 0;) {
        text[i] = kDigits[value & 0xFU];
        value >>= 4;
    }
    return text;
}

// Exactly the 16 lowercase digits a sender writes: anything else is not an offer from a peer
// that speaks the extension.
std::optional<std::uint64_t> readHex16(std::string_view text) {
    if (text.size() != kHexDigits) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        int digit = 0;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            return std::nullopt;
        }
        value = (value << 4) | static_cast<std::uint64_t>(digit);
    }
    return value;
}

// Digits only, as a peer writes them: from_chars alone would take a leading '-', and a leading
// zero would give two spellings of one number.
std::optional<std::int64_t> readDecimal(std::string_view text) {
    if (text.empty() || text.front() < '0' || text.front() > '9' ||
        (text.front() == '0' && text.size() > 1)) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc{} || result.ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

struct TagFields {
    std::uint64_t transfer = 0;
    std::int64_t number = 0;
};

// "ZX1," 16 hex digits "," decimal, and nothing else.
std::optional<TagFields> readTagged(std::string_view text) {
    const std::size_t prefix = kTag.size() + 1;
    if (text.size() < prefix + kHexDigits + 2 || !text.starts_with(kTag) ||
        text[kTag.size()] != ',' || text[prefix + kHexDigits] != ',') {
        return std::nullopt;
    }
    const auto transfer = readHex16(text.substr(prefix, kHexDigits));
    const auto number = readDecimal(text.substr(prefix + kHexDigits + 1));
    if (!transfer || *transfer == 0 || !number) {
        return std::nullopt;
    }
    return TagFields{*transfer, *number};
}

std::string tagged(std::uint64_t transfer, std::int64_t number) {
    std::string text(kTag);
    text += ',';
    text += hex16(transfer);
    text += ',';
    text += std::to_string(number);
    return text;
}

} // namespace

void putUnsigned(char* out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out[i] = static_cast<char>(value & 0xFFU);
        value >>= 8;
    }
}

std::uint64_t getUnsigned(const char* in, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value = (value << 8) | static_cast<unsigned char>(in[i]);
    }
    return value;
}

bool knownKind(char kind) {
    switch (static_cast<Kind>(kind)) {
    case Kind::Data:
    case Kind::Finish:
    case Kind::Ack:
    case Kind::Verified:
    case Kind::Mismatch:
    case Kind::Unknown:
        return true;
    }
    return false;
}

bool bodyFits(Kind kind, std::size_t length) {
    switch (kind) {
    case Kind::Data:
        return length >= 1 && length <= kLargestBody;
    case Kind::Finish:
        return length == kDigestBytes;
    case Kind::Ack:
        return length % kRangeBytes == 0 && length / kRangeBytes <= kMostRangesPerAnswer;
    case Kind::Verified:
    case Kind::Mismatch:
    case Kind::Unknown:
        return length == 0;
    }
    return false;
}

std::optional<Frame> decode(std::string_view datagram) {
    if (datagram.size() < kHeadBytes || datagram.size() > kLargestDatagram ||
        datagram[0] != kStart || !knownKind(datagram[kKindAt])) {
        return std::nullopt;
    }
    Frame frame;
    frame.kind = static_cast<Kind>(datagram[kKindAt]);
    frame.transfer = getUnsigned(datagram.data() + kTransferAt, 8);
    const std::uint64_t value = getUnsigned(datagram.data() + kValueAt, 8);
    frame.body = datagram.substr(kHeadBytes);
    if (frame.transfer == 0 || value > kLargestValue || !bodyFits(frame.kind, frame.body.size())) {
        return std::nullopt;
    }
    const auto stored = static_cast<std::uint32_t>(getUnsigned(datagram.data() + kCrcAt, 4));
    if (stored != datagramCrc(datagram.data(), frame.body)) {
        return std::nullopt;
    }
    frame.value = static_cast<std::int64_t>(value);
    return frame;
}

void writeHead(char* out, Kind kind, std::uint64_t transfer, std::int64_t value,
               std::size_t bodyLength) {
    out[0] = kStart;
    out[kKindAt] = static_cast<char>(kind);
    putUnsigned(out + kTransferAt, transfer, 8);
    putUnsigned(out + kValueAt, static_cast<std::uint64_t>(value), 8);
    const std::string_view body(out + kHeadBytes, bodyLength);
    putUnsigned(out + kCrcAt, datagramCrc(out, body), 4);
}

void encode(Kind kind, std::uint64_t transfer, std::int64_t value, std::string_view body,
            std::string& out) {
    out.resize(kHeadBytes + body.size());
    if (!body.empty()) {
        std::memcpy(out.data() + kHeadBytes, body.data(), body.size());
    }
    writeHead(out.data(), kind, transfer, value, body.size());
}

void encodeAck(std::uint64_t transfer, std::int64_t cumulative, std::span<const Range> ranges,
               std::string& out) {
    out.resize(kHeadBytes + ranges.size() * kRangeBytes);
    char* at = out.data() + kHeadBytes;
    for (const Range& range : ranges) {
        putUnsigned(at, static_cast<std::uint64_t>(range.start), 8);
        putUnsigned(at + 8, static_cast<std::uint64_t>(range.end), 8);
        at += kRangeBytes;
    }
    writeHead(out.data(), Kind::Ack, transfer, cumulative, ranges.size() * kRangeBytes);
}

std::optional<std::vector<Range>> ackRanges(const Frame& ack) {
    if (ack.kind != Kind::Ack || ack.value < 0 || !bodyFits(Kind::Ack, ack.body.size())) {
        return std::nullopt;
    }
    std::vector<Range> ranges;
    ranges.reserve(ack.body.size() / kRangeBytes);
    std::int64_t floor = ack.value; // each start lies strictly above this
    for (std::size_t at = 0; at < ack.body.size(); at += kRangeBytes) {
        const std::uint64_t start = getUnsigned(ack.body.data() + at, 8);
        const std::uint64_t end = getUnsigned(ack.body.data() + at + 8, 8);
        if (end > kLargestValue || start >= end || start <= static_cast<std::uint64_t>(floor)) {
            return std::nullopt;
        }
        ranges.push_back({static_cast<std::int64_t>(start), static_cast<std::int64_t>(end)});
        floor = static_cast<std::int64_t>(end);
    }
    return ranges;
}

std::string offerField(const Offer& offer) {
    return tagged(offer.transfer, offer.size);
}

std::string plainSizeText(std::int64_t size) {
    return size >= 0 && size <= kLargestFile ? std::to_string(size) : std::string("0");
}

std::optional<std::string_view> headerField(std::string_view headerPayload, std::string_view tag) {
    const auto fields = splitFields(headerPayload);
    if (fields.size() < 5 || fields.back() != "END") {
        return std::nullopt;
    }
    for (std::size_t i = 3; i + 1 < fields.size(); ++i) {
        if (fields[i].size() > tag.size() && fields[i].starts_with(tag) &&
            fields[i][tag.size()] == ',') {
            return fields[i];
        }
    }
    return std::nullopt;
}

std::optional<Offer> findOffer(std::string_view headerPayload) {
    const auto field = headerField(headerPayload, kTag);
    const auto read = field ? readTagged(*field) : std::nullopt;
    if (!read) {
        return std::nullopt;
    }
    return Offer{read->transfer, read->number};
}

std::string acceptSuffix(const Accept& accept) {
    return ';' + tagged(accept.transfer, accept.cumulative);
}

std::optional<Accept> findAccept(std::string_view answer) {
    const auto at = fieldStart(answer, 3);
    if (!at) {
        return std::nullopt;
    }
    const auto fields = splitFields(answer.substr(0, *at - 1));
    if (fields.size() != 3 || fields[0] != "PTE" || fields[2] != "END") {
        return std::nullopt;
    }
    const std::string_view rest = answer.substr(*at);
    const auto read = readTagged(rest.substr(0, rest.find(';')));
    if (!read) {
        return std::nullopt;
    }
    return Accept{read->transfer, read->number};
}

std::string multiField(int transfers) {
    return std::string(kMultiTag) + ',' + std::to_string(transfers);
}

namespace {

// "ZXM," and a number from 1 to kMostTransfersAsked, and nothing else.
std::optional<int> readMulti(std::string_view field) {
    if (field.size() <= kMultiTag.size() + 1 || !field.starts_with(kMultiTag) ||
        field[kMultiTag.size()] != ',') {
        return std::nullopt;
    }
    const auto number = readDecimal(field.substr(kMultiTag.size() + 1));
    if (!number || *number < 1 || *number > kMostTransfersAsked) {
        return std::nullopt;
    }
    return static_cast<int>(*number);
}

} // namespace

std::optional<int> findMulti(std::string_view headerPayload) {
    const auto field = headerField(headerPayload, kMultiTag);
    return field ? readMulti(*field) : std::nullopt;
}

std::string grantSuffix(int granted) {
    return ';' + multiField(granted);
}

std::optional<int> findGrant(std::string_view answer) {
    const std::size_t last = answer.rfind(';');
    if (last == std::string_view::npos || !findAccept(answer.substr(0, last))) {
        return std::nullopt;
    }
    return readMulti(answer.substr(last + 1));
}

} // namespace zelk::ext
