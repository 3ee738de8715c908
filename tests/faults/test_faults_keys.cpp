// Keyed origins with the real programs: while a keyed client sends its files through a path that
// records everything, an intruder with the wrong key, forged plain frames naming the origin, and
// the recorded handshakes and datagrams played back (as they were, altered, and reflected) all
// change nothing: the genuine files arrive byte for byte and nothing else lands in the origin's
// folder. A key file others may read stops either program at start-up.

#include "faultkit.h"
#include "testutil.h"

#include "codec.h"
#include "config.h"
#include "extcodec.h"
#include "secure.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace faults;

void writeSecret(const std::string& path, const std::string& text, mode_t mode = 0600) {
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
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

// Passes datagrams between the client and the server unchanged, keeping a copy of each: what an
// eavesdropper on the path would record.
class Recorder {
public:
    explicit Recorder(quint16 serverPort) : serverPort_(serverPort) {
        thread_ = std::thread([this] { run(); });
    }
    ~Recorder() {
        stop_ = true;
        thread_.join();
        ::close(clientSide_);
        ::close(serverSide_);
    }
    quint16 port() const { return portOf(clientSide_); }
    std::vector<std::string> up() {
        const std::lock_guard lock(mutex_);
        return up_;
    }
    std::vector<std::string> down() {
        const std::lock_guard lock(mutex_);
        return down_;
    }

private:
    void run() {
        std::vector<char> buffer(65536);
        sockaddr_in client{};
        while (!stop_) {
            pollfd fds[2] = {{clientSide_, POLLIN, 0}, {serverSide_, POLLIN, 0}};
            if (::poll(fds, 2, 20) <= 0) {
                continue;
            }
            if (fds[0].revents & POLLIN) {
                socklen_t length = sizeof client;
                const ssize_t n = ::recvfrom(clientSide_, buffer.data(), buffer.size(), 0,
                                             reinterpret_cast<sockaddr*>(&client), &length);
                keep(up_, buffer.data(), n);
                sockaddr_in server{};
                server.sin_family = AF_INET;
                server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                server.sin_port = htons(serverPort_);
                ::sendto(serverSide_, buffer.data(),
                         static_cast<std::size_t>(std::max<ssize_t>(n, 0)), 0,
                         reinterpret_cast<sockaddr*>(&server), sizeof server);
            }
            if (fds[1].revents & POLLIN) {
                const ssize_t n = ::recv(serverSide_, buffer.data(), buffer.size(), 0);
                keep(down_, buffer.data(), n);
                ::sendto(clientSide_, buffer.data(),
                         static_cast<std::size_t>(std::max<ssize_t>(n, 0)), 0,
                         reinterpret_cast<sockaddr*>(&client), sizeof client);
            }
        }
    }
    void keep(std::vector<std::string>& into, const char* bytes, ssize_t n) {
        const std::lock_guard lock(mutex_);
        if (n > 0 && into.size() < 20000) {
            into.emplace_back(bytes, static_cast<std::size_t>(n));
        }
    }

    quint16 serverPort_;
    int clientSide_ = loopbackSocket();
    int serverSide_ = loopbackSocket();
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> up_;
    std::vector<std::string> down_;
    std::thread thread_;
};

bool sealed(const std::string& datagram) {
    return !datagram.empty() && datagram[0] == zelk::ext::kSealedStart;
}

// Everything an attacker without the key can try from its own socket, given what it recorded.
void attack(const UdpPeer& attacker, quint16 server, Recorder& path) {
    const std::string origin = zelk::originIdentifier("poste-k");
    attacker.send(server, zelk::buildHeaderFrame(origin, "autre.bin", 5)); // abandon the file
    attacker.send(server, zelk::buildHeaderFrame(origin, "a-big.bin", 7)); // reset it
    attacker.send(server, zelk::buildHeaderFrame(origin, "a-big.bin", "5",
                                                 zelk::ext::offerField({0x5eedULL, 5})));
    attacker.send(server, std::string(1, '\x01') + origin + "5;junk");
    for (const std::string& datagram : path.up()) {
        attacker.send(server, datagram); // replayed: headers with their proofs, sealed pieces
        if (sealed(datagram)) {
            std::string altered = datagram;
            altered.back() = static_cast<char>(altered.back() ^ 0x40);
            attacker.send(server, altered);
            // The same transfer in clear: its identity travels in every datagram.
            std::string clear;
            zelk::ext::encode(zelk::ext::Kind::Data, zelk::ext::sealedHead(datagram)->transfer, 0,
                              "forged", clear);
            attacker.send(server, clear);
        }
    }
    for (const std::string& answer : path.down()) {
        attacker.send(server, answer); // the server's own answers reflected back to it
    }
}

TEST(FaultsKeys, NothingWithoutTheKeyChangesAKeyedOriginsTransfers) {
    ASSERT_TRUE(zelk::ext::cryptoReady());
    zelktest::ScratchDir scratch;
    const std::string genuine = zelk::ext::hexOf(zelk::ext::newKey());
    const std::string wrong = zelk::ext::hexOf(zelk::ext::newKey());
    writeSecret(scratch.file("server.keys"), "# keys\n" + genuine + " poste-k\n");
    writeSecret(scratch.file("genuine.key"), genuine + "\n");
    writeSecret(scratch.file("wrong.key"), wrong + "\n");
    Server server{scratch.path(), scratch.file("recv")};
    server.extraConfig = "fichier_Cles_S=" + scratch.file("server.keys") + "\r\n";
    ASSERT_TRUE(server.start()) << server.process().errors();
    Recorder path(server.udpPort());

    ClientSettings settings{"poste-k", path.port()};
    settings.extension = true;
    settings.extraConfig = "fichier_Cles_C=" + scratch.file("genuine.key") + "\r\n" +
                           "tailleTrameZX1=9999\r\ndebitMaxi_Mbit=40\r\n";
    Client client(scratch.file("c"), settings);
    FileSet files;
    files.add("a-big.bin", zelktest::patternBytes(6 << 20, 11));
    for (int i = 0; i < 6; ++i) {
        files.add("f-" + std::to_string(i) + ".bin",
                  zelktest::patternBytes(static_cast<std::size_t>(100000 + i * 7919), 12U + i));
    }
    files.put(client.outbox());

    ClientSettings intruderSettings{"poste-k", server.udpPort()};
    intruderSettings.extension = true;
    intruderSettings.extraConfig = "fichier_Cles_C=" + scratch.file("wrong.key") + "\r\n";
    Client intruder(scratch.file("i"), intruderSettings);
    FileSet intrusion;
    intrusion.add("a-big.bin", "not the genuine bytes");
    intrusion.add("intrus.bin", "written by someone without the key");
    intrusion.put(intruder.outbox());
    ASSERT_TRUE(intruder.start()) << intruder.process().errors();
    // A client with a key the server does not hold for its origin never falls back to sending in
    // clear: the server has no key for "poste-x" and would take its file plainly.
    writeSecret(scratch.file("x.key"), wrong + "\n");
    ClientSettings strandedSettings{"poste-x", server.udpPort()};
    strandedSettings.extension = true;
    strandedSettings.extraConfig = "fichier_Cles_C=" + scratch.file("x.key") + "\r\n";
    Client stranded(scratch.file("x"), strandedSettings);
    FileSet kept;
    kept.add("secret.bin", "never in clear");
    kept.put(stranded.outbox());
    ASSERT_TRUE(stranded.start()) << stranded.process().errors();
    ASSERT_TRUE(client.start()) << client.process().errors();

    // Mid-transfer: the big file's handshake and some of its pieces are on record.
    const std::string folder = server.receiveFolder() + "/poste-k";
    ASSERT_TRUE(waitUntil(
        [&] {
            return std::filesystem::exists(folder + "/.a-big.bin.zx-part") && path.up().size() > 50;
        },
        60000, 10));
    UdpPeer attacker;
    for (int round = 0; round < 3; ++round) {
        attack(attacker, server.udpPort(), path);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_TRUE(attacker.drain().size() < path.up().size()) << "answers to the attacker";

    const bool done = waitUntil([&] { return files.arrived(folder, client.outbox()); }, 120000);
    attack(attacker, server.udpPort(), path); // and once every file is verified
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const Fates fates = files.fates(folder, client.outbox());
    EXPECT_TRUE(done);
    EXPECT_TRUE(fates.lost.empty());
    EXPECT_EQ(fates.delivered.size(), files.count());
    std::size_t inFolder = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        EXPECT_TRUE(files.damaged(folder).empty()) << entry.path();
        ++inFolder;
    }
    EXPECT_EQ(inFolder, files.count()) << "only the genuine files, no staging file left";
    EXPECT_EQ(intrusion.leftInOutbox(intruder.outbox()).size(), 2U);
    EXPECT_EQ(kept.leftInOutbox(stranded.outbox()).size(), 1U);
    EXPECT_FALSE(std::filesystem::exists(server.receiveFolder() + "/poste-x/secret.bin"));
    EXPECT_TRUE(intruder.process().running() && server.process().running());
    std::size_t clear = 0;
    for (const std::string& datagram : path.up()) {
        clear += !sealed(datagram) && datagram[0] != '\x01' ? 1 : 0;
    }
    EXPECT_EQ(clear, 0U) << "every extended datagram of a keyed origin goes sealed";
    report("keys: " + std::to_string(files.count()) + " files byte-identical through " +
           std::to_string(path.up().size()) +
           " recorded datagrams played back 4 times, altered "
           "and reflected, forged plain frames and an intruder with the wrong key");
}

TEST(FaultsKeys, AKeyFileOthersMayReadStopsEitherProgramAtStartUp) {
    zelktest::ScratchDir scratch;
    const std::string key = zelk::ext::hexOf(zelk::ext::newKey());
    writeSecret(scratch.file("server.keys"), key + " poste-k\n", 0640);
    writeSecret(scratch.file("client.key"), key + "\n", 0604);
    Server server{scratch.path(), scratch.file("recv")};
    server.extraConfig = "fichier_Cles_S=" + scratch.file("server.keys") + "\r\n";
    EXPECT_FALSE(server.start());
    EXPECT_NE(server.process().errors().find("are too open"), std::string::npos)
        << server.process().errors();
    ::chmod(scratch.file("server.keys").c_str(), 0600);
    // And with the key file right, a server that refuses origins without a key answers none.
    server.extraConfig += "sansCle_Servis=N\r\n";
    ASSERT_TRUE(server.start()) << server.process().errors();
    UdpPeer plain;
    EXPECT_FALSE(ask(plain, server.udpPort(),
                     zelk::buildHeaderFrame(zelk::originIdentifier("libre"), "f", 1), 2, 500));
    server.kill();

    ClientSettings settings{"poste-k", 9};
    settings.extension = true;
    settings.extraConfig = "fichier_Cles_C=" + scratch.file("client.key") + "\r\n";
    Client client(scratch.file("c"), settings);
    EXPECT_FALSE(client.start());
    EXPECT_NE(client.process().errors().find("are too open"), std::string::npos)
        << client.process().errors();
}

} // namespace
