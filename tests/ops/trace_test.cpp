// What an operator reads with "Collecte_Trace=O": the real programs move a file through a relay
// that loses the link part-way, the client is killed and started again, and both traces tell the
// story with timestamps: start, resume with its position, end with size, duration and rate, and
// why anything was dropped. Pieces leave no line of their own.

#include "codec.h"
#include "fsops.h"
#include "holdingrelay.h"
#include "progress.h"
#include "testutil.h"
#include "trace.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>
#include <QUdpSocket>
#include <filesystem>
#include <gtest/gtest.h>

using namespace zelktest;

namespace {

constexpr int kWaitMs = 60000; // a bound only: a loaded machine may be slow

quint16 freePort() {
    QUdpSocket udp;
    QTcpServer tcp;
    // One number free for both, so the server binds the same on each.
    for (int tries = 0; tries < 50; ++tries) {
        if (udp.bind(QHostAddress::Any, 0) && tcp.listen(QHostAddress::Any, udp.localPort())) {
            return udp.localPort();
        }
        udp.close();
    }
    return 0;
}

class Program {
public:
    explicit Program(const char* name) : name_(name) {}
    ~Program() { stop(); }
    void start(const std::string& config) {
        process_.start(qEnvironmentVariable("ZELK_BIN_DIR") + QLatin1Char('/') +
                           QLatin1String(name_),
                       {QStringLiteral("--headless"), QStringLiteral("--config"),
                        QString::fromStdString(config)});
        ASSERT_TRUE(process_.waitForStarted(kWaitMs)) << name_;
    }
    void kill() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(kWaitMs);
        }
        trace_ += process_.readAllStandardError().toStdString();
    }
    void stop() {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(kWaitMs)) {
                process_.kill();
                process_.waitForFinished(kWaitMs);
            }
        }
        trace_ += process_.readAllStandardError().toStdString();
    }
    // What it wrote on standard error so far.
    const std::string& trace() {
        trace_ += process_.readAllStandardError().toStdString();
        return trace_;
    }

private:
    const char* name_;
    QProcess process_;
    std::string trace_;
};

