#pragma once

// Frames (client to server) and acknowledgements (server to client), as pure functions over
// bytes. Texts are bytes: one character per byte, so names travel unchanged.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

// The protocol's limits: the codec, the configuration, the extension and both programs take them
// from here.
inline constexpr std::size_t kOriginWidth = 10;
// Four length digits: also the piece size of a configuration that names none.
inline constexpr std::size_t kMaxPayload = 9999;
inline constexpr std::size_t kMaxFrame = 10015;    // 12 + 4 length digits + 9999
inline constexpr std::size_t kMaxFramePrefix = 16; // start byte, origin, 4 digits, ";"
inline constexpr char kStartByte = 1;
// Positions are 32-bit signed on the wire: the client holds them in a Long.
inline constexpr std::int64_t kLargestPosition = 2147483647;
// The largest file whose final position (length + 1) still fits a position; larger ones move only
// with a server that takes the extension, whose offsets are 64-bit.
inline constexpr std::int64_t kLargestFile = kLargestPosition - 1;
inline constexpr std::int64_t kLargestExtendedFile = std::int64_t{1} << 62;
// The most one UDP datagram carries over IPv4.
inline constexpr std::size_t kLargestDatagram = 65507;

static_assert(kMaxFrame == 1 + kOriginWidth + 4 + 1 + kMaxPayload);

// Texts of both protocols split at every ";": "a;;b" is three fields, a text without ";" one.
std::vector<std::string_view> splitFields(std::string_view text);
// Where the text after the first `count` separators begins; nothing when it has fewer.
std::optional<std::size_t> fieldStart(std::string_view text, std::size_t count);
// Field `index` of the same split, found in place; nothing when the text has fewer fields.
std::optional<std::string_view> fieldAt(std::string_view text, std::size_t index);

// The origin identifier as it travels: cut to 10 characters or padded with blanks.
std::string originIdentifier(std::string_view value);

// Where the payload of a valid frame lies; posDebutDonnees is -1 for an invalid frame.
// A frame with an empty payload is invalid: it can be neither a header nor a piece.
struct FrameCheck {
    int posDebutDonnees = -1;
    int longDonnees = 0;
    bool valid() const { return posDebutDonnees >= 0; }
};

FrameCheck Valide_Id_Long(std::string_view valDonnees);

// A valid frame is a header when its payload begins with "BEG" and ends with "END".
bool isHeaderFrame(std::string_view frame, FrameCheck check);

struct Header {
    std::string nomOrigine;   // 10 characters, trailing blanks kept
    std::string nomFichier;   // field 1
    std::string tailleTotale; // field 2, as sent
};

// Decodes a header frame; nothing when its text splits into fewer than 3 fields.
std::optional<Header> Traduit_Recu(std::string_view frame, FrameCheck check);

struct Content {
    std::string_view nomOrigine;     // 10 characters, a view into the frame
    std::string_view donneesContenu; // the payload, a view into the frame
};

Content Extrait_Orig_Data(std::string_view frame, FrameCheck check);

// "BEG;" name ";" size ";END" inside a frame.
std::string buildHeaderFrame(std::string_view origine10, std::string_view name, std::int64_t size);
// "BEG;" name ";" size ";" extra ";END": a field that servers which do not know it ignore.
std::string buildHeaderFrame(std::string_view origine10, std::string_view name,
                             std::string_view sizeText, std::string_view extra);

// Writes the start byte, origin, length digits and ";" of a content frame carrying `length`
// (1 to 9999) bytes; returns how many bytes it wrote (at most kMaxFramePrefix).
std::size_t writeContentPrefix(char* out, std::string_view origine10, std::size_t length);

std::string buildContentFrame(std::string_view origine10, std::string_view piece);

// "PTE;" position ";END".
std::string buildAck(std::string_view position);
// The same into `out`, whose storage is reused from one acknowledgement to the next.
void buildAck(std::string_view position, std::string& out);

// Reads an acknowledgement: field 0 "PTE" and field 2 "END" exactly, fields split at every ";".
// Gives the 0-based index of the next byte to send (position - 1, rounded half to even), or
// nothing when the text is no acknowledgement.
std::optional<std::int64_t> readAck(std::string_view text);

// Cutting a TCP byte stream into frames by the frame's own length field.
enum class StreamCut {
    Complete, // a whole frame of `length` bytes stands at the front
    NeedMore, // the bytes so far can begin a valid frame; wait for more
    Garbage,  // the bytes so far cannot begin a valid frame
};

struct StreamFrame {
    StreamCut cut;
    std::size_t length = 0;
};

StreamFrame cutStreamFrame(std::string_view gathered);

} // namespace zelk
