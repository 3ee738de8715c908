#pragma once

// The sending client without its window: the outbox list, the two timers, the UDP socket and the
// send engine that moves the first listed file to the server one datagram at a time.

#include "codec.h"
#include "config.h"
#include "congestion.h"
#include "digest.h"
#include "extcodec.h"
#include "openprobe.h"
#include "outboxscan.h"
#include "piecelengths.h"
#include "piecereader.h"
#include "secure.h"
#include "sendwindow.h"
#include "trace.h"
#include "udpendpoint.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
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

class ClientEngine : public QObject {
    Q_OBJECT
public:
    struct Listed {
        std::string name;
        FileStamp scanStamp;           // as the scan that listed it found it
        std::int64_t stillSinceMs = 0; // since when it has had that stamp
    };

    // After this many silences in a row on a file whose header the server answers, the file
    // waits behind the others: the server takes its header but not its content. Many, so that
    // a merely lossy link does not make a large file start over.
    static constexpr int kStallsBeforeMovingOn = 20;

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
    // What the client is doing, in a line for its window: sending, waiting for the server (since
    // when), nothing to send, or what keeps it from sending.
    QString activity() const;
    bool extendedTransfer() const { return ext_ != nullptr; }
    // Without leases the open test judges a file by its stamp alone, which must have held for
    // the settle time ("delaiStabilite=").
    void setLeasesAllowed(bool allowed) { leasesAllowed_ = allowed; }
    // How long a finished file is kept after copies or late frames were seen (tests shorten it).
    void setHeldBackMs(std::int64_t ms) { heldBackMs_ = ms; }
    bool holdingBack(const std::string& name) const { return isHeldBack(name); }
    // How a sent file is deleted (tests make it fail; as root an unlink hardly ever does).
    void setUnlink(std::function<int(const char*)> unlinkFile) { unlink_ = std::move(unlinkFile); }
    // How often the outbox folder itself was read, for tests.
    int folderReads() const { return scan_ ? scan_->folderReads() : 0; }

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
    // What the client remembers of a file's transfer while the file stays in its outbox.
    struct TransferMemory {
        // As the file was when its transfer started from the first byte, or when it was first
        // listed: a file that differs at the end is not deleted.
        std::optional<FileStamp> startStamp;
        // How far this client has sent the file since its transfer began; -1 when it does not
        // know (it was started while the server already held part of the file).
        std::int64_t sentEnd = -1;
        // The server's latest sound answer in this transfer (-1: none), and where each piece
        // sent since then ends: the only places a resume can soundly name.
        std::int64_t ackedEnd = -1;
        std::vector<std::int64_t> unackedEnds;
        // The server's copy holds bytes in the wrong place: announce another size first, so the
        // server starts the file anew.
        bool mustReset = false;
        bool answeredOutOfRange = false; // the latest header got only such answers
        int stalls = 0;
        int headers = 0;  // headers sent in this transfer, resets included
        int unknowns = 0; // times the server forgot the transfer
        // The latest answer to a header behind ackedEnd, and the header it answered.
        std::int64_t behindAt = -1;
        int behindHeader = 0;
        // The extension: the identity offered for this transfer (0 until offered), the digest of
        // the file as read so far, and the whole file's once known.
        std::uint64_t transfer = 0;
        std::shared_ptr<ext::RunningDigest> digest;
        std::optional<ext::Digest> fileDigest;
    };
    // The file being sent in extended datagrams.
    struct ExtSending {
        ExtSending(std::uint64_t id, std::int64_t size, std::int64_t pieceMax, double rateCap,
                   std::int64_t nowUs)
            : transfer(id), window(size, pieceMax, 16 * pieceMax),
              congestion(pieceMax, rateCap, static_cast<std::uint32_t>(id)), startedUs(nowUs) {}
        std::uint64_t transfer;
        ext::SendWindow window;
        ext::Congestion congestion; // the pace and the window
        std::int64_t startedUs;
        std::int64_t startBytes = 0;
        bool finishing = false;
        std::int64_t finishDueUs = -1;
        std::int64_t finishWaitUs = 0;
        int silentTimeouts = 0; // timeouts in a row without any answer
        int shortAnswers = 0;   // answers to the finish that say bytes are missing
        // Since every byte was to be sent again, the end of what went again: a piece sent again
        // beyond it goes for the first time since, and is no loss.
        std::int64_t sentSinceRestart = -1;
        // A keyed origin's transfer: its datagrams go sealed under this session's keys.
        std::optional<ext::Session> session;
    };
    // The proof of this origin's key that a keyed client's headers carry.
    struct Handshake {
        std::uint64_t transfer = 0;
        ext::Nonce client{};
        std::optional<ext::Nonce> server; // the server's challenge, once it proved its key
        ext::Mac proof{};
        ext::Aead aead = ext::Aead::ChaCha20Poly1305; // the server's choice
    };
    enum class Awaiting { Nothing, Header, Reset, Piece };
    // A finished file not yet deleted, while a stray frame may still undo its copy.
    struct HeldBack {
        std::string name;
        TransferMemory memory;
        std::int64_t untilMs = 0;
        std::int64_t size = 0;
    };

