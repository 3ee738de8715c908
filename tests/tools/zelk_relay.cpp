// A faulty UDP relay for the fault tests, loopback only. Clients send to the relay's port; each
// client source gets its own upstream socket towards the server, so that the server's answers (sent
// to their exact source) find their way back to the right client. In each direction on its own,
// from seeded generators so that a run can be replayed: a fraction of the datagrams is dropped
// (and all of them during cut windows), a fraction of those that pass is forwarded twice, and a
// fraction is held back for a while and then forwarded, so that it arrives late and after
// datagrams sent later. Without --dup and --delay a datagram is forwarded at once or not at all.
//
//   zelk_relay --server-port N [--server-host ADDR] [--port N] [--loss F] [--loss-up F]
//              [--loss-down F] [--dup F] [--dup-up F] [--dup-down F] [--delay F:MS]
//              [--delay-up F:MS] [--delay-down F:MS] [--seed N] [--cut START_MS:LENGTH_MS]...
//              [--lifetime S]
//
// "Up" is towards the server, "down" towards the clients; --loss, --dup and --delay set both.
// --port 0 (the default) picks a free port; the first line on standard output is the port.
// SIGTERM or SIGINT ends the relay (datagrams still held back are dropped, uncounted), SIGUSR1
// only prints; both print the counts of each direction: forwarded (delayed ones included),
// dropped, then the extra copies sent and the datagrams held back.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMaxClients = 64;
constexpr std::size_t kLargestDatagram = 65536;

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t reportRequested = 0;

struct Window {
    long startMs;
    long lengthMs;
};

struct Delay {
    double fraction = 0;
    long ms = 0;
};

// The faults of one direction.
struct Faults {
    double loss = 0;
    double dup = 0;
    Delay delay;
};

struct Options {
    std::string serverHost = "127.0.0.1";
    int serverPort = -1;
    int port = 0;
    Faults up;
    Faults down;
    unsigned long long seed = 1;
    std::vector<Window> cuts;
    long lifetimeSeconds = 600;
};

struct Counts {
    unsigned long long forwarded = 0;
    unsigned long long dropped = 0;
    unsigned long long cut = 0;        // dropped inside a cut window (also counted in dropped)
    unsigned long long duplicated = 0; // second copies sent
    unsigned long long delayed = 0;    // held back (also counted in forwarded)
};

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family() const { return storage.ss_family; }
    const sockaddr* raw() const { return reinterpret_cast<const sockaddr*>(&storage); }
    std::string key() const { return std::string(reinterpret_cast<const char*>(&storage), length); }
};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "zelk_relay: %s\n", message.c_str());
    std::exit(2);
}

// Only 127.0.0.0/8 and ::1: the relay must never send anything off this machine.
Address loopbackAddress(const std::string& host, int port) {
    Address address;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        if ((ntohl(v4->sin_addr.s_addr) >> 24) != 127) {
            fail("refusing a non-loopback address: " + host);
        }
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(port));
        address.length = sizeof(sockaddr_in);
        return address;
    }
    if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        if (!IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) {
            fail("refusing a non-loopback address: " + host);
        }
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(port));
        address.length = sizeof(sockaddr_in6);
        return address;
    }
    fail("not a numeric loopback address: " + host);
}

double rate(const char* text) {
    const double value = std::strtod(text, nullptr);
    if (!(value >= 0 && value <= 1)) {
        fail(std::string("a rate lies between 0 and 1: ") + text);
    }
    return value;
}

Delay delayOf(const char* text) {
    const char* colon = std::strchr(text, ':');
    char* end = nullptr;
    const long ms = colon ? std::strtol(colon + 1, &end, 10) : -1;
    if (!colon || *end != '\0' || ms < 0) {
        fail(std::string("a delay is FRACTION:MS: ") + text);
    }
    return Delay{rate(std::string(text, colon).c_str()), ms};
}

Window cutWindow(const char* text) {
    Window window{};
    if (std::sscanf(text, "%ld:%ld", &window.startMs, &window.lengthMs) != 2 ||
        window.startMs < 0 || window.lengthMs < 0) {
        fail(std::string("a cut is START_MS:LENGTH_MS: ") + text);
    }
    return window;
}

using Setter = void (*)(Options&, const char*);

