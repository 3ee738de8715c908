#pragma once

#include "extcodec.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace zelk::ext {

// Byte ranges of a file known to be in place, merged as they come: the receiver's record of what
// it wrote, and the sender's of what the receiver acknowledged. Pure: no clock, no file.
class RangeSet {
public:
    // A hostile sender could split a file into a range per byte; beyond this many ranges a new
    // one is refused (an honest window never comes near).
    static constexpr std::size_t kDefaultMostRanges = 4096;
    explicit RangeSet(std::size_t mostRanges = kDefaultMostRanges) : most_(mostRanges) {}

    // Adds [start, end), merging with ranges it overlaps or touches. False, and nothing added,
    // when that would make more than the most ranges allowed. An empty range is a no-op (true).
    bool add(std::int64_t start, std::int64_t end);
    void clear() {
        ranges_.clear();
        bytes_ = 0;
    }

    // End of the range that begins at 0, or 0.
    std::int64_t cumulative() const;
    bool covers(std::int64_t start, std::int64_t end) const;
    // The first `most` ranges that lie above the cumulative position.
    std::vector<Range> beyondCumulative(std::size_t most) const;
    // Bytes in [start, end) not yet held, as ranges in order.
    std::vector<Range> missing(std::int64_t start, std::int64_t end) const;
    std::int64_t bytes() const { return bytes_; }
    std::size_t count() const { return ranges_.size(); }
    std::vector<Range> list() const;

private:
    std::map<std::int64_t, std::int64_t> ranges_; // start -> end
    std::size_t most_;
    std::int64_t bytes_ = 0;
};

} // namespace zelk::ext
