#include "udpendpoint.h"

#include "codec.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <netinet/udp.h>
#include <unistd.h>

namespace zelk {
namespace {

// Larger than any UDP datagram, so that no datagram is ever cut short.
constexpr std::size_t kReadBufferBytes = 65536;
// Room for many datagrams of the largest frame: several clients answered in turn, or a burst
// while the event thread is busy, must not overflow the socket. The system caps it at its own
// maximum.
constexpr int kSocketBufferBytes = 4 * 1024 * 1024;
constexpr std::size_t kControlBytes =
    CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(int));
// The system takes at most 64 segments in one send, and no more bytes than one UDP datagram.
constexpr std::size_t kMostSegments = 64;
constexpr std::size_t kMostSegmentedBytes = kLargestDatagram;
// Datagrams handed to one sendmmsg call.
constexpr std::size_t kMostPerCall = 64;

void setOption(int fd, int level, int name, int value) {
    ::setsockopt(fd, level, name, &value, sizeof value);
}

bool bindAny(int fd, int family, quint16 port) {
    if (family == AF_INET6) {
        sockaddr_in6 any{};
        any.sin6_family = AF_INET6;
        any.sin6_addr = in6addr_any;
        any.sin6_port = htons(port);
        return ::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
    }
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(port);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
}

quint16 boundPort(int fd) {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        return 0;
    }
    const auto& asV6 = reinterpret_cast<const sockaddr_in6&>(bound);
    const auto& asV4 = reinterpret_cast<const sockaddr_in&>(bound);
    return ntohs(bound.ss_family == AF_INET6 ? asV6.sin6_port : asV4.sin_port);
}

// Datagrams to an IPv4 address leave a dual-stack socket as IPv4-mapped IPv6.
bool toSystemAddress(int family, const QHostAddress& to, quint16 port, sockaddr_storage& out,
                     socklen_t& length) {
    out = sockaddr_storage{};
    bool isV4 = false;
    const quint32 v4 = to.toIPv4Address(&isV4);
    if (family == AF_INET) {
        auto& sin = reinterpret_cast<sockaddr_in&>(out);
        sin.sin_family = AF_INET;
        sin.sin_port = htons(port);
        sin.sin_addr.s_addr = htonl(v4);
        length = sizeof sin;
        return isV4;
    }
    auto& sin6 = reinterpret_cast<sockaddr_in6&>(out);
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(port);
    length = sizeof sin6;
    if (isV4) {
        sin6.sin6_addr.s6_addr[10] = 0xff;
        sin6.sin6_addr.s6_addr[11] = 0xff;
        const quint32 network = htonl(v4);
        std::memcpy(&sin6.sin6_addr.s6_addr[12], &network, sizeof network);
        return true;
    }
    if (to.protocol() != QAbstractSocket::IPv6Protocol) {
        return false;
    }
    const Q_IPV6ADDR v6 = to.toIPv6Address();
    std::memcpy(sin6.sin6_addr.s6_addr, v6.c, sizeof v6.c);
    const QString scope = to.scopeId();
    if (!scope.isEmpty()) {
        bool numeric = false;
        const uint index = scope.toUInt(&numeric);
        sin6.sin6_scope_id = numeric ? index : ::if_nametoindex(scope.toLatin1().constData());
    }
    return true;
}

bool canSegment(int fd) {
    int size = 0;
    socklen_t length = sizeof size;
    return ::getsockopt(fd, SOL_UDP, UDP_SEGMENT, &size, &length) == 0;
}

// How many datagrams from the first can leave as one segmented send: all of the first's size,
// the last possibly shorter.
std::size_t segmentRun(std::span<const std::string_view> datagrams) {
    const std::size_t size = datagrams.front().size();
    if (size == 0 || 2 * size > kMostSegmentedBytes) {
        return 1;
    }
    std::size_t count = 0;
    std::size_t bytes = 0;
    while (count < datagrams.size() && count < kMostSegments &&
           bytes + datagrams[count].size() <= kMostSegmentedBytes &&
           datagrams[count].size() <= size) {
        bytes += datagrams[count].size();
        if (datagrams[count++].size() < size) {
            break;
        }
    }
    return count;
}

