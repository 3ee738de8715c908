#include "congestion.h"

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <queue>
#include <random>
#include <set>
#include <vector>

using namespace zelk::ext;

namespace {

constexpr std::int64_t kPiece = 1400;
constexpr double kLinkBytesPerUs = 12.5; // 100 Mbit/s
constexpr std::int64_t kOneWayUs = 25'000;
constexpr std::int64_t kRttUs = 2 * kOneWayUs;
constexpr std::int64_t kQueueBytes = static_cast<std::int64_t>(kLinkBytesPerUs * kRttUs);
// A piece whose answer has not come after this long is taken for lost: the window must not stay
// full of pieces whose answers were all dropped.
constexpr std::int64_t kGiveUpUs = 1'000'000;

struct Path {
    const char* name;
    int flows = 1;
    double loss = 0; // each datagram, each way
    double rateCap = 0;
    double laterBytesPerUs = 0; // the link's rate from 5 s on, 0 for unchanged
    std::int64_t endUs = 20'000'000;
    std::int64_t measureFromUs = 3'000'000;
    double leastShare = 0;    // of the rate there is to take, all flows together
    double mostShare = 1.01;  // idem
    double leastFairness = 0; // Jain's index of the flows' rates
    double mostQueueRtts = 0; // mean queueing delay, in round trips
};

struct Outcome {
    std::vector<double> rates; // each flow's delivered rate, bytes per µs
    double meanQueueUs = 0;
    double dropped = 0; // share of the datagrams the queue dropped
};

// A bottleneck that sends one datagram after the other at its rate, after a drop-tail queue of
// one rate-times-round-trip; the whole one-way delay comes after it.
class Bottleneck {
public:
    explicit Bottleneck(const Path& path) : path_(path), bytesPerUs_(kLinkBytesPerUs) {}

    // When the datagram reaches the far end, or -1 when the queue has no room for it.
    std::int64_t enter(std::int64_t nowUs, std::int64_t bytes, double& queueUs) {
        const auto now = static_cast<double>(nowUs);
        if (path_.laterBytesPerUs > 0 && nowUs >= 5'000'000 && !slowed_) {
            const double backlog = std::max(busyUntilUs_ - now, 0.0) * bytesPerUs_;
            bytesPerUs_ = path_.laterBytesPerUs;
            busyUntilUs_ = now + backlog / bytesPerUs_;
            slowed_ = true;
        }
        queueUs = std::max(busyUntilUs_ - now, 0.0);
        if (queueUs * bytesPerUs_ + static_cast<double>(bytes) > static_cast<double>(kQueueBytes)) {
            return -1;
        }
        busyUntilUs_ = std::max(busyUntilUs_, now) + static_cast<double>(bytes) / bytesPerUs_;
        return static_cast<std::int64_t>(busyUntilUs_) + 1 + kOneWayUs;
    }

private:
    const Path& path_;
    double bytesPerUs_;
    double busyUntilUs_ = 0;
    bool slowed_ = false;
};

// Flows through one bottleneck, time in microseconds. Each sender paces by its controller and
// keeps no more in flight than its window; the receiver answers each datagram with what it holds,
// as the ranges of an answer do; nothing is reordered, so an earlier datagram that the answer does
// not hold is lost.
class Simulation {
public:
    Simulation(const Path& path, std::uint32_t seed)
        : path_(path), random_(seed), lose_(path.loss), link_(path) {
        for (int i = 0; i < path.flows; ++i) {
            flows_.emplace_back(Congestion(kPiece, path.rateCap, seed + static_cast<unsigned>(i)));
            flows_.back().wakeUs = i * 100'000; // flows start one after the other
            push(flows_.back().wakeUs, Kind::Wake, i, 0);
        }
    }

    Outcome run() {
        while (!events_.empty() && events_.top().at < path_.endUs) {
            const Event event = events_.top();
            events_.pop();
            handle(event);
        }
        Outcome outcome;
        const auto span = static_cast<double>(path_.endUs - path_.measureFromUs);
        for (const Flow& flow : flows_) {
            outcome.rates.push_back(static_cast<double>(flow.measuredBytes) / span);
        }
        outcome.meanQueueUs = queued_ == 0 ? 0 : queueUs_ / static_cast<double>(queued_);
        outcome.dropped = queued_ == 0 ? 0 : static_cast<double>(dropped_) / queued_;
        return outcome;
    }

private:
    enum class Kind { Wake, Arrive, Answer };
    struct Event {
        std::int64_t at;
        std::uint64_t order;
        Kind kind;
        int flow;
        std::uint64_t sequence;
        bool operator>(const Event& other) const {
            return at != other.at ? at > other.at : order > other.order;
        }
    };
    struct Flow {
        explicit Flow(Congestion c) : controller(c) {}
        Congestion controller;
        std::map<std::uint64_t, std::int64_t> inFlight; // sequence -> sent at
        std::set<std::uint64_t> received;               // by the receiver, not yet answered
        std::uint64_t nextSequence = 0;
        std::int64_t wakeUs = -1;
        std::int64_t measuredBytes = 0;
    };