bool waitForLine(Program& program, const std::string& text) {
    return QTest::qWaitFor([&] { return program.trace().find(text) != std::string::npos; },
                           kWaitMs);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t end = text.find('\n', from);
        out.push_back(text.substr(from, end - from));
        from = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

void expectTimestamped(const std::string& trace) {
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d \\S"));
    for (const std::string& line : lines(trace)) {
        EXPECT_TRUE(stamp.match(QString::fromStdString(line)).hasMatch()) << line;
    }
}

::testing::AssertionResult has(const std::string& trace, const std::string& text) {
    if (trace.find(text) != std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no \"" << text << "\" in:\n" << trace;
}

::testing::AssertionResult matches(const std::string& trace, const char* pattern) {
    if (QRegularExpression(QString::fromLatin1(pattern), QRegularExpression::MultilineOption)
            .match(QString::fromStdString(trace))
            .hasMatch()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "nothing matches " << pattern << " in:\n" << trace;
}

struct Scene {
    ScratchDir dir;
    std::string inbox = dir.file("inbox");
    std::string outbox = dir.file("outbox");
    quint16 port = freePort();

    void writeServerConfig(const char* trace) {
        writeFile(dir.file("server.cfg"), "receivePort_IP=" + std::to_string(port) +
                                              "\nreceivePortTCP=" + std::to_string(port) +
                                              "\ndirectoryFiles=" + inbox +
                                              "\nCollecte_Trace=" + trace + "\n");
    }
    // `waitMs`: how long the client waits for an answer before it announces the file again.
    void writeClientConfig(const char* trace, quint16 to, int piece, int waitMs = 400) {
        writeFile(dir.file("client.cfg"),
                  "directoryFiles=" + outbox +
                      "\nvidangeDirFile=20\nattendApresSnd=" + std::to_string(waitMs) +
                      "\nid_de_Lorigine=suivi\n"
                      "ip_destadresse=127.0.0.1\nip_portadresse=" +
                      std::to_string(to) + "\nip_port_locals=0\npaquets_UdpMax=" +
                      std::to_string(piece) + "\nCollecte_Trace=" + trace +
                      // these traces tell the plain protocol's story, one piece per answer
                      "\noffreExtension=N\n");
    }
};

} // namespace

TEST(OperatorTrace, TellsStartResumeEndAndDropsWithTimestamps) {
    Scene scene;
    ASSERT_NE(scene.port, 0);
    constexpr int kPiece = 1000;
    constexpr int kPassed = 40; // pieces through before the link is lost
    const std::string bytes = patternBytes(300000, 9);
    std::filesystem::create_directory(scene.outbox);
    writeFile(zelk::joinPath(scene.outbox, "releve.bin"), bytes);

    guitest::HoldingRelay relay(scene.port, 1 + kPassed);
    scene.writeServerConfig("O");
    scene.writeClientConfig("O", relay.clientSidePort(), kPiece);
    Program server("Serveur_ZelkFiles");
    server.start(scene.dir.file("server.cfg"));
    ASSERT_TRUE(waitForLine(server, "server started"));
    Program client("Client_ZelkFiles");
    client.start(scene.dir.file("client.cfg"));

    // The link breaks after 40 pieces and the client is killed while it waits.
    ASSERT_TRUE(QTest::qWaitFor([&] { return relay.held() > 0; }, kWaitMs));
    client.kill();
    relay.forgetHeld();
    const std::string firstRun = client.trace();

    // A frame that is no frame is dropped, and said so.
    QUdpSocket junk;
    junk.writeDatagram("junk", 4, QHostAddress::LocalHost, scene.port);
    ASSERT_TRUE(waitForLine(server, "frame dropped invalid frame of 4 bytes"));

    Program again("Client_ZelkFiles");
    again.start(scene.dir.file("client.cfg"));
    const std::string landed = zelk::joinPath(zelk::joinPath(scene.inbox, "suivi"), "releve.bin");
    ASSERT_TRUE(waitForLine(server, "file finished"));
    ASSERT_TRUE(waitForLine(again, "file finished"));
    EXPECT_EQ(readFile(landed), bytes);
    server.stop();
    again.stop();

    const std::int64_t held = zelktest::piecesEnd(kPassed, kPiece);
    const std::string resumeAt = std::to_string(held + 1);
    const std::string serverTrace = server.trace();
    const std::string relayPort = std::to_string(relay.serverSidePort());
    expectTimestamped(serverTrace);
    EXPECT_TRUE(has(serverTrace, "server started UDP port " + std::to_string(scene.port) +
                                     ", TCP port " + std::to_string(scene.port) +
                                     ", receive folder " + scene.inbox));
    EXPECT_TRUE(has(serverTrace, "file started origin \"suivi\" file \"releve.bin\" of 300000 "
                                 "bytes, from UDP 127.0.0.1 " +
                                     relayPort));
    EXPECT_TRUE(has(serverTrace, "file resumed origin \"suivi\" file \"releve.bin\" at position " +
                                     resumeAt + " of 300000"));
    EXPECT_TRUE(matches(serverTrace, "file finished origin \"suivi\" file \"releve.bin\", 300000 "
                                     "bytes in \\d+\\.\\d{3} s \\([0-9.]+ [kMG]?B/s\\), from "
                                     "UDP 127\\.0\\.0\\.1 \\d+$"));
    EXPECT_TRUE(has(serverTrace, "frame dropped invalid frame of 4 bytes (UDP 127.0.0.1 "));
    // 300 pieces moved; each left no line (besides the events, the line that says it stopped).
    EXPECT_LT(lines(serverTrace).size(), 21u) << serverTrace;

    expectTimestamped(firstRun);
    EXPECT_TRUE(has(firstRun, "client started origin \"suivi     \", outbox " + scene.outbox));
    EXPECT_TRUE(has(firstRun, "file started \"releve.bin\" of 300000 bytes, to 127.0.0.1 port " +
                                  std::to_string(relay.clientSidePort())));
    const std::string secondRun = again.trace();
    expectTimestamped(secondRun);
    EXPECT_TRUE(has(secondRun, "file resumed \"releve.bin\" at position " + resumeAt +
                                   " of 300000: the server holds " + std::to_string(held) +
                                   " bytes"));
    // The rate of a resumed file counts only the bytes this run sent.
    const std::string thisRun = std::to_string(300000 - held);
    EXPECT_TRUE(matches(secondRun, ("file finished \"releve.bin\", 300000 bytes in \\d+\\.\\d{3} s "
                                    "\\([0-9.]+ [kMG]?B/s for the " +
                                    thisRun +
                                    " bytes of this run\\); deleted from the outbox in "
                                    "\\d+ ms unless a stray frame shows that the "
                                    "server lost it$")
                                       .c_str()));
    EXPECT_LT(lines(secondRun).size(), 20u) << secondRun;
}

// A header that names another file while one is under way abandons it, and says what is left.
TEST(OperatorTrace, TellsWhyAFileWasAbandoned) {
    Scene scene;
    scene.writeServerConfig("O");
    Program server("Serveur_ZelkFiles");
    server.start(scene.dir.file("server.cfg"));
    ASSERT_TRUE(waitForLine(server, "server started"));
    QUdpSocket peer;
    ASSERT_TRUE(peer.bind(QHostAddress::LocalHost, 0));
    const auto exchange = [&](const std::string& frame) {
        peer.writeDatagram(frame.data(), static_cast<qint64>(frame.size()), QHostAddress::LocalHost,
                           scene.port);
        return QTest::qWaitFor([&] { return peer.hasPendingDatagrams(); }, kWaitMs) &&
               peer.receiveDatagram().isValid();
    };
    const std::string origin = "brut      ";
    ASSERT_TRUE(exchange(zelk::buildHeaderFrame(origin, "a.txt", 10)));
    ASSERT_TRUE(exchange(zelk::buildContentFrame(origin, "abcd")));
    ASSERT_TRUE(exchange(zelk::buildHeaderFrame(origin, "b.txt", 3)));
    server.stop();
    EXPECT_TRUE(matches(server.trace(), "file abandoned origin \"brut\" file \"a.txt\" at position "
                                        "5 of 10 after \\d+\\.\\d{3} s: the origin announced "
                                        "\"b.txt\"; the partial file stays$"));
}

// With the trace off, a whole transfer leaves on standard error the line that says how the
// program started, one record of the file on each side, and the line that says it stopped.
TEST(OperatorTrace, SaysOnlyTheStartEachFileAndTheStopWhenOff) {
    Scene scene;
    std::filesystem::create_directory(scene.outbox);
    writeFile(zelk::joinPath(scene.outbox, "quiet.bin"), patternBytes(5000, 3));
    scene.writeServerConfig("N");
    // An answer late on a loaded machine would rightly be warned about: the client waits long,
    // and starts only once the server holds its port, so that its first header is not lost. The
    // wait is seconds, not tens of them: the finished file stays in the outbox three waits.
    scene.writeClientConfig("N", scene.port, 1000, 3000);
    Program server("Serveur_ZelkFiles");
    server.start(scene.dir.file("server.cfg"));
    ASSERT_TRUE(waitForLine(server, "receiving on UDP port")) << server.trace();
    Program client("Client_ZelkFiles");
    client.start(scene.dir.file("client.cfg"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return zelk::listFiles(scene.outbox).empty(); }, kWaitMs));
    server.stop();
    client.stop();
    EXPECT_TRUE(matches(
        server.trace(),
        "\\A\\S+ started Serveur_ZelkFile - version: \\S+ r\\S+ion: \\d+ \\(zelkfiles "
        "[0-9.]+\\), receiving on UDP port \\d+, TCP port \\d+, receive folder /\\S+\\n"
        "\\S+ file received origin \"suivi\" file \"quiet.bin\", 5000 bytes in "
        "\\d+\\.\\d{3} s \\([^)]+\\), plain, from UDP 127.0.0.1 \\d+, at /\\S+/suivi/quiet.bin: "
        "received\\n"
        "\\S+ stopped by SIGTERM\\n\\z"));
    EXPECT_TRUE(matches(
        client.trace(),
        "\\A\\S+ started Client_ZelkFile - version: \\S+ r\\S+ion: \\d+ \\(zelkfiles "
        "[0-9.]+\\), sending to 127.0.0.1 port \\d+ from local UDP port \\d+, outbox /\\S+\\n"
        "\\S+ file sent origin \"suivi\" file \"quiet.bin\", 5000 bytes in "
        "\\d+\\.\\d{3} s \\([^)]+\\), plain, 0 bytes sent again, to 127.0.0.1 port \\d+: "
        "delivered\\n"
        "\\S+ stopped by SIGTERM\\n\\z"));
}

TEST(OperatorTrace, SummaryGivesSizeDurationAndRate) {
    EXPECT_EQ(zelk::transferSummary(48000, 420), "48000 bytes in 0.420 s (114 kB/s)");
    EXPECT_EQ(zelk::transferSummary(6291777, 2000), "6291777 bytes in 2.000 s (3.15 MB/s)");
    EXPECT_EQ(zelk::transferSummary(1, 0), "1 bytes in 0.000 s (1 kB/s)");
    EXPECT_EQ(zelk::transferSummary(500, 1000), "500 bytes in 1.000 s (500 B/s)");
    // A resumed file: the rate counts only what this run moved.
    EXPECT_EQ(zelk::transferSummary(30000000, 1044, 19164000),
              "30000000 bytes in 1.044 s (18.4 MB/s for the 19164000 bytes of this run)");
    // Never an exponent: just under a unit change reads as the next unit.
    EXPECT_EQ(zelk::transferSummary(999600, 1000), "999600 bytes in 1.000 s (1 MB/s)");
    EXPECT_EQ(zelk::readableSize(30000000), "30 MB");
}

// A file that cannot be sent is named once with the reason, not at every scan of the outbox.
TEST(OperatorTrace, TellsOnceWhyAFileStaysInTheOutbox) {
    Scene scene;
    std::filesystem::create_directory(scene.outbox);
    writeFile(zelk::joinPath(scene.outbox, "a;b.txt"), "data");
    scene.writeServerConfig("N");
    scene.writeClientConfig("O", scene.port, 1000);
    Program server("Serveur_ZelkFiles");
    server.start(scene.dir.file("server.cfg"));
    Program client("Client_ZelkFiles");
    client.start(scene.dir.file("client.cfg"));
    ASSERT_TRUE(waitForLine(client, "client started"));
    // Found by a later scan than the first, and sent.
    writeFile(zelk::joinPath(scene.outbox, "later.txt"), "later");
    ASSERT_TRUE(waitForLine(client, "file finished \"later.txt\""));
    client.stop();
    server.stop();
    const std::string trace = client.trace();
    const std::string line =
        "file not listed \"a;b.txt\" stays in the outbox: its name holds \";\"";
    const std::size_t first = trace.find(line);
    ASSERT_NE(first, std::string::npos) << trace;
    EXPECT_EQ(trace.find(line, first + 1), std::string::npos) << trace;
    EXPECT_TRUE(zelk::fileExists(zelk::joinPath(scene.outbox, "a;b.txt")));
}

// A server unreachable for three hours, with the trace off: a handful of lines instead of one
// per silence, and every silence counted in them once the warning comes back after a quiet hour.
TEST(OperatorTrace, AWarningThatKeepsComingBackIsWrittenEverMoreSeldomAndCounted) {
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    zelk::Trace trace(sink);
    zelk::Trace::Clock::time_point now{};
    trace.useClock([&now] { return now; });
    const auto silence = [&](int ms) {
        trace.write("no answer", "within " + std::to_string(ms) +
                                     " ms for \"a.bin\": it is "
                                     "announced again at the next tick");
    };
    constexpr int kSilences = 9000; // one every 1.2 s
    for (int i = 0; i < kSilences; ++i) {
        silence(1000 + i % 7);
        now += std::chrono::milliseconds(1200);
    }
    trace.write("file dropped", "\"b.bin\": vanished"); // another warning is not held back
    now += std::chrono::hours(2);
    silence(1000);
    std::rewind(sink);
    std::vector<std::string> written;
    char line[512];
    while (std::fgets(line, sizeof line, sink) != nullptr) {
        written.emplace_back(line);
    }
    std::fclose(sink);
    int counted = 0;
    int silences = 0;
    static const QRegularExpression left(QStringLiteral("\\((\\d+) more like it left out\\)\\n$"));
    for (const std::string& text : written) {
        if (text.find(" no answer within ") == std::string::npos) {
            continue;
        }
        ++silences;
        const auto found = left.match(QString::fromStdString(text));
        counted += 1 + (found.hasMatch() ? found.captured(1).toInt() : 0);
    }
    EXPECT_EQ(counted, kSilences + 1);
    EXPECT_LE(silences, 14) << written.size();
    EXPECT_EQ(written.size(), static_cast<std::size_t>(silences) + 1);
}

// What a headless progress line says of a file: the share held (never rounded up to a whole file
// not yet held), the rate, and the time left in units an operator reads at a glance.
TEST(OperatorTrace, ProgressGivesShareRateAndTimeLeft) {
    struct Case {
        std::int64_t held;
        std::int64_t total;
        double rate;
        const char* text;
    };
    const Case cases[] = {
        {13500000, 30000000, 1130000.0, "45% of 30 MB, 1.13 MB/s, about 15 s left"},
        {29999999, 30000000, 1000.0, "99% of 30 MB, 1 kB/s, about 1 s left"},
        {1000000, 300000000, 1000000.0, "0% of 300 MB, 1 MB/s, about 5 min left"},
        {0, 2147483646, 100000.0, "0% of 2.15 GB, 100 kB/s, about 6.0 h left"},
        {40000, 300000, 0.0, "13% of 300 kB, 0 B/s, time left unknown"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(zelk::progressText({"f", c.held, c.total}, c.rate), c.text);
    }
}

// With the trace on, a client whose server is down announces its file again every 1.2 s: those
// lines are summarised as warnings are, while each file's record is always written.
TEST(OperatorTrace, HeadersSentAgainAreSummarisedAndRecordsAlwaysWritten) {
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    zelk::Trace trace(sink);
    trace.setEnabled(true);
    zelk::Trace::Clock::time_point now{};
    trace.useClock([&now] { return now; });
    for (int i = 0; i < 3000; ++i) { // an hour
        trace.write("header sent again", "\"a.bin\" after " + std::to_string(1200 + i % 5) + " ms");
        now += std::chrono::milliseconds(1200);
    }
    zelk::Trace quiet(sink); // the trace off: the record of a file still goes out
    quiet.write("file sent", "origin \"poste7\" file \"a.bin\", 3 bytes");
    quiet.write("header sent again", "\"a.bin\" after 1200 ms");
    std::rewind(sink);
    std::vector<std::string> written;
    char line[512];
    while (std::fgets(line, sizeof line, sink) != nullptr) {
        written.emplace_back(line);
    }
    std::fclose(sink);
    ASSERT_GE(written.size(), 5u);
    EXPECT_LE(written.size(), 12u);
    EXPECT_NE(written[3].find("more like it left out)"), std::string::npos) << written[3];
    EXPECT_NE(written.back().find(" file sent origin \"poste7\""), std::string::npos);
}
