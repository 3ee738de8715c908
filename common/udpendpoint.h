#pragma once

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QObject>
#include <QUdpSocket>
#include <functional>
#include <string_view>

namespace zelk {

// One UDP socket driven by the event loop. Each arrival is handed to the handler with the
// datagram's bytes and source; while the handler runs, reply() answers that very datagram, to its
// exact source address and port, from the address it was sent to.
class UdpEndpoint : public QObject {
    Q_OBJECT
public:
    using Handler =
        std::function<void(std::string_view bytes, const QHostAddress& from, quint16 fromPort)>;

    explicit UdpEndpoint(QObject* parent = nullptr);

    // Binds on every address, IPv4 and IPv6 alike; port 0 lets the system choose.
    bool bind(quint16 port, QString& error);
    quint16 localPort() const { return socket_.localPort(); }
    void setHandler(Handler handler) { handler_ = std::move(handler); }

    // Answers the datagram being handled; false when the send fails.
    bool reply(std::string_view bytes);
    bool sendTo(std::string_view bytes, const QHostAddress& to, quint16 port);

    QUdpSocket& socket() { return socket_; }

private:
    void readPending();

    QUdpSocket socket_;
    Handler handler_;
    QNetworkDatagram current_;
    bool handling_ = false;
};

// An IPv4 address carried as IPv4-mapped IPv6 is folded to plain IPv4.
QHostAddress plainAddress(const QHostAddress& address);
bool sameAddress(const QHostAddress& a, const QHostAddress& b);

} // namespace zelk