// A refusal that says the path or device cannot take segmented sends, not a passing fault.
bool segmentingRefused(int error) {
    return error == EIO || error == EINVAL || error == EOPNOTSUPP || error == ENOPROTOOPT ||
           error == EMSGSIZE;
}

} // namespace

// Where recvmmsg() puts each datagram's source and ancillary data.
struct UdpEndpoint::Batch {
    mmsghdr headers[kBatch]{};
    iovec iov[kBatch]{};
    sockaddr_storage from[kBatch]{};
    alignas(cmsghdr) char control[kBatch][kControlBytes]{};
};

UdpEndpoint::UdpEndpoint(QObject* parent)
    : QObject(parent), buffer_(kBatch * kReadBufferBytes), batch_(std::make_unique<Batch>()) {}

UdpEndpoint::~UdpEndpoint() {
    close();
}

int systemBindAddress(const QHostAddress& address, quint16 port, sockaddr_storage& out,
                      socklen_t& length) {
    const QHostAddress plain = plainAddress(address);
    if (plain.protocol() == QAbstractSocket::IPv4Protocol) {
        toSystemAddress(AF_INET, plain, port, out, length);
        return AF_INET;
    }
    toSystemAddress(AF_INET6, plain, port, out, length);
    return AF_INET6;
}

bool UdpEndpoint::bind(quint16 port, QString& error) {
    close();
    if (!bindAddress_.isNull()) {
        return bindOne(port, error);
    }
    int family = AF_INET6;
    int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        // A system without IPv6 still serves IPv4.
        family = AF_INET;
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    }
    if (fd < 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (family == AF_INET6) {
        setOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 0);
        setOption(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, 1);
    }
    // Tells which local address each datagram was sent to, so the answer leaves from it.
    setOption(fd, IPPROTO_IP, IP_PKTINFO, 1);
    if (!bindAny(fd, family, port)) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return false;
    }
    adopt(fd, family);
    return true;
}

// One address only: an IPv6 one takes no IPv4 traffic unless it is "::".
bool UdpEndpoint::bindOne(quint16 port, QString& error) {
    sockaddr_storage at{};
    socklen_t length = 0;
    const int family = systemBindAddress(bindAddress_, port, at, length);
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (family == AF_INET6) {
        setOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, bindAddress_ == QHostAddress::AnyIPv6 ? 0 : 1);
        setOption(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, 1);
    }
    setOption(fd, IPPROTO_IP, IP_PKTINFO, 1);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), length) != 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return false;
    }
    adopt(fd, family);
    return true;
}

void UdpEndpoint::adopt(int fd, int family) {
    setOption(fd, SOL_SOCKET, SO_RCVBUF, kSocketBufferBytes);
    setOption(fd, SOL_SOCKET, SO_SNDBUF, kSocketBufferBytes);
    // Both are optional: an older system simply sends and reads one datagram at a time.
    segmenting_ = canSegment(fd);
    setOption(fd, SOL_UDP, UDP_GRO, 1);
    fd_ = fd;
    family_ = family;
    localPort_ = boundPort(fd);
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &UdpEndpoint::readBatch);
}

void UdpEndpoint::close() {
    notifier_.reset();
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
    localPort_ = 0;
    toLength_ = 0;
}

// Up to kBatch datagrams per wake-up, in one system call: fewer trips through the event loop when
// they come fast, while other sockets and timers still get their turn soon (the loop comes back at
// once while more wait).
void UdpEndpoint::readBatch() {
    Batch& batch = *batch_;
    for (int i = 0; i < kBatch; ++i) {
        batch.iov[i] = iovec{buffer_.data() + static_cast<std::size_t>(i) * kReadBufferBytes,
                             kReadBufferBytes};
        msghdr& message = batch.headers[i].msg_hdr;
        message = msghdr{};
        message.msg_name = &batch.from[i];
        message.msg_namelen = sizeof batch.from[i];
        message.msg_iov = &batch.iov[i];
        message.msg_iovlen = 1;
        message.msg_control = batch.control[i];
        message.msg_controllen = kControlBytes;
    }
    int received = -1;
    do {
        received = ::recvmmsg(fd_, batch.headers, kBatch, MSG_DONTWAIT, nullptr);
    } while (received < 0 && errno == EINTR);
    for (int i = 0; i < received && fd_ >= 0; ++i) {
        handle(batch.headers[i].msg_hdr, batch.headers[i].msg_len);
    }
    if (received > 0 && batchEnd_) {
        batchEnd_();
    }
}

