#include "link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <tuple>

using namespace zelk::sim;

namespace {

constexpr int kDatagrams = 20'000;
constexpr std::size_t kBytes = 1'000;
constexpr Micros kSpacing = 1'000; // 1 MB/s offered

struct Range {
    double least = 0;
    double most = 0;
    bool holds(double v) const { return v >= least && v <= most; }
};

// Shares of the datagrams sent.
struct Measured {
    double lost = 0;
    double queueDropped = 0;
    double copies = 0;
    double overtaken = 0; // arrived after one sent later
    double late = 0;      // a copy at least lateMin after the first
    double rate = 0;      // bytes per second delivered, first copies
    Micros slowest = 0;   // the longest time a first copy took
};

double share(std::int64_t count) {
    return static_cast<double>(count) / kDatagrams;
}

double overtaken(const std::vector<Micros>& firsts) {
    std::int64_t count = 0;
    Micros earliestLater = INT64_MAX;
    for (auto it = firsts.rbegin(); it != firsts.rend(); ++it) {
        if (*it >= 0) {
            count += *it > earliestLater ? 1 : 0;
            earliestLater = std::min(earliestLater, *it);
        }
    }
    return share(count);
}

Measured measure(const DirectionSettings& settings) {
    Direction direction(settings, 99);
    std::vector<Micros> firsts;
    std::int64_t copies = 0;
    std::int64_t late = 0;
    Measured m;
    for (int i = 0; i < kDatagrams; ++i) {
        const Micros now = i * kSpacing;
        const Arrivals a = direction.enter(now, kBytes);
        firsts.push_back(a.first);
        copies += a.copy >= 0 ? 1 : 0;
        late += a.late >= a.first + settings.lateMin ? 1 : 0;
        m.slowest = std::max(m.slowest, a.first - now);
    }
    const auto delivered =
        std::count_if(firsts.begin(), firsts.end(), [](Micros t) { return t >= 0; });
    const Micros span = *std::max_element(firsts.begin(), firsts.end()) - settings.delay;
    m.lost = share(direction.stats().lost);
    m.queueDropped = share(direction.stats().queueDropped);
    m.copies = share(copies);
    m.late = share(late);
    m.overtaken = overtaken(firsts);
    m.rate = static_cast<double>(delivered) * kBytes * 1e6 / static_cast<double>(span);
    return m;
}

// Each fault alone, drawn for 20 000 datagrams; the bounds are wide, the faults left off must
// stay at nothing.
TEST(SimLink, EachFaultHappensAsOftenAsSet) {
    struct Case {
        const char* name;
        DirectionSettings settings;
        Range lost{}, queueDropped{}, copies{}, overtaken{}, late{};
        Range rate{0, 1.05e6};
    };
    const Case cases[] = {
        {"clean", {.delay = 3'000}},
        {"loss 0.2", {.loss = 0.2}, {0.18, 0.22}},
        {"dup 0.3", {.duplicate = 0.3}, {}, {}, {0.28, 0.32}},
        // a datagram held back more than the 1 ms to the next one is passed: 95 % of them
        {"reorder 0.1", {.reorder = 0.1}, {}, {}, {}, {0.08, 0.12}},
        {"jitter 3 ms", {.jitter = 3'000}, {}, {}, {}, {0.2, 0.9}},
        {"late 0.05", {.late = 0.05}, {}, {}, {}, {}, {0.04, 0.06}},
        {"bottleneck at half the offered rate",
         {.bytesPerSecond = 500'000, .queueBytes = 20'000},
         {},
         {0.45, 0.55},
         {},
         {},
         {},
         {0.49e6, 0.505e6}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Measured m = measure(c.settings);
        EXPECT_TRUE(c.lost.holds(m.lost)) << m.lost;
        EXPECT_TRUE(c.queueDropped.holds(m.queueDropped)) << m.queueDropped;
        EXPECT_TRUE(c.copies.holds(m.copies)) << m.copies;
        EXPECT_TRUE(c.overtaken.holds(m.overtaken)) << m.overtaken;
        EXPECT_TRUE(c.late.holds(m.late)) << m.late;
        EXPECT_TRUE(c.rate.holds(m.rate)) << m.rate;
        // No datagram is faster than the delay, nor slower than every wait added up.
        const DirectionSettings& s = c.settings;
        const double queueUs = s.bytesPerSecond > 0 ? (static_cast<double>(s.queueBytes) + kBytes) *
                                                          1e6 / s.bytesPerSecond
                                                    : 0;
        const Micros reorderUs = s.reorder > 0 ? s.reorderDelay : 0;
        EXPECT_LE(m.slowest, s.delay + s.jitter + reorderUs + static_cast<Micros>(queueUs) + 1);
    }
}

TEST(SimLink, SameSeedSameFate) {
    const DirectionSettings settings{
        .jitter = 2'000, .loss = 0.1, .duplicate = 0.1, .reorder = 0.1};
    Direction one(settings, 5);
    Direction two(settings, 5);
    Direction other(settings, 6);
    int differ = 0;
    for (int i = 0; i < 1'000; ++i) {
        const Arrivals a = one.enter(i * kSpacing, kBytes);
        const Arrivals b = two.enter(i * kSpacing, kBytes);
        const Arrivals c = other.enter(i * kSpacing, kBytes);
        ASSERT_EQ(std::tie(a.first, a.copy, a.late), std::tie(b.first, b.copy, b.late));
        differ += a.first != c.first ? 1 : 0;
    }
    EXPECT_GT(differ, 100);
}

} // namespace
