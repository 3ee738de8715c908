#include "codec.h"

#include "numeric.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <vector>

namespace zelk {
namespace {

constexpr std::size_t kLengthStart = 11;
constexpr std::size_t kLengthEnd = 15; // last offset where the separator may stand

// The length field is read as its leading decimal number, blanks ignored ("0024" is 24).
int lengthFieldValue(std::string_view field) {
    int value = 0;
    for (char c : field) {
        if (c == ' ') {
            continue;
        }
        if (c < '0' || c > '9') {
            break;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

// Offset of the separator, 0 when the bytes cannot hold one, npos when more bytes are needed.
std::size_t separatorOffset(std::string_view bytes) {
    for (std::size_t i = kLengthStart; i <= kLengthEnd; ++i) {
        if (i >= bytes.size()) {
            return std::string_view::npos;
        }
        if (bytes[i] == ';') {
            return i;
        }
    }
    return 0;
}

std::string_view originOf(std::string_view frame) {
    return frame.substr(1, kOriginWidth);
}

void appendNumber(std::string& out, std::int64_t value) {
    std::array<char, 24> digits{};
    const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    out.append(digits.data(), result.ptr);
}

void appendOrigin(std::string& out, std::string_view origin) {
    out += originIdentifier(origin);
}

} // namespace

std::vector<std::string_view> splitFields(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(';', start);
        if (end == std::string_view::npos) {
            fields.push_back(text.substr(start));
            return fields;
        }
        fields.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::optional<std::size_t> fieldStart(std::string_view text, std::size_t count) {
    std::size_t at = 0;
    for (std::size_t field = 0; field < count; ++field) {
        at = text.find(';', at);
        if (at == std::string_view::npos) {
            return std::nullopt;
        }
        ++at;
    }
    return at;
}

std::optional<std::string_view> fieldAt(std::string_view text, std::size_t index) {
    const auto start = fieldStart(text, index);
    if (!start) {
        return std::nullopt;
    }
    const std::size_t end = text.find(';', *start);
    return text.substr(*start, end == std::string_view::npos ? end : end - *start);
}

std::string originIdentifier(std::string_view value) {
    std::string id(value.substr(0, kOriginWidth));
    id.resize(kOriginWidth, ' ');
    return id;
}

FrameCheck Valide_Id_Long(std::string_view valDonnees) {
    FrameCheck check;
    if (valDonnees.empty() || valDonnees[0] != kStartByte) {
        return check;
    }
    const std::size_t separator = separatorOffset(valDonnees);
    if (separator == 0 || separator == std::string_view::npos) {
        return check;
    }
    const int length = lengthFieldValue(valDonnees.substr(kLengthStart, separator - kLengthStart));
    const auto start = static_cast<int>(separator + 1);
    if (length == 0 || static_cast<std::size_t>(start + length) != valDonnees.size()) {
        return check;
    }
    check.posDebutDonnees = start;
    check.longDonnees = length;
    return check;
}

bool isHeaderFrame(std::string_view frame, FrameCheck check) {
    if (!check.valid() || check.longDonnees < 3) {
        return false;
    }
    const std::string_view payload = frame.substr(static_cast<std::size_t>(check.posDebutDonnees),
                                                  static_cast<std::size_t>(check.longDonnees));
    return payload.starts_with("BEG") && payload.ends_with("END");
}

std::optional<Header> Traduit_Recu(std::string_view frame, FrameCheck check) {
    if (!check.valid()) {
        return std::nullopt;
    }
    const std::string_view texteEntete =
        frame.substr(static_cast<std::size_t>(check.posDebutDonnees),
                     static_cast<std::size_t>(check.longDonnees));
    const auto fields = splitFields(texteEntete);
    if (fields.size() < 3) {
        return std::nullopt;
    }
    return Header{std::string(originOf(frame)), std::string(fields[1]), std::string(fields[2])};
}

Content Extrait_Orig_Data(std::string_view frame, FrameCheck check) {
    if (!check.valid()) {
        return {};
    }
    return Content{originOf(frame), frame.substr(static_cast<std::size_t>(check.posDebutDonnees),
                                                 static_cast<std::size_t>(check.longDonnees))};
}

std::string buildHeaderFrame(std::string_view origine10, std::string_view name, std::int64_t size) {
    std::string sizeText;
    appendNumber(sizeText, size);
    return buildHeaderFrame(origine10, name, sizeText, {});
}

std::string buildHeaderFrame(std::string_view origine10, std::string_view name,
                             std::string_view sizeText, std::string_view extra) {
    std::string text = "BEG;";
    text.append(name);
    text += ';';
    text.append(sizeText);
    if (!extra.empty()) {
        text += ';';
        text.append(extra);
    }
    text += ";END";

    std::string frame(1, kStartByte);
    appendOrigin(frame, origine10);
    appendNumber(frame, static_cast<std::int64_t>(text.size()));
    frame += ';';
    frame += text;
    return frame;
}

std::size_t writeContentPrefix(char* out, std::string_view origine10, std::size_t length) {
    // Written in place: the client calls this once per piece.
    out[0] = kStartByte;
    const std::size_t kept = std::min(origine10.size(), kOriginWidth);
    std::fill(out + 1, out + 1 + kOriginWidth, ' ');
    origine10.copy(out + 1, kept);
    char* digitsEnd = std::to_chars(out + 1 + kOriginWidth, out + kMaxFramePrefix - 1, length).ptr;
    *digitsEnd = ';';
    return static_cast<std::size_t>(digitsEnd + 1 - out);
}

std::string buildContentFrame(std::string_view origine10, std::string_view piece) {
    std::string frame(kMaxFramePrefix + piece.size(), '\0');
    const std::size_t prefix = writeContentPrefix(frame.data(), origine10, piece.size());
    piece.copy(frame.data() + prefix, piece.size());
    frame.resize(prefix + piece.size());
    return frame;
}

std::string buildAck(std::string_view position) {
    std::string ack;
    buildAck(position, ack);
    return ack;
}

void buildAck(std::string_view position, std::string& out) {
    out.assign("PTE;");
    out.append(position);
    out += ";END";
}

// Fields are found in place: the client reads one acknowledgement per piece.
std::optional<std::int64_t> readAck(std::string_view text) {
    const auto end = fieldAt(text, 2);
    if (!end || *fieldAt(text, 0) != "PTE" || *end != "END") {
        return std::nullopt;
    }
    return roundHalfEven(numericValue(*fieldAt(text, 1)) - 1.0);
}

StreamFrame cutStreamFrame(std::string_view gathered) {
    if (gathered.empty()) {
        return {StreamCut::NeedMore};
    }
    if (gathered[0] != kStartByte) {
        return {StreamCut::Garbage};
    }
    const std::size_t separator = separatorOffset(gathered);
    if (separator == std::string_view::npos) {
        return {StreamCut::NeedMore};
    }
    if (separator == 0) {
        return {StreamCut::Garbage};
    }
    const auto length = static_cast<std::size_t>(
        lengthFieldValue(gathered.substr(kLengthStart, separator - kLengthStart)));
    const std::size_t total = separator + 1 + length;
    if (gathered.size() < total) {
        return {StreamCut::NeedMore};
    }
    return {StreamCut::Complete, total};
}

} // namespace zelk
