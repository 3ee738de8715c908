#include "trace.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>

namespace zelk {
namespace {

// A warning that comes back is written this often in its first window, then once per window,
// each window twice the one before up to the longest; a warning quiet for a whole window starts
// afresh.
constexpr int kRepeatsWritten = 3;
constexpr std::chrono::seconds kRepeatWindow{60};
constexpr std::chrono::seconds kLongestWindow{3600};
// Keys come partly from the network: their number is bounded.
constexpr std::size_t kKeysKept = 256;

constexpr std::pair<std::string_view, Severity> kSeverities[] = {
    {"stopped", Severity::Notice},
    {"started", Severity::Notice},
    {"reloaded", Severity::Notice},
    {"journal not written", Severity::Warning},
    {"command failed", Severity::Warning},
    {"outbox renewed", Severity::Warning},
    {"write failed", Severity::Error},
    {"outbox not made", Severity::Error},
    {"outbox unreadable", Severity::Error},
    {"frame dropped", Severity::Warning},
    {"no answer", Severity::Warning},
    {"destination unresolved", Severity::Warning},
    {"file dropped", Severity::Warning},
    {"file not deleted", Severity::Warning},
    {"file not listed", Severity::Warning},
    {"file not verified", Severity::Warning},
    {"staging disturbed", Severity::Warning},
    {"second sender", Severity::Warning},
    {"plain protocol", Severity::Warning},
    {"progress not kept", Severity::Warning},
    {"key not proven", Severity::Warning},
    {"frame refused", Severity::Warning},
    {"blank origin refused", Severity::Notice},
};

// The record of each file is the line an operator looks for with the trace off.
constexpr std::array<std::string_view, 2> kAlwaysWritten{"file received", "file sent"};

// Events of the trace that come back every few seconds while something is wrong: summarised as
// warnings are.
constexpr std::array<std::string_view, 1> kSummarised{"header sent again"};

bool listed(std::string_view event, const auto& names) {
    return std::find(names.begin(), names.end(), event) != names.end();
}

// Lines that differ only in their numbers (ports, sizes, delays) are the same warning.
std::string repeatKey(std::string_view event, std::string_view detail) {
    std::string key(event);
    key += ' ';
    for (const char c : detail) {
        const bool digit = std::isdigit(static_cast<unsigned char>(c)) != 0;
        if (!digit || key.back() != '#') {
            key += digit ? '#' : c;
        }
    }
    return key;
}

bool isJournal(std::FILE* sink) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) {
        return false;
    }
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat st {};
    return std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           ::fstat(fileno(sink), &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

std::string withUnit(double value, const char* const* units, std::size_t count) {
    std::size_t unit = 0;
    // Rounded to three digits, 999.96 must read 1.00 of the next unit, never "1e+03".
    while (unit + 1 < count && value >= 999.5) {
        value /= 1000.0;
        ++unit;
    }
    char text[48];
    if (value > 0.0 && value < 1.0) {
        std::snprintf(text, sizeof text, "%.2f %s", value, units[unit]);
    } else {
        std::snprintf(text, sizeof text, "%.3g %s", value, units[unit]);
    }
    return text;
}

} // namespace

std::string printable(std::string_view detail) {
    std::string out;
    out.reserve(detail.size());
    for (unsigned char c : detail) {
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

Severity severityOf(std::string_view event) {
    for (const auto& [name, severity] : kSeverities) {
        if (name == event) {
            return severity;
        }
    }
    return Severity::Info;
}

void writeLine(std::FILE* sink, Severity severity, std::string_view text) {
    std::string line;
    if (isJournal(sink)) {
        char priority[8];
        std::snprintf(priority, sizeof priority, "<%d>", static_cast<int>(severity));
        line.append(priority);
    }
    line.append(text);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), sink);
    std::fflush(sink);
}

std::string isoTimestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[48];
    std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    n += static_cast<std::size_t>(
        std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(millis)));
    // strftime's %z gives +0100; ISO 8601's extended form wants +01:00.
    char zone[8] = {};
    if (std::strftime(zone, sizeof zone, "%z", &local) == 5) {
        std::snprintf(text + n, sizeof text - n, "%.3s:%.2s", zone, zone + 3);
    }
    return text;
}

