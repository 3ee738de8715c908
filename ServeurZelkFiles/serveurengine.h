#pragma once

#include "codec.h"
#include "commitworker.h"
#include "config.h"
#include "extcodec.h"
#include "extendedreceiver.h"
#include "piecewriter.h"
#include "plainreceiver.h"
#include "rangeset.h"
#include "receivefolder.h"
#include "secure.h"
#include "staging.h"
#include "syncworker.h"
#include "tcplistener.h"
#include "trace.h"
#include "transfertable.h"
#include "udpendpoint.h"
#include "verifiedlist.h"

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
// the files, the trace and the extension around the plain receiver core, which holds the transfer
// table and decides what a plain frame does to it. Everything runs on the one event thread; a
// header goes from one procedure to the next as one value, while the channel and the bytes of the
// frame being handled are members that every arrival overwrites.
class ServeurEngine : public QObject, private ExtendedDisk {
    Q_OBJECT
public:
    explicit ServeurEngine(QObject* parent = nullptr, std::FILE* traceSink = stderr);
    // Writes what it verified lately, if not written yet.
    ~ServeurEngine() override;

    // Start-up in order: keys, receive folder, the list of files verified lately, staging files
    // left too long swept, empty table, UDP bind, TCP listen, port labels. On failure `error`
    // names the cause and no socket is left open.
    bool start(const ServerConfig& config, QString& error);
    // On SIGHUP the key file is read again (its path is the one given at start) and the trace
    // switched on or off.
    bool reloadKeys(QString& error) { return loadKeys(error); }
    void setTraceEnabled(bool on) { trace_.setEnabled(on); }

    quint16 udpPort() const { return udpSend.localPort(); }
    quint16 tcpPort() const { return tcpSend.localPort(); }
    const QString& udpLabel() const { return udpLabel_; }
    const QString& tcpLabel() const { return tcpLabel_; }
    const TransferTable& table() const { return core_.table(); }
    // Lets a test place a transfer where real traffic would take hours to bring it.
    TransferTable& table() { return core_.table(); }
    // How long after its latest frame a row's sender counts as active: another sender of the
    // same origin is refused meanwhile (tests shorten it).
    void setLiveRowMs(std::int64_t ms);
    // The listener and its connections, by index.
    TcpListener& connections() { return tcpSend; }
    // Lets a test see, or make fail, the writes and syncs that keep received files.
    void useFileOps(FileOps& ops) {
        writer_.useFileOps(ops);
        syncer_.useFileOps(ops);
        committer_.useFileOps(ops);
    }

signals:
    // Emitted when the table changed; positions moved by a batch of datagrams are told once, after
    // it. A window coalesces these into one refresh.
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

    // A header's answer as the cores gave it: traced, sent, shown.
    void headerAnswered(const ExtHeaderIn& in, const ExtHeaderReply& reply);
    PlainFrame plainFrame(std::string_view origin);
    void rowsGone(const std::vector<GoneRow>& gone, Instant now, const ExtHeaderIn& in);
    void forgetGone(const TransferRow& row);
    void headerDropped(const HeaderReply& reply);
    void secondSender(const TransferRow& row, const ExtHeaderIn& in);
    void rowStarted(int index, const ExtHeaderIn& in, const ExtHeaderReply& reply);
    void rowResumed(int index, const ExtHeaderIn& in, const ExtHeaderReply& reply);
    void traceAccepted(const TransferRow& row, std::int64_t held, int granted);
    void traceResumed(const TransferRow& row, const StagingState& found);
    // The time of the frame being handled, read once per batch of datagrams.
    Instant now();

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
    // `told`: the trace hears of the rename at once.
    bool completeFile(int index, WriteFailure& failure, bool told = true);
    // The origin's folder, held open for the caller to close; -1 when it cannot be had.
    int originFolder(const std::string& origin);
    void sweepStagingFiles();
    void pieceFailed(const TransferRow& row, const WriteFailure& failure);
    void finishRow(const PieceWrite& piece);

    // The extension's datagrams, handed to its core; what comes back is traced and sent.
    void extendedDatagram(std::string_view bytes);
    void datagramDone(const ExtDatagramReply& reply);
    void extendedVerified(const ExtDatagramReply::Verified& verified);
    void extendedFailed(const ExtDatagramReply::Failed& failed);
    void sendExtended(const std::vector<ExtAnswer>& answers);
    void progressSynced(const StagingState& record, std::int64_t claimed, std::uint64_t epoch,
                        bool synced);
    void loadVerified();
    void recordReceived(const TransferRow& row, std::int64_t size, const std::string& sha256);
    // A position moved: the window hears of it at once, or once per batch of datagrams.
    void positionMoved();

