#pragma once

#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>
// Still brought in for the code that has always had them through this header.
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <span>
#include <string_view>
#include <sys/socket.h>
#include <vector>

namespace zelk {

// One UDP socket driven by the event loop. Each arrival is handed to the handler with the
// datagram's bytes and source; while the handler runs, reply() answers that very datagram, to its
// exact source address and port, from the address it was sent to.
//
// Every datagram costs one read into a buffer kept for the socket's life and, for an answer, one
// send; nothing is allocated per datagram while the peer stays the same. Where the system can,
// several datagrams of one sender arrive in one read (UDP_GRO), split here by the segment size the
// system reports, so the handler still sees each datagram on its own.
class UdpEndpoint : public QObject {
    Q_OBJECT
public:
    using Handler =
        std::function<void(std::string_view bytes, const QHostAddress& from, quint16 fromPort)>;

    explicit UdpEndpoint(QObject* parent = nullptr);
    ~UdpEndpoint() override;
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    // Binds on every address, IPv4 and IPv6 alike, or on the one address set before; port 0 lets
    // the system choose.
    bool bind(quint16 port, QString& error);
    // A null address (the default) is every address.
    void setBindAddress(const QHostAddress& address) { bindAddress_ = address; }
    quint16 localPort() const { return localPort_; }
    void setHandler(Handler handler) { handler_ = std::move(handler); }

    // Where the datagram being handled came from, and the local address it was sent to.
    struct Source {
        sockaddr_storage address{};
        socklen_t length = 0;
        bool have4 = false;
        in_pktinfo local4{};
        bool have6 = false;
        in6_pktinfo local6{};
    };
    // At most this many datagrams are handled per wake-up, then the batch ends.
    static constexpr int kBatch = 16;

    // Answers the datagram being handled; false when the send fails.
    bool reply(std::string_view bytes);
    // The source of the datagram being handled, for an answer sent later by replyTo(), as reply()
    // would have sent it.
    const Source& source() const { return current_; }
    bool replyTo(const Source& source, std::string_view bytes);
    // Called once the datagrams that were waiting at a wake-up have been handled.
    void setBatchEnd(std::function<void()> batchEnd) { batchEnd_ = std::move(batchEnd); }
    bool handling() const { return handling_; }
    bool sendTo(std::string_view bytes, const QHostAddress& to, quint16 port);
    // Several datagrams to one destination in as few system calls as the system allows: runs of
    // equal size as one segmented send (UDP_SEGMENT), the rest in one sendmmsg. Each is tried
    // once, as by sendTo(); returns how many left.
    std::size_t sendManyTo(std::span<const std::string_view> datagrams, const QHostAddress& to,
                           quint16 port);
    void close();

private:
    bool bindOne(quint16 port, QString& error);
    void adopt(int fd, int family);
    void readBatch();
    void handle(msghdr& message, std::size_t length);
    void deliver(std::string_view bytes);
    std::size_t sendSegmented(std::span<const std::string_view> datagrams);
    std::size_t sendEach(std::span<const std::string_view> datagrams);
    bool sendFrom(const Source& to, std::string_view bytes);
    void showSource();
    bool destinationFor(const QHostAddress& to, quint16 port);

    int fd_ = -1;
    int family_ = AF_UNSPEC;
    // Segmented sends until the system refuses one: a path or device may not take them.
    bool segmenting_ = false;
    QHostAddress bindAddress_;
    quint16 localPort_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
    Handler handler_;
    std::function<void()> batchEnd_;
    std::vector<char> buffer_; // kBatch datagrams of the largest size
    struct Batch;
    std::unique_ptr<Batch> batch_;

    // The datagram being handled: its source and the local address it was sent to.
    bool handling_ = false;
    Source current_{};

    // The source as the handler sees it, rebuilt only when it changes.
    sockaddr_storage shown_{};
    socklen_t shownLength_ = 0;
    QHostAddress from_;
    quint16 fromPort_ = 0;

    // The latest destination of sendTo(), kept in the system's form.
    QHostAddress to_;
    quint16 toPort_ = 0;
    sockaddr_storage toAddress_{};
    socklen_t toLength_ = 0;
};

// The system's form of one local address to bind, IPv4 or IPv6; returns its family.
int systemBindAddress(const QHostAddress& address, quint16 port, sockaddr_storage& out,
                      socklen_t& length);

// An IPv4 address carried as IPv4-mapped IPv6 is folded to plain IPv4.
QHostAddress plainAddress(const QHostAddress& address);
bool sameAddress(const QHostAddress& a, const QHostAddress& b);

} // namespace zelk
