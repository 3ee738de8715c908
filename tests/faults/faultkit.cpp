#include "faultkit.h"

#include "testutil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <QCryptographicHash>
#include <QFile>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace faults {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

sockaddr_in loopback(quint16 port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

quint16 boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Lines of /proc/net/udp and the like that have this local port (and this state when given).
bool procNetHasPort(const std::string& table, quint16 port, const char* state) {
    std::ifstream in("/proc/net/" + table);
    std::string line;
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", static_cast<unsigned>(port));
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, st;
        fields >> slot >> local >> remote >> st;
        if (local.size() > 5 && local.ends_with(wanted) && (!state || st == state)) {
            return true;
        }
    }
    return false;
}

// ZELK_FAULT_TRACE=1 makes the programs trace every event into their .err logs.
std::string traceSetting() {
    const char* wanted = std::getenv("ZELK_FAULT_TRACE");
    return wanted && std::string(wanted) == "1" ? "O" : "N";
}

void writeText(const std::string& path, const std::string& text) {
    zelktest::writeFile(path, text);
}

} // namespace

bool waitUntil(const std::function<bool()>& done, int limitMs, int stepMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        if (done()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
}

std::string programPath(const std::string& name) {
    const char* dir = std::getenv("ZELK_BIN_DIR");
    if (!dir) {
        throw std::runtime_error("ZELK_BIN_DIR is not set");
    }
    return std::string(dir) + "/" + name;
}

quint16 freePort(int type) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(0);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const quint16 port = boundPort(fd);
    ::close(fd);
    return port;
}

bool portInUse(quint16 port, int type) {
    if (type == SOCK_DGRAM) {
        return procNetHasPort("udp", port, nullptr) || procNetHasPort("udp6", port, nullptr);
    }
    return procNetHasPort("tcp", port, "0A") || procNetHasPort("tcp6", port, "0A");
}

void report(const std::string& line) {
    std::printf("[faults] %s\n", line.c_str());
    std::fflush(stdout);
}

namespace {

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

std::string secondsText(std::int64_t ms) {
    return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s";
}

} // namespace

Stopwatch::Stopwatch() : startMs_(nowMs()), lapMs_(startMs_) {}

std::string Stopwatch::total() const {
    return secondsText(nowMs() - startMs_);
}

std::string Stopwatch::lap() {
    const std::int64_t now = nowMs();
    const std::string text = secondsText(now - lapMs_);
    lapMs_ = now;
    return text;
}

unsigned long long seed(unsigned long long fallback) {
    const char* text = std::getenv("ZELK_FAULT_SEED");
    return text ? std::strtoull(text, nullptr, 10) : fallback;
}

Child::~Child() {
    if (pid_ > 0) {
        stop(SIGKILL);
    }
}

void Child::start(const std::vector<std::string>& argv, const std::string& logPrefix,
                  const std::string& workDir, std::optional<rlimit> files) {
    if (pid_ > 0) {
        stop(SIGKILL);
    }
    outPath_ = logPrefix + ".out";
    errPath_ = logPrefix + ".err";
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive a test that dies
        if (::getppid() != parent) {
            ::_exit(126);
        }
        const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        const int nothing = ::open("/dev/null", O_RDONLY);
        ::dup2(nothing, 0);
        if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) {
            ::_exit(126);
        }
        if (files) {
            ::setrlimit(RLIMIT_NOFILE, &*files);
        }
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    pid_ = pid;
}

bool Child::running() {
    if (pid_ <= 0) {
        return false;
    }
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void Child::signal(int sig) const {
    if (pid_ > 0) {
        ::kill(pid_, sig);
    }
}

int Child::stop(int sig, int limitMs) {
    if (!running()) {
        return status_;
    }
    ::kill(pid_, sig);
    if (!waitUntil([this] { return !running(); }, limitMs, 10)) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
        pid_ = -1;
    }
    return status_;
}

std::string Child::output() const {
    return fileText(outPath_);
}

std::string Child::errors() const {
    return fileText(errPath_);
}

