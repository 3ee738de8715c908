#include "extcodec.h"
#include "rangeset.h"
#include "sendwindow.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <limits>
#include <queue>
#include <random>
#include <string>
#include <vector>

using namespace zelk::ext;

namespace {

constexpr std::uint64_t kTransfer = 0x5eed;

struct Link {
    const char* name;
    std::int64_t oneWayUs = 10'000;
    std::int64_t jitterUs = 0; // each copy is delayed by up to this much more: reordering
    double loss = 0;           // each copy, both ways
    double duplicate = 0;
    std::int64_t silentFromUs = -1; // everything sent in [from, to) is dropped
    std::int64_t silentToUs = -1;
    std::int64_t bytesPerUs = 50; // datagrams leave one after the other at this rate
    double mostSentAgain = 0;     // bytes sent again, as a share of the file
};

struct Outcome {
    bool complete = false;
    std::int64_t sentBytes = 0;
    std::int64_t sentAgainBytes = 0;
    std::int64_t lostBytes = 0; // data bytes of which no copy arrived
    int mostProbes = 0;
    std::int64_t endUs = 0;
};

// One transfer through a simulated link, time in microseconds. The receiver acts as the server
// does: writes each data datagram where it belongs, adds it to its ranges and answers with its
// cumulative position and the first ranges beyond; both directions carry real datagrams.
class Simulation {
public:
    Simulation(const Link& link, std::uint32_t seed, std::int64_t size, std::int64_t pieceMax,
               std::int64_t windowBytes)
        : link_(link), random_(seed), file_(static_cast<std::size_t>(size), '\0'),
          written_(static_cast<std::size_t>(size), '\0'), pieceMax_(pieceMax),
          window_(size, pieceMax, windowBytes) {
        for (char& c : file_) {
            c = static_cast<char>(random_());
        }
    }

    // The server already holds these bytes when the transfer resumes.
    void resumeWith(std::int64_t cumulative, const std::vector<Range>& beyond) {
        held_.add(0, cumulative);
        for (const Range& range : beyond) {
            held_.add(range.start, range.end);
        }
        for (const Range& range : held_.list()) {
            copyIn(range.start, range.end - range.start);
        }
        const auto ranges = held_.beyondCumulative(kMostRangesPerAnswer);
        window_.onAck(held_.cumulative(), ranges, 0);
        seenBySender_ = held_;
    }

    Outcome run(std::int64_t untilUs) {
        std::int64_t now = 0;
        for (int step = 0; step < 2'000'000 && now < untilUs; ++step) {
            sendAll(now);
            if (window_.allAcked()) {
                outcome_.complete = true;
                break;
            }
            const std::int64_t wake = events_.empty() ? -1 : events_.top().at;
            const std::int64_t deadline = window_.deadlineUs();
            if (deadline >= 0 && (wake < 0 || deadline <= wake)) {
                now = std::max(now, deadline);
                window_.onDeadline(now);
                outcome_.mostProbes = std::max(outcome_.mostProbes, window_.probes());
                continue;
            }
            if (wake < 0) {
                ADD_FAILURE() << "nothing in flight, nothing on the way, not done";
                break;
            }
            now = wake;
            Event event = events_.top();
            events_.pop();
            deliver(event, now);
        }
        outcome_.endUs = now;
        outcome_.sentAgainBytes = window_.sentAgainBytes();
        if (outcome_.complete) {
            EXPECT_TRUE(held_.covers(0, window_.size()));
            EXPECT_TRUE(written_ == file_) << "the receiver's copy differs from the file";
            EXPECT_EQ(window_.inFlightBytes(), 0);
            EXPECT_EQ(window_.deadlineUs(), -1);
        }
        return outcome_;
    }

private:
    struct Event {
        std::int64_t at;
        std::uint64_t order;
        bool toReceiver;
        std::string datagram;
        bool operator>(const Event& other) const {
            return at != other.at ? at > other.at : order > other.order;
        }
    };

    void copyIn(std::int64_t offset, std::int64_t length) {
        std::copy_n(file_.begin() + offset, length, written_.begin() + offset);
    }

    void sendAll(std::int64_t now) {
        while (const auto piece = window_.next(now)) {
            checkPiece(*piece);
            sent_.add(piece->offset, piece->offset + piece->length);
            outcome_.sentBytes += piece->length;
            std::string datagram(kHeadBytes + static_cast<std::size_t>(piece->length), '\0');
            std::copy_n(file_.begin() + piece->offset, piece->length,
                        datagram.begin() + kHeadBytes);
            writeHead(datagram.data(), Kind::Data, kTransfer, piece->offset,
                      static_cast<std::size_t>(piece->length));
            if (!transmit(datagram, now, true)) {
                outcome_.lostBytes += piece->length;
            }
        }
    }

