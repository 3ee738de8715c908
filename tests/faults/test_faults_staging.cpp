// Staging with the real programs: a server SIGKILLed three times during a large extended transfer
// resumes each time near where it stood and the file arrives verified; and a watcher on the
// origin's folder never sees a file under its final name before it is whole, with the extension
// and with plain transfers staged by the server's key.

#include "faultkit.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>

namespace {

using namespace faults;

constexpr std::int64_t kMiB = 1 << 20;

// Bytes the file holds on disk: pieces land at their own offsets, so its length says nothing.
std::int64_t sizeWritten(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_blocks) * 512 : -1;
}

// The bytes a restarted server held when it accepted the client's offer again, from its trace
// line "... the offer is accepted, N bytes held" written after `from`; -1 while there is none.
std::int64_t heldAfter(const std::string& trace, std::size_t from) {
    const std::string accepted = "the offer is accepted, ";
    const std::size_t at = trace.find(accepted, from);
    return at == std::string::npos ? -1 : std::atoll(trace.c_str() + at + accepted.size());
}

TEST(FaultsStaging, AServerKilledThreeTimesDuringALargeFileResumesNearWhereItStood) {
    ::setenv("ZELK_FAULT_TRACE", "1", 1); // the server's trace tells what each resume found
    zelktest::ScratchDir scratch;
    Server server{scratch.path(), scratch.file("recv")};
    ASSERT_TRUE(server.start()) << server.process().errors();
    Relay relay;
    // At loopback speed the client outruns the disk's syncs, and how far the record lags would
    // measure the machine's load; at 50 Mbit/s 16 MiB take nearly three seconds.
    ASSERT_TRUE(relay.start(scratch.file("relay"), server.udpPort(), {"--rate-mbit", "50"}));
    ClientSettings settings{"reprise", relay.port()};
    settings.extension = true;
    Client client(scratch.file("c"), settings);
    const std::int64_t size = 64 * kMiB;
    FileSet files;
    files.add("big.bin", zelktest::patternBytes(static_cast<std::size_t>(size), 77));
    files.put(client.outbox());
    ASSERT_TRUE(client.start()) << client.process().errors();

    const std::string arrivals = server.receiveFolder() + "/reprise";
    const std::string staging = arrivals + "/.big.bin.zx-part";
    std::string figures;
    std::int64_t lostAtKills = 0;
    for (const std::int64_t mark : {12 * kMiB, 30 * kMiB, 47 * kMiB}) {
        ASSERT_TRUE(waitUntil([&] { return sizeWritten(staging) >= mark; }, 180000, 10));
        server.kill();
        const std::int64_t atKill = sizeWritten(staging);
        EXPECT_EQ(sizeOf(arrivals + "/big.bin"), -1);
        const std::size_t traced = server.process().errors().size();
        ASSERT_TRUE(server.start()) << server.process().errors();
        std::int64_t held = -1;
        ASSERT_TRUE(waitUntil(
            [&] { return (held = heldAfter(server.process().errors(), traced)) >= 0; }, 60000));
        // The record lags what was written by its step, the sync under way and a window.
        EXPECT_GE(held, atKill - 16 * kMiB);
        lostAtKills += atKill - held;
        figures += " " + std::to_string(atKill / kMiB) + "->" + std::to_string(held / kMiB);
    }
    const bool done = waitUntil([&] { return files.arrived(arrivals, client.outbox()); }, 300000);
    const RelayCounts counts = relay.stop();
    const Fates fates = files.fates(arrivals, client.outbox());
    EXPECT_TRUE(done);
    EXPECT_EQ(fates.delivered.size(), 1U);
    EXPECT_EQ(entriesUnder(arrivals), std::vector<std::string>{"big.bin"});

    // Every piece crosses the relay: what went beyond one copy of each was sent again. Starting
    // over at each kill would send 89 MiB again.
    // Extended pieces fill a datagram of 1452 bytes (the default) less their 22-byte head.
    constexpr std::int64_t kExtPiece = 1452 - 22;
    const std::int64_t again =
        (counts.upForwarded - (size + kExtPiece - 1) / kExtPiece) * kExtPiece;
    EXPECT_LE(again, 3 * 16 * kMiB);
    report("64 MiB, extension, server SIGKILLed 3 times and restarted: MiB on disk at each kill "
           "-> MiB held when the restarted server accepted:" +
           figures + " (" + std::to_string(lostAtKills / kMiB) + " MiB lost in all); about " +
           std::to_string(again / kMiB) + " MiB sent again in all; arrived " +
           (fates.delivered.size() == 1 ? "verified" : "NOT"));
    report(counts.line);
    ::unsetenv("ZELK_FAULT_TRACE");
}

