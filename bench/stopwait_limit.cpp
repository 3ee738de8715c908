// The bare stop-and-wait limit of this machine: two processes on loopback bounce one datagram of
// a frame's size and a 12-byte answer as fast as plain POSIX sockets allow, with nothing else in
// the way (no event loop, no file, no parsing). Whatever a real transfer reaches is measured
// against this.
//
//   zelk_limit [--count N] [--datagram BYTES] [--answer BYTES] [--payload BYTES]
//
// Prints one line of key=value pairs: round_trips, seconds, round_trips_per_s, MB_per_s (payload
// bytes carried per second, 10^6 bytes), lost.

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kAnswerTimeoutMs = 1000;
constexpr int kEchoIdleTimeoutMs = 5000;
constexpr int kMaxLostInARow = 20;
constexpr char kStopByte = 'S';

struct Options {
    long count = 20000;
    std::size_t datagram = 10015;
    std::size_t answer = 12;
    std::size_t payload = 0; // 0: the datagram less a 16-byte frame prefix
};

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (value <= 0) {
            return false;
        }
        if (key == "--count") {
            options.count = value;
        } else if (key == "--datagram") {
            options.datagram = static_cast<std::size_t>(value);
        } else if (key == "--answer") {
            options.answer = static_cast<std::size_t>(value);
        } else if (key == "--payload") {
            options.payload = static_cast<std::size_t>(value);
        } else {
            return false;
        }
    }
    if (argc % 2 == 0 || options.datagram > 65507 || options.answer > 65507 ||
        options.datagram < 2) {
        return false;
    }
    if (options.payload == 0) {
        options.payload = options.datagram > 16 ? options.datagram - 16 : options.datagram;
    }
    return true;
}

void setTimeout(int fd, int milliseconds) {
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// A UDP socket bound to 127.0.0.1 on a port the system chooses.
int loopbackSocket(sockaddr_in& bound) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    bound = sockaddr_in{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof bound;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The answering side: every datagram gets a short answer back to its source, until the stop byte
// comes or nothing has come for a while.
[[noreturn]] void answerUntilStopped(int fd, std::size_t answerBytes) {
    setTimeout(fd, kEchoIdleTimeoutMs);
    std::vector<char> in(65536);
    const std::vector<char> answer(answerBytes, 'A');
    for (;;) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(fd, in.data(), in.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || (n == 1 && in[0] == kStopByte)) {
            ::_exit(0);
        }
        ::sendto(fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                 fromLength);
    }
}

struct Outcome {
    long roundTrips = 0;
    long lost = 0;
    double seconds = 0;
};

// The sending side: one datagram out, wait for its answer, again. A lost datagram (none is
// expected on loopback) is sent again after a second; too many in a row ends the run.
Outcome bounce(int fd, const sockaddr_in& peer, const Options& options) {
    setTimeout(fd, kAnswerTimeoutMs);
    std::vector<char> out(options.datagram, 'x');
    out[0] = 1;
    std::vector<char> in(65536);
    Outcome outcome;
    int lostInARow = 0;
    const auto start = std::chrono::steady_clock::now();
    while (outcome.roundTrips < options.count && lostInARow < kMaxLostInARow) {
        ::sendto(fd, out.data(), out.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
                 sizeof peer);
        ssize_t n = -1;
        do {
            n = ::recv(fd, in.data(), in.size(), 0);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            ++outcome.lost;
            ++lostInARow;
            continue;
        }
        lostInARow = 0;
        ++outcome.roundTrips;
    }
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return outcome;
}

void stopAnswerer(int fd, const sockaddr_in& peer, pid_t child) {
    const char stop = kStopByte;
    for (int attempt = 0; attempt < 50; ++attempt) {
        ::sendto(fd, &stop, 1, 0, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
        if (::waitpid(child, nullptr, WNOHANG) == child) {
            return;
        }
        ::usleep(20000);
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: zelk_limit [--count N] [--datagram BYTES] [--answer BYTES] "
                             "[--payload BYTES]\n");
        return 2;
    }
    sockaddr_in senderAddress{};
    sockaddr_in answererAddress{};
    const int sender = loopbackSocket(senderAddress);
    const int answerer = loopbackSocket(answererAddress);
    if (sender < 0 || answerer < 0) {
        std::perror("zelk_limit: socket");
        return 1;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("zelk_limit: fork");
        return 1;
    }
    if (child == 0) {
        ::close(sender);
        answerUntilStopped(answerer, options.answer);
    }
    ::close(answerer);
    const Outcome outcome = bounce(sender, answererAddress, options);
    stopAnswerer(sender, answererAddress, child);
    const double perSecond = outcome.seconds > 0 ? outcome.roundTrips / outcome.seconds : 0;
    std::printf("round_trips=%ld seconds=%.6f round_trips_per_s=%.1f MB_per_s=%.2f lost=%ld\n",
                outcome.roundTrips, outcome.seconds, perSecond,
                perSecond * static_cast<double>(options.payload) / 1e6, outcome.lost);
    return outcome.roundTrips == options.count ? 0 : 1;
}