    void checkPiece(const SendWindow::Piece& piece) {
        const std::int64_t end = piece.offset + piece.length;
        ASSERT_GT(piece.length, 0);
        ASSERT_LE(piece.length, pieceMax_);
        ASSERT_GE(piece.offset, 0);
        ASSERT_LE(end, window_.size());
        EXPECT_EQ(seenBySender_.missing(piece.offset, end),
                  (std::vector<Range>{{piece.offset, end}}))
            << "bytes at " << piece.offset << " were already acknowledged";
        if (piece.again) {
            EXPECT_TRUE(sent_.covers(piece.offset, end)) << "marked again, never sent";
        } else {
            EXPECT_EQ(sent_.missing(piece.offset, end), (std::vector<Range>{{piece.offset, end}}))
                << "sent before yet not marked again";
        }
        EXPECT_LE(window_.inFlightBytes(), window_.windowBytes() + pieceMax_);
    }

    // True when at least one copy is on its way.
    bool transmit(const std::string& datagram, std::int64_t now, bool toReceiver) {
        if (now >= link_.silentFromUs && now < link_.silentToUs) {
            return false;
        }
        const int copies = chance(link_.duplicate) ? 2 : 1;
        bool any = false;
        for (int i = 0; i < copies; ++i) {
            if (chance(link_.loss)) {
                continue;
            }
            std::int64_t& free = toReceiver ? forwardFreeUs_ : backwardFreeUs_;
            free =
                std::max(free, now) + static_cast<std::int64_t>(datagram.size()) / link_.bytesPerUs;
            std::int64_t delay = free - now + link_.oneWayUs;
            if (link_.jitterUs > 0) {
                delay += static_cast<std::int64_t>(random_() % link_.jitterUs);
            }
            events_.push(Event{now + delay, ++order_, toReceiver, datagram});
            any = true;
        }
        return any;
    }

    bool chance(double probability) {
        return probability > 0 &&
               std::uniform_real_distribution<double>(0, 1)(random_) < probability;
    }

    void deliver(const Event& event, std::int64_t now) {
        const auto frame = decode(event.datagram);
        ASSERT_TRUE(frame);
        ASSERT_EQ(frame->transfer, kTransfer);
        if (event.toReceiver) {
            ASSERT_EQ(frame->kind, Kind::Data);
            const auto length = static_cast<std::int64_t>(frame->body.size());
            ASSERT_LE(frame->value + length, window_.size());
            std::copy(frame->body.begin(), frame->body.end(), written_.begin() + frame->value);
            ASSERT_TRUE(held_.add(frame->value, frame->value + length));
            std::string answer;
            encodeAck(kTransfer, held_.cumulative(), held_.beyondCumulative(kMostRangesPerAnswer),
                      answer);
            transmit(answer, now, false);
            return;
        }
        ASSERT_EQ(frame->kind, Kind::Ack);
        const auto ranges = ackRanges(*frame);
        ASSERT_TRUE(ranges);
        seenBySender_.add(0, frame->value);
        for (const Range& range : *ranges) {
            seenBySender_.add(range.start, range.end);
        }
        window_.onAck(frame->value, *ranges, now);
    }

    Link link_;
    std::mt19937_64 random_;
    std::string file_;
    std::string written_;
    std::int64_t pieceMax_;
    SendWindow window_;
    RangeSet held_;
    RangeSet seenBySender_{std::numeric_limits<std::size_t>::max()};
    RangeSet sent_{std::numeric_limits<std::size_t>::max()};
    std::priority_queue<Event, std::vector<Event>, std::greater<>> events_;
    std::uint64_t order_ = 0;
    std::int64_t forwardFreeUs_ = 0;
    std::int64_t backwardFreeUs_ = 0;
    Outcome outcome_;
};

constexpr std::int64_t kSize = 1'500'000;
constexpr std::int64_t kPieceMax = 1'400;
constexpr std::int64_t kWindow = 200'000;
constexpr std::int64_t kMinute = 60'000'000;
constexpr std::uint32_t kSeeds[] = {1, 2, 3, 4, 5, 6};

} // namespace

