#include "progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zelk {
namespace {

std::string timeLeft(double seconds) {
    if (!std::isfinite(seconds)) {
        return "time left unknown";
    }
    const auto whole = static_cast<long long>(std::ceil(seconds));
    char text[48];
    if (whole < 120) {
        std::snprintf(text, sizeof text, "about %lld s left", whole);
    } else if (whole < 2 * 3600) {
        std::snprintf(text, sizeof text, "about %lld min left", (whole + 59) / 60);
    } else {
        std::snprintf(text, sizeof text, "about %.1f h left", static_cast<double>(whole) / 3600.0);
    }
    return text;
}

// Whole milliseconds, as the rates were always taken.
double wholeMilliseconds(std::chrono::steady_clock::duration elapsed) {
    return static_cast<double>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

} // namespace

std::string progressText(const FileProgress& file, double bytesPerSecond) {
    const double share =
        file.total > 0 ? 100.0 * static_cast<double>(file.held) / static_cast<double>(file.total)
                       : 0.0;
    char percent[16];
    std::snprintf(percent, sizeof percent, "%d%%", static_cast<int>(std::floor(share)));
    const double left = static_cast<double>(file.total - file.held);
    return std::string(percent) + " of " + readableSize(static_cast<double>(file.total)) + ", " +
           rateText(bytesPerSecond) + ", " +
           timeLeft(bytesPerSecond > 0.0 ? left / bytesPerSecond : INFINITY);
}

std::string ProgressReport::look(const std::vector<FileProgress>& files, Trace& trace, bool lines) {
    const auto now = std::chrono::steady_clock::now();
    const double seconds =
        since_ ? std::max<double>(wholeMilliseconds(now - *since_) / 1000.0, 0.001) : 0.0;
    since_ = now;
    std::map<std::string, std::int64_t> held;
    double rate = 0.0;
    bool moved = false;
    for (const FileProgress& file : files) {
        held[file.label] = file.held;
        const auto before = lastHeld_.find(file.label);
        if (before == lastHeld_.end() || seconds == 0.0) {
            moved = true; // seen for the first time: no rate yet
            continue;
        }
        const double fileRate =
            static_cast<double>(std::max<std::int64_t>(file.held - before->second, 0)) / seconds;
        rate += fileRate;
        // A file that stands still (a client gone, a link cut) is not told again every time.
        if (file.held != before->second) {
            moved = true;
            if (lines) {
                trace.write("progress", file.label + ": " + progressText(file, fileRate));
            }
        }
    }
    lastHeld_ = std::move(held);
    if (moved || files.empty()) {
        stillSince_ = isoTimestamp();
    }
    return statusText(files.size(), rate, moved);
}

// What systemctl status shows: what is under way and how fast, or since when nothing moved.
std::string ProgressReport::statusText(std::size_t files, double rate, bool moved) const {
    if (files == 0) {
        return "idle, no file under way";
    }
    const std::string what =
        std::to_string(files) + (files == 1 ? " file" : " files") + " under way, ";
    if (rate > 0.0) {
        return what + rateText(rate);
    }
    return what + (moved ? std::string("starting") : "nothing moved since " + stillSince_);
}

} // namespace zelk
