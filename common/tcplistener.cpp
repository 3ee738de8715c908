#include "tcplistener.h"

#include "codec.h"

#include <QTimer>

namespace zelk {
namespace {

constexpr int kLargestIndex = 32767;
// After a failed accept (out of descriptors, say) the listener rests this long instead of
// retrying in a tight loop; UDP goes on being served meanwhile.
constexpr int kAcceptPauseMs = 250;
// Connections that the system completes while the event loop is busy wait here; with the default
// of 50, a burst of peers overflows the queue and their handshakes stall for seconds.
constexpr int kListenBacklog = 1024;

} // namespace

TcpListener::TcpListener(QObject* parent) : QObject(parent) {
    server_.setListenBacklogSize(kListenBacklog);
    connect(&server_, &QTcpServer::newConnection, this, &TcpListener::acceptPending);
    connect(&server_, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        server_.pauseAccepting();
        QTimer::singleShot(kAcceptPauseMs, this, &TcpListener::relisten);
    });
}

TcpListener::~TcpListener() {
    for (auto& [index, connection] : connections_) {
        connection.socket->disconnect(this);
        delete connection.socket;
    }
}

bool TcpListener::listen(quint16 port, QString& error) {
    if (!server_.listen(QHostAddress::Any, port)) {
        error = server_.errorString();
        return false;
    }
    port_ = server_.serverPort();
    return true;
}

void TcpListener::relisten() {
    if (server_.isListening()) {
        server_.resumeAccepting();
        return;
    }
    server_.listen(QHostAddress::Any, port_);
}

int TcpListener::freeIndex() const {
    int index = 1;
    for (const auto& entry : connections_) {
        if (entry.first != index) {
            break;
        }
        ++index;
    }
    return index;
}

void TcpListener::acceptPending() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        const int index = freeIndex();
        if (index > kLargestIndex) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // Qt reads no more than one largest frame ahead; the rest waits in the kernel.
        socket->setReadBufferSize(static_cast<qint64>(kMaxFrame));
        connections_[index] = Connection{socket, {}};
        auto forward = [this, index, socket](const std::function<void(int)>& handler) {
            const auto found = connections_.find(index);
            if (found != connections_.end() && found->second.socket == socket && handler) {
                handler(index);
            }
        };
        connect(socket, &QTcpSocket::readyRead, this, [this, forward] { forward(onDataArrival); });
        connect(socket, &QTcpSocket::disconnected, this, [this, forward] { forward(onClose); });
        connect(socket, &QTcpSocket::errorOccurred, this,
                [this, forward](QAbstractSocket::SocketError) { forward(onError); });
        if (socket->bytesAvailable() > 0) {
            forward(onDataArrival);
        }
    }
}

TcpListener::Connection* TcpListener::connection(int index) {
    const auto found = connections_.find(index);
    return found == connections_.end() ? nullptr : &found->second;
}

void TcpListener::discard(int index) {
    const auto found = connections_.find(index);
    if (found == connections_.end()) {
        return;
    }
    QTcpSocket* socket = found->second.socket;
    connections_.erase(found);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

} // namespace zelk