long Child::statusKb(const std::string& field) const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with(field + ":")) {
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

long Child::cpuTicks() const {
    const std::string stat = fileText("/proc/" + std::to_string(pid_) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    // Fields after the command: state is field 3 of the file; utime and stime are 14 and 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) {
            utime = std::stol(field);
        } else if (index == 15) {
            stime = std::stol(field);
        }
    }
    return utime + stime;
}

long Child::openDescriptors() const {
    std::error_code ec;
    long count = 0;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid_) + "/fd", ec), end;
         !ec && it != end; it.increment(ec)) {
        ++count;
    }
    return count;
}

std::pair<long, long> Child::openFileLimits() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/limits");
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with("Max open files")) {
            std::istringstream fields(line.substr(14));
            long soft = -1;
            long hard = -1;
            fields >> soft >> hard;
            return {soft, hard};
        }
    }
    return {-1, -1};
}

Server::Server(std::string folder, std::string receiveFolder)
    : folder_(std::move(folder)), receiveFolder_(std::move(receiveFolder)) {
    makeFolder(folder_ + "/cwd");
}

bool Server::start(std::optional<rlimit> files) {
    const bool firstStart = udpPort_ == 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (firstStart) {
            udpPort_ = freePort(SOCK_DGRAM);
            tcpPort_ = freePort(SOCK_STREAM);
        }
        writeText(folder_ + "/ServeurZelkFiles.cfg",
                  "receivePort_IP=" + std::to_string(udpPort_) + "\r\nreceivePortTCP=" +
                      std::to_string(tcpPort_) + "\r\ndirectoryFiles=" + receiveFolder_ +
                      "\r\npaquets_UdpMax=9999\r\nCollecte_Trace=" + traceSetting() + "\r\n" +
                      extraConfig);
        process_.start({programPath("Serveur_ZelkFiles"), "--headless", "--config",
                        folder_ + "/ServeurZelkFiles.cfg"},
                       folder_ + "/server", folder_ + "/cwd", files);
        const bool ready = waitUntil(
            [this] {
                return !process_.running() ||
                       (portInUse(udpPort_, SOCK_DGRAM) && portInUse(tcpPort_, SOCK_STREAM));
            },
            20000);
        if (ready && process_.running()) {
            return true;
        }
        process_.stop(SIGKILL);
        if (!firstStart) {
            // The same ports again: the old sockets may take a moment to go.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    return false;
}

void Server::kill() {
    process_.stop(SIGKILL);
}

Client::Client(std::string folder, ClientSettings settings)
    : folder_(std::move(folder)), outbox_(folder_ + "/outbox"), settings_(std::move(settings)) {
    makeFolder(folder_);
    makeFolder(outbox_);
}

bool Client::start() {
    for (int attempt = 0; attempt < 5; ++attempt) {
        localPort_ = freePort(SOCK_DGRAM);
        writeText(folder_ + "/ClientZelkFiles.cfg",
                  "directoryFiles=" + outbox_ +
                      "\r\nvidangeDirFile=" + std::to_string(settings_.loopMs) +
                      "\r\nattendApresSnd=" + std::to_string(settings_.waitMs) +
                      "\r\nid_de_Lorigine=" + settings_.origin +
                      "\r\nip_destadresse=127.0.0.1\r\nip_portadresse=" +
                      std::to_string(settings_.destinationPort) +
                      "\r\nip_port_locals=" + std::to_string(localPort_) +
                      "\r\npaquets_UdpMax=" + std::to_string(settings_.pieceMax) +
                      "\r\noffreExtension=" + (settings_.extension ? "O" : "N") +
                      "\r\nCollecte_Trace=" + traceSetting() + "\r\n" + settings_.extraConfig);
        process_.start({programPath("Client_ZelkFiles"), "--headless", "--config",
                        folder_ + "/ClientZelkFiles.cfg"},
                       folder_ + "/client", folder_);
        const quint16 port = localPort_;
        const bool bound = waitUntil(
            [this, port] { return !process_.running() || portInUse(port, SOCK_DGRAM); }, 20000);
        if (bound && process_.running()) {
            return true;
        }
        process_.stop(SIGKILL);
    }
    return false;
}

void Client::kill() {
    process_.stop(SIGKILL);
}

bool Relay::start(const std::string& logPrefix, quint16 serverPort,
                  const std::vector<std::string>& options) {
    std::vector<std::string> argv{programPath("zelk_relay"), "--server-port",
                                  std::to_string(serverPort), "--port", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    process_.start(argv, logPrefix);
    const bool announced = waitUntil(
        [this] { return process_.output().find('\n') != std::string::npos || !process_.running(); },
        10000, 10);
    if (!announced || !process_.running()) {
        return false;
    }
    port_ = static_cast<quint16>(std::stoi(process_.output()));
    return true;
}

RelayCounts Relay::stop() {
    process_.stop(SIGTERM);
    RelayCounts counts;
    const std::string out = process_.output();
    const std::size_t at = out.rfind("relay:");
    if (at == std::string::npos) {
        return counts;
    }
    counts.line = out.substr(at, out.find('\n', at) - at);
    std::sscanf(counts.line.c_str(),
                "relay: up forwarded=%ld dropped=%ld (cut %*d); down forwarded=%ld dropped=%ld",
                &counts.upForwarded, &counts.upDropped, &counts.downForwarded, &counts.downDropped);
    const std::size_t extra = counts.line.find("up duplicated=");
    if (extra != std::string::npos) {
        std::sscanf(counts.line.c_str() + extra,
                    "up duplicated=%ld delayed=%ld; down duplicated=%ld delayed=%ld",
                    &counts.upDuplicated, &counts.upDelayed, &counts.downDuplicated,
                    &counts.downDelayed);
    }
    return counts;
}

struct ScriptedLink::Held {
    std::chrono::steady_clock::time_point due;
    bool up;
    std::string bytes;
};

ScriptedLink::ScriptedLink(quint16 serverPort, Decide decide)
    : serverPort_(serverPort), decide_(std::move(decide)), clientSide_(loopbackSocket()),
      serverSide_(loopbackSocket()) {
    thread_ = std::thread([this] { run(); });
}

ScriptedLink::~ScriptedLink() {
    stop_ = true;
    thread_.join();
    ::close(clientSide_);
    ::close(serverSide_);
}

quint16 ScriptedLink::port() const {
    return portOf(clientSide_);
}

void ScriptedLink::run() {
    std::vector<char> buffer(65536);
    while (!stop_) {
        pollfd fds[2] = {{clientSide_, POLLIN, 0}, {serverSide_, POLLIN, 0}};
        ::poll(fds, 2, 2);
        if (fds[0].revents & POLLIN) {
            socklen_t length = sizeof client_;
            const ssize_t n = ::recvfrom(clientSide_, buffer.data(), buffer.size(), 0,
                                         reinterpret_cast<sockaddr*>(&client_), &length);
            take(true, buffer.data(), n);
        }
        if (fds[1].revents & POLLIN) {
            take(false, buffer.data(), ::recv(serverSide_, buffer.data(), buffer.size(), 0));
        }
        release();
    }
}

void ScriptedLink::take(bool up, const char* bytes, long n) {
    if (n <= 0) {
        return;
    }
    for (Forward& forward : decide_(up, std::string(bytes, static_cast<std::size_t>(n)))) {
        held_.push_back(
            {std::chrono::steady_clock::now() + std::chrono::milliseconds(forward.delayMs), up,
             std::move(forward.bytes)});
    }
}

void ScriptedLink::release() {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = held_.begin(); it != held_.end();) {
        if (it->due > now) {
            ++it;
            continue;
        }
        if (it->up) {
            const sockaddr_in server = loopback(serverPort_);
            ::sendto(serverSide_, it->bytes.data(), it->bytes.size(), 0,
                     reinterpret_cast<const sockaddr*>(&server), sizeof server);
        } else {
            ::sendto(clientSide_, it->bytes.data(), it->bytes.size(), 0,
                     reinterpret_cast<const sockaddr*>(&client_), sizeof client_);
        }
        it = held_.erase(it);
    }
}

int loopbackSocket() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    return fd;
}

