// The client as it runs, the plain and the extended senders side by side, against the plain
// server in virtual time: its offers answered plainly, it goes plain and every file arrives; a
// keyed origin never does, and sends nothing in clear.

#include "extclient.h"
#include "system.h"

#include "staging.h"

#include <gtest/gtest.h>

#include <iostream>

using namespace zelk::sim;
using namespace zelk::simtest;

namespace {

constexpr Micros kSecond = 1'000'000;

// The extending client and the plain server of one scenario, with its files.
class AgainstPlainServer {
public:
    explicit AgainstPlainServer(const SystemSetup& setup,
                                std::optional<zelk::ext::Key> key = std::nullopt)
        : setup_(setup), check_(serverDisk_, "in/simclient"),
          client_(clientDisk_, {.server = PlainSystem::kServer,
                                .outbox = PlainSystem::kOutbox,
                                .pieceMax = setup.pieceMax,
                                .waitMs = setup.waitMs,
                                .seed = static_cast<std::uint32_t>(setup.scenario.seed),
                                .key = key}),
          server_(serverDisk_, {.folder = "in", .stagePlain = setup.stagePlain}),
          world_(setup.scenario.seed) {
        world_.traceTo(traceWanted());
        check_.ignore([](const std::string& name) { return zelk::isStagingName(name); });
        const NodeId client = world_.add(client_, PlainSystem::kClient);
        const NodeId server = world_.add(server_, PlainSystem::kServer);
        for (const FileDrop& file : setup.files) {
            if (file.content.empty()) {
                continue; // never listed
            }
            check_.expect(file.name, file.content);
            if (file.at == 0) {
                clientDisk_.put(PlainSystem::kOutbox, file.name, file.content);
            } else {
                world_.at(file.at, [this, file] {
                    clientDisk_.put(PlainSystem::kOutbox, file.name, file.content);
                });
            }
        }
        apply(world_, setup.scenario, client, server);
    }

    // What broke, or nothing.
    std::string run() {
        const World::End end = runSettled(world_, setup_.scenario, [this] {
            return check_.settled(clientDisk_, PlainSystem::kOutbox);
        });
        std::string broke = end == World::End::Runaway ? "ran away" : "";
        for (const std::string& problem : check_.problems(clientDisk_, PlainSystem::kOutbox)) {
            if (problem.rfind("delivered ", 0) != 0) {
                broke += (broke.empty() ? "" : "; ") + problem;
            }
        }
        return broke;
    }
    World& world() { return world_; }
    FileSystem& serverDisk() { return serverDisk_; }
    FileSystem& clientDisk() { return clientDisk_; }
    const ExtClientNode& client() const { return client_; }

private:
    SystemSetup setup_;
    FileSystem clientDisk_;
    FileSystem serverDisk_;
    DeliveryCheck check_;
    ExtClientNode client_;
    PlainServerNode server_;
    World world_;
};

// Loss, copies right behind the first, reordering, cuts and holds, stalls and crashes of either
// side. Late copies damage files in the plain protocol itself (its own tests say so).
const Family kLossyCopying{.loss = 0.1,
                           .duplicate = 0.05,
                           .reorder = 0.05,
                           .late = 0,
                           .faultsUntil = 6 * kSecond,
                           .deadline = 900 * kSecond};

TEST(ExtClient, GoesPlainAgainstAPlainServerAndDeliversEveryFile) {
    int headers = 0;
    int wentPlain = 0;
    const Summary summary = runScenarios(
        kLossyCopying, 1, 300,
        [&](const Scenario& scenario) {
            AgainstPlainServer system(drawSetup(scenario));
            const std::string broke = system.run();
            headers += system.client().headers();
            wentPlain += system.client().wentPlain();
            if (system.client().wentPlain() == 0) {
                return broke + "; never went plain";
            }
            return broke;
        },
        std::cout);
    EXPECT_TRUE(summary.failures.empty());
    std::cout << summary.ran << " scenarios, " << headers << " headers, the server taken for a "
              << "plain one " << wentPlain << " times\n";
}

// The transfer identities and nonces come from the scenario's seed: a seed replays its run.
TEST(ExtClient, SameSeedReplaysTheSameRun) {
    const auto trace = [](std::uint64_t seed) {
        AgainstPlainServer system(drawSetup(drawScenario(kLossyCopying, seed)));
        EXPECT_EQ(system.run(), "") << seed;
        return system.world().traceHash();
    };
    EXPECT_EQ(trace(7), trace(7));
    EXPECT_NE(trace(7), trace(8));
}

// A keyed origin never falls back to the plain protocol: against a plain server nothing arrives,
// and every file stays in the outbox.
TEST(ExtClient, AKeyedOriginNeverGoesPlain) {
    Scenario scenario;
    scenario.seed = 5;
    scenario.deadline = 30 * kSecond;
    SystemSetup setup;
    setup.scenario = scenario;
    setup.files = {{"a.bin", randomBytes(3000, 1), 0}, {"b.bin", randomBytes(10, 2), 0}};
    AgainstPlainServer system(setup, zelk::ext::Key{});
    system.world().run(scenario.deadline);
    EXPECT_GT(system.client().headers(), 10); // it kept offering
    EXPECT_TRUE(system.serverDisk().list("in/simclient").empty());
    EXPECT_EQ(system.clientDisk().list(PlainSystem::kOutbox).size(), 2u);
}

} // namespace
