#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace zelk {

// One line per event on standard error when "Collecte_Trace=" is "O"; silent otherwise.
// Callers test enabled() before building a line, so a silent trace costs one branch.
class Trace {
public:
    explicit Trace(std::FILE* sink = stderr) : sink_(sink) {}
    void setEnabled(bool on) { enabled_ = on; }
    bool enabled() const { return enabled_; }
    // Writes "<local time> <event> <detail>"; bytes of the detail that are not printable are
    // written as \xNN.
    void write(std::string_view event, std::string_view detail = {});

private:
    std::FILE* sink_;
    bool enabled_ = false;
};

// "O" turns the trace on.
bool traceWanted(std::string_view cfgTrace);

// "48000 bytes in 0.420 s (114 kB/s)": what an operator reads at the end of a file.
std::string transferSummary(std::int64_t bytes, std::int64_t milliseconds);
// "1.25 MB/s", "830 kB/s", "12 B/s": a rate as people read it.
std::string rateText(double bytesPerSecond);

} // namespace zelk
