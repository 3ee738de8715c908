// Many small files and two large ones from one default client, through a link that loses and
// copies datagrams, with the server killed once mid-run and started again: every file arrives
// byte-identical, once, and the outbox empties. The real programs' test of an outbox of many
// files; the same under heavier faults runs as seeded scenarios in the simulation (tests/sim).

#include "faultkit.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

namespace {

using namespace faults;

constexpr std::size_t kSmallFiles = 500;
constexpr std::size_t kLargeBytes = 3 << 20;
constexpr std::size_t kArrivedBeforeKill = 120;

FileSet manyFiles(unsigned long long seedValue) {
    FileSet files;
    std::mt19937 random(static_cast<unsigned>(seedValue));
    for (std::size_t i = 0; i < kSmallFiles; ++i) {
        const std::size_t size = 1 + random() % 8192;
        files.add("s" + std::to_string(1000 + i) + ".bin",
                  zelktest::patternBytes(size, static_cast<unsigned>(seedValue + i)));
    }
    // One large file early in the outbox's order and one last, so that the kill may find either
    // under way and small ones queue behind and before them.
    files.add("l1.bin", zelktest::patternBytes(kLargeBytes, static_cast<unsigned>(seedValue) + 1));
    files.add("z9.bin", zelktest::patternBytes(kLargeBytes, static_cast<unsigned>(seedValue) + 2));
    return files;
}

// Files under their own names in the origin's folder (a staging name starts with a dot).
std::size_t arrivedCount(const std::string& folder) {
    std::error_code error;
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        count += entry.path().filename().string().starts_with('.') ? 0 : 1;
    }
    return count;
}

} // namespace

TEST(FaultsMany, FiveHundredSmallAndTwoLargeFilesThroughLossCopiesAndAServerKill) {
    zelktest::ScratchDir scratch;
    const unsigned long long seedValue = seed(5002);
    Server server(scratch.path(), scratch.file("recv"));
    ASSERT_TRUE(server.start()) << server.process().errors();
    Relay relay;
    ASSERT_TRUE(
        relay.start(scratch.file("relay"), server.udpPort(),
                    {"--loss", "0.02", "--dup", "0.02", "--seed", std::to_string(seedValue)}));
    const FileSet files = manyFiles(seedValue);
    ClientSettings settings{"nombreux", relay.port()};
    settings.extension = true;
    settings.pieceMax = 1400;
    Client client(scratch.file("c1"), settings);
    files.put(client.outbox());
    Stopwatch clock;
    ASSERT_TRUE(client.start()) << client.process().errors();

    const std::string folder = server.receiveFolder() + "/nombreux";
    ASSERT_TRUE(waitUntil([&] { return arrivedCount(folder) >= kArrivedBeforeKill; }, 240000, 20))
        << "arrived before the kill: " << arrivedCount(folder);
    server.kill();
    const std::size_t atKill = arrivedCount(folder);
    ASSERT_TRUE(server.start()) << server.process().errors();

    const bool emptied =
        waitUntil([&client] { return entriesUnder(client.outbox()).empty(); }, 240000, 100);
    const std::string took = clock.total();
    client.process().stop();
    server.process().stop();
    const RelayCounts counts = relay.stop();

    const Fates fates = files.fates(folder, client.outbox());
    report(std::to_string(files.count()) + " files (" + std::to_string(files.totalBytes()) +
           " bytes), 2% loss and 2% copies each way, server killed with " + std::to_string(atKill) +
           " arrived, seed " + std::to_string(seedValue) + ": " +
           std::to_string(fates.delivered.size()) + " delivered, " +
           std::to_string(fates.waiting.size()) + " stuck, " + std::to_string(fates.lost.size()) +
           " lost or damaged, in " + took);
    report(counts.line);
    EXPECT_TRUE(emptied);
    EXPECT_TRUE(fates.lost.empty());
    EXPECT_TRUE(fates.waiting.empty());
    EXPECT_EQ(fates.delivered.size(), files.count());
    EXPECT_GT(counts.upDuplicated + counts.downDuplicated, 0);
    EXPECT_GT(counts.upDropped + counts.downDropped, 0);
}
