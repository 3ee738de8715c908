#pragma once

// The server's state as a watching window receives it: the port labels and the transfer table.

#include "serveurengine.h"
#include "transfertable.h"

#include <QJsonObject>

namespace zelk {

// At most this many rows go out; the count says how many there are.
inline constexpr int kWatchedRows = 2000;

QJsonObject serverState(const ServeurEngine& engine);
// The rows of a state into `table` (emptied first); what does not read as a row is left out.
void rowsFromState(const QJsonObject& state, TransferTable& table);

} // namespace zelk
