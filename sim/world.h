#pragma once

#include "link.h"
#include "node.h"

#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace zelk::sim {

using NodeId = int;

// What happened to the datagrams that reached a node.
struct NodeStats {
    std::int64_t received = 0;   // handed to the node
    std::int64_t whileDown = 0;  // dropped: the node had crashed
    std::int64_t heldBack = 0;   // kept during a stall, handed over at its end
    std::int64_t overflowed = 0; // dropped: a stalled node's receive buffer was full
    std::int64_t restarts = 0;
};

// Nodes, the links between them, and the faults planned for them, on one virtual clock. Everything
// that happens is drawn from the seed: the same seed and the same nodes give the same run.
class World {
public:
    enum class End { Idle, Done, Deadline, Runaway };

    explicit World(std::uint64_t seed) : seed_(seed) {}
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // The node must outlive the world.
    NodeId add(Node& node, Address address);
    // Both directions between two nodes, each with its own settings and its own random stream.
    void link(NodeId a, NodeId b, const DirectionSettings& aToB, const DirectionSettings& bToA);
    // From `at` until `restartAt` the node is gone: datagrams for it are lost and it is never
    // woken; at `restartAt` it restarts with its file system as it was.
    void crash(NodeId node, Micros at, Micros restartAt);
    // From `from` until `until` the node is frozen: it is not woken, and what arrives for it waits
    // in its receive buffer (up to stallBufferBytes), handed over in order when it resumes.
    void stall(NodeId node, Micros from, Micros until);
    // Something from outside the network at `at`: a user drops a file into an outbox, changes
    // one being sent, fills a disk. Nodes are asked for their plans again afterwards.
    void at(Micros at, std::function<void()> action);

    // Runs until nothing is left to do, `done` holds (asked after every event), the deadline
    // passes, or more than `maxEvents` events ran (a node that never lets time pass).
    End run(Micros deadline, const std::function<bool()>& done = {},
            std::int64_t maxEvents = 20'000'000);

    Micros now() const { return queue_.now(); }
    // Of every datagram sent, lost and handed over, with its time and bytes, and every wake-up,
    // crash and restart: two runs that behaved alike have the same hash.
    std::uint64_t traceHash() const { return trace_; }
    const DirectionStats& stats(NodeId from, NodeId to) const;
    const NodeStats& nodeStats(NodeId node) const { return slots_.at(node).stats; }
    std::int64_t unroutable() const { return unroutable_; }
    // Each event as one line, for replaying a failing seed by eye.
    void traceTo(std::ostream* out) { log_ = out; }

    static constexpr std::size_t stallBufferBytes = 256 * 1024;

private:
    struct Slot {
        Node* node = nullptr;
        Address address;
        int down = 0;    // crashes in force
        int stalled = 0; // stalls in force
        std::vector<Datagram> held;
        std::size_t heldBytes = 0;
        Micros wakeAt = -1; // the wake-up event in the queue that counts
        NodeStats stats;
    };

    void send(NodeId from, Datagram datagram);
    void arrive(NodeId to, const Datagram& datagram);
    void handOver(NodeId to, const Datagram& datagram);
    void wakeEvent(NodeId node, Micros at);
    void afterCall(NodeId node, bool woken);
    void resume(NodeId node);
    void note(const char* what, NodeId node, std::int64_t detail, const Bytes* bytes = nullptr);

    std::uint64_t seed_;
    EventQueue queue_;
    std::vector<Slot> slots_;
    std::map<Address, NodeId> byAddress_;
    std::map<std::pair<NodeId, NodeId>, std::unique_ptr<Direction>> directions_;
    std::int64_t unroutable_ = 0;
    std::uint64_t trace_ = 0xcbf29ce484222325ULL;
    std::ostream* log_ = nullptr;
    bool started_ = false;
};

} // namespace zelk::sim