quint16 portOf(int fd) {
    sockaddr_in at{};
    socklen_t length = sizeof at;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
    return ntohs(at.sin_port);
}

std::optional<std::string> ask(const UdpPeer& peer, quint16 port, const std::string& frame,
                               int attempts, int limitMs) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        peer.drain();
        peer.send(port, frame);
        if (auto answer = peer.receive(limitMs)) {
            return answer;
        }
    }
    return std::nullopt;
}

// libcrypto's SHA-256 rather than Qt's: the largest file of the tests is over 2 GiB, hashed at
// both ends, and libcrypto uses the processor's SHA instructions.
std::string sha256OfFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(),
                                                                     EVP_MD_CTX_free);
    bool good = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
    std::vector<char> buffer(1 << 20);
    for (ssize_t n = 1; good && n > 0;) {
        n = ::read(fd, buffer.data(), buffer.size());
        good =
            n >= 0 && EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(n)) == 1;
    }
    ::close(fd);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!good || EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
        return {};
    }
    return QByteArray(reinterpret_cast<const char*>(digest), static_cast<int>(length))
        .toHex()
        .toStdString();
}

std::map<std::string, std::string> digestsUnder(const std::string& folder) {
    std::map<std::string, std::string> digests;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec)) {
            digests[fs::relative(it->path(), folder, ec).string()] =
                sha256OfFile(it->path().string());
        }
    }
    return digests;
}

