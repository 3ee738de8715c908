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
SystemSetup againstPlainServer(SystemSetup setup, std::optional<zelk::ext::Key> key = {}) {
    setup.client = Speaks::Extension;
    setup.key = key;
    return setup;
}

std::string runToEnd(System& system) {
    return system.outcome(system.run()).broke();
}

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
            System system(againstPlainServer(drawSetup(scenario)));
            const std::string broke = runToEnd(system);
            headers += system.extClient()->headers();
            wentPlain += system.extClient()->wentPlain();
            if (system.extClient()->wentPlain() == 0) {
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
        System system(againstPlainServer(drawSetup(drawScenario(kLossyCopying, seed))));
        EXPECT_EQ(runToEnd(system), "") << seed;
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
    System system(againstPlainServer(setup, zelk::ext::Key{}));
    system.world().run(scenario.deadline);
    EXPECT_GT(system.extClient()->headers(), 10); // it kept offering
    EXPECT_TRUE(system.serverDisk().list("in/simclient").empty());
    EXPECT_EQ(system.clientDisk().list(System::kOutbox).size(), 2u);
}

} // namespace