bool Trace::admit(const std::string& key, int& leftBefore) {
    const Clock::time_point now = now_();
    if (repeats_.size() >= kKeysKept && !repeats_.contains(key)) {
        std::erase_if(repeats_,
                      [now](const auto& item) { return now - item.second.last >= kRepeatWindow; });
        if (repeats_.size() >= kKeysKept) {
            repeats_.erase(repeats_.begin());
        }
    }
    Repeats& seen = repeats_[key];
    const bool fresh = seen.written == 0 || now - seen.last >= seen.window;
    seen.last = now;
    leftBefore = 0;
    if (fresh) {
        leftBefore = seen.left;
        seen = Repeats{now, now, kRepeatWindow, 1, 0};
        return true;
    }
    if (seen.written < kRepeatsWritten && seen.window == kRepeatWindow) {
        ++seen.written;
        return true;
    }
    if (now - seen.since >= seen.window) {
        leftBefore = seen.left;
        seen.since = now;
        seen.window = std::min<Clock::duration>(2 * seen.window, kLongestWindow);
        seen.left = 0;
        return true;
    }
    ++seen.left;
    return false;
}

bool Trace::wants(std::string_view event) const {
    return enabled_ || severityOf(event) <= Severity::Notice || listed(event, kAlwaysWritten);
}

void Trace::write(std::string_view event, std::string_view detail) {
    const Severity severity = severityOf(event);
    if (sink_ == nullptr || !wants(event)) {
        return;
    }
    int left = 0;
    if ((severity <= Severity::Warning || listed(event, kSummarised)) &&
        !admit(repeatKey(event, detail), left)) {
        return;
    }
    std::string line = isoTimestamp();
    line += ' ';
    line.append(event);
    if (!detail.empty()) {
        line += ' ';
        line += printable(detail);
    }
    if (left > 0) {
        line += " (" + std::to_string(left) + " more like it left out)";
    }
    writeLine(sink_, severity, line);
}

bool traceWanted(std::string_view cfgTrace) {
    return cfgTrace == "O";
}

std::string readableSize(double bytes) {
    static const char* const units[] = {"B", "kB", "MB", "GB", "TB"};
    return withUnit(bytes, units, std::size(units));
}

std::string transferSummary(std::int64_t bytes, std::int64_t milliseconds,
                            std::int64_t bytesThisRun) {
    // A file done within the clock's grain still shows a rate.
    const double seconds = static_cast<double>(std::max<std::int64_t>(milliseconds, 1)) / 1000.0;
    char text[64];
    std::snprintf(text, sizeof text, "%lld bytes in %.3f s (", static_cast<long long>(bytes),
                  static_cast<double>(milliseconds) / 1000.0);
    if (bytesThisRun < 0 || bytesThisRun == bytes) {
        return text + rateText(static_cast<double>(bytes) / seconds) + ")";
    }
    return text + rateText(static_cast<double>(bytesThisRun) / seconds) + " for the " +
           std::to_string(bytesThisRun) + " bytes of this run)";
}

std::string rateText(double bytesPerSecond) {
    double rate = std::max(bytesPerSecond, 0.0);
    const char* unit = "B/s";
    for (const char* larger : {"kB/s", "MB/s", "GB/s"}) {
        if (rate < 999.5) {
            break;
        }
        rate /= 1000.0;
        unit = larger;
    }
    // Three significant digits; below 999.5 they never need an exponent.
    char text[32];
    std::snprintf(text, sizeof text, "%.3g %s", rate, unit);
    return text;
}

} // namespace zelk
