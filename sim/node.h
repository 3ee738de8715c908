#pragma once

#include "eventqueue.h"
#include "filesystem.h"

#include <compare>
#include <cstdint>
#include <optional>
#include <vector>

namespace zelk::sim {

// Where a datagram comes from or goes to: a host and a port, as a socket sees them.
struct Address {
    std::uint32_t host = 0;
    std::uint16_t port = 0;
    auto operator<=>(const Address&) const = default;
};

struct Datagram {
    Address from;
    Address to;
    Bytes bytes;
};

// What the world asks of a protocol core. An adapter wraps a core in it: it hands the core each
// datagram and wake-up with the virtual time, and gathers what the core wants sent. A node never
// reads a clock of its own and never waits: time passes only between two calls.
class Node {
public:
    virtual ~Node() = default;

    // A datagram for this node's address arrived at `now`.
    virtual void receive(const Datagram& datagram, Micros now) = 0;
    // When the node wants to be woken next; nothing when it only waits for datagrams. The world
    // asks after every call.
    virtual std::optional<Micros> nextWake() const = 0;
    virtual void wake(Micros now) = 0;
    // What the node has to send since it was last asked; the world fills in each `from`.
    virtual std::vector<Datagram> takeOutgoing() = 0;
    // The node is back after a crash: all it held in memory is gone, its file system is not.
    virtual void restart(Micros now) = 0;
};

} // namespace zelk::sim
