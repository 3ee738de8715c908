#pragma once

// A scripted server on loopback, and the pieces that the client's tests share.

#include "clientengine.h"
#include "codec.h"
#include "config.h"
#include "fsops.h"
#include "testutil.h"
#include "udppeer.h"

#include <QProcess>
#include <QTest>
#include <QUdpSocket>
#include <deque>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>

namespace zelktest {

inline constexpr int kWaitMs = 15000; // generous: a loaded machine may be slow
inline constexpr int kNeverMs = 600000;

// Receives the client's datagrams and answers them as the test says.
class FakeServer {
public:
    explicit FakeServer(const QHostAddress& at = QHostAddress(QHostAddress::LocalHost))
        : socket_(at) {}
    quint16 port() const { return socket_.port(); }

    // The next datagram from the client, or nothing after a generous wait.
    std::optional<std::string> next() {
        gather();
        if (received_.empty()) {
            if (auto datagram = socket_.receiveFrom(kWaitMs)) {
                keep(std::move(*datagram));
            }
        }
        if (received_.empty()) {
            return std::nullopt;
        }
        std::string bytes = std::move(received_.front());
        received_.pop_front();
        return bytes;
    }
    std::size_t waiting() {
        gather();
        return received_.size();
    }

    void answer(std::string_view text) { socket_.sendTo(lastFrom_, lastPort_, text); }
    void ack(std::int64_t position) { answer("PTE;" + std::to_string(position) + ";END"); }

private:
    void gather() {
        for (zelktest::Datagram& datagram : socket_.drainFrom()) {
            keep(std::move(datagram));
        }
    }
    void keep(zelktest::Datagram datagram) {
        lastFrom_ = datagram.from;
        lastPort_ = datagram.fromPort;
        received_.push_back(std::move(datagram.bytes));
    }

    UdpPeer socket_;
    std::deque<std::string> received_;
    QHostAddress lastFrom_;
    quint16 lastPort_ = 0;
};

inline zelk::ClientConfig clientConfig(const std::string& outbox, quint16 serverPort,
                                       int loopMs = kNeverMs, int waitMs = kNeverMs) {
    zelk::ClientConfig cfg;
    cfg.cfgRepertoire = outbox;
    cfg.cfgDelaiScan = std::to_string(loopMs);
    cfg.cfgDelaiAttente = std::to_string(waitMs);
    cfg.cfgIdOrigine = zelk::originIdentifier("poste7");
    cfg.idOrigineLu = true;
    cfg.cfgAdresseDest = "127.0.0.1";
    cfg.cfgPortDest = std::to_string(serverPort);
    cfg.cfgPortLocal = "0";
    cfg.cfgPaquetsMax = "1000";
    cfg.cfgTrace = "N";
    cfg.cfgDelaiStable = "0";
    // A scripted plain server meets a plain client; the extension's tests ask for their offers.
    cfg.cfgExtension = "N";
    return cfg;
}

inline std::string payloadOf(const std::string& frame) {
    const zelk::FrameCheck check = zelk::Valide_Id_Long(frame);
    if (!check.valid()) {
        return "<invalid frame>";
    }
    return frame.substr(static_cast<std::size_t>(check.posDebutDonnees),
                        static_cast<std::size_t>(check.longDonnees));
}

inline bool isHeader(const std::string& frame) {
    const zelk::FrameCheck check = zelk::Valide_Id_Long(frame);
    return check.valid() && zelk::isHeaderFrame(frame, check);
}

// The engine over an outbox in a scratch folder, talking to a fake server. The timers are slow
// unless a test asks otherwise, so that the test itself ticks the send loop.
class ClientFixture : public ::testing::Test {
protected:
    ClientFixture() { std::filesystem::create_directory(outbox); }

