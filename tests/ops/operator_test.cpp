// What the people who run the programs rely on beyond the trace: a record of every file on both
// sides (a line on standard error, a JSON line in the transfer journal), the server's command
// after each file, and a running service seen from a shell: --status, one program per
// configuration, and a reload on SIGHUP.

#include "fsops.h"
#include "testutil.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <QUdpSocket>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zelktest;
using zelk::joinPath;
using zelk::listFiles;

namespace {

constexpr int kWaitMs = 60000; // a bound only: a loaded machine may be slow

QString binary(const char* program) {
    return qEnvironmentVariable("ZELK_BIN_DIR") + QLatin1Char('/') + QLatin1String(program);
}

// Each program of a test finds the others' sockets in the test's own runtime folder.
QProcessEnvironment environmentIn(const ScratchDir& dir) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(dir.path()));
    return env;
}

struct Ran {
    int exitCode = -1;
    std::string out;
    std::string err;
};

Ran runToEnd(const ScratchDir& dir, const char* program, const QStringList& arguments) {
    QProcess process;
    process.setProcessEnvironment(environmentIn(dir));
    process.start(binary(program), arguments);
    Ran run;
    if (!process.waitForFinished(kWaitMs)) {
        process.kill();
        process.waitForFinished(kWaitMs);
        ADD_FAILURE() << program << " did not end by itself";
        return run;
    }
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
}

class Service {
public:
    Service(const ScratchDir& dir, const char* program, const std::string& config)
        : program_(program) {
        process_.setProcessEnvironment(environmentIn(dir));
        process_.start(binary(program), {QStringLiteral("--headless"), QStringLiteral("--config"),
                                         QString::fromStdString(config)});
        EXPECT_TRUE(process_.waitForStarted(kWaitMs)) << program;
    }
    ~Service() { stop(); }
    int stop() {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(kWaitMs)) {
                process_.kill();
                process_.waitForFinished(kWaitMs);
            }
        }
        said();
        return process_.exitCode();
    }
    void signal(int number) { ::kill(static_cast<pid_t>(process_.processId()), number); }
    qint64 pid() const { return process_.processId(); }
    bool running() const { return process_.state() == QProcess::Running; }
    const std::string& said() {
        err_ += process_.readAllStandardError().toStdString();
        return err_;
    }
    bool waitFor(const std::string& text) {
        return QTest::qWaitFor([&] { return said().find(text) != std::string::npos; }, kWaitMs);
    }

private:
    const char* program_;
    QProcess process_;
    std::string err_;
};

std::vector<QJsonObject> journal(const std::string& path) {
    std::vector<QJsonObject> records;
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored)) {
        return records;
    }
    const std::string text = readFile(path);
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t end = text.find('\n', from);
        const QJsonDocument line =
            QJsonDocument::fromJson(QByteArray::fromStdString(text.substr(from, end - from)));
        EXPECT_TRUE(line.isObject()) << text.substr(from, end - from);
        records.push_back(line.object());
        from = end == std::string::npos ? text.size() : end + 1;
    }
    return records;
}

const QJsonObject* recordOf(const std::vector<QJsonObject>& records, const std::string& file) {
    for (const QJsonObject& record : records) {
        if (record.value(QStringLiteral("file")).toString().toStdString() == file) {
            return &record;
        }
    }
    return nullptr;
}

} // namespace