// Each option with how it stores its value; an option of both directions sets both.
const std::map<std::string, Setter>& setters() {
    static const std::map<std::string, Setter> table{
        {"--server-host", [](Options& o, const char* v) { o.serverHost = v; }},
        {"--server-port", [](Options& o, const char* v) { o.serverPort = std::atoi(v); }},
        {"--port", [](Options& o, const char* v) { o.port = std::atoi(v); }},
        {"--loss", [](Options& o, const char* v) { o.up.loss = o.down.loss = rate(v); }},
        {"--loss-up", [](Options& o, const char* v) { o.up.loss = rate(v); }},
        {"--loss-down", [](Options& o, const char* v) { o.down.loss = rate(v); }},
        {"--dup", [](Options& o, const char* v) { o.up.dup = o.down.dup = rate(v); }},
        {"--dup-up", [](Options& o, const char* v) { o.up.dup = rate(v); }},
        {"--dup-down", [](Options& o, const char* v) { o.down.dup = rate(v); }},
        {"--delay", [](Options& o, const char* v) { o.up.delay = o.down.delay = delayOf(v); }},
        {"--delay-up", [](Options& o, const char* v) { o.up.delay = delayOf(v); }},
        {"--delay-down", [](Options& o, const char* v) { o.down.delay = delayOf(v); }},
        {"--seed", [](Options& o, const char* v) { o.seed = std::strtoull(v, nullptr, 10); }},
        {"--cut", [](Options& o, const char* v) { o.cuts.push_back(cutWindow(v)); }},
        {"--lifetime", [](Options& o, const char* v) { o.lifetimeSeconds = std::atol(v); }},
    };
    return table;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; i += 2) {
        const std::string name = argv[i];
        const auto setter = setters().find(name);
        if (setter == setters().end()) {
            fail("unknown option " + name);
        }
        if (i + 1 >= argc) {
            fail("missing value after " + name);
        }
        setter->second(options, argv[i + 1]);
    }
    if (options.serverPort <= 0 || options.serverPort > 65535) {
        fail("--server-port is required");
    }
    return options;
}

int boundSocket(const Address& address) {
    const int fd = ::socket(address.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, address.raw(), address.length) != 0) {
        fail(std::string("cannot bind: ") + std::strerror(errno));
    }
    return fd;
}

int localPort(int fd) {
    Address address;
    address.length = sizeof address.storage;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address.storage), &address.length);
    if (address.family() == AF_INET) {
        return ntohs(reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port);
    }
    return ntohs(reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_port);
}

using Clock = std::chrono::steady_clock;

// One direction: its faults, its counts, and generators of its own for each kind of fault, so
// that adding duplicates or delays leaves the drops of a seed as they were.
struct Direction {
    Direction(const Faults& f, unsigned long long seed)
        : faults(f), duplicates(seed ^ 0x9e3779b97f4a7c15ull),
          delays(seed ^ 0xc2b2ae3d27d4eb4full) {}
    Faults faults;
    Counts counts;
    std::mt19937_64 duplicates;
    std::mt19937_64 delays;
};

// A datagram held back, with where it goes once due.
struct Held {
    int fd;
    Address to;
    std::string bytes;
};

bool chance(std::mt19937_64& random, double fraction) {
    return std::uniform_real_distribution<double>(0, 1)(random) < fraction;
}

class Relay {
public:
    explicit Relay(const Options& options)
        : options_(options), server_(loopbackAddress(options.serverHost, options.serverPort)),
          random_(options.seed), up_(options.up, options.seed),
          down_(options.down, options.seed + 1), started_(Clock::now()) {
        const std::string listenHost = server_.family() == AF_INET6 ? "::1" : "127.0.0.1";
        listener_ = boundSocket(loopbackAddress(listenHost, options.port));
    }

    int port() const { return localPort(listener_); }

    void run() {
        while (!stopRequested && elapsedMs() < options_.lifetimeSeconds * 1000) {
            if (reportRequested) {
                reportRequested = 0;
                report();
            }
            sendDue();
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (const auto& entry : upstreams_) {
                fds.push_back({entry.second.fd, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), pollLimitMs()) <= 0) {
                continue;
            }
            if (fds[0].revents & POLLIN) {
                fromClient();
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents & POLLIN) {
                    fromServer(fds[i].fd);
                }
            }
        }
        report();
    }

    void report() const {
        const Counts& up = up_.counts;
        const Counts& down = down_.counts;
        std::printf("relay: up forwarded=%llu dropped=%llu (cut %llu); down forwarded=%llu "
                    "dropped=%llu (cut %llu); clients=%zu; up duplicated=%llu delayed=%llu; "
                    "down duplicated=%llu delayed=%llu\n",
                    up.forwarded, up.dropped, up.cut, down.forwarded, down.dropped, down.cut,
                    upstreams_.size(), up.duplicated, up.delayed, down.duplicated, down.delayed);
        std::fflush(stdout);
    }

