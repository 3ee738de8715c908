#pragma once

// The client's state as a watching window receives it, and as its own window reads it.

#include "clientengine.h"
#include "config.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace zelk {

// At most this many outbox names go out.
inline constexpr int kWatchedFiles = 2000;

struct ClientView {
    int progress = 0;  // the share of the first file the server holds, in percent
    QString status;    // the protocol of the file being sent and its rate lately
    QString activity;  // what the client is doing
    QStringList files; // the outbox list, first the file being sent
};

// The line the window shows for what the client is doing.
QString activityText(const ClientActivity& activity);
ClientView clientView(const ClientEngine& engine);
QJsonObject clientState(const ClientView& view);
ClientView viewFromState(const QJsonObject& state);

} // namespace zelk
