#include "watch.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <algorithm>

namespace zelk {

QString watchSocketPath(Program program, const std::string& configPath) {
    const QString serviceFolder = program == Program::Server
                                      ? QStringLiteral("/run/zelkfiles-serveur")
                                      : QStringLiteral("/run/zelkfiles-client");
    QString folder = serviceFolder;
    if (!QFileInfo(serviceFolder).isDir()) {
        folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
        if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
            folder = QDir::tempPath();
        }
    }
    const QString absolute =
        QFileInfo(QString::fromLocal8Bit(configPath.c_str())).absoluteFilePath();
    const QByteArray digest =
        QCryptographicHash::hash(absolute.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    const QString name =
        program == Program::Server ? QStringLiteral("serveur") : QStringLiteral("client");
    return folder + QLatin1Char('/') + name + QLatin1Char('-') + QString::fromLatin1(digest) +
           QStringLiteral(".watch");
}

WatchServer::WatchServer(std::function<QJsonObject()> state, QObject* parent)
    : QObject(parent), state_(std::move(state)) {
    connect(&server_, &QLocalServer::newConnection, this, &WatchServer::accept);
    beat_.setInterval(kEveryMs);
    connect(&beat_, &QTimer::timeout, this, &WatchServer::sendAll);
}

bool WatchServer::listen(const QString& path, QString& error) {
    {
        QLocalSocket probe;
        probe.connectToServer(path);
        if (probe.waitForConnected(200)) {
            error = path + QStringLiteral(": another program of this configuration offers it");
            return false;
        }
    }
    QLocalServer::removeServer(path); // left by a program that did not stop cleanly
    // File names and peers are not everyone's business: in a service's own folder, whose mode
    // says who may enter it, anyone who may enter may watch; elsewhere only the same user.
    server_.setSocketOptions(path.startsWith(QStringLiteral("/run/zelkfiles-"))
                                 ? QLocalServer::WorldAccessOption
                                 : QLocalServer::UserAccessOption);
    if (!server_.listen(path)) {
        error = path + QStringLiteral(": ") + server_.errorString();
        return false;
    }
    beat_.start();
    return true;
}

void WatchServer::accept() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        watchers_.push_back(socket);
        // What a watcher writes is read and forgotten.
        connect(socket, &QLocalSocket::readyRead, socket, [socket] { socket->readAll(); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
            std::erase(watchers_, socket);
            socket->deleteLater();
        });
        send(*socket, QJsonDocument(state_()).toJson(QJsonDocument::Compact) + '\n');
    }
}

void WatchServer::sendAll() {
    if (watchers_.empty()) {
        return;
    }
    const QByteArray line = QJsonDocument(state_()).toJson(QJsonDocument::Compact) + '\n';
    for (QLocalSocket* socket : std::vector<QLocalSocket*>(watchers_)) {
        send(*socket, line);
    }
}

void WatchServer::send(QLocalSocket& socket, const QByteArray& line) {
    if (socket.bytesToWrite() > kMaxBacklog) {
        socket.abort();
        return;
    }
    socket.write(line);
}

WatchLink::WatchLink(QString path, QObject* parent) : QObject(parent), path_(std::move(path)) {
    retry_.setSingleShot(true);
    retry_.setInterval(kRetryMs);
    connect(&retry_, &QTimer::timeout, this, &WatchLink::start);
    connect(&socket_, &QLocalSocket::readyRead, this, &WatchLink::readLines);
    connect(&socket_, &QLocalSocket::connected, this, &WatchLink::changed);
    connect(&socket_, &QLocalSocket::disconnected, this, &WatchLink::retryLater);
    connect(&socket_, &QLocalSocket::errorOccurred, this, &WatchLink::retryLater);
}

void WatchLink::start() {
    if (socket_.state() == QLocalSocket::UnconnectedState) {
        pending_.clear();
        socket_.connectToServer(path_, QIODevice::ReadOnly);
    }
}

void WatchLink::retryLater() {
    if (socket_.state() != QLocalSocket::UnconnectedState) {
        socket_.abort();
    }
    state_ = {};
    emit changed();
    if (!retry_.isActive()) {
        retry_.start();
    }
}

void WatchLink::readLines() {
    pending_ += socket_.readAll();
    const qsizetype end = pending_.lastIndexOf('\n');
    if (end < 0) {
        if (pending_.size() > kMaxLine) {
            retryLater();
        }
        return;
    }
    // Only the latest whole state matters.
    const qsizetype start = pending_.lastIndexOf('\n', end - 1) + 1;
    const QJsonDocument document = QJsonDocument::fromJson(pending_.mid(start, end - start));
    pending_.remove(0, end + 1);
    if (document.isObject()) {
        state_ = document.object();
        emit changed();
    }
}

} // namespace zelk