std::vector<std::string> entriesUnder(const std::string& folder) {
    std::vector<std::string> entries;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        entries.push_back(fs::relative(it->path(), folder, ec).string());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

std::int64_t sizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

void removeTree(const std::string& folder) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        fs::remove_all(it->path(), ec);
    }
}

void makeFolder(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
}

} // namespace faults

namespace faults {

void FileSet::add(const std::string& name, std::string bytes) {
    files_[name] = std::move(bytes);
}

void FileSet::put(const std::string& outbox) const {
    for (const auto& [name, bytes] : files_) {
        zelktest::writeFile(outbox + "/" + name, bytes);
    }
}

bool FileSet::arrived(const std::string& arrivalFolder, const std::string& outbox) const {
    for (const auto& [name, bytes] : files_) {
        if (bytes.empty()) {
            if (sizeOf(outbox + "/" + name) != 0) {
                return false;
            }
            continue;
        }
        if (sizeOf(arrivalFolder + "/" + name) != static_cast<std::int64_t>(bytes.size()) ||
            sizeOf(outbox + "/" + name) >= 0) {
            return false;
        }
    }
    return true;
}

namespace {

std::string sha256Of(const std::string& bytes) {
    return QCryptographicHash::hash(
               QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
               QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

} // namespace

std::vector<std::string> FileSet::damaged(const std::string& arrivalFolder) const {
    std::vector<std::string> names;
    for (const auto& [name, bytes] : files_) {
        if (!bytes.empty() && sha256OfFile(arrivalFolder + "/" + name) != sha256Of(bytes)) {
            names.push_back(name);
        }
    }
    return names;
}

Fates FileSet::fates(const std::string& arrivalFolder, const std::string& outbox) const {
    Fates fates;
    for (const auto& [name, bytes] : files_) {
        if (bytes.empty()) {
            continue;
        }
        const std::string sent = sha256Of(bytes);
        const std::string inOutbox = outbox + "/" + name;
        if (sizeOf(inOutbox) >= 0) {
            (sha256OfFile(inOutbox) == sent ? fates.waiting : fates.lost).push_back(name);
        } else {
            const bool intact = sha256OfFile(arrivalFolder + "/" + name) == sent;
            (intact ? fates.delivered : fates.lost).push_back(name);
        }
    }
    return fates;
}

std::vector<std::string> FileSet::leftInOutbox(const std::string& outbox) const {
    std::vector<std::string> names;
    for (const std::string& entry : entriesUnder(outbox)) {
        const auto found = files_.find(entry);
        if (found == files_.end() || !found->second.empty()) {
            names.push_back(entry);
        }
    }
    return names;
}

std::int64_t FileSet::totalBytes() const {
    std::int64_t total = 0;
    for (const auto& entry : files_) {
        total += static_cast<std::int64_t>(entry.second.size());
    }
    return total;
}

std::int64_t FileSet::largest() const {
    std::int64_t largest = 0;
    for (const auto& entry : files_) {
        largest = std::max(largest, static_cast<std::int64_t>(entry.second.size()));
    }
    return largest;
}

} // namespace faults
