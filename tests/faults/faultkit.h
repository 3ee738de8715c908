#pragma once

// Real processes for the fault tests: the server, the client and the lossy relay, started from
// ZELK_BIN_DIR with their own configuration files in scratch folders and stopped by pid; raw
// loopback peers; digests and folder snapshots.

#include "udppeer.h"
#include <netinet/in.h>

#include <sys/resource.h>
#include <sys/types.h>

#include <QtGlobal>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace faults {

// Polls `done` until it holds or `limitMs` has passed; true when it held.
bool waitUntil(const std::function<bool()>& done, int limitMs, int stepMs = 50);

std::string programPath(const std::string& name);
// A loopback port that is free now, for UDP (SOCK_DGRAM) or TCP (SOCK_STREAM).
quint16 freePort(int type);
// Whether some socket of this machine is bound to `port` (UDP) or listens on it (TCP).
bool portInUse(quint16 port, int type);

// Prints one line of what a test saw, so that the test command's output carries the figures.
void report(const std::string& line);

// Seconds since the start, or since the previous lap, as text ("12.3 s").
class Stopwatch {
public:
    Stopwatch();
    std::string total() const;
    std::string lap();

private:
    std::int64_t startMs_;
    std::int64_t lapMs_;
};

// The seed of the random choices of a test: ZELK_FAULT_SEED when set, so a run can be replayed.
unsigned long long seed(unsigned long long fallback);

// A child process with its standard output and error in files.
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // `files`: the open-file limits the child starts with (its parent's when not given).
    void start(const std::vector<std::string>& argv, const std::string& logPrefix,
               const std::string& workDir = {}, std::optional<rlimit> files = {});
    pid_t pid() const { return pid_; }
    bool running();
    void signal(int sig) const;
    // Sends `sig`, waits up to `limitMs` for the end, then SIGKILL; gives the wait status.
    int stop(int sig = SIGTERM, int limitMs = 5000);
    std::string output() const;
    std::string errors() const;
    // A field of /proc/<pid>/status in kB (VmRSS, VmHWM), -1 when it cannot be read.
    long statusKb(const std::string& field) const;
    // CPU time used so far (user and system), in clock ticks.
    long cpuTicks() const;
    // How many descriptors the process holds open.
    long openDescriptors() const;
    // The soft and hard open-file limits, from /proc/<pid>/limits.
    std::pair<long, long> openFileLimits() const;

private:
    pid_t pid_ = -1;
    int status_ = 0;
    std::string outPath_;
    std::string errPath_;
};

class Server {
public:
    // Keeps its configuration in `folder`, runs in `folder`/cwd and receives into `receiveFolder`.
    Server(std::string folder, std::string receiveFolder);
    // Starts (again, on the same ports after the first time) and waits until both ports are open.
    bool start(std::optional<rlimit> files = {});
    void kill();
    quint16 udpPort() const { return udpPort_; }
    quint16 tcpPort() const { return tcpPort_; }
    const std::string& receiveFolder() const { return receiveFolder_; }
    Child& process() { return process_; }
    // Lines added to the configuration file at each start ("stagingSimples=O\r\n").
    std::string extraConfig{};

private:
    std::string folder_;
    std::string receiveFolder_;
    quint16 udpPort_ = 0;
    quint16 tcpPort_ = 0;
    Child process_;
};

struct ClientSettings {
    std::string origin;
    quint16 destinationPort = 0;
    int loopMs = 5;
    // Long enough that a scheduling stall of the server on a loaded machine does not make a
    // late answer cross a repeated header (content frames carry no position).
    int waitMs = 300;
    int pieceMax = 9999;
    // Off, the client speaks the plain protocol only, as a client that does not know the
    // extension: the fault tests written for it keep testing it.
    bool extension = false;
    // More lines for the client's configuration, each ending in "\r\n".
    std::string extraConfig{};
};

class Client {
public:
    Client(std::string folder, ClientSettings settings);
    bool start();
    void kill();
    const std::string& outbox() const { return outbox_; }
    quint16 localPort() const { return localPort_; }
    Child& process() { return process_; }

private:
    std::string folder_;
    std::string outbox_;
    ClientSettings settings_;
    quint16 localPort_ = 0;
    Child process_;
};

