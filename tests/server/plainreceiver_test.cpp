// The plain receiver core driven without sockets, disk or clock: each script feeds frames in a
// virtual time and checks every answer, every drop and what ends on the (in-memory) disk.

#include "plainreceiver.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using zelk::Drop;
using zelk::GoneRow;
using zelk::HeaderStep;
using zelk::PlainFrame;
using zelk::PlainReceiver;

namespace {

const std::string kA = "poste7    ";
const std::string kB = "poste8    ";
constexpr std::size_t kDiskBytes = 1 << 20;

enum class Do {
    Header,    // a plain header: `text` is the file, `size` its size
    Offer,     // a header whose offer the extension takes
    Piece,     // content: `text` is the piece
    Wait,      // the time moves by `ms`
    Spoken,    // an offer of the origin was accepted
    Extended,  // the extension takes the origin's row (a transfer identity)
    Disturbed, // the origin's staging file was taken away
    ConnGone,  // the connection of `from`:`port` ended
};

struct Step {
    Do what;
    std::string origin = kA;
    std::string text{};
    std::string size{};
    std::int64_t ack = 0; // the answer expected; 0: none
    Drop drop = Drop::None;
    std::string from = "10.0.0.1";
    std::uint16_t port = 4000;
    std::int64_t ms = 0;
};

Step header(std::string file, std::string size, std::int64_t ack, Drop drop = Drop::None) {
    return Step{Do::Header, kA, std::move(file), std::move(size), ack, drop};
}
Step piece(std::string bytes, std::int64_t ack, Drop drop = Drop::None) {
    return Step{Do::Piece, kA, std::move(bytes), {}, ack, drop};
}
Step from(Step step, std::string address, std::uint16_t port) {
    step.from = std::move(address);
    step.port = port;
    return step;
}
Step of(std::string origin, Step step) {
    step.origin = std::move(origin);
    return step;
}
Step wait(std::int64_t ms) {
    Step step{Do::Wait};
    step.ms = ms;
    return step;
}
Step just(Do what, std::string origin = kA) {
    return Step{what, std::move(origin)};
}

// The core and a disk of one file per origin, as the shell would keep them.
struct Rig {
    PlainReceiver core;
    zelk::Instant now{1'700'000'000'000, 5'000};
    std::map<std::string, std::string> disk;     // by origin: the file being written
    std::map<std::string, std::string> finished; // by origin: the latest file made whole
    std::vector<GoneRow> gone;

    explicit Rig(PlainReceiver::Settings settings = {}) : core(settings) {}

    PlainFrame frame(const Step& step, PlainFrame::Kind kind) const {
        PlainFrame frame;
        frame.kind = kind;
        frame.origin = step.origin;
        frame.address = step.from;
        frame.port = step.port;
        frame.now = now;
        return frame;
    }

    // Runs one step; the answer it draws (0: none) and why it was dropped.
    std::pair<std::int64_t, Drop> run(const Step& step) {
        switch (step.what) {
        case Do::Header:
        case Do::Offer:
            return headerOf(step);
        case Do::Piece:
            return pieceOf(step);
        case Do::Wait:
            now.wallMs += step.ms;
            now.steadyMs += step.ms;
            break;
        case Do::Spoken:
            core.extensionSpoken(step.origin, now);
            break;
        case Do::Extended:
            core.table().edit(core.table().findOrigin(step.origin)).transfer = 77;
            break;
        case Do::Disturbed:
            core.disturbed(core.table().findOrigin(step.origin), now);
            disk.erase(step.origin);
            break;
        case Do::ConnGone:
            core.connectionGone(step.from, step.port);
            break;
        }
        return {0, Drop::None};
    }

    std::pair<std::int64_t, Drop> headerOf(const Step& step) {
        PlainFrame frame = this->frame(step, PlainFrame::Kind::Header);
        frame.file = step.text;
        frame.size = step.size;
        frame.offered = step.what == Do::Offer;
        const zelk::HeaderReply reply = core.header(frame);
        gone.insert(gone.end(), reply.gone.begin(), reply.gone.end());
        if (reply.step == HeaderStep::Dropped) {
            return {0, reply.drop};
        }
        return {reply.ack, Drop::None};
    }

    std::pair<std::int64_t, Drop> pieceOf(const Step& step) {
        PlainFrame frame = this->frame(step, PlainFrame::Kind::Content);
        frame.content = step.text;
        const zelk::PieceWrite write = core.content(frame);
        if (write.drop != Drop::None) {
            return {0, write.drop};
        }
        std::string& file = disk[step.origin];
        const auto at = static_cast<std::size_t>(write.position - 1);
        if (at < kDiskBytes) { // a position placed near the end of the range writes nothing here
            file.resize(std::max(file.size(), at + write.bytes.size()), '\0');
            file.replace(at, write.bytes.size(), write.bytes);
        }
        const zelk::PieceDone done = core.written(write, now);
        if (done.finished) {
            finished[step.origin] = file;
            disk.erase(step.origin);
        }
        return {done.ack, Drop::None};
    }

    void play(const std::vector<Step>& steps) {
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const auto [ack, drop] = run(steps[i]);
            EXPECT_EQ(ack, steps[i].ack) << "step " << i;
            EXPECT_EQ(drop, steps[i].drop) << "step " << i;
        }
    }
};

struct Script {
    const char* what;
    std::vector<Step> steps;
    int rows;              // rows left in the table
    std::string finishedA; // the file of kA made whole last
    std::vector<GoneRow::Why> gone;
};

} // namespace

