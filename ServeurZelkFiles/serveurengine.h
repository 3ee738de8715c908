#pragma once

#include "codec.h"
#include "config.h"
#include "digest.h"
#include "extcodec.h"
#include "piecewriter.h"
#include "rangeset.h"
#include "receivefolder.h"
#include "secure.h"
#include "staging.h"
#include "syncworker.h"
#include "tcplistener.h"
#include "trace.h"
#include "transfertable.h"
#include "udpendpoint.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

// The name the row's file has on disk while it arrives.
std::string diskName(const TransferRow& row);

// How the trace names a transfer: the origin as its folder is named, and the file.
std::string transferText(std::string_view origin, std::string_view file);

// Bytes as the window shows them: UTF-8 when they are, one character per byte otherwise.
QString displayText(std::string_view bytes);

// The receiving server without its window: the UDP socket, the TCP listener and its connections,
// the transfer table, content writing and acknowledgements. Everything runs on the one event
// thread; the frame being handled is passed between the procedures through the members below,
// which every arrival overwrites.
class ServeurEngine : public QObject {
    Q_OBJECT
public:
    explicit ServeurEngine(QObject* parent = nullptr, std::FILE* traceSink = stderr);

    // Start-up in order: receive folder, empty table, port labels, UDP bind, TCP listen.
    // On failure `error` names the cause and no socket is left open.
    bool start(const ServerConfig& config, QString& error);
    // On SIGHUP: the key file read again (its path is the one given at start), the trace switched.
    bool reloadKeys(QString& error) { return loadKeys(error); }
    void setTraceEnabled(bool on) { trace_.setEnabled(on); }

    quint16 udpPort() const { return udpSend.localPort(); }
    quint16 tcpPort() const { return tcpSend.localPort(); }
    const QString& udpLabel() const { return udpLabel_; }
    const QString& tcpLabel() const { return tcpLabel_; }
    const TransferTable& table() const { return table_; }
    // Lets a test place a transfer where real traffic would take hours to bring it.
    TransferTable& table() { return table_; }
    // The listener and its connections, by index.
    TcpListener& connections() { return tcpSend; }
    // Lets a test see, or make fail, the writes and syncs that keep received files.
    void useFileOps(FileOps& ops) {
        writer_.useFileOps(ops);
        syncer_.useFileOps(ops);
    }

signals:
    // Emitted on every change of the table; a window coalesces these into one refresh.
    void tableChanged();

private:
    bool Set_FilPos(QString& error);
    bool bindAddress(QString& error);
    bool bindUdp(QString& error);
    bool listenTcp(QString& error);

    void udpSend_DataArrival(std::string_view bytes, const QHostAddress& from, quint16 fromPort);
    void tcpSend_DataArrival(int index);
    void tcpSend_Close(int index);
    void tcpSend_Error(int index);
    void tcpSend_Idle(int index);
    void aboutConnection(int index);
    void handleGathered(int index);
    bool readMore(int index);
    void handleFrame();
    bool safeFrameNames(std::string_view why);

    void Match_File();
    bool AddListe();

    void Donnees_de_Contenu();
    bool holdReceiveFolder(WriteFailure& failure, std::uint64_t round);
    // Names are looked up once per batch of datagrams; 0 (a TCP frame, a timer) looks every time.
    std::uint64_t lookupRound() const { return udpSend.handling() ? batch_ : 0; }
    bool writePiece(int index, std::int64_t position, std::string_view bytes, bool last,
                    WriteFailure& failure);
    // The open file of the row's transfer, opened (created when missing) when it is not; a
    // staging file that is no longer the one this transfer made fails as disturbed. `lookNow`:
    // its names are looked up even if they were in this batch (before a file is finished).
    int fileOf(int index, WriteFailure& failure, bool lookNow = false);
    bool sameStagingFile(int index);
    // The staging file was moved, removed or replaced: the row and what it held are forgotten.
    void restartDisturbed(int index, const WriteFailure& failure);
    bool completeFile(int index, WriteFailure& failure);
    // The origin's folder, held open for the caller to close; -1 when it cannot be had.
    int originFolder(const std::string& origin);
    void sweepStagingFiles();
    void pieceFailed(const TransferRow& row, const WriteFailure& failure);
    // `last`: the new position is the announced size + 1.
    void finishRow(int index, std::int64_t newPosition, bool last);