struct RelayCounts {
    long upForwarded = 0;
    long upDropped = 0;
    long downForwarded = 0;
    long downDropped = 0;
    long upDuplicated = 0;
    long upDelayed = 0;
    long downDuplicated = 0;
    long downDelayed = 0;
    std::string line;
};

class Relay {
public:
    // `options` are the relay's own (--loss, --dup, --delay, --seed, --cut ...).
    bool start(const std::string& logPrefix, quint16 serverPort,
               const std::vector<std::string>& options);
    quint16 port() const { return port_; }
    RelayCounts stop();

private:
    quint16 port_ = 0;
    Child process_;
};

// A relay in the test's own process whose every decision is the test's: each datagram, up (client
// to server) or down, goes through `decide`, which gives what goes on in its place, each after its
// delay in ms: nothing (lost), the datagram, copies of it, others recorded before or forged ones.
// `decide` runs on the relay's own thread.
struct Forward {
    int delayMs;
    std::string bytes;
};

class ScriptedLink {
public:
    using Decide = std::function<std::vector<Forward>(bool up, const std::string& datagram)>;
    ScriptedLink(quint16 serverPort, Decide decide);
    ~ScriptedLink();
    ScriptedLink(const ScriptedLink&) = delete;
    ScriptedLink& operator=(const ScriptedLink&) = delete;
    // Where the client sends.
    quint16 port() const;

private:
    struct Held;
    void run();
    void take(bool up, const char* bytes, long n);
    void release();

    quint16 serverPort_;
    Decide decide_;
    int clientSide_;
    int serverSide_;
    sockaddr_in client_{};
    std::vector<Held> held_; // in order of arrival; those due leave first
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A UDP socket bound to a free port of 127.0.0.1 (the caller closes it), and a socket's port.
int loopbackSocket();
quint16 portOf(int fd);

// The raw loopback peer the other tests use too.
using zelktest::UdpPeer;

// Sends a header and expects an acknowledgement, retrying a few times (for a lossy path).
std::optional<std::string> ask(const UdpPeer& peer, quint16 port, const std::string& frame,
                               int attempts = 3, int limitMs = 2000);

std::string sha256OfFile(const std::string& path);
// Relative path of every regular file below `folder` mapped to its SHA-256.
std::map<std::string, std::string> digestsUnder(const std::string& folder);
// Relative paths of every entry below `folder` (files, folders, links).
std::vector<std::string> entriesUnder(const std::string& folder);
std::int64_t sizeOf(const std::string& path);
void makeFolder(const std::string& path);
// Removes everything below `folder` (names of any bytes), leaving the folder itself.
void removeTree(const std::string& folder);

} // namespace faults

namespace faults {

// Where the files of a set stand once the programs have stopped, as their user sees it.
struct Fates {
    std::vector<std::string> delivered; // byte-identical at the server and gone from the outbox
    std::vector<std::string> waiting;   // still in the outbox with their own bytes
    std::vector<std::string> lost;      // neither: gone from the outbox without arriving intact
};

// Files dropped into an outbox and what must arrive at the server.
class FileSet {
public:
    void add(const std::string& name, std::string bytes);
    // Writes every file into the outbox.
    void put(const std::string& outbox) const;
    // Every non-empty file has its full size in `arrivalFolder` and the outbox holds nothing but
    // the empty files.
    bool arrived(const std::string& arrivalFolder, const std::string& outbox) const;
    // Names of the files whose bytes in `arrivalFolder` differ from what was sent.
    std::vector<std::string> damaged(const std::string& arrivalFolder) const;
    std::vector<std::string> leftInOutbox(const std::string& outbox) const;
    // The fate of every non-empty file (empty ones are never sent).
    Fates fates(const std::string& arrivalFolder, const std::string& outbox) const;
    std::size_t count() const { return files_.size(); }
    std::int64_t totalBytes() const;
    std::int64_t largest() const;

private:
    std::map<std::string, std::string> files_;
};

} // namespace faults
