#include "transfertable.h"

#include <iterator>

namespace zelk {

bool TransferTable::append(TransferRow row) {
    if (full()) {
        return false;
    }
    rows_.push_back(std::move(row));
    return true;
}

void TransferTable::replace(int index, TransferRow row) {
    rows_.at(static_cast<std::size_t>(index)) = std::move(row);
}

void TransferTable::setPosition(int index, std::string position) {
    rows_.at(static_cast<std::size_t>(index)).position = std::move(position);
}

void TransferTable::remove(int index) {
    if (index < 0 || index >= count()) {
        return;
    }
    rows_.erase(std::next(rows_.begin(), index));
}

int TransferTable::findOrigin(std::string_view origin) const {
    for (int i = 0; i < count(); ++i) {
        if (rows_[static_cast<std::size_t>(i)].origin == origin) {
            return i;
        }
    }
    return -1;
}

} // namespace zelk
