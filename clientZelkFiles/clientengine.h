#pragma once

// The sending client without its window: the outbox list, the send loop's and the wait's timers,
// the UDP socket, the reading of pieces from disk and the deleting of sent files. What a plain
// answer means, and what comes next, is decided by the plain sender (plainsender.h), and the
// extension's by the extended sender (extendedsender.h), whose actions clientextended.cpp performs
// on timers of their own.

#include "codec.h"
#include "config.h"
#include "extcodec.h"
#include "extendedsender.h"
#include "extendedsession.h"
#include "openprobe.h"
#include "outboxscan.h"
#include "piecereader.h"
#include "plainsender.h"
#include "trace.h"
#include "udpendpoint.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace zelk {

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

// What the client is doing, for its window: what keeps it from sending, or whether it sends or
// waits for the server.
struct ClientActivity {
    enum class Kind {
        OutboxMissing,      // `detail`: why it cannot be made
        OutboxUnreadable,   // `detail`: why
        DestinationUnknown, // `detail`: the host that does not resolve
        NothingToSend,
        KeyUnproven,      // the server does not prove the origin's key
        ServerCannotKeep, // the server keeps forgetting the file `detail`
        Waiting,          // for the server, silent since `since`
        Sending,          // the file `detail`
        SendingSeveral,   // `detail` files at once
    };
    Kind kind = Kind::NothingToSend;
    std::string detail;
    QDateTime since;
};

class ClientEngine : public QObject {
    Q_OBJECT
public:
    struct Listed {
        std::string name;
        FileStamp scanStamp;           // as the scan that listed it found it
        std::int64_t stillSinceMs = 0; // since when it has had that stamp
    };

    static constexpr int kStallsBeforeMovingOn = PlainSender::kStallsBeforeMovingOn;

    explicit ClientEngine(QObject* parent = nullptr);

    // The start-up after the configuration has been read. False, with the cause in `error`, when
    // the client cannot run.
    bool start(const ClientConfig& config, QString& error);
    // On SIGHUP: the key file read again (its path is the one given at start), the trace switched.
    bool reloadKeys(QString& error) { return loadKey(error); }
    void setTraceEnabled(bool on) { trace_.setEnabled(on); }

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
    // How long the frame sent last is waited for.
    int waitMs() const { return timAttente_.interval(); }
    std::vector<std::string> fileNames() const;
    int progress() const { return pgbTrx_; }
    quint16 boundPort() const { return udpSend_.localPort(); }
    const QHostAddress& destination() const { return destination_; }
    int destinationPort() const { return destinationPort_; }
    std::size_t pieceMax() const { return pieceMax_; }
    // The body of an extended piece: what a datagram of "tailleTrameZX1=" bytes leaves.
    std::int64_t extendedPiece() const { return extPiece_; }
    // Datagrams that did not come from the server and were left alone.
    int strangerDatagrams() const { return strangerDatagrams_; }
    // Which protocol the file being sent uses, and its rate lately: "ZX1 12.5 MB/s", "simple".
    const std::string& transferStatus() const { return status_; }
    // What the client is doing: sending, waiting for the server (since when), nothing to send,
    // or what keeps it from sending.
    ClientActivity activity() const;
    bool extendedTransfer() const { return extended_.sending() || session_.active(); }
    // Files under way at once in a session of several (0 when none is open).
    int filesUnderWay() const { return session_.underWay(); }
    // Without leases the open test judges a file by its stamp alone, which must have held for
    // the settle time ("delaiStabilite=").
    void setLeasesAllowed(bool allowed) { leasesAllowed_ = allowed; }
    // How long a finished file is kept after copies or late frames were seen (tests shorten it).
    void setHeldBackMs(std::int64_t ms) { sender_.guard().setHeldBackMs(ms); }
    bool holdingBack(const std::string& name) const { return sender_.guard().isHeldBack(name); }
    // How a sent file is deleted (tests make it fail; as root an unlink hardly ever does).
    void setUnlink(std::function<int(const char*)> unlinkFile) { unlink_ = std::move(unlinkFile); }
    // How often the outbox folder itself was read, for tests.
    int folderReads() const { return scan_ ? scan_->folderReads() : 0; }
    bool watchingOutbox() const { return outboxEvents_ != nullptr && scan_->watching(); }

signals:
    void progressChanged(int value);
    void listChanged();
    void headerSent(const QString& name);
    void fileDone(const QString& name);
    void fileDropped(const QString& name);
    // Acknowledged to its end but changed or still being written: left in the outbox.
    void fileKept(const QString& name);
    void statusChanged();

private:
    // The first listed file, as the extended sender reads it.
    class FirstFile : public ExtFile {
    public:
        explicit FirstFile(ClientEngine& engine) : engine_(engine) {}
        std::optional<std::int64_t> length() override;
        std::optional<FileStamp> stamp() override;
        long read(char* into, std::size_t n, std::int64_t offset) override;

