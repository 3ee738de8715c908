#pragma once

#include "eventqueue.h"
#include "random.h"

#include <cstddef>
#include <vector>

namespace zelk::sim {

// A span of virtual time, from included, until excluded.
struct Window {
    Micros from = 0;
    Micros until = 0;
    bool holds(Micros t) const { return t >= from && t < until; }
};

// How one direction of a link treats the datagrams that enter it. Each fault is drawn for each
// datagram on its own.
struct DirectionSettings {
    Micros delay = 5'000;      // one way, after the bottleneck
    Micros jitter = 0;         // each datagram takes up to this much longer, and may pass another
    double bytesPerSecond = 0; // the bottleneck's rate; 0: none
    std::int64_t queueBytes = 64 * 1024; // waiting at the bottleneck; a datagram past it is dropped
    double loss = 0;
    double duplicate = 0; // a second copy, right behind the first
    Micros duplicateSpread = 1'000;
    double reorder = 0; // held back up to reorderDelay, so that later ones pass it
    Micros reorderDelay = 20'000;
    double late = 0; // one more copy, which comes seconds later
    Micros lateMin = 1'000'000;
    Micros lateMax = 5'000'000;
    std::vector<Window> cuts = {};  // the link is down: whatever enters is lost
    std::vector<Window> holds = {}; // the link is silent: whatever enters waits for its end
};

// What a direction did with the datagrams that entered it.
struct DirectionStats {
    std::int64_t sent = 0;
    std::int64_t cut = 0;
    std::int64_t held = 0;
    std::int64_t lost = 0;
    std::int64_t queueDropped = 0;
    std::int64_t duplicated = 0;
    std::int64_t reordered = 0;
    std::int64_t late = 0;
    Micros longestQueue = 0; // the longest wait at the bottleneck
};

// When the copies of one datagram arrive; -1 for a copy that does not exist.
struct Arrivals {
    Micros first = -1;
    Micros copy = -1;
    Micros late = -1;
};

// One direction of a link, with its own random stream.
class Direction {
public:
    Direction(DirectionSettings settings, std::uint64_t seed);

    Arrivals enter(Micros now, std::size_t bytes);
    const DirectionSettings& settings() const { return settings_; }
    const DirectionStats& stats() const { return stats_; }

private:
    bool cut(Micros now) const;
    // When a datagram that enters at `now` goes on: at the end of a hold, else at once.
    Micros released(Micros now);
    // When the datagram leaves the bottleneck, or -1 when its queue is full.
    Micros queue(Micros now, std::size_t bytes);

    DirectionSettings settings_;
    Random random_;
    double busyUntil_ = 0; // µs, when the bottleneck has sent all it holds
    DirectionStats stats_;
};

} // namespace zelk::sim
