#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace zelk::sim {

// Virtual time in microseconds since the start of a run.
using Micros = std::int64_t;

// The clock of a run and what is due on it. The clock moves only when the next event is taken, so
// a run takes no real time to wait and replays exactly.
class EventQueue {
public:
    using Action = std::function<void()>;

    Micros now() const { return now_; }
    // Events due at the same time run in the order they were scheduled; one due in the past runs
    // now, after those already due.
    void schedule(Micros at, Action action);
    bool empty() const { return heap_.empty(); }
    Micros nextAt() const { return heap_.front().at; }
    // Moves the clock to the earliest event and runs it; the queue must not be empty.
    void runNext();

private:
    struct Entry {
        Micros at;
        std::uint64_t order;
        Action action;
    };
    static bool later(const Entry& a, const Entry& b);

    std::vector<Entry> heap_;
    Micros now_ = 0;
    std::uint64_t order_ = 0;
};

} // namespace zelk::sim
