// What an operator who runs the programs as services sees: settings checked before anything runs
// (--check-config and its exit status), warnings written with the trace off and marked with their
// priority for the journal, a clean stop on each signal a service manager sends, readiness,
// status and watchdog through NOTIFY_SOCKET, and a program without a display that runs headless.

#include "codec.h"
#include "serveurengine.h"
#include "service.h"
#include "testutil.h"

#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QUdpSocket>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using zelktest::ScratchDir;

namespace {

constexpr int kWaitMs = 60000; // a bound only: a loaded machine may be slow

QString binary(const char* program) {
    return qEnvironmentVariable("ZELK_BIN_DIR") + QLatin1Char('/') + QLatin1String(program);
}

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

Outcome runToEnd(const char* program, const QStringList& arguments) {
    QProcess process;
    process.start(binary(program), arguments);
    Outcome outcome;
    if (!process.waitForFinished(kWaitMs) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished(kWaitMs);
        ADD_FAILURE() << program << " did not end by itself";
        return outcome;
    }
    outcome.exitCode = process.exitCode();
    outcome.out = process.readAllStandardOutput().toStdString();
    outcome.err = process.readAllStandardError().toStdString();
    return outcome;
}

std::size_t lineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The datagrams a program sends to $NOTIFY_SOCKET, gathered as one text.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        bound_ = fd_ >= 0 &&
                 ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool bound() const { return bound_; }
    const std::string& said() {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0) {
            said_.append(buffer, static_cast<std::size_t>(n));
            said_ += '\n';
        }
        return said_;
    }
    // Whether `text` comes, at or after `from` in what was said.
    bool waitFor(const std::string& text, std::size_t from = 0) {
        return QTest::qWaitFor([&] { return said().find(text, from) != std::string::npos; },
                               kWaitMs);
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
    std::string said_;
};

std::string serverConfig(const ScratchDir& dir, const std::string& extra) {
    return "receivePort_IP=0\nreceivePortTCP=0\ndirectoryFiles=" + dir.file("inbox") +
           "\nCollecte_Trace=N\n" + extra;
}

std::string clientConfig(const ScratchDir& dir, const std::string& extra) {
    return "directoryFiles=" + dir.file("outbox") +
           "\nvidangeDirFile=50\nattendApresSnd=500\nid_de_Lorigine=poste1\n"
           "ip_destadresse=127.0.0.1\nip_portadresse=9\nip_port_locals=0\npaquets_UdpMax=1400\n"
           "Collecte_Trace=N\n" +
           extra;
}

} // namespace

