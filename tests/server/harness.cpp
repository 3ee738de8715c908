#include "harness.h"

#include "codec.h"
#include "fsops.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QNetworkDatagram>
#include <QTimer>
#include <stdexcept>

namespace servertest {

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    // Wakes the wait below even when nothing arrives.
    QTimer wake;
    wake.start(20);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

std::string header(std::string_view origin, std::string_view name, std::int64_t size) {
    return zelk::buildHeaderFrame(origin, name, size);
}

std::string header(std::string_view origin, std::string_view name, std::string_view sizeText) {
    std::string text = "BEG;";
    text.append(name);
    text += ';';
    text.append(sizeText);
    text += ";END";
    std::string frame(1, zelk::kStartByte);
    frame += zelk::originIdentifier(origin);
    frame += std::to_string(text.size());
    frame += ';';
    return frame + text;
}

std::string content(std::string_view origin, std::string_view piece) {
    return zelk::buildContentFrame(origin, piece);
}

std::string ack(std::uint64_t position) {
    return zelk::buildAck(std::to_string(position));
}

std::string probePiece() {
    return content(kProbe, "p");
}

std::string nextProbeAnswer(RunningServer& server) {
    if (server.rowOf(kProbe) < 0) {
        UdpPeer opener(server.engine().udpPort());
        if (opener.exchange(header(kProbe, "probe", 1000000000)) != "PTE;1;END") {
            throw std::runtime_error("the probe transfer did not open");
        }
    }
    const auto& row = server.table().at(server.rowOf(kProbe));
    return ack(static_cast<std::uint64_t>(row.position) + 1);
}

std::string probeOrigin(quint16 port) {
    std::string origin = "pr" + std::to_string(port);
    origin.resize(10, ' ');
    return origin;
}

namespace {

std::string nextAnswerOf(RunningServer& server, const std::string& origin,
                         const std::function<bool(const std::string&)>& open) {
    if (server.rowOf(origin) < 0 && !open(header(origin, "probe", 1000000000))) {
        throw std::runtime_error("the probe transfer did not open");
    }
    const auto& row = server.table().at(server.rowOf(origin));
    return ack(static_cast<std::uint64_t>(row.position) + 1);
}

} // namespace

void openProbe(RunningServer& server, UdpPeer& peer) {
    nextAnswerOf(server, probeOrigin(peer.localPort()), [&peer](const std::string& opening) {
        return peer.exchange(opening) == "PTE;1;END";
    });
}

bool unanswered(RunningServer& server, UdpPeer& peer, std::string_view frame) {
    const std::string origin = probeOrigin(peer.localPort());
    const std::string expected = nextAnswerOf(server, origin, [&peer](const std::string& opening) {
        return peer.exchange(opening) == "PTE;1;END";
    });
    peer.send(frame);
    peer.send(content(origin, "p"));
    return peer.answer() == expected;
}

bool unanswered(RunningServer& server, TcpPeer& peer, std::string_view frame) {
    const std::string origin = probeOrigin(peer.localPort());
    const std::string expected = nextAnswerOf(server, origin, [&peer](const std::string& opening) {
        const std::string before = peer.text();
        peer.write(opening);
        return peer.answers(before + "PTE;1;END");
    });
    const std::string before = peer.text();
    peer.write(frame);
    peer.write(content(origin, "p"));
    return peer.answers(before + expected);
}

RunningServer::RunningServer(bool traced, const std::string& extension)
    : receive_(scratch_.file("rx")), tracePath_(scratch_.file("trace.txt")) {
    traceSink_ = std::fopen(tracePath_.c_str(), "w");
    if (traceSink_ == nullptr) {
        throw std::runtime_error("cannot open the trace file");
    }
    engine_ = std::make_unique<zelk::ServeurEngine>(nullptr, traceSink_);
    zelk::ServerConfig config;
    config.cfgPortUdp = "0";
    config.cfgPortTcp = "";
    config.cfgRepertoire = receive_;
    config.cfgTrace = std::string(traced ? "O" : "N");
    config.cfgExtension = extension;
    QString error;
    if (!engine_->start(config, error)) {
        throw std::runtime_error("server did not start: " + error.toStdString());
    }
}

RunningServer::~RunningServer() {
    engine_.reset();
    std::fclose(traceSink_);
}

std::string RunningServer::pathOf(std::string_view originFolder, std::string_view name) const {
    return zelk::joinPath(zelk::joinPath(receive_, originFolder), name);
}

std::string RunningServer::traceText() const {
    return zelktest::readFile(tracePath_);
}

UdpPeer::UdpPeer(quint16 serverPort, const QHostAddress& loopback)
    : peer_(loopback), serverPort_(serverPort) {}

std::optional<std::string> UdpPeer::answer(int timeoutMs) {
    auto datagram = peer_.receiveFrom(timeoutMs);
    if (!datagram) {
        return std::nullopt;
    }
    lastSender_ = datagram->from;
    lastSenderPort_ = datagram->fromPort;
    return std::move(datagram->bytes);
}

std::optional<std::string> UdpPeer::exchange(std::string_view frame) {
    send(frame);
    return answer();
}

std::optional<std::string> UdpPeer::exchangeRepeated(std::string_view frame, int everyMs) {
    for (int waited = 0; waited < kWaitMs; waited += everyMs) {
        send(frame);
        if (auto got = answer(everyMs)) {
            return got;
        }
    }
    return std::nullopt;
}

TcpPeer::TcpPeer(quint16 serverPort) {
    socket_.connectToHost(QHostAddress::LocalHost, serverPort);
    waitUntil([this] { return connected(); });
}

void TcpPeer::write(std::string_view bytes) {
    socket_.write(bytes.data(), static_cast<qint64>(bytes.size()));
    socket_.flush();
}

std::string TcpPeer::text() {
    received_ += socket_.readAll().toStdString();
    return received_;
}

bool TcpPeer::answers(std::string_view expected, int timeoutMs) {
    waitUntil([&] { return text().size() >= expected.size(); }, timeoutMs);
    return text() == expected;
}

void TcpPeer::close() {
    socket_.disconnectFromHost();
}

} // namespace servertest
