#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace zelk {

// The listening TCP socket and its accepted connections, kept in an indexed set: index 0 is the
// listener, every connection takes the lowest free index from 1 up. Events come back with the
// connection's index, on the one event thread.
class TcpListener : public QObject {
    Q_OBJECT
public:
    struct Connection {
        QTcpSocket* socket = nullptr;
        std::string gathered; // bytes received and not yet cut into frames
    };

    explicit TcpListener(QObject* parent = nullptr);
    ~TcpListener() override;

    bool listen(quint16 port, QString& error);
    quint16 localPort() const { return port_; }

    std::function<void(int index)> onDataArrival;
    std::function<void(int index)> onClose;
    std::function<void(int index)> onError;

    Connection* connection(int index);
    // Closes and discards a connection; its index becomes free.
    void discard(int index);
    int count() const { return static_cast<int>(connections_.size()) + 1; }

private:
    bool openListener(quint16 port, QString& error);
    void closeListener();
    void acceptPending();
    void adopt(int descriptor);
    void pauseAccepting();
    void relisten();
    int freeIndex() const;

    int listenFd_ = -1;
    std::unique_ptr<QSocketNotifier> acceptNotifier_;
    quint16 port_ = 0;
    std::map<int, Connection> connections_;
};

} // namespace zelk
