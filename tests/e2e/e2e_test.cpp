// The real server and the real client, as the user runs them, over loopback: files leave the
// outbox and arrive whole in the origin's folder, even when the client is killed mid-file.

#include "fsops.h"
#include "testutil.h"

#include <QProcess>
#include <QTcpServer>
#include <QTest>
#include <QUdpSocket>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>

using namespace zelktest;

namespace {

constexpr int kStartMs = 15000;
constexpr int kTransferMs = 240000; // bounds only: a loaded machine may be slow

QString binary(const char* name) {
    const char* folder = std::getenv("ZELK_BIN_DIR");
    return QString::fromLocal8Bit(folder ? folder : ".") + QLatin1Char('/') + QLatin1String(name);
}

// One of the two programs, headless, stopped by its pid at the end of the test.
class Program {
public:
    ~Program() { kill(); }
    void start(const char* name, const std::string& configPath) {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(binary(name), {QStringLiteral("--headless"), QStringLiteral("--config"),
                                      QString::fromStdString(configPath)});
        ASSERT_TRUE(process_.waitForStarted(kStartMs)) << name;
    }
    bool running() const { return process_.state() == QProcess::Running; }
    void kill() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill(); // SIGKILL to its pid: no shutdown step, as when the power goes
            process_.waitForFinished(kStartMs);
        }
    }

private:
    QProcess process_;
};

class EndToEnd : public ::testing::Test {
protected:
    EndToEnd() {
        std::filesystem::create_directory(outbox);
        writeFile(dir.file("server.cfg"),
                  "receivePort_IP=" + std::to_string(udpPort) +
                      "\nreceivePortTCP=" + std::to_string(zelktest::freeTcpPort()) +
                      "\ndirectoryFiles=" + inbox + "\nCollecte_Trace=N\n");
    }

    void writeClientConfig(int pieceMax) {
        writeFile(dir.file("client.cfg"),
                  "directoryFiles=" + outbox +
                      "\nvidangeDirFile=20\nattendApresSnd=500\n"
                      "id_de_Lorigine=e2e\nip_destadresse=127.0.0.1\n"
                      "ip_portadresse=" +
                      std::to_string(udpPort) +
                      "\nip_port_locals=0\npaquets_UdpMax=" + std::to_string(pieceMax) + "\n");
    }

    void put(const std::string& name, const std::string& bytes) {
        writeFile(zelk::joinPath(outbox, name), bytes);
        sent[name] = bytes;
    }
    std::string outboxPath(const std::string& name) const { return zelk::joinPath(outbox, name); }
    std::string arrivedPath(const std::string& name) const {
        return zelk::joinPath(zelk::joinPath(inbox, "e2e"), name);
    }
    bool allSent() const {
        for (const auto& [name, bytes] : sent) {
            if (std::filesystem::exists(outboxPath(name))) {
                return false;
            }
        }
        return true;
    }
    void expectArrivedIdentical() const {
        for (const auto& [name, bytes] : sent) {
            const std::string arrived = readFile(arrivedPath(name));
            EXPECT_EQ(arrived.size(), bytes.size()) << name;
            EXPECT_TRUE(arrived == bytes) << name << " differs";
        }
    }

    ScratchDir dir;
    const std::string outbox = dir.file("outbox");
    const std::string inbox = dir.file("inbox");
    const quint16 udpPort = zelktest::freeUdpPort();
    std::map<std::string, std::string> sent;
    Program server;
    Program client;
};

