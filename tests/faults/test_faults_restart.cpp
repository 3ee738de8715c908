// Processes killed mid-file (SIGKILL, no chance to tidy up) and started again, while the link
// drops some datagrams each way: nothing is lost and nothing is corrupted. The real programs'
// smoke test; crashes and restarts of either side under heavier loss, copies and stalls run as
// seeded scenarios in the simulation (tests/sim).

#include "faultkit.h"
#include "testutil.h"

#include <gtest/gtest.h>

namespace {

using namespace faults;

constexpr std::size_t kFileSize = 300000;
constexpr std::int64_t kKilledAt = 100000;

struct LossyTransfer {
    zelktest::ScratchDir scratch;
    Server server{scratch.path(), scratch.file("recv")};
    Relay relay;
    std::unique_ptr<Client> client;
    FileSet files;
    std::string arrivals = server.receiveFolder() + "/survivor";
    std::string arriving = arrivals + "/big.bin";

    // With a follower, the client has two files to send, in the order its outbox lists them.
    void start(unsigned long long seedValue, bool withFollower) {
        ASSERT_TRUE(server.start()) << server.process().errors();
        ASSERT_TRUE(relay.start(scratch.file("relay"), server.udpPort(),
                                {"--loss", "0.05", "--seed", std::to_string(seedValue)}));
        client =
            std::make_unique<Client>(scratch.file("c"), ClientSettings{"survivor", relay.port()});
        files.add("big.bin", zelktest::patternBytes(kFileSize, static_cast<unsigned>(seedValue)));
        if (withFollower) {
            files.add("small.bin",
                      zelktest::patternBytes(5000, static_cast<unsigned>(seedValue) + 1));
        }
        files.put(client->outbox());
        ASSERT_TRUE(client->start()) << client->process().errors();
    }

    // Waits until the server holds at least `bytes` of the big file.
    bool reached(std::int64_t bytes) {
        return waitUntil([&] { return sizeOf(arriving) >= bytes; }, 60000, 20);
    }

    // Also tracks the smallest size the arriving file had meanwhile (-1: it was deleted).
    bool finished(std::int64_t& smallest) {
        smallest = sizeOf(arriving);
        return waitUntil(
            [&] {
                smallest = std::min(smallest, sizeOf(arriving));
                return files.arrived(arrivals, client->outbox());
            },
            120000, 20);
    }
};

TEST(FaultsRestart, ServerKilledMidFileAndRestarted) {
    LossyTransfer transfer;
    ASSERT_NO_FATAL_FAILURE(transfer.start(seed(4242), true));
    ASSERT_TRUE(transfer.reached(kKilledAt));
    transfer.server.kill();
    const std::int64_t atKill = sizeOf(transfer.arriving);
    ASSERT_TRUE(transfer.server.start()) << transfer.server.process().errors();

    // The restarted server has no table: the file starts again from its first byte.
    std::int64_t smallest = 0;
    const bool done = transfer.finished(smallest);
    const RelayCounts counts = transfer.relay.stop();
    EXPECT_TRUE(done);
    const bool intact = transfer.files.damaged(transfer.arrivals).empty();
    EXPECT_TRUE(intact);
    EXPECT_TRUE(transfer.files.leftInOutbox(transfer.client->outbox()).empty());
    report("server SIGKILLed with " + std::to_string(atKill) + " of " + std::to_string(kFileSize) +
           " bytes received, restarted, 5% loss each way: the file started over (" +
           std::to_string(smallest) + " bytes at the lowest) and " +
           (done && intact ? "it and its follower arrived intact" : "DID NOT ARRIVE INTACT"));
    report(counts.line);
}

TEST(FaultsRestart, ClientKilledMidFileAndRestarted) {
    LossyTransfer transfer;
    ASSERT_NO_FATAL_FAILURE(transfer.start(seed(4343), false));
    ASSERT_TRUE(transfer.reached(kKilledAt));
    transfer.client->kill();
    const std::int64_t atKill = sizeOf(transfer.arriving);
    EXPECT_LT(atKill, static_cast<std::int64_t>(kFileSize));
    EXPECT_GE(sizeOf(transfer.client->outbox() + "/big.bin"), 0);
    ASSERT_TRUE(transfer.client->start()) << transfer.client->process().errors();

    // The server kept its row: the restarted client resumes where the server stood.
    std::int64_t smallest = 0;
    const bool done = transfer.finished(smallest);
    EXPECT_GE(smallest, atKill);
    const RelayCounts counts = transfer.relay.stop();
    EXPECT_TRUE(done);
    const bool intact = transfer.files.damaged(transfer.arrivals).empty();
    EXPECT_TRUE(intact);
    EXPECT_TRUE(transfer.files.leftInOutbox(transfer.client->outbox()).empty());
    report("client SIGKILLed with " + std::to_string(atKill) + " of " + std::to_string(kFileSize) +
           " bytes received, restarted, 5% loss each way: resumed from " +
           std::to_string(smallest) + " bytes and " +
           (done && intact ? "arrived intact" : "DID NOT ARRIVE INTACT"));
    report(counts.line);
}

} // namespace
