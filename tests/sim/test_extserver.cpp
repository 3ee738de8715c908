// The whole server (its plain rules and the extension's, as the program runs them) against the
// plain client, in virtual time: every file arrives through a lossy link that copies datagrams,
// and a crash of the server loses nothing it wrote.

#include "codec.h"
#include "digest.h"
#include "extcodec.h"
#include "secure.h"
#include "staging.h"
#include "system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>

using namespace zelk::sim;
using namespace zelk::simtest;

namespace {

constexpr Micros kSecond = 1'000'000;

} // namespace

// Loss, copies, reordering, cuts and holds, stalls and crashes of either side, files staged or
// not: nothing may be lost, damaged or stuck.
TEST(SimWholeServer, ThreeHundredScenariosWithCopiesDeliverEveryFile) {
    const Family family{.duplicate = 0.02, .late = 0, .faultsUntil = 6 * kSecond};
    int serverRestarts = 0;
    std::size_t completed = 0;
    std::uint64_t copied = 0;
    const Summary summary = runScenarios(
        family, 1, 300,
        [&](const Scenario& scenario) {
            SystemSetup setup = drawSetup(scenario);
            setup.server = Speaks::Extension;
            System system(setup);
            const Outcome outcome = system.outcome(system.run());
            serverRestarts += system.world().nodeStats(system.serverId()).restarts;
            completed += system.extServer()->completed().size();
            copied += system.world().stats(system.clientId(), system.serverId()).duplicated;
            return outcome.broke();
        },
        std::cout);
    EXPECT_TRUE(summary.failures.empty());
    EXPECT_GE(completed, 300U * 3); // at least three files a scenario, made whole by this node
    EXPECT_GT(copied, 0U);
    if (std::getenv("ZELK_SIM_SEED") == nullptr) {
        EXPECT_GT(serverRestarts, 0);
    }
}

// The server crashes once it holds 200 000 bytes of a 700 000-byte file: what it wrote is still
// on its disk, byte for byte, when it comes back, under the file's name or its staging name.
TEST(SimWholeServer, ACrashOfTheServerKeepsWhatItWrote) {
    for (const bool staged : {false, true}) {
        SystemSetup setup;
        setup.scenario.seed = staged ? 77 : 78;
        setup.scenario.deadline = 900 * kSecond;
        setup.scenario.linger = 10 * kSecond;
        setup.scenario.forward.loss = setup.scenario.backward.loss = 0.2;
        setup.pieceMax = 9999;
        setup.stagePlain = staged;
        setup.server = Speaks::Extension;
        const Bytes big = randomBytes(700000, 1);
        setup.files = {{"big.bin", big, 0}, {"small.bin", randomBytes(5000, 2), 0}};
        System system(setup);
        const std::string& folder = system.arrivals();
        const std::string name = staged ? zelk::stagingName("big.bin") : "big.bin";
        World& world = system.world();
        world.run(setup.scenario.deadline,
                  [&] { return system.serverDisk().size(folder, name) >= 200000; });
        const std::int64_t atCrash = system.serverDisk().size(folder, name);
        ASSERT_GE(atCrash, 200000) << staged;
        const Bytes written = *system.serverDisk().read(folder, name, 0, atCrash);
        world.crash(system.serverId(), world.now(), world.now() + kSecond);
        world.run(world.now() + kSecond / 2, [] { return false; });
        ASSERT_EQ(system.serverDisk().size(folder, name), atCrash) << staged;
        EXPECT_EQ(*system.serverDisk().read(folder, name, 0, atCrash), written) << staged;
        EXPECT_TRUE(std::equal(written.begin(), written.end(), big.begin())) << staged;
        const Outcome outcome = system.outcome(system.run());
        EXPECT_EQ(outcome.broke(), "") << staged;
        EXPECT_EQ(world.nodeStats(system.serverId()).restarts, 1) << staged;
        const auto& completed = system.extServer()->completed();
        EXPECT_NE(std::find(completed.begin(), completed.end(), "big.bin"), completed.end());
    }
}

namespace {

struct Wire {
    ExtServerNode& node;
    Micros now = 0;