    void put(const std::string& name, const std::string& bytes) {
        writeFile(zelk::joinPath(outbox, name), bytes);
    }
    bool inOutbox(const std::string& name) const {
        return std::filesystem::exists(zelk::joinPath(outbox, name));
    }
    void start(zelk::ClientConfig cfg) {
        if (offers) {
            cfg.cfgExtension = "O";
        }
        engine = std::make_unique<zelk::ClientEngine>();
        QString error;
        ASSERT_TRUE(engine->start(cfg, error)) << error.toStdString();
    }
    void start() { start(clientConfig(outbox, server.port())); }
    // Returns once the client has read every datagram sent to it so far, and so has sent all it
    // meant to send in answer: a datagram from a stranger goes last, and the client counts it.
    void settle() {
        const int before = engine->strangerDatagrams();
        QUdpSocket stranger;
        const bool v6 = engine->destination().protocol() == QAbstractSocket::IPv6Protocol;
        stranger.writeDatagram("?", 1, v6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost,
                               engine->boundPort());
        ASSERT_TRUE(QTest::qWaitFor([&] { return engine->strangerDatagrams() > before; }, kWaitMs))
            << "the client read nothing more";
    }
    // The final answer: the file is held back a while (a late copy of its header may still reach
    // the server); with no time to hold it, the loop's next tick deletes it. Gives whether it was
    // held back.
    bool finalAnswer(std::int64_t position, const std::string& name) {
        engine->setHeldBackMs(0);
        server.ack(position);
        const bool held = QTest::qWaitFor([&] { return engine->holdingBack(name); }, kWaitMs);
        engine->timLoopEnvoi_Timer();
        return held;
    }
    // A header payload without the extension's offer, which a plain server ignores.
    // The header without the extension's fields (the offer, the ask for several files at once).
    static std::string plainFields(std::string payload) {
        for (const char* field : {";ZX1,", ";ZXM,"}) {
            const std::size_t at = payload.find(field);
            if (at != std::string::npos) {
                payload.erase(at, payload.find(';', at + 1) - at);
            }
        }
        return payload;
    }
    std::string expectHeaderOf(const std::string& name) {
        const auto frame = server.next();
        EXPECT_TRUE(frame && isHeader(*frame));
        const std::string payload = frame ? payloadOf(*frame) : std::string();
        EXPECT_TRUE(name.empty() || payload.find(";" + name + ";") != std::string::npos) << payload;
        return payload;
    }
    // Answers the offer just received plainly, and the offers that follow, until the client takes
    // the server for a plain one: three offers over two seconds.
    void answerOffersPlainly(std::int64_t position) {
        for (int offer = 0; offer < 3; ++offer) {
            if (offer > 0) {
                QTest::qWait(1000);
                engine->timAttente_Timer();
                engine->timLoopEnvoi_Timer();
                const auto again = server.next();
                EXPECT_TRUE(again && isHeader(*again));
            }
            server.ack(position);
        }
    }
    // Acknowledges `position` and gives the payload of the piece that comes back.
    std::string pieceAfterAck(std::int64_t position) {
        server.ack(position);
        const auto frame = server.next();
        EXPECT_TRUE(frame && !isHeader(*frame));
        return frame ? payloadOf(*frame) : std::string();
    }

    bool offers = false; // the client offers the extension
    ScratchDir dir;
    std::string outbox = dir.file("outbox");
    FakeServer server;
    std::unique_ptr<zelk::ClientEngine> engine;
};

// Another process that holds a file open for writing until it is stopped.
class WriterProcess {
public:
    explicit WriterProcess(const std::string& path) {
        process_.start(QStringLiteral("bash"),
                       {QStringLiteral("-c"),
                        QStringLiteral("exec 3>>\"$1\"; echo ready; read -r -t 120 _"),
                        QStringLiteral("writer"), QString::fromStdString(path)});
        ready_ = process_.waitForStarted(kWaitMs) &&
                 QTest::qWaitFor([this] { return process_.canReadLine(); }, kWaitMs);
    }
    ~WriterProcess() { stop(); }
    bool ready() const { return ready_; }
    void stop() {
        if (process_.state() == QProcess::NotRunning) {
            return;
        }
        process_.closeWriteChannel(); // its read ends, and so does it
        if (!process_.waitForFinished(kWaitMs)) {
            process_.kill();
            process_.waitForFinished(kWaitMs);
        }
    }

private:
    QProcess process_;
    bool ready_ = false;
};

} // namespace zelktest