    // The extension: an offered header is accepted in its answer; the transfer then goes on in
    // extended datagrams, each answered with what is written and where.
    struct ExtReceive {
        std::string origin;
        std::int64_t size = 0;
        ext::RangeSet written;
        std::unique_ptr<ext::RunningDigest> digest = std::make_unique<ext::RunningDigest>();
        std::int64_t writebackFrom = 0; // bytes before this were handed to the disk already
        std::int64_t keptAt = 0;        // bytes claimed by the latest record beside the file
        bool syncing = false;           // a sync for the next record is under way
        std::uint64_t epoch = 0;        // changes when what was written no longer counts
    };
    bool answerVerifiedAgain();
    bool verifiedLately(std::uint64_t transfer, std::int64_t size) const;
    void extendedFailed(int index, std::uint64_t transfer, const WriteFailure& failure);
    void startWriteback(int index, ExtReceive& state);
    std::optional<ext::Offer> acceptableOffer() const;
    // The answer's position: 1, or past what an earlier run left on disk for this file.
    std::string startExtended(int index);
    bool resumeFromDisk(int index, ExtReceive& state);
    void keepProgress(int index, int fd, ExtReceive& state);
    void recordProgress(const StagingState& record, std::int64_t claimed, std::uint64_t epoch,
                        bool synced);
    void traceAccepted(const TransferRow& row, std::int64_t held);
    void traceResumed(const TransferRow& row, const StagingState& found);
    void adoptExtended(int index);
    void forgetExtended(TransferRow& row);
    void extendedDatagram(std::string_view bytes);
    void clientFrame(const ext::Frame& frame);
    ExtReceive* extendedRow(const ext::Frame& frame, int& index);
    void extendedData(const ext::Frame& frame);
    void extendedFinish(const ext::Frame& frame);
    void digestMismatch(ExtReceive& state, int index);
    void extendedVerified(std::uint64_t transfer, int index, const std::string& sha256);
    void recordReceived(int index, std::int64_t size, const std::string& sha256);
    bool catchUpDigest(int index, ExtReceive& state, std::int64_t budget);
    void answerExtended(ext::Kind kind, std::uint64_t transfer, std::int64_t value);
    void answerWritten(std::uint64_t transfer, const ExtReceive& state);
    void oweAck(std::uint64_t transfer);
    void sendOwedAcks();
    void measureRate(int index, std::int64_t bytes);
    // A position moved: the window hears of it at once, or once per batch of datagrams.
    void positionMoved();

    // Keyed origins: their transfers start only once the sender proved its key, and go on in
    // sealed datagrams; nothing in clear naming them changes anything.
    bool loadKeys(QString& error);
    // Asked for every frame: no copy of the origin, and nothing at all without keys.
    bool keyedOrigin(std::string_view origin) const {
        return !keys_.empty() && keys_.find(origin) != keys_.end();
    }
    bool admitted(bool header);
    void keyedHeader();
    const ext::Key* keyById(const ext::KeyId& id) const;
    void sendChallenge(const ext::Key& key, ext::Transcript t);
    bool proofAnswersChallenge(const ext::Transcript& t);
    bool repeatedProof(const ext::Key& key, const ext::Transcript& t);
    void provenHeader(const ext::Key& key, const ext::Transcript& t, const ext::Offer& offer);
    void sealedDatagram(std::string_view bytes);
    void sealAnswer(std::uint64_t transfer);
    void forgetSessions();
    void authFailed(std::string_view why);
    bool evictIdle();

    void EnvoieAck(const std::string& position);
    std::string peerText() const;
    void drop(std::string_view why);
    std::int64_t elapsedMs(const std::string& origin) const;
    std::string elapsedText(const std::string& origin) const;

