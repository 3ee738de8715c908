#include "piecelengths.h"

#include <algorithm>

namespace zelk {

bool PieceLengths::avoided(std::size_t length, bool last, std::int64_t nowMs) const {
    if ((last || wary(nowMs)) &&
        std::find(recent_.begin(), recent_.end(), length) != recent_.end()) {
        return true;
    }
    // A copy of one of the latest pieces, taken by the server in place of the piece on its way,
    // is answered as that piece would be when both have the same length; so no piece takes the
    // length of the last kAlwaysAvoided pieces.
    const std::size_t lately = std::min(recent_.size(), kAlwaysAvoided);
    if (std::find(recent_.end() - static_cast<std::ptrdiff_t>(lately), recent_.end(), length) !=
        recent_.end()) {
        return true;
    }
    return std::any_of(atRisk_.begin(), atRisk_.end(), [&](const AtRisk& risk) {
        return risk.length == length && risk.untilMs > nowMs;
    });
}

std::size_t PieceLengths::choose(std::size_t largest, bool last, std::int64_t nowMs) {
    std::erase_if(atRisk_, [nowMs](const AtRisk& risk) { return risk.untilMs <= nowMs; });
    if (wary(nowMs) && largest > kSpread) {
        return drawn(largest, nowMs);
    }
    // At most kRecent + atRisk_.size() lengths are avoided, so the search is short.
    for (std::size_t length = largest; length >= 1; --length) {
        if (!avoided(length, last, nowMs)) {
            return length;
        }
    }
    return largest;
}

bool PieceLengths::sentLately(std::size_t length) const {
    return std::find(recent_.begin(), recent_.end(), length) != recent_.end();
}

// A few draws find a free length: at most kRecent + atRisk_.size() of kSpread are avoided.
std::size_t PieceLengths::drawn(std::size_t largest, std::int64_t nowMs) {
    std::uniform_int_distribution<std::size_t> below(0, kSpread - 1);
    for (int attempt = 0; attempt < 64; ++attempt) {
        const std::size_t length = largest - below(random_);
        if (!avoided(length, true, nowMs)) {
            return length;
        }
    }
    return largest - kSpread;
}

void PieceLengths::sent(std::size_t length) {
    recent_.push_back(length);
    if (recent_.size() > kRecent) {
        recent_.pop_front();
    }
}

void PieceLengths::unanswered(std::size_t length, std::int64_t nowMs) {
    atRisk_.push_back(AtRisk{length, nowMs + riskMs_});
    anomaly(nowMs);
}

} // namespace zelk
