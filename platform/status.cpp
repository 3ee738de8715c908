#include "status.h"

#include "instancelock.h"
#include "trace.h"
#include "watch.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <cstdio>

namespace zelk {
namespace {

constexpr int kWaitMs = 3000;

// The first state the service sends on a new connection: one line of JSON.
bool readState(const QString& socketPath, QJsonObject& state) {
    QLocalSocket socket;
    socket.connectToServer(socketPath, QIODevice::ReadOnly);
    if (!socket.waitForConnected(kWaitMs)) {
        return false;
    }
    QByteArray line;
    while (!line.contains('\n') && socket.waitForReadyRead(kWaitMs)) {
        line += socket.readAll();
    }
    const QJsonDocument document = QJsonDocument::fromJson(line.left(line.indexOf('\n')));
    state = document.object();
    return document.isObject();
}

long pidOf(Program program, const std::string& configPath) {
    QFile lock(instanceLockPath(program, configPath));
    return lock.open(QIODevice::ReadOnly) ? lock.readLine().trimmed().toLong() : 0;
}

std::string text(const QJsonValue& value) {
    return value.toString().toStdString();
}

std::string rowText(const QJsonObject& row) {
    const long long position = row.value(QStringLiteral("position")).toString().toLongLong();
    const long long total = row.value(QStringLiteral("total")).toString().toLongLong();
    const long long share = total > 0 ? (position - 1) * 100 / total : 0;
    const auto last = static_cast<qint64>(row.value(QStringLiteral("lastFrameMs")).toDouble());
    std::string line = "  " + text(row.value(QStringLiteral("origin"))) + " \"" +
                       text(row.value(QStringLiteral("file"))) + "\" " +
                       std::to_string(position - 1) + " of " + std::to_string(total) + " bytes (" +
                       std::to_string(share) + "%)";
    // The row's rate travels as the window shows it ("1.25 MB/s"): read as a number it was 0.
    if (const std::string rate = text(row.value(QStringLiteral("rate"))); !rate.empty()) {
        line += ", " + rate;
    }
    line += row.value(QStringLiteral("extended")).toBool() ? ", ZX1" : ", plain";
    line += ", from " + text(row.value(QStringLiteral("address"))) + " port " +
            text(row.value(QStringLiteral("port")));
    if (last > 0) {
        line += ", last frame " +
                QDateTime::fromMSecsSinceEpoch(last).toString(Qt::ISODate).toStdString();
    }
    return line + "\n";
}

// Origins that send several files at once, summed up.
std::string severalText(const QJsonObject& state) {
    std::string out;
    for (const QJsonValue& value : state.value(QStringLiteral("origins")).toArray()) {
        const QJsonObject origin = value.toObject();
        const int files = origin.value(QStringLiteral("files")).toInt();
        if (files > 1) {
            out += "  origin " + text(origin.value(QStringLiteral("origin"))) + ": " +
                   std::to_string(files) + " files under way, " +
                   rateText(origin.value(QStringLiteral("rate")).toString().toDouble()) + "\n";
        }
    }
    return out;
}

std::string serverText(const QJsonObject& state) {
    std::string out = text(state.value(QStringLiteral("udp"))) + "\n" +
                      text(state.value(QStringLiteral("tcp"))) + "\n";
    const QJsonArray rows = state.value(QStringLiteral("rows")).toArray();
    out += std::to_string(rows.size()) + " transfer(s) under way\n";
    for (const QJsonValue& row : rows) {
        out += rowText(row.toObject());
    }
    return out + severalText(state);
}

std::string clientText(const QJsonObject& state) {
    std::string out = "doing: " + text(state.value(QStringLiteral("activity"))) + "\n";
    if (const std::string status = text(state.value(QStringLiteral("status"))); !status.empty()) {
        out += "sending: " + status + ", " +
               std::to_string(state.value(QStringLiteral("progress")).toInt()) +
               "% held by "
               "the server\n";
    }
    const QJsonArray files = state.value(QStringLiteral("files")).toArray();
    out += std::to_string(state.value(QStringLiteral("fileCount")).toInt()) +
           " file(s) in the outbox\n";
    for (const QJsonValue& name : files) {
        out += "  " + text(name) + "\n";
    }
    return out;
}

} // namespace

std::string statusText(Program program, const std::string& configPath, long pid,
                       const QJsonObject& state) {
    std::string out = std::string(programName(program)) + " running with " + configPath;
    if (pid > 0) {
        out += " (pid " + std::to_string(pid) + ")";
    }
    out += "\n";
    return out + (program == Program::Server ? serverText(state) : clientText(state));
}

int printStatus(Program program, const std::string& configPath, bool json) {
    const QString socketPath = watchSocketPath(program, configPath);
    QJsonObject state;
    if (!readState(socketPath, state)) {
        std::fprintf(stderr, "%s: not running with %s (nothing answers on %s)\n",
                     programName(program), configPath.c_str(),
                     socketPath.toLocal8Bit().constData());
        return kNotRunning;
    }
    const long pid = pidOf(program, configPath);
    std::string out;
    if (json) {
        state.insert(QStringLiteral("program"), QString::fromLatin1(programName(program)));
        state.insert(QStringLiteral("config"), QString::fromLocal8Bit(configPath.c_str()));
        state.insert(QStringLiteral("pid"), static_cast<qint64>(pid));
        out = QJsonDocument(state).toJson(QJsonDocument::Compact).toStdString() + "\n";
    } else {
        out = statusText(program, configPath, pid, state);
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

} // namespace zelk
