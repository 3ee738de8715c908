#pragma once

// Content frames carry neither a position nor a file: the server writes a piece wherever its own
// record says the next byte goes, and answers with where that piece ends. A copy of an earlier
// piece, or one the network held back, that reaches the server while another piece is on its way
// is therefore taken in its place, and its answer looks right whenever both have the same length.
// So no piece takes the length of a piece whose answer never came, while a late copy of that one
// may still arrive; the last piece of a file takes none of the lengths sent lately, so that a copy
// which shifted the server's bytes by a whole piece shows at the end at the latest, as an answer
// that does not fit; and once the link has shown copies or late frames (an answer that fits
// nothing, a silence), for a while no piece at all takes a length sent lately. Otherwise pieces
// take the full length, or one or two bytes less, so that no two of three pieces in a row have
// the same length: a copy the network made of one of them then shows at once.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

namespace zelk {

class PieceLengths {
public:
    // How many of the latest lengths are avoided while wary, and for the last piece.
    static constexpr std::size_t kRecent = 64;
    // How many of the latest lengths every piece avoids: a copy of any of them, arriving before
    // the piece after it, shows as an answer that does not fit.
    static constexpr std::size_t kAlwaysAvoided = 2;
    // While wary, a length is drawn at random among this many below the largest, so that a
    // stray piece older than the latest ones matches the one on its way only by rare chance.
    static constexpr std::size_t kSpread = 256;

    // `riskMs`: how long a piece whose answer never came may still reach the server.
    explicit PieceLengths(std::int64_t riskMs = 0) : riskMs_(riskMs) {}
    void setRiskMs(std::int64_t riskMs) { riskMs_ = riskMs; }
    // The draws start from `seed`, so that a simulated run replays exactly.
    void reseed(std::uint32_t seed) { random_.seed(seed); }

    // The largest length from `largest` down that is not avoided; `largest` itself when every
    // length down to 1 is (tiny pieces leave no choice). `last`: the piece would end the file.
    std::size_t choose(std::size_t largest, bool last, std::int64_t nowMs);
    // A piece of `length` bytes was sent.
    void sent(std::size_t length);
    // The piece of `length` bytes sent last went unanswered: a copy of it may come late.
    void unanswered(std::size_t length, std::int64_t nowMs);
    // The link showed a copy or a late frame.
    void anomaly(std::int64_t nowMs) { waryUntilMs_ = nowMs + riskMs_; }
    bool wary(std::int64_t nowMs) const { return nowMs < waryUntilMs_; }
    // Whether a piece of this length was among the latest sent.
    bool sentLately(std::size_t length) const;

private:
    bool avoided(std::size_t length, bool last, std::int64_t nowMs) const;

    std::size_t drawn(std::size_t largest, std::int64_t nowMs);

    std::int64_t riskMs_;
    std::int64_t waryUntilMs_ = -1;
    std::minstd_rand random_{std::random_device{}()};
    std::deque<std::size_t> recent_;
    struct AtRisk {
        std::size_t length;
        std::int64_t untilMs;
    };
    std::vector<AtRisk> atRisk_;
};

} // namespace zelk
