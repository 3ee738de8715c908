#pragma once

#include "link.h"
#include "world.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace zelk::sim {

// The family a scenario is drawn from: each fault takes, in each direction or on each node, a
// value from none up to its most. Times are virtual microseconds.
struct Family {
    double loss = 0.1;
    double duplicate = 0.3;
    double reorder = 0.1;
    double late = 0.05;
    Micros lateMin = 1'000'000; // how much later a late copy comes
    Micros lateMax = 5'000'000;
    Micros delayMin = 500;
    Micros delayMax = 40'000;
    Micros jitterMax = 5'000;
    double rateMin = 200'000; // bytes per second; half the scenarios have no bottleneck
    double rateMax = 20'000'000;
    int cutsMost = 2; // each direction
    Micros cutLongest = 3'000'000;
    int holdsMost = 1; // each direction
    Micros holdLongest = 2'000'000;
    int stallsMost = 1; // each node
    Micros stallLongest = 2'000'000;
    int crashesMost = 1; // each node
    Micros downLongest = 2'000'000;
    Micros faultsUntil = 20'000'000; // cuts, holds, stalls and crashes begin before this
    Micros deadline = 600'000'000;
    // Once every file is in place the run goes on this long: late copies arrive, a crashed node
    // comes back, and what the run holds then is what counts.
    Micros linger = 10'000'000;
};

// A node's crash or stall.
struct Outage {
    int node = 0; // 0: the first node given to apply(), 1: the second
    Window window;
};

// One run's settings, all drawn from its seed.
struct Scenario {
    std::uint64_t seed = 0;
    DirectionSettings forward;  // first node to second
    DirectionSettings backward; // second to first
    std::vector<Outage> stalls;
    std::vector<Outage> crashes;
    Micros deadline = 0;
    Micros linger = 0;

    // One line, each fault forward/backward: "loss 0.050/0.000, dup 0.300/0.100, ...", then each
    // window, "cut fwd@1.500s+0.800s, ..., crash 1@2.500s+1.200s" (node 0 or 1, from, for).
    std::string describe() const;
};

Scenario drawScenario(const Family& family, std::uint64_t seed);
// The scenario's link between two nodes, and its crashes and stalls. Seed the world with the
// scenario's seed: then the seed alone replays the run.
void apply(World& world, const Scenario& scenario, NodeId first, NodeId second);

// Runs the world until `settled` holds, then on for the scenario's linger (or to its deadline).
// Done, unless it never settled (Deadline) or a node never let time pass (Runaway).
World::End runSettled(World& world, const Scenario& scenario, const std::function<bool()>& settled);

// Runs one scenario and checks its invariants: what broke, or nothing when all held.
using ScenarioCheck = std::function<std::string(const Scenario&)>;

struct Summary {
    int ran = 0;
    std::vector<std::string> failures; // one line each, "sim seed 1234: <settings>: <what broke>"
};

// Runs `count` scenarios with the seeds from `first` on, and writes each failure's line to
// `report`. ZELK_SIM_SEED=<seed> runs that one scenario alone; ZELK_SIM_SCENARIOS=<n> changes
// how many run.
Summary runScenarios(const Family& family, std::uint64_t first, int count,
                     const ScenarioCheck& check, std::ostream& report);

// Where a world should write its events (World::traceTo): standard error when ZELK_SIM_TRACE is
// set, for following one replayed seed; nowhere otherwise.
std::ostream* traceWanted();

} // namespace zelk::sim
