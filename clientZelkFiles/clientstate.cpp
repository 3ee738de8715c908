#include "clientstate.h"

#include <QFile>
#include <QJsonArray>
#include <algorithm>

namespace zelk {
namespace {

QString decodedName(const std::string& name) {
    return QFile::decodeName(QByteArray::fromStdString(name));
}

} // namespace

QString activityText(const ClientActivity& activity) {
    using Kind = ClientActivity::Kind;
    switch (activity.kind) {
    case Kind::OutboxMissing:
        return QStringLiteral("Dossier d'envoi absent : ") +
               QString::fromLocal8Bit(activity.detail.c_str());
    case Kind::OutboxUnreadable:
        return QStringLiteral("Dossier d'envoi illisible : ") +
               QString::fromLocal8Bit(activity.detail.c_str());
    case Kind::DestinationUnknown:
        return QStringLiteral("Destination introuvable : ") +
               QString::fromLatin1(activity.detail).trimmed();
    case Kind::NothingToSend:
        return QStringLiteral("Rien à envoyer");
    case Kind::KeyUnproven:
        return QStringLiteral("Le serveur ne prouve pas la clé de l'origine");
    case Kind::ServerCannotKeep:
        return QStringLiteral("Le serveur ne peut pas garder ") + decodedName(activity.detail);
    case Kind::Waiting:
        return QStringLiteral("En attente du serveur depuis ") +
               activity.since.toString(QStringLiteral("HH:mm:ss"));
    case Kind::SendingSeveral:
        return QStringLiteral("Envoi de ") + QString::fromStdString(activity.detail) +
               QStringLiteral(" fichiers");
    case Kind::Sending:
        break;
    }
    return QStringLiteral("Envoi de ") + decodedName(activity.detail);
}

ClientView clientView(const ClientEngine& engine) {
    ClientView view;
    view.progress = engine.progress();
    view.status = QString::fromStdString(engine.transferStatus());
    view.activity = activityText(engine.activity());
    for (const std::string& name : engine.fileNames()) {
        view.files << decodedName(name);
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
