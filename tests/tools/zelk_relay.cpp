// A faulty UDP relay for the fault tests, loopback only. Clients send to the relay's port; each
// client source gets its own upstream socket towards the server, so that the server's answers (sent
// to their exact source) find their way back to the right client. In each direction on its own,
// from seeded generators so that a run can be replayed: a fraction of the datagrams is dropped
// (and all of them during cut windows), a fraction of those that pass is forwarded twice, and a
// fraction is held back for a while and then forwarded, so that it arrives late and after
// datagrams sent later. It also stands in for a wide-area path: a one-way delay, a bottleneck
// link of a given rate behind a drop-tail queue, and reordering. Without --dup, --delay, --owd,
// --rate and --reorder a datagram is forwarded at once or not at all.
//
//   zelk_relay --server-port N [--server-host ADDR] [--port N] [--seed N]
//              [--cut START_MS:LENGTH_MS]... [--lifetime S]
//              [--loss F] [--dup F] [--delay F:MS] [--owd MS]
//              [--rate BYTES_PER_S | --rate-mbit MBIT_PER_S] [--queue BYTES] [--reorder F:MS]
//
// "Up" is towards the server, "down" towards the clients. Each option of the last two lines also
// comes as NAME-up and NAME-down (--loss-up, --owd-down, --rate-mbit-up, --queue-down...), which
// set one direction; the plain NAME sets both. Where one of these is given more than once, the
// last one counts. F is a fraction from 0 to 1.
//   --loss F        drops a fraction of the datagrams.
//   --dup F         sends a fraction of those that pass twice; each copy then goes its own way.
//   --delay F:MS    holds a fraction of those that pass back MS more milliseconds (both copies).
//   --owd MS        adds a fixed one-way delay to every datagram, in milliseconds (decimals
//                   allowed); datagrams keep their order. A 50 ms round trip is --owd 25.
//   --rate R        puts a bottleneck link in the way: datagrams leave it one after the other,
//                   each taking (payload + 28 header bytes) / R seconds. R in bytes per second,
//                   with an optional suffix k, M or G (times 1000, 1000^2, 1000^3): --rate 12.5M.
//                   0, the default, is no bottleneck.
//   --rate-mbit N   the same in megabits per second (decimals allowed): --rate-mbit 100 is
//                   --rate 12.5M. Whichever of --rate and --rate-mbit comes last counts.
//   --queue B       the drop-tail queue in front of that link, in bytes (suffixes as for --rate):
//                   a datagram that would take the bytes waiting for the link (headers included,
//                   the datagram on the link not counted) beyond B is dropped. Without --queue it
//                   holds 100 ms of the rate; without a rate there is no queue.
//   --reorder F:MS  holds a fraction of the datagrams (each copy drawn on its own) back by a
//                   random extra delay, uniform from 0 to MS milliseconds, so that later ones
//                   overtake it.
// One datagram meets them in this order: a cut window or --loss, then --dup, then the queue and
// the rate, then the one-way delay plus any --delay and --reorder hold. Cuts and --loss share one
// generator seeded from --seed; --dup, --delay and --reorder have generators of their own in
// each direction, also seeded from --seed, so that adding one leaves the draws of the others as
// they were. Timing is kept with the monotonic clock; datagrams wait in one queue ordered by
// their time of release.
//
// --port 0 (the default) picks a free port; the first line on standard output is the port.
// SIGTERM or SIGINT ends the relay (datagrams still held back or queued are dropped, uncounted),
// SIGUSR1 only prints; both print the counts of each direction: forwarded (delayed ones
// included), dropped, then the extra copies sent and the datagrams held back by --delay, then
// the datagrams (copies included) that the full queue dropped and those held back by --reorder:
//
//   relay: up forwarded=N dropped=N (cut N); down forwarded=N dropped=N (cut N); clients=N;
//   up duplicated=N delayed=N; down duplicated=N delayed=N; up queue-dropped=N reordered=N;
//   down queue-dropped=N reordered=N
//
// on one line. Forwarded and dropped tell the loss stage only: a datagram that the queue drops
// afterwards still counts as forwarded.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMaxClients = 64;
constexpr std::size_t kLargestDatagram = 65536;
constexpr std::size_t kHeaderBytes = 28; // IPv4 and UDP, as a link counts them
// Room for a few milliseconds of datagrams arriving at 1 Gbit/s while the relay is not scheduled.
constexpr int kSocketBuffer = 4 << 20;

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t reportRequested = 0;

using Clock = std::chrono::steady_clock;

struct Window {
    long startMs;
    long lengthMs;
};

struct Delay {
    double fraction = 0;
    long ms = 0;
};

// The wide-area path of one direction.
struct Path {
    Clock::duration oneWay{};
    double rate = 0;   // bytes per second, 0: no bottleneck
    double queue = -1; // bytes, below 0: 100 ms of the rate
    Delay reorder;
};

