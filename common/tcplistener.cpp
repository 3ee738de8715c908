#include "tcplistener.h"

#include "codec.h"

#include <QTimer>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zelk {
namespace {

constexpr int kLargestIndex = 32767;
// After a failed accept (out of descriptors, say) the listener rests this long instead of
// retrying in a tight loop; UDP goes on being served meanwhile. The socket is accepted from here
// rather than through QTcpServer, which takes running out of descriptors for a passing error and
// tries again at once, for ever.
constexpr int kAcceptPauseMs = 250;
// Connections that the system completes while the event loop is busy wait here; with the default
// of 50, a burst of peers overflows the queue and their handshakes stall for seconds.
constexpr int kListenBacklog = 1024;

int setOption(int fd, int level, int name, int value) {
    return ::setsockopt(fd, level, name, &value, sizeof value);
}

// Every address, IPv4 and IPv6 alike, or IPv4 alone on a system without IPv6.
int listeningSocket(quint16 port) {
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        setOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 0);
        setOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
        sockaddr_in6 any{};
        any.sin6_family = AF_INET6;
        any.sin6_addr = in6addr_any;
        any.sin6_port = htons(port);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0) {
            return fd;
        }
        const int bindError = errno;
        ::close(fd);
        if (bindError != EAFNOSUPPORT && bindError != EADDRNOTAVAIL) {
            errno = bindError;
            return -1;
        }
    }
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    setOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        const int bindError = errno;
        ::close(fd);
        errno = bindError;
        return -1;
    }
    return fd;
}

quint16 boundPort(int fd) {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    if (bound.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
}

bool outOfResources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// The connection went before it could be taken; the next one may be fine.
bool connectionGone(int error) {
    return error == ECONNABORTED || error == EPROTO || error == EPERM || error == EINTR;
}

} // namespace

TcpListener::TcpListener(QObject* parent) : QObject(parent) {}

TcpListener::~TcpListener() {
    closeListener();
    for (auto& [index, connection] : connections_) {
        connection.socket->disconnect(this);
        delete connection.socket;
    }
}

bool TcpListener::listen(quint16 port, QString& error) {
    if (!openListener(port, error)) {
        return false;
    }
    port_ = boundPort(listenFd_);
    return true;
}

bool TcpListener::openListener(quint16 port, QString& error) {
    closeListener();
    const int fd = listeningSocket(port);
    if (fd < 0 || ::listen(fd, kListenBacklog) != 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    listenFd_ = fd;
    acceptNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(acceptNotifier_.get(), &QSocketNotifier::activated, this, &TcpListener::acceptPending);
    return true;
}

void TcpListener::closeListener() {
    acceptNotifier_.reset();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
}

void TcpListener::pauseAccepting() {
    acceptNotifier_->setEnabled(false);
    QTimer::singleShot(kAcceptPauseMs, this, &TcpListener::relisten);
}

// After a pause: accept again, or listen anew on the same port if the listener itself failed.
void TcpListener::relisten() {
    if (listenFd_ >= 0) {
        acceptNotifier_->setEnabled(true);
        return;
    }
    QString error;
    if (!openListener(port_, error)) {
        QTimer::singleShot(kAcceptPauseMs, this, &TcpListener::relisten);
    }
}

void TcpListener::acceptPending() {
    for (;;) {
        const int descriptor = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (descriptor >= 0) {
            adopt(descriptor);
            continue;
        }
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            return;
        }
        if (connectionGone(error)) {
            continue;
        }
        if (!outOfResources(error)) {
            // The listener itself failed: it is made anew after the pause (not here, inside its
            // own notifier's signal).
            ::close(listenFd_);
            listenFd_ = -1;
        }
        pauseAccepting();
        return;
    }
}

void TcpListener::adopt(int descriptor) {
    const int index = freeIndex();
    auto* socket = new QTcpSocket;
    if (index > kLargestIndex || !socket->setSocketDescriptor(descriptor)) {
        ::close(descriptor);
        delete socket;
        return;
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
