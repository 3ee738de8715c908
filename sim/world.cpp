#include "world.h"

#include "hashing.h"

#include <ostream>

namespace zelk::sim {

NodeId World::add(Node& node, Address address) {
    const auto id = static_cast<NodeId>(slots_.size());
    Slot slot;
    slot.node = &node;
    slot.address = address;
    slots_.push_back(std::move(slot));
    byAddress_[address] = id;
    return id;
}

void World::link(NodeId a, NodeId b, const DirectionSettings& aToB, const DirectionSettings& bToA) {
    const auto stream = [](NodeId from, NodeId to) {
        return static_cast<std::uint64_t>(from) << 32 | static_cast<std::uint32_t>(to);
    };
    directions_[{a, b}] = std::make_unique<Direction>(aToB, streamSeed(seed_, stream(a, b)));
    directions_[{b, a}] = std::make_unique<Direction>(bToA, streamSeed(seed_, stream(b, a)));
}

void World::crash(NodeId node, Micros at, Micros restartAt) {
    queue_.schedule(at, [this, node] {
        Slot& slot = slots_[node];
        if (slot.down++ == 0) {
            slot.held.clear();
            slot.heldBytes = 0;
            slot.wakeAt = -1;
            note("crash", node, 0);
        }
    });
    queue_.schedule(restartAt, [this, node] {
        Slot& slot = slots_[node];
        if (--slot.down == 0) {
            ++slot.stats.restarts;
            note("restart", node, 0);
            slot.node->restart(now());
            afterCall(node, false);
        }
    });
}

void World::stall(NodeId node, Micros from, Micros until) {
    queue_.schedule(from, [this, node] {
        ++slots_[node].stalled;
        note("stall", node, 0);
    });
    queue_.schedule(until, [this, node] {
        if (--slots_[node].stalled == 0) {
            resume(node);
        }
    });
}

void World::at(Micros at, std::function<void()> action) {
    queue_.schedule(at, [this, action = std::move(action)] {
        note("outside", -1, 0);
        action();
        for (NodeId node = 0; node < static_cast<NodeId>(slots_.size()); ++node) {
            if (slots_[node].down == 0) {
                afterCall(node, false);
            }
        }
    });
}

World::End World::run(Micros deadline, const std::function<bool()>& done, std::int64_t maxEvents) {
    if (!started_) {
        started_ = true;
        for (NodeId node = 0; node < static_cast<NodeId>(slots_.size()); ++node) {
            afterCall(node, false);
        }
    }
    for (std::int64_t events = 0; !queue_.empty(); ++events) {
        if (done && done()) {
            return End::Done;
        }
        if (queue_.nextAt() > deadline) {
            return End::Deadline;
        }
        if (events >= maxEvents) {
            return End::Runaway;
        }
        queue_.runNext();
    }
    return done && done() ? End::Done : End::Idle;
}

const DirectionStats& World::stats(NodeId from, NodeId to) const {
    return directions_.at({from, to})->stats();
}

void World::send(NodeId from, Datagram datagram) {
    const auto to = byAddress_.find(datagram.to);
    const auto direction =
        to == byAddress_.end() ? directions_.end() : directions_.find({from, to->second});
    if (direction == directions_.end()) {
        ++unroutable_;
        note("unroutable", from, static_cast<std::int64_t>(datagram.bytes.size()));
        return;
    }
    const NodeId target = to->second;
    note("send", from, target, &datagram.bytes);
    const Arrivals arrivals = direction->second->enter(now(), datagram.bytes.size());
    if (arrivals.first < 0) {
        note("dropped", from, target);
        return;
    }
    auto shared = std::make_shared<const Datagram>(std::move(datagram));
    for (const Micros at : {arrivals.first, arrivals.copy, arrivals.late}) {
        if (at >= 0) {
            queue_.schedule(at, [this, target, shared] { arrive(target, *shared); });
        }
    }
}

void World::arrive(NodeId to, const Datagram& datagram) {
    Slot& slot = slots_[to];
    if (slot.down > 0) {
        ++slot.stats.whileDown;
        note("lost at a crashed node", to, 0);
        return;
    }
    if (slot.stalled > 0) {
        if (slot.heldBytes + datagram.bytes.size() > stallBufferBytes) {
            ++slot.stats.overflowed;
            note("overflowed", to, 0);
            return;
        }
        ++slot.stats.heldBack;
        slot.heldBytes += datagram.bytes.size();
        slot.held.push_back(datagram);
        note("held back", to, 0);
        return;
    }
    handOver(to, datagram);
}

void World::handOver(NodeId to, const Datagram& datagram) {
    Slot& slot = slots_[to];
    ++slot.stats.received;
    note("receive", to, 0, &datagram.bytes);
    slot.node->receive(datagram, now());
    afterCall(to, false);
}

void World::wakeEvent(NodeId node, Micros at) {
    Slot& slot = slots_[node];
    if (at != slot.wakeAt || slot.down > 0 || slot.stalled > 0) {
        return; // replaced by a later plan, or the node cannot run; resume() plans again
    }
    slot.wakeAt = -1;
    note("wake", node, 0);
    slot.node->wake(now());
    afterCall(node, true);
}

// Sends what the node wants sent and plans its next wake-up. A node woken that asks at once for
// another wake-up gets it a microsecond later, so that a run always moves on.
void World::afterCall(NodeId node, bool woken) {
    Slot& slot = slots_[node];
    for (Datagram& datagram : slot.node->takeOutgoing()) {
        datagram.from = slot.address;
        send(node, std::move(datagram));
    }
    const std::optional<Micros> next = slot.node->nextWake();
    if (!next) {
        slot.wakeAt = -1;
        return;
    }
    const Micros at = std::max(*next, woken ? now() + 1 : now());
    if (at == slot.wakeAt) {
        return;
    }
    slot.wakeAt = at;
    queue_.schedule(at, [this, node, at] { wakeEvent(node, at); });
}

void World::resume(NodeId node) {
    Slot& slot = slots_[node];
    note("resume", node, static_cast<std::int64_t>(slot.held.size()));
    std::vector<Datagram> held = std::move(slot.held);
    slot.held.clear();
    slot.heldBytes = 0;
    if (slot.down > 0) {
        return;
    }
    slot.wakeAt = -1; // the wake-ups skipped during the stall are planned again
    for (const Datagram& datagram : held) {
        handOver(node, datagram);
    }
    afterCall(node, false);
}

void World::note(const char* what, NodeId node, std::int64_t detail, const Bytes* bytes) {
    Hash hash;
    hash.number(trace_);
    hash.text(what);
    hash.number(static_cast<std::uint64_t>(now()));
    hash.number(static_cast<std::uint64_t>(node));
    hash.number(static_cast<std::uint64_t>(detail));
    if (bytes != nullptr) {
        hash.bytes(*bytes);
    }
    trace_ = hash.value();
    if (log_ != nullptr) {
        *log_ << "t=" << now() << " node " << node << ' ' << what << ' ' << detail;
        if (bytes != nullptr) {
            *log_ << " (" << bytes->size() << " bytes)";
        }
        *log_ << '\n';
    }
}

} // namespace zelk::sim
