#include "delivery.h"
#include "scenario.h"
#include "stopandwait.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <sstream>

using namespace zelk::sim;
using namespace zelk::simtest;

namespace {

constexpr Address kClient{10, 4000};
constexpr Address kServer{20, 5000};

struct PairRun {
    std::string broke;
    std::uint64_t trace = 0;
    std::uint64_t disks = 0;
    NodeStats client;
    NodeStats server;
    DirectionStats forward;
};

// Three files of up to 12 000 bytes, drawn from the seed, from the double's outbox to its
// receive folder, through the scenario's link and faults; the third is dropped into the outbox
// during the run.
PairRun runPair(const Scenario& scenario, bool broken = false) {
    FileSystem client;
    FileSystem server;
    DeliveryCheck check(server, "in");
    Random random(streamSeed(scenario.seed, 1));
    std::vector<Bytes> contents;
    for (const char* name : {"a", "b", "c"}) {
        contents.emplace_back(static_cast<std::size_t>(random.between(1, 12'000)));
        for (std::uint8_t& byte : contents.back()) {
            byte = static_cast<std::uint8_t>(random.next());
        }
        check.expect(name, contents.back());
    }
    client.put("out", "a", contents[0]);
    client.put("out", "b", contents[1]);
    StopAndWaitSender sender(client, {.peer = kServer});
    StopAndWaitReceiver receiver(server, "in", broken);
    World world(scenario.seed);
    world.traceTo(traceWanted());
    const NodeId a = world.add(sender, kClient);
    const NodeId b = world.add(receiver, kServer);
    apply(world, scenario, a, b);
    world.at(random.between(0, 3'000'000), [&] { client.put("out", "c", contents[2]); });
    const World::End end =
        runSettled(world, scenario, [&] { return check.settled(client, "out"); });
    PairRun run{{},
                world.traceHash(),
                client.hash() ^ server.hash() * 31,
                world.nodeStats(a),
                world.nodeStats(b),
                world.stats(a, b)};
    for (const std::string& problem : check.problems(client, "out")) {
        run.broke += (run.broke.empty() ? "" : "; ") + problem;
    }
    if (end == World::End::Runaway) {
        run.broke += " (ran away)";
    }
    return run;
}

TEST(SimScenarios, SameSeedReplaysTheSameRun) {
    const Family family;
    for (const std::uint64_t seed : {1ULL, 2ULL, 77ULL}) {
        const Scenario scenario = drawScenario(family, seed);
        const PairRun first = runPair(scenario);
        const PairRun again = runPair(drawScenario(family, seed));
        EXPECT_EQ(drawScenario(family, seed).describe(), scenario.describe());
        EXPECT_EQ(first.trace, again.trace) << seed;
        EXPECT_EQ(first.disks, again.disks) << seed;
        EXPECT_NE(runPair(drawScenario(family, seed + 1000)).trace, first.trace) << seed;
    }
}

// The double is correct: every scenario must deliver every file once, whole. The sums show that
// the family did throw each fault at it (but for a full queue, which one datagram in flight never
// fills). Its transfers take a second or two, so the outages come early.
TEST(SimScenarios, AThousandScenariosDeliverEveryFile) {
    NodeStats nodes;
    DirectionStats link;
    const Family family{.faultsUntil = 2'000'000};
    const Summary summary = runScenarios(
        family, 1, 1'000,
        [&](const Scenario& scenario) {
            const PairRun run = runPair(scenario);
            for (const NodeStats& s : {run.client, run.server}) {
                nodes.restarts += s.restarts;
                nodes.heldBack += s.heldBack;
                nodes.whileDown += s.whileDown;
            }
            link.duplicated += run.forward.duplicated;
            link.reordered += run.forward.reordered;
            link.late += run.forward.late;
            link.cut += run.forward.cut;
            link.held += run.forward.held;
            link.queueDropped += run.forward.queueDropped;
            return run.broke;
        },
        std::cout);
    EXPECT_GE(summary.ran, 1);
    EXPECT_TRUE(summary.failures.empty());
    if (std::getenv("ZELK_SIM_SEED") == nullptr) {
        for (const std::int64_t count :
             {nodes.restarts, nodes.heldBack, nodes.whileDown, link.duplicated, link.reordered,
              link.late, link.cut, link.held}) {
            EXPECT_GT(count, 0);
        }
    }
}

// A receiver that writes pieces where it stands damages files when datagrams are copied: the
// runner must name the seeds, and one seed alone must replay its failure exactly.
TEST(SimScenarios, ABrokenDoubleIsCaughtAndItsSeedReplays) {
    if (std::getenv("ZELK_SIM_SEED") != nullptr || std::getenv("ZELK_SIM_SCENARIOS") != nullptr) {
        GTEST_SKIP() << "it sets the seed itself";
    }
    Family family;
    family.duplicate = 0.5;
    const auto broken = [](const Scenario& scenario) { return runPair(scenario, true).broke; };
    std::ostringstream report;
    const Summary summary = runScenarios(family, 500, 200, broken, report);
    ASSERT_FALSE(summary.failures.empty());
    EXPECT_LT(summary.failures.size(), 200U); // those without copies pass
    const std::string& line = summary.failures.front();
    EXPECT_EQ(line.rfind("sim seed ", 0), 0U) << line;
    EXPECT_NE(line.find("damaged"), std::string::npos) << line;
    EXPECT_EQ(report.str().substr(0, line.size()), line);

    const std::string seed = line.substr(9, line.find(':') - 9);
    ::setenv("ZELK_SIM_SEED", seed.c_str(), 1);
    std::ostringstream replayed;
    const Summary alone = runScenarios(family, 0, 1'000, broken, replayed);
    ::unsetenv("ZELK_SIM_SEED");
    EXPECT_EQ(alone.ran, 1);
    EXPECT_EQ(alone.failures, std::vector<std::string>{line});
}

} // namespace
