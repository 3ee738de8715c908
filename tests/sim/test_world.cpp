#include "delivery.h"
#include "world.h"

#include <gtest/gtest.h>

#include <functional>

using namespace zelk::sim;

namespace {

TEST(SimClock, RunsEventsByTimeThenByTheOrderTheyCameIn) {
    EventQueue queue;
    std::string ran;
    const auto mark = [&](char c) { return [&ran, c] { ran += c; }; };
    queue.schedule(20, mark('c'));
    queue.schedule(10, mark('a'));
    queue.schedule(20, mark('d'));
    queue.schedule(10, [&] {
        ran += 'b';
        queue.schedule(5, mark('x')); // in the past: now, after what is already due now
        queue.schedule(10, mark('y'));
    });
    while (!queue.empty()) {
        queue.runNext();
    }
    EXPECT_EQ(ran, "abxycd");
    EXPECT_EQ(queue.now(), 20);
}

TEST(SimFileSystem, WritesReadsRenamesAndFailsWithoutChangingAnything) {
    FileSystem disk;
    const Bytes abc{'a', 'b', 'c'};
    ASSERT_TRUE(disk.write("in", "f", 2, abc));
    EXPECT_EQ(*disk.file("in", "f"), (Bytes{0, 0, 'a', 'b', 'c'})); // a gap reads as zeros
    EXPECT_EQ(*disk.read("in", "f", 3, 10), (Bytes{'b', 'c'}));
    EXPECT_EQ(*disk.read("in", "f", 9, 1), Bytes{});
    ASSERT_TRUE(disk.truncate("in", "f", 3));
    disk.put("in", "g", abc);
    ASSERT_TRUE(disk.rename("in", "f", "in", "g")); // replaces g
    const FileStat renamed = *disk.stat("in", "g");
    EXPECT_EQ(disk.list("in"), std::vector<std::string>{"g"});
    EXPECT_EQ(*disk.file("in", "g"), (Bytes{0, 0, 'a'}));
    EXPECT_EQ(renamed.identity, 1U); // f's, made first; g's went with the rename
    disk.put("in", "f", abc);
    EXPECT_EQ(disk.stat("in", "f")->identity, 3U); // another file under an old name
    EXPECT_GT(disk.stat("in", "f")->modified, renamed.modified);
    disk.remove("in", "f");

    EXPECT_EQ(disk.used(), 3);
    disk.setCapacity(4); // a full disk
    const std::uint64_t before = disk.hash();
    EXPECT_FALSE(disk.write("in", "g", 2, abc));
    EXPECT_FALSE(disk.put("in", "h", abc));
    EXPECT_FALSE(disk.truncate("in", "g", 5));
    EXPECT_FALSE(disk.write("in", "g", -1, abc));
    EXPECT_FALSE(disk.truncate("in", "missing", 0));
    EXPECT_FALSE(disk.rename("in", "missing", "in", "g"));
    EXPECT_FALSE(disk.remove("out", "g"));
    EXPECT_FALSE(disk.read("in", "missing", 0, 1));
    EXPECT_EQ(disk.hash(), before);
    EXPECT_EQ(disk.used(), 3);
    ASSERT_TRUE(disk.remove("in", "g"));
    EXPECT_EQ(disk.used(), 0);
    EXPECT_TRUE(disk.list("in").empty());
    EXPECT_NE(disk.hash(), before);
}

// Each way a delivery goes wrong, built on the disks by hand, and the one problem it must give.
TEST(SimDeliveryCheck, NamesEachWayAFileFails) {
    const Bytes good{'1', '2', '3', '4'};
    struct Case {
        const char* name;
        std::function<void(FileSystem& out, FileSystem& in)> run;
        const char* problem; // nullptr: none
        bool settled;        // a run would stop here
    };
    const Case cases[] = {
        {"arrived and left the outbox",
         [&](FileSystem&, FileSystem& in) { in.put("r", "f", good); }, nullptr, true},
        {"never arrived, outbox empty", [](FileSystem&, FileSystem&) {}, "lost f", false},
        {"short, outbox empty", [](FileSystem&, FileSystem& in) { in.put("r", "f", {'1'}); },
         "damaged f: 1 bytes of 4", false},
        {"still in the outbox",
         [&](FileSystem& out, FileSystem& in) {
             out.put("o", "f", good);
             in.put("r", "f", {'1'});
         },
         "stuck f: 1 bytes of 4 arrived", false},
        {"whole, yet still in the outbox",
         [&](FileSystem& out, FileSystem& in) {
             out.put("o", "f", good);
             in.put("r", "f", good);
         },
         "stuck f: arrived whole but still in the outbox", false},
        {"completed, spoilt, completed again",
         [&](FileSystem&, FileSystem& in) {
             in.put("r", "f", good);
             in.truncate("r", "f", 0);
             in.write("r", "f", 0, good);
         },
         "delivered 2 times f", true},
        {"a file nobody sent",
         [&](FileSystem&, FileSystem& in) {
             in.put("r", "f", good);
             in.put("r", "g", good);
         },
         "left behind g", true},
        {"the receiver's own working file",
         [&](FileSystem&, FileSystem& in) {
             in.put("r", "f", good);
             in.put("r", ".f.part", good);
         },
         nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FileSystem out;
        FileSystem in;
        DeliveryCheck check(in, "r");
        check.expect("f", good);
        check.ignore([](const std::string& name) { return name.starts_with('.'); });
        c.run(out, in);
        const auto problems = check.problems(out, "o");
        EXPECT_EQ(check.settled(out, "o"), c.settled);
        EXPECT_EQ(problems, c.problem == nullptr ? std::vector<std::string>{}
                                                 : std::vector<std::string>{c.problem});
    }
}

constexpr Address kSender{1, 1000};
constexpr Address kCounter{2, 2000};
constexpr int kCount = 500;
constexpr Micros kSpacing = 1'000;
constexpr Micros kDelay = 5'000;

// Sends datagram i, which carries i, at i ms.
class Blaster : public Node {
public:
    void receive(const Datagram&, Micros) override {}
    std::optional<Micros> nextWake() const override {
        return next_ < kCount ? std::optional<Micros>(next_ * kSpacing) : std::nullopt;
    }
    void wake(Micros) override { out_.push_back(Datagram{{}, kCounter, Bytes(1, 0)}); }
    std::vector<Datagram> takeOutgoing() override {
        for (Datagram& d : out_) {
            d.bytes = {static_cast<std::uint8_t>(next_ >> 8), static_cast<std::uint8_t>(next_)};
            ++next_;
        }
        return std::exchange(out_, {});
    }
    void restart(Micros) override {}

private:
    int next_ = 0;
    std::vector<Datagram> out_;
};

// Notes each datagram in memory, with its time, and on its disk.
class Counter : public Node {
public:
    explicit Counter(FileSystem& disk) : disk_(disk) {}
    void receive(const Datagram& d, Micros now) override {
        seen.push_back({d.bytes[0] << 8 | d.bytes[1], now});
        disk_.write("log", "seen", std::max<std::int64_t>(disk_.size("log", "seen"), 0), d.bytes);
    }
    std::optional<Micros> nextWake() const override { return std::nullopt; }
    void wake(Micros) override {}
    std::vector<Datagram> takeOutgoing() override { return {}; }
    void restart(Micros) override { seen.clear(); }

    std::vector<std::pair<int, Micros>> seen;

private:
    FileSystem& disk_;
};

struct Outcome {
    std::vector<std::pair<int, Micros>> seen; // in memory
    std::int64_t onDisk = 0;
    NodeStats stats;
};

bool seenBetween(const Outcome& o, Micros from, Micros until) {
    return std::any_of(o.seen.begin(), o.seen.end(),
                       [&](const auto& s) { return s.second > from && s.second < until; });
}

bool inOrder(const Outcome& o) {
    return std::is_sorted(o.seen.begin(), o.seen.end());
}

// A cut, a stall of either node, and a crash, each from 100 to 300 ms, on a link of 5 ms.
TEST(SimWorld, CutsStallsAndCrashesDoWhatTheySay) {
    struct Case {
        const char* name;
        std::function<void(World&, NodeId sender, NodeId counter, DirectionSettings&)> fault;
        std::function<void(const Outcome&)> expect;
    };
    const Case cases[] = {
        {"the link is cut",
         [](World&, NodeId, NodeId, DirectionSettings& s) {
             s.cuts = {{100'000, 300'000}};
         },
         [](const Outcome& o) {
             EXPECT_EQ(o.seen.size(), kCount - 200U);
             EXPECT_FALSE(std::any_of(o.seen.begin(), o.seen.end(), [](const auto& s) {
                 return s.first >= 100 && s.first < 300;
             }));
         }},
        {"the link holds",
         [](World&, NodeId, NodeId, DirectionSettings& s) {
             s.holds = {{100'000, 300'000}};
         },
         [](const Outcome& o) {
             EXPECT_EQ(o.seen.size(), static_cast<std::size_t>(kCount));
             EXPECT_TRUE(inOrder(o));
             EXPECT_FALSE(seenBetween(o, 100'000 + kDelay, 300'000 + kDelay));
         }},
        {"the receiver stalls",
         [](World& w, NodeId, NodeId counter, DirectionSettings&) {
             w.stall(counter, 100'000, 300'000);
         },
         [](const Outcome& o) {
             EXPECT_EQ(o.seen.size(), static_cast<std::size_t>(kCount));
             EXPECT_TRUE(inOrder(o));
             EXPECT_FALSE(seenBetween(o, 100'000, 300'000));
             EXPECT_EQ(o.stats.heldBack, 200);
         }},
        {"the sender stalls",
         [](World& w, NodeId sender, NodeId, DirectionSettings&) {
             w.stall(sender, 100'000, 300'000);
         },
         [](const Outcome& o) {
             EXPECT_EQ(o.seen.size(), static_cast<std::size_t>(kCount));
             EXPECT_TRUE(inOrder(o));
             EXPECT_FALSE(seenBetween(o, 100'000 + kDelay, 300'000 + kDelay));
         }},
        {"the receiver crashes",
         [](World& w, NodeId, NodeId counter, DirectionSettings&) {
             w.crash(counter, 100'000, 300'000);
         },
         [](const Outcome& o) {
             EXPECT_EQ(o.stats.restarts, 1);
             EXPECT_EQ(o.stats.whileDown, 200);
             ASSERT_FALSE(o.seen.empty());
             EXPECT_EQ(o.seen.front().first, 300 - kDelay / kSpacing); // memory starts over
             EXPECT_EQ(o.onDisk, kCount - 200);                        // the disk does not
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FileSystem disk;
        Blaster blaster;
        Counter counter(disk);
        World world(7);
        const NodeId a = world.add(blaster, kSender);
        const NodeId b = world.add(counter, kCounter);
        DirectionSettings settings;
        settings.delay = kDelay;
        c.fault(world, a, b, settings);
        world.link(a, b, settings, {});
        ASSERT_EQ(world.run(10'000'000), World::End::Idle);
        c.expect(Outcome{counter.seen, disk.size("log", "seen") / 2, world.nodeStats(b)});
    }
}

} // namespace
