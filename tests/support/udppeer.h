#pragma once

// A raw UDP socket on a loopback address: a peer that speaks to a program or an engine as one on
// the network would. Its waits keep the calling thread's event loop turning, so that an engine
// running in the test's own thread answers while the peer waits.

#include <QHostAddress>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelktest {

struct Datagram {
    std::string bytes;
    QHostAddress from;
    quint16 fromPort = 0;
};

class UdpPeer {
public:
    // Bound to a free port of `at`: 127.0.0.1, ::1, or any address of either family.
    explicit UdpPeer(const QHostAddress& at = QHostAddress(QHostAddress::LocalHost));
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    quint16 port() const;
    // To `port` of the same loopback address.
    void send(quint16 port, std::string_view bytes) const;
    void sendTo(const QHostAddress& to, quint16 port, std::string_view bytes) const;
    // The next datagram within `limitMs`, or nothing.
    std::optional<std::string> receive(int limitMs) const;
    // The same with where it came from, so that an answer can go back to that very socket.
    std::optional<Datagram> receiveFrom(int limitMs) const;
    // Every datagram already waiting, without blocking and without the event loop.
    std::vector<std::string> drain() const;
    std::vector<Datagram> drainFrom() const;
    // Whether a datagram waits unread, asked of the system at once, without the event loop.
    bool waiting() const;

private:
    bool readableWithin(int limitMs) const;
    std::optional<Datagram> readOne() const;

    int fd_ = -1;
    bool ipv6_ = false;
};

} // namespace zelktest