TEST(PlainReceiver, Scripts) {
    using W = GoneRow::Why;
    const std::vector<Script> scripts = {
        {"a repeated header resumes at the position reached; the last piece ends the row",
         {header("f", "10", 1), piece("abcd", 5), header("f", "10", 5), piece("efghij", 11),
          piece("x", 0, Drop::NoRow)},
         0,
         "abcdefghij",
         {}},
        {"a header after the file completed starts it anew",
         {header("f", "3", 1), piece("abc", 4), header("f", "3", 1), piece("xyz", 4)},
         0,
         "xyz",
         {}},
        {"another name, or the size written otherwise, is another file",
         {header("f", "10", 1), piece("ab", 3), header("g", "10", 1), header("g", "010", 1),
          piece("q", 2)},
         1,
         "",
         {W::Abandoned, W::Abandoned}},
        {"a size-0 header's row takes no content; the real header starts the file",
         {header("f", "0", 1), piece("abc", 0, Drop::ResetRowContent), header("f", "0", 1),
          header("f", "3", 1), piece("xyz", 4)},
         0,
         "xyz",
         {W::Abandoned}},
        {"a piece past the announced size is not written; the next header learns where the row "
         "stands",
         {header("f", "4", 1), piece("abc", 4), piece("de", 0, Drop::PastAnnouncedSize),
          header("f", "4", 4), piece("d", 5)},
         0,
         "abcd",
         {}},
        {"a piece duplicated by the network is taken where the row is: the plain way",
         {header("f", "4", 1), piece("ab", 3), piece("ab", 5)},
         0,
         "abab",
         {}},
        {"a second sender is refused while the first is active, then resumes the row",
         {header("f", "10", 1), piece("abc", 4),
          from(header("f", "10", 0, Drop::SecondSender), "10.0.0.2", 4000), wait(5000),
          from(header("f", "10", 4), "10.0.0.2", 4000), piece("late", 0, Drop::OtherPeerContent),
          from(piece("defghij", 11), "10.0.0.2", 4000)},
         0,
         "abcdefghij",
         {}},
        {"the same sender on another port resumes at once; its old port's pieces are refused",
         {header("f", "10", 1), piece("ab", 3), from(header("f", "10", 3), "10.0.0.1", 4001),
          piece("zz", 0, Drop::OtherPeerContent)},
         1,
         "",
         {}},
        {"a sender whose connection ended gives way at once",
         {header("f", "10", 1), piece("ab", 3), just(Do::ConnGone),
          from(header("f", "10", 3), "10.0.0.9", 4000)},
         1,
         "",
         {}},
        {"from an origin that speaks the extension, a size-0 header ends the plain row only",
         {header("f", "10", 1), just(Do::Spoken), header("f", "0", 1), piece("a", 0, Drop::NoRow),
          header("f", "0", 1)},
         0,
         "",
         {W::ResetEnded}},
        {"a plain header waits for a live extended row, then takes over once it is idle",
         {header("f", "10", 1), just(Do::Extended), header("f", "10", 0, Drop::ExtendedRowHeader),
          piece("a", 0, Drop::ExtendedRowContent), wait(30000), header("f", "10", 1),
          piece("a", 2)},
         1,
         "",
         {W::PlainTookOver}},
        {"an extended row given up leaves the other origins' rows alone",
         {header("f", "10", 1), of(kB, header("g", "5", 1)), just(Do::Extended), wait(30000),
          header("f", "10", 1), of(kB, header("g", "5", 1))},
         2,
         "",
         {W::PlainTookOver}},
        {"an offer for a plain row starts the file anew",
         {header("f", "10", 1), piece("abc", 4), Step{Do::Offer, kA, "f", "10", 1}},
         1,
         "",
         {W::GaveWay}},
        {"a disturbed staging file pauses its headers, twice as long the second time",
         {header("f", "10", 1), piece("ab", 3), just(Do::Disturbed),
          header("f", "10", 0, Drop::StagingPaused), wait(1000), header("f", "10", 1),
          just(Do::Disturbed), wait(1000), header("f", "10", 0, Drop::StagingPaused), wait(1000),
          header("f", "10", 1), piece("0123456789", 11), header("f", "10", 1), just(Do::Disturbed),
          wait(1000), header("f", "10", 1)},
         1,
         "0123456789",
         {}},
    };
    for (const Script& script : scripts) {
        SCOPED_TRACE(script.what);
        Rig rig;
        rig.play(script.steps);
        EXPECT_EQ(rig.core.table().count(), script.rows);
        EXPECT_EQ(rig.finished[kA], script.finishedA);
        std::vector<GoneRow::Why> gone;
        for (const GoneRow& row : rig.gone) {
            gone.push_back(row.why);
        }
        EXPECT_EQ(gone, script.gone);
    }
}

