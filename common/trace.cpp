#include "trace.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <string>

namespace zelk {
namespace {

std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(millis));
    return text;
}

// Names and origins come from the network: anything unprintable is shown escaped, so a trace
// line stays one line.
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

} // namespace

void Trace::write(std::string_view event, std::string_view detail) {
    if (!enabled_) {
        return;
    }
    std::string line = timestamp();
    line += ' ';
    line.append(event);
    if (!detail.empty()) {
        line += ' ';
        line += printable(detail);
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), sink_);
    std::fflush(sink_);
}

bool traceWanted(std::string_view cfgTrace) {
    return cfgTrace == "O";
}

std::string transferSummary(std::int64_t bytes, std::int64_t milliseconds) {
    // A file done within the clock's grain still shows a rate.
    const double seconds = static_cast<double>(std::max<std::int64_t>(milliseconds, 1)) / 1000.0;
    char text[64];
    std::snprintf(text, sizeof text, "%lld bytes in %.3f s (", static_cast<long long>(bytes),
                  static_cast<double>(milliseconds) / 1000.0);
    return text + rateText(static_cast<double>(bytes) / seconds) + ")";
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