    bool checkDestinationPort(QString& error);
    bool makeOutbox(QString& error);
    void resolveDestination();
    void retryLookUp();
    void traceRejections(const std::vector<OutboxScan::Rejection>& rejected);
    std::string fullPath(const std::string& name) const;
    bool passesOpenTest(const Listed& item);
    bool safeToDelete(const TransferMemory& memory, const std::string& path) const;
    bool fromServer(const QHostAddress& from, quint16 fromPort) const;
    void dropFirst(std::string_view why);
    // `plain`: finished by a plain acknowledgement, so the plain protocol's guards apply.
    void finishFirst(bool plain = true);
    void deleteFinished(const std::string& name, const std::string& path);
    bool sendPiece(const std::string& path, std::int64_t p, std::int64_t total);
    void sendHeader(const Listed& item, const FileStamp& stamp);
    void answerToHeader(std::int64_t p);
    void answerToReset();
    std::string unsoundResume(const TransferMemory& memory, std::int64_t p);
    static void restartedFromNothing(TransferMemory& memory);
    static bool behindAgain(TransferMemory& memory, std::int64_t p);
    void traceIgnored(std::int64_t p, const std::string& why);
    void answerToPiece(std::int64_t p);
    void startOver(const std::string& why);
    void headerAtLarge();
    void strayAnswerSeen();
    void strayHeaderAnswer();
    void holdBack(const std::string& name, const TransferMemory& memory);
    void deleteHeldBack();
    void strayFirstByteAnswer();
    bool isHeldBack(const std::string& name) const {
        return std::any_of(heldBack_.begin(), heldBack_.end(),
                           [&name](const HeldBack& held) { return held.name == name; });
    }
    void stopWaiting();
    TransferMemory& memoryOfFirst();
    std::int64_t nowMs() const { return clock_.elapsed(); }
    const std::string& pathOfFirst();
    void send(std::string_view datagram);
    void sendMany(std::span<const std::string_view> datagrams);
    void setProgress(int value);
    void heardFromServer();
    std::int64_t finalWaitMs(std::int64_t size) const;
    void waitFor(std::int64_t ms);
    void traceHeader(const std::string& name);
    void recordSent(const std::string& name, const TransferMemory& memory);
    void traceHeaderAnswer(std::int64_t p);

