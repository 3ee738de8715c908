#include "serveurstate.h"

#include <QJsonArray>
#include <algorithm>

namespace zelk {
namespace {

QString text(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string bytes(const QJsonValue& value) {
    return value.toString().toLatin1().toStdString();
}

QJsonObject rowState(const TransferRow& row) {
    return QJsonObject{{QStringLiteral("origin"), text(row.origin)},
                       {QStringLiteral("address"), text(row.address)},
                       {QStringLiteral("port"), QString::number(row.port)},
                       {QStringLiteral("file"), text(row.file)},
                       {QStringLiteral("position"), QString::number(row.position)},
                       {QStringLiteral("total"), text(row.total)},
                       {QStringLiteral("rate"), text(row.rate)},
                       {QStringLiteral("rateValue"), row.rateValue},
                       {QStringLiteral("extended"), row.transfer != 0},
                       {QStringLiteral("resumed"), row.resumed},
                       {QStringLiteral("lastFrameMs"), static_cast<double>(row.lastFrameMs)}};
}

// The origins with their files under way and their rate together: a client that sends several
// files at once has a row for each.
QJsonArray originsState(const TransferTable& table) {
    QJsonArray origins;
    for (const OriginSummary& origin : table.origins()) {
        if (origins.size() >= kWatchedRows) {
            break;
        }
        origins.append(
            QJsonObject{{QStringLiteral("origin"), text(origin.origin)},
                        {QStringLiteral("files"), origin.transfers},
                        {QStringLiteral("rate"), QString::number(origin.rate, 'f', 0)},
                        {QStringLiteral("lastFrameMs"), static_cast<double>(origin.lastFrameMs)}});
    }
    return origins;
}

} // namespace

// Names and origins are bytes: they travel as Latin-1 text, one character per byte, and come
// back as the same bytes.
QJsonObject serverState(const ServeurEngine& engine) {
    const TransferTable& table = engine.table();
    QJsonArray rows;
    for (int i = 0; i < std::min(table.count(), kWatchedRows); ++i) {
        rows.append(rowState(table.at(i)));
    }
    return QJsonObject{{QStringLiteral("udp"), engine.udpLabel()},
                       {QStringLiteral("tcp"), engine.tcpLabel()},
                       {QStringLiteral("rowCount"), table.count()},
                       {QStringLiteral("rows"), rows},
                       {QStringLiteral("origins"), originsState(table)}};
}

void rowsFromState(const QJsonObject& state, TransferTable& table) {
    table.clear();
    const QJsonArray rows = state.value(QStringLiteral("rows")).toArray();
    for (const QJsonValue& value : rows) {
        const QJsonObject row = value.toObject();
        TransferRow read;
        read.origin = bytes(row.value(QStringLiteral("origin")));
        read.address = bytes(row.value(QStringLiteral("address")));
        read.port =
            static_cast<std::uint16_t>(row.value(QStringLiteral("port")).toString().toUInt());
        read.file = bytes(row.value(QStringLiteral("file")));
        read.position = row.value(QStringLiteral("position")).toString().toLongLong();
        read.total = bytes(row.value(QStringLiteral("total")));
        read.rate = bytes(row.value(QStringLiteral("rate")));
        read.rateValue = row.value(QStringLiteral("rateValue")).toDouble();
        read.transfer = row.value(QStringLiteral("extended")).toBool() ? 1 : 0;
        read.resumed = row.value(QStringLiteral("resumed")).toBool();
        read.lastFrameMs =
            static_cast<std::int64_t>(row.value(QStringLiteral("lastFrameMs")).toDouble());
        if (!table.append(std::move(read), true)) { // an origin may send several files at once
            break;
        }
    }
}

} // namespace zelk
