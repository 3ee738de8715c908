#include "link.h"

#include <algorithm>
#include <cmath>

namespace zelk::sim {

Direction::Direction(DirectionSettings settings, std::uint64_t seed)
    : settings_(std::move(settings)), random_(seed) {}

bool Direction::cut(Micros now) const {
    return std::any_of(settings_.cuts.begin(), settings_.cuts.end(),
                       [now](const Window& w) { return w.holds(now); });
}

Micros Direction::released(Micros now) {
    Micros from = now;
    for (const Window& hold : settings_.holds) {
        from = hold.holds(now) ? std::max(from, hold.until) : from;
    }
    stats_.held += from > now ? 1 : 0;
    return from;
}

Micros Direction::queue(Micros now, std::size_t bytes) {
    if (settings_.bytesPerSecond <= 0) {
        return now;
    }
    const double perUs = settings_.bytesPerSecond / 1e6;
    const auto at = static_cast<double>(now);
    const double waitUs = std::max(busyUntil_ - at, 0.0);
    if (waitUs * perUs + static_cast<double>(bytes) > static_cast<double>(settings_.queueBytes)) {
        return -1;
    }
    stats_.longestQueue = std::max(stats_.longestQueue, static_cast<Micros>(waitUs));
    busyUntil_ = std::max(busyUntil_, at) + static_cast<double>(bytes) / perUs;
    return static_cast<Micros>(std::ceil(busyUntil_));
}

Arrivals Direction::enter(Micros now, std::size_t bytes) {
    ++stats_.sent;
    Arrivals arrivals;
    if (cut(now)) {
        ++stats_.cut;
        return arrivals;
    }
    if (random_.chance(settings_.loss)) {
        ++stats_.lost;
        return arrivals;
    }
    const Micros left = queue(released(now), bytes);
    if (left < 0) {
        ++stats_.queueDropped;
        return arrivals;
    }
    arrivals.first = left + settings_.delay + random_.between(0, settings_.jitter);
    if (random_.chance(settings_.reorder)) {
        ++stats_.reordered;
        arrivals.first += random_.between(1, settings_.reorderDelay);
    }
    if (random_.chance(settings_.duplicate)) {
        ++stats_.duplicated;
        arrivals.copy = arrivals.first + random_.between(0, settings_.duplicateSpread);
    }
    if (random_.chance(settings_.late)) {
        ++stats_.late;
        arrivals.late = arrivals.first + random_.between(settings_.lateMin, settings_.lateMax);
    }
    return arrivals;
}

} // namespace zelk::sim
