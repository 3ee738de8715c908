#include "transfertable.h"

#include <algorithm>
#include <iterator>

namespace zelk {

bool TransferTable::append(TransferRow row, bool beside) {
    if (full()) {
        return false;
    }
    if (!beside && findOrigin(row.origin) >= 0) {
        return false;
    }
    byOrigin_[row.origin].push_back(count());
    keyless_ += row.keyed ? 0 : 1;
    rows_.push_back(std::move(row));
    return true;
}

void TransferTable::replace(int index, TransferRow row) {
    TransferRow& slot = rows_.at(static_cast<std::size_t>(index));
    if (slot.origin != row.origin) {
        unlist(slot.origin, index);
        std::vector<int>& rows = byOrigin_[row.origin];
        rows.insert(std::lower_bound(rows.begin(), rows.end(), index), index);
    }
    keyless_ += (row.keyed ? 0 : 1) - (slot.keyed ? 0 : 1);
    slot = std::move(row);
}

void TransferTable::setPosition(int index, std::int64_t position) {
    rows_.at(static_cast<std::size_t>(index)).position = position;
}

void TransferTable::remove(int index) {
    if (index < 0 || index >= count()) {
        return;
    }
    unlist(rows_[static_cast<std::size_t>(index)].origin, index);
    keyless_ -= rows_[static_cast<std::size_t>(index)].keyed ? 0 : 1;
    rows_.erase(std::next(rows_.begin(), index));
    for (auto& [origin, rows] : byOrigin_) {
        for (int& at : rows) {
            at -= at > index ? 1 : 0;
        }
    }
}

void TransferTable::unlist(const std::string& origin, int index) {
    const auto found = byOrigin_.find(origin);
    if (found == byOrigin_.end()) {
        return;
    }
    std::erase(found->second, index);
    if (found->second.empty()) {
        byOrigin_.erase(found);
    }
}

void TransferTable::clear() {
    rows_.clear();
    byOrigin_.clear();
    keyless_ = 0;
}

int TransferTable::findOrigin(std::string_view origin) const {
    const auto found = byOrigin_.find(std::string(origin));
    return found == byOrigin_.end() ? -1 : found->second.front();
}

int TransferTable::findTransfer(std::string_view origin, std::uint64_t transfer) const {
    const auto found = byOrigin_.find(std::string(origin));
    if (transfer == 0 || found == byOrigin_.end()) {
        return -1;
    }
    for (const int index : found->second) {
        if (at(index).transfer == transfer) {
            return index;
        }
    }
    return -1;
}

std::vector<int> TransferTable::rowsOf(std::string_view origin) const {
    const auto found = byOrigin_.find(std::string(origin));
    return found == byOrigin_.end() ? std::vector<int>{} : found->second;
}

int TransferTable::countOf(std::string_view origin) const {
    const auto found = byOrigin_.find(std::string(origin));
    return found == byOrigin_.end() ? 0 : static_cast<int>(found->second.size());
}

std::vector<OriginSummary> TransferTable::origins() const {
    std::vector<OriginSummary> list;
    std::unordered_map<std::string_view, std::size_t> seen;
    for (const TransferRow& row : rows_) {
        const auto [at, added] = seen.try_emplace(row.origin, list.size());
        if (added) {
            list.push_back(OriginSummary{row.origin, 0, 0, 0});
        }
        OriginSummary& summary = list[at->second];
        ++summary.transfers;
        summary.rate += row.rateValue;
        summary.lastFrameMs = std::max(summary.lastFrameMs, row.lastFrameMs);
    }
    return list;
}

} // namespace zelk
