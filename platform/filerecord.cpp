#include "filerecord.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace zelk {
namespace {

std::string& journalPath() {
    static std::string path;
    return path;
}

std::function<void(const FileRecord&)>& recordHook() {
    static std::function<void(const FileRecord&)> hook;
    return hook;
}

double rateOf(const FileRecord& record) {
    const double seconds = static_cast<double>(std::max<std::int64_t>(record.durationMs, 1)) / 1e3;
    return static_cast<double>(record.bytesThisRun) / seconds;
}

// Names are bytes from the network: JSON wants UTF-8, so bytes that are not are escaped as the
// trace escapes control bytes, and the object stays one valid line.
QString jsonText(const std::string& bytes) {
    const QString text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    if (text.toUtf8() == QByteArray::fromStdString(bytes)) {
        return text;
    }
    std::string escaped;
    for (const unsigned char c : bytes) {
        if (c >= 0x80) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            escaped += hex;
        } else {
            escaped += static_cast<char>(c);
        }
    }
    return QString::fromStdString(escaped);
}

// Appended whole with one write and synced: a reader never sees half an object, and a record
// written is one that survives a power cut.
bool appendLine(const std::string& path, const std::string& line, std::string& why) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    const std::string whole = line + "\n";
    const ssize_t written = ::write(fd, whole.data(), whole.size());
    const bool ok = written == static_cast<ssize_t>(whole.size()) && ::fdatasync(fd) == 0;
    if (!ok) {
        why = written < 0 || errno != 0 ? std::strerror(errno) : "short write";
    }
    ::close(fd);
    return ok;
}

} // namespace

void setTransferJournal(const std::string& path) {
    journalPath() = path;
}

void onFileRecord(std::function<void(const FileRecord&)> hook) {
    recordHook() = std::move(hook);
}

std::string recordText(const FileRecord& record) {
    std::string text = "origin \"" + record.origin + "\" file \"" + record.name + "\", " +
                       std::to_string(record.size) + " bytes";
    char duration[32];
    std::snprintf(duration, sizeof duration, " in %.3f s (",
                  static_cast<double>(record.durationMs) / 1000.0);
    text += duration + rateText(rateOf(record));
    if (record.bytesThisRun != record.size) {
        text += " for the " + std::to_string(record.bytesThisRun) + " bytes of this run";
    }
    text += "), ";
    text += record.extended ? "ZX1" : "plain";
    if (!record.sha256.empty()) {
        text += ", SHA-256 " + record.sha256;
    }
    if (record.bytesResent >= 0) {
        text += ", " + std::to_string(record.bytesResent) + " bytes sent again";
    }
    if (!record.peer.empty()) {
        text += std::string(record.received ? ", from " : ", to ") + record.peer;
    }
    if (!record.path.empty()) {
        text += ", at " + record.path;
    }
    return text + ": " + record.result;
}

std::string recordJson(const FileRecord& record) {
    QJsonObject object{
        {QStringLiteral("time"), QString::fromStdString(isoTimestamp())},
        {QStringLiteral("event"),
         record.received ? QStringLiteral("received") : QStringLiteral("sent")},
        {QStringLiteral("origin"), jsonText(record.origin)},
        {QStringLiteral("file"), jsonText(record.name)},
        {QStringLiteral("size"), static_cast<qint64>(record.size)},
        {QStringLiteral("sha256"), record.sha256.empty() ? QJsonValue(QJsonValue::Null)
                                                         : QJsonValue(jsonText(record.sha256))},
        {QStringLiteral("duration_ms"), static_cast<qint64>(record.durationMs)},
        {QStringLiteral("bytes_this_run"), static_cast<qint64>(record.bytesThisRun)},
        {QStringLiteral("rate_bytes_per_s"), static_cast<qint64>(rateOf(record))},
        {QStringLiteral("protocol"),
         record.extended ? QStringLiteral("ZX1") : QStringLiteral("plain")},
        {QStringLiteral("bytes_sent_again"),
         record.bytesResent >= 0 ? QJsonValue(static_cast<qint64>(record.bytesResent))
                                 : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("result"), QString::fromStdString(record.result)},
        {QStringLiteral("peer"), jsonText(record.peer)},
    };
    if (!record.path.empty()) {
        object.insert(QStringLiteral("path"), jsonText(record.path));
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

void recordFile(Trace& trace, const FileRecord& record) {
    const char* event = record.received ? "file received" : "file sent";
    if (trace.wants(event)) {
        trace.write(event, recordText(record));
    }
    if (!journalPath().empty()) {
        if (std::string why; !appendLine(journalPath(), recordJson(record), why)) {
            trace.write("journal not written", journalPath() + ": " + why);
        }
    }
    if (recordHook()) {
        recordHook()(record);
    }
}

} // namespace zelk
