// The examples of docs/protocol.md are what a peer's author copies: each one is decoded here with
// the programs' own codecs and must say exactly what its comment line states.

#include "codec.h"
#include "config.h"
#include "extcodec.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

using namespace zelk;

namespace {

struct Example {
    int line = 0;
    std::map<std::string, std::string> claims;
    std::string bytes;
};

// Hands out the comment's claims one by one; whatever is left unchecked fails the example.
class Claims {
public:
    explicit Claims(std::map<std::string, std::string> claims) : claims_(std::move(claims)) {}
    ~Claims() {
        for (const auto& [key, value] : claims_) {
            ADD_FAILURE() << "claim " << key << "=" << value << " cannot be checked";
        }
    }
    Claims(const Claims&) = delete;
    Claims& operator=(const Claims&) = delete;

    bool has(const std::string& key) const { return claims_.contains(key); }
    std::string need(const std::string& key) {
        const auto found = claims_.find(key);
        if (found == claims_.end()) {
            ADD_FAILURE() << "the comment states no " << key;
            return {};
        }
        std::string value = found->second;
        claims_.erase(found);
        return value;
    }
    std::int64_t number(const std::string& key) { return std::stoll(need(key)); }
    std::uint64_t identity(const std::string& key) { return std::stoull(need(key), nullptr, 16); }

private:
    std::map<std::string, std::string> claims_;
};

// Pairs of hexadecimal digits, blanks between them or not.
std::optional<std::string> hexBytes(std::string_view text) {
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        } else if (!std::isspace(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
    }
    if (digits.empty() || digits.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string out;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    }
    return out;
}

// The claims of an example line: name=value or name="value with blanks", separated by blanks.
std::map<std::string, std::string> claimsOf(std::string_view text) {
    std::map<std::string, std::string> claims;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t equals = text.find('=', at);
        if (equals == std::string_view::npos) {
            break;
        }
        const std::string name(text.substr(at, equals - at));
        std::size_t end = 0;
        if (equals + 1 < text.size() && text[equals + 1] == '"') {
            end = text.find('"', equals + 2);
            end = end == std::string_view::npos ? text.size() : end;
            claims[name] = std::string(text.substr(equals + 2, end - equals - 2));
            ++end;
        } else {
            end = std::min(text.find(' ', equals), text.size());
            claims[name] = std::string(text.substr(equals + 1, end - equals - 1));
        }
        at = text.find_first_not_of(' ', end);
    }
    return claims;
}

// Every ```hex block must follow its comment line; `faults` names what cannot be read.
// (Read by hand rather than with <regex>, which GCC 12 warns about under the sanitizers.)
std::vector<Example> readExamples(const std::string& text, std::vector<std::string>& faults) {
    const std::string open = "<!-- example: ";
    const std::string close = " -->";
    std::vector<Example> examples;
    std::istringstream in(text);
    std::optional<Example> pending;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.starts_with(open) && line.ends_with(close) &&
            line.size() >= open.size() + close.size()) {
            pending = Example{number, {}, {}};
            pending->claims = claimsOf(std::string_view(line).substr(
                open.size(), line.size() - open.size() - close.size()));
            continue;
        }
        if (line != "```hex") {
            if (pending && !line.empty()) {
                faults.push_back("line " + std::to_string(pending->line) + ": no hex block");
            }
            pending.reset();
            continue;
        }
        std::string hex;
        while (std::getline(in, line)) {
            ++number;
            if (line == "```") {
                break;
            }
            hex += line + ' ';
        }
        const auto bytes = hexBytes(hex);
        if (!pending || !bytes) {
            faults.push_back("hex block ending at line " + std::to_string(number) +
                             (pending ? " is not hex" : " has no example line"));
        } else {
            pending->bytes = *bytes;
            examples.push_back(*pending);
        }
        pending.reset();
    }
    return examples;
}

std::string_view payloadOf(const std::string& frame, FrameCheck check) {
    return std::string_view(frame).substr(static_cast<std::size_t>(check.posDebutDonnees),
                                          static_cast<std::size_t>(check.longDonnees));
}

