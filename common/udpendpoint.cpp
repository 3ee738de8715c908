#include "udpendpoint.h"

namespace zelk {

UdpEndpoint::UdpEndpoint(QObject* parent) : QObject(parent) {
    connect(&socket_, &QUdpSocket::readyRead, this, &UdpEndpoint::readPending);
}

bool UdpEndpoint::bind(quint16 port, QString& error) {
    if (!socket_.bind(QHostAddress::Any, port)) {
        error = socket_.errorString();
        return false;
    }
    return true;
}

void UdpEndpoint::readPending() {
    while (socket_.hasPendingDatagrams()) {
        // A failed read is nothing received.
        QNetworkDatagram datagram = socket_.receiveDatagram();
        if (!datagram.isValid()) {
            continue;
        }
        current_ = std::move(datagram);
        handling_ = true;
        if (handler_) {
            const QByteArray& data = current_.data();
            handler_(std::string_view(data.constData(), static_cast<std::size_t>(data.size())),
                     current_.senderAddress(), static_cast<quint16>(current_.senderPort()));
        }
        handling_ = false;
    }
}

bool UdpEndpoint::reply(std::string_view bytes) {
    if (!handling_) {
        return false;
    }
    const QByteArray payload(bytes.data(), static_cast<qsizetype>(bytes.size()));
    return socket_.writeDatagram(current_.makeReply(payload)) >= 0;
}

bool UdpEndpoint::sendTo(std::string_view bytes, const QHostAddress& to, quint16 port) {
    return socket_.writeDatagram(bytes.data(), static_cast<qint64>(bytes.size()), to, port) >= 0;
}

QHostAddress plainAddress(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

bool sameAddress(const QHostAddress& a, const QHostAddress& b) {
    return plainAddress(a) == plainAddress(b);
}

} // namespace zelk