    private:
        ClientEngine& engine_;
    };

    // The outbox's files by name, as a session of several transfers reads them.
    class OutboxFiles : public ExtFiles {
    public:
        explicit OutboxFiles(ClientEngine& engine) : engine_(engine) {}
        std::optional<std::int64_t> length(const std::string& name) override;
        std::optional<FileStamp> stamp(const std::string& name) override;
        long read(const std::string& name, char* into, std::size_t n, std::int64_t offset) override;

    private:
        ClientEngine& engine_;
    };
    // A file a session reads, kept open while pieces of it go.
    struct OpenFile {
        std::string path;
        std::unique_ptr<PieceReader> reader;
        std::uint64_t used = 0;
    };

    bool checkDestinationPort(QString& error);
    bool makeOutbox(QString& error);
    // The outbox's watch queue read as soon as it is readable, and the next file after a verdict
    // taken at once: an idle client waits for no tick.
    void watchOutbox();
    void outboxChanged();
    void nextAtOnce();
    bool idle() const;
    void resolveDestination();
    void retryLookUp();
    void traceRejections(const std::vector<OutboxScan::Rejection>& rejected);
    std::string fullPath(const std::string& name) const;
    bool passesOpenTest(const Listed& item);
    bool safeToDelete(const std::optional<FileStamp>& startStamp, const std::string& path) const;
    bool fromServer(const QHostAddress& from, quint16 fromPort) const;
    void dropFirst(std::string_view why);
    // `plain`: finished by a plain acknowledgement, so the plain protocol's guards apply.
    void finishFirst(bool plain = true);
    void deleteFinished(const std::string& name, const std::string& path, std::int64_t size,
                        std::string summary = {});
    bool sendPiece(const std::string& path, std::int64_t p, std::size_t n, std::int64_t total);
    void sendHeader(const Listed& item, const FileStamp& stamp);
    // What the plain sender asks for, done.
    void run(const PlainSender::Actions& actions);
    void perform(const SenderAction& action);
    void announce(const SenderAction& action);
    void traceIgnored(const std::string& why);
    void startOver(const std::string& why);
    void silence();
    void sendAgain(const std::string& name);
    void traceHeldBack(const std::string& name);
    void deleteDue(const SenderAction& action);
    void stopWaiting();
    TransferMemory& memoryOfFirst();
    std::int64_t nowMs() const { return clock_.elapsed(); }
    const std::string& pathOfFirst();
    void send(std::string_view datagram);
    void sendMany(std::span<const std::string_view> datagrams);
    void setProgress(int value);
    void heardFromServer();
    void waitFor(std::int64_t ms);
    void traceHeader(const std::string& name);
    void recordSent(const std::string& name, const TransferMemory& memory);
    void traceHeaderAnswer(std::int64_t p);

