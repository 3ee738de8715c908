// Extended datagrams: decoding any bytes never crashes, what decodes is exactly what the encoder
// writes for those fields (one spelling per datagram), the ranges of an accepted answer keep
// their promises, and any fields encoded read back as themselves when they are valid.

#include "crc32c.h"
#include "extcodec.h"
#include "fuzzcheck.h"
#include "rangeset.h"

#include <cstring>
#include <string>
#include <vector>

using namespace zelk::ext;

namespace {

void checkRanges(const Frame& ack, std::string_view datagram) {
    const auto ranges = ackRanges(ack);
    if (!ranges) {
        return;
    }
    std::int64_t floor = ack.value;
    RangeSet set;
    set.add(0, ack.value);
    for (const Range& range : *ranges) {
        FUZZ_CHECK(range.start > floor && range.start < range.end);
        floor = range.end;
        FUZZ_CHECK(set.add(range.start, range.end));
    }
    FUZZ_CHECK(set.cumulative() == ack.value);
    FUZZ_CHECK(set.beyondCumulative(kMostRangesPerAnswer) == *ranges);
    std::string again;
    encodeAck(ack.transfer, ack.value, *ranges, again);
    FUZZ_CHECK(again == datagram);
}

void checkDecoding(std::string_view bytes) {
    const auto frame = decode(bytes);
    if (!frame) {
        return;
    }
    FUZZ_CHECK(frame->transfer != 0 && frame->value >= 0);
    FUZZ_CHECK(fuzz::inside(frame->body, bytes));
    FUZZ_CHECK(frame->body.size() + kHeadBytes == bytes.size());
    std::string again;
    encode(frame->kind, frame->transfer, frame->value, frame->body, again);
    FUZZ_CHECK(again == bytes);
    if (frame->kind == Kind::Ack) {
        checkRanges(*frame, bytes);
    } else {
        FUZZ_CHECK(!ackRanges(*frame));
    }
}

bool fits(Kind kind, std::size_t length) {
    switch (kind) {
    case Kind::Data:
        return length >= 1 && length <= kLargestBody;
    case Kind::Finish:
        return length == kDigestBytes;
    case Kind::Ack:
        return length % 16 == 0 && length / 16 <= kMostRangesPerAnswer;
    default:
        return length == 0;
    }
}

// The same bytes with the CRC32C they should carry, so that mutations reach past the checksum.
std::string withCrcMended(std::string_view bytes) {
    std::string mended(bytes);
    const std::uint32_t crc = crc32c(crc32c(0, mended.data(), 18), mended.data() + kHeadBytes,
                                     mended.size() - kHeadBytes);
    for (int i = 0; i < 4; ++i) {
        mended[18 + static_cast<std::size_t>(i)] = static_cast<char>((crc >> (24 - 8 * i)) & 0xFFU);
    }
    return mended;
}

// The input read as fields: kind, identity, value, then the body.
void checkRoundTrip(std::string_view bytes) {
    if (bytes.size() < 17) {
        return;
    }
    const auto kind = static_cast<Kind>(bytes[0]);
    std::uint64_t transfer = 0;
    std::int64_t value = 0;
    std::memcpy(&transfer, bytes.data() + 1, sizeof transfer);
    std::memcpy(&value, bytes.data() + 9, sizeof value);
    const std::string_view body = bytes.substr(17);
    std::string datagram;
    encode(kind, transfer, value, body, datagram);
    const auto frame = decode(datagram);
    const std::string_view kinds = "DFAVXU";
    const bool valid = kinds.find(bytes[0]) != std::string_view::npos && transfer != 0 &&
                       value >= 0 && fits(kind, body.size());
    FUZZ_CHECK(frame.has_value() == valid);
    if (frame) {
        FUZZ_CHECK(frame->kind == kind && frame->transfer == transfer && frame->value == value);
        FUZZ_CHECK(frame->body == body);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = fuzz::bytesOf(data, size);
    checkDecoding(bytes);
    if (bytes.size() >= kHeadBytes) {
        const std::string mended = withCrcMended(bytes);
        FUZZ_CHECK(decode(mended).has_value() || !decode(bytes));
        checkDecoding(mended);
    }
    checkRoundTrip(bytes);
    return 0;
}
