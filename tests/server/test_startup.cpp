// The real program, run as a process: start-up failures end it with status 1 and one line on
// standard error naming the cause; a good start serves frames.

#include "harness.h"

#include "fsops.h"
#include "testutil.h"

#include <QProcess>
#include <QTcpServer>
#include <gtest/gtest.h>

using namespace servertest;
using zelktest::ScratchDir;

namespace {

QString serverProgram() {
    return qEnvironmentVariable("ZELK_BIN_DIR") + QStringLiteral("/Serveur_ZelkFiles");
}

struct Ending {
    bool finished = false;
    int exitCode = -1;
    std::string errorText;
};

Ending runToEnd(const QStringList& arguments) {
    QProcess server;
    server.start(serverProgram(), arguments);
    Ending ending;
    ending.finished =
        server.waitForFinished(kWaitMs) && server.exitStatus() == QProcess::NormalExit;
    if (!ending.finished) {
        server.kill();
        server.waitForFinished(kWaitMs);
    }
    ending.exitCode = server.exitCode();
    ending.errorText = server.readAllStandardError().toStdString();
    return ending;
}

std::string configText(const std::string& udp, const std::string& tcp, const std::string& folder) {
    return "receivePort_IP=" + udp + "\r\nreceivePortTCP=" + tcp + "\r\ndirectoryFiles=" + folder +
           "\r\nCollecte_Trace=O\r\n";
}

QStringList headlessWith(const std::string& configPath) {
    return {QStringLiteral("--headless"), QStringLiteral("--config"),
            QString::fromStdString(configPath)};
}

void expectOneLine(const Ending& ending, const std::string& cause) {
    EXPECT_TRUE(ending.finished);
    EXPECT_EQ(ending.exitCode, 1);
    EXPECT_EQ(ending.errorText.rfind("Serveur_ZelkFiles: ", 0), 0u) << ending.errorText;
    EXPECT_NE(ending.errorText.find(cause), std::string::npos) << ending.errorText;
    EXPECT_EQ(std::count(ending.errorText.begin(), ending.errorText.end(), '\n'), 1)
        << ending.errorText;
}

} // namespace

TEST(StartUp, AMissingConfigurationFileEndsTheProgram) {
    ScratchDir scratch;
    expectOneLine(runToEnd(headlessWith(scratch.file("absent.cfg"))),
                  "cannot read configuration file");
}

TEST(StartUp, AReceiveFolderThatCannotBeMadeEndsTheProgram) {
    ScratchDir scratch;
    scratch.write("s.cfg", configText("0", "0", scratch.file("missing/rx")));
    expectOneLine(runToEnd(headlessWith(scratch.file("s.cfg"))), "receive folder");

    scratch.write("in-the-way", "a file");
    scratch.write("t.cfg", configText("0", "0", scratch.file("in-the-way")));
    expectOneLine(runToEnd(headlessWith(scratch.file("t.cfg"))), "receive folder");

    scratch.write("u.cfg", configText("0", "0", ""));
    expectOneLine(runToEnd(headlessWith(scratch.file("u.cfg"))), "receive folder");
}

TEST(StartUp, APortInUseEndsTheProgramWithNothingLeftListening) {
    ScratchDir scratch;
    QUdpSocket taken;
    ASSERT_TRUE(taken.bind(QHostAddress::Any, 0));
    const std::string udpPort = std::to_string(taken.localPort());
    scratch.write("u.cfg", configText(udpPort, "0", scratch.file("rx")));
    expectOneLine(runToEnd(headlessWith(scratch.file("u.cfg"))), "cannot bind UDP port " + udpPort);
    // Steps done before the failure stay done.
    EXPECT_TRUE(zelk::folderExists(scratch.file("rx")));

    QTcpServer listening;
    ASSERT_TRUE(listening.listen(QHostAddress::Any, 0));
    const std::string tcpPort = std::to_string(listening.serverPort());
    const quint16 udpFree = zelktest::freeUdpPort();
    scratch.write("t.cfg", configText(std::to_string(udpFree), tcpPort, scratch.file("rx")));
    expectOneLine(runToEnd(headlessWith(scratch.file("t.cfg"))),
                  "cannot listen on TCP port " + tcpPort);
    QUdpSocket again;
    EXPECT_TRUE(again.bind(QHostAddress::Any, udpFree));
}

TEST(StartUp, APortOutsideTheRangeEndsTheProgram) {
    ScratchDir scratch;
    scratch.write("s.cfg", configText("70000", "0", scratch.file("rx")));
    expectOneLine(runToEnd(headlessWith(scratch.file("s.cfg"))), "UDP port \"70000\"");
}

TEST(StartUp, AGoodStartServesFramesAndTracesThem) {
    ScratchDir scratch;
    const quint16 port = zelktest::freeUdpPort();
    scratch.write("s.cfg", configText(std::to_string(port), "", scratch.file("rx")));
    QProcess server;
    server.start(serverProgram(), headlessWith(scratch.file("s.cfg")));
    ASSERT_TRUE(server.waitForStarted(kWaitMs));

    // The program binds a moment after it starts: announce until it answers.
    UdpPeer peer(port);
    std::optional<std::string> answer;
    for (int tries = 0; tries < 60 && !answer; ++tries) {
        peer.send(header(kPoste7, "hello.txt", 5));
        answer = peer.answer(500);
    }
    EXPECT_EQ(answer, "PTE;1;END");
    EXPECT_EQ(peer.exchange(content(kPoste7, "hello")), "PTE;6;END");

    server.terminate();
    ASSERT_TRUE(server.waitForFinished(kWaitMs));
    EXPECT_EQ(zelktest::readFile(scratch.file("rx/poste7/hello.txt")), "hello");
    const std::string trace = server.readAllStandardError().toStdString();
    EXPECT_NE(trace.find("file finished"), std::string::npos) << trace;
}
