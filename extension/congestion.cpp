#include "congestion.h"

#include <algorithm>
#include <array>
#include <limits>

namespace zelk::ext {
namespace {

// 2/ln 2: the smallest gain that still doubles the delivery rate each round trip in startup.
constexpr double kStartupGain = 2.885;
constexpr double kDrainGain = 1.0 / kStartupGain;
// Two rate-times-round-trips in flight: room for answers that come late or bunched.
constexpr double kWindowGain = 2.0;
constexpr std::array<double, 8> kCycle = {1.25, 0.75, 1, 1, 1, 1, 1, 1};
// Pacing a hair below the model lets the queue a probe built drain.
constexpr double kPacingMargin = 0.99;
constexpr std::int64_t kRateRounds = 10;
constexpr std::int64_t kMinRttWindowUs = 10'000'000;
constexpr std::int64_t kProbeRttUs = 200'000;
// Startup is over when the delivery rate has not grown by a quarter for three round trips, or
// as soon as a whole round trip's answers came a fifth later than the smallest round trip
// (and 2 ms): the pipe is full then and a queue stands, which the next doublings would only
// overflow.
constexpr double kFullGrowth = 1.25;
constexpr int kFullRounds = 3;
constexpr std::int64_t kStartupQueuedRttTenths = 12;
constexpr std::int64_t kInitialWindowPieces = 16;
constexpr std::int64_t kInitialRttUs = 100'000;
// Signs of a queue shared with other flows: answers half as long again as the smallest round trip,
// or more loss than a path drops at random (a few pieces at least, so that one piece lost of a
// small round is not enough).
constexpr std::int64_t kQueueLossPerThousand = 20;
constexpr std::int64_t kHeavyLossPerThousand = 50;
constexpr std::int64_t kCongestedLossPieces = 3;
constexpr std::int64_t kQueuedRttTenths = 15;
constexpr double kCeilingCut = 0.5;
constexpr std::int64_t kMostCeilingStepPieces = 8;
// Five rate cycles without a sign of a shared queue: the flows that shared the path have gone.
constexpr int kCalmRounds = 40;
// A sender woken late by its timer may catch up on this much of its pace, no more: a timer of
// millisecond grain must not slow it, nor a long pause let a burst out.
constexpr std::int64_t kPacingCreditUs = 2'000;
constexpr std::int64_t kLeastQueueUs = 2'000;
// Sends remembered for a delivery-rate sample; far more than a window holds.
constexpr std::size_t kMostSent = 1 << 17;

} // namespace

Congestion::Congestion(std::int64_t pieceBytes, double rateCap, std::uint32_t seed)
    : piece_(std::max<std::int64_t>(pieceBytes, 1)), rateCap_(std::max(rateCap, 0.0) / 1e6),
      seed_(seed), pacingGain_(kStartupGain), windowGain_(kStartupGain),
      window_(kInitialWindowPieces * piece_), ceiling_(std::numeric_limits<std::int64_t>::max()) {
    setPacing();
}

double Congestion::bandwidth() const {
    return bytesPerUs() * 1e6;
}

std::int64_t Congestion::minRttUs() const {
    return minRttUs_;
}

double Congestion::pacingRate() const {
    return pacingBytesPerUs_ * 1e6;
}

std::int64_t Congestion::nextSendUs() const {
    return static_cast<std::int64_t>(pacingClockUs_);
}

double Congestion::bytesPerUs() const {
    return rates_.empty() ? 0.0 : rates_.front().bytesPerUs;
}

void Congestion::onSent(std::int64_t bytes, std::int64_t nowUs) {
    if (firstSentUs_ < 0) {
        firstSentUs_ = nowUs;
        deliveredUs_ = nowUs;
    }
    sent_.push_back(Sent{nowUs, delivered_, deliveredUs_, firstSentUs_});
    if (sent_.size() > kMostSent) {
        sent_.pop_front();
    }
    if (minRttUs_ == 0 && rateCap_ == 0) {
        return; // the first window goes at once: the pace is a guess until a round trip is seen
    }
    const auto credit = static_cast<double>(nowUs - kPacingCreditUs);
    pacingClockUs_ =
        std::max(pacingClockUs_, credit) + static_cast<double>(bytes) / pacingBytesPerUs_;
}

void Congestion::onLoss(std::int64_t bytes, std::int64_t /*nowUs*/) {
    lostSinceAck_ += bytes;
    roundLost_ += bytes;
    window_ = std::max(window_ - bytes, smallestWindow());
}

void Congestion::onAck(const Ack& ack, std::int64_t nowUs) {
    delivered_ += ack.bytes;
    deliveredUs_ = nowUs;
    roundDelivered_ += ack.bytes;
    roundMostInFlight_ = std::max(roundMostInFlight_, ack.inFlightBytes + ack.bytes);
    bool roundStart = false;
    minRttExpired_ = false;
    if (ack.rttUs > 0) {
        takeRateSample(ack.rttUs, nowUs, roundStart);
        updateMinRtt(ack.rttUs, nowUs);
        ackQueued_ = queued(ack.rttUs, kStartupQueuedRttTenths);
        roundMostRttUs_ = std::max(roundMostRttUs_, ack.rttUs);
        roundLeastRttUs_ =
            roundLeastRttUs_ == 0 ? ack.rttUs : std::min(roundLeastRttUs_, ack.rttUs);
    }
    if (roundStart) {
        endRound(ack);
    }
    checkFilled(roundStart);
    updateMode(ack, roundStart, nowUs);
    setPacing();
    updateWindow(ack.bytes);
    lostSinceAck_ = 0;
}

// The rate between the send of the piece just acknowledged and its answer: what was delivered
// meanwhile over the longer of the time it took to send and to deliver, so that neither a burst
// of sends nor a bunch of answers reads as a faster path.
void Congestion::takeRateSample(std::int64_t rttUs, std::int64_t nowUs, bool& roundStart) {
    const std::int64_t sentUs = nowUs - rttUs;
    auto after = std::upper_bound(sent_.begin(), sent_.end(), sentUs,
                                  [](std::int64_t t, const Sent& s) { return t < s.sentUs; });
    if (after == sent_.begin()) {
        return;
    }
    const Sent piece = *(after - 1);
    sent_.erase(sent_.begin(), after);
    if (piece.delivered >= nextRoundDelivered_) {
        nextRoundDelivered_ = delivered_;
        ++round_;
        roundStart = true;
    }
    firstSentUs_ = piece.sentUs;
    const std::int64_t interval =
        std::max(piece.sentUs - piece.firstSentUs, nowUs - piece.deliveredUs);
    if (interval <= 0 || interval < minRttUs_) {
        return;
    }
    addRate(static_cast<double>(delivered_ - piece.delivered) / static_cast<double>(interval));
}

// The largest rate of the last rounds: kept as a queue of falling rates, oldest first.
void Congestion::addRate(double bytesPerUs) {
    while (!rates_.empty() && rates_.back().bytesPerUs <= bytesPerUs) {
        rates_.pop_back();
    }
    rates_.push_back(RateSample{round_, bytesPerUs});
    while (rates_.front().round + kRateRounds <= round_) {
        rates_.pop_front();
    }
}

void Congestion::updateMinRtt(std::int64_t rttUs, std::int64_t nowUs) {
    minRttExpired_ = minRttUs_ > 0 && nowUs > minRttStampUs_ + kMinRttWindowUs;
    if (minRttUs_ == 0 || rttUs <= minRttUs_ || minRttExpired_) {
        minRttUs_ = rttUs;
        minRttStampUs_ = nowUs;
    }
}

// Startup fills the queue on purpose, and drains it after: only a queue seen while the rate cycles
// around the model is taken for one shared with other flows.
void Congestion::endRound(const Ack& ack) {
    // What startup overfilled is lost and sent again in the first rounds after it: no sign of
    // other flows until all it had in flight is settled.
    const bool probing = mode_ == Mode::ProbeBandwidth && roundStartDelivered_ >= settledDelivered_;
    const bool congested =
        probing &&
        (queued(roundLeastRttUs_, kQueuedRttTenths) || lossAbove(kHeavyLossPerThousand) ||
         (lossAbove(kQueueLossPerThousand) && queued(roundMostRttUs_, kQueuedRttTenths)));
    if (congested) {
        // From what was in flight, not from the ceiling, which may be far above it.
        const auto cut = static_cast<double>(roundMostInFlight_) * kCeilingCut;
        ceiling_ = std::max(static_cast<std::int64_t>(cut), smallestWindow());
        ceilingStepPieces_ = 1;
        calmRounds_ = 0;
    } else if (sharing()) {
        if (roundMostInFlight_ + piece_ >= ceiling_) {
            ceiling_ += ceilingStepPieces_ * piece_;
            ceilingStepPieces_ = std::min(2 * ceilingStepPieces_, kMostCeilingStepPieces);
        }
        if (++calmRounds_ >= kCalmRounds) {
            ceiling_ = std::numeric_limits<std::int64_t>::max();
        }
    }
    if (mode_ == Mode::Startup && roundLeastRttUs_ > 0 &&
        (queued(roundLeastRttUs_, kStartupQueuedRttTenths) || lossAbove(kHeavyLossPerThousand))) {
        startupOverfilled_ = true;
    }
    startRound(ack.inFlightBytes);
}

void Congestion::startRound(std::int64_t inFlightBytes) {
    roundStartDelivered_ = delivered_;
    roundDelivered_ = 0;
    roundLost_ = 0;
    roundMostInFlight_ = inFlightBytes;
    roundMostRttUs_ = 0;
    roundLeastRttUs_ = 0;
}

bool Congestion::lossAbove(std::int64_t perThousand) const {
    return roundLost_ >= kCongestedLossPieces * piece_ &&
           roundLost_ * 1000 > (roundLost_ + roundDelivered_) * perThousand;
}

bool Congestion::queued(std::int64_t rttUs, std::int64_t tenths) const {
    return rttUs * 10 > minRttUs_ * tenths && rttUs - minRttUs_ > kLeastQueueUs;
}

void Congestion::checkFilled(bool roundStart) {
    if (filled_ || !roundStart) {
        return;
    }
    if (startupOverfilled_) {
        filled_ = true;
        return;
    }
    if (bytesPerUs() >= fullRate_ * kFullGrowth) {
        fullRate_ = bytesPerUs();
        roundsWithoutGrowth_ = 0;
        return;
    }
    filled_ = ++roundsWithoutGrowth_ >= kFullRounds;
}

void Congestion::updateMode(const Ack& ack, bool roundStart, std::int64_t nowUs) {
    if (mode_ == Mode::Startup && filled_) {
        settledDelivered_ = delivered_ + ack.inFlightBytes;
        mode_ = Mode::Drain;
        pacingGain_ = kDrainGain;
        windowGain_ = kStartupGain;
    }
    if (mode_ == Mode::Drain && ack.inFlightBytes <= modelBytes(1.0)) {
        enterProbeBandwidth(nowUs);
    }
    if (mode_ == Mode::ProbeBandwidth) {
        advanceCycle(ack, nowUs);
    }
    probeRtt(ack, roundStart, nowUs);
}

// A probe a quarter faster lasts until the path queued a quarter more or dropped a piece; the
// quarter slower after it ends as soon as that queue is gone.
void Congestion::advanceCycle(const Ack& ack, std::int64_t nowUs) {
    const bool fullLength = nowUs - cycleStampUs_ > minRttUs_;
    const double gain = kCycle[static_cast<std::size_t>(cycleIndex_)];
    bool next = fullLength;
    if (gain > 1) {
        next = fullLength && (lostSinceAck_ > 0 || ack.inFlightBytes >= modelBytes(gain));
    } else if (gain < 1) {
        next = fullLength || ack.inFlightBytes <= modelBytes(1.0);
    }
    if (next) {
        cycleIndex_ = (cycleIndex_ + 1) % static_cast<int>(kCycle.size());
        cycleStampUs_ = nowUs;
        pacingGain_ = kCycle[static_cast<std::size_t>(cycleIndex_)];
    }
}

// Flows that share a path start their cycle at different steps, so that their probes do not all
// fall together; never on the slow step, which has nothing to drain yet.
void Congestion::enterProbeBandwidth(std::int64_t nowUs) {
    mode_ = Mode::ProbeBandwidth;
    windowGain_ = kWindowGain;
    seed_ = seed_ * 1664525u + 1013904223u;
    cycleIndex_ = 2 + static_cast<int>((seed_ >> 16) % (kCycle.size() - 2));
    cycleStampUs_ = nowUs;
    pacingGain_ = kCycle[static_cast<std::size_t>(cycleIndex_)];
    startRound(0);
}

void Congestion::probeRtt(const Ack& ack, bool roundStart, std::int64_t nowUs) {
    if (mode_ != Mode::ProbeRtt && minRttExpired_) {
        mode_ = Mode::ProbeRtt;
        pacingGain_ = 1;
        windowGain_ = 1;
        priorWindow_ = window_;
        probeRttDoneUs_ = -1;
    }
    if (mode_ != Mode::ProbeRtt) {
        return;
    }
    if (probeRttDoneUs_ < 0) {
        if (ack.inFlightBytes <= probeRttWindow()) {
            probeRttDoneUs_ = nowUs + kProbeRttUs;
            probeRttRoundDone_ = false;
            nextRoundDelivered_ = delivered_;
        }
        return;
    }
    probeRttRoundDone_ = probeRttRoundDone_ || roundStart;
    if (!probeRttRoundDone_ || nowUs <= probeRttDoneUs_) {
        return;
    }
    minRttStampUs_ = nowUs;
    window_ = std::max(window_, priorWindow_);
    if (filled_) {
        enterProbeBandwidth(nowUs);
    } else {
        mode_ = Mode::Startup;
        pacingGain_ = kStartupGain;
        windowGain_ = kStartupGain;
    }
}

// Until the path is found full the rate only grows, whatever one sample says.
void Congestion::setPacing() {
    double rate = 0;
    if (bytesPerUs() <= 0) {
        const std::int64_t rtt = minRttUs_ > 0 ? minRttUs_ : kInitialRttUs;
        rate = pacingGain_ * static_cast<double>(window_) / static_cast<double>(rtt);
    } else {
        rate = pacingGain_ * bytesPerUs() * kPacingMargin;
    }
    // Startup's first rates are taken over whole round trips of a small window: paced by them it
    // would not double. The window, which doubles, sets its pace.
    if (mode_ == Mode::Startup && minRttUs_ > 0) {
        rate = std::max(rate, pacingGain_ * static_cast<double>(window_) /
                                  static_cast<double>(minRttUs_));
    }
    // Under a ceiling the window, not the pace, decides: each flow grows by the same pieces.
    if (sharing() && minRttUs_ > 0 && mode_ != Mode::ProbeRtt) {
        rate = std::max(rate, static_cast<double>(ceiling_) / static_cast<double>(minRttUs_));
    }
    if (!filled_) {
        rate = std::max(rate, pacingBytesPerUs_);
    }
    if (rateCap_ > 0) {
        rate = std::min(rate, rateCap_);
    }
    pacingBytesPerUs_ = rate;
}

// Three pieces above the model leave room for answers that acknowledge several at once.
void Congestion::updateWindow(std::int64_t ackedBytes) {
    if (sharing()) {
        window_ = ceiling_;
    } else if (bytesPerUs() <= 0) {
        window_ += ackedBytes;
    } else {
        // Startup doubles the window every round trip whatever its first, small rates say, but
        // not by answers that waited in a queue: the pipe is full, and doubling again would
        // only overflow the queue in the round trip before startup sees it stand.
        const std::int64_t target = modelBytes(windowGain_) + 3 * piece_;
        if (filled_) {
            window_ = std::min(window_ + ackedBytes, target);
        } else if (mode_ == Mode::Startup ? !ackQueued_ : window_ < target) {
            window_ += ackedBytes;
        }
    }
    window_ = std::max(window_, smallestWindow());
    if (mode_ == Mode::ProbeRtt) {
        window_ = std::min(window_, probeRttWindow());
    }
}

std::int64_t Congestion::modelBytes(double gain) const {
    if (bytesPerUs() <= 0 || minRttUs_ <= 0) {
        return kInitialWindowPieces * piece_;
    }
    return static_cast<std::int64_t>(gain * bytesPerUs() * static_cast<double>(minRttUs_));
}

} // namespace zelk::ext