    // The extension (clientextended.cpp).
    bool offering() const {
        return extensionOn_ && (key_.has_value() || nowMs() >= plainServerUntilMs_);
    }
    std::string offeredHeader(const Listed& item, std::int64_t size);
    bool takeAcceptance(std::string_view bytes, std::int64_t p);
    bool loadKey(QString& error);
    std::string helloField(std::uint64_t transfer);
    bool keyedAnswer(std::string_view bytes);
    bool answerChallenge(const ext::Challenge& challenge);
    bool takeProvenAccept(const ext::ProvenAccept& proven);
    ext::Transcript transcript(const ext::Nonce& server) const;
    void serverUnproven(const std::string& why);
    void sealedAnswer(std::string_view bytes);
    void extendedFrame(const ext::Frame& frame);
    void acceptedOffer(const ext::Accept& accept,
                       std::optional<ext::Session> session = std::nullopt);
    void serverIsPlain();
    bool plainAfterOffers();
    void extensionHeard();
    void extendedAnswer(std::string_view bytes);
    void extendedAcknowledged(const ext::Frame& frame);
    bool lateVerdict(const ext::Frame& frame);
    void pumpExtended();
    bool queuePiece(const ext::SendWindow::Piece& piece, const std::string& path,
                    TransferMemory& memory);
    void flushExtended();
    void adjustWindow(std::int64_t ackedBefore, std::int64_t now);
    void armPacing(std::int64_t now);
    void sentExtended(const ext::SendWindow::Piece& piece, std::int64_t now);
    void finishExtended();
    bool digestReady(TransferMemory& memory, const std::string& path);
    void sendFinish();
    void extendedTimeout();
    void armExtendedTimer();
    void leaveExtended();
    void extendedDone();
    void extendedLost(const std::string& why);
    void measureRate(const char* protocol, std::int64_t bytes);
    void setStatus(std::string status);
    std::int64_t nowUs() const { return clock_.nsecsElapsed() / 1000; }

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
    static constexpr std::int64_t kLongestFinalWaitMs = 60000;
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
    std::map<std::string, TransferMemory> transfers_;
    // The frame that waits for its answer: at most one answer is taken for it.
    Awaiting awaiting_ = Awaiting::Nothing;
    std::int64_t pieceFrom_ = 0;
    std::int64_t pieceLength_ = 0;
    FileStamp headerStamp_;
    PieceLengths lengths_;
    static constexpr std::int64_t kLateCopyMs = 5000;
    static constexpr std::int64_t kHeldBackMs = 1000;
    std::vector<HeldBack> heldBack_;
    std::function<int(const char*)> unlink_ = ::unlink;
    std::int64_t heldBackMs_ = kHeldBackMs;
    // After a header whose fate is unknown, no new file starts before this time.
    std::int64_t quietUntilMs_ = -1;
    std::int64_t straysUntilMs_ = -1; // answers that fit nothing were seen lately
    bool betweenFiles_ = false;       // a file finished and the next has not started
    std::int64_t settleMs_ = 0;
    QElapsedTimer clock_;
    std::unique_ptr<ExtSending> ext_;
    QTimer extTimer_;
    QTimer paceTimer_; // the next piece's time by the pace
    std::string extFrame_;
    std::optional<ext::Key> key_; // this origin's key, when it has one
    Handshake handshake_;
    bool unproven_ = false; // the latest answer to a keyed header proved no key
    std::string opened_;    // a sealed answer's body, decrypted
    // The pieces one turn of the pace releases, built side by side and sent in one go.
    static constexpr std::size_t kBatchDatagrams = 64;
    static constexpr std::size_t kBatchBytes = 256 << 10;
    static_assert(kBatchBytes >= ext::kLargestDatagram);
    std::vector<char> extBatch_;
    std::size_t extBatchUsed_ = 0;
    std::vector<std::string_view> extQueued_;
    // A header with an offer waits for its answer.
    bool offered_ = false;
    bool extensionOn_ = true;
    // The server answered an offer plainly: no offer until then.
    std::int64_t plainServerUntilMs_ = -1;
    static constexpr std::int64_t kPlainServerMs = 10 * 60 * 1000;
    // Plain answers to this many offers in a row, spread over at least this long, and nothing of
    // the extension meanwhile: only then is the server taken for a plain one.
    static constexpr int kPlainAnswersBelieved = 3;
    // The server forgot this file's transfer this often: it cannot keep it, the window says.
    static constexpr int kUnknownsShown = 3;
    static constexpr std::int64_t kPlainBelievedMs = 2000;
    int plainAnswers_ = 0;
    std::int64_t firstPlainAnswerMs_ = 0;
    std::uint64_t headerSeq_ = 0;         // headers sent, counted
    std::uint64_t plainAnswerHeader_ = 0; // the header whose plain answer was counted last
    bool plainAnsweredOffer_ = false;     // the offer waiting got a plain answer, not silence
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
