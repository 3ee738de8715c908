#pragma once

#include "delivery.h"
#include "extclient.h"
#include "extserver.h"
#include "scenario.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelk::simtest {

// A file for the client's outbox: there from the start, or dropped in at `at`.
struct FileDrop {
    std::string name;
    Bytes content;
    Micros at = 0;
};

// Which protocol a side speaks: the plain one alone, or the extension too (offered by the client,
// taken by the server), with or without the origin's key.
enum class Speaks { Plain, Extension };

struct SystemSetup {
    Scenario scenario; // the link between the two, their outages, the deadline and the linger
    std::vector<FileDrop> files;
    std::size_t pieceMax = 1000;
    std::int64_t waitMs = 300;
    bool stagePlain = false;
    Speaks client = Speaks::Plain;
    Speaks server = Speaks::Plain;
    std::optional<ext::Key> key; // the origin's, known to both sides
    std::int64_t extendedDatagram = 1452;
    int transfers = 1;                                     // the client's "transfertsMaxi="
    int firstFlight = ExtendedSession::kFirstFlightPieces; // 0: pieces wait for the acceptance
    std::int64_t loopMs = 5;                               // "vidangeDirFile="
    Micros publishDelay = 0; // a verified file takes its name this long after its verdict
};

// What a run ended with.
struct Outcome {
    // Lost, damaged, stuck, left behind, an empty file sent or deleted, a run that never let
    // time pass: each is a fault.
    std::vector<std::string> faults;
    // Files made whole more than once: the plain protocol's answer to a file it cannot tell
    // complete (its last answer lost, a client restarted before deleting it, a finished copy
    // overwritten by a stray frame) is to send it again whole.
    int redelivered = 0;
    std::string broke() const;
};

// A client and a server, one origin, on one seeded world.
class System {
public:
    static constexpr Address kClient{10, 4000};
    static constexpr Address kServer{20, 5000};
    static constexpr const char* kOutbox = "out";

    explicit System(const SystemSetup& setup);
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    World& world() { return world_; }
    FileSystem& clientDisk() { return clientDisk_; }
    FileSystem& serverDisk() { return serverDisk_; }
    const std::string& arrivals() const { return arrivals_; }
    NodeId clientId() const { return clientId_; }
    NodeId serverId() const { return serverId_; }
    const ExtClientNode* extClient() const { return client_.get(); }
    const ExtServerNode* extServer() const { return server_.get(); }

    bool settled() const;
    // Runs on from where the world stands until settled, then for the scenario's linger.
    World::End run(const std::function<void()>& afterEachEvent = {});
    Outcome outcome(World::End end) const;

private:
    SystemSetup setup_;
    FileSystem clientDisk_;
    FileSystem serverDisk_;
    std::string arrivals_;
    DeliveryCheck check_;
    std::vector<std::string> empties_;
    std::unique_ptr<ExtClientNode> client_;
    std::unique_ptr<ExtServerNode> server_;
    World world_;
    NodeId clientId_;
    NodeId serverId_;
};

// The scenario's files, drawn from its seed: several of assorted sizes (one byte, around and at
// multiples of the piece, several pieces), sometimes an empty one and one whose pieces look like
// headers, and one or two dropped into the outbox during the run.
SystemSetup drawSetup(const Scenario& scenario);

// Bytes drawn from `seed`.
Bytes randomBytes(std::size_t size, std::uint64_t seed);

} // namespace zelk::simtest