// Two files through the extension: each side's journal holds one JSON line per file with the
// digest both agree on, and the command after each file gets the path as one argument (a name
// that a shell would run stays a name) with the file's facts in its environment.
TEST(FileRecords, JournalOnBothSidesAndTheCommandAfterEachFile) {
    ScratchDir dir;
    const quint16 port = freeUdpPort();
    ASSERT_NE(port, 0);
    const std::string outbox = dir.file("outbox");
    std::filesystem::create_directory(outbox);
    const std::string hostile = "x $(touch PWNED) `touch PWNED`.bin";
    const std::map<std::string, std::string> files = {{"a.bin", patternBytes(200000, 5)},
                                                      {hostile, patternBytes(3000, 6)}};
    for (const auto& [name, bytes] : files) {
        writeFile(joinPath(outbox, name), bytes);
    }
    // The command fails for the hostile name, to show a failure is told.
    writeFile(dir.file("after.sh"), "#!/bin/sh\nprintf '%s|%s|%s|%s|%s\\n' \"$1\" \"$ZELK_ORIGIN\" "
                                    "\"$ZELK_FILE\" \"$ZELK_SIZE\" \"$ZELK_SHA256\" >>\"" +
                                        dir.file("seen") +
                                        "\"\ncase \"$ZELK_FILE\" in x*) exit 3;; esac\n");
    ::chmod(dir.file("after.sh").c_str(), 0755);
    writeFile(dir.file("s.cfg"), "receivePort_IP=" + std::to_string(port) +
                                     "\nreceivePortTCP=0\ndirectoryFiles=" + dir.file("inbox") +
                                     "\njournal_Transf=" + dir.file("server.jsonl") +
                                     "\napresReception=" + dir.file("after.sh") + "\n");
    writeFile(dir.file("c.cfg"), "directoryFiles=" + outbox +
                                     "\nvidangeDirFile=20\nattendApresSnd=1000\n"
                                     "id_de_Lorigine=poste7\nip_destadresse=127.0.0.1\n"
                                     "ip_portadresse=" +
                                     std::to_string(port) +
                                     "\njournal_Transf=" + dir.file("client.jsonl") + "\n");
    Service server(dir, "Serveur_ZelkFiles", dir.file("s.cfg"));
    ASSERT_TRUE(server.waitFor(" started "));
    Service client(dir, "Client_ZelkFiles", dir.file("c.cfg"));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return listFiles(outbox).empty() && journal(dir.file("server.jsonl")).size() == 2 &&
                   journal(dir.file("client.jsonl")).size() == 2 &&
                   std::filesystem::exists(dir.file("seen")) &&
                   readFile(dir.file("seen")).find(hostile + "|") != std::string::npos &&
                   readFile(dir.file("seen")).find("a.bin|") != std::string::npos;
        },
        kWaitMs))
        << server.said() << client.said();
    ASSERT_TRUE(server.waitFor("command failed"));
    client.stop();
    server.stop();

    const auto received = journal(dir.file("server.jsonl"));
    const auto sent = journal(dir.file("client.jsonl"));
    for (const auto& [name, bytes] : files) {
        const std::string digest =
            QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
                .toHex()
                .toStdString();
        const QJsonObject* in = recordOf(received, name);
        const QJsonObject* out = recordOf(sent, name);
        ASSERT_TRUE(in != nullptr && out != nullptr) << name;
        for (const QJsonObject* record : {in, out}) {
            EXPECT_EQ(record->value(QStringLiteral("origin")).toString(), QStringLiteral("poste7"));
            EXPECT_EQ(record->value(QStringLiteral("size")).toInteger(),
                      static_cast<qint64>(bytes.size()));
            EXPECT_EQ(record->value(QStringLiteral("sha256")).toString().toStdString(), digest);
            EXPECT_EQ(record->value(QStringLiteral("protocol")).toString(), QStringLiteral("ZX1"));
        }
        EXPECT_EQ(in->value(QStringLiteral("event")).toString(), QStringLiteral("received"));
        EXPECT_EQ(out->value(QStringLiteral("event")).toString(), QStringLiteral("sent"));
        // The sender counts what the extension sent again; the receiver cannot tell.
        EXPECT_TRUE(out->value(QStringLiteral("bytes_sent_again")).isDouble());
        const std::string landed = joinPath(joinPath(dir.file("inbox"), "poste7"), name);
        EXPECT_EQ(in->value(QStringLiteral("path")).toString().toStdString(), landed);
        EXPECT_NE(readFile(dir.file("seen"))
                      .find(landed + "|poste7|" + name + "|" + std::to_string(bytes.size()) + "|" +
                            digest + "\n"),
                  std::string::npos)
            << readFile(dir.file("seen"));
    }
    // The name reached the command as a name: nothing ran it.
    EXPECT_FALSE(std::filesystem::exists(dir.file("PWNED")));
    EXPECT_FALSE(std::filesystem::exists(joinPath(joinPath(dir.file("inbox"), "poste7"), "PWNED")));
    EXPECT_NE(server.said().find("exit status 3"), std::string::npos) << server.said();
    EXPECT_NE(server.said().find("file received origin \"poste7\" file \"a.bin\", 200000 bytes"),
              std::string::npos)
        << server.said();
}

