#pragma once

// A real server engine on loopback and small raw-socket peers that speak to it, all in the test's
// own event loop.

#include "serveurengine.h"
#include "testutil.h"
#include "udppeer.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QUdpSocket>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace servertest {

// Generous: the machine may be loaded.
inline constexpr int kWaitMs = 30000;

inline const std::string kPoste7 = "poste7    ";
inline const std::string kProbe = "probe     ";

// Runs the event loop until `done` holds or the time is up.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = kWaitMs);

std::string header(std::string_view origin, std::string_view name, std::int64_t size);
std::string header(std::string_view origin, std::string_view name, std::string_view sizeText);
std::string content(std::string_view origin, std::string_view piece);
// The answer "PTE;" position ";END".
std::string ack(std::uint64_t position);

class RunningServer {
public:
    // `extension`: the "offreExtension=" setting.
    explicit RunningServer(bool traced = false, const std::string& extension = {});
    ~RunningServer();
    RunningServer(const RunningServer&) = delete;
    RunningServer& operator=(const RunningServer&) = delete;

    zelk::ServeurEngine& engine() { return *engine_; }
    const zelk::TransferTable& table() const { return engine_->table(); }
    const std::string& receiveFolder() const { return receive_; }
    std::string scratchPath() const { return scratch_.path(); }
    std::string pathOf(std::string_view originFolder, std::string_view name) const;
    std::string traceText() const;
    // Index of the origin's row, -1 when it has none.
    int rowOf(std::string_view origin) const { return table().findOrigin(origin); }

private:
    zelktest::ScratchDir scratch_;
    std::string receive_;
    std::string tracePath_;
    std::FILE* traceSink_ = nullptr;
    std::unique_ptr<zelk::ServeurEngine> engine_;
};

// The shared loopback peer, aimed at the server, with the exchanges of a client.
class UdpPeer {
public:
    explicit UdpPeer(quint16 serverPort, const QHostAddress& loopback = QHostAddress::LocalHost);
    void send(std::string_view bytes) { peer_.send(serverPort_, bytes); }
    std::optional<std::string> answer(int timeoutMs = kWaitMs);
    std::optional<std::string> exchange(std::string_view frame);
    // Sends `frame` again every `everyMs` until an answer comes, as a client repeats its header.
    std::optional<std::string> exchangeRepeated(std::string_view frame, int everyMs = 250);
    // Whether an answer waits unread, asked of the system at once, without the event loop.
    bool answerWaiting() const { return peer_.waiting(); }
    quint16 localPort() const { return peer_.port(); }
    const QHostAddress& lastSender() const { return lastSender_; }
    quint16 lastSenderPort() const { return lastSenderPort_; }

private:
    zelktest::UdpPeer peer_;
    quint16 serverPort_;
    QHostAddress lastSender_;
    quint16 lastSenderPort_ = 0;
};

class TcpPeer {
public:
    explicit TcpPeer(quint16 serverPort);
    bool connected() const { return socket_.state() == QAbstractSocket::ConnectedState; }
    void write(std::string_view bytes);
    // Waits until the answers so far are at least as long as `expected`, then compares them.
    bool answers(std::string_view expected, int timeoutMs = kWaitMs);
    std::string text();
    quint16 localPort() const { return socket_.localPort(); }
    void close();

private:
    QTcpSocket socket_;
    std::string received_;
};

// A frame that must stay unanswered is followed by a probe: one byte for a transfer of the probe
// origin, whose answer is known in advance. When the first answer is the probe's, the frame
// before it was handled in silence.
std::string probePiece();
std::string nextProbeAnswer(RunningServer& server);
bool unanswered(RunningServer& server, UdpPeer& peer, std::string_view frame);
// Plain content is taken only from the sender whose header its row follows, so each peer probes
// through a transfer of its own, under an origin named after its port ("pr" and the port).
std::string probeOrigin(quint16 port);
void openProbe(RunningServer& server, UdpPeer& peer);
bool unanswered(RunningServer& server, TcpPeer& peer, std::string_view frame);

} // namespace servertest