// The faults of one direction.
struct Faults {
    double loss = 0;
    double dup = 0;
    Delay delay;
    Path path;
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
    unsigned long long cut = 0;          // dropped inside a cut window (also counted in dropped)
    unsigned long long duplicated = 0;   // second copies sent
    unsigned long long delayed = 0;      // held back (also counted in forwarded)
    unsigned long long queueDropped = 0; // copies refused by the full queue, after forwarded
    unsigned long long reordered = 0;    // copies held back so that later ones overtake them
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

// A finite number of at least 0, with nothing after it but, where allowed, one of k, M or G.
double quantity(const char* text, const char* what, bool suffixes) {
    char* end = nullptr;
    double value = std::strtod(text, &end);
    static const std::string kSuffixes = "kMG";
    if (end != text && suffixes && *end != '\0' && end[1] == '\0') {
        const std::size_t power = kSuffixes.find(*end);
        value *= power == std::string::npos ? NAN : std::pow(1000.0, power + 1.0);
        ++end;
    }
    if (end == text || *end != '\0' || !std::isfinite(value) || value < 0) {
        fail(std::string(what) + ": " + text);
    }
    return value;
}

Clock::duration oneWayOf(const char* text) {
    const double ms = quantity(text, "a one-way delay is MS", false);
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(ms));
}

double bytesPerSecond(const char* text) {
    return quantity(text, "a rate is BYTES_PER_S with an optional k, M or G", true);
}

double megabits(const char* text) {
    return quantity(text, "a rate is MBIT_PER_S", false) * 1e6 / 8;
}

double queueBytes(const char* text) {
    return quantity(text, "a queue is BYTES with an optional k, M or G", true);
}

using Setter = void (*)(Options&, const char*);

// The options of one direction that both directions also take at once: NAME sets both, NAME-up
// and NAME-down one each.
struct Sided {
    const char* name;
    void (*set)(Faults&, const char*);
};

const Sided kSided[] = {
    {"--loss", [](Faults& f, const char* v) { f.loss = rate(v); }},
    {"--dup", [](Faults& f, const char* v) { f.dup = rate(v); }},
    {"--delay", [](Faults& f, const char* v) { f.delay = delayOf(v); }},
    {"--owd", [](Faults& f, const char* v) { f.path.oneWay = oneWayOf(v); }},
    {"--rate", [](Faults& f, const char* v) { f.path.rate = bytesPerSecond(v); }},
    {"--rate-mbit", [](Faults& f, const char* v) { f.path.rate = megabits(v); }},
    {"--queue", [](Faults& f, const char* v) { f.path.queue = queueBytes(v); }},
    {"--reorder", [](Faults& f, const char* v) { f.path.reorder = delayOf(v); }},
};

// Each option with how it stores its value; an option of both directions sets both.
const std::map<std::string, Setter>& setters() {
    static const std::map<std::string, Setter> table{
        {"--server-host", [](Options& o, const char* v) { o.serverHost = v; }},
        {"--server-port", [](Options& o, const char* v) { o.serverPort = std::atoi(v); }},
        {"--port", [](Options& o, const char* v) { o.port = std::atoi(v); }},
        {"--seed", [](Options& o, const char* v) { o.seed = std::strtoull(v, nullptr, 10); }},
        {"--cut", [](Options& o, const char* v) { o.cuts.push_back(cutWindow(v)); }},
        {"--lifetime", [](Options& o, const char* v) { o.lifetimeSeconds = std::atol(v); }},
    };
    return table;
}

// The option of one or both directions that `name` stands for, if any.
struct SidedName {
    const Sided* option = nullptr;
    bool up = false;
    bool down = false;
};