// From an ssh session: --status prints what the service does (as text or JSON), a second copy of
// the same configuration refuses to run, SIGHUP reloads what it can and names what needs a
// restart, and --status says when nothing runs.
TEST(RunningService, StatusOneInstanceAndReload) {
    ScratchDir dir;
    const quint16 port = freeUdpPort();
    ASSERT_NE(port, 0);
    const std::string key(64, 'a');
    writeFile(dir.file("keys"), key + " poste7\n");
    ::chmod(dir.file("keys").c_str(), 0600);
    const std::string base = "receivePortTCP=0\ndirectoryFiles=" + dir.file("inbox") +
                             "\nfichier_Cles_S=" + dir.file("keys") + "\n";
    const QString config = QString::fromStdString(dir.file("s.cfg"));
    writeFile(dir.file("s.cfg"), "receivePort_IP=" + std::to_string(port) + "\n" + base);
    Service server(dir, "Serveur_ZelkFiles", dir.file("s.cfg"));
    ASSERT_TRUE(server.waitFor(" started "));

    const Ran text = runToEnd(dir, "Serveur_ZelkFiles",
                              {QStringLiteral("--status"), QStringLiteral("--config"), config});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("Serveur_ZelkFiles running with " + dir.file("s.cfg") + " (pid " +
                            std::to_string(server.pid()) + ")\nUDP port = " + std::to_string(port)),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("0 transfer(s) under way"), std::string::npos) << text.out;
    const Ran json = runToEnd(
        dir, "Serveur_ZelkFiles",
        {QStringLiteral("--status"), QStringLiteral("--json"), QStringLiteral("--config"), config});
    const QJsonObject state = QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).object();
    EXPECT_EQ(state.value(QStringLiteral("pid")).toInteger(), server.pid()) << json.out;
    EXPECT_EQ(state.value(QStringLiteral("rowCount")).toInt(-1), 0) << json.out;

    const Ran second = runToEnd(dir, "Serveur_ZelkFiles",
                                {QStringLiteral("--headless"), QStringLiteral("--config"), config});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("error: already running as pid " + std::to_string(server.pid())),
              std::string::npos)
        << second.err;

    // A new port waits for a restart; the trace and the journal are taken at once.
    writeFile(dir.file("s.cfg"), "receivePort_IP=" + std::to_string(port + 1) + "\n" + base +
                                     "Collecte_Trace=O\njournal_Transf=" + dir.file("j.jsonl") +
                                     "\n");
    server.signal(SIGHUP);
    ASSERT_TRUE(server.waitFor(" reloaded ")) << server.said();
    EXPECT_NE(server.said().find("receivePort_IP= changed: it takes effect at the next restart"),
              std::string::npos)
        << server.said();
    EXPECT_NE(server.said().find("trace on, transfer journal " + dir.file("j.jsonl") +
                                 ", keys read again from " + dir.file("keys")),
              std::string::npos)
        << server.said();
    // A damaged key file is not taken: the keys in use stay, and the server goes on.
    writeFile(dir.file("keys"), "not a key line\n");
    server.signal(SIGHUP);
    ASSERT_TRUE(server.waitFor("keys not reloaded")) << server.said();
    EXPECT_NE(server.said().find("the keys loaded before stay"), std::string::npos);

    // The menu's entry, started while the service runs, opens the window on it instead.
    QProcess window;
    QProcessEnvironment windowed = environmentIn(dir);
    windowed.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    window.setProcessEnvironment(windowed);
    window.start(binary("Serveur_ZelkFiles"), {QStringLiteral("--config"), config});
    ASSERT_TRUE(window.waitForStarted(kWaitMs));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return window.readAllStandardError().contains("watching it") ||
                   window.state() == QProcess::NotRunning;
        },
        kWaitMs));
