#include "udppeer.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace zelktest {
namespace {

sockaddr_storage socketAddress(bool ipv6, const QHostAddress& to, quint16 port, socklen_t& length) {
    sockaddr_storage address{};
    if (ipv6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
        in6.sin6_family = AF_INET6;
        const Q_IPV6ADDR bytes = to.toIPv6Address(); // an IPv4 address comes mapped
        std::memcpy(&in6.sin6_addr, bytes.c, sizeof bytes.c);
        in6.sin6_port = htons(port);
        length = sizeof in6;
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(address);
        in4.sin_family = AF_INET;
        in4.sin_addr.s_addr = htonl(to.toIPv4Address());
        in4.sin_port = htons(port);
        length = sizeof in4;
    }
    return address;
}

quint16 portIn(const sockaddr_storage& address) {
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                     : reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

// Whether this thread runs the application's event loop, which must keep turning during waits.
bool onEventLoopThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

} // namespace

UdpPeer::UdpPeer(const QHostAddress& at) : ipv6_(at.protocol() != QAbstractSocket::IPv4Protocol) {
    fd_ = ::socket(ipv6_ ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int v6only = at == QHostAddress::Any ? 0 : 1; // any: both families on one socket
    if (ipv6_) {
        ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    }
    const QHostAddress bindAt = at == QHostAddress::Any ? QHostAddress(QHostAddress::AnyIPv6) : at;
    socklen_t length = 0;
    const sockaddr_storage address = socketAddress(ipv6_, bindAt, 0, length);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        throw std::runtime_error("cannot bind the test peer");
    }
    const int buffer = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
}

UdpPeer::~UdpPeer() {
    ::close(fd_);
}

quint16 UdpPeer::port() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    return portIn(address);
}

void UdpPeer::send(quint16 port, std::string_view bytes) const {
    sendTo(QHostAddress(ipv6_ ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost), port,
           bytes);
}

void UdpPeer::sendTo(const QHostAddress& to, quint16 port, std::string_view bytes) const {
    socklen_t length = 0;
    const sockaddr_storage address = socketAddress(ipv6_, to, port, length);
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
             length);
}

bool UdpPeer::waiting() const {
    pollfd readable{fd_, POLLIN, 0};
    return ::poll(&readable, 1, 0) > 0;
}

bool UdpPeer::readableWithin(int limitMs) const {
    if (waiting() || limitMs <= 0) {
        return waiting();
    }
    if (!onEventLoopThread()) {
        pollfd readable{fd_, POLLIN, 0};
        return ::poll(&readable, 1, limitMs) > 0;
    }
    // The event loop sleeps until the socket or anything else of the test's needs it.
    QEventLoop loop;
    QSocketNotifier notifier(static_cast<qintptr>(fd_), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
    loop.exec();
    return waiting();
}

std::optional<std::string> UdpPeer::receive(int limitMs) const {
    auto datagram = receiveFrom(limitMs);
    if (!datagram) {
        return std::nullopt;
    }
    return std::move(datagram->bytes);
}

std::optional<Datagram> UdpPeer::receiveFrom(int limitMs) const {
    return readableWithin(limitMs) ? readOne() : std::nullopt;
}

std::optional<Datagram> UdpPeer::readOne() const {
    Datagram datagram;
    datagram.bytes.resize(65536);
    sockaddr_storage source{};
    socklen_t length = sizeof source;
    const ssize_t n = ::recvfrom(fd_, datagram.bytes.data(), datagram.bytes.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&source), &length);
    if (n < 0) {
        return std::nullopt;
    }
    datagram.bytes.resize(static_cast<std::size_t>(n));
    datagram.from = QHostAddress(reinterpret_cast<const sockaddr*>(&source));
    datagram.fromPort = portIn(source);
    return datagram;
}

std::vector<Datagram> UdpPeer::drainFrom() const {
    std::vector<Datagram> all;
    while (auto datagram = readOne()) {
        all.push_back(std::move(*datagram));
    }
    return all;
}

std::vector<std::string> UdpPeer::drain() const {
    std::vector<std::string> all;
    for (Datagram& datagram : drainFrom()) {
        all.push_back(std::move(datagram.bytes));
    }
    return all;
}

} // namespace zelktest
