#include "filerecord.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk {
namespace {

std::string& journalPath() {
    static std::string path;
    return path;
}

std::function<void(const FileRecord&)>& recordHook() {
    static std::function<void(const FileRecord&)> hook;
    return hook;
}

double rateOf(const FileRecord& record) {
    const double seconds = static_cast<double>(std::max<std::int64_t>(record.durationMs, 1)) / 1e3;
    return static_cast<double>(record.bytesThisRun) / seconds;
}

// Strict UTF-8: shortest forms only, no surrogates, nothing past U+10FFFF.
bool validUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (lead < 0xC2 || lead > 0xF4 || i + length > bytes.size()) {
            return false;
        }
        std::uint32_t code = lead & (0x7FU >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3FU);
        }
        if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
            (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

// Names are bytes from the network: JSON wants UTF-8, so bytes that are not are escaped as the
// trace escapes control bytes, and the object stays one valid line. So is a name that begins with
// a byte order mark, which readers of UTF-8 drop.
std::string jsonText(const std::string& bytes) {
    if (validUtf8(bytes) && !bytes.starts_with("\xEF\xBB\xBF")) {
        return bytes;
    }
    std::string escaped;
    for (const unsigned char c : bytes) {
        if (c >= 0x80) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            escaped += hex;
        } else {
            escaped += static_cast<char>(c);
        }
    }
    return escaped;
}

// The escapes JSON gives a name; nullptr for every other byte.
const char* namedEscape(char c) {
    switch (c) {
    case '"':
        return "\\\"";
    case '\\':
        return "\\\\";
    case '\b':
        return "\\b";
    case '\f':
        return "\\f";
    case '\n':
        return "\\n";
    case '\r':
        return "\\r";
    case '\t':
        return "\\t";
    default:
        return nullptr;
    }
}

// A JSON string of UTF-8 text: quotes, backslashes and control bytes escaped, the rest as it is.
std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (const char* escape = namedEscape(c)) {
            out += escape;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned char>(c));
            out += hex;
        } else {
            out += c;
        }
    }
    return out + '"';
}

// One compact line, its keys sorted by name as the journal has always written them.
std::string jsonObject(std::vector<std::pair<std::string, std::string>> members) {
    std::sort(members.begin(), members.end());
    std::string out = "{";
    for (const auto& [key, value] : members) {
        out += (out.size() > 1 ? ",\"" : "\"") + key + "\":" + value;
    }
    return out + '}';
}

std::string jsonNumberOrNull(std::int64_t value, bool present) {
    return present ? std::to_string(value) : "null";
}

// Appended whole with one write and synced: a reader never sees half an object, and a record
// written is one that survives a power cut.
bool appendLine(const std::string& path, const std::string& line, std::string& why) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    const std::string whole = line + "\n";
    const ssize_t written = ::write(fd, whole.data(), whole.size());
    const bool ok = written == static_cast<ssize_t>(whole.size()) && ::fdatasync(fd) == 0;
    if (!ok) {
        why = written < 0 || errno != 0 ? std::strerror(errno) : "short write";
    }
    ::close(fd);
    return ok;
}

} // namespace

void setTransferJournal(const std::string& path) {
    journalPath() = path;
}

void onFileRecord(std::function<void(const FileRecord&)> hook) {
    recordHook() = std::move(hook);
}

std::string recordText(const FileRecord& record) {
    std::string text = "origin \"" + record.origin + "\" file \"" + record.name + "\", " +
                       std::to_string(record.size) + " bytes";
    char duration[32];
    std::snprintf(duration, sizeof duration, " in %.3f s (",
                  static_cast<double>(record.durationMs) / 1000.0);
    text += duration + rateText(rateOf(record));
    if (record.bytesThisRun != record.size) {
        text += " for the " + std::to_string(record.bytesThisRun) + " bytes of this run";
    }
    text += "), ";
    text += record.extended ? "ZX1" : "plain";
    if (!record.sha256.empty()) {
        text += ", SHA-256 " + record.sha256;
    }
    if (record.bytesResent >= 0) {
        text += ", " + std::to_string(record.bytesResent) + " bytes sent again";
    }
    if (!record.peer.empty()) {
        text += std::string(record.received ? ", from " : ", to ") + record.peer;
    }
    if (!record.path.empty()) {
        text += ", at " + record.path;
    }
    return text + ": " + record.result;
}

std::string recordJson(const FileRecord& record) {
    std::vector<std::pair<std::string, std::string>> members{
        {"time", jsonString(isoTimestamp())},
        {"event", jsonString(record.received ? "received" : "sent")},
        {"origin", jsonString(jsonText(record.origin))},
        {"file", jsonString(jsonText(record.name))},
        {"size", std::to_string(record.size)},
        {"sha256", record.sha256.empty() ? "null" : jsonString(jsonText(record.sha256))},
        {"duration_ms", std::to_string(record.durationMs)},
        {"bytes_this_run", std::to_string(record.bytesThisRun)},
        {"rate_bytes_per_s", std::to_string(static_cast<std::int64_t>(rateOf(record)))},
        {"protocol", jsonString(record.extended ? "ZX1" : "plain")},
        {"bytes_sent_again", jsonNumberOrNull(record.bytesResent, record.bytesResent >= 0)},
        {"result", jsonString(record.result)},
        {"peer", jsonString(jsonText(record.peer))},
    };
    if (!record.path.empty()) {
        members.emplace_back("path", jsonString(jsonText(record.path)));
    }
    return jsonObject(std::move(members));
}

void recordFile(Trace& trace, const FileRecord& record) {
    const char* event = record.received ? "file received" : "file sent";
    if (trace.wants(event)) {
        trace.write(event, recordText(record));
    }
    if (!journalPath().empty()) {
        if (std::string why; !appendLine(journalPath(), recordJson(record), why)) {
            trace.write("journal not written", journalPath() + ": " + why);
        }
    }
    if (recordHook()) {
        recordHook()(record);
    }
}

} // namespace zelk
