#pragma once

// A running program offers what its window would show on a local socket, so that a window started
// with --watch can show a headless service of the same configuration. The service writes; it reads
// nothing from a watcher but the end of its connection. Each message is one line of JSON, the
// whole state, sent to a new watcher at once and to every watcher once a second.

#include "cli.h"

#include <QByteArray>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zelk {

// Where the program of this configuration offers its state: in /run/zelkfiles-serveur or
// /run/zelkfiles-client when that folder exists (a systemd unit makes it), otherwise in
// $XDG_RUNTIME_DIR or the temporary folder; the name holds a digest of the configuration's
// absolute path, so that each configuration has its own.
QString watchSocketPath(Program program, const std::string& configPath);

class WatchServer : public QObject {
public:
    static constexpr int kEveryMs = 1000;
    // A watcher that does not read is dropped rather than let its backlog grow.
    static constexpr qint64 kMaxBacklog = 8 * 1024 * 1024;

    explicit WatchServer(std::function<QJsonObject()> state, QObject* parent = nullptr);
    // False, with the cause in `error`, when the socket cannot be offered; another live program
    // of the same configuration keeps its socket.
    bool listen(const QString& path, QString& error);
    int watchers() const { return static_cast<int>(watchers_.size()); }

private:
    void accept();
    void sendAll();
    void send(QLocalSocket& socket, const QByteArray& line);

    std::function<QJsonObject()> state_;
    QLocalServer server_;
    QTimer beat_;
    std::vector<QLocalSocket*> watchers_;
};

// The watching side: connects, and connects again while the service is away.
class WatchLink : public QObject {
    Q_OBJECT
public:
    static constexpr int kRetryMs = 2000;
    // A state larger than this is not one a service sends.
    static constexpr qsizetype kMaxLine = 64 * 1024 * 1024;

    explicit WatchLink(QString path, QObject* parent = nullptr);
    void start();
    bool connected() const { return socket_.state() == QLocalSocket::ConnectedState; }
    // The latest state received; empty before the first.
    const QJsonObject& state() const { return state_; }
    const QString& path() const { return path_; }

signals:
    void changed(); // a new state, or the link came or went

private:
    void readLines();
    void retryLater();

    QString path_;
    QLocalSocket socket_;
    QTimer retry_;
    QByteArray pending_;
    QJsonObject state_;
};

} // namespace zelk
