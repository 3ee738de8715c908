#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <stdexcept>
#include <vector>

namespace guitest {

// Sits between one client and the server on loopback and passes the client's first datagrams
// on; from then on it holds what the client sends until release(). With one frame in flight the
// transfer then stands still at a known position, for as long as the test looks at it.
class HoldingRelay {
public:
    HoldingRelay(quint16 serverPort, int datagramsToPass)
        : serverPort_(serverPort), allowance_(datagramsToPass) {
        if (!clientSide_.bind(QHostAddress::LocalHost, 0) ||
            !serverSide_.bind(QHostAddress::LocalHost, 0)) {
            throw std::runtime_error("relay cannot bind");
        }
        QObject::connect(&clientSide_, &QUdpSocket::readyRead, [this] { fromClient(); });
        QObject::connect(&serverSide_, &QUdpSocket::readyRead, [this] { fromServer(); });
    }

    // Where the client sends, and where the server sees it come from.
    quint16 clientSidePort() const { return clientSide_.localPort(); }
    quint16 serverSidePort() const { return serverSide_.localPort(); }
    std::size_t held() const { return held_.size(); }

    // Forgets what it holds (as a link that lost it) and passes everything from now on.
    void forgetHeld() {
        holding_ = false;
        held_.clear();
    }

    void release() {
        holding_ = false;
        for (const QByteArray& datagram : held_) {
            toServer(datagram);
        }
        held_.clear();
    }

private:
    void fromClient() {
        while (clientSide_.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = clientSide_.receiveDatagram();
            clientAddress_ = datagram.senderAddress();
            clientPort_ = static_cast<quint16>(datagram.senderPort());
            if (holding_ && allowance_ == 0) {
                held_.push_back(datagram.data());
                continue;
            }
            if (allowance_ > 0) {
                --allowance_;
            }
            toServer(datagram.data());
        }
    }

    void fromServer() {
        while (serverSide_.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = serverSide_.receiveDatagram();
            clientSide_.writeDatagram(datagram.data(), clientAddress_, clientPort_);
        }
    }

    void toServer(const QByteArray& datagram) {
        serverSide_.writeDatagram(datagram, QHostAddress::LocalHost, serverPort_);
    }

    QUdpSocket clientSide_;
    QUdpSocket serverSide_;
    quint16 serverPort_;
    int allowance_;
    bool holding_ = true;
    QHostAddress clientAddress_;
    quint16 clientPort_ = 0;
    std::vector<QByteArray> held_;
};

} // namespace guitest