// What the rows hold: numbers for positions and ports, the sender of the latest header, and a
// staging name for every row of an origin that speaks the extension.
TEST(PlainReceiver, RowsHoldTheLatestSenderAndStageWhatTheExtensionMustKeep) {
    Rig rig;
    rig.play({header("f", "100", 1), piece("abcd", 5),
              from(header("f", "100", 5), "10.0.0.1", 4100), just(Do::Spoken, kB),
              of(kB, header("g", "7", 1))});
    const zelk::TransferTable& table = rig.core.table();
    ASSERT_EQ(table.count(), 2);
    EXPECT_EQ(table.at(0).position, 5);
    EXPECT_EQ(table.at(0).port, 4100);
    EXPECT_FALSE(table.at(0).staged);
    EXPECT_TRUE(table.at(1).staged);
    EXPECT_EQ(table.at(1).lastFrameMs, rig.now.wallMs);
}

TEST(PlainReceiver, NoPieceGoesPastTheLargestPosition) {
    Rig rig;
    rig.play({header("f", "3000000000", 1)});
    rig.core.table().setPosition(0, PlainReceiver::kLargestPosition - 2);
    rig.play(
        {piece("ab", PlainReceiver::kLargestPosition), piece("c", 0, Drop::PastLargestPosition)});
}

// A full table: a newcomer without a key takes the row idle longest once it has been idle long
// enough; a newcomer whose key is proven takes a keyless row at once.
TEST(PlainReceiver, AFullTableMakesRoomForNewcomers) {
    Rig rig(PlainReceiver::Settings{5000, false, 60000, 1});
    zelk::TransferTable& table = rig.core.table();
    for (int i = 0; !table.full(); ++i) {
        zelk::TransferRow row;
        row.origin = std::to_string(i);
        row.address = "10.0.0.1";
        row.lastFrameMs = rig.now.wallMs + i;
        ASSERT_TRUE(table.append(std::move(row)));
    }
    const int rows = table.count();
    ASSERT_EQ(rows, zelk::TransferTable::kMaxRows);
    rig.play({header("new", "1", 0, Drop::TableFull), wait(59999),
              header("new", "1", 0, Drop::TableFull), wait(1), header("new", "1", 1)});
    EXPECT_EQ(table.findOrigin("0"), -1) << "the idlest row gave way";
    // The frame's views point into the step, which must outlive it.
    const Step step = of("keyed", Step{});
    PlainFrame keyed = rig.frame(step, PlainFrame::Kind::Header);
    keyed.file = "k";
    keyed.size = "1";
    keyed.offered = keyed.proven = keyed.keyed = true;
    const zelk::HeaderReply reply = rig.core.header(keyed);
    EXPECT_EQ(reply.step, HeaderStep::Started);
    ASSERT_EQ(reply.gone.size(), 1U);
    EXPECT_EQ(reply.gone[0].why, GoneRow::Why::EvictedForKey);
    EXPECT_EQ(table.count(), rows);
    // Its second file at once takes no one's transfer under way: no row is idle long enough.
    table.edit(reply.row).transfer = 5;
    PlainFrame beside = keyed;
    beside.file = "k2";
    beside.several = true;
    beside.transfer = 6;
    const zelk::HeaderReply second = rig.core.header(beside);
    EXPECT_EQ(second.drop, Drop::TableFull);
    EXPECT_TRUE(second.gone.empty());
    EXPECT_EQ(table.countOf("keyed"), 1);
}
