#pragma once

#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <sys/socket.h>

namespace zelk {

// The listening TCP socket and its accepted connections, kept in an indexed set: index 0 is the
// listener, every connection takes the lowest free index from 1 up. Events come back with the
// connection's index, on the one event thread. Connections are plain non-blocking sockets, so
// that a peer that closes its sending side still gets every answer, and one that reads no
// answers stops being read instead of making the server hold them all.
class TcpListener : public QObject {
    Q_OBJECT
public:
    // A connection holding more unsent answers than this is not read until they drain.
    static constexpr std::size_t kMaxUnsent = 64 * 1024;
    // What `receive` reports besides a count of bytes.
    static constexpr qint64 kPeerClosed = -1;
    static constexpr qint64 kFailed = -2;

    struct Connection {
        int fd = -1;
        QHostAddress peerAddress;
        quint16 peerPort = 0;
        std::string gathered; // bytes received and not yet cut into frames
        std::string unsent;   // answers the system has not taken yet
        bool paused = false;  // not read while its answers wait
        bool closing = false; // the peer closed its side: closed once the answers are sent
        std::chrono::steady_clock::time_point lastActive;
        QSocketNotifier* readable = nullptr;
        QSocketNotifier* writable = nullptr;
    };

    explicit TcpListener(QObject* parent = nullptr);
    ~TcpListener() override;

    bool listen(quint16 port, QString& error);
    quint16 localPort() const { return port_; }
    // A null address (the default) is every address, IPv4 and IPv6.
    void setBindAddress(const QHostAddress& address) { bindAddress_ = address; }

    std::function<void(int index)> onDataArrival;
    std::function<void(int index)> onError;
    // A connection that moved no byte either way for the idle limit; closed after the call.
    std::function<void(int index)> onIdle;

    Connection* connection(int index);
    // Reads what waits, at most `room` bytes: the count (0 when nothing waits), kPeerClosed once
    // the peer has closed its side, or kFailed.
    qint64 receive(int index, char* into, std::size_t room);
    // Sends an answer; what the system does not take yet is kept and sent as it drains. False
    // when the connection has failed.
    bool send(int index, std::string_view bytes);
    // True while the connection's unsent answers are over kMaxUnsent: it is not read meanwhile.
    bool mustWait(int index);
    // The peer closed its side: the connection is closed once its answers are sent.
    void finish(int index);
    // Closes and discards a connection at once; its index becomes free.
    void discard(int index);
    int count() const { return static_cast<int>(connections_.size()) + 1; }

    // Connections that move no byte for this long are closed (a few minutes unless a test says).
    void setIdleLimit(std::chrono::milliseconds limit);

private:
    bool openListener(quint16 port, QString& error);
    void closeListener();
    void acceptPending();
    void adopt(int descriptor, const sockaddr_storage& peer);
    void pauseAccepting();
    void relisten();
    int freeIndex() const;
    void drain(int index);
    void closeIdle();

    int listenFd_ = -1;
    std::unique_ptr<QSocketNotifier> acceptNotifier_;
    quint16 port_ = 0;
    QHostAddress bindAddress_;
    std::map<int, Connection> connections_;
    std::chrono::milliseconds idleLimit_;
    QTimer idleCheck_;
};

} // namespace zelk