TEST_F(EndToEnd, FilesOfAwkwardSizesArriveIdenticalAndLeaveTheOutbox) {
    put("one.bin", "z");
    put("exact.bin", patternBytes(1000, 2));
    put("three-pieces.bin", patternBytes(3000, 3));
    put("just-over.bin", patternBytes(3001, 4));
    put("several-mib.bin", patternBytes(5 * 1024 * 1024 + 7, 5));
    put("nom accentué.txt", "UTF-8 names travel byte for byte\n");
    writeFile(outboxPath("empty.bin"), "");
    std::filesystem::create_directory(outboxPath("sub"));
    writeFile(zelk::joinPath(outboxPath("sub"), "inner.bin"), "stays");
    writeClientConfig(1000);

    server.start("Serveur_ZelkFiles", dir.file("server.cfg"));
    client.start("Client_ZelkFiles", dir.file("client.cfg"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return allSent(); }, kTransferMs));
    expectArrivedIdentical();
    EXPECT_TRUE(std::filesystem::exists(outboxPath("empty.bin")));
    EXPECT_EQ(readFile(zelk::joinPath(outboxPath("sub"), "inner.bin")), "stays");
    EXPECT_FALSE(std::filesystem::exists(arrivedPath("inner.bin")));
    EXPECT_TRUE(client.running());
    EXPECT_TRUE(server.running());
}

TEST_F(EndToEnd, AClientKilledMidFileDeliversItWholeAfterARestart) {
    const std::size_t size = 32 * 1024 * 1024;
    put("big.bin", patternBytes(size, 9));
    writeClientConfig(4000); // thousands of round trips: time enough to catch it mid-file
    server.start("Serveur_ZelkFiles", dir.file("server.cfg"));
    client.start("Client_ZelkFiles", dir.file("client.cfg"));

    const auto midFile = [&] {
        const auto arrived = zelk::fileLength(arrivedPath(".big.bin.zx-part")); // staged
        return arrived && *arrived > 0 && *arrived < static_cast<std::int64_t>(size);
    };
    ASSERT_TRUE(QTest::qWaitFor(midFile, kTransferMs));
    client.kill();
    ASSERT_TRUE(std::filesystem::exists(outboxPath("big.bin")))
        << "the whole file went before the kill";

    Program restarted;
    restarted.start("Client_ZelkFiles", dir.file("client.cfg"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return allSent(); }, kTransferMs));
    expectArrivedIdentical();
}

TEST(ClientProgram, StartUpFailuresEndWithStatusOneAndOneLineNamingTheCause) {
    ScratchDir dir;
    QUdpSocket taken;
    ASSERT_TRUE(taken.bind(QHostAddress::Any, 0));
    const std::string outbox = "directoryFiles=" + dir.file("outbox") + "\n";
    const std::pair<std::string, const char*> cases[] = {
        {outbox + "ip_port_locals=0\n", "id_de_Lorigine="},
        {"directoryFiles=" + dir.file("no/such/parent") + "\nid_de_Lorigine=x\n",
         "directoryFiles="},
        {outbox + "id_de_Lorigine=x\nip_port_locals=" + std::to_string(taken.localPort()) + "\n",
         "ip_port_locals="},
        {outbox + "id_de_Lorigine=x\nip_port_locals=0\nip_portadresse=70000\n", "ip_portadresse="},
    };
    for (const auto& [config, cause] : cases) {
        writeFile(dir.file("client.cfg"), config);
        QProcess client;
        client.start(binary("Client_ZelkFiles"),
                     {QStringLiteral("--headless"), QStringLiteral("--config"),
                      QString::fromStdString(dir.file("client.cfg"))});
        ASSERT_TRUE(client.waitForFinished(kStartMs)) << cause;
        EXPECT_EQ(client.exitCode(), 1) << cause;
        const QString error = QString::fromLocal8Bit(client.readAllStandardError());
        // Warnings about the file (a key left out, say) may come first; the cause is one line.
        const QString warning = QStringLiteral("Client_ZelkFiles: warning: ");
        EXPECT_EQ(error.count(QLatin1Char('\n')) - error.count(warning), 1) << error.toStdString();
        EXPECT_TRUE(error.contains(QLatin1String(cause))) << error.toStdString();
    }
    QProcess missing;
    missing.start(binary("Client_ZelkFiles"),
                  {QStringLiteral("--headless"), QStringLiteral("--config"),
                   QString::fromStdString(dir.file("none.cfg"))});
    ASSERT_TRUE(missing.waitForFinished(kStartMs));
    EXPECT_EQ(missing.exitCode(), 1);
    EXPECT_TRUE(missing.readAllStandardError().contains("none.cfg"));
}

} // namespace
