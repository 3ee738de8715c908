// The journal's JSON lines are written without Qt; Qt's own writer, which wrote them before, is
// the reference they must match byte for byte.
#include "filerecord.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

QString referenceText(const std::string& bytes) {
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

qint64 referenceRate(const zelk::FileRecord& r) {
    const double seconds = static_cast<double>(std::max<std::int64_t>(r.durationMs, 1)) / 1e3;
    return static_cast<qint64>(static_cast<double>(r.bytesThisRun) / seconds);
}

// The object as Qt built it, less its time.
QJsonObject reference(const zelk::FileRecord& r) {
    QJsonObject object{
        {"event", r.received ? "received" : "sent"},
        {"origin", referenceText(r.origin)},
        {"file", referenceText(r.name)},
        {"size", static_cast<qint64>(r.size)},
        {"sha256", r.sha256.empty() ? QJsonValue() : QJsonValue(referenceText(r.sha256))},
        {"duration_ms", static_cast<qint64>(r.durationMs)},
        {"bytes_this_run", static_cast<qint64>(r.bytesThisRun)},
        {"rate_bytes_per_s", referenceRate(r)},
        {"protocol", r.extended ? "ZX1" : "plain"},
        {"bytes_sent_again",
         r.bytesResent >= 0 ? QJsonValue(static_cast<qint64>(r.bytesResent)) : QJsonValue()},
        {"result", QString::fromStdString(r.result)},
        {"peer", referenceText(r.peer)},
    };
    if (!r.path.empty()) {
        object.insert("path", referenceText(r.path));
    }
    return object;
}

zelk::FileRecord named(std::string name, std::string origin = "poste7") {
    zelk::FileRecord r;
    r.origin = std::move(origin);
    r.name = std::move(name);
    r.size = 2500;
    r.durationMs = 1234;
    r.bytesThisRun = 2500;
    r.result = "delivered";
    r.peer = "127.0.0.1:5000";
    return r;
}

} // namespace

TEST(FileRecord, JournalLineIsWhatQtWrote) {
    std::vector<zelk::FileRecord> records;
    for (const std::string& name : std::vector<std::string>{
             "a.txt", "quote\" back\\slash /",
             "tab\t nl\n cr\r bs\b ff\f nul" + std::string(1, '\0'), "ctl\x01\x1f del\x7f",
             "été ß €", "\xF0\x9F\x98\x80 four bytes", "\xEF\xBB\xBF bom", "mid \xEF\xBB\xBF bom",
             "\xEF\xBF\xBE \xEF\xB7\x90 nonchars", "bad \xFF\xFE", "lone \xC3", "overlong \xC0\xAF",
             "surrogate \xED\xA0\x80", "past \xF4\x90\x80\x80", "cut \xE2\x82", ""}) {
        records.push_back(named(name));
    }
    zelk::FileRecord full = named("x.bin", "\xE9t\xE9");
    full.received = true;
    full.extended = true;
    full.size = std::int64_t{1} << 62;
    full.bytesThisRun = 1000;
    full.durationMs = 0;
    full.bytesResent = 12345;
    full.sha256 = std::string(64, 'a');
    full.path = "/srv/in/x.bin";
    full.result = "verified";
    records.push_back(full);

    for (const zelk::FileRecord& r : records) {
        const std::string line = zelk::recordJson(r);
        QJsonParseError error;
        const QJsonDocument parsed =
            QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << line;
        // Written as Qt writes the same object: keys, escapes, numbers and all.
        EXPECT_EQ(parsed.toJson(QJsonDocument::Compact).toStdString(), line);
        QJsonObject values = parsed.object();
        EXPECT_FALSE(values.take("time").toString().isEmpty()) << line;
        EXPECT_EQ(values, reference(r)) << line;
    }
}