TEST(SendWindowLink, EveryFileCompletesOnEveryLink) {
    const std::vector<Link> links = {
        {.name = "clean"},
        {.name = "2% loss", .loss = 0.02, .mostSentAgain = 0.05},
        {.name = "10% loss", .loss = 0.10, .mostSentAgain = 0.25},
        // Overtaken by ten pieces and more: some are sent again before they arrive.
        {.name = "loss, copies and reordering",
         .jitterUs = 300,
         .loss = 0.05,
         .duplicate = 0.05,
         .mostSentAgain = 0.5},
        {.name = "reordering past the round trip",
         .oneWayUs = 2'000,
         .jitterUs = 30'000,
         .mostSentAgain = 3},
        {.name = "silent for 5 s",
         .loss = 0.01,
         .silentFromUs = 30'000,
         .silentToUs = 5'030'000,
         .mostSentAgain = 0.05},
    };
    for (const Link& link : links) {
        for (std::uint32_t seed : kSeeds) {
            SCOPED_TRACE(testing::Message() << link.name << ", seed " << seed);
            Simulation simulation(link, seed, kSize, kPieceMax, kWindow);
            const Outcome outcome = simulation.run(10 * kMinute);
            ASSERT_TRUE(outcome.complete);
            EXPECT_EQ(outcome.sentBytes, kSize + outcome.sentAgainBytes);
            if (link.loss > 0 && link.jitterUs == 0 && link.silentFromUs < 0) {
                EXPECT_GT(outcome.lostBytes, 0);
                EXPECT_LE(outcome.sentAgainBytes, 3 * outcome.lostBytes + 8 * kPieceMax)
                    << outcome.lostBytes << " bytes lost";
            }
            EXPECT_LE(outcome.sentAgainBytes,
                      static_cast<std::int64_t>(link.mostSentAgain * kSize));
            if (link.silentFromUs < 0) {
                EXPECT_LT(outcome.endUs, 1'000'000) << "losses found without waiting for probes";
            }
            if (link.silentFromUs >= 0) {
                EXPECT_GE(outcome.mostProbes, 3) << "probes kept going through the silence";
                EXPECT_GT(outcome.endUs, link.silentToUs);
                EXPECT_LT(outcome.endUs, link.silentToUs + 4'000'000)
                    << "the first probe after the silence set it going again";
            }
        }
    }
}

TEST(SendWindowLink, AResumeSendsOnlyWhatTheServerLacks) {
    const Link link{.name = "2% loss", .loss = 0.02};
    const std::vector<Range> held = {{900'000, 950'000}, {1'000'001, 1'000'002}};
    for (std::uint32_t seed : kSeeds) {
        SCOPED_TRACE(seed);
        Simulation simulation(link, seed, kSize, kPieceMax, kWindow);
        simulation.resumeWith(600'000, held);
        const Outcome outcome = simulation.run(10 * kMinute);
        ASSERT_TRUE(outcome.complete);
        EXPECT_EQ(outcome.sentBytes - outcome.sentAgainBytes, kSize - 600'000 - 50'000 - 1);
    }
}

TEST(SendWindow, ProbesBackOffToTwoSecondsAndAnAnswerResetsThem) {
    SendWindow window(10'000, 1'000, 3'000);
    std::vector<std::int64_t> firstSent;
    while (const auto piece = window.next(0)) {
        firstSent.push_back(piece->offset);
    }
    EXPECT_EQ(firstSent, (std::vector<std::int64_t>{0, 1'000, 2'000})) << "the window is full";
    // Nothing sampled yet: 100 ms smoothed, 50 ms variation, so 300 ms, then doubling to 2 s.
    const std::vector<std::int64_t> gaps = {300'000, 600'000, 1'200'000, 2'000'000, 2'000'000};
    std::int64_t now = 0;
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        ASSERT_EQ(window.deadlineUs(), now + gaps[i]) << "probe " << i;
        now = window.deadlineUs();
        window.onDeadline(now);
        EXPECT_EQ(window.probes(), static_cast<int>(i) + 1);
        const auto probe = window.next(now);
        ASSERT_TRUE(probe);
        EXPECT_TRUE(probe->again);
        EXPECT_FALSE(window.next(now)) << "one piece per probe";
    }
    const std::vector<Range> none;
    window.onAck(1'000, none, now + 40'000);
    EXPECT_EQ(window.probes(), 0);
    EXPECT_EQ(window.smoothedRttUs(), 100'000) << "an answer to a piece sent twice is no sample";
    EXPECT_EQ(window.cumulative(), 1'000);

    window.restart();
    EXPECT_EQ(window.cumulative(), 0);
    const auto again = window.next(now + 50'000);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->offset, 0);
    EXPECT_TRUE(again->again);
}

// A new transfer on a path others measured times out on their round trip until its own first
// sample, not on the 300 ms of a path it knows nothing of; its own sample then replaces it.
TEST(SendWindow, ANewTransferTimesOutOnTheRoundTripTheOthersMeasured) {
    SendWindow window(3'000, 1'000);
    window.seedRtt(50'000, 5'000);
    while (window.next(0)) {
    }
    EXPECT_EQ(window.deadlineUs(), 50'000 + 20'000);
    window.onDeadline(70'000);
    const auto probe = window.next(70'000);
    ASSERT_TRUE(probe);
    EXPECT_TRUE(probe->again);
    const std::vector<Range> beyond{{1'000, 2'000}};
    window.onAck(0, beyond, 80'000);
    EXPECT_TRUE(window.rttSampled());
    EXPECT_EQ(window.smoothedRttUs(), 80'000);
    window.seedRtt(10'000, 1'000);
    EXPECT_EQ(window.smoothedRttUs(), 80'000) << "a seed never replaces a sample";
}