SidedName sidedName(const std::string& name) {
    for (const Sided& option : kSided) {
        const std::string plain = option.name;
        if (name == plain || name == plain + "-up" || name == plain + "-down") {
            return SidedName{&option, name != plain + "-down", name != plain + "-up"};
        }
    }
    return {};
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; i += 2) {
        const std::string name = argv[i];
        const auto setter = setters().find(name);
        const SidedName sided = sidedName(name);
        if (setter == setters().end() && !sided.option) {
            fail("unknown option " + name);
        }
        if (i + 1 >= argc) {
            fail("missing value after " + name);
        }
        if (sided.up) {
            sided.option->set(options.up, argv[i + 1]);
        }
        if (sided.down) {
            sided.option->set(options.down, argv[i + 1]);
        }
        if (!sided.option) {
            setter->second(options, argv[i + 1]);
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
    // Larger buffers than the default so that the relay's own sockets, not the emulated path,
    // lose datagrams only when far more comes than any test sends.
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
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

// A link that sends one datagram at a time at its rate, fed by a drop-tail queue of bytes.
class Bottleneck {
public:
    explicit Bottleneck(const Path& path)
        : rate_(path.rate), queue_(path.queue >= 0 ? path.queue : path.rate / 10) {}

    // When a datagram of `payload` bytes that comes now has wholly left the link, or nothing when
    // the queue has no room for it.
    std::optional<Clock::time_point> admit(Clock::time_point now, std::size_t payload) {
        if (rate_ <= 0) {
            return now;
        }
        // A datagram whose sending has begun has left the queue for the link.
        while (!waiting_.empty() && waiting_.front().start <= now) {
            waitingBytes_ -= waiting_.front().bytes;
            waiting_.pop_front();
        }
        const double bytes = static_cast<double>(payload + kHeaderBytes);
        const Clock::time_point start = std::max(now, linkFreeAt_);
        if (start > now && waitingBytes_ + bytes > queue_) {
            return std::nullopt;
        }
        if (start > now) {
            waiting_.push_back({start, bytes});
            waitingBytes_ += bytes;
        }
        linkFreeAt_ = start + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(bytes / rate_));
        return linkFreeAt_;
    }

private:
    struct Waiting {
        Clock::time_point start;
        double bytes;
    };
    double rate_;
    double queue_;
    Clock::time_point linkFreeAt_{};
    std::deque<Waiting> waiting_;
    double waitingBytes_ = 0;
};

// One direction: its faults, its counts, its bottleneck, and generators of its own for each kind
// of fault, so that adding duplicates, delays or reordering leaves the drops of a seed as they
// were.
struct Direction {
    Direction(const Faults& f, unsigned long long seed)
        : faults(f), bottleneck(f.path), duplicates(seed ^ 0x9e3779b97f4a7c15ull),
          delays(seed ^ 0xc2b2ae3d27d4eb4full), reorders(seed ^ 0x165667b19e3779f9ull) {}
    Faults faults;
    Counts counts;
    Bottleneck bottleneck;
    std::mt19937_64 duplicates;
    std::mt19937_64 delays;
    std::mt19937_64 reorders;
};

// A datagram on its way, with where it goes once due. `order` keeps datagrams due at the same
// moment in the order they came.
struct Held {
    Clock::time_point due;
    unsigned long long order;
    int fd;
    Address to;
    std::string bytes;
};

// For a heap whose top is the datagram due first.
bool dueLater(const Held& a, const Held& b) {
    return a.due != b.due ? a.due > b.due : a.order > b.order;
}

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
            const timespec limit = pollLimit();
            if (::ppoll(fds.data(), fds.size(), &limit, nullptr) <= 0) {
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
                    "down duplicated=%llu delayed=%llu; up queue-dropped=%llu reordered=%llu; "
                    "down queue-dropped=%llu reordered=%llu\n",
                    up.forwarded, up.dropped, up.cut, down.forwarded, down.dropped, down.cut,
                    upstreams_.size(), up.duplicated, up.delayed, down.duplicated, down.delayed,
                    up.queueDropped, up.reordered, down.queueDropped, down.reordered);
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

    // Sends a datagram that passed, once or twice, each copy through the bottleneck and then now
    // or after its delays.
    void deliver(Direction& direction, int fd, const Address& to, std::size_t length) {
        const bool twice = chance(direction.duplicates, direction.faults.dup);
        const bool late = chance(direction.delays, direction.faults.delay.fraction);
        const int copies = twice ? 2 : 1;
        direction.counts.duplicated += twice ? 1 : 0;
        direction.counts.delayed += late ? 1 : 0;
        const Clock::duration held =
            late ? std::chrono::milliseconds(direction.faults.delay.ms) : Clock::duration::zero();
        for (int copy = 0; copy < copies; ++copy) {
            const Clock::time_point now = Clock::now();
            const auto left = direction.bottleneck.admit(now, length);
            if (!left) {
                ++direction.counts.queueDropped;
                continue;
            }
            const Clock::time_point due =
                *left + direction.faults.path.oneWay + held + reorderHold(direction);
            if (due <= now) {
                ::sendto(fd, buffer_.data(), length, 0, to.raw(), to.length);
            } else {
                held_.push_back(Held{due, ++order_, fd, to, std::string(buffer_.data(), length)});
                std::push_heap(held_.begin(), held_.end(), dueLater);
            }
        }
    }

    // The extra time a copy waits so that later ones overtake it, mostly none.
    static Clock::duration reorderHold(Direction& direction) {
        const Delay& reorder = direction.faults.path.reorder;
        if (!chance(direction.reorders, reorder.fraction)) {
            return Clock::duration::zero();
        }
        ++direction.counts.reordered;
        const double ms = std::uniform_real_distribution<double>(
            0, static_cast<double>(reorder.ms))(direction.reorders);
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::milli>(ms));
    }

    void sendDue() {
        const auto now = Clock::now();
        while (!held_.empty() && held_.front().due <= now) {
            std::pop_heap(held_.begin(), held_.end(), dueLater);
            const Held& held = held_.back();
            ::sendto(held.fd, held.bytes.data(), held.bytes.size(), 0, held.to.raw(),
                     held.to.length);
            held_.pop_back();
        }
    }

    // Until the next held datagram is due, at most 200 ms.
    timespec pollLimit() const {
        auto wait =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::milliseconds(200));
        if (!held_.empty()) {
            wait = std::clamp(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  held_.front().due - Clock::now()),
                              std::chrono::nanoseconds::zero(), wait);
        }
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
        return timespec{static_cast<std::time_t>(seconds.count()),
                        static_cast<long>((wait - seconds).count())};
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
    std::vector<Held> held_; // a heap, the datagram due first on top
    unsigned long long order_ = 0;
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