    void push(std::int64_t at, Kind kind, int flow, std::uint64_t sequence) {
        events_.push(Event{at, ++order_, kind, flow, sequence});
    }

    void handle(const Event& event) {
        Flow& flow = flows_[static_cast<std::size_t>(event.flow)];
        switch (event.kind) {
        case Kind::Wake:
            if (event.at == flow.wakeUs) {
                flow.wakeUs = -1;
                giveUp(flow, event.at);
                sendAll(event.flow, event.at);
            }
            return;
        case Kind::Arrive:
            if (event.at >= path_.measureFromUs) {
                flow.measuredBytes += kPiece;
            }
            flow.received.insert(event.sequence);
            if (!lose_(random_)) {
                push(event.at + kOneWayUs, Kind::Answer, event.flow, event.sequence);
            }
            return;
        case Kind::Answer:
            answered(event.flow, event.sequence, event.at);
            return;
        }
    }

    std::int64_t inFlightBytes(const Flow& flow) const {
        return static_cast<std::int64_t>(flow.inFlight.size()) * kPiece;
    }

    void sendAll(int index, std::int64_t now) {
        Flow& flow = flows_[static_cast<std::size_t>(index)];
        while (inFlightBytes(flow) + kPiece <= flow.controller.windowBytes()) {
            if (flow.controller.nextSendUs() > now) {
                wake(index, flow.controller.nextSendUs());
                return;
            }
            sendOne(index, now);
        }
        wake(index, flow.inFlight.begin()->second + kGiveUpUs);
    }

    void wake(int index, std::int64_t at) {
        Flow& flow = flows_[static_cast<std::size_t>(index)];
        if (flow.wakeUs < 0 || at < flow.wakeUs) {
            flow.wakeUs = at;
            push(at, Kind::Wake, index, 0);
        }
    }

    void sendOne(int index, std::int64_t now) {
        Flow& flow = flows_[static_cast<std::size_t>(index)];
        const std::uint64_t sequence = flow.nextSequence++;
        flow.inFlight.emplace(sequence, now);
        flow.controller.onSent(kPiece, now);
        if (lose_(random_)) {
            return;
        }
        double queueUs = 0;
        const std::int64_t arrives = link_.enter(now, kPiece, queueUs);
        if (now >= path_.measureFromUs) {
            ++queued_;
            dropped_ += arrives < 0 ? 1 : 0;
            queueUs_ += arrives < 0 ? 0 : queueUs;
        }
        if (arrives >= 0) {
            push(arrives, Kind::Arrive, index, sequence);
        }
    }

    // The answer's ranges say which earlier datagrams arrived: the others are lost.
    void answered(int index, std::uint64_t sequence, std::int64_t now) {
        Flow& flow = flows_[static_cast<std::size_t>(index)];
        const auto found = flow.inFlight.find(sequence);
        if (found == flow.inFlight.end()) {
            return; // given up for lost already
        }
        const std::int64_t sentUs = found->second;
        std::int64_t delivered = 0;
        std::int64_t lost = 0;
        for (auto it = flow.inFlight.begin(); it != std::next(found); ++it) {
            const bool arrived = flow.received.erase(it->first) > 0;
            (arrived ? delivered : lost) += kPiece;
        }
        flow.inFlight.erase(flow.inFlight.begin(), std::next(found));
        if (lost > 0) {
            flow.controller.onLoss(lost, now);
        }
        flow.controller.onAck(Congestion::Ack{delivered, now - sentUs, inFlightBytes(flow)}, now);
        sendAll(index, now);
    }

    void giveUp(Flow& flow, std::int64_t now) {
        std::int64_t lost = 0;
        while (!flow.inFlight.empty() && flow.inFlight.begin()->second + kGiveUpUs <= now) {
            flow.inFlight.erase(flow.inFlight.begin());
            lost += kPiece;
        }
        if (lost > 0) {
            flow.controller.onLoss(lost, now);
        }
    }