private:
    struct Upstream {
        int fd;
        Address client;
    };

    long elapsedMs() const {
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count());
    }

    bool inCut() const {
        const long now = elapsedMs();
        for (const Window& window : options_.cuts) {
            if (now >= window.startMs && now < window.startMs + window.lengthMs) {
                return true;
            }
        }
        return false;
    }

    // Decides whether one datagram is lost; the generator advances for every datagram, so a seed
    // replays the same drops for the same traffic.
    bool passes(Counts& counts, double loss) {
        const bool lost = chance(random_, loss);
        if (inCut()) {
            ++counts.dropped;
            ++counts.cut;
            return false;
        }
        if (lost) {
            ++counts.dropped;
            return false;
        }
        ++counts.forwarded;
        return true;
    }

    // Sends a datagram that passed: now or later, once or twice.
    void deliver(Direction& direction, int fd, const Address& to, std::size_t length) {
        const bool twice = chance(direction.duplicates, direction.faults.dup);
        const bool late = chance(direction.delays, direction.faults.delay.fraction);
        const int copies = twice ? 2 : 1;
        direction.counts.duplicated += twice ? 1 : 0;
        if (late) {
            ++direction.counts.delayed;
            const auto due = Clock::now() + std::chrono::milliseconds(direction.faults.delay.ms);
            for (int copy = 0; copy < copies; ++copy) {
                held_.emplace(due, Held{fd, to, std::string(buffer_.data(), length)});
            }
            return;
        }
        for (int copy = 0; copy < copies; ++copy) {
            ::sendto(fd, buffer_.data(), length, 0, to.raw(), to.length);
        }
    }

    void sendDue() {
        const auto now = Clock::now();
        while (!held_.empty() && held_.begin()->first <= now) {
            const Held& held = held_.begin()->second;
            ::sendto(held.fd, held.bytes.data(), held.bytes.size(), 0, held.to.raw(),
                     held.to.length);
            held_.erase(held_.begin());
        }
    }

    // Until the next held datagram is due, at most 200 ms.
    int pollLimitMs() const {
        if (held_.empty()) {
            return 200;
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                              held_.begin()->first - Clock::now())
                              .count();
        return static_cast<int>(std::clamp<long long>(wait + 1, 0, 200));
    }

    void fromClient() {
        Address source;
        source.length = sizeof source.storage;
        const ssize_t n = ::recvfrom(listener_, buffer_.data(), buffer_.size(), 0,
                                     reinterpret_cast<sockaddr*>(&source.storage), &source.length);
        if (n < 0) {
            return;
        }
        const int fd = upstreamFor(source);
        if (fd >= 0 && passes(up_.counts, up_.faults.loss)) {
            deliver(up_, fd, server_, static_cast<std::size_t>(n));
        }
    }

    void fromServer(int fd) {
        const ssize_t n = ::recv(fd, buffer_.data(), buffer_.size(), 0);
        if (n < 0) {
            return;
        }
        for (const auto& entry : upstreams_) {
            if (entry.second.fd == fd && passes(down_.counts, down_.faults.loss)) {
                deliver(down_, listener_, entry.second.client, static_cast<std::size_t>(n));
            }
        }
    }

    int upstreamFor(const Address& client) {
        const auto found = upstreams_.find(client.key());
        if (found != upstreams_.end()) {
            return found->second.fd;
        }
        if (upstreams_.size() >= kMaxClients) {
            return -1;
        }
        const std::string anyLoopback = server_.family() == AF_INET6 ? "::1" : "127.0.0.1";
        const int fd = boundSocket(loopbackAddress(anyLoopback, 0));
        upstreams_[client.key()] = Upstream{fd, client};
        return fd;
    }

    Options options_;
    Address server_;
    std::mt19937_64 random_; // losses of both directions, in the order datagrams come
    Direction up_;
    Direction down_;
    Clock::time_point started_;
    int listener_ = -1;
    std::map<std::string, Upstream> upstreams_;
    std::multimap<Clock::time_point, Held> held_;
    std::vector<char> buffer_ = std::vector<char>(kLargestDatagram);
};

void onStop(int) {
    stopRequested = 1;
}

void onReport(int) {
    reportRequested = 1;
}

} // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    struct sigaction stop {};
    stop.sa_handler = onStop;
    ::sigaction(SIGTERM, &stop, nullptr);
    ::sigaction(SIGINT, &stop, nullptr);
    struct sigaction report {};
    report.sa_handler = onReport;
    ::sigaction(SIGUSR1, &report, nullptr);

    Relay relay(options);
    std::printf("%d\n", relay.port());
    std::fflush(stdout);
    relay.run();
    return 0;
}
