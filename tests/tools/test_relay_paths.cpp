// The relay's wide-area path, as the tests that use it rely on it: a one-way delay and a
// bottleneck keep the datagrams of one direction whole and in order, reordering lets later ones
// overtake, the options of one direction leave the other alone, and every datagram that reaches
// the queue (copies included, lost ones not) either leaves it or is counted as dropped there.

#include "faultkit.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace faults;

constexpr int kDatagramBytes = 1000;
constexpr int kQuietMs = 3000; // nothing more for this long: the relay holds nothing back

std::string numbered(int number) {
    std::string bytes = std::to_string(number) + ":";
    bytes.resize(kDatagramBytes, '.');
    return bytes;
}

// The numbers of what arrives until nothing more comes for a while or `expected` have come.
std::vector<int> numbersReceived(const UdpPeer& at, std::size_t expected) {
    std::vector<int> numbers;
    while (numbers.size() < expected) {
        const auto datagram = at.receiveFrom(kQuietMs);
        if (!datagram) {
            break;
        }
        numbers.push_back(std::stoi(datagram->bytes));
    }
    return numbers;
}

// A counter of the relay's closing line, -1 when the line lacks it.
long countIn(const std::string& line, const std::string& name) {
    const std::size_t at = line.find(name + "=");
    long value = -1;
    if (at != std::string::npos) {
        std::sscanf(line.c_str() + at + name.size() + 1, "%ld", &value);
    }
    return value;
}

// A client, a fake server and the relay between them.
struct Link {
    zelktest::ScratchDir scratch;
    UdpPeer server; // answers the relay's upstream socket, which it learns from the hello
    UdpPeer client;
    Relay relay;
    quint16 upstream = 0; // the relay's socket towards the server for this client

    bool start(const std::vector<std::string>& options) {
        return relay.start(scratch.file("relay"), server.port(), options);
    }

    // One datagram up so that the relay opens the client's upstream socket and the server learns
    // it, before anything goes down; false when it never comes through.
    bool open() {
        client.send(relay.port(), "hello");
        const auto hello = server.receiveFrom(10000);
        upstream = hello ? hello->fromPort : 0;
        return hello.has_value();
    }

    // Sends `count` numbered datagrams at once in one direction; what arrives at the other end,
    // at most `expected`.
    std::vector<int> burst(bool down, int count, int expected) {
        for (int number = 0; number < count; ++number) {
            if (down) {
                server.send(upstream, numbered(number));
            } else {
                client.send(relay.port(), numbered(number));
            }
        }
        return numbersReceived(down ? client : server, static_cast<std::size_t>(expected));
    }
};

struct OrderCase {
    const char* name;
    std::vector<std::string> options;
    bool down;
    bool keepsOrder;
};

void PrintTo(const OrderCase& c, std::ostream* out) {
    *out << c.name;
}

class RelayOrder : public testing::TestWithParam<OrderCase> {};

// Whatever the delays, nothing is lost or doubled without --loss and --dup, and the queue is
// large enough for the burst; the other direction's reordering never touches this one.
TEST_P(RelayOrder, EveryDatagramArrivesOnceInTheExpectedOrder) {
    const OrderCase& c = GetParam();
    constexpr int kCount = 200;
    Link link;
    ASSERT_TRUE(link.start(c.options));
    if (c.down) {
        ASSERT_TRUE(link.open());
    }
    const std::vector<int> numbers = link.burst(c.down, kCount, kCount);
    const RelayCounts counts = link.relay.stop();

    ASSERT_EQ(numbers.size(), static_cast<std::size_t>(kCount)) << counts.line;
    const std::set<int> distinct(numbers.begin(), numbers.end());
    EXPECT_EQ(distinct.size(), numbers.size());
    EXPECT_EQ(*distinct.begin(), 0);
    EXPECT_EQ(*distinct.rbegin(), kCount - 1);
    EXPECT_EQ(std::is_sorted(numbers.begin(), numbers.end()), c.keepsOrder) << counts.line;
    EXPECT_EQ(countIn(counts.line, "up queue-dropped"), 0) << counts.line;
    EXPECT_EQ(countIn(counts.line, "down queue-dropped"), 0) << counts.line;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RelayOrder,
    testing::Values(OrderCase{"DelayAndRateUp",
                              {"--owd-up", "30", "--rate-up", "2M", "--queue-up", "1M",
                               "--reorder-down", "1:300"},
                              false,
                              true},
                    OrderCase{"DelayAndRateDown",
                              {"--owd-down", "30.5", "--rate-mbit-down", "16", "--queue-down", "1M",
                               "--reorder-up", "1:300"},
                              true,
                              true},
                    OrderCase{"ReorderUp", {"--owd", "20", "--reorder-up", "1:300"}, false, false},
                    OrderCase{"ReorderDown", {"--reorder", "0.5:300", "--seed", "7"}, true, false}),
    [](const testing::TestParamInfo<OrderCase>& info) { return std::string(info.param.name); });

struct QueueCase {
    const char* name;
    std::vector<std::string> faults;
    long copiesEach; // datagrams that reach the queue for each one forwarded past the loss
};

void PrintTo(const QueueCase& c, std::ostream* out) {
    *out << c.name;
}

class RelayQueue : public testing::TestWithParam<QueueCase> {};

// A burst far beyond a small queue in front of a slow link: some datagrams get through, the
// rest are counted as dropped by the queue of that direction alone, and copies made before the
// queue count there like any other datagram.
TEST_P(RelayQueue, WhatTheQueueRefusesIsCountedInItsDirection) {
    const QueueCase& c = GetParam();
    constexpr int kCount = 60;
    std::vector<std::string> options{"--rate-up", "20k", "--queue-up", "5k", "--seed", "11"};
    options.insert(options.end(), c.faults.begin(), c.faults.end());
    Link link;
    ASSERT_TRUE(link.start(options));
    const auto numbers = link.burst(false, kCount, static_cast<int>(c.copiesEach) * kCount);
    const long received = static_cast<long>(numbers.size());
    const RelayCounts counts = link.relay.stop();
    const long queueDropped = countIn(counts.line, "up queue-dropped");

    EXPECT_GT(received, 0) << counts.line;
    // The link lets a handful through while the burst lasts; the rest, copies included, meet a
    // full queue.
    EXPECT_GT(queueDropped, received) << counts.line;
    EXPECT_EQ(received + queueDropped, c.copiesEach * counts.upForwarded) << counts.line;
    EXPECT_EQ(countIn(counts.line, "down queue-dropped"), 0) << counts.line;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RelayQueue,
    testing::Values(QueueCase{"Plain", {}, 1},
                    QueueCase{"LossThenCopies", {"--loss-up", "0.3", "--dup-up", "1"}, 2}),
    [](const testing::TestParamInfo<QueueCase>& info) { return std::string(info.param.name); });

} // namespace