// Every name that appears in the origin's folder, and what happened to it.
class FolderWatch {
public:
    explicit FolderWatch(const std::string& folder)
        : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        ::inotify_add_watch(fd_, folder.c_str(),
                            IN_CREATE | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE);
    }
    ~FolderWatch() { ::close(fd_); }
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    void read() {
        alignas(inotify_event) char buffer[64 * 1024];
        for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0) {
                    seen[event->name].insert(kindOf(event->mask));
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

    std::map<std::string, std::set<std::string>> seen;

private:
    static std::string kindOf(std::uint32_t mask) {
        return (mask & IN_CREATE)     ? "created"
               : (mask & IN_MOVED_TO) ? "renamed to"
               : (mask & IN_MODIFY)   ? "written"
                                      : "closed after writing";
    }
    int fd_;
};

// A file already there under the name is replaced only by the rename: a consumer reads the old
// one whole or the new one whole, never a mix and never a part.
TEST(FaultsStaging, AWatcherNeverSeesAFileUnderItsNameBeforeItIsWhole) {
    struct Case {
        const char* what;
        bool extension;
        const char* serverKeys;
    };
    for (const Case& c : {Case{"extension", true, ""}, Case{"plain, staged by the server's key",
                                                            false, "stagingSimples=O\r\n"}}) {
        SCOPED_TRACE(c.what);
        zelktest::ScratchDir scratch;
        Server server{scratch.path(), scratch.file("recv")};
        server.extraConfig = c.serverKeys;
        const std::string arrivals = server.receiveFolder() + "/guetteur";
        makeFolder(arrivals);
        const std::string older = "an older copy that must stay whole until replaced";
        zelktest::writeFile(arrivals + "/big.bin", older);
        FolderWatch watch(arrivals);
        ASSERT_TRUE(server.start()) << server.process().errors();
        ClientSettings settings{"guetteur", server.udpPort()};
        settings.extension = c.extension;
        Client client(scratch.file("c"), settings);
        FileSet files;
        files.add("big.bin", zelktest::patternBytes(6 << 20, 3));
        for (int i = 0; i < 5; ++i) {
            files.add("small-" + std::to_string(i) + ".bin",
                      zelktest::patternBytes(static_cast<std::size_t>(1 + i * 20011), 4U + i));
        }
        files.put(client.outbox());
        // Whoever looks meanwhile finds the older copy or the new one, whole. The first look
        // comes before the client starts: on loopback a client that sends several files at once
        // may have replaced the older copy before the port it bound can be seen.
        std::set<std::int64_t> sizesSeen{sizeOf(arrivals + "/big.bin")};
        ASSERT_TRUE(client.start()) << client.process().errors();

        const bool done = waitUntil(
            [&] {
                watch.read();
                sizesSeen.insert(sizeOf(arrivals + "/big.bin"));
                return files.arrived(arrivals, client.outbox());
            },
            240000, 5);
        watch.read();
        EXPECT_TRUE(done);
        EXPECT_TRUE(files.damaged(arrivals).empty());
        EXPECT_EQ(sizesSeen,
                  (std::set<std::int64_t>{static_cast<std::int64_t>(older.size()), 6 << 20}));
        std::size_t stagingNames = 0;
        for (const auto& [name, kinds] : watch.seen) {
            if (name.ends_with(".zx-part")) {
                ++stagingNames;
            } else if (!name.ends_with(".zx-state") && !name.ends_with(".zx-temp")) {
                EXPECT_EQ(kinds, std::set<std::string>{"renamed to"}) << name;
            }
        }
        EXPECT_EQ(stagingNames, files.count());
        report(std::string(c.what) + ": " + std::to_string(watch.seen.size()) +
               " names appeared in the folder; the " + std::to_string(files.count()) +
               " files each showed under their name only by a rename");
    }
}

} // namespace
