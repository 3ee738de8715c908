// The client and the server as the programs run them, both speaking the extension, in virtual
// time: every file goes by the extension, is verified by its digest before the client deletes it,
// and arrives whole once, through loss, copies, reordering, late copies, cuts, stalls and crashes
// of either side, with and without the origin's key.

#include "staging.h"
#include "system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <optional>

using namespace zelk::sim;
using namespace zelk::simtest;

namespace {

constexpr Micros kSecond = 1'000'000;

const Family kExtensionFamily{.loss = 0.1,
                              .duplicate = 0.05,
                              .reorder = 0.1,
                              .late = 0.02,
                              .lateMin = 200'000,
                              .lateMax = 3 * kSecond,
                              .faultsUntil = 6 * kSecond,
                              .deadline = 900 * kSecond};

zelk::ext::Key keyOf(std::uint64_t seed) {
    zelk::ext::Key key{};
    const Bytes bytes = randomBytes(key.size(), seed);
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return key;
}

// Both sides speak the extension; one scenario in four with the origin's key, and half of each
// with a client that sends several files at once.
SystemSetup extended(SystemSetup setup) {
    setup.client = Speaks::Extension;
    setup.server = Speaks::Extension;
    if (setup.scenario.seed % 4 == 0) {
        setup.key = keyOf(setup.scenario.seed);
    }
    if (setup.scenario.seed % 8 == 0 || setup.scenario.seed % 2 == 1) {
        setup.transfers = 8;
    }
    return setup;
}

bool clientCrashed(const Scenario& scenario) {
    for (const Outage& crash : scenario.crashes) {
        if (crash.node == 0) {
            return true;
        }
    }
    return false;
}

// What broke beyond the delivery check: a fall back to the plain protocol, and a file made whole
// twice although the client kept its memory (only a client that lost it sends a verified file
// again, under a new identity).
std::string extensionFaults(const System& system, const Outcome& outcome,
                            const Scenario& scenario) {
    std::string broke = outcome.broke();
    const auto add = [&](const std::string& fault) {
        broke += (broke.empty() ? "" : "; ") + fault;
    };
    if (system.extClient()->wentPlain() != 0) {
        add("the client went plain");
    }
    if (system.extClient()->sentInClear() != 0) {
        add(std::to_string(system.extClient()->sentInClear()) + " keyed datagrams in clear");
    }
    if (outcome.redelivered != 0 && !clientCrashed(scenario)) {
        add(std::to_string(outcome.redelivered) + " files made whole again");
    }
    return broke;
}

// Small files named `prefix`0, 1... of 1 to `spread` bytes, added to the setup; their bytes by
// name.
std::map<std::string, Bytes> addSmallFiles(SystemSetup& setup, const std::string& prefix, int count,
                                           int step, int spread, std::uint64_t seed) {
    std::map<std::string, Bytes> sent;
    for (int i = 0; i < count; ++i) {
        std::string name = prefix + std::to_string(i);
        Bytes bytes = randomBytes(1 + static_cast<std::size_t>(i * step % spread),
                                  seed + static_cast<std::uint64_t>(i));
        sent[name] = bytes;
        setup.files.push_back({name, std::move(bytes), 0});
    }
    return sent;
}

// Names the client deleted from its outbox while the server did not hold them whole.
void watchEarlyDeletions(System& system, const std::map<std::string, Bytes>& sent,
                         std::vector<std::string>& early) {
    system.clientDisk().setObserver([&](const std::string& folder, const std::string& name) {
        const Bytes* held = system.serverDisk().file(system.arrivals(), name);
        if (folder == System::kOutbox && !system.clientDisk().exists(folder, name) &&
            (held == nullptr || *held != sent.at(name))) {
            early.push_back(name);
        }
    });
}

TEST(SimExtension, AThousandScenariosDeliverEveryFileVerifiedOnce) {
    int verified = 0;
    int keyed = 0;
    int several = 0; // runs that had several files under way at once
    int keyedSeveral = 0;
    NodeStats nodes;
    const Summary summary = runScenarios(
        kExtensionFamily, 1, 1'000,
        [&](const Scenario& scenario) {
            const SystemSetup setup = extended(drawSetup(scenario));
            System system(setup);
            const Outcome outcome = system.outcome(system.run());
            verified += system.extClient()->verified();
            keyed += setup.key ? 1 : 0;
            several += system.extClient()->mostAtOnce() > 1 ? 1 : 0;
            keyedSeveral += setup.key && system.extClient()->mostAtOnce() > 1 ? 1 : 0;
            for (const NodeId node : {system.clientId(), system.serverId()}) {
                nodes.restarts += system.world().nodeStats(node).restarts;
                nodes.heldBack += system.world().nodeStats(node).heldBack;
            }
            return extensionFaults(system, outcome, scenario);
        },
        std::cout);
    EXPECT_TRUE(summary.failures.empty());
    if (std::getenv("ZELK_SIM_SEED") == nullptr) {
        EXPECT_GE(verified, 3 * summary.ran); // three files a scenario at least, each verified
        EXPECT_GT(keyed, 200);
        EXPECT_GT(several, 200);
        EXPECT_GT(keyedSeveral, 60);
        EXPECT_GT(nodes.restarts, 0);
        EXPECT_GT(nodes.heldBack, 0);
    }
    std::cout << summary.ran << " extension scenarios (" << keyed << " keyed, " << several
              << " with several files at once, " << keyedSeveral << " of them keyed), " << verified
              << " files verified\n";
}

TEST(SimExtension, SameSeedReplaysTheSameRun) {
    for (const std::uint64_t seed : {4ULL, 5ULL}) { // keyed, then not
        const auto trace = [](std::uint64_t s) {
            System system(extended(drawSetup(drawScenario(kExtensionFamily, s))));
            system.run();
            return std::pair{system.world().traceHash(),
                             system.clientDisk().hash() ^ system.serverDisk().hash() * 31};
        };
        EXPECT_EQ(trace(seed), trace(seed)) << seed;
        EXPECT_NE(trace(seed).first, trace(seed + 4).first) << seed;
    }
}

// A 10 MB file through 5% loss each way; one side crashes once the server holds 6 MB of it and
// has recorded its progress. A
// restarted server finds its staging file's record (renewed every 4 MB) and resumes from what it
// claims; a restarted client announces the file again and the server's acceptance says where to
// go on. Either way the file is verified once, and what the server held is not all sent again.
TEST(SimExtension, RestartsOfEitherSideResume) {
    for (const int crashed : {0, 1}) {
        SystemSetup setup;
        setup.scenario.seed = 900 + static_cast<std::uint64_t>(crashed);
        setup.scenario.deadline = 900 * kSecond;
        setup.scenario.linger = 10 * kSecond;
        setup.scenario.forward.loss = setup.scenario.backward.loss = 0.05;
        setup.files = {{"big.bin", randomBytes(10'000'000, 1), 0},
                       {"small.bin", randomBytes(5000, 2), 0}};
        setup = extended(setup);
        System system(setup);
        World& world = system.world();
        const auto held = [&] {
            std::int64_t most = 0;
            for (const std::string& name : system.serverDisk().list(system.arrivals())) {
                most = std::max(most, system.serverDisk().size(system.arrivals(), name));
            }
            return most;
        };
        const auto recorded = [&] {
            return system.serverDisk().exists(system.arrivals(), zelk::stateName("big.bin"));
        };
        world.run(setup.scenario.deadline, [&] { return recorded() && held() >= 6'000'000; });
        ASSERT_TRUE(recorded()) << crashed;
        ASSERT_GE(held(), 6'000'000) << crashed;
        world.crash(crashed == 0 ? system.clientId() : system.serverId(), world.now(),
                    world.now() + kSecond);
        const std::int64_t sentBefore = world.stats(system.clientId(), system.serverId()).sent;
        const Outcome outcome = system.outcome(system.run());
        EXPECT_EQ(outcome.broke(), "") << crashed;
        EXPECT_EQ(outcome.redelivered, 0) << crashed;
        // Resumed: fewer datagrams after the crash than the whole file takes.
        const std::int64_t sentAfter =
            world.stats(system.clientId(), system.serverId()).sent - sentBefore;
        EXPECT_LT(sentAfter, 10'000'000 / 1430 * 8 / 10) << crashed;
    }
}

// Both sides speaking the extension through 3 % loss and 3 % copies each way and `reorder`, with
// time to finish: the faults the many-files cases go through.
SystemSetup throughFaults(std::uint64_t seed, double reorder, int transfers) {
    SystemSetup setup;
    setup.scenario.seed = seed;
    setup.scenario.deadline = 900 * kSecond;
    setup.scenario.linger = 10 * kSecond;
    for (DirectionSettings* link : {&setup.scenario.forward, &setup.scenario.backward}) {
        link->loss = 0.03;
        link->duplicate = 0.03;
        link->reorder = reorder;
    }
    setup.client = setup.server = Speaks::Extension;
    setup.transfers = transfers;
    return setup;
}

// Two hundred small files and a large one, with loss, copies, reordering and late copies, and a
// crash of the server then of the client while files are under way: tens of files go at once,
// and every file arrives whole, once, and leaves the outbox only on its own verdict; a keyed
// origin's files each under their own handshake, nothing of them in clear.
TEST(SimExtension, ManyFilesAtOnceThroughFaultsAndRestarts) {
    for (const std::optional<zelk::ext::Key>& key :
         {std::optional<zelk::ext::Key>{}, std::optional{keyOf(77)}}) {
        SCOPED_TRACE(key ? "keyed" : "without a key");
        SystemSetup setup = throughFaults(77, 0.05, 32);
        setup.key = key;
        setup.files.push_back({"large.bin", randomBytes(3'000'000, 5), 0});
        for (int i = 0; i < 200; ++i) {
            const std::size_t size = 1 + static_cast<std::size_t>(i * 41 % 8192);
            std::string name = "f";
            name += std::to_string(i); // GCC 12 misreads "f" + std::to_string(i) as an overlap
            setup.files.push_back(
                {name, randomBytes(size, 100 + static_cast<std::uint64_t>(i)), 0});
        }
        System system(setup);
        World& world = system.world();
        const ExtClientNode& client = *system.extClient();
        const auto arrived = [&] {
            return std::ssize(system.serverDisk().list(system.arrivals()));
        };
        world.run(setup.scenario.deadline,
                  [&] { return arrived() >= 40 && client.underWay() > 8; });
        ASSERT_GT(client.underWay(), 8);
        world.crash(system.serverId(), world.now(), world.now() + kSecond);
        world.run(setup.scenario.deadline,
                  [&] { return arrived() >= 120 && client.underWay() > 8; });
        ASSERT_GT(client.underWay(), 8);
        world.crash(system.clientId(), world.now(), world.now() + kSecond);
        const Outcome outcome = system.outcome(system.run());
        EXPECT_EQ(outcome.broke(), "");
        EXPECT_EQ(outcome.redelivered, 0);
        EXPECT_GE(client.mostAtOnce(), 16);
        EXPECT_EQ(client.wentPlain(), 0);
        EXPECT_EQ(client.sentInClear(), 0);
        EXPECT_TRUE(system.clientDisk().list(System::kOutbox).empty());
    }
}

// Small files whose first pieces and finish go right behind their offers, through loss, copies,
// and reordering that puts offers behind their own pieces, and a restart of the server: pieces
// the server did not know yet are answered as unknown and sent again, and each file arrives
// whole, once, and leaves the outbox only once the server holds it whole.
TEST(SimExtension, FirstPiecesWithTheirOffersThroughFaultsAndARestart) {
    SystemSetup setup = throughFaults(83, 0.1, 64);
    setup.scenario.forward.reorder = 0.2;
    setup.pieceMax = 1400;
    const std::map<std::string, Bytes> sent = addSmallFiles(setup, "s", 400, 53, 6000, 700);
    System system(setup);
    std::vector<std::string> early;
    watchEarlyDeletions(system, sent, early);
    World& world = system.world();
    const auto arrived = [&] { return std::ssize(system.serverDisk().list(system.arrivals())); };
    world.run(setup.scenario.deadline,
              [&] { return arrived() >= 150 && system.extClient()->underWay() > 16; });
    ASSERT_GT(system.extClient()->underWay(), 16);
    world.crash(system.serverId(), world.now(), world.now() + kSecond);
    const Outcome outcome = system.outcome(system.run());
    EXPECT_EQ(outcome.broke(), "");
    EXPECT_EQ(outcome.redelivered, 0);
    EXPECT_EQ(early, std::vector<std::string>{});
    EXPECT_EQ(system.extClient()->wentPlain(), 0);
    EXPECT_TRUE(system.clientDisk().list(System::kOutbox).empty());
    EXPECT_GT(system.extServer()->unknownPieces(), 10) << "no offer came behind its pieces";
}

// Verified files take their names 30 ms after their verdict, as a disk busy with others makes
// them, through loss, copies and reordering, and the server crashes while some wait for theirs:
// a repeated finish meanwhile is not answered twice, no file is renamed twice, none is deleted
// from the outbox before it is whole under its name, and those the crash left staged arrive once.
TEST(SimExtension, FilesNamedAfterTheirVerdictSurviveACrashBeforeTheirNames) {
    SystemSetup setup = throughFaults(91, 0.1, 64);
    setup.publishDelay = 30'000;
    const std::map<std::string, Bytes> sent = addSmallFiles(setup, "p", 200, 97, 9000, 300);
    System system(setup);
    std::vector<std::string> early;
    watchEarlyDeletions(system, sent, early);
    World& world = system.world();
    const auto arrived = [&] { return std::ssize(system.serverDisk().list(system.arrivals())); };
    world.run(setup.scenario.deadline,
              [&] { return arrived() >= 60 && system.extServer()->publishing() >= 4; });
    ASSERT_GE(system.extServer()->publishing(), 4u);
    world.crash(system.serverId(), world.now(), world.now() + kSecond);
    const Outcome outcome = system.outcome(system.run());
    EXPECT_EQ(outcome.broke(), "");
    EXPECT_EQ(outcome.redelivered, 0);
    EXPECT_EQ(early, std::vector<std::string>{});
    EXPECT_TRUE(system.clientDisk().list(System::kOutbox).empty());
    EXPECT_EQ(system.extServer()->publishing(), 0u);
}

// `count` files named `prefix` and their number, of `sizeOf(number)` bytes drawn from `seed` and
// their number, all in the outbox from the start.
std::vector<FileDrop> drops(const char* prefix, int count,
                            const std::function<std::size_t(int)>& sizeOf, std::uint64_t seed) {
    std::vector<FileDrop> files;
    for (int i = 0; i < count; ++i) {
        std::string name = prefix;
        name += std::to_string(i);
        files.push_back({name, randomBytes(sizeOf(i), seed + static_cast<std::uint64_t>(i)), 0});
    }
    return files;
}

// A 100 Mbit/s path with a 50 ms round trip: how long `files` take to arrive whole, in seconds.
double secondsFor(std::vector<FileDrop> files, int transfers,
                  int firstFlight = zelk::ExtendedSession::kFirstFlightPieces,
                  std::optional<zelk::ext::Key> key = std::nullopt, double loss = 0) {
    SystemSetup setup;
    setup.firstFlight = firstFlight;
    setup.scenario.seed = 31;
    setup.scenario.deadline = 900 * kSecond;
    for (DirectionSettings* link : {&setup.scenario.forward, &setup.scenario.backward}) {
        link->delay = 25'000;
        link->bytesPerSecond = 12.5e6;
        link->queueBytes = 512 * 1024;
        link->loss = loss;
    }
    setup.client = setup.server = Speaks::Extension;
    setup.transfers = transfers;
    setup.key = key;
    setup.pieceMax = 1400;
    const auto count = std::ssize(files);
    setup.files = std::move(files);
    System system(setup);
    const auto arrived = [&] {
        const auto names = system.serverDisk().list(system.arrivals());
        return std::count_if(names.begin(), names.end(),
                             [](const std::string& name) { return !zelk::isStagingName(name); });
    };
    system.world().run(setup.scenario.deadline, [&] { return arrived() >= count; });
    EXPECT_EQ(arrived(), count);
    return static_cast<double>(system.world().now()) / kSecond;
}

// A send loop that ticks as often as the session's timeout is due (every millisecond, as
// "vidangeDirFile=1" has it) must not keep putting that timeout off: an offer lost on the way is
// offered again, and every file arrives.
TEST(SimExtension, ASendLoopOfAMillisecondNeverPutsTheSessionsTimeoutOff) {
    SystemSetup setup;
    setup.scenario.seed = 91;
    setup.scenario.deadline = 120 * kSecond;
    setup.scenario.linger = 5 * kSecond;
    setup.scenario.forward.loss = 0.05;
    setup.scenario.backward.loss = 0.05;
    setup.client = setup.server = Speaks::Extension;
    setup.transfers = 64;
    setup.loopMs = 1;
    for (int i = 0; i < 60; ++i) {
        std::string name = "m";
        name += std::to_string(i);
        setup.files.push_back({name,
                               randomBytes(1 + static_cast<std::size_t>(i * 97 % 6000),
                                           400 + static_cast<std::uint64_t>(i)),
                               0});
    }
    System system(setup);
    const Outcome outcome = system.outcome(system.run());
    EXPECT_EQ(outcome.broke(), "");
}

// Small files no longer wait for each other's round trips: a thousand of 4 KiB go at hundreds a
// second where one at a time manages a few; a large file alone goes as fast in a session.
TEST(SimExtension, ManySmallFilesFillThePathAndALargeOneLosesNothing) {
    const std::vector<FileDrop> small = drops(
        "s", 1000, [](int) { return 4096; }, 300);
    const std::vector<FileDrop> fewSmall(small.begin(), small.begin() + 50);
    // Each file holds its place for about one round trip, its pieces and finish right behind its
    // offer: 64 at once make about 900 a second, against about 370 when the pieces wait for the
    // acceptance (three round trips: offer, data, finish).
    const double several = 1000 / secondsFor(small, 32);
    const double most = 1000 / secondsFor(small, 64);
    const double mostWaiting = 1000 / secondsFor(small, 64, 0);
    const double alone = 50 / secondsFor(fewSmall, 1);
    const std::vector<FileDrop> large{{"large.bin", randomBytes(30'000'000, 9), 0}};
    const double largeSeveral = secondsFor(large, 32);
    const double largeAlone = secondsFor(large, 1);
    std::cout << "4 KiB files: " << most << " files/s 64 at once (" << mostWaiting
              << " with the pieces after the acceptance), " << several << " 32 at once, " << alone
              << " one at a time; 30 MB: " << largeSeveral << " s in a session, " << largeAlone
              << " s alone\n";
    EXPECT_GT(most, 300);
    EXPECT_GT(several, 15 * alone);
    EXPECT_LT(largeSeveral, largeAlone * 1.02);
}

// A keyed origin's small files go many at once too: the first proves the key in a handshake, the
// others derive their keys from its secret without one, their first pieces sealed right behind
// their offers, so they go within a tenth of the rate of an origin without a key, where one at a
// time manages a few a second.
TEST(SimExtension, AKeyedOriginsSmallFilesGoManyAtOnce) {
    // More than one session secret opens: a handshake again once it opened all it may.
    const std::vector<FileDrop> small = drops(
        "k", 1100, [](int) { return 4096; }, 900);
    const std::vector<FileDrop> fewSmall(small.begin(), small.begin() + 30);
    constexpr int kFirstFlight = zelk::ExtendedSession::kFirstFlightPieces;
    const double keyed = 1100 / secondsFor(small, 64, kFirstFlight, keyOf(3));
    const double open = 1100 / secondsFor(small, 64);
    const double alone = 30 / secondsFor(fewSmall, 1, kFirstFlight, keyOf(3));
    std::cout << "4 KiB files with a key: " << keyed << " files/s 64 at once (" << open
              << " without a key), " << alone << " one at a time\n";
    EXPECT_GT(keyed, 30 * alone);
    EXPECT_GT(keyed, 0.9 * open);
}

// With 1 % loss each way a keyed origin's files go within a tenth of an origin's without a key.
// An offer lost leaves its first pieces, sealed, dropped unanswered by a server that does not know
// the transfer: taken for congestion, they ended the session's startup at a few dozen kilobytes
// in flight (58 % of the link against 82 %).
TEST(SimExtension, AKeyedOriginLosesNoMoreToRandomLossThanAnOriginWithoutAKey) {
    const std::vector<FileDrop> mixed = drops(
        "m", 300, [](int i) { return 1 + static_cast<std::size_t>((i * 7919) % 262144); }, 500);
    std::int64_t total = 0;
    for (const FileDrop& drop : mixed) {
        total += std::ssize(drop.content);
    }
    constexpr int kFirstFlight = zelk::ExtendedSession::kFirstFlightPieces;
    const double open = static_cast<double>(total) / secondsFor(mixed, 64, kFirstFlight, {}, 0.01);
    const double keyed =
        static_cast<double>(total) / secondsFor(mixed, 64, kFirstFlight, keyOf(3), 0.01);
    std::cout << "1 % loss: " << keyed / 12.5e4 << " % of the link with a key, " << open / 12.5e4
              << " % without\n";
    EXPECT_GT(keyed, 0.9 * open);
}

} // namespace
