// The extension with the real programs: through a path that loses, copies, reorders and delays
// datagrams and breaks for a while, with the server and then the client killed mid-file and
// started again, every file arrives byte for byte and none is deleted unverified; and a file
// past 2 GiB moves between two peers that both take the extension.

#include "faultkit.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace faults;

// Each test runs within this, well inside the test command's own timeout, so that a stuck
// transfer fails here with what it had done rather than being killed without a word.
constexpr int kTestBudgetMs = 200000;

// The time left of a test's budget, in ms (at least 1).
class Budget {
public:
    int left() const {
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start_);
        return std::max(1, kTestBudgetMs - static_cast<int>(spent.count()));
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Bytes the file holds on disk: pieces land at their own offsets, so its length says nothing.
std::int64_t sizeWritten(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_blocks) * 512 : -1;
}

TEST(FaultsExtended, LossCopiesReorderingACutAndKillsOfEachSide) {
    const Budget budget;
    zelktest::ScratchDir scratch;
    Server server{scratch.path(), scratch.file("recv")};
    ASSERT_TRUE(server.start()) << server.process().errors();
    Relay relay;
    const unsigned long long seedValue = seed(5151);
    ASSERT_TRUE(relay.start(scratch.file("relay"), server.udpPort(),
                            {"--loss", "0.03", "--dup", "0.03", "--reorder", "0.05:20", "--owd",
                             "5", "--rate", "6M", "--queue", "300k", "--cut", "1500:2000", "--seed",
                             std::to_string(seedValue)}));
    ClientSettings settings{"etendu", relay.port()};
    settings.extension = true;
    Client client(scratch.file("c"), settings);

    FileSet files;
    files.add("a-big.bin", zelktest::patternBytes(24 << 20, static_cast<unsigned>(seedValue)));
    for (int i = 0; i < 12; ++i) {
        files.add("small-" + std::to_string(i) + ".bin",
                  zelktest::patternBytes(static_cast<std::size_t>(1 + i * 7919),
                                         static_cast<unsigned>(seedValue) + 1U + i));
    }
    files.put(client.outbox());
    ASSERT_TRUE(client.start()) << client.process().errors();

    // Mid-file: the big one (listed first) has been started and is far from whole. It arrives
    // under its staging name.
    const std::string arriving = server.receiveFolder() + "/etendu/.a-big.bin.zx-part";
    ASSERT_TRUE(waitUntil([&] { return sizeWritten(arriving) >= (6 << 20); }, budget.left(), 20))
        << "6 MiB of the big file did not arrive within " << kTestBudgetMs << " ms";
    server.kill();
    ASSERT_TRUE(server.start()) << server.process().errors();
    ASSERT_TRUE(waitUntil([&] { return sizeWritten(arriving) >= (4 << 20); }, budget.left(), 20))
        << "the restarted server did not take the big file again within the budget";
    client.kill();
    EXPECT_FALSE(files.leftInOutbox(client.outbox()).empty());
    ASSERT_TRUE(client.start()) << client.process().errors();

    const bool done = waitUntil(
        [&] { return files.arrived(server.receiveFolder() + "/etendu", client.outbox()); },
        budget.left(), 50);
    const RelayCounts counts = relay.stop();
    const Fates fates = files.fates(server.receiveFolder() + "/etendu", client.outbox());
    EXPECT_TRUE(done) << "not every file arrived within " << kTestBudgetMs << " ms";
    EXPECT_TRUE(fates.lost.empty()) << fates.lost.front();
    EXPECT_EQ(fates.delivered.size(), files.count());
    report("extension, " + std::to_string(files.count()) + " files (" +
           std::to_string(files.totalBytes()) +
           " bytes) through 3% loss, 3% copies, 5% reordered by up to 20 ms, a 6 MB/s "
           "bottleneck and a 2 s cut, server then client SIGKILLed mid-file: " +
           std::to_string(fates.delivered.size()) + " delivered, " +
           std::to_string(fates.lost.size()) + " lost");
    report(counts.line);
}

// Sizes and offsets past 2 GiB: a sparse file of 2^31 + 4099 bytes with marks at both ends and
// across the 2 GiB boundary arrives whole; its digest is taken before the client deletes it.
TEST(FaultsExtended, AFilePastTwoGibibytesMovesBetweenTwoPeersThatTakeTheExtension) {
    const Budget budget;
    zelktest::ScratchDir scratch;
    Server server{scratch.path(), scratch.file("recv")};
    ASSERT_TRUE(server.start()) << server.process().errors();
    ClientSettings settings{"grand", server.udpPort()};
    settings.extension = true;
    // What matters here is the positions past 2 GiB, not the datagram size: datagrams of 10021
    // bytes move the 2 GiB in a seventh of the datagrams the default 1452 would take.
    settings.extraConfig = "tailleTrameZX1=10021\r\n";
    Client client(scratch.file("c"), settings);

    const std::int64_t size = (std::int64_t{1} << 31) + 4099;
    const std::string source = client.outbox() + "/huge.bin";
    {
        const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, size), 0);
        const std::string mark = "mark across the 2 GiB boundary";
        for (const std::int64_t at : {std::int64_t{0}, (std::int64_t{1} << 31) - 10, size - 30}) {
            ASSERT_EQ(::pwrite(fd, mark.data(), mark.size(), at),
                      static_cast<ssize_t>(mark.size()));
        }
        ::close(fd);
    }
    const std::string expected = sha256OfFile(source);
    ASSERT_TRUE(client.start()) << client.process().errors();

    const std::string landed = server.receiveFolder() + "/grand/huge.bin";
    const bool gone =
        waitUntil([&] { return !std::filesystem::exists(source); }, budget.left(), 100);
    EXPECT_TRUE(gone) << "the file did not leave the outbox within " << kTestBudgetMs << " ms";
    EXPECT_EQ(sizeOf(landed), size);
    EXPECT_EQ(sha256OfFile(landed), expected);
    report("a sparse file of " + std::to_string(size) + " bytes moved and verified");
}

} // namespace