// Each case: what the file says, whether the program can run with it, and what it is told.
TEST(CheckConfig, TellsEveryLikelyMistakeAndExitsByWhetherItCanRun) {
    struct Case {
        const char* program;
        bool server;
        std::string extra;
        int exitCode;
        std::vector<std::string> told;
    };
    const std::vector<Case> cases = {
        {"Serveur_ZelkFiles", true, "", 0, {"configuration OK (0 warning(s))"}},
        {"Serveur_ZelkFiles",
         true,
         "receivePort_IP =45000\nrecievePortTCP=1\nreceivePortTCP=45000abc\nid_de_Lorigine=x\n"
         "receivePortTCP =2\noffreExtension=non\nstagingSimples=oui\n",
         1,
         {"line 5: unknown key \"receivePort_IP =\", the line is ignored; did you mean "
          "\"receivePort_IP=\"?",
          "line 6: unknown key \"recievePortTCP=\"", "did you mean \"receivePortTCP=\"?",
          "line 9: unknown key \"receivePortTCP =\", the line is ignored; did you mean "
          "\"receivePortTCP=\"?",
          "line 7: receivePortTCP=\"45000abc\" is not a port number (digits only)",
          "TCP port (receivePortTCP=): 45000", "offreExtension=\"non\" is not N",
          "stagingSimples=\"oui\" is not O",
          "line 8: unknown key \"id_de_Lorigine=\", the "
          "line is ignored (a key of the client)"}},
        {"Serveur_ZelkFiles", true, "receivePort_IP=70000\n", 1, {"not a port number"}},
        {"Serveur_ZelkFiles", true, "adresse_Ecoute=localhost\n", 1, {"adresse_Ecoute="}},
        {"Serveur_ZelkFiles",
         true,
         "directoryFiles=/nonexistent-zelk/a/b\n",
         1,
         {"its parent /nonexistent-zelk/a/ does not exist"}},
        {"Client_ZelkFiles", false, "", 0, {"configuration OK (0 warning(s))"}},
        {"Client_ZelkFiles",
         false,
         "id_de_Lorigine=chantier-numero-3\nvidangeDirFile=0\nCollecte_Trace=Oui\n",
         0,
         {"is longer than 10 characters: it is cut to \"chantier-n\"", "nothing will ever be sent",
          "Collecte_Trace=\"Oui\" is not O: the trace is off"}},
        {"Client_ZelkFiles", false, "ip_portadresse=0\n", 1, {"(1 to 65535)"}},
        {"Client_ZelkFiles", false, "ip_portadresse=65536\n", 1, {"(1 to 65535)"}},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        dir.write("p.cfg", c.server ? serverConfig(dir, c.extra) : clientConfig(dir, c.extra));
        const Outcome outcome =
            runToEnd(c.program, {QStringLiteral("--check-config"), QStringLiteral("--config"),
                                 QString::fromStdString(dir.file("p.cfg"))});
        const std::string all = outcome.out + outcome.err;
        EXPECT_EQ(outcome.exitCode, c.exitCode) << c.program << " " << c.extra << all;
        for (const std::string& text : c.told) {
            EXPECT_NE(all.find(text), std::string::npos) << "no \"" << text << "\" in:\n" << all;
        }
        // Checking makes nothing: no folder, no socket.
        struct stat st {};
        EXPECT_NE(::stat(dir.file(c.server ? "inbox" : "outbox").c_str(), &st), 0) << c.extra;
    }

    // A byte-order mark is skipped: the first key is read.
    ScratchDir dir;
    dir.write("bom.cfg", "\xEF\xBB\xBFreceivePort_IP=45000\n" + serverConfig(dir, "").substr(17));
    const Outcome bom =
        runToEnd("Serveur_ZelkFiles", {QStringLiteral("--check-config"), QStringLiteral("--config"),
                                       QString::fromStdString(dir.file("bom.cfg"))});
    EXPECT_EQ(bom.exitCode, 0) << bom.err;
    EXPECT_NE(bom.out.find("UDP port (receivePort_IP=): 45000\n"), std::string::npos) << bom.out;
    EXPECT_NE(bom.out.find("configuration OK (0 warning(s))"), std::string::npos) << bom.out;
}

namespace {

Outcome checkWith(const char* program, const std::string& path,
                  const QStringList& environment = {}) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& setting : environment) {
        env.insert(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
    }
    process.setProcessEnvironment(env);
    process.start(binary(program), {QStringLiteral("--check-config"), QStringLiteral("--config"),
                                    QString::fromStdString(path)});
    Outcome outcome;
    EXPECT_TRUE(process.waitForFinished(kWaitMs)) << program;
    outcome.exitCode = process.exitCode();
    outcome.out = process.readAllStandardOutput().toStdString();
    outcome.err = process.readAllStandardError().toStdString();
    return outcome;
}

} // namespace

