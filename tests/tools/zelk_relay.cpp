// A lossy UDP relay for the fault tests, loopback only. Clients send to the relay's port; each
// client source gets its own upstream socket towards the server, so that the server's answers (sent
// to their exact source) find their way back to the right client. Datagrams are dropped at a given
// rate in each direction, from a seeded generator so that a run can be replayed, and all of them
// during cut windows. A datagram is forwarded at once or not at all: never duplicated, never held.
//
//   zelk_relay --server-port N [--server-host ADDR] [--port N] [--loss F] [--loss-up F]
//              [--loss-down F] [--seed N] [--cut START_MS:LENGTH_MS]... [--lifetime S]
//
// --port 0 (the default) picks a free port; the first line on standard output is the port.
// SIGTERM or SIGINT ends the relay, SIGUSR1 only prints; both print the counts of each direction.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

struct Options {
    std::string serverHost = "127.0.0.1";
    int serverPort = -1;
    int port = 0;
    double lossUp = 0;
    double lossDown = 0;
    unsigned long long seed = 1;
    std::vector<Window> cuts;
    long lifetimeSeconds = 600;
};

struct Counts {
    unsigned long long forwarded = 0;
    unsigned long long dropped = 0;
    unsigned long long cut = 0; // dropped inside a cut window (also counted in dropped)
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
        fail(std::string("a loss rate lies between 0 and 1: ") + text);
    }
    return value;
}

Window cutWindow(const char* text) {
    Window window{};
    if (std::sscanf(text, "%ld:%ld", &window.startMs, &window.lengthMs) != 2 ||
        window.startMs < 0 || window.lengthMs < 0) {
        fail(std::string("a cut is START_MS:LENGTH_MS: ") + text);
    }
    return window;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) {
            fail("missing value after " + name);
        }
        const char* value = argv[++i];
        if (name == "--server-host") {
            options.serverHost = value;
        } else if (name == "--server-port") {
            options.serverPort = std::atoi(value);
        } else if (name == "--port") {
            options.port = std::atoi(value);
        } else if (name == "--loss") {
            options.lossUp = options.lossDown = rate(value);
        } else if (name == "--loss-up") {
            options.lossUp = rate(value);
        } else if (name == "--loss-down") {
            options.lossDown = rate(value);
        } else if (name == "--seed") {
            options.seed = std::strtoull(value, nullptr, 10);
        } else if (name == "--cut") {
            options.cuts.push_back(cutWindow(value));
        } else if (name == "--lifetime") {
            options.lifetimeSeconds = std::atol(value);
        } else {
            fail("unknown option " + name);
        }
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

class Relay {
public:
    explicit Relay(const Options& options)
        : options_(options), server_(loopbackAddress(options.serverHost, options.serverPort)),
          random_(options.seed), started_(std::chrono::steady_clock::now()) {
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
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (const auto& entry : upstreams_) {
                fds.push_back({entry.second.fd, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 200) <= 0) {
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
        std::printf("relay: up forwarded=%llu dropped=%llu (cut %llu); down forwarded=%llu "
                    "dropped=%llu (cut %llu); clients=%zu\n",
                    up_.forwarded, up_.dropped, up_.cut, down_.forwarded, down_.dropped, down_.cut,
                    upstreams_.size());
        std::fflush(stdout);
    }

private:
    struct Upstream {
        int fd;
        Address client;
    };

    long elapsedMs() const {
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - started_)
                                     .count());
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

    // Decides the fate of one datagram; the generator advances for every datagram, so a seed
    // replays the same drops for the same traffic.
    bool passes(Counts& counts, double loss) {
        const bool lost = std::uniform_real_distribution<double>(0, 1)(random_) < loss;
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

    void fromClient() {
        Address source;
        source.length = sizeof source.storage;
        const ssize_t n = ::recvfrom(listener_, buffer_.data(), buffer_.size(), 0,
                                     reinterpret_cast<sockaddr*>(&source.storage), &source.length);
        if (n < 0) {
            return;
        }
        const int fd = upstreamFor(source);
        if (fd >= 0 && passes(up_, options_.lossUp)) {
            ::sendto(fd, buffer_.data(), static_cast<std::size_t>(n), 0, server_.raw(),
                     server_.length);
        }
    }

    void fromServer(int fd) {
        const ssize_t n = ::recv(fd, buffer_.data(), buffer_.size(), 0);
        if (n < 0) {
            return;
        }
        for (const auto& entry : upstreams_) {
            if (entry.second.fd == fd && passes(down_, options_.lossDown)) {
                const Address& client = entry.second.client;
                ::sendto(listener_, buffer_.data(), static_cast<std::size_t>(n), 0, client.raw(),
                         client.length);
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
    std::mt19937_64 random_;
    std::chrono::steady_clock::time_point started_;
    int listener_ = -1;
    std::map<std::string, Upstream> upstreams_;
    std::vector<char> buffer_ = std::vector<char>(kLargestDatagram);
    Counts up_;
    Counts down_;
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