    // The disk as the extension's core reaches it.
    bool open(int row, bool lookNow, WriteFailure& failure) override;
    bool write(int row, std::int64_t offset, std::string_view bytes,
               WriteFailure& failure) override;
    long read(int row, char* into, std::size_t length, std::int64_t offset) override;
    void begin(const TransferRow& row) override;
    void adopt(const TransferRow& row) override;
    // The writer keeps a file per transfer: an origin may have several under way.
    static std::string writerKey(const TransferRow& row) { return row.origin + row.file; }
    StagedFile staged(const TransferRow& row) override;
    void removeRecord(const TransferRow& row) override;
    bool writeback(int row, std::int64_t from, std::int64_t upTo) override;
    bool syncThenRecord(int row, const StagingState& record, std::int64_t claimed,
                        std::uint64_t epoch) override;
    bool writeRecord(const StagingState& record, std::string& why) override;
    Publish publish(int row, WriteFailure& failure) override;
    // The worker made a verified file durable under its name, or could not: its verdict goes to
    // the source of its finish.
    void published(const ExtKey& transfer, const std::string& file,
                   const UdpEndpoint::Source& source, bool done, const std::string& why);
    std::optional<KeptFile> kept(const std::string& origin, const std::string& file) override;
    void saveVerified(const VerifiedList& list) override;

    bool loadKeys(QString& error);
    // Lines caused by input nobody authenticated: a flood must not fill the disk with them.
    bool floodLine();
    bool headerLine();
    void authFailed(std::string_view why);

    // Every plain piece is checked against its row's sender: the address is made text only when
    // the sender changes, not for every piece.
    const std::string& peerAddressText();
    QHostAddress textedAddress_;
    std::string peerAddressText_;
    void connectionGone(int index);

    void EnvoieAck(std::int64_t position);
    // An answer the cores made, sent on the frame's channel.
    void sendAnswer(std::string_view ack);
    std::string peerText() const;
    void drop(std::string_view why);
    // Since the transfer (writerKey) started.
    std::int64_t elapsedMs(const std::string& transfer) const;
    std::string elapsedText(const std::string& transfer) const;

    ServerConfig cfg_;
    std::int64_t floodTokens_ = 0; // lines left for unauthenticated input, refilled each second
    std::int64_t floodRefillMs_ = 0;
    std::int64_t floodLeftOut_ = 0;
    bool headerProven_ = false; // the header being handled comes from a sender proven
    QTimer saveVerified_;
    // The sources of the batch's extended datagrams, by the number the core knows them by.
    std::vector<UdpEndpoint::Source> sources_;
    std::uint64_t batch_ = 1;            // the batch of datagrams being handled, counted
    std::uint64_t folderLookedUpIn_ = 0; // the batch the receive folder was last found in
    bool tableMoved_ = false;            // positions moved in this batch, not yet told
    // The time of the batch being handled, in ms since 1970 and on clock_: to within one batch is
    // all the rates and the idle rows need, and reading clocks for every piece is not free.
    std::uint64_t timeOfBatch_ = 0;
    std::int64_t batchEpochMs_ = 0;
    std::int64_t batchClockMs_ = 0;
    void readClocks();
    QElapsedTimer clock_;
    QString udpLabel_;
    QString tcpLabel_;
    // The plain rules and the transfer table, which the extension's rows share.
    PlainReceiver core_;
    TransferTable& table_{core_.table()};
    // The extension and keyed origins, which share the table.
    ExtendedReceiver ext_{core_, *this};
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
    // When each origin's current file began: its record says how long it took, trace on or off.
    std::map<std::string, QElapsedTimer> startedAt_;

    // Last, so that it stops before anything its reports reach goes away.
    SyncWorker syncer_{*this, FileOps::system()};
    CommitWorker committer_{*this, FileOps::system()};

    // The frame being handled: the channel it came by and its bytes.
    bool modeTcp = false;
    bool headerFrame_ = false;
    int indexTcp = 0;
    std::string_view tamponRecu; // the frame being handled, read in place
    std::string tcpFrame_;       // a frame cut from a TCP stream, its storage kept
    std::string ackText_;        // the answer being sent, its storage kept between answers
    FrameCheck check_;
    QHostAddress peerAddress_;
    quint16 peerPort_ = 0;
    std::size_t datagramBytes_ = 0; // of the datagram being handled
};

} // namespace zelk
