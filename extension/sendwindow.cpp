#include "sendwindow.h"

#include <algorithm>

namespace zelk::ext {
namespace {

constexpr std::uint64_t kPacketThreshold = 3;
constexpr std::int64_t kGranularityUs = 1'000;
constexpr std::int64_t kLongestBackoffUs = 2'000'000;
// The receiver keeps at most 4096 ranges; the sender's copy only ever holds what it reported.
constexpr std::size_t kMostAckedRanges = 1 << 16;

} // namespace

SendWindow::SendWindow(std::int64_t size, std::int64_t pieceMax, std::int64_t windowBytes)
    : size_(std::max<std::int64_t>(size, 0)), pieceMax_(std::max<std::int64_t>(pieceMax, 1)),
      window_(std::max<std::int64_t>(windowBytes, 1)), acked_(kMostAckedRanges) {}

void SendWindow::onAck(std::int64_t cumulative, std::span<const Range> ranges, std::int64_t nowUs) {
    probes_ = 0;
    const std::int64_t held = std::clamp<std::int64_t>(cumulative, 0, size_);
    acked_.add(0, held);
    for (const Range& range : ranges) {
        acked_.add(std::max<std::int64_t>(range.start, 0), std::min(range.end, size_));
    }
    Settled settled;
    settle(0, held, nowUs, settled);
    for (const Range& range : ranges) {
        settle(range.start, range.end, nowUs, settled);
    }
    // A piece sent twice gives no sample: which copy the answer is for is unknown.
    if (settled.newest.order > largestAcked_ && !settled.newest.again) {
        sampleRtt(nowUs - settled.newest.sentUs);
    }
    largestAcked_ = std::max(largestAcked_, settled.evidence);
    detectLosses(nowUs);
}

// Forgets the pieces in flight that [start, end) completed. An answer that comes sooner after a
// copy sent again than any round trip ever took is for the copy before: taking it for the new
// one would make every piece sent in between look lost on a link that merely reorders.
void SendWindow::settle(std::int64_t start, std::int64_t end, std::int64_t nowUs,
                        Settled& settled) {
    auto it = inFlight_.lower_bound(start);
    if (it != inFlight_.begin()) {
        const auto before = std::prev(it);
        if (before->first + before->second.length > start) {
            it = before;
        }
    }
    while (it != inFlight_.end() && it->first < end) {
        const InFlight& piece = it->second;
        if (!acked_.covers(it->first, it->first + piece.length)) {
            ++it;
            continue;
        }
        const bool tooSoon = piece.again && nowUs - piece.sentUs < minRtt_;
        settled.evidence = std::max(settled.evidence, tooSoon ? piece.earlierOrder : piece.order);
        if (piece.order > settled.newest.order) {
            settled.newest = piece;
        }
        const auto after = std::next(it);
        forget(it);
        it = after;
    }
}

void SendWindow::forget(Slot slot) {
    inFlightBytes_ -= slot->second.length;
    sendOrder_.erase(slot->second.order);
    inFlight_.erase(slot);
}

void SendWindow::markLost(Slot slot) {
    lost_.emplace(slot->first, LostBytes{slot->first + slot->second.length, slot->second.order});
    forget(slot);
}

void SendWindow::detectLosses(std::int64_t nowUs) {
    lossTimeUs_ = -1;
    const std::int64_t delay = lossDelayUs();
    // Pieces were sent in order, so once one is neither far enough behind nor old enough, none
    // sent after it is.
    while (!sendOrder_.empty() && sendOrder_.begin()->first < largestAcked_) {
        const auto slot = inFlight_.find(sendOrder_.begin()->second);
        const bool behind = largestAcked_ - slot->second.order >= kPacketThreshold;
        if (!behind && slot->second.sentUs > nowUs - delay) {
            lossTimeUs_ = slot->second.sentUs + delay;
            return;
        }
        markLost(slot);
    }
}

void SendWindow::seedRtt(std::int64_t smoothedUs, std::int64_t variationUs) {
    if (!rttSampled_ && smoothedUs > 0) {
        srtt_ = smoothedUs;
        rttVar_ = std::max<std::int64_t>(variationUs, 0);
    }
}

void SendWindow::sampleRtt(std::int64_t rttUs) {
    rttUs = std::max<std::int64_t>(rttUs, 1);
    latestRtt_ = rttUs;
    minRtt_ = rttSampled_ ? std::min(minRtt_, rttUs) : rttUs;
    if (!rttSampled_) {
        rttSampled_ = true;
        srtt_ = rttUs;
        rttVar_ = rttUs / 2;
        return;
    }
    const std::int64_t deviation = srtt_ > rttUs ? srtt_ - rttUs : rttUs - srtt_;
    rttVar_ = (3 * rttVar_ + deviation) / 4;
    srtt_ = (7 * srtt_ + rttUs) / 8;
}

std::int64_t SendWindow::lossDelayUs() const {
    return std::max(std::max(srtt_, latestRtt_) * 9 / 8, kGranularityUs);
}

std::int64_t SendWindow::probeTimeoutUs() const {
    const std::int64_t base = srtt_ + std::max(4 * rttVar_, kGranularityUs);
    std::int64_t timeout = base;
    for (int i = 0; i < probes_ && timeout < kLongestBackoffUs; ++i) {
        timeout *= 2;
    }
    return std::min(timeout, std::max(base, kLongestBackoffUs));
}

std::optional<SendWindow::Piece> SendWindow::takeLost(std::uint64_t& earlierOrder) {
    while (!lost_.empty()) {
        const std::int64_t start = lost_.begin()->first;
        const auto [end, order] = lost_.begin()->second;
        lost_.erase(lost_.begin());
        const auto holes = acked_.missing(start, end);
        if (holes.empty()) {
            continue;
        }
        const Range& hole = holes.front();
        const std::int64_t pieceEnd = std::min(hole.end, hole.start + pieceMax_);
        if (pieceEnd < end) {
            lost_.emplace(pieceEnd, LostBytes{end, order});
        }
        earlierOrder = order;
        return Piece{hole.start, pieceEnd - hole.start, true};
    }
    return std::nullopt;
}

std::optional<SendWindow::Piece> SendWindow::takeNew() {
    nextNew_ = std::max(nextNew_, acked_.cumulative());
    if (nextNew_ >= size_) {
        return std::nullopt;
    }
    auto holes = acked_.missing(nextNew_, std::min(size_, nextNew_ + pieceMax_));
    if (holes.empty()) {
        holes = acked_.missing(nextNew_, size_);
        if (holes.empty()) {
            nextNew_ = size_;
            return std::nullopt;
        }
    }
    const Range& hole = holes.front();
    const std::int64_t pieceEnd = std::min(hole.end, hole.start + pieceMax_);
    nextNew_ = pieceEnd;
    return Piece{hole.start, pieceEnd - hole.start, false};
}

std::optional<SendWindow::Piece> SendWindow::next(std::int64_t nowUs) {
    // A probe goes out even into a full window: it is what finds out whether the link lives.
    if (!inFlight_.empty() && inFlightBytes_ >= window_ && !probeDue_) {
        return std::nullopt;
    }
    std::uint64_t earlierOrder = 0;
    auto piece = takeLost(earlierOrder);
    if (!piece) {
        piece = takeNew();
    }
    if (!piece) {
        return std::nullopt;
    }
    piece->again = piece->again || piece->offset < sentHigh_;
    sentHigh_ = std::max(sentHigh_, piece->offset + piece->length);
    if (piece->again) {
        sentAgain_ += piece->length;
    }
    const std::uint64_t order = ++order_;
    inFlight_[piece->offset] = InFlight{piece->length, nowUs, order, earlierOrder, piece->again};
    sendOrder_.emplace(order, piece->offset);
    inFlightBytes_ += piece->length;
    lastSentUs_ = nowUs;
    probeDue_ = false;
    return piece;
}

std::int64_t SendWindow::deadlineUs() const {
    if (inFlight_.empty()) {
        return -1;
    }
    if (lossTimeUs_ >= 0) {
        return lossTimeUs_;
    }
    return lastSentUs_ + probeTimeoutUs();
}

void SendWindow::onDeadline(std::int64_t nowUs) {
    if (inFlight_.empty()) {
        return;
    }
    if (lossTimeUs_ >= 0) {
        if (nowUs >= lossTimeUs_) {
            detectLosses(nowUs);
        }
        return;
    }
    if (nowUs < lastSentUs_ + probeTimeoutUs()) {
        return;
    }
    ++probes_;
    probeDue_ = true;
    markLost(inFlight_.find(sendOrder_.begin()->second));
}

void SendWindow::restart() {
    acked_.clear();
    inFlight_.clear();
    sendOrder_.clear();
    lost_.clear();
    nextNew_ = 0;
    inFlightBytes_ = 0;
    lossTimeUs_ = -1;
    probes_ = 0;
    probeDue_ = false;
}

void SendWindow::setWindowBytes(std::int64_t bytes) {
    window_ = std::max<std::int64_t>(bytes, 1);
}

} // namespace zelk::ext
