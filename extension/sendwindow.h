#pragma once

#include "extcodec.h"
#include "rangeset.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>

namespace zelk::ext {

// The sender's side of one extended transfer: which pieces to send, which are in flight, which
// are lost. Pure: no socket, no clock; every call takes the time in microseconds. Loss is found
// as reliable transports find it: a piece is lost when one sent three pieces later is
// acknowledged, or when an acknowledged piece was sent more than 9/8 of a round trip after it;
// with no answer at all for a probe timeout, the oldest piece in flight is sent again and the
// timeout doubles.
class SendWindow {
public:
    struct Piece {
        std::int64_t offset = 0;
        std::int64_t length = 0;
        bool again = false; // sent before
    };

    static constexpr std::int64_t kInitialRttUs = 100'000;
    static constexpr std::int64_t kDefaultWindowBytes = 4 << 20;

    SendWindow(std::int64_t size, std::int64_t pieceMax,
               std::int64_t windowBytes = kDefaultWindowBytes);

    // An answer: bytes [0, cumulative) and `ranges` are held by the receiver. Answers may come
    // late, twice or out of order; what they say is only ever added.
    void onAck(std::int64_t cumulative, std::span<const Range> ranges, std::int64_t nowUs);
    // The next piece to send now, counted in flight from `nowUs`: lost pieces first, then new
    // bytes; nothing when the window is full or no byte is left to send.
    std::optional<Piece> next(std::int64_t nowUs);
    // When the probe timeout falls (-1 when nothing is in flight), and what to do when it has.
    std::int64_t deadlineUs() const;
    void onDeadline(std::int64_t nowUs);
    // The receiver discarded its copy: every byte is to be sent again.
    void restart();

    // The round trip the path showed other transfers, until this one's own first sample: a new
    // transfer whose first pieces are lost then finds it out in a round trip or two, not after
    // the probe timeout of a path it knows nothing of.
    void seedRtt(std::int64_t smoothedUs, std::int64_t variationUs);
    bool rttSampled() const { return rttSampled_; }
    std::int64_t rttVariationUs() const { return rttVar_; }

    // The hook for a congestion controller: how many bytes may be in flight.
    void setWindowBytes(std::int64_t bytes);
    std::int64_t windowBytes() const { return window_; }

    bool allAcked() const { return acked_.cumulative() >= size_; }
    // Every byte went and none is to go again: only answers are awaited.
    bool allSent() const { return nextNew_ >= size_ && lost_.empty(); }
    std::int64_t size() const { return size_; }
    std::int64_t ackedBytes() const { return acked_.bytes(); }
    std::int64_t cumulative() const { return acked_.cumulative(); }
    std::int64_t inFlightBytes() const { return inFlightBytes_; }
    std::int64_t smoothedRttUs() const { return srtt_; }
    std::int64_t latestRttUs() const { return latestRtt_; }
    std::int64_t sentAgainBytes() const { return sentAgain_; }
    int probes() const { return probes_; }

private:
    struct InFlight {
        std::int64_t length = 0;
        std::int64_t sentUs = 0;
        std::uint64_t order = 0;
        std::uint64_t earlierOrder = 0; // the copy sent before this one, 0 for a first send
        bool again = false;
    };
    struct LostBytes {
        std::int64_t end = 0;
        std::uint64_t order = 0; // of the copy found lost
    };
    struct Settled {
        std::uint64_t evidence = 0; // the latest-sent copy known to have arrived
        InFlight newest;            // the latest-sent piece acknowledged, order 0 if none
    };
    using Slot = std::map<std::int64_t, InFlight>::iterator;

    void settle(std::int64_t start, std::int64_t end, std::int64_t nowUs, Settled& settled);
    void forget(Slot slot);
    void markLost(Slot slot);
    void detectLosses(std::int64_t nowUs);
    void sampleRtt(std::int64_t rttUs);
    std::int64_t lossDelayUs() const;
    std::int64_t probeTimeoutUs() const;
    std::optional<Piece> takeLost(std::uint64_t& earlierOrder);
    std::optional<Piece> takeNew();

    std::int64_t size_;
    std::int64_t pieceMax_;
    std::int64_t window_;
    RangeSet acked_;
    std::map<std::int64_t, InFlight> inFlight_;       // by offset
    std::map<std::uint64_t, std::int64_t> sendOrder_; // order -> offset of each piece in flight
    std::map<std::int64_t, LostBytes> lost_;          // by start, to send again first
    std::int64_t nextNew_ = 0;
    std::int64_t sentHigh_ = 0; // bytes below were sent at least once
    std::int64_t inFlightBytes_ = 0;
    std::uint64_t order_ = 0;
    std::uint64_t largestAcked_ = 0; // order of the latest-sent piece acknowledged
    std::int64_t lastSentUs_ = 0;
    std::int64_t lossTimeUs_ = -1;
    std::int64_t srtt_ = kInitialRttUs;
    std::int64_t rttVar_ = kInitialRttUs / 2;
    std::int64_t latestRtt_ = 0;
    std::int64_t minRtt_ = 0;
    bool rttSampled_ = false;
    int probes_ = 0;
    bool probeDue_ = false;
    std::int64_t sentAgain_ = 0;
};

} // namespace zelk::ext
