// A link that duplicates datagrams and delivers some of them late, past the client's wait, while
// the server stalls now and then: whatever else happens, no file may leave the outbox without
// arriving byte for byte. The real programs' smoke test; the same link with 150 files and
// three stalls, and thousands of seeded variants, run in the simulation (tests/sim).

#include "faultkit.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <random>
#include <thread>

namespace {

using namespace faults;

constexpr int kPiece = 1400;   // small pieces: many datagrams per file
constexpr int kWaitMs = 300;   // the client's wait for an answer
constexpr int kLateMs = 450;   // 1.5 times that wait: the answer comes after the header is repeated
constexpr int kStallMs = 1500; // a server stopped this long makes the client repeat its header
constexpr int kLimitMs = 90000;

std::string numbered(const char* prefix, std::size_t number, std::size_t size) {
    std::string name(prefix);
    name += std::to_string(number);
    name += "_";
    name += std::to_string(size);
    name += ".bin";
    return name;
}

// 20 files: a third within one piece, a third of 2 to 10 pieces, a third of 10 to 40 pieces,
// and the piece boundaries themselves. Each stray answer makes the client keep still a while, so
// that the test's time goes with the number of files.
FileSet mixedFiles(unsigned long long seedValue) {
    FileSet files;
    std::mt19937 random(static_cast<unsigned>(seedValue));
    const std::vector<std::size_t> edges{1, kPiece - 1, kPiece, kPiece + 1, 2 * kPiece, 7 * kPiece};
    for (std::size_t i = 0; i < 20; ++i) {
        std::size_t size = 0;
        if (i < edges.size()) {
            size = edges[i];
        } else if (i % 3 == 0) {
            size = 1 + random() % kPiece;
        } else {
            const std::size_t pieces = i % 3 == 1 ? 10 : 40;
            size = kPiece + 1 + random() % ((pieces - 1) * kPiece);
        }
        files.add(numbered("f", i, size),
                  zelktest::patternBytes(size, static_cast<unsigned>(seedValue + i)));
    }
    return files;
}

// Stops the server for a while, and lets it go on even when the test gives up.
class Stall {
public:
    explicit Stall(Child& server) : server_(server) { server_.signal(SIGSTOP); }
    ~Stall() { server_.signal(SIGCONT); }
    Stall(const Stall&) = delete;
    Stall& operator=(const Stall&) = delete;

private:
    Child& server_;
};

// Waits for the outbox to empty, stalling the server once along the way.
bool emptiedThroughStalls(Child& server, const std::string& outbox) {
    const auto empty = [&outbox] { return entriesUnder(outbox).empty(); };
    for (int stall = 0; stall < 1; ++stall) {
        if (waitUntil(empty, 4000, 100)) {
            return true;
        }
        const Stall stopped(server);
        std::this_thread::sleep_for(std::chrono::milliseconds(kStallMs));
    }
    return waitUntil(empty, kLimitMs, 200);
}

// The first few names, and how many more.
std::string someOf(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < 10; ++i) {
        text += names[i] + " ";
    }
    return names.size() > 10 ? text + "and " + std::to_string(names.size() - 10) + " more" : text;
}

TEST(FaultsDuplicates, NoFileLeavesTheOutboxWithoutArrivingIntact) {
    zelktest::ScratchDir scratch;
    const unsigned long long seedValue = seed(4242);
    Server server(scratch.path(), scratch.file("recv"));
    ASSERT_TRUE(server.start()) << server.process().errors();
    Relay relay;
    const std::string late = "0.01:" + std::to_string(kLateMs);
    ASSERT_TRUE(
        relay.start(scratch.file("relay"), server.udpPort(),
                    {"--dup", "0.01", "--delay", late, "--seed", std::to_string(seedValue)}));
    const FileSet files = mixedFiles(seedValue);
    ClientSettings settings{"dups", relay.port()};
    settings.waitMs = kWaitMs;
    settings.pieceMax = kPiece;
    Client client(scratch.file("c1"), settings);
    files.put(client.outbox());

    Stopwatch clock;
    ASSERT_TRUE(client.start()) << client.process().errors();
    const bool emptied = emptiedThroughStalls(server.process(), client.outbox());
    const std::string took = clock.total();
    client.process().stop();
    server.process().stop();
    const RelayCounts counts = relay.stop();

    const Fates fates = files.fates(server.receiveFolder() + "/dups", client.outbox());
    report(std::to_string(files.count()) + " files, " + std::to_string(files.totalBytes()) +
           " bytes in pieces of " + std::to_string(kPiece) + ", 1% duplicated and 1% " +
           std::to_string(kLateMs) + " ms late each way, a server stall of " +
           std::to_string(kStallMs) + " ms, seed " + std::to_string(seedValue) + ": " +
           std::to_string(fates.delivered.size()) + " arrived intact, " +
           std::to_string(fates.waiting.size()) + " still in the outbox, " +
           std::to_string(fates.lost.size()) + " lost, outbox " +
           (emptied ? "emptied" : "not emptied") + " in " + took);
    report(counts.line);
    EXPECT_TRUE(fates.lost.empty()) << "lost: " << someOf(fates.lost);
    EXPECT_TRUE(emptied) << "the outbox did not empty within " << kLimitMs << " ms";
    EXPECT_TRUE(fates.waiting.empty()) << "stuck in the outbox: " << someOf(fates.waiting);
    EXPECT_EQ(fates.delivered.size(), files.count());
    EXPECT_GT(counts.upDuplicated + counts.downDuplicated, 0);
    EXPECT_GT(counts.upDelayed + counts.downDelayed, 0);
}

} // namespace
