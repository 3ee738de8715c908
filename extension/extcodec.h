#pragma once

// The extension's wire format: the offer a client puts in its header, the acceptance a server
// puts after its answer, and the binary datagrams both send once they agreed. Pure functions
// over bytes; every integer travels big-endian.

#include "codec.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::ext {

// A plain server drops any datagram whose first byte is not 1.
inline constexpr char kStart = 2;
// Start byte, kind, transfer identity, value, CRC32C.
inline constexpr std::size_t kHeadBytes = 22;
using zelk::kLargestDatagram; // a UDP datagram over IPv4, as for plain frames
inline constexpr std::size_t kLargestBody = kLargestDatagram - kHeadBytes;
inline constexpr std::size_t kDigestBytes = 32;
// Ranges carried by one answer beyond its cumulative position.
inline constexpr std::size_t kMostRangesPerAnswer = 32;
inline constexpr std::size_t kRangeBytes = 16; // an Ack range: start and end, 8 bytes each
inline constexpr std::string_view kTag = "ZX1";
// Values, offsets and sizes travel as 64-bit numbers with the top bit 0.
inline constexpr std::uint64_t kLargestValue = 9223372036854775807ULL;

enum class Kind : char {
    Data = 'D',     // client: file bytes; value = 0-based offset of the first
    Finish = 'F',   // client: all bytes acknowledged; value = size, body = SHA-256 of the file
    Ack = 'A',      // server: value = bytes [0, value) written; body = ranges held beyond
    Verified = 'V', // server: the file is whole, its digest matches, it is on stable storage
    Mismatch = 'X', // server: the digest did not match; the copy was discarded, send it all again
    Unknown = 'U',  // server: no transfer has this identity; announce the file again
};

struct Range {
    std::int64_t start = 0; // first byte, 0-based
    std::int64_t end = 0;   // one past the last
    bool operator==(const Range&) const = default;
};

struct Frame {
    Kind kind = Kind::Data;
    std::uint64_t transfer = 0;
    std::int64_t value = 0;
    std::string_view body; // a view into the datagram
};

// Big-endian numbers of `bytes` bytes, as every integer of the extension travels.
void putUnsigned(char* out, std::uint64_t value, int bytes);
std::uint64_t getUnsigned(const char* in, int bytes);

bool knownKind(char kind);
// Whether a body of this length suits the kind (Data 1 to kLargestBody, Finish exactly
// kDigestBytes, Ack whole ranges up to kMostRangesPerAnswer, the others empty).
bool bodyFits(Kind kind, std::size_t length);

// Checks everything a receiver relies on: start byte, known kind, CRC32C, a value from 0 to
// 2^63 - 1, a transfer identity other than 0, and a body whose length suits the kind (Data 1 to
// kLargestBody, Finish exactly kDigestBytes, Ack a multiple of 16 up to kMostRangesPerAnswer
// ranges, the others empty). Nothing when any check fails.
std::optional<Frame> decode(std::string_view datagram);

// Writes the head in front of a body already placed at out + kHeadBytes, the CRC32C included:
// the client reads each piece straight into its datagram.
void writeHead(char* out, Kind kind, std::uint64_t transfer, std::int64_t value,
               std::size_t bodyLength);

// A whole datagram into `out`, whose storage is reused.
void encode(Kind kind, std::uint64_t transfer, std::int64_t value, std::string_view body,
            std::string& out);
void encodeAck(std::uint64_t transfer, std::int64_t cumulative, std::span<const Range> ranges,
               std::string& out);

// The ranges of an Ack: each non-empty, ascending, disjoint, not touching, all above its value.
// Nothing when the body breaks any of these.
std::optional<std::vector<Range>> ackRanges(const Frame& ack);

// The offer: one header field between the size and "END", "ZX1," 16 lowercase hex digits of the
// transfer identity "," the size in decimal (64-bit).
struct Offer {
    std::uint64_t transfer = 0;
    std::int64_t size = 0;
};
std::string offerField(const Offer& offer);
// The size field a header carries beside an offer: the size, or "0" when a plain server could not
// hold it (such a file then moves only when the server accepts).
std::string plainSizeText(std::int64_t size);
// Looks for an offer among a header payload's fields after the size and before the final "END".
// The first field after the plain ones (field 3 or later, the final "END" excepted) that starts
// with `tag` and a comma; nothing in a header of fewer than 5 fields or not ending in "END".
std::optional<std::string_view> headerField(std::string_view headerPayload, std::string_view tag);
std::optional<Offer> findOffer(std::string_view headerPayload);

// The acceptance: after the answer's "END", ";ZX1," the identity "," the bytes held from the first.
struct Accept {
    std::uint64_t transfer = 0;
    std::int64_t cumulative = 0;
};
std::string acceptSuffix(const Accept& accept);
// Reads the acceptance that follows "PTE;" position ";END" in an answer, up to the next ';' (a
// field may follow it); nothing when none.
std::optional<Accept> findAccept(std::string_view answer);

// Several transfers of one origin at once: a header field beside the offer, "ZXM," the most the
// client would run at once (1 to kMostTransfersAsked, decimal); a plain server ignores it as it
// ignores the offer. The server grants as many or fewer in a last field of its acceptance.
inline constexpr std::string_view kMultiTag = "ZXM";
inline constexpr int kMostTransfersAsked = 1024;
std::string multiField(int transfers);
// The number asked by a header's "ZXM" field between the size and "END"; nothing when the
// header has none, or one that is not exactly such a field.
std::optional<int> findMulti(std::string_view headerPayload);
// ";ZXM," and the number granted, written after the acceptance (and its proof, when proven).
std::string grantSuffix(int granted);
// The number granted by the last field of an answer that holds an acceptance; nothing without.
std::optional<int> findGrant(std::string_view answer);

} // namespace zelk::ext
