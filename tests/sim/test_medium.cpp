// Medium files on a 100 Mbit/s path of 50 ms round trip with a drop-tail queue of one
// rate-times-round-trip, in virtual time, the client's send loop ticking every 200 ms as the
// packaged sample's does: from the drop of a file into the outbox to the deletion of its source,
// a file waits for no tick, the controller's startup doubles from the first round trip without
// overflowing the queue, and the file moves near the path's rate.

#include "system.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

using namespace zelk::sim;
using namespace zelk::simtest;

namespace {

constexpr Micros kSecond = 1'000'000;
constexpr double kRate = 12.5e6;
constexpr Micros kOneWay = 25'000;

DirectionSettings pathA(std::int64_t queue) {
    DirectionSettings d;
    d.delay = kOneWay;
    d.bytesPerSecond = kRate;
    d.queueBytes = queue;
    return d;
}

struct Timed {
    Micros took = -1; // from the drop to the deletion
    std::int64_t dropped = 0;
};

// Files of `mib` each, dropped together; timed until the last is deleted.
Timed timeDrop(const std::vector<std::int64_t>& mib) {
    SystemSetup setup;
    setup.scenario.seed = 3;
    setup.scenario.deadline = 120 * kSecond;
    setup.scenario.linger = 0;
    setup.scenario.forward = pathA(static_cast<std::int64_t>(kRate * 2 * kOneWay / kSecond));
    setup.scenario.backward = pathA(1 << 20);
    setup.client = Speaks::Extension;
    setup.server = Speaks::Extension;
    setup.loopMs = 200;
    const Micros dropAt = kSecond + 37'000; // between two ticks of the loop
    for (std::size_t i = 0; i < mib.size(); ++i) {
        setup.files.push_back({"medium-" + std::to_string(i) + ".bin",
                               randomBytes(static_cast<std::size_t>(mib[i] << 20), 5 + i), dropAt});
    }
    System system(setup);
    Timed timed;
    const World::End end = system.run([&] {
        if (timed.took < 0 && system.world().now() > dropAt &&
            system.clientDisk().list(System::kOutbox).empty()) {
            timed.took = system.world().now() - dropAt;
        }
    });
    EXPECT_EQ(system.outcome(end).broke(), "");
    timed.dropped = system.world().stats(system.clientId(), system.serverId()).queueDropped;
    return timed;
}

TEST(SimMedium, FilesMoveNearThePathsRateFromDropToDeletion) {
    struct Case {
        std::vector<std::int64_t> mib;
        Micros most; // from the drop to the last deletion
    };
    // At the link's rate alone: 0.08 s, 0.67 s and 5.4 s. A round trip for the offer, one for the
    // verdict, and startup's five to fill the path from its first window come on top. Two files
    // dropped together: the second goes as soon as the first is verified.
    const Case cases[] = {{{1}, 450'000}, {{8}, 1'120'000}, {{64}, 6'300'000}, {{1, 1}, 800'000}};
    for (const Case& c : cases) {
        const Timed t = timeDrop(c.mib);
        std::int64_t bytes = 0;
        for (const std::int64_t mib : c.mib) {
            bytes += mib << 20;
        }
        const double seconds = static_cast<double>(t.took) / 1e6;
        std::cout << c.mib.size() << " file(s), " << (bytes >> 20) << " MiB: " << seconds << " s, "
                  << 100 * static_cast<double>(bytes) / seconds / kRate << " % of the link, "
                  << t.dropped << " dropped at the queue\n";
        EXPECT_GT(t.took, 0) << bytes;
        EXPECT_LE(t.took, c.most) << bytes;
        EXPECT_EQ(t.dropped, 0) << bytes;
    }
}

} // namespace
