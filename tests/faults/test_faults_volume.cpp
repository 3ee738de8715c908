// Many files through a lossy link that also breaks, and many clients at once: everything arrives
// byte for byte (SHA-256), and every outbox ends empty but for its empty files. The real
// programs' smoke test; fifty files through 20% loss and two cuts, and ten clients through 20%
// loss, run as seeded scenarios in the simulation (tests/sim), in virtual time.

#include "faultkit.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>

namespace {

using namespace faults;

constexpr int kPiece = 9999;

std::string elapsedSince(std::chrono::steady_clock::time_point start) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s";
}

// Built step by step: GCC 12 warns falsely (-Wrestrict) on a chain of string additions.
std::string numbered(const char* prefix, std::size_t number, const std::string& suffix) {
    std::string name(prefix);
    name += std::to_string(number);
    name += suffix;
    return name;
}

// A piece that begins with "BEG" and ends with "END" would be taken for a header by the server.
std::string headerLookingPieces() {
    std::string bytes = zelktest::patternBytes(3 * kPiece, 99);
    bytes.replace(kPiece, 3, "BEG");
    bytes.replace(2 * kPiece - 3, 3, "END");
    return bytes;
}

// 20 files: empty ones, 1 to 3 bytes, around and at exact multiples of the piece size, one of
// 0.5 MiB and pieces that look like headers; the rest random sizes up to 20000 bytes.
FileSet someFiles(unsigned long long seedValue) {
    FileSet files;
    const std::vector<std::size_t> sizes{0,      1,          2,          3,     999,   kPiece - 1,
                                         kPiece, kPiece + 1, 2 * kPiece, 65536, 524288};
    unsigned salt = static_cast<unsigned>(seedValue);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        files.add(numbered("f", i, numbered("_", sizes[i], ".bin")),
                  zelktest::patternBytes(sizes[i], salt + static_cast<unsigned>(i)));
    }
    files.add("begend.bin", headerLookingPieces());
    std::mt19937 random(salt);
    for (std::size_t i = files.count(); i < 20; ++i) {
        const std::size_t size = 1 + random() % 20000;
        files.add(numbered("r", i, ".dat"), zelktest::patternBytes(size, salt + 1000 + i));
    }
    return files;
}

TEST(FaultsVolume, TwentyFilesThroughLossAndACut) {
    zelktest::ScratchDir scratch;
    const unsigned long long seedValue = seed(20240611);
    Server server(scratch.path(), scratch.file("recv"));
    ASSERT_TRUE(server.start()) << server.process().errors();

    Relay relay;
    ASSERT_TRUE(
        relay.start(scratch.file("relay"), server.udpPort(),
                    {"--loss", "0.1", "--seed", std::to_string(seedValue), "--cut", "1500:1500"}));
    const FileSet files = someFiles(seedValue);
    Client client(scratch.file("c1"), {"lossy", relay.port()});
    files.put(client.outbox());

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.start()) << client.process().errors();
    const std::string arrivals = server.receiveFolder() + "/lossy";
    const bool done =
        waitUntil([&] { return files.arrived(arrivals, client.outbox()); }, 120000, 200);
    const std::string took = elapsedSince(start);
    const RelayCounts counts = relay.stop();

    EXPECT_TRUE(done) << "left in the outbox: " << files.leftInOutbox(client.outbox()).size();
    const bool intact = files.damaged(arrivals).empty();
    EXPECT_TRUE(intact);
    EXPECT_TRUE(files.leftInOutbox(client.outbox()).empty());
    EXPECT_TRUE(server.process().running());
    EXPECT_TRUE(client.process().running());
    EXPECT_GT(counts.upDropped, 0);
    EXPECT_GT(counts.downDropped, 0);
    report("20 files, " + std::to_string(files.totalBytes()) + " bytes (largest " +
           std::to_string(files.largest()) + "), 10% loss each way, a cut of 1.5 s, seed " +
           std::to_string(seedValue) + ": " +
           (done && intact ? "all arrived intact" : "NOT ALL ARRIVED INTACT") + " in " + took);
    report(counts.line);
}

TEST(FaultsVolume, TenClientsThroughLoss) {
    const unsigned long long seedValue = seed(777);
    for (const int clientCount : {10}) {
        zelktest::ScratchDir scratch;
        Server server(scratch.path(), scratch.file("recv"));
        ASSERT_TRUE(server.start()) << server.process().errors();
        Relay relay;
        ASSERT_TRUE(
            relay.start(scratch.file("relay"), server.udpPort(),
                        {"--loss", "0.1", "--seed", std::to_string(seedValue + clientCount)}));

        std::vector<std::unique_ptr<Client>> clients;
        std::vector<FileSet> sets(static_cast<std::size_t>(clientCount));
        for (int i = 0; i < clientCount; ++i) {
            // The same names from every origin: each must land in its own origin's folder.
            FileSet& set = sets[static_cast<std::size_t>(i)];
            const unsigned salt = static_cast<unsigned>(seedValue) + 10u * static_cast<unsigned>(i);
            set.add("one.bin", zelktest::patternBytes(1, salt));
            set.add("two-pieces.bin", zelktest::patternBytes(2 * kPiece, salt + 1));
            set.add("report.dat", zelktest::patternBytes(50000 + 1000 * i, salt + 2));
            const std::string origin = numbered("poste", static_cast<std::size_t>(i), "");
            clients.push_back(std::make_unique<Client>(
                scratch.file(numbered("c", static_cast<std::size_t>(i), "")),
                ClientSettings{origin, relay.port()}));
            set.put(clients.back()->outbox());
        }
        const auto start = std::chrono::steady_clock::now();
        for (auto& client : clients) {
            ASSERT_TRUE(client->start()) << client->process().errors();
        }
        auto allArrived = [&] {
            for (int i = 0; i < clientCount; ++i) {
                const std::string folder =
                    server.receiveFolder() + numbered("/poste", static_cast<std::size_t>(i), "");
                if (!sets[static_cast<std::size_t>(i)].arrived(
                        folder, clients[static_cast<std::size_t>(i)]->outbox())) {
                    return false;
                }
            }
            return true;
        };
        const bool done = waitUntil(allArrived, 120000, 200);
        const std::string took = elapsedSince(start);
        const RelayCounts counts = relay.stop();
        EXPECT_TRUE(done);
        std::int64_t bytes = 0;
        bool intact = true;
        for (int i = 0; i < clientCount; ++i) {
            const FileSet& set = sets[static_cast<std::size_t>(i)];
            const bool same = set.damaged(server.receiveFolder() +
                                          numbered("/poste", static_cast<std::size_t>(i), ""))
                                  .empty();
            EXPECT_TRUE(same) << "origin poste" << i;
            intact = intact && same;
            bytes += set.totalBytes();
        }
        // Nothing but one folder per origin in the receive folder, and the server's own list of
        // transfers it verified lately.
        std::size_t topLevel = 0;
        for (const std::string& entry : entriesUnder(server.receiveFolder())) {
            topLevel += entry.find('/') == std::string::npos && entry != ".verified.zx-list";
        }
        EXPECT_EQ(topLevel, static_cast<std::size_t>(clientCount));
        EXPECT_TRUE(server.process().running());
        report(std::to_string(clientCount) + " clients at once, 3 files each (" +
               std::to_string(bytes) + " bytes in all), 10% loss each way: " +
               (done && intact ? "all arrived intact, each in its origin's folder"
                               : "NOT ALL ARRIVED INTACT") +
               " in " + took);
        report(counts.line);
    }
}

} // namespace