// Configurations that used to pass the check and then run on a port nobody chose, wait for ever
// or fail on a folder the unit makes.
TEST(CheckConfig, RefusesWhatWouldRunWrongAndAcceptsWhatTheUnitMakes) {
    ScratchDir dir;
    const std::string inbox = "directoryFiles=" + dir.file("inbox") + "\n";
    struct Case {
        std::string content;
        int exitCode;
        std::string told;
    };
    const std::vector<Case> cases = {
        {"receivePort_Ip=45000\nreceivePortTCP=0\n" + inbox, 1,
         "error: receivePort_IP= is not set, but line 1 (\"receivePort_Ip=\") looks like it"},
        {"receivePort_IP=45OOO\nreceivePortTCP=0\n" + inbox, 1,
         "error: line 1: receivePort_IP=\"45OOO\" is not a port number (digits only)"},
        {"receivePort_IP=45000\nreceivePortTCP=0\ndirectoryFiles=" + dir.file("state/inbox") + "\n",
         0, "configuration OK (0 warning(s))"},
        {"receivePort_IP=45000\nreceivePortTCP=0\ndirectoryFiles=" + dir.file("gone/inbox") + "\n",
         1, "its parent " + dir.file("gone/") + " does not exist"},
    };
    for (const Case& c : cases) {
        dir.write("s.cfg", c.content);
        const Outcome outcome = checkWith(
            "Serveur_ZelkFiles", dir.file("s.cfg"),
            {QStringLiteral("STATE_DIRECTORY=") + QString::fromStdString(dir.file("state"))});
        EXPECT_EQ(outcome.exitCode, c.exitCode) << c.content << outcome.err;
        EXPECT_NE((outcome.out + outcome.err).find(c.told), std::string::npos)
            << c.told << " not in:\n"
            << outcome.out << outcome.err;
    }
    // A start refuses the misread port too, before binding anything.
    dir.write("s.cfg", cases[0].content);
    const Outcome start =
        runToEnd("Serveur_ZelkFiles", {QStringLiteral("--headless"), QStringLiteral("--config"),
                                       QString::fromStdString(dir.file("s.cfg"))});
    EXPECT_EQ(start.exitCode, 1);
    EXPECT_NE(start.err.find("error: "), std::string::npos) << start.err;
    EXPECT_NE(start.err.find("looks like it"), std::string::npos) << start.err;

    // A short client: the missing wait and piece size take the sample's values, with a warning.
    dir.write("c.cfg", "directoryFiles=" + dir.file("outbox") +
                           "\nid_de_Lorigine=poste7\nip_destadresse=127.0.0.1\n"
                           "ip_portadresse=45000\nvidangeDirFile=200\n");
    const Outcome client = checkWith("Client_ZelkFiles", dir.file("c.cfg"));
    EXPECT_EQ(client.exitCode, 0) << client.err;
    for (const char* told :
         {"answer wait (attendApresSnd=): 1000 ms", "piece size (paquets_UdpMax=): 9999 bytes",
          "never announce a file again", "pieces would be of 1 byte",
          "configuration OK (2 warning(s))"}) {
        EXPECT_NE((client.out + client.err).find(told), std::string::npos)
            << told << " not in:\n"
            << client.out << client.err;
    }
}

// The folders are checked as the user who runs the check: one who may not write there is told.
TEST(CheckConfig, TellsAUserWhoMayNotWriteInTheFolder) {
    if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty()) {
        GTEST_SKIP() << "needs root and setpriv to check as another user";
    }
    ScratchDir dir;
    ::chmod(dir.path().c_str(), 0755);
    ::mkdir(dir.file("inbox").c_str(), 0755);
    dir.write("s.cfg",
              "receivePort_IP=45000\nreceivePortTCP=0\ndirectoryFiles=" + dir.file("inbox") + "\n");
    ::chmod(dir.file("s.cfg").c_str(), 0644);
    QProcess process;
    process.start(QStringLiteral("setpriv"),
                  {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                   QStringLiteral("--clear-groups"), binary("Serveur_ZelkFiles"),
                   QStringLiteral("--check-config"), QStringLiteral("--config"),
                   QString::fromStdString(dir.file("s.cfg"))});
    ASSERT_TRUE(process.waitForFinished(kWaitMs));
    const std::string err = process.readAllStandardError().toStdString();
    EXPECT_EQ(process.exitCode(), 1) << err;
    EXPECT_NE(err.find("may not read, write and delete in it"), std::string::npos) << err;
}