void UdpEndpoint::handle(msghdr& message, std::size_t length) {
    Source& from = current_;
    from.length = message.msg_namelen;
    std::memcpy(&from.address, message.msg_name,
                std::min<std::size_t>(from.length, sizeof from.address));
    from.have4 = false;
    from.have6 = false;
    int segment = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            std::memcpy(&from.local4, CMSG_DATA(c), sizeof from.local4);
            from.have4 = true;
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            std::memcpy(&from.local6, CMSG_DATA(c), sizeof from.local6);
            from.have6 = true;
        } else if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
            std::memcpy(&segment, CMSG_DATA(c), sizeof segment);
        }
    }
    showSource();
    const auto* bytes = static_cast<const char*>(message.msg_iov->iov_base);
    const std::size_t step = segment > 0 ? static_cast<std::size_t>(segment) : length;
    std::size_t at = 0;
    do {
        deliver(std::string_view(bytes + at, std::min(step, length - at)));
        at += step;
    } while (at < length && fd_ >= 0);
}

void UdpEndpoint::deliver(std::string_view bytes) {
    handling_ = true;
    if (handler_) {
        handler_(bytes, from_, fromPort_);
    }
    handling_ = false;
}

// The handler gets the source as plain IPv4 when it is IPv4 (never IPv4-mapped IPv6).
void UdpEndpoint::showSource() {
    if (current_.length == shownLength_ &&
        std::memcmp(&current_.address, &shown_, current_.length) == 0) {
        return;
    }
    std::memcpy(&shown_, &current_.address, current_.length);
    shownLength_ = current_.length;
    from_.setAddress(reinterpret_cast<const sockaddr*>(&current_.address));
    bool isV4 = false;
    const quint32 v4 = from_.toIPv4Address(&isV4);
    if (isV4 && from_.protocol() != QAbstractSocket::IPv4Protocol) {
        from_.setAddress(v4);
    }
    const auto& asV6 = reinterpret_cast<const sockaddr_in6&>(current_.address);
    const auto& asV4 = reinterpret_cast<const sockaddr_in&>(current_.address);
    fromPort_ = ntohs(current_.address.ss_family == AF_INET6 ? asV6.sin6_port : asV4.sin_port);
}

bool UdpEndpoint::reply(std::string_view bytes) {
    if (!handling_ || fd_ < 0) {
        return false;
    }
    return sendFrom(current_, bytes);
}

bool UdpEndpoint::replyTo(const Source& source, std::string_view bytes) {
    if (fd_ < 0 || source.length == 0) {
        return false;
    }
    return sendFrom(source, bytes);
}

bool UdpEndpoint::sendFrom(const Source& to, std::string_view bytes) {
    iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) char control[kControlBytes] = {};
    msghdr message{};
    message.msg_name = const_cast<sockaddr_storage*>(&to.address);
    message.msg_namelen = to.length;
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    if (to.have4) {
        // The system's own choice of local address for this datagram: the address it was sent
        // to, or a proper one of ours when it was sent to a broadcast or multicast address.
        in_pktinfo from{};
        from.ipi_spec_dst = to.local4.ipi_spec_dst;
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof from);
        std::memcpy(CMSG_DATA(c), &from, sizeof from);
        message.msg_controllen = CMSG_SPACE(sizeof from);
    } else if (to.have6 && !IN6_IS_ADDR_MULTICAST(&to.local6.ipi6_addr)) {
        c->cmsg_level = IPPROTO_IPV6;
        c->cmsg_type = IPV6_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof to.local6);
        std::memcpy(CMSG_DATA(c), &to.local6, sizeof to.local6);
        message.msg_controllen = CMSG_SPACE(sizeof to.local6);
    } else {
        message.msg_control = nullptr;
        message.msg_controllen = 0;
    }
    ssize_t sent = -1;
    do {
        sent = ::sendmsg(fd_, &message, 0);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(bytes.size());
}

