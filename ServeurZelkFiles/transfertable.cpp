#include "transfertable.h"

#include <iterator>

namespace zelk {

bool TransferTable::append(TransferRow row) {
    if (full()) {
        return false;
    }
    if (findOrigin(row.origin) >= 0) {
        return false;
    }
    byOrigin_.emplace(row.origin, count());
    keyless_ += row.keyed ? 0 : 1;
    rows_.push_back(std::move(row));
    return true;
}

void TransferTable::replace(int index, TransferRow row) {
    TransferRow& slot = rows_.at(static_cast<std::size_t>(index));
    if (slot.origin != row.origin) {
        byOrigin_.erase(slot.origin);
        byOrigin_[row.origin] = index;
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
    byOrigin_.erase(rows_[static_cast<std::size_t>(index)].origin);
    keyless_ -= rows_[static_cast<std::size_t>(index)].keyed ? 0 : 1;
    rows_.erase(std::next(rows_.begin(), index));
    for (auto& [origin, at] : byOrigin_) {
        if (at > index) {
            --at;
        }
    }
}

void TransferTable::clear() {
    rows_.clear();
    byOrigin_.clear();
    keyless_ = 0;
}

int TransferTable::findOrigin(std::string_view origin) const {
    const auto found = byOrigin_.find(std::string(origin));
    return found == byOrigin_.end() ? -1 : found->second;
}

} // namespace zelk
