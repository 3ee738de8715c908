#pragma once

#include <cstdint>
#include <deque>
#include <limits>

namespace zelk::ext {

// How fast and how much to send on a path whose rate and delay are unknown. The controller keeps
// a model of the path, the largest delivery rate seen over the last ten round trips and the
// smallest round trip over the last ten seconds, and sends at the modelled rate with at most two
// rate-times-round-trips in flight. A loss alone is not read as congestion, so that a path that
// drops a piece in a hundred at random still runs full.
//
// It starts by doubling its window every round trip from the first, paced by that window, until the
// delivery rate stops growing or a whole round trip's answers show a queue standing; answers that
// waited in a queue no longer grow the window, so that startup does not overflow the queue in the
// round trip it takes to see it. Then it empties the queue that made, and cycles its rate around
// the model (a quarter faster for a round trip to find more room, a quarter slower to empty what
// that queued, then six at the model). When the smallest round trip has not been seen again for ten
// seconds, it keeps only four pieces in flight for 200 ms so that the queue empties and the true
// round trip shows.
//
// A lone flow keeps the queue near empty that way; flows that share a path each see the others'
// queue as room and fill it. So a round trip whose answers all took half as long again as the
// smallest and 2 ms more (a standing queue; less is the sender's own batches and timer steps), or
// that lost more than 5 % of its pieces (more than 2 % with some of its answers that late), halves
// the bytes in flight, and from then on they stay under a ceiling that rises by 1, 2, 4, then 8
// pieces each round trip. Flows cut by the same share and grown by the same pieces come to share
// the path evenly. After forty round trips without such a sign the ceiling is dropped: the others
// have gone.
//
// Pure: no clock, no socket; each call takes the time in microseconds.
class Congestion {
public:
    struct Ack {
        std::int64_t bytes = 0; // newly delivered by this answer
        // Of the latest-sent piece it acknowledges, 0 if none: that piece is found among those
        // sent by its send time, so `nowUs - rttUs` must be the time given to onSent for it.
        std::int64_t rttUs = 0;
        std::int64_t inFlightBytes = 0; // after this answer
    };

    // `pieceBytes`: the usual piece; `rateCap`: the most bytes a second to send, 0 for none;
    // `seed`: where the rate cycle starts, different for flows that share a path.
    explicit Congestion(std::int64_t pieceBytes, double rateCap = 0, std::uint32_t seed = 0);

    // Remembers what was delivered by then, for the delivery rate its answer will show.
    void onSent(std::int64_t bytes, std::int64_t nowUs);
    void onAck(const Ack& ack, std::int64_t nowUs);
    void onLoss(std::int64_t bytes, std::int64_t nowUs);

    double pacingRate() const; // bytes a second
    std::int64_t windowBytes() const { return window_; }
    // The earliest time the next piece may leave, by the pacing rate.
    std::int64_t nextSendUs() const;

    double bandwidth() const;      // the model's rate, bytes a second; 0 before any sample
    std::int64_t minRttUs() const; // 0 before any sample
    bool filled() const { return filled_; }

private:
    enum class Mode { Startup, Drain, ProbeBandwidth, ProbeRtt };
    struct Sent {
        std::int64_t sentUs;
        std::int64_t delivered;
        std::int64_t deliveredUs;
        std::int64_t firstSentUs;
    };
    struct RateSample {
        std::int64_t round;
        double bytesPerUs;
    };

    double bytesPerUs() const;
    void takeRateSample(std::int64_t rttUs, std::int64_t nowUs, bool& roundStart);
    void addRate(double bytesPerUs);
    void updateMinRtt(std::int64_t rttUs, std::int64_t nowUs);
    void checkFilled(bool roundStart);
    void endRound(const Ack& ack);
    void startRound(std::int64_t inFlightBytes);
    bool queued(std::int64_t rttUs, std::int64_t tenths) const;
    bool lossAbove(std::int64_t perThousand) const;
    bool sharing() const { return ceiling_ != std::numeric_limits<std::int64_t>::max(); }
    void updateMode(const Ack& ack, bool roundStart, std::int64_t nowUs);
    void advanceCycle(const Ack& ack, std::int64_t nowUs);
    void enterProbeBandwidth(std::int64_t nowUs);
    void probeRtt(const Ack& ack, bool roundStart, std::int64_t nowUs);
    void setPacing();
    void updateWindow(std::int64_t ackedBytes);
    std::int64_t modelBytes(double gain) const;
    std::int64_t smallestWindow() const { return 4 * piece_; }
    // Half the path's bytes in flight leave no queue to hide the smallest round trip, and keep
    // half the rate meanwhile; four pieces alone would idle the link for the whole probe.
    std::int64_t probeRttWindow() const { return std::max(smallestWindow(), modelBytes(0.5)); }

    std::int64_t piece_;
    double rateCap_; // bytes per µs, 0 for none
    std::uint32_t seed_;
    Mode mode_ = Mode::Startup;
    double pacingGain_;
    double windowGain_;
    std::int64_t window_;
    double pacingClockUs_ = 0;
    double pacingBytesPerUs_ = 0;

    std::deque<Sent> sent_;
    std::int64_t delivered_ = 0;
    std::int64_t deliveredUs_ = -1;
    std::int64_t firstSentUs_ = -1;
    std::int64_t lostSinceAck_ = 0;

    std::deque<RateSample> rates_; // decreasing rates, for the windowed maximum
    std::int64_t round_ = 0;
    std::int64_t nextRoundDelivered_ = 0;
    std::int64_t roundDelivered_ = 0;
    std::int64_t roundStartDelivered_ = 0;
    std::int64_t settledDelivered_ = 0; // what startup had in flight is settled by then
    std::int64_t roundLost_ = 0;
    std::int64_t roundMostInFlight_ = 0;
    std::int64_t roundMostRttUs_ = 0;
    std::int64_t roundLeastRttUs_ = 0;

    std::int64_t ceiling_; // the most bytes in flight since the queue last overflowed
    std::int64_t ceilingStepPieces_ = 1;
    int calmRounds_ = 0;

    std::int64_t minRttUs_ = 0;
    std::int64_t minRttStampUs_ = 0;
    bool minRttExpired_ = false;

    bool filled_ = false;
    bool ackQueued_ = false;         // the latest answer's piece waited in a queue
    bool startupOverfilled_ = false; // a round trip of startup found a queue standing
    double fullRate_ = 0;
    int roundsWithoutGrowth_ = 0;

    int cycleIndex_ = 0;
    std::int64_t cycleStampUs_ = 0;

    std::int64_t probeRttDoneUs_ = -1;
    bool probeRttRoundDone_ = false;
    std::int64_t priorWindow_ = 0;
};

} // namespace zelk::ext