    const Path& path_;
    std::mt19937 random_;
    std::bernoulli_distribution lose_;
    Bottleneck link_;
    std::vector<Flow> flows_;
    std::priority_queue<Event, std::vector<Event>, std::greater<>> events_;
    std::uint64_t order_ = 0;
    std::int64_t queued_ = 0;
    std::int64_t dropped_ = 0;
    double queueUs_ = 0;
};

double jain(const std::vector<double>& rates) {
    double sum = 0;
    double squares = 0;
    for (const double rate : rates) {
        sum += rate;
        squares += rate * rate;
    }
    return squares <= 0 ? 0 : sum * sum / (static_cast<double>(rates.size()) * squares);
}

// A lone flow keeps the queue near empty; flows that share it keep it well under full.
const Path kPaths[] = {
    {.name = "one flow, no loss", .leastShare = 0.9, .mostQueueRtts = 0.1},
    {.name = "one flow, 1 % lost each way", .loss = 0.01, .leastShare = 0.7, .mostQueueRtts = 0.1},
    {.name = "two flows",
     .flows = 2,
     .endUs = 30'000'000,
     .measureFromUs = 10'000'000,
     .leastShare = 0.85,
     .leastFairness = 0.9,
     .mostQueueRtts = 0.5},
    {.name = "ten flows",
     .flows = 10,
     .endUs = 30'000'000,
     .measureFromUs = 10'000'000,
     .leastShare = 0.85,
     .leastFairness = 0.9,
     .mostQueueRtts = 0.5},
    // The queue of one round trip at 100 Mbit/s holds five at 20.
    {.name = "the link falls to 20 Mbit/s",
     .laterBytesPerUs = 2.5,
     .endUs = 25'000'000,
     .measureFromUs = 8'000'000,
     .leastShare = 0.85,
     .mostQueueRtts = 0.5},
    {.name = "capped at 40 Mbit/s",
     .rateCap = 5e6,
     .leastShare = 0.9,
     .mostShare = 1.0,
     .mostQueueRtts = 0.1},
};

TEST(Congestion, FillsSharesAndBacksOffOnSimulatedLinks) {
    for (const Path& path : kPaths) {
        SCOPED_TRACE(path.name);
        const Outcome outcome = Simulation(path, 7).run();
        double total = 0;
        for (const double rate : outcome.rates) {
            total += rate;
        }
        double available = path.laterBytesPerUs > 0 ? path.laterBytesPerUs : kLinkBytesPerUs;
        if (path.rateCap > 0) {
            available = std::min(available, path.rateCap / 1e6);
        }
        const double share = total / available;
        std::printf("%-30s %6.1f Mbit/s (%.3f of what there is), fairness %.3f, queue %.1f ms, "
                    "%.2f %% dropped at the queue\n",
                    path.name, total * 8, share, jain(outcome.rates), outcome.meanQueueUs / 1000,
                    outcome.dropped * 100);
        EXPECT_GE(share, path.leastShare);
        // Counted as they arrive: a piece sent before the span may land within it.
        const auto span = static_cast<double>(path.endUs - path.measureFromUs);
        EXPECT_LE(share, path.mostShare + static_cast<double>(kPiece) / (available * span));
        EXPECT_GE(jain(outcome.rates), path.leastFairness);
        EXPECT_LT(outcome.meanQueueUs, path.mostQueueRtts * kRttUs);
    }
}

// Startup from the first piece: the window doubles every round trip, so that the path's rate is
// reached in about log2(rate-times-round-trip / first window) round trips, and it stops doubling
// once answers show a queue standing, before the queue overflows.
TEST(Congestion, StartupDoublesToThePathsRateWithoutOverflowingItsQueue) {
    struct Case {
        std::int64_t endUs;
        double leastShare; // of the link over the whole run, startup included
    };
    // The first window is 16 pieces; the path holds 446: about 5 round trips to fill it.
    for (const Case c : {Case{400'000, 0.42}, Case{1'000'000, 0.72}}) {
        const Path path{.name = "startup", .endUs = c.endUs, .measureFromUs = 0};
        const Outcome outcome = Simulation(path, 7).run();
        const double share = outcome.rates.front() / kLinkBytesPerUs;
        std::printf("startup, first %lld ms: %.3f of the link, %.2f %% dropped at the queue\n",
                    static_cast<long long>(c.endUs / 1000), share, outcome.dropped * 100);
        EXPECT_GE(share, c.leastShare) << c.endUs;
        EXPECT_EQ(outcome.dropped, 0) << c.endUs;
    }
}

} // namespace
