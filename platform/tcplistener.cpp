#include "tcplistener.h"

#include "udpendpoint.h"

#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

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
// A connection that moves no byte for this long is closed: its peer is gone or never speaks.
constexpr std::chrono::minutes kIdleLimit{5};

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

int setOption(int fd, int level, int name, int value) {
    return ::setsockopt(fd, level, name, &value, sizeof value);
}

// One address only; an IPv6 one takes no IPv4 connection unless it is "::".
int listeningSocketOn(const QHostAddress& address, quint16 port) {
    sockaddr_storage at{};
    socklen_t length = 0;
    const int family = systemBindAddress(address, port, at, length);
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (family == AF_INET6) {
        setOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, address == QHostAddress::AnyIPv6 ? 0 : 1);
    }
    setOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), length) != 0) {
        const int bindError = errno;
        ::close(fd);
        errno = bindError;
        return -1;
    }
    return fd;
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

TcpListener::TcpListener(QObject* parent) : QObject(parent) {
    connect(&idleCheck_, &QTimer::timeout, this, &TcpListener::closeIdle);
    setIdleLimit(kIdleLimit);
}

TcpListener::~TcpListener() {
    closeListener();
    while (!connections_.empty()) {
        discard(connections_.begin()->first);
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
    const int fd =
        bindAddress_.isNull() ? listeningSocket(port) : listeningSocketOn(bindAddress_, port);
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
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int descriptor = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length,
                                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (descriptor >= 0) {
            adopt(descriptor, peer);
            continue;
        }
        const int error = errno;
        if (wouldBlock(error)) {
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

void TcpListener::adopt(int descriptor, const sockaddr_storage& peer) {
    const int index = freeIndex();
    if (index > kLargestIndex) {
        ::close(descriptor);
        return;
    }
    Connection& connection = connections_[index];
    connection.fd = descriptor;
    connection.peerAddress = QHostAddress(reinterpret_cast<const sockaddr*>(&peer));
    connection.peerPort = static_cast<quint16>(
        peer.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port)
                                   : ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port));
    connection.lastActive = std::chrono::steady_clock::now();
    connection.readable = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    connection.writable = new QSocketNotifier(descriptor, QSocketNotifier::Write, this);
    connection.writable->setEnabled(false);
    connect(connection.readable, &QSocketNotifier::activated, this, [this, index] {
        if (onDataArrival) {
            onDataArrival(index);
        }
    });
    connect(connection.writable, &QSocketNotifier::activated, this,
            [this, index] { drain(index); });
    if (!idleCheck_.isActive()) {
        idleCheck_.start();
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

qint64 TcpListener::receive(int index, char* into, std::size_t room) {
    Connection* connection = this->connection(index);
    if (connection == nullptr) {
        return kFailed;
    }
    if (room == 0 || connection->closing) {
        return 0;
    }
    ssize_t n = -1;
    do {
        n = ::recv(connection->fd, into, room, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return wouldBlock(errno) ? 0 : kFailed;
    }
    connection->lastActive = std::chrono::steady_clock::now();
    if (n == 0) {
        // The end of the stream stays readable: it is not reported again.
        connection->readable->setEnabled(false);
        return kPeerClosed;
    }
    return n;
}

bool TcpListener::send(int index, std::string_view bytes) {
    Connection* connection = this->connection(index);
    if (connection == nullptr) {
        return false;
    }
    if (connection->unsent.empty()) {
        ssize_t n = -1;
        do {
            n = ::send(connection->fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && !wouldBlock(errno)) {
            return false;
        }
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            connection->lastActive = std::chrono::steady_clock::now();
        }
    }
    if (!bytes.empty()) {
        connection->unsent.append(bytes);
        connection->writable->setEnabled(true);
    }
    return true;
}

bool TcpListener::mustWait(int index) {
    Connection* connection = this->connection(index);
    if (connection == nullptr || connection->unsent.size() <= kMaxUnsent) {
        return false;
    }
    connection->paused = true;
    connection->readable->setEnabled(false);
    return true;
}

// Sends what the system will take; a connection paused for its answers is read again once they
// are back under the bound, and one whose peer has closed its side is closed once they are gone.
void TcpListener::drain(int index) {
    Connection* connection = this->connection(index);
    if (connection == nullptr) {
        return;
    }
    std::string& unsent = connection->unsent;
    while (!unsent.empty()) {
        const ssize_t n =
            ::send(connection->fd, unsent.data(), unsent.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && wouldBlock(errno)) {
            break;
        }
        if (n < 0) {
            if (onError) {
                onError(index);
            }
            discard(index);
            return;
        }
        unsent.erase(0, static_cast<std::size_t>(n));
        connection->lastActive = std::chrono::steady_clock::now();
    }
    connection->writable->setEnabled(!unsent.empty());
    if (connection->closing && unsent.empty()) {
        discard(index);
    } else if (connection->paused && unsent.size() <= kMaxUnsent) {
        connection->paused = false;
        connection->readable->setEnabled(true);
        if (onDataArrival) {
            onDataArrival(index);
        }
    }
}

void TcpListener::finish(int index) {
    Connection* connection = this->connection(index);
    if (connection == nullptr) {
        return;
    }
    connection->closing = true;
    connection->readable->setEnabled(false);
    if (connection->unsent.empty()) {
        discard(index);
    }
}

void TcpListener::discard(int index) {
    const auto found = connections_.find(index);
    if (found == connections_.end()) {
        return;
    }
    Connection& connection = found->second;
    // The notifiers may be the very ones whose signal is being handled: they go later, disabled.
    for (QSocketNotifier* notifier : {connection.readable, connection.writable}) {
        notifier->setEnabled(false);
        notifier->disconnect(this);
        notifier->deleteLater();
    }
    ::close(connection.fd);
    connections_.erase(found);
    if (connections_.empty()) {
        idleCheck_.stop();
    }
}

void TcpListener::setIdleLimit(std::chrono::milliseconds limit) {
    idleLimit_ = limit;
    // Checked a few times per limit, so a connection goes between one and 1.25 limits idle.
    idleCheck_.setInterval(std::max(limit / 4, std::chrono::milliseconds(10)));
}

void TcpListener::closeIdle() {
    const auto now = std::chrono::steady_clock::now();
    std::vector<int> idle;
    for (const auto& [index, connection] : connections_) {
        if (now - connection.lastActive >= idleLimit_) {
            idle.push_back(index);
        }
    }
    for (const int index : idle) {
        if (onIdle) {
            onIdle(index);
        }
        discard(index);
    }
}

} // namespace zelk
