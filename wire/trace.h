#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace zelk {

// Names and origins come from the network: control bytes are shown escaped (\x1B), so a line of
// trace or warning stays one line.
std::string printable(std::string_view detail);

// Syslog priorities, as the journal reads them from a "<N>" at the start of a line.
enum class Severity { Error = 3, Warning = 4, Notice = 5, Info = 6 };

// What an event tells of: errors, warnings and notices (the program stopped) are written whatever
// "Collecte_Trace=" says, every other event only with the trace on.
Severity severityOf(std::string_view event);

// Writes one line on `sink`, led by its syslog priority when `sink` is the journal's stream
// (JOURNAL_STREAM names its device and inode), so that `journalctl -p warning` finds it.
void writeLine(std::FILE* sink, Severity severity, std::string_view text);

// One line per event on standard error: every event when "Collecte_Trace=" is "O", errors,
// warnings and notices always. Callers test wants() before building a line, so a silent event costs
// a branch.
class Trace {
public:
    using Clock = std::chrono::steady_clock;
    // A null sink says nothing at all, warnings included.
    explicit Trace(std::FILE* sink = stderr) : sink_(sink) {}
    // Tests replace the clock that paces warnings that come back.
    void useClock(std::function<Clock::time_point()> now) { now_ = std::move(now); }
    void setEnabled(bool on) { enabled_ = on; }
    bool enabled() const { return enabled_; }
    // Errors, warnings, notices and each file's record are written whatever the switch says.
    bool wants(std::string_view event) const;
    // Writes "<time> <event> <detail>" when wanted; bytes of the detail that are not printable
    // are written as \xNN. A warning or error that keeps coming back is written three times,
    // then once a minute, then ever more seldom (at most hourly) while it goes on; each such line
    // says how many like it were left out since the one before. A header sent again after each
    // silence is summarised the same way.
    void write(std::string_view event, std::string_view detail = {});

private:
    struct Repeats {
        Clock::time_point since{}; // start of the current window
        Clock::time_point last{};  // the latest occurrence, written or not
        Clock::duration window{};
        int written = 0; // in the current window
        int left = 0;    // left out since the latest line written
    };
    bool admit(const std::string& key, int& leftBefore);

    std::FILE* sink_;
    bool enabled_ = false;
    std::map<std::string, Repeats> repeats_;
    std::function<Clock::time_point()> now_ = [] { return Clock::now(); };
};

// "O" turns the trace on.
bool traceWanted(std::string_view cfgTrace);

// "2026-12-07T05:49:48.454+01:00": local time with its offset from UTC.
std::string isoTimestamp();

// "48000 bytes in 0.420 s (114 kB/s)": what an operator reads at the end of a file.
// With `bytesThisRun` (a resumed file): the rate counts only those, "30000000 bytes in 1.044 s
// (18.4 MB/s for the 19164000 bytes of this run)".
std::string transferSummary(std::int64_t bytes, std::int64_t milliseconds,
                            std::int64_t bytesThisRun = -1);
// "1.25 MB/s", "830 kB/s", "12 B/s": a rate as people read it.
std::string rateText(double bytesPerSecond);

// A size with three significant digits and a decimal unit: "6.29 MB" (rates: rateText).
std::string readableSize(double bytes);

} // namespace zelk