#ifdef ZELK_GUI
    EXPECT_EQ(window.state(), QProcess::Running);
#endif
    window.kill();
    window.waitForFinished(kWaitMs);
    // Still running, on its port.
    QUdpSocket probe;
    EXPECT_FALSE(probe.bind(QHostAddress::Any, port));
    EXPECT_TRUE(server.running());
    EXPECT_EQ(server.stop(), 0);
    EXPECT_NE(server.said().find("stopped by SIGTERM"), std::string::npos) << server.said();

    const Ran gone = runToEnd(dir, "Serveur_ZelkFiles",
                              {QStringLiteral("--status"), QStringLiteral("--config"), config});
    EXPECT_EQ(gone.exitCode, 3);
    EXPECT_NE(gone.err.find("not running with"), std::string::npos) << gone.err;
}

// A relative folder is told as the absolute path it names, and an outbox removed while the client
// runs is made again with a warning: files dropped meanwhile into a folder of that name elsewhere
// would otherwise wait unseen.
TEST(ClientOutbox, RelativeFoldersAreToldAbsoluteAndAnOutboxMadeAgainIsWarnedAbout) {
    ScratchDir dir;
    writeFile(dir.file("c.cfg"), "directoryFiles=outbox\nvidangeDirFile=20\nattendApresSnd=500\n"
                                 "id_de_Lorigine=poste7\nip_destadresse=127.0.0.1\n"
                                 "ip_portadresse=9\npaquets_UdpMax=1400\n");
    QProcess client;
    client.setProcessEnvironment(environmentIn(dir));
    client.setWorkingDirectory(QString::fromStdString(dir.path()));
    client.start(binary("Client_ZelkFiles"),
                 {QStringLiteral("--headless"), QStringLiteral("--config"),
                  QString::fromStdString(dir.file("c.cfg"))});
    ASSERT_TRUE(client.waitForStarted(kWaitMs));
    std::string said;
    const auto waitFor = [&](const std::string& text) {
        return QTest::qWaitFor(
            [&] {
                said += client.readAllStandardError().toStdString();
                return said.find(text) != std::string::npos;
            },
            kWaitMs);
    };
    ASSERT_TRUE(waitFor(", outbox " + dir.file("outbox") + "\n")) << said;
    ASSERT_EQ(::rmdir(dir.file("outbox").c_str()), 0);
    EXPECT_TRUE(waitFor("outbox renewed " + dir.file("outbox") + " was gone")) << said;
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("outbox")));
    client.terminate();
    EXPECT_TRUE(client.waitForFinished(kWaitMs));
}

#ifdef ZELK_GUI
// A window whose start failed (its port taken) shows the cause in a message box; SIGTERM still
// ends it, as it ends any program that has not started.
TEST(WindowStart, AFailedStartEndsOnSigterm) {
    ScratchDir dir;
    QUdpSocket taken;
    ASSERT_TRUE(taken.bind(QHostAddress::Any, 0));
    writeFile(dir.file("s.cfg"), "receivePort_IP=" + std::to_string(taken.localPort()) +
                                     "\nreceivePortTCP=0\ndirectoryFiles=" + dir.file("inbox") +
                                     "\n");
    QProcess window;
    QProcessEnvironment env = environmentIn(dir);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    window.setProcessEnvironment(env);
    window.start(binary("Serveur_ZelkFiles"),
                 {QStringLiteral("--config"), QString::fromStdString(dir.file("s.cfg"))});
    ASSERT_TRUE(window.waitForStarted(kWaitMs));
    std::string said;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            said += window.readAllStandardError().toStdString();
            return said.find("error: cannot bind UDP port") != std::string::npos;
        },
        kWaitMs))
        << said;
    window.terminate();
    EXPECT_TRUE(window.waitForFinished(5000));
    window.kill();
    window.waitForFinished(kWaitMs);
}
#endif