    ServerConfig cfg_;
    std::map<std::string, std::vector<ext::Key>, std::less<>> keys_; // by origin, 10 characters
    bool keylessServed_ = true;
    std::int64_t evictionMs_ = 0; // 0: never
    // The earliest time a newcomer may find a row idle long enough: no scan of the table before.
    std::int64_t noEvictionBeforeMs_[2] = {0, 0}; // for a newcomer without, and with, a key
    // Challenges sent lately, by transfer identity and the sender's nonce.
    struct Pending {
        ext::Nonce server{};
        std::int64_t expiresMs = 0;
        bool proven = false;
    };
    std::map<std::pair<std::uint64_t, ext::Nonce>, Pending> pending_;
    std::map<std::uint64_t, ext::Session> sessions_; // by transfer identity
    // The proof being answered: the acceptance carries the server's proof of it.
    std::optional<std::pair<ext::Key, ext::Transcript>> proving_;
    std::string opened_; // a sealed datagram's body, decrypted
    std::string sealedAnswer_;
    std::map<std::string, std::int64_t> authTracedMs_; // by source: traced once a second
    std::map<std::uint64_t, ExtReceive> extended_;     // by transfer identity
    // Transfers verified lately, with their size: a repeated finish (its answer lost) is answered
    // again rather than taken for an unknown transfer.
    std::deque<std::pair<std::uint64_t, std::int64_t>> verified_;
    std::optional<ext::Offer> offer_;   // of the header being handled
    std::optional<ext::Accept> accept_; // to append to the answer being sent
    std::string extAnswer_;
    // Pieces that came in one batch of datagrams are acknowledged once, after the batch: the Ack
    // carries the cumulative position and ranges, so the last says all the others said.
    struct OwedAck {
        std::uint64_t transfer;
        UdpEndpoint::Source to;
    };
    std::vector<OwedAck> owedAcks_;
    std::uint64_t batch_ = 1;            // the batch of datagrams being handled, counted
    std::uint64_t folderLookedUpIn_ = 0; // the batch the receive folder was last found in
    bool tableMoved_ = false;            // positions moved in this batch, not yet told
    // The time of the batch being handled, in ms since 1970 and on clock_: to within one batch is
    // all the rates and the idle rows need, and reading clocks for every piece is not free.
    std::uint64_t timeOfBatch_ = 0;
    std::int64_t batchEpochMs_ = 0;
    std::int64_t batchClockMs_ = 0;
    void readClocks();
    // A row's size text as a number, the latest one kept: every piece compares against it.
    double totalOf(const std::string& text);
    std::string totalText_;
    double totalValue_ = 0;
    QElapsedTimer clock_;
    QString udpLabel_;
    QString tcpLabel_;
    TransferTable table_;
    // Held open: every file below it is reached from its descriptor.
    ReceiveFolder folder_;
    // Files being received stay open between pieces; those left idle are closed after a while.
    PieceWriter writer_;
    QTimer idleFiles_;
    // Staging files nobody resumed are deleted after a while; looked for now and then.
    QTimer sweep_;
    UdpEndpoint udpSend;
    TcpListener tcpSend;
    Trace trace_;
    // When each origin's current file began, kept only while the trace is on.
    std::map<std::string, QElapsedTimer> startedAt_;

    // Last, so that it stops before anything its reports reach goes away.
    SyncWorker syncer_{*this, FileOps::system()};

    // The frame being handled.
    bool modeTcp = false;
    bool headerFrame_ = false;
    int indexTcp = 0;
    std::string_view tamponRecu; // the frame being handled, read in place
    std::string tcpFrame_;       // a frame cut from a TCP stream, its storage kept
    std::string ackText_;        // the answer being sent, its storage kept between answers
    FrameCheck check_;
    std::string nomOrigine;
    std::string nomFichier;
    std::string tailleTotale;
    QHostAddress peerAddress_;
    quint16 peerPort_ = 0;
};

} // namespace zelk