    // Sends the bytes from the client; the node's answers, as text.
    std::string send(std::string_view bytes) {
        now += 1000;
        node.receive(Datagram{{10, 4000}, {20, 5000}, Bytes(bytes.begin(), bytes.end())}, now);
        if (node.nextWake()) {
            node.wake(now);
        }
        std::string answer;
        for (const Datagram& datagram : node.takeOutgoing()) {
            answer.assign(datagram.bytes.begin(), datagram.bytes.end());
        }
        return answer;
    }
    std::string offer(std::uint64_t id, std::int64_t size) {
        return send(zelk::buildHeaderFrame("simclient ", "big.bin", zelk::ext::plainSizeText(size),
                                           zelk::ext::offerField({id, size})));
    }
    std::string piece(zelk::ext::Kind kind, std::uint64_t id, std::int64_t value,
                      std::string_view body) {
        std::string datagram;
        zelk::ext::encode(kind, id, value, body, datagram);
        return send(datagram);
    }
};

std::int64_t held(const std::string& answer) {
    const auto accept = zelk::ext::findAccept(answer);
    return accept ? accept->cumulative : -1;
}

} // namespace

// The node keeps an extended transfer's record on its disk as the program does: a crash loses
// its memory, the offer that follows takes up what the record claims, and the finished file's
// verification outlives another crash.
TEST(SimWholeServer, AnExtendedTransferResumesFromItsRecordAfterACrash) {
    FileSystem disk;
    ExtServerNode node(disk, {});
    Wire wire{node};
    constexpr std::int64_t kSize = zelk::ExtendedReceiver::kRecordStepBytes + 50000;
    const Bytes bytes = randomBytes(static_cast<std::size_t>(kSize), 5);
    const std::string file(bytes.begin(), bytes.end());
    constexpr std::int64_t kPiece = 9999;
    ASSERT_EQ(held(wire.offer(11, kSize)), 0);
    for (std::int64_t at = 0; at < kSize - 2 * kPiece; at += kPiece) {
        wire.piece(zelk::ext::Kind::Data, 11, at, std::string_view(file).substr(at, kPiece));
    }
    const std::string folder = node.folderOf("simclient ");
    ASSERT_TRUE(disk.exists(folder, zelk::stateName("big.bin")));

    node.restart(wire.now);
    const std::int64_t resumed = held(wire.offer(12, kSize));
    EXPECT_GE(resumed, zelk::ExtendedReceiver::kRecordStepBytes);
    EXPECT_EQ(node.resumedFromDisk(), 1);
    wire.piece(zelk::ext::Kind::Data, 12, resumed, std::string_view(file).substr(resumed));
    zelk::ext::RunningDigest digest;
    digest.feed(0, file);
    const zelk::ext::Digest sum = digest.finish();
    const std::string_view sha(reinterpret_cast<const char*>(sum.data()), sum.size());
    const auto verified = zelk::ext::decode(wire.piece(zelk::ext::Kind::Finish, 12, kSize, sha));
    ASSERT_TRUE(verified.has_value());
    EXPECT_EQ(verified->kind, zelk::ext::Kind::Verified);
    EXPECT_EQ(*disk.file(folder, "big.bin"), bytes);
    EXPECT_EQ(disk.list(folder), std::vector<std::string>{"big.bin"});

    node.restart(wire.now); // the finish's answer was lost, and the server crashed meanwhile
    const auto again = zelk::ext::decode(wire.piece(zelk::ext::Kind::Finish, 12, kSize, sha));
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->kind, zelk::ext::Kind::Verified);
}

// An origin with a key is heard only through the handshake: its plain header draws nothing, its
// hello a challenge, the same from the same seed.
TEST(SimWholeServer, AKeyedOriginIsChallengedAndNothingElse) {
    ASSERT_TRUE(zelk::ext::cryptoReady());
    const zelk::ext::Key key = zelk::ext::newKey();
    const auto challenge = [&](std::uint64_t seed) {
        FileSystem disk;
        ExtServerNode node(disk, {.folder = "in",
                                  .stagePlain = false,
                                  .extension = true,
                                  .keys = {{key, "simclient "}},
                                  .keylessServed = true,
                                  .seed = seed});
        Wire wire{node};
        EXPECT_EQ(wire.send(zelk::buildHeaderFrame("simclient ", "f.bin", 5)), "");
        const zelk::ext::Hello hello{zelk::ext::keyIdOf(key), {}, "C", std::nullopt, {}};
        const std::string fields =
            zelk::ext::offerField({3, 5}) + ";" + zelk::ext::helloField(hello);
        return wire.send(zelk::buildHeaderFrame("simclient ", "f.bin", "5", fields));
    };
    const std::string first = challenge(1);
    EXPECT_TRUE(zelk::ext::findChallenge(first).has_value());
    EXPECT_EQ(challenge(1), first);
    EXPECT_NE(challenge(2), first);
}