void checkHeader(const std::string& bytes, Claims& says) {
    const FrameCheck check = Valide_Id_Long(bytes);
    ASSERT_TRUE(check.valid());
    EXPECT_TRUE(isHeaderFrame(bytes, check));
    const auto header = Traduit_Recu(bytes, check);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->nomOrigine, originIdentifier(says.need("origin")));
    EXPECT_EQ(header->nomFichier, says.need("name"));
    EXPECT_EQ(header->tailleTotale, says.need("size"));
    const auto offer = ext::findOffer(payloadOf(bytes, check));
    ASSERT_EQ(offer.has_value(), says.has("offer"));
    if (offer) {
        EXPECT_EQ(offer->transfer, says.identity("offer"));
        EXPECT_EQ(offer->size, says.number("offersize"));
    }
}

void checkContent(const std::string& bytes, Claims& says) {
    const FrameCheck check = Valide_Id_Long(bytes);
    ASSERT_TRUE(check.valid());
    EXPECT_FALSE(isHeaderFrame(bytes, check));
    const Content content = Extrait_Orig_Data(bytes, check);
    EXPECT_EQ(content.nomOrigine, originIdentifier(says.need("origin")));
    EXPECT_EQ(content.donneesContenu, says.need("payload"));
}

void checkAnswer(const std::string& bytes, Claims& says) {
    EXPECT_EQ(readAck(bytes), says.number("position") - 1);
    const auto accept = ext::findAccept(bytes);
    ASSERT_EQ(accept.has_value(), says.has("accept"));
    if (accept) {
        EXPECT_EQ(accept->transfer, says.identity("accept"));
        EXPECT_EQ(accept->cumulative, says.number("cumulative"));
    }
}

std::vector<ext::Range> rangesOf(const std::string& text) {
    std::vector<ext::Range> ranges;
    std::istringstream in(text);
    for (std::string one; std::getline(in, one, ',');) {
        const std::size_t dash = one.find('-');
        ranges.push_back({std::stoll(one.substr(0, dash)), std::stoll(one.substr(dash + 1))});
    }
    return ranges;
}

void checkDatagram(const std::string& bytes, Claims& says, std::set<char>& kinds) {
    EXPECT_FALSE(Valide_Id_Long(bytes).valid()) << "a plain server would take it for a frame";
    const auto frame = ext::decode(bytes);
    ASSERT_TRUE(frame);
    const auto kind = static_cast<char>(frame->kind);
    kinds.insert(kind);
    EXPECT_EQ(std::string(1, kind), says.need("type"));
    EXPECT_EQ(frame->transfer, says.identity("transfer"));
    EXPECT_EQ(frame->value, says.number("value"));
    std::string body;
    if (kind == 'D') {
        body = says.need("body");
    } else if (kind == 'F') {
        body = hexBytes(says.need("sha256")).value_or("not hex");
    } else if (kind == 'A') {
        const auto ranges = ext::ackRanges(*frame);
        ASSERT_TRUE(ranges);
        EXPECT_EQ(*ranges, rangesOf(says.need("ranges")));
        return;
    }
    EXPECT_EQ(frame->body, body);
}

} // namespace

TEST(ProtocolDocument, EveryExampleDecodesToWhatItStates) {
    const std::string text = zelktest::readFile(ZELK_SOURCE_DIR "/docs/protocol.md");
    std::vector<std::string> faults;
    const std::vector<Example> examples = readExamples(text, faults);
    for (const std::string& fault : faults) {
        ADD_FAILURE() << fault;
    }
    ASSERT_FALSE(examples.empty()) << "docs/protocol.md holds no example";

    std::set<std::string> shown;
    std::set<char> kinds;
    for (const Example& example : examples) {
        SCOPED_TRACE("docs/protocol.md line " + std::to_string(example.line));
        Claims says(example.claims);
        const std::string kind = says.need("kind");
        shown.insert(kind);
        if (kind == "header") {
            checkHeader(example.bytes, says);
        } else if (kind == "content") {
            checkContent(example.bytes, says);
        } else if (kind == "answer") {
            checkAnswer(example.bytes, says);
        } else if (kind == "datagram") {
            checkDatagram(example.bytes, says, kinds);
        } else {
            ADD_FAILURE() << "no check for kind=" << kind;
        }
        if (kind != "datagram") {
            EXPECT_FALSE(ext::decode(example.bytes)) << "plain bytes read as an extended datagram";
        }
    }
    EXPECT_EQ(shown, (std::set<std::string>{"answer", "content", "datagram", "header"}));
    EXPECT_EQ(kinds, (std::set<char>{'A', 'D', 'F', 'U', 'V', 'X'}));
}