// With the trace off, what goes wrong still reaches standard error, once per line and a few
// times a minute when it repeats, each line led by its priority when that is the journal.
TEST(Warnings, AreWrittenWithTheTraceOffRateLimitedAndPrioritisedForTheJournal) {
    ScratchDir dir;
    const quint16 port = zelktest::freeUdpPort();
    ASSERT_NE(port, 0);
    dir.write("s.cfg",
              serverConfig(dir, "receivePort_IP=" + std::to_string(port) + "\nCollecte_Tarce=O\n"));
    const std::string errPath = dir.file("stderr");
    zelktest::writeFile(errPath, "");
    struct stat st {};
    ASSERT_EQ(::stat(errPath.c_str(), &st), 0);
    QProcess server;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("JOURNAL_STREAM"),
               QStringLiteral("%1:%2").arg(st.st_dev).arg(st.st_ino));
    server.setProcessEnvironment(env);
    server.setStandardErrorFile(QString::fromStdString(errPath));
    server.start(binary("Serveur_ZelkFiles"),
                 {QStringLiteral("--headless"), QStringLiteral("--config"),
                  QString::fromStdString(dir.file("s.cfg"))});
    ASSERT_TRUE(server.waitForStarted(kWaitMs));
    QUdpSocket peer;
    const auto said = [&] { return zelktest::readFile(errPath); };
    // Junk until the server is up and tells of it, then more of the same.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            peer.writeDatagram("junk", 4, QHostAddress::LocalHost, port);
            return said().find("frame dropped") != std::string::npos;
        },
        kWaitMs));
    for (int i = 0; i < 20; ++i) {
        peer.writeDatagram("junk!", 5, QHostAddress::LocalHost, port);
    }
    // A frame from a new origin shows the later datagrams were all handled.
    const std::string header = zelk::buildHeaderFrame("last      ", "f", 1);
    peer.writeDatagram(header.data(), static_cast<qint64>(header.size()), QHostAddress::LocalHost,
                       port);
    ASSERT_TRUE(QTest::qWaitFor([&] { return peer.hasPendingDatagrams(); }, kWaitMs));
    server.terminate();
    ASSERT_TRUE(server.waitForFinished(kWaitMs));
    EXPECT_EQ(server.exitCode(), 0);
    const std::string text = said();
    EXPECT_NE(text.find("<4>Serveur_ZelkFiles: warning: " + dir.file("s.cfg") +
                        ": line 6: unknown key \"Collecte_Tarce=\""),
              std::string::npos)
        << text;
    static const QRegularExpression dropped(QStringLiteral(
        "^<4>\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d frame dropped "
        "invalid frame of \\d bytes \\(UDP 127\\.0\\.0\\.1 \\d+\\)$"));
    int droppedLines = 0;
    for (const QString& line : QString::fromStdString(text).split(QLatin1Char('\n'))) {
        droppedLines += dropped.match(line).hasMatch() ? 1 : 0;
    }
    EXPECT_GE(droppedLines, 1) << text;
    EXPECT_LE(droppedLines, 3) << text;
    EXPECT_NE(text.find(" stopped by SIGTERM\n"), std::string::npos) << text;
    const std::size_t lastLine = text.rfind('\n', text.size() - 2) + 1;
    EXPECT_EQ(text.compare(lastLine, 3, "<5>"), 0) << "the last line is a notice:\n" << text;
}

// Each program stops cleanly on each signal a service manager or a terminal sends, after it told
// the service manager it was ready, and goes on after a SIGHUP (a reload); one without a display
// runs headless instead of aborting.
TEST(Service, ReadyStatusWatchdogAndACleanStopOnEachSignal) {
    struct Case {
        const char* program;
        int signal;
        const char* name;
        bool headless;
    };
    const std::vector<Case> cases = {
        {"Serveur_ZelkFiles", SIGTERM, "SIGTERM", true},
        {"Serveur_ZelkFiles", SIGINT, "SIGINT", false},
        {"Client_ZelkFiles", SIGINT, "SIGINT", true},
        {"Client_ZelkFiles", SIGTERM, "SIGTERM", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.name);
        ScratchDir dir;
        const bool server = std::string_view(c.program) == "Serveur_ZelkFiles";
        dir.write("p.cfg", server ? serverConfig(dir, "adresse_Ecoute=127.0.0.1\n"
                                                      "ecoute_TCP_O_N=N\n")
                                  : clientConfig(dir, ""));
        NotifySocket notify(dir.file("notify"));
        ASSERT_TRUE(notify.bound());
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromStdString(dir.file("notify")));
        env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("200000"));
        for (const char* display : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
            env.remove(QLatin1String(display));
        }
        process.setProcessEnvironment(env);
        QStringList arguments{QStringLiteral("--config"),
                              QString::fromStdString(dir.file("p.cfg"))};
        if (c.headless) {
            arguments << QStringLiteral("--headless");
        }
        process.start(binary(c.program), arguments);
        ASSERT_TRUE(process.waitForStarted(kWaitMs));
        if (zelk::ServiceLink::canNotify()) {
            ASSERT_TRUE(notify.waitFor("READY=1")) << notify.said();
            ASSERT_TRUE(notify.waitFor("WATCHDOG=1")) << notify.said();
            EXPECT_NE(notify.said().find(server ? "STATUS=receiving on UDP port "
                                                : "STATUS=sending to 127.0.0.1 port 9"),
                      std::string::npos)
                << notify.said();
        } else {
            QTest::qWait(1000); // nothing tells when it is up: give it time to take the signal
        }
        if (server && zelk::ServiceLink::canNotify()) {
            // Bound to the one address asked for, on the port the status names, and no TCP.
            static const QRegularExpression status(
                QStringLiteral("STATUS=receiving on UDP port (\\d+), TCP intake off"));
            const auto found = status.match(QString::fromStdString(notify.said()));
            ASSERT_TRUE(found.hasMatch()) << notify.said();
            QUdpSocket peer;
            const std::string header = zelk::buildHeaderFrame("svc       ", "f", 1);
            peer.writeDatagram(header.data(), static_cast<qint64>(header.size()),
                               QHostAddress::LocalHost, found.captured(1).toUShort());
            ASSERT_TRUE(QTest::qWaitFor([&] { return peer.hasPendingDatagrams(); }, kWaitMs));
            EXPECT_EQ(peer.receiveDatagram().data().toStdString(), "PTE;1;END");
        }
        // SIGHUP reloads, as daemons do: the program tells the service manager and goes on.
        ::kill(static_cast<pid_t>(process.processId()), SIGHUP);
        if (zelk::ServiceLink::canNotify()) {
            ASSERT_TRUE(notify.waitFor("RELOADING=1")) << notify.said();
            // Ready again once reloaded, and still running then.
            const std::size_t reloading = notify.said().rfind("RELOADING=1");
            EXPECT_TRUE(notify.waitFor("READY=1", reloading)) << notify.said();
            EXPECT_EQ(process.state(), QProcess::Running);
        } else {
            EXPECT_FALSE(process.waitForFinished(300)); // nothing tells when it has reloaded
        }
        ::kill(static_cast<pid_t>(process.processId()), c.signal);
        ASSERT_TRUE(process.waitForFinished(kWaitMs));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0);
        const std::string err = process.readAllStandardError().toStdString();
        EXPECT_TRUE(err.ends_with(std::string(" stopped by ") + c.name + "\n")) << err;
        EXPECT_EQ(err.find("stopped"), err.rfind("stopped")) << err;
        const bool noticed = err.find("no display") != std::string::npos;