bool UdpEndpoint::destinationFor(const QHostAddress& to, quint16 port) {
    if (toLength_ != 0 && port == toPort_ && to == to_ && to.scopeId() == to_.scopeId()) {
        return true;
    }
    toLength_ = 0;
    if (!toSystemAddress(family_, to, port, toAddress_, toLength_)) {
        toLength_ = 0;
        return false;
    }
    to_ = to;
    toPort_ = port;
    return true;
}

bool UdpEndpoint::sendTo(std::string_view bytes, const QHostAddress& to, quint16 port) {
    if (fd_ < 0 || !destinationFor(to, port)) {
        return false;
    }
    ssize_t sent = -1;
    do {
        sent = ::sendto(fd_, bytes.data(), bytes.size(), 0,
                        reinterpret_cast<const sockaddr*>(&toAddress_), toLength_);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(bytes.size());
}

std::size_t UdpEndpoint::sendManyTo(std::span<const std::string_view> datagrams,
                                    const QHostAddress& to, quint16 port) {
    if (fd_ < 0 || datagrams.empty() || !destinationFor(to, port)) {
        return 0;
    }
    if (!segmenting_) {
        return sendEach(datagrams);
    }
    std::size_t sent = 0;
    std::size_t at = 0;
    while (at < datagrams.size()) {
        const auto rest = datagrams.subspan(at);
        const std::size_t run = segmentRun(rest);
        const std::size_t done = run > 1 ? sendSegmented(rest.first(run)) : sendEach(rest.first(1));
        if (!segmenting_) {
            // Refused: this and every later send go one datagram per message.
            return sent + sendEach(rest);
        }
        sent += done;
        at += run;
    }
    return sent;
}

// One send the system cuts into datagrams of the first one's size; all of them leave, or none.
std::size_t UdpEndpoint::sendSegmented(std::span<const std::string_view> datagrams) {
    iovec iov[kMostSegments];
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        iov[i] = iovec{const_cast<char*>(datagrams[i].data()), datagrams[i].size()};
    }
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
    msghdr message{};
    message.msg_name = &toAddress_;
    message.msg_namelen = toLength_;
    message.msg_iov = iov;
    message.msg_iovlen = datagrams.size();
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    const auto size = static_cast<std::uint16_t>(datagrams.front().size());
    std::memcpy(CMSG_DATA(c), &size, sizeof size);
    ssize_t sent = -1;
    do {
        sent = ::sendmsg(fd_, &message, 0);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0 && segmentingRefused(errno)) {
        segmenting_ = false;
    }
    return sent > 0 ? datagrams.size() : 0;
}

// One sendmmsg call for up to kMostPerCall datagrams; one that fails is skipped and the rest go on.
std::size_t UdpEndpoint::sendEach(std::span<const std::string_view> datagrams) {
    mmsghdr headers[kMostPerCall];
    iovec iov[kMostPerCall];
    std::size_t sent = 0;
    std::size_t at = 0;
    while (at < datagrams.size()) {
        const std::size_t count = std::min(kMostPerCall, datagrams.size() - at);
        for (std::size_t i = 0; i < count; ++i) {
            iov[i] = iovec{const_cast<char*>(datagrams[at + i].data()), datagrams[at + i].size()};
            headers[i] = mmsghdr{};
            headers[i].msg_hdr.msg_name = &toAddress_;
            headers[i].msg_hdr.msg_namelen = toLength_;
            headers[i].msg_hdr.msg_iov = &iov[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        int done = -1;
        do {
            done = ::sendmmsg(fd_, headers, static_cast<unsigned>(count), 0);
        } while (done < 0 && errno == EINTR);
        sent += done > 0 ? static_cast<std::size_t>(done) : 0;
        // Past the one that failed, as sendTo() would have gone on to the next.
        at += done > 0 && static_cast<std::size_t>(done) == count
                  ? count
                  : static_cast<std::size_t>(std::max(done, 0)) + 1;
    }
    return sent;
}

QHostAddress plainAddress(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

bool sameAddress(const QHostAddress& a, const QHostAddress& b) {
    // Compared in place: the client asks this for every datagram it receives.
    return a.isEqual(b, QHostAddress::ConvertV4MappedToIPv4);
}

} // namespace zelk
