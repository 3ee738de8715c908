#pragma once

// The sending client without its window: the outbox list, the two timers, the UDP socket and the
// send engine that moves the first listed file to the server one datagram at a time.

#include "config.h"
#include "openprobe.h"
#include "piecereader.h"
#include "trace.h"
#include "udpendpoint.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

// The largest file whose final position (length + 1) still fits the protocol's 32-bit position.
inline constexpr std::int64_t kLargestFile = 2147483646;

// A window timer: enabled or not, and an interval of 0 never ticks. It ticks one whole interval
// after it was enabled, and every interval after that while it stays enabled.
//
// The engine disables and enables its wait timer for every acknowledgement, thousands of times a
// second, so neither touches the system timer: that one is left running, and when it fires while
// the timer is disabled it just stops, or, when the timer was enabled again since, it is set for
// the time that is left.
class EngineTimer {
public:
    EngineTimer(QObject* parent, std::function<void()> onTick);
    void setInterval(std::int64_t milliseconds);
    int interval() const { return interval_; }
    // Enabling an enabled timer leaves its running interval alone.
    void enable();
    void disable() { enabled_ = false; }
    bool enabled() const { return enabled_; }
    // Whether a tick is coming.
    bool ticking() const { return enabled_ && timer_.isActive(); }

private:
    using Clock = std::chrono::steady_clock;
    void fired();
    void armFor(Clock::duration left);

    QTimer timer_;
    std::function<void()> onTick_;
    int interval_ = 0;
    bool enabled_ = false;
    Clock::time_point due_{};
};

class ClientEngine : public QObject {
    Q_OBJECT
public:
    struct Listed {
        std::string name;
        FileStamp scanStamp;   // as the scan that listed it found it
        FileStamp headerStamp; // as it was when its header was built
    };

    explicit ClientEngine(QObject* parent = nullptr);

    // The start-up after the configuration has been read. False, with the cause in `error`, when
    // the client cannot run.
    bool start(const ClientConfig& config, QString& error);

    // Outbox scan: fills lstFilPos, or creates the outbox folder. False when the folder is
    // missing and cannot be made.
    bool Set_FilPos();
    void Lance_Envoi();
    void Envoie_Entete();
    void Envoie_Contenu(std::int64_t p);
    void timLoopEnvoi_Timer();
    void timAttente_Timer();
    void udpSend_DataArrival(std::string_view bytes, const QHostAddress& from, quint16 fromPort);

    bool loopEnabled() const { return timLoopEnvoi_.enabled(); }
    bool waitEnabled() const { return timAttente_.enabled(); }
    bool loopTicking() const { return timLoopEnvoi_.ticking(); }
    bool waitTicking() const { return timAttente_.ticking(); }
    std::vector<std::string> fileNames() const;
    int progress() const { return pgbTrx_; }
    quint16 boundPort() const { return udpSend_.localPort(); }
    const QHostAddress& destination() const { return destination_; }
    int destinationPort() const { return destinationPort_; }
    std::size_t pieceMax() const { return pieceMax_; }
    // Datagrams that did not come from the server and were left alone.
    int strangerDatagrams() const { return strangerDatagrams_; }
    // Without leases the open test judges a file by its size and modification time alone.
    void setLeasesAllowed(bool allowed) { leasesAllowed_ = allowed; }

signals:
    void progressChanged(int value);
    void listChanged();
    void headerSent(const QString& name);
    void fileDone(const QString& name);
    void fileDropped(const QString& name);
    // Acknowledged to its end but changed or still being written: left in the outbox.
    void fileKept(const QString& name);

private:
    bool makeOutbox(QString& error);
    void resolveDestination();
    void listIfSendable(const std::string& name, std::set<std::string>& unlisted);
    std::string fullPath(const std::string& name) const;
    bool passesOpenTest(const Listed& item) const;
    bool safeToDelete(const Listed& item, const std::string& path) const;
    bool fromServer(const QHostAddress& from, quint16 fromPort) const;
    void dropFirst(std::string_view why);
    void finishFirst();
    bool sendPiece(const std::string& path, std::int64_t p, std::int64_t total);
    const std::string& pathOfFirst();
    void send(std::string_view datagram);
    void setProgress(int value);
    void traceHeader(const std::string& name);
    void traceHeaderAnswer(std::int64_t p);

    ClientConfig cfg_;
    Trace trace_;
    UdpEndpoint udpSend_;
    EngineTimer timLoopEnvoi_;
    EngineTimer timAttente_;
    std::vector<Listed> lstFilPos_;
    int pgbTrx_ = 0;
    std::int64_t tailleFichier_ = 0;
    QHostAddress destination_;
    int destinationPort_ = 0;
    std::size_t pieceMax_ = 1;
    std::string frame_; // one content frame, kept from piece to piece
    // The first listed file, open while acknowledgements keep coming, and its path.
    PieceReader reader_;
    std::string firstName_;
    std::string firstPath_;
    std::string scanError_;
    int strangerDatagrams_ = 0;
    bool leasesAllowed_ = true;
    // Kept only while the trace is on: the file whose start was traced, since when, and
    // whether the next acknowledgement answers a header.
    std::string traced_;
    std::set<std::string> unlisted_; // left out by the latest scan
    QElapsedTimer started_;
    int headers_ = 0;
    bool answerToHeader_ = false;
};

} // namespace zelk