#ifdef ZELK_GUI
        EXPECT_EQ(noticed, !c.headless) << err;
#else
        EXPECT_FALSE(noticed) << err; // a build without windows only ever runs headless
#endif
        if (zelk::ServiceLink::canNotify()) {
            EXPECT_TRUE(notify.waitFor("STOPPING=1")) << notify.said();
        }
    }
}

TEST(CommandLine, ShortOptionsAndOneLineForAWrongOne) {
    for (const char* program : {"Serveur_ZelkFiles", "Client_ZelkFiles"}) {
        const Outcome version = runToEnd(program, {QStringLiteral("-V")});
        EXPECT_EQ(version.exitCode, 0);
        EXPECT_NE(version.out.find(" - version: "), std::string::npos) << version.out;
        const Outcome help = runToEnd(program, {QStringLiteral("-h")});
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_NE(help.out.find("/etc/zelkfiles/"), std::string::npos) << help.out;
        EXPECT_NE(help.out.find("--check-config"), std::string::npos) << help.out;
        const Outcome wrong = runToEnd(program, {QStringLiteral("--hedless")});
        EXPECT_EQ(wrong.exitCode, 2);
        EXPECT_EQ(wrong.out, "");
        EXPECT_EQ(lineCount(wrong.err), 1u) << wrong.err;
        EXPECT_NE(wrong.err.find("hedless"), std::string::npos) << wrong.err;
        EXPECT_NE(wrong.err.find("--help"), std::string::npos) << wrong.err;
    }
}

// The window's labels show the ports really bound, not the text "0" or "&H0" that asked the
// system to choose one, and say when TCP intake is off.
TEST(BoundPorts, LabelsShowThePortsTheSystemChose) {
    ScratchDir dir;
    zelk::ServerConfig config;
    config.cfgPortUdp = "&H0";
    config.cfgPortTcp = "0";
    config.cfgRepertoire = dir.file("inbox");
    config.cfgTrace = "N";
    zelk::ServeurEngine engine;
    QString error;
    ASSERT_TRUE(engine.start(config, error)) << error.toStdString();
    EXPECT_NE(engine.udpPort(), 0);
    EXPECT_NE(engine.tcpPort(), 0);
    EXPECT_EQ(engine.udpLabel(), QStringLiteral("UDP port = %1").arg(engine.udpPort()));
    EXPECT_EQ(engine.tcpLabel(), QStringLiteral("TCP port = %1").arg(engine.tcpPort()));

    config.cfgEcouteTcp = "N";
    zelk::ServeurEngine udpOnly;
    ASSERT_TRUE(udpOnly.start(config, error)) << error.toStdString();
    EXPECT_EQ(udpOnly.tcpPort(), 0);
    EXPECT_EQ(udpOnly.tcpLabel(), QStringLiteral("TCP port = off"));
}