    // The extension's shell (clientextended.cpp).
    bool loadKey(QString& error);
    bool takeAcceptance(std::string_view bytes, std::int64_t p);
    void runExtended(const ExtendedSender::Actions& actions);
    void performExtended(const ExtAction& action);
    bool sendPieces(const std::vector<ext::SendWindow::Piece>& pieces);
    void flushExtended();
    void traceExtended(const ExtAction& action);
    void traceKeys(const ExtAction& action);
    void serverIsPlain(const ExtAction& action);
    void extendedDone(const ExtAction& action);
    void lateVerdict();
    void extendedLost(const std::string& why);
    void tooLarge();
    void extendedSilence();
    void announceAgain(bool silent);
    void leaveExtended();
    void measureRate(const char* protocol, std::int64_t bytes);
    void setStatus(std::string status);
    std::int64_t nowUs() const { return clock_.nsecsElapsed() / 1000; }
    // A session of several transfers (clientsession.cpp).
    void openSession(const ExtAction& granted);
    void offerMore();
    void runSession(const ExtendedSession::Actions& actions);
    void performSession(const SessionAction& action);
    bool sendSessionPieces(const SessionAction& action);
    void sessionDone(const SessionAction& action);
    void sessionLeft(const SessionAction& action);
    void traceSession(const SessionAction& action);
    void sessionEnded();
    PieceReader& readerOf(const std::string& path);

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
    std::int64_t waitMs_ = 0; // "attendApresSnd="
    std::int64_t extPiece_ = 1;
    double rateCap_ = 0; // bytes a second the extension may send at most; 0: no cap
    std::string frame_;  // one content frame, kept from piece to piece
    // The first listed file, open while acknowledgements keep coming, and its path.
    PieceReader reader_;
    std::string firstName_;
    std::string firstPath_;
    std::string scanError_;
    int strangerDatagrams_ = 0;
    bool leasesAllowed_ = true;
    bool running_ = false; // start() went through
    std::unique_ptr<OutboxScan> scan_;
    std::unique_ptr<QSocketNotifier> outboxEvents_; // the scan's watch queue, read at once
    // The plain protocol's decisions, and the memory of every listed file's transfer.
    PlainSender sender_{PlainSender::Settings{}};
    std::function<int(const char*)> unlink_ = ::unlink;
    std::int64_t settleMs_ = 0;
    QElapsedTimer clock_;
    // The extension's decisions, beside the plain sender's.
    FirstFile firstFile_{*this};
    ExtendedSender extended_;
    QTimer extTimer_;
    QTimer paceTimer_; // the next piece's time by the pace
    // Several files at once, once the server grants it; their files, a few kept open.
    OutboxFiles outboxFiles_{*this};
    ExtendedSession session_;
    int transfers_ = 1; // "transfertsMaxi="
    int underWayShown_ = 0;
    static constexpr std::size_t kOpenFiles = 8;
    std::vector<OpenFile> openFiles_;
    std::uint64_t openUse_ = 0;
    // The pieces one turn of the pace releases, built side by side and sent in one go.
    static constexpr std::size_t kBatchDatagrams = 64;
    static constexpr std::size_t kBatchBytes = 256 << 10;
    static_assert(kBatchBytes >= ext::kLargestDatagram);
    std::vector<char> extBatch_;
    std::size_t extBatchUsed_ = 0;
    std::vector<std::string_view> extQueued_;
    bool extensionOn_ = true;
    std::string status_;
    // Since when no datagram came from the server while one was awaited (invalid: one came).
    QDateTime silentSince_;
    bool outboxMissing_ = false;
    std::int64_t rateMarkUs_ = -1;
    std::int64_t rateMarkBytes_ = 0;
    // A destination name that did not resolve at start-up is looked up again, at most this often.
    static constexpr std::int64_t kLookUpEveryMs = 5000;
    bool lookingUp_ = false;
    std::int64_t lastLookUpMs_ = 0;
    // Kept only while the trace is on: the file whose start was traced, since when, and
    // whether the next acknowledgement answers a header.
    std::string traced_;
    QElapsedTimer started_;
    QElapsedTimer lastHeader_; // "header sent again" counts from the latest header
    int headers_ = 0;
    // For the file's record: what the server held when this run took the file up, and the bytes
    // the extension sent again (-1: the plain protocol does not count them).
    std::int64_t runStartBytes_ = 0;
    std::int64_t resentBytes_ = -1;
    std::int64_t plainSentBytes_ = 0; // plain piece bytes sent for the file in this run
};

} // namespace zelk
