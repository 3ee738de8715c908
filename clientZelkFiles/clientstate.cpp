#include "clientstate.h"

#include <QFile>
#include <QJsonArray>
#include <algorithm>

namespace zelk {

ClientView clientView(const ClientEngine& engine) {
    ClientView view;
    view.progress = engine.progress();
    view.status = QString::fromStdString(engine.transferStatus());
    view.activity = engine.activity();
    for (const std::string& name : engine.fileNames()) {
        view.files << QFile::decodeName(QByteArray::fromStdString(name));
    }
    return view;
}

QJsonObject clientState(const ClientView& view) {
    QJsonArray files;
    for (qsizetype i = 0; i < view.files.size() && i < kWatchedFiles; ++i) {
        files.append(view.files[i]);
    }
    return QJsonObject{{QStringLiteral("progress"), view.progress},
                       {QStringLiteral("status"), view.status},
                       {QStringLiteral("activity"), view.activity},
                       {QStringLiteral("fileCount"), static_cast<int>(view.files.size())},
                       {QStringLiteral("files"), files}};
}

ClientView viewFromState(const QJsonObject& state) {
    ClientView view;
    view.progress = std::clamp(state.value(QStringLiteral("progress")).toInt(), 0, 100);
    view.status = state.value(QStringLiteral("status")).toString();
    view.activity = state.value(QStringLiteral("activity")).toString();
    for (const QJsonValue& name : state.value(QStringLiteral("files")).toArray()) {
        view.files << name.toString();
    }
    return view;
}

} // namespace zelk
