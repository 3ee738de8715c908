#pragma once

// What a headless program tells of the files under way, every ten seconds or so: for each file,
// the share held, the rate since the last look and the time left; for the service manager, one
// status line.

#include "trace.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zelk {

struct FileProgress {
    std::string label;      // how the file is named: "\"a.bin\"" or "origin \"x\" file \"a.bin\""
    std::int64_t held = 0;  // bytes the server holds
    std::int64_t total = 0; // the file's size
};

class ProgressReport {
public:
    // Writes a "progress" line for each file that moved since the last look, and returns the
    // status of the whole: "2 files under way, 1.25 MB/s", or "1 file under way, nothing moved
    // since 2026-12-07T14:10:02.118+00:00" while the server does not answer.
    std::string look(const std::vector<FileProgress>& files, Trace& trace, bool lines);

private:
    std::string statusText(std::size_t files, double rate, bool moved) const;

    std::map<std::string, std::int64_t> lastHeld_;
    std::string stillSince_;
    std::optional<std::chrono::steady_clock::time_point> since_; // the last look
};

// "45% of 30.0 MB, 2.30 MB/s, about 7 s left".
std::string progressText(const FileProgress& file, double bytesPerSecond);

} // namespace zelk
