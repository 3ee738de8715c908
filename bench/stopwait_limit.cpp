// The bare stop-and-wait limit of this machine: two processes on loopback bounce one datagram of
// a frame's size and a 12-byte answer as fast as plain POSIX sockets allow, with nothing else in
// the way (no event loop, no file, no parsing). Whatever a real transfer reaches is measured
// against this.
//
//   zelk_limit [--count N] [--datagram BYTES] [--answer BYTES] [--payload BYTES]
//              [--work SOURCE DESTINATION]
//
// With --work, the same loop also does the least that any file transfer must do for each
// datagram, in plain C and nothing more: each side waits in poll() as an event loop does, the
// sender looks SOURCE up and reads the piece from it, the answerer looks DESTINATION up and
// writes the piece into it. That tells how much of the gap to the bare limit is the work itself.
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
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kAnswerTimeoutMs = 1000;
constexpr int kEchoIdleTimeoutMs = 5000;
constexpr int kMaxLostInARow = 20;
constexpr char kStopByte = 'S';
constexpr std::size_t kFramePrefix = 16;

struct Options {
    long count = 20000;
    std::size_t datagram = 10015;
    std::size_t answer = 12;
    std::size_t payload = 0; // 0: the datagram less a 16-byte frame prefix
    std::string source;      // --work: the file the sender reads its pieces from
    std::string destination; // --work: the file the answerer writes them into
};

bool parseNumber(const char* text, long& value) {
    value = std::strtol(text, nullptr, 10);
    return value > 0;
}

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string key = argv[i];
        long value = 0;
        if (key == "--work" && i + 2 < argc) {
            options.source = argv[++i];
            options.destination = argv[++i];
        } else if (i + 1 >= argc || !parseNumber(argv[++i], value)) {
            return false;
        } else if (key == "--count") {
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
    if (options.datagram > 65507 || options.answer > 65507 || options.datagram < 2) {
        return false;
    }
    if (options.payload == 0) {
        options.payload =
            options.datagram > kFramePrefix ? options.datagram - kFramePrefix : options.datagram;
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

// What an event loop does before each read: wait until the socket is readable.
void awaitReadable(int fd, bool withPoll, int timeoutMs) {
    if (withPoll) {
        pollfd waiting{fd, POLLIN, 0};
        ::poll(&waiting, 1, timeoutMs);
    }
}

// The file side of one piece: look the path up, then read or write the piece at its offset.
class PieceFile {
public:
    PieceFile(const std::string& path, bool writing) : path_(path) {
        if (!path.empty()) {
            fd_ = ::open(path.c_str(),
                         writing ? O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC : O_RDONLY | O_CLOEXEC,
                         0644);
        }
    }
    ~PieceFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    PieceFile(const PieceFile&) = delete;
    PieceFile& operator=(const PieceFile&) = delete;
    bool used() const { return fd_ >= 0; }

    void read(char* out, std::size_t size) {
        struct stat now {};
        ::stat(path_.c_str(), &now);
        if (offset_ + static_cast<off_t>(size) > now.st_size) {
            offset_ = 0;
        }
        offset_ += ::pread(fd_, out, size, offset_);
    }
    void write(const char* bytes, std::size_t size) {
        struct stat now {};
        ::stat(path_.c_str(), &now);
        offset_ += ::pwrite(fd_, bytes, size, offset_);
    }

private:
    std::string path_;
    int fd_ = -1;
    off_t offset_ = 0;
};

// The answering side: every datagram gets a short answer back to its source, until the stop byte
// comes or nothing has come for a while.
[[noreturn]] void answerUntilStopped(int fd, const Options& options) {
    setTimeout(fd, kEchoIdleTimeoutMs);
    PieceFile file(options.destination, true);
    std::vector<char> in(65536);
    const std::vector<char> answer(options.answer, 'A');
    for (;;) {
        awaitReadable(fd, file.used(), kEchoIdleTimeoutMs);
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
        if (file.used() && static_cast<std::size_t>(n) > kFramePrefix) {
            file.write(in.data() + kFramePrefix, static_cast<std::size_t>(n) - kFramePrefix);
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
    PieceFile file(options.source, false);
    std::vector<char> out(options.datagram, 'x');
    out[0] = 1;
    std::vector<char> in(65536);
    Outcome outcome;
    int lostInARow = 0;
    const auto start = std::chrono::steady_clock::now();
    while (outcome.roundTrips < options.count && lostInARow < kMaxLostInARow) {
        if (file.used() && out.size() > kFramePrefix) {
            file.read(out.data() + kFramePrefix, out.size() - kFramePrefix);
        }
        ::sendto(fd, out.data(), out.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
                 sizeof peer);
        awaitReadable(fd, file.used(), kAnswerTimeoutMs);
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
                             "[--payload BYTES] [--work SOURCE DESTINATION]\n");
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
        answerUntilStopped(answerer, options);
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
