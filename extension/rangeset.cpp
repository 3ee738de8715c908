#include "rangeset.h"

#include <algorithm>

namespace zelk::ext {

bool RangeSet::add(std::int64_t start, std::int64_t end) {
    if (start >= end) {
        return true;
    }
    if (start < 0) {
        return false;
    }
    // The first range that overlaps or touches [start, end), then every one after it that does.
    auto first = ranges_.upper_bound(start);
    if (first != ranges_.begin() && std::prev(first)->second >= start) {
        --first;
    }
    auto last = first;
    while (last != ranges_.end() && last->first <= end) {
        ++last;
    }
    if (first == last && ranges_.size() >= most_) {
        return false;
    }
    std::int64_t mergedStart = start;
    std::int64_t mergedEnd = end;
    for (auto it = first; it != last; ++it) {
        mergedStart = std::min(mergedStart, it->first);
        mergedEnd = std::max(mergedEnd, it->second);
        bytes_ -= it->second - it->first;
    }
    ranges_.erase(first, last);
    ranges_.emplace(mergedStart, mergedEnd);
    bytes_ += mergedEnd - mergedStart;
    return true;
}

std::int64_t RangeSet::cumulative() const {
    if (ranges_.empty() || ranges_.begin()->first != 0) {
        return 0;
    }
    return ranges_.begin()->second;
}

bool RangeSet::covers(std::int64_t start, std::int64_t end) const {
    if (start >= end) {
        return true;
    }
    auto it = ranges_.upper_bound(start);
    if (it == ranges_.begin()) {
        return false;
    }
    --it;
    return it->second >= end;
}

std::vector<Range> RangeSet::beyondCumulative(std::size_t most) const {
    std::vector<Range> out;
    auto it = ranges_.begin();
    if (it != ranges_.end() && it->first == 0) {
        ++it;
    }
    for (; it != ranges_.end() && out.size() < most; ++it) {
        out.push_back({it->first, it->second});
    }
    return out;
}

std::vector<Range> RangeSet::missing(std::int64_t start, std::int64_t end) const {
    std::vector<Range> holes;
    if (start >= end) {
        return holes;
    }
    auto it = ranges_.upper_bound(start);
    if (it != ranges_.begin() && std::prev(it)->second > start) {
        --it;
    }
    std::int64_t at = start;
    for (; it != ranges_.end() && it->first < end; ++it) {
        if (it->first > at) {
            holes.push_back({at, it->first});
        }
        at = std::max(at, it->second);
    }
    if (at < end) {
        holes.push_back({at, end});
    }
    return holes;
}

std::vector<Range> RangeSet::list() const {
    std::vector<Range> out;
    out.reserve(ranges_.size());
    for (const auto& [start, end] : ranges_) {
        out.push_back({start, end});
    }
    return out;
}

} // namespace zelk::ext
